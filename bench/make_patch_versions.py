#!/usr/bin/env python3
"""Two versions of a game, for the patch benchmark: version 1 and the update to version 2.

    make_patch_versions.py PAYLOAD OUT

PAYLOAD is the benchmark's game-patch payload tree (make_payload.py). OUT/v1 and OUT/v2 are
made from it, with OUT.stamp written last; the same payload gives the same bytes every time.

Version 1 is the payload with one large archive added, "data/assets.zip": every file of
data/ up to 40 MB, each member deflated or stored by its
kind, as games pack their assets.

Version 2 is what an update of such a game looks like:
- the archive rebuilt with 4 members changed (new bytes of about their size, in the middle of
  the archive, so that everything after them moves) and 2 members added;
- 300 small text files edited: a few lines changed, a line inserted;
- 30 small binary files with a few records changed in place;
- 20 new files, 10 files removed.
Files that are not changed are hard links to the payload's (no copies of 300 MB).

Prints the counts and sizes of each kind of change.
"""
import hashlib
import os
import random
import shutil
import sys
import zipfile

TEXT = (".xml", ".lua", ".csv", ".txt", ".ini", ".cfg", ".json")
BINARY = (".anim", ".tbl", ".skel", ".nav", ".mdl")
STORED = (".ogg", ".png", ".jpg", ".dds", ".bank", ".webm", ".pak")
ARCHIVE = "data/assets.zip"
DATE = (2024, 5, 1, 12, 0, 0)


def noise(seed, n):
    return hashlib.shake_128(seed.to_bytes(8, "little")).digest(n)


def walk(root):
    found = []
    for folder, dirs, files in os.walk(root):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(folder, name)
            found.append(os.path.relpath(path, root).replace(os.sep, "/"))
    return found


def write_archive(path, members):
    """members: (name, bytes) in order; deflated unless the kind is stored already."""
    with zipfile.ZipFile(path, "w") as z:
        for name, data in members:
            info = zipfile.ZipInfo(name, DATE)
            info.compress_type = zipfile.ZIP_STORED if name.endswith(STORED) else zipfile.ZIP_DEFLATED
            z.writestr(info, data, compresslevel=6)


def edit_text(data, rng):
    lines = data.split(b"\n")
    for _ in range(rng.randint(2, 6)):
        i = rng.randrange(len(lines))
        words = lines[i].split(b" ")
        j = rng.randrange(len(words))
        words[j] = b"patched%d" % rng.randrange(100000)
        lines[i] = b" ".join(words)
    lines.insert(rng.randrange(len(lines) + 1), b"-- added in version 2: %d" % rng.randrange(10 ** 9))
    return b"\n".join(lines)


def edit_binary(data, rng):
    data = bytearray(data)
    for _ in range(rng.randint(3, 10)):
        at = rng.randrange(max(1, len(data) - 16))
        data[at:at + 16] = noise(rng.randrange(2 ** 63), 16)[: len(data[at:at + 16])]
    return bytes(data)


def main():
    payload, out = sys.argv[1], sys.argv[2]
    rng = random.Random(20261208)
    shutil.rmtree(out, ignore_errors=True)
    v1, v2 = os.path.join(out, "v1"), os.path.join(out, "v2")
    files = walk(payload)

    def read(name):
        with open(os.path.join(payload, name), "rb") as f:
            return f.read()

    # The archive's members: every file of data/ up to 4 MB, by name.
    members = [n for n in files if n.startswith("data/") and os.path.getsize(os.path.join(payload, n)) <= 40_000_000]
    loose = files
    old_members = [(m[len("data/"):], read(m)) for m in members]

    # What changes.
    texts = [n for n in loose if n.endswith(TEXT) and os.path.getsize(os.path.join(payload, n)) < 200_000]
    binaries = [n for n in loose if n.endswith(BINARY) and os.path.getsize(os.path.join(payload, n)) < 200_000]
    # (A small payload, for checking the benchmark, gets a third of its files of each kind.)
    edited_texts = set(rng.sample(texts, min(300, len(texts) // 3)))
    edited_binaries = set(rng.sample(binaries, min(30, len(binaries) // 3)))
    rest = [n for n in loose if n not in edited_texts and n not in edited_binaries]
    removed = set(rng.sample(rest, 10))
    middle = len(old_members) // 2
    spread = min(200, middle - 1)
    changed_members = sorted(rng.sample(range(middle - spread, middle + spread), 4))

    for version, root in ((1, v1), (2, v2)):
        for name in loose:
            target = os.path.join(root, name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if version == 2 and name in removed:
                continue
            if version == 2 and name in edited_texts:
                with open(target, "wb") as f:
                    f.write(edit_text(read(name), rng))
            elif version == 2 and name in edited_binaries:
                with open(target, "wb") as f:
                    f.write(edit_binary(read(name), rng))
            else:
                os.link(os.path.join(payload, name), target)
        arch = list(old_members)
        if version == 2:
            for i in changed_members:
                name, data = arch[i]
                arch[i] = (name, noise(rng.randrange(2 ** 63), len(data) + rng.randrange(-4096, 4096)))
            arch.insert(middle, ("textures/added_v2_a.dds", noise(7, 900_000)))
            arch.insert(middle + spread, ("maps/added_v2_b.map", edit_text(old_members[5][1], rng) * 3))
            for i in range(20):
                target = os.path.join(root, "data", "v2", "new%02d.lua" % i)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                with open(target, "wb") as f:
                    f.write(edit_text(read(sorted(texts)[i]), rng))
        write_archive(os.path.join(root, ARCHIVE), arch)

    size = lambda root, name: os.path.getsize(os.path.join(root, name))
    print("v1: %d files, archive %d bytes in %d members" % (len(walk(v1)), size(v1, ARCHIVE), len(old_members)))
    print("v2: %d files, archive %d bytes; %d members changed, 2 added; %d texts and %d binaries edited, "
          "20 files added, %d removed" % (len(walk(v2)), size(v2, ARCHIVE), len(changed_members),
                                          len(edited_texts), len(edited_binaries), len(removed)))
    with open(out + ".stamp", "w") as f:
        f.write("made\n")


if __name__ == "__main__":
    main()
