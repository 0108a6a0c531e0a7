#!/usr/bin/env python3
"""Checks language files (.wri) before they ship with the builder.

A language file is read by setup.exe line by line and a single slip (a line feed without its
carriage return, an empty line, a number that is not a number) ends the setup at start-up or
shows "NOT FOUND n" to the user. This checker holds a file to the format the setup reads:

  * UTF-16 little-endian with the byte-order mark FF FE, an even number of bytes;
  * every line ended by CR LF, the last line included; no lone CR or LF;
  * line 1: the display name; line 2: hexadecimal language identifiers, each followed by ";";
  * lines 3 and on: a decimal string number (0 to 65535), a blank or tab, the text;
    no empty lines, no number twice;
  * every string number the program itself uses is present and not empty, with the
    placeholders the program fills in, and without "<BR>", <LANGn> tokens or page
    placeholders in the strings the program shows as they stand;
  * every <LANGn> token names a string of the same file, and no string reaches itself
    through its tokens (the setup would expand it for ever).

Usage: check_language_file.py [--same-numbers] FILE...  (--same-numbers: every file must
define exactly the string numbers of the first one.)
Exit code 0 when every file passes, 1 otherwise; each fault is printed as FILE:LINE: message.
"""

import re
import sys

# String numbers the program uses, with the placeholders each must contain.
REQUIRED = {
    7: ["<%SPACEAVA%>"],
    12: [], 13: [], 14: [], 15: [], 16: [],
    17: ["<%FILENAME%>"],
    18: ["<%FILENAME%>"],
    19: ["<%KZPNAME%>", "<%FNUM%>", "<%FTOTAL%>"],
    20: ["<%KZPNAME%>"],
    23: [],
    24: [], 25: [], 26: [], 27: [], 28: [],
    29: ["<%KZPNAME%>"],
}

# Of those, the strings the program shows without the page-text expansion: a "<BR>", a
# <LANGn> token or a page placeholder in them would appear literally.
SHOWN_AS_IS = set(REQUIRED) - {7}
PAGE_MARKUP = re.compile(r"<BR>|<LANG|<%SETUPTITLE%>|<%SETUPSHORTTITLE%>|<%CHANGELOG%>|"
                         r"<%SPACEREQ%>|<%SPACEAVA%>", re.IGNORECASE)

IDENTIFIERS = re.compile(r"^(?:[0-9A-Fa-f]{1,4};)+$")
STRING_LINE = re.compile(r"^(\d+)(?:[ \t]+(.*))?$")
LANG_TOKEN = "<LANG"

USAGE = """usage: check_language_file.py [--same-numbers] FILE...
With --same-numbers every file must define exactly the string numbers of the first one."""


class Report:
    def __init__(self, path):
        self.path = path
        self.faults = 0

    def fault(self, line, message):
        place = f"{self.path}:{line}" if line else self.path
        print(f"{place}: {message}")
        self.faults += 1


def split_lines(text, report):
    """Cuts the text at CR LF; reports lone CRs and LFs and a missing final CR LF."""
    ending_faults = []
    lines = split_at_crlf(text, lambda line, message: ending_faults.append((line, message)))
    for line, message in ending_faults[:3]:
        report.fault(line, message)
    if len(ending_faults) > 3:
        report.fault(0, f"{len(ending_faults) - 3} more lines with a wrong line end")
    return lines


def split_at_crlf(text, fault):
    lines = []
    pos = 0
    number = 1
    while pos < len(text):
        cr = text.find("\r", pos)
        lf = text.find("\n", pos)
        if cr < 0 and lf < 0:
            fault(number, "last line has no CR LF at its end")
            lines.append(text[pos:])
            break
        if lf >= 0 and (cr < 0 or lf < cr):
            fault(number, "line feed without carriage return (the setup drops the line so far)")
            lines.append(text[pos:lf])
            pos = lf + 1
        elif cr + 1 >= len(text) or text[cr + 1] != "\n":
            fault(number, "carriage return without line feed")
            lines.append(text[pos:cr])
            pos = cr + 1
        else:
            lines.append(text[pos:cr])
            pos = cr + 2
        number += 1
    return lines


def lang_tokens(text, report, line):
    """Numbers of the <LANGn> tokens of a text, as the setup reads them (exact case)."""
    numbers = []
    pos = 0
    while True:
        start = text.find(LANG_TOKEN, pos)
        if start < 0:
            return numbers
        end = text.find(">", start)
        digits = text[start + len(LANG_TOKEN):end] if end >= 0 else ""
        if end < 0 or not digits.isdigit() or not digits.isascii():
            report.fault(line, f"token {text[start:end + 1 if end >= 0 else None]!r} "
                               "is not <LANG followed by a decimal number and >")
            return numbers
        numbers.append(int(digits))
        pos = end + 1


