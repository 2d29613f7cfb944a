#!/usr/bin/env python3
"""Generates src/core/unicode_tables.cpp from the Unicode Character Database.

Usage: gen_unicode_tables.py [UCD_DIR] [OUTPUT]
    UCD_DIR  directory holding UnicodeData.txt, SpecialCasing.txt, PropList.txt,
             DerivedCoreProperties.txt and ReadMe.txt (default /usr/share/unicode)
    OUTPUT   path of the C++ file to write (default src/core/unicode_tables.cpp
             next to this script's repository)

For every code point the generator builds one record:
    lower_delta   first code point of the full lower-case mapping, minus the code point
    upper_delta   first code point of the full upper-case mapping, minus the code point
    tail          the rest of the full lower-case mapping (offset and length in a pool)
    flags         White_Space, Cased, Case_Ignorable
Full mappings are the unconditional entries of SpecialCasing.txt where they exist and the
simple mappings of UnicodeData.txt otherwise; conditional and language-specific entries are
left out (Final_Sigma is applied by the C++ code).

Records are deduplicated, and the per-code-point record numbers are stored as a two-stage
table: a block index (code point >> shift) and deduplicated blocks of record numbers. The
shift is the one that gives the smallest tables. Code points at or above the end of the last
block that holds a non-default record use record 0 (no mapping, no property) without a lookup.

Only the Python standard library is used, and the output depends on the input files alone.
"""

from __future__ import annotations

import os
import re
import sys

MAX_CODE_POINT = 0x10FFFF
FLAG_WHITE_SPACE = 1
FLAG_CASED = 2
FLAG_CASE_IGNORABLE = 4


def read_data_lines(path):
    """Yields the semicolon-separated fields of each data line, comments removed."""
    with open(path, encoding="utf-8") as handle:
        for line in handle:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def parse_range(text):
    if ".." in text:
        first, last = text.split("..")
        return int(first, 16), int(last, 16)
    value = int(text, 16)
    return value, value


def read_property(path, name):
    """The set of code points that have binary property `name` in a UCD property file."""
    result = set()
    for fields in read_data_lines(path):
        if len(fields) >= 2 and fields[1] == name:
            first, last = parse_range(fields[0])
            result.update(range(first, last + 1))
    if not result:
        raise SystemExit(f"property {name} not found in {path}")
    return result


def read_version(ucd_dir):
    with open(os.path.join(ucd_dir, "ReadMe.txt"), encoding="utf-8") as handle:
        text = handle.read()
    match = re.search(r"Version (\d+\.\d+\.\d+) of the Unicode Standard", text)
    if match is None:
        match = re.search(r"Unicode(\d+\.\d+\.\d+)", text)
    if match is None:
        raise SystemExit("cannot find the Unicode version in ReadMe.txt")
    return match.group(1)


def read_case_mappings(ucd_dir):
    """Full lower mappings (tuples) and first code points of the full upper mappings."""
    lower = {}
    upper = {}
    for fields in read_data_lines(os.path.join(ucd_dir, "UnicodeData.txt")):
        cp = int(fields[0], 16)
        if fields[12]:
            upper[cp] = (int(fields[12], 16),)
        if fields[13]:
            lower[cp] = (int(fields[13], 16),)
    for fields in read_data_lines(os.path.join(ucd_dir, "SpecialCasing.txt")):
        # code; lower; title; upper; [condition list;]
        if len(fields) > 4 and fields[4]:
            continue
        cp = int(fields[0], 16)
        lower[cp] = tuple(int(x, 16) for x in fields[1].split())
        upper[cp] = tuple(int(x, 16) for x in fields[3].split())
    return lower, upper


def build_records(ucd_dir):
    lower, upper = read_case_mappings(ucd_dir)
    white_space = read_property(os.path.join(ucd_dir, "PropList.txt"), "White_Space")
    derived = os.path.join(ucd_dir, "DerivedCoreProperties.txt")
    cased = read_property(derived, "Cased")
    case_ignorable = read_property(derived, "Case_Ignorable")

    pool = []  # tails of multi-code-point lower mappings
    tail_offsets = {}
    records = [(0, 0, 0, 0, 0)]
    record_numbers = {records[0]: 0}
    per_code_point = [0] * (MAX_CODE_POINT + 1)
    for cp in range(MAX_CODE_POINT + 1):
        full_lower = lower.get(cp, (cp,))
        full_upper = upper.get(cp, (cp,))
        if not full_lower or not full_upper:
            raise SystemExit(f"empty case mapping for U+{cp:04X}")
        tail = full_lower[1:]
        offset = 0
        if tail:
            if tail not in tail_offsets:
                tail_offsets[tail] = len(pool)
                pool.extend(tail)
            offset = tail_offsets[tail]
        flags = 0
        if cp in white_space:
            flags |= FLAG_WHITE_SPACE
        if cp in cased:
            flags |= FLAG_CASED
        if cp in case_ignorable:
            flags |= FLAG_CASE_IGNORABLE
        record = (full_lower[0] - cp, full_upper[0] - cp, offset, len(tail), flags)
        number = record_numbers.get(record)
        if number is None:
            number = len(records)
            record_numbers[record] = number
            records.append(record)
        per_code_point[cp] = number
    if len(pool) > 0xFFFF or max(r[3] for r in records) > 0xFF:
        raise SystemExit("lower-case tails do not fit the record fields")
    return records, pool, per_code_point


def integer_type(max_value):
    if max_value <= 0xFF:
        return "std::uint8_t", 1
    if max_value <= 0xFFFF:
        return "std::uint16_t", 2
    return "std::uint32_t", 4


