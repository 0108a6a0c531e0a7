#!/usr/bin/env python3
"""Checks that the shipped page layouts are sound and that their texts fit in every language.

The wizard builds its pages from the layout folder's page files and fills the labels from the
language files; a label that is too small clips its text without any message, and a slip in a
page file (a duplicate name, a picture that is not there) shows only when the setup runs. This
checker reads the layout folders and language files as the setup reads them and reports:

  * page files that are missing, blocks whose type the setup does not know, control names that
    are not identifiers or that another control of the layout already uses (the setup stops at
    start-up then), values that are not integers;
  * controls outside the content area (578 x 375), windowed controls or labels that overlap on
    one page (pictures and bevels excepted: labels are drawn over pictures on purpose);
  * pictures whose file is missing from the folder, or whose PNG size differs from the control;
  * the controls the program looks up by name, each on a page of the kind that needs it;
  * every label's text, in every language, with sample values for the placeholders: it must fit
    in the label's width and height, wrapped at words where the label wraps.

Text widths are estimated, not measured: the window's font ("MS Shell Dlg 2", Tahoma 8 pt at
96 DPI) is modelled by a width per class of character, a little on the wide side, with a line
height of 1.207 em. Real screenshots remain the final judge; this catches a change that makes
a text plainly too long.

Usage: check_layout_fit.py [-v] [LAYOUT_DIR...]   (default: layout/default and
layout/default-uninstall beside the languages folder of this tree; -v lists every label's
tightest language). Exit code 0 when everything passes, 1 otherwise.
"""

import math
import os
import re
import struct
import sys
import unicodedata

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CONTENT_WIDTH, CONTENT_HEIGHT = 578, 375

KINDS = {"tlabel", "tedit", "tshelltreeview", "tbutton", "timage", "tpanel", "tbevel", "tmemo", "trichedit",
         "tprogressbar", "tradio"}
PAGE_TYPES = {"welcome", "changelog", "installdir", "patch", "patching", "languageselection", "uninstall", "finish",
              "mainlayout"}
INTEGER_KEYS = {"left", "top", "width", "height", "fontsize", "fontcolour", "colour", "forecolour", "backcolour",
                "selcolour", "fontselcolour"}

# The controls the program finds by name, and the page types each belongs on.
NAMED_CONTROLS = {
    "patching_statuslabel": {"patching", "uninstall"},
    "patching_progressbar": {"patching", "uninstall"},
    "finishtext": {"finish"},
    "installdir_edit": {"installdir"},
    "installdir_shelltreeview": {"installdir"},
    "spaceavalible": {"patch"},
}
# Which named controls a layout must have, by the page types it contains.
NEEDED_BY_PAGE_TYPE = {
    "installdir": ["installdir_edit", "installdir_shelltreeview"],
    "patch": ["spaceavalible"],
    "patching": ["patching_statuslabel", "patching_progressbar"],
    "uninstall": ["patching_statuslabel", "patching_progressbar"],
    "finish": ["finishtext"],
}

# Sample values of the placeholders: a setup title of 25 characters, a short title of 20.
PLACEHOLDERS = {
    "<%SETUPTITLE%>": "Example Office Suite 2024",
    "<%SETUPSHORTTITLE%>": "Example Office Suite",
    "<%CHANGELOG%>": "changes.rtf",
    "<%SPACEREQ%>": "1023.45 MB",
    "<%SPACEAVA%>": "98765.43 MB",
    "<%FILENAME%>": "C:\\Program Files\\Example\\data\\library.dll",
    "<%KZPNAME%>": "registry entries",
    "<%FNUM%>": "1234",
    "<%FTOTAL%>": "5678",
}
# Texts the program puts into named labels besides their own caption.
PROGRAM_TEXTS = {
    "finishtext": ["<LANG23>"],
    "patching_statuslabel": ["<LANG17>", "<LANG18>", "<LANG19>", "Status: 0 of 5678 items remaining"],
}