def check_file(path):
    """Checks one file; returns (report, set of string numbers)."""
    report = Report(path)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        report.fault(0, f"cannot read: {e.strerror}")
        return report, set()

    if not data.startswith(b"\xff\xfe"):
        report.fault(0, "does not start with the UTF-16 little-endian byte-order mark FF FE")
        return report, set()
    if len(data) % 2:
        report.fault(0, "odd number of bytes (the setup ignores the last byte)")
    try:
        text = data[2:len(data) - len(data) % 2].decode("utf-16-le")
    except UnicodeDecodeError as e:
        report.fault(0, f"not valid UTF-16 little-endian: {e.reason} at byte {e.start + 2}")
        return report, set()

    lines = split_lines(text, report)
    if len(lines) < 3:
        report.fault(0, "needs a name line, an identifier line and at least one string line")
        return report, set()

    name = lines[0].strip()
    if not name:
        report.fault(1, "the language name (line 1) is empty")
    if "\ufeff" in lines[0]:
        report.fault(1, "a second byte-order mark stands in the name line")

    identifiers = lines[1].strip()
    if not IDENTIFIERS.match(identifiers):
        report.fault(2, f"identifier line {identifiers!r} is not hexadecimal identifiers "
                        "each followed by ';'")

    strings = {}
    for index, raw in enumerate(lines[2:], start=3):
        line = raw.strip(" \t\x00" + "".join(chr(c) for c in range(1, 33)))
        if not line:
            report.fault(index, "empty line (the setup reads it as a string without a number and stops)")
            continue
        match = STRING_LINE.match(line)
        if not match or not match.group(1).isascii():
            report.fault(index, f"not a decimal string number, a blank and a text: {line[:40]!r}")
            continue
        number = int(match.group(1))
        if number > 65535:
            report.fault(index, f"string number {number} is above 65535")
            continue
        if number in strings:
            report.fault(index, f"string number {number} already defined on line {strings[number][0]}")
            continue
        strings[number] = (index, match.group(2) or "")

    for number, placeholders in sorted(REQUIRED.items()):
        if number not in strings:
            report.fault(0, f"string {number} is missing (the program uses it)")
            continue
        line, value = strings[number]
        if not value.strip():
            report.fault(line, f"string {number} is empty")
        for placeholder in placeholders:
            if placeholder.lower() not in value.lower():
                report.fault(line, f"string {number} lacks {placeholder}")
        if number in SHOWN_AS_IS:
            markup = PAGE_MARKUP.search(value)
            if markup:
                report.fault(line, f"string {number} is shown as it stands: "
                                   f"{markup.group(0)!r} would appear literally")

    # <LANGn> tokens: each must name a string; no string may reach itself.
    references = {}
    for number, (line, value) in strings.items():
        references[number] = lang_tokens(value, report, line)
        for target in references[number]:
            if target not in strings:
                report.fault(line, f"string {number} refers to <LANG{target}>, which is not defined")
    for start in references:
        seen = set()
        pending = list(references[start])
        while pending:
            target = pending.pop()
            if target == start:
                report.fault(strings[start][0], f"string {start} reaches itself through <LANGn> tokens")
                break
            if target in seen or target not in references:
                continue
            seen.add(target)
            pending.extend(references[target])

    return report, set(strings)


def main(argv):
    args = argv[1:]
    same_numbers = False
    if args and args[0] == "--same-numbers":
        same_numbers = True
        args = args[1:]
    if not args or any(a.startswith("-") for a in args):
        print(USAGE, file=sys.stderr)
        return 2

    failed = False
    first_numbers = None
    for path in args:
        report, numbers = check_file(path)
        if same_numbers and report.faults == 0:
            if first_numbers is None:
                first_numbers = (path, numbers)
            else:
                missing = sorted(first_numbers[1] - numbers)
                extra = sorted(numbers - first_numbers[1])
                if missing:
                    report.fault(0, f"lacks strings {missing} that {first_numbers[0]} defines")
                if extra:
                    report.fault(0, f"defines strings {extra} that {first_numbers[0]} lacks")
        if report.faults:
            failed = True
        else:
            print(f"{path}: ok, {len(numbers)} strings")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
