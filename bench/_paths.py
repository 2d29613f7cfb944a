"""Real candidate lists for the ranking benchmarks: file paths found on this machine (the Python
standard library, the interpreter's prefix, then /usr), the same on any fresh install."""

import os
import sys
import sysconfig


def _roots():
    roots = [sysconfig.get_paths()["stdlib"], sys.prefix, "/usr"]
    seen = []
    for root in roots:
        real = os.path.realpath(root)
        if os.path.isdir(real) and real not in seen:
            seen.append(real)
    return seen


def real_paths(count):
    """`count` file paths, walked in a fixed order. Paths that are not valid UTF-8 are left out.
    When the machine has fewer files, the list is repeated under numbered prefixes; the second
    value says how many distinct real paths were found."""
    found = []
    seen = set()
    for root in _roots():
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames.sort()
            for name in sorted(filenames):
                path = os.path.join(dirpath, name)
                if path in seen:
                    continue
                try:
                    path.encode("utf-8")
                except UnicodeEncodeError:
                    continue
                seen.add(path)
                found.append(path)
                if len(found) == count:
                    return found, len(found)
    real = len(found)
    if real == 0:
        raise SystemExit("no files found to rank")
    copy = 1
    while len(found) < count:
        found.extend(f"/copy{copy}{p}" for p in found[:real][: count - len(found)])
        copy += 1
    return found, real
