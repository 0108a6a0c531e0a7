#!/usr/bin/env python3
"""Fails when an include points the wrong way between the layers.

The layers and what each may include are drawn in docs/architecture.md; LAYERS below is that
drawing as data. A file belongs to the layer of its folder (src/engine/x.cpp: engine); a test,
tool or benchmark belongs to the layer it exercises and may include what that layer may, plus
the test helpers beside it. Besides the includes, the format libraries (archives, differences) must not reach
the program: no setup state, no message boxes, no ending the process.

Usage: check_layers.py [ROOT]    (ROOT: the checkout; default: two folders above this file)
"""
import pathlib
import re
import sys

# Layer -> the layers its files may include (itself always).
LAYERS = {
    "core": set(),
    "archives": {"core"},
    "delta": {"core"},
    "engine": {"core", "archives", "delta"},
    "ui": {"core", "engine"},
    "runtime": {"core", "archives", "delta", "engine", "ui"},
    "builder": {"core", "archives", "delta"},
    "platform": {"core", "archives", "delta", "engine", "ui", "runtime"},
    "app": {"core", "archives", "delta", "engine", "ui", "runtime", "platform"},
    # Benchmarks time every portable part, the builder's included.
    "bench": {"core", "archives", "delta", "engine", "ui", "runtime", "builder"},
    # The command-line tools read packages, archives and differences.
    "tools": {"core", "archives", "delta"},
}

# Folders outside src and the layer whose rules they follow. Tools (and the builder's program
# file, which is built for Windows too) may take the Windows wrapper header and the Windows
# digests from the platform layer, nothing else of the program.
OWNERS = [
    ("tests/core/", "core"),
    ("tests/archives/", "archives"),
    ("tests/delta/", "delta"),
    ("tests/engine/", "engine"),
    ("tests/ui/", "ui"),
    ("tests/runtime/", "runtime"),
    ("tests/builder/", "builder"),
    ("tests/win32/", "app"),
    ("tests/fuzz/", "runtime"),
    ("bench/", "bench"),
    ("tools/", "tools"),
]
TOOL_EXTRA = {"platform/win32/md5_win32.h", "platform/win32/sha256_win32.h", "platform/win32/windows_support.h"}
TOOL_FILES = ("tools/", "src/builder/main.cpp")

# Windows headers only at the platform edge and in Windows-only programs and tests (the
# benchmark's plain copy under Wine among them).
WINDOWS_OK = ("src/platform/", "src/app/", "tests/win32/", "tests/tools/", "tools/finalise/",
              "bench/big_copy.cpp")

# What the archive format library must never do.
FORMAT_LIBRARY_BANS = [
    (re.compile(r"\bGlobals\(\)"), "reads the setup's globals"),
    (re.compile(r"\bHost\(\)"), "reaches the host (message boxes, ending the process)"),
    (re.compile(r"\b(?:std::)?_?[Ee]xit\s*\(|\bFatalAppExit\b|\babort\s*\("), "ends the process"),
    (re.compile(r"\bShowMessageBox\b"), "shows a message box"),
]

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
SOURCES = {".cpp", ".h", ".inc", ".def"}


def layer_of(rel):
    parts = rel.split("/")
    if parts[0] == "src" and len(parts) > 2:
        return parts[1]
    for prefix, layer in OWNERS:
        if rel.startswith(prefix):
            return layer
    return None


def strip_comments(text):
    # Comments give way to as many line ends, so that line numbers still hold.
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def check(root):
    faults = []
    for path in sorted(root.rglob("*")):
        rel = path.relative_to(root).as_posix()
        if path.suffix not in SOURCES or not path.is_file() or rel.startswith(("build/", ".")):
            continue
        layer = layer_of(rel)
        if layer is None:
            continue
        allowed = LAYERS[layer] | {layer}
        text = path.read_text(encoding="utf-8", errors="replace")
        for number, line in enumerate(text.splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            kind, target = m.groups()
            if kind == "<":
                if target.lower() == "windows.h" and not rel.startswith(WINDOWS_OK):
                    faults.append(f"{rel}:{number}: includes <windows.h> outside the platform layer")
                continue
            head = target.split("/")[0]
            if head not in LAYERS or head in allowed:
                continue
            if rel.startswith(TOOL_FILES) and target in TOOL_EXTRA:
                continue
            faults.append(f"{rel}:{number}: the {layer} layer includes \"{target}\" ({head} is not below it)")
        if layer in ("archives", "delta") and rel.startswith("src/"):
            code = strip_comments(text)
            for pattern, what in FORMAT_LIBRARY_BANS:
                for m in pattern.finditer(code):
                    number = code.count("\n", 0, m.start()) + 1
                    faults.append(f"{rel}: the {layer} format library {what} ({m.group(0).strip()}, line {number})")
    return faults


def main():
    root = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[2]
    faults = check(root)
    for fault in faults:
        print(fault, file=sys.stderr)
    if faults:
        print(f"layers: {len(faults)} include(s) or call(s) point the wrong way; see docs/architecture.md",
              file=sys.stderr)
        return 1
    print("layers: every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
