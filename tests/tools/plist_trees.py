#!/usr/bin/env python3
"""plist_trees.py FOLDER COUNT SEED: random trees written by plistlib, an independent writer, as
FOLDER/tree-N.xml and tree-N.bin, with tree-N.dump, the value as tests/plist_dump.h prints it."""

import datetime
import math
import plistlib
import random
import sys

EPOCH = datetime.datetime(2001, 1, 1)

WORDS = [
    "", "a", "CFBundleName", "NSUIElement", "true", "A & B", "<tag>", "quote\"s", "it's", "]]>",
    "caf\u00e9", "\u00a9 2024", "\u6f22\u5b57", "\U0001F600", "e\u0301", "\u00a0nbsp", "\ufeffbom",
    "\u2028", "\uff61", "tab\there", "line\nbreak", "x" * 14, "y" * 15, "z" * 16, "w" * 255, "v" * 256,
    "MixedCase", "mixedcase", "\U0001F600\uff61", "com.example.app",
]

INTEGERS = [
    0, 1, -1, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1, -(2**63), 2**63, 2**64 - 1,
    -255, -256, 42,
]

# Not -0.0: plistlib shares it with 0.0 in binary output, as they compare equal.
REALS = [0.0, 0.1, 1.0, 1.5, 1e300, 2.5e-7, -3.25, math.inf, -math.inf, math.nan, 5e-324]


def text(rng):
    if rng.random() < 0.7:
        return rng.choice(WORDS)
    # No control characters: plistlib refuses them in XML text.
    alphabet = "abcXYZ09 &<>\"'\u00e9\u4e2d\U0001F680\u00ff"
    return "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 40)))


def scalar(rng):
    kind = rng.randrange(8)
    if kind == 0:
        return text(rng)
    if kind == 1:
        return rng.choice(INTEGERS) if rng.random() < 0.6 else rng.randint(-(2**63), 2**64 - 1)
    if kind == 2:
        return rng.choice(REALS) if rng.random() < 0.5 else rng.uniform(-1e6, 1e6)
    if kind == 3:
        return rng.random() < 0.5
    if kind == 4:
        # Whole seconds: XML dates hold no fraction.
        return datetime.datetime(1, 1, 1) + datetime.timedelta(seconds=rng.randint(0, 315537897599))
    if kind == 5:
        return bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 2, 3, 57, 58, 200])))
    if kind == 6:
        return plistlib.UID(rng.choice([0, 1, 255, 65536, 2**32 - 1, rng.randrange(2**32)]))
    return text(rng)


def tree(rng, depth):
    if depth >= 4 or rng.random() < 0.3:
        return scalar(rng)
    if rng.random() < 0.6:
        return {text(rng): tree(rng, depth + 1) for _ in range(rng.randint(0, 8))}
    return [tree(rng, depth + 1) for _ in range(rng.randint(0, 8))]


def without_uids(value):
    """plistlib writes no UID in XML; CoreFoundation's form is a dictionary {CF$UID = n}."""
    if isinstance(value, plistlib.UID):
        return {"CF$UID": value.data}
    if isinstance(value, dict):
        return {k: without_uids(v) for k, v in value.items()}
    if isinstance(value, list):
        return [without_uids(v) for v in value]
    return value


def number(x):
    return "nan" if math.isnan(x) else ("inf" if x > 0 else "-inf") if math.isinf(x) else "%.17g" % x


def quoted(s):
    return '"' + "".join(chr(b) if 0x20 <= b < 0x7F and chr(b) not in "\"\\" else "\\x%02x" % b
                         for b in s.encode("utf-8")) + '"'


def dump(value):
    if isinstance(value, str):
        return quoted(value)
    if isinstance(value, bytes):
        return "<" + value.hex() + ">"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return "r" + number(value)
    if isinstance(value, datetime.datetime):
        return "d" + number((value - EPOCH).total_seconds())
    if isinstance(value, plistlib.UID):
        return "u%d" % value.data
    if isinstance(value, list):
        return "[" + ",".join(dump(v) for v in value) + "]"
    if isinstance(value, dict):
        return "{" + "".join(sorted(dump(k) + "=" + dump(v) + ";" for k, v in value.items())) + "}"
    raise TypeError(type(value))


def main():
    folder, count, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    rng = random.Random(seed)
    for n in range(count):
        # Mostly dictionaries, as Info.plist files are.
        value = tree(rng, 0) if n % 4 == 3 else {text(rng): tree(rng, 1) for _ in range(rng.randint(0, 12))}
        with open("%s/tree-%d.bin" % (folder, n), "wb") as f:
            f.write(plistlib.dumps(value, fmt=plistlib.FMT_BINARY))
        with open("%s/tree-%d.xml" % (folder, n), "wb") as f:
            f.write(plistlib.dumps(without_uids(value), fmt=plistlib.FMT_XML))
        with open("%s/tree-%d.dump" % (folder, n), "w", encoding="ascii") as f:
            f.write(dump(value) + "\n")


if __name__ == "__main__":
    main()