# Advance widths of Tahoma in em, by class of character, rounded up a little.
WIDTH_CLASSES = [
    ("ijl.,:;'!|", 0.25),
    (" ", 0.32),
    ("frtI()[]{}-/\\\"„“”‘’«»¿¡", 0.38),
    ("mw", 0.84),
    ("MW%@", 0.92),
]
LOWER_WIDTH, UPPER_WIDTH, DIGIT_WIDTH, OTHER_WIDTH = 0.54, 0.68, 0.56, 0.60
BOLD_FACTOR = 1.1
LINE_EM = 1.207


# ---------------------------------------------------------------------------- reading files

def entry_lines(data):
    """Lines of a page file or layout script: cut at CR, trimmed, empty lines dropped."""
    text = data.split(b"\0", 1)[0].decode("latin-1")
    trim = "".join(chr(c) for c in range(33))
    return [line.strip(trim) for line in text.split("\r") if line.strip(trim)]


def blocks(lines):
    result = []
    for line in lines:
        if line.startswith("[") or not result:
            result.append([])
        result[-1].append(line)
    return result


def find_file(folder, name):
    """The folder's file of that name, compared without regard to case (as package entries are)."""
    for candidate in sorted(os.listdir(folder)):
        if candidate.lower() == name.lower():
            return os.path.join(folder, candidate)
    return None


class Control:
    def __init__(self, name, kind, props, page):
        self.name, self.kind, self.props, self.page = name, kind, props, page

    def integer(self, key, default=0):
        try:
            return parse_integer(self.props[key]) if key in self.props else default
        except ValueError:
            return default

    def boolean(self, key):
        return self.props.get(key, "").lower() == "true"

    @property
    def rect(self):
        left, top = self.integer("left"), self.integer("top")
        return left, top, left + self.integer("width"), top + self.integer("height")


class Page:
    def __init__(self, file_name):
        self.file_name = file_name
        self.type = "welcome"
        self.controls = []


def parse_integer(text):
    if re.fullmatch(r"\$[0-9A-Fa-f]+", text):
        return int(text[1:], 16)
    if re.fullmatch(r"[+-]?\d+", text):
        return int(text)
    raise ValueError(text)


def read_layout(folder, report):
    """The pages of a layout folder with their controls; faults go to report(file, message)."""
    script = find_file(folder, "Pages.txt")
    if not script:
        report(folder, "has no Pages.txt")
        return []
    with open(script, "rb") as f:
        lines = entry_lines(f.read())
    pages = []
    for block in blocks(lines):
        name = block[0][1:-1].lower()
        if name == "pages":
            pages = [Page(line) for line in block[1:]]
        elif name == "pagetypes":
            if len(block) - 1 > len(pages):
                report(script, "more page types than pages")
            for page, keyword in zip(pages, block[1:]):
                if keyword.lower() in PAGE_TYPES:
                    page.type = keyword.lower()
                else:
                    report(script, f"unknown page type {keyword!r}")
    names = {}
    for page in pages:
        path = find_file(folder, page.file_name)
        if not path:
            report(script, f"page file {page.file_name} is missing")
            continue
        with open(path, "rb") as f:
            page_blocks = blocks(entry_lines(f.read()))
        for block in page_blocks:
            if not block[0].startswith("["):
                if len(block) > 1:
                    report(path, f"lines before the first control: {block[0]!r}")
                continue
            name = block[0][1:-1]
            kind = block[1].split("=", 1)[1].lower() if len(block) > 1 and "=" in block[1] else ""
            if kind not in KINDS:
                report(path, f"[{name}] has no known type on its second line, the setup skips it")
                continue
            if not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", name):
                report(path, f"[{name}] is not a valid control name")
            elif name.lower() in names:
                report(path, f"[{name}] is already the name of a control in {names[name.lower()]}")
            names.setdefault(name.lower(), page.file_name)
            props = {}
            for line in block[2:]:
                if "=" in line:
                    key, value = line.split("=", 1)
                    props[key.lower()] = value
                    if key.lower() in INTEGER_KEYS:
                        try:
                            parse_integer(value)
                        except ValueError:
                            report(path, f"[{name}] {key}={value}: not an integer")
            page.controls.append(Control(name, kind, props, page))
    return pages