def split_two_stage(values, shift):
    """Block index and deduplicated blocks for `values` (its length a multiple of 1 << shift)."""
    size = 1 << shift
    blocks = []
    block_numbers = {}
    index = []
    for start in range(0, len(values), size):
        block = tuple(values[start : start + size])
        number = block_numbers.get(block)
        if number is None:
            number = len(blocks)
            block_numbers[block] = number
            blocks.append(block)
        index.append(number)
    return index, blocks


def best_layout(per_code_point, record_count):
    """The (shift, limit, index, blocks) with the fewest bytes; ties go to the smaller shift."""
    last_used = max(cp for cp, number in enumerate(per_code_point) if number != 0)
    _, entry_size = integer_type(record_count - 1)
    best = None
    for shift in range(4, 11):
        size = 1 << shift
        limit = (last_used // size + 1) * size
        index, blocks = split_two_stage(per_code_point[:limit], shift)
        _, index_size = integer_type(len(blocks) - 1)
        total = len(index) * index_size + len(blocks) * size * entry_size
        if best is None or total < best[0]:
            best = (total, shift, limit, index, blocks)
    return best[1:]


def format_array(values, per_line, width=0):
    lines = []
    for start in range(0, len(values), per_line):
        chunk = values[start : start + per_line]
        lines.append("    " + ", ".join(str(v).rjust(width) for v in chunk) + ",")
    return "\n".join(lines)


def render(version, records, pool, per_code_point):
    shift, limit, index, blocks = best_layout(per_code_point, len(records))
    entry_type, _ = integer_type(len(records) - 1)
    index_type, _ = integer_type(len(blocks) - 1)
    flat_blocks = [v for block in blocks for v in block]
    entry_width = len(str(len(records) - 1))
    index_width = len(str(len(blocks) - 1))

    out = []
    out.append(
        "// Unicode character data: White_Space, Cased, Case_Ignorable and the full case mappings.\n"
        "// GENERATED FILE, DO NOT EDIT: written by tools/gen_unicode_tables.py from the Unicode\n"
        f"// Character Database, version {version}. Rerun the script to change it.\n"
        "//\n"
        f"// {len(records)} distinct records, {len(blocks)} blocks of {1 << shift} code points,\n"
        f"// block index up to U+{limit:04X} (everything above uses record 0).\n"
        '#include "core/unicode_tables.hpp"\n'
        "\n"
        "#include <cstdint>\n"
        "\n"
        '#include "core/unicode.hpp"\n'
        "\n"
        "namespace brindle::unicode {\n"
        "\n"
        f'const char* const kUnicodeVersion = "{version}";\n'
        "\n"
        "namespace detail {\n"
        "namespace {\n"
        "\n"
        f"constexpr unsigned kBlockShift = {shift};\n"
        f"constexpr char32_t kBlockMask = {(1 << shift) - 1};\n"
        f"constexpr char32_t kIndexedLimit = 0x{limit:X};\n"
        "\n"
        "// Records: lower delta, upper delta, tail offset, tail length, flags.\n"
        f"constexpr CharRecord kRecords[{len(records)}] = {{\n"
    )
    for lower_delta, upper_delta, offset, length, flags in records:
        out.append(f"    {{{lower_delta}, {upper_delta}, {offset}, {length}, {flags}}},\n")
    out.append("};\n\n")
    out.append("// Code points that follow the first one in a full lower-case mapping.\n")
    out.append(f"constexpr char32_t kLowerTails[{max(len(pool), 1)}] = {{\n")
    out.append(format_array([f"0x{cp:04X}" for cp in pool] or ["0"], 10) + "\n};\n\n")
    out.append("// Block number of each run of (1 << kBlockShift) code points below kIndexedLimit.\n")
    out.append(f"constexpr {index_type} kBlockIndex[{len(index)}] = {{\n")
    out.append(format_array(index, 20, index_width) + "\n};\n\n")
    out.append("// Record numbers of the code points of each distinct block.\n")
    out.append(f"constexpr {entry_type} kBlocks[{len(flat_blocks)}] = {{\n")
    out.append(format_array(flat_blocks, 1 << min(shift, 4), entry_width) + "\n};\n\n")
    out.append(
        "}  // namespace\n"
        "\n"
        "const CharRecord& char_record(char32_t cp) {\n"
        "    if (cp >= kIndexedLimit) return kRecords[0];\n"
        "    const std::uint32_t block = kBlockIndex[cp >> kBlockShift];\n"
        "    return kRecords[kBlocks[(block << kBlockShift) | (cp & kBlockMask)]];\n"
        "}\n"
        "\n"
        "const char32_t* lower_tail(const CharRecord& record) {\n"
        "    return kLowerTails + record.tail_offset;\n"
        "}\n"
        "\n"
        "}  // namespace detail\n"
        "}  // namespace brindle::unicode\n"
    )
    return "".join(out)


def main(argv):
    if len(argv) > 3 or (len(argv) > 1 and argv[1] in ("-h", "--help")):
        print(__doc__)
        return 0 if len(argv) > 1 and argv[1] in ("-h", "--help") else 2
    ucd_dir = argv[1] if len(argv) > 1 else "/usr/share/unicode"
    default_out = os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "src", "core", "unicode_tables.cpp"
    )
    output = argv[2] if len(argv) > 2 else os.path.normpath(default_out)
    version = read_version(ucd_dir)
    records, pool, per_code_point = build_records(ucd_dir)
    text = render(version, records, pool, per_code_point)
    with open(output, "w", encoding="utf-8", newline="\n") as handle:
        handle.write(text)
    print(f"wrote {output}: Unicode {version}, {len(records)} records", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
