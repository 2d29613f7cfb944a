#!/usr/bin/env python3
"""Prints Python's own case mappings as reference data for tests/cpp/test_unicode.cpp.

Usage: python_case_reference.py [--derived-age PATH] [--table-version X.Y.Z]
                                [--random N] [--seed S]

Python's str methods use the Unicode version of its unicodedata module, which may differ from
the version of the generated C++ tables. Only code points whose data both versions can be
expected to share are compared: those assigned in a version no later than the older of the two
(according to DerivedAge.txt), plus those unassigned in every version DerivedAge.txt knows.

Output, one record per line, all numbers hexadecimal:
    REFERENCE <python version> <unidata version> <compared version>
    EXCLUDE <first> <last>              code points not to compare (inclusive range)
    C <cp> <lower first> <upper first> <full lower, code points joined by ','>
                                        every compared code point with a case mapping; all
                                        others map to themselves
    S <text> <text.lower()>             texts as UTF-8 bytes in hex, '-' for the empty text
    END <number of C lines> <number of S lines>
or a single line "SKIP <reason>" when the reference cannot be produced.
"""

from __future__ import annotations

import argparse
import random
import re
import sys
import unicodedata

SURROGATES = (0xD800, 0xDFFF)

# Strings around capital sigma (U+03A3): cased letters, case-ignorable marks (U+0301, U+00AD,
# U+0345, which is cased as well, U+02B0 likewise, U+2019 and the ASCII ones), uncased letters,
# spaces and characters with several-code-point lower-case forms.
FIXED_TEXTS = [
    "",
    "Σ",
    "ΑΣ",
    "ΑΣ Α",
    "ΑΣΑ",
    "ΣΑ",
    "ΑΣΣ",
    "ΣΣ",
    "ΣΣΣ",
    "Α\u0345Σ",
    "\u0345Σ",
    "ΑΣ\u0345",
    "ΑΣ\u0345Α",
    "ΑΣ\u0301",
    "Α\u0301Σ",
    "Α\u0301Σ\u0301",
    "Α\u0301Σ\u0301Α",
    "Α\u00adΣ",
    "ΑΣ\u00ad",
    "Α'Σ",
    "Α.Σ.",
    "ΑΣ.Α",
    "ΑΣ:",
    "a^Σ`",
    "1Σ",
    "ΑΣ1",
    " Σ ",
    "ΟΔΥΣΣΕΥΣ",
    "ὈΔΥΣΣΕΎΣ",
    "ΑΣ\u2019Α",
    "ʰΣ",
    "ΑΣʰ",
    "\U0001d400Σ",
    "ΑΣ\U0001d400",
    "אΣ",
    "ΑΣא",
    "İ",
    "İstanbul",
    "ΑİΣ",
    "Σİ",
    "HELLO ΣΑΣ World",
    "ǅΣ",
    "ᾈΣ",
    "Ⅰ Σ Ⅰ",
    "ⅠΣ",
    "ß Σ",
]

RANDOM_ALPHABET = [
    "Α",
    "Β",
    "Ω",
    "α",
    "ω",
    "Σ",
    "Σ",
    "Σ",
    "σ",
    "ς",
    "\u0301",
    "\u0307",
    "\u00ad",
    "\u0345",
    "\u02b0",
    "\u2019",
    "'",
    ".",
    ":",
    "^",
    "`",
    " ",
    "-",
    "\n",
    "\u00a0",
    "a",
    "Z",
    "1",
    "\u00aa",
    "\u00df",
    "\u0130",
    "\u05d0",
    "\u2160",
    "\u1f88",
    "\u01c5",
    "\U0001d400",
    "\U00010400",
]


def parse_version(text):
    return tuple(int(part) for part in text.split("."))


def read_derived_age(path):
    """(version of the file, list of (first, last, age))."""
    ranges = []
    file_version = None
    with open(path, encoding="utf-8") as handle:
        for line in handle:
            if file_version is None:
                match = re.match(r"#\s*DerivedAge-(\d+\.\d+\.\d+)\.txt", line)
                if match:
                    file_version = parse_version(match.group(1))
            data = line.split("#", 1)[0].strip()
            if not data:
                continue
            cps, age = (field.strip() for field in data.split(";"))
            if ".." in cps:
                first, last = (int(x, 16) for x in cps.split(".."))
            else:
                first = last = int(cps, 16)
            ranges.append((first, last, parse_version(age)))
    if file_version is None:
        raise SystemExit("SKIP cannot read the version of " + path)
    return file_version, ranges


def excluded_ranges(age_ranges, file_version, compared, newest):
    """Inclusive ranges of code points not to compare, sorted and merged."""
    assigned = [False] * 0x110000
    excluded = []
    for first, last, age in age_ranges:
        for cp in range(first, last + 1):
            assigned[cp] = True
        if age > compared:
            excluded.append((first, last))
    excluded.append(SURROGATES)
    if newest > file_version:
        # Characters newer than DerivedAge.txt look unassigned here; leave all those out.
        start = None
        for cp in range(0x110000 + 1):
            free = cp < 0x110000 and not assigned[cp]
            if free and start is None:
                start = cp
            elif not free and start is not None:
                excluded.append((start, cp - 1))
                start = None
    excluded.sort()
    merged = []
    for first, last in excluded:
        if merged and first <= merged[-1][1] + 1:
            merged[-1] = (merged[-1][0], max(merged[-1][1], last))
        else:
            merged.append((first, last))
    return merged


def hex_text(text):
    return text.encode("utf-8").hex() or "-"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--derived-age", default="/usr/share/unicode/DerivedAge.txt")
    parser.add_argument(
        "--table-version", default=None, help="Unicode version of the C++ tables (default: Python's)"
    )
    parser.add_argument("--random", type=int, default=3000, help="number of random texts")
    parser.add_argument("--seed", type=int, default=20240229)
    args = parser.parse_args()

    python_unicode = parse_version(unicodedata.unidata_version)
    tables = parse_version(args.table_version) if args.table_version else python_unicode
    compared = min(python_unicode, tables)
    newest = max(python_unicode, tables)
    try:
        file_version, age_ranges = read_derived_age(args.derived_age)
    except OSError as error:
        print(f"SKIP cannot read DerivedAge.txt: {error}")
        return 0

    out = sys.stdout
    out.write(
        f"REFERENCE {sys.version.split()[0]} {unicodedata.unidata_version} {'.'.join(map(str, compared))}\n"
    )
    excluded = excluded_ranges(age_ranges, file_version, compared, newest)
    for first, last in excluded:
        out.write(f"EXCLUDE {first:X} {last:X}\n")

    skip = [False] * 0x110000
    for first, last in excluded:
        for cp in range(first, last + 1):
            skip[cp] = True
    code_point_lines = 0
    for cp in range(0x110000):
        if skip[cp]:
            continue
        ch = chr(cp)
        lower = ch.lower()
        upper = ch.upper()
        if lower == ch and upper == ch:
            continue
        full = ",".join(f"{ord(c):X}" for c in lower)
        out.write(f"C {cp:X} {ord(lower[0]):X} {ord(upper[0]):X} {full}\n")
        code_point_lines += 1

    rng = random.Random(args.seed)
    texts = list(FIXED_TEXTS)
    for _ in range(args.random):
        length = rng.randint(1, 12)
        texts.append("".join(rng.choice(RANDOM_ALPHABET) for _ in range(length)))
    for text in texts:
        out.write(f"S {hex_text(text)} {hex_text(text.lower())}\n")
    out.write(f"END {code_point_lines} {len(texts)}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