def read_language(path):
    """(display name, {number: text}) of a UTF-16 LE language file."""
    with open(path, "rb") as f:
        text = f.read()[2:].decode("utf-16-le")
    lines = text.split("\r\n")
    strings = {}
    for line in lines[2:]:
        match = re.match(r"^(\d+)(?:[ \t]+(.*))?$", line.strip())
        if match:
            strings.setdefault(int(match.group(1)), match.group(2) or "")
    return lines[0], strings


def read_languages(folder):
    return {os.path.splitext(name)[0]: read_language(os.path.join(folder, name))[1]
            for name in sorted(os.listdir(folder)) if name.lower().endswith(".wri")}


# ---------------------------------------------------------------------------- the text model

def expand(text, strings):
    """The page-text chain: <LANGn> tokens (repeatedly), <BR> to a line break, placeholders."""
    for _ in range(50):
        start = text.find("<LANG")
        if start < 0:
            break
        end = text.find(">", start)
        number = text[start + 5:end]
        value = strings.get(int(number), f"NOT FOUND {number}") if number.isdigit() else "?"
        text = text[:start] + value + text[end + 1:]
    text = re.sub("<BR>", "\r", text, flags=re.IGNORECASE)
    for key, value in PLACEHOLDERS.items():
        text = re.sub(re.escape(key), lambda _: value, text, flags=re.IGNORECASE)
    return text


def font_of(control):
    """(pixels per em, bold) of a control's font."""
    size = control.integer("fontsize", 8) or 8
    return round(size * 96 / 72), control.boolean("fontbold")


def char_width(ch, em, bold):
    base = unicodedata.normalize("NFD", ch)[0] if ch.strip() else ch
    width = None
    for chars, w in WIDTH_CLASSES:
        if ch in chars or base in chars:
            width = w
            break
    if width is None:
        width = (LOWER_WIDTH if base.islower() else UPPER_WIDTH if base.isupper() else
                 DIGIT_WIDTH if base.isdigit() else OTHER_WIDTH)
    return width * em * (BOLD_FACTOR if bold else 1.0)


def text_width(text, em, bold):
    return sum(char_width(ch, em, bold) for ch in text)


def line_height(em):
    return round(em * LINE_EM)


def wrap(text, width, em, bold, word_wrap):
    """The lines a label shows: broken at line breaks, and at blanks when it wraps.

    Returns (lines, overlong): overlong is a word or line wider than the label.
    """
    lines, overlong = [], None
    for paragraph in text.split("\r"):
        if not word_wrap:
            lines.append(paragraph)
            if text_width(paragraph, em, bold) > width:
                overlong = paragraph
            continue
        current = ""
        for word in paragraph.split(" "):
            candidate = word if not current else current + " " + word
            if current and text_width(candidate, em, bold) > width:
                lines.append(current)
                current = word
            else:
                current = candidate
            if text_width(word, em, bold) > width:
                overlong = word
        lines.append(current)
    return lines, overlong


def label_texts(control):
    texts = [control.props["caption"]] if control.props.get("caption") else []
    return texts + PROGRAM_TEXTS.get(control.name.lower(), [])


# ---------------------------------------------------------------------------- checks

def overlaps(a, b):
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


