"""Line and trimming rules of the module, in plain Python, shared by the benchmark baselines."""

# The Unicode White_Space characters, which trimming removes at both ends of a line.
WHITE_SPACE = "".join(map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                                0x2028, 0x2029, 0x202F, 0x205F, 0x3000]))


def split_lines(text):
    """Lines cut after each LF, the LF and one CR before it removed, no empty line after a final LF."""
    parts = text.split("\n")
    last = parts.pop()
    lines = [p[:-1] if p.endswith("\r") else p for p in parts]
    if last:
        lines.append(last)
    return lines


def trim(s):
    return s.strip(WHITE_SPACE)