def check_layout(folder, languages, report, verbose):
    pages = read_layout(folder, report)
    background = [c for p in pages if p.type == "mainlayout" for c in p.controls]
    found = {}
    for page in pages:
        path = os.path.join(folder, page.file_name)
        for c in page.controls:
            found.setdefault(c.name.lower(), page.type)
            left, top, right, bottom = c.rect
            if left < 0 or top < 0 or right > CONTENT_WIDTH or bottom > CONTENT_HEIGHT:
                report(path, f"[{c.name}] ({left},{top})-({right},{bottom}) reaches outside the content area")
            if c.kind == "timage":
                check_picture(folder, path, c, report)
        # Everything but pictures and bevels must stand clear of the rest of its page.
        solid = [c for c in page.controls + (background if page.type != "mainlayout" else [])
                 if c.kind not in ("timage", "tbevel")]
        for i, a in enumerate(solid):
            for b in solid[i + 1:]:
                if overlaps(a.rect, b.rect):
                    report(path, f"[{a.name}] and [{b.name}] overlap")
        for c in page.controls:
            if c.kind in ("tlabel", "tradio"):
                check_text(path, c, languages, report, verbose)
    types = {p.type for p in pages}
    for page_type, needed in NEEDED_BY_PAGE_TYPE.items():
        for name in needed if page_type in types else []:
            if name not in found:
                report(folder, f"has a {page_type} page but no control named {name}")
    for name, page_type in found.items():
        if name in NAMED_CONTROLS and page_type not in NAMED_CONTROLS[name]:
            report(folder, f"the program's control {name} stands on a {page_type} page")


def check_picture(folder, path, c, report):
    entry = c.props.get("file", "")
    picture = find_file(folder, entry) if entry else None
    if not picture:
        report(path, f"[{c.name}] shows {entry!r}, which is not in the layout folder")
        return
    size = png_size(picture) if picture.lower().endswith(".png") else None
    if size and not c.boolean("stretch") and size != (c.integer("width"), c.integer("height")):
        report(path, f"[{c.name}] is {c.integer('width')} x {c.integer('height')} but {entry} is "
                     f"{size[0]} x {size[1]}")


def check_text(path, c, languages, report, verbose):
    em, bold = font_of(c)
    width, height = c.integer("width"), c.integer("height")
    word_wrap = c.boolean("wordwrap")
    most_lines = widest = None  # (value, language) of the tallest and of the widest text
    for language, strings in languages.items():
        for raw in label_texts(c):
            text = expand(raw, strings)
            if "NOT FOUND" in text:
                report(path, f"[{c.name}] {language}: {raw!r} names a string the language lacks")
                continue
            lines, overlong = wrap(text, width, em, bold, word_wrap)
            needed = len(lines) * line_height(em)
            if overlong is not None:
                report(path, f"[{c.name}] {language}: {overlong[:40]!r} is wider than the label ({width} px)")
            if needed > height:
                report(path, f"[{c.name}] {language}: {len(lines)} lines need {needed} px, the label is {height} px "
                             f"high: {text[:50]!r}")
            line_width = max(text_width(line, em, bold) for line in lines)
            if most_lines is None or len(lines) > most_lines[0]:
                most_lines = (len(lines), language)
            if widest is None or line_width > widest[0]:
                widest = (line_width, language)
    if verbose and most_lines:
        print(f"{shown(path)}: [{c.name}] {width} x {height}: at most {most_lines[0]} lines "
              f"({most_lines[1]}, {most_lines[0] * line_height(em)} px), widest line {widest[0]:.0f} px ({widest[1]})")


def shown(path):
    """A path as printed: relative to the tree when it lies in it."""
    relative = os.path.relpath(path, ROOT)
    return path if relative.startswith("..") else relative


def main(argv):
    args = argv[1:]
    verbose = "-v" in args
    folders = [a for a in args if a != "-v"] or [os.path.join(ROOT, "layout", "default"),
                                                   os.path.join(ROOT, "layout", "default-uninstall")]
    languages = read_languages(os.path.join(ROOT, "languages"))
    faults = []

    def report(place, message):
        print(f"{shown(place)}: {message}")
        faults.append(message)

    for folder in folders:
        check_layout(folder, languages, report, verbose)
    if not faults:
        print(f"ok: {len(folders)} layouts, {len(languages)} languages")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
