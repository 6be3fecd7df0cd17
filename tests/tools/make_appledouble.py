#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A second, independent AppleDouble and resource-fork writer and reader for the tests, packing
by the formats' own rules with struct and sharing no code with the program.

  make_appledouble.py build DESCRIPTION.json OUT   write the companion DESCRIPTION describes
  make_appledouble.py dump FILE                    print what a companion holds, one fact a line

DESCRIPTION: {"layout": "macos" (3,760-byte Finder info with an ATTR block) | "plain" (32-byte
Finder info) | "nofork" (no fork entry), "type", "creator", "attributes": [[name, hex]] (macos
only), "fork": {"attributes": n, "types": [{"code", "resources": [{"id", "name", "attributes",
"text" or "hex"}]}]} or null for an empty fork, "extra": [[id, hex]] entries after the fork}.
"""
import json
import struct
import sys


def pack_fork(description):
    types = [t for t in description.get("types", []) if t["resources"]]
    data = b""
    names = b""
    refs = b""
    type_list = struct.pack(">H", (len(types) - 1) & 0xFFFF)
    ref_at = 2 + 8 * len(types)
    for t in types:
        type_list += t["code"].encode("latin-1") + struct.pack(">HH", len(t["resources"]) - 1, ref_at)
        ref_at += 12 * len(t["resources"])
        for r in t["resources"]:
            body = r["text"].encode("utf-8") if "text" in r else bytes.fromhex(r.get("hex", ""))
            name_off = 0xFFFF
            if r.get("name"):
                name_off = len(names)
                raw = r["name"].encode("utf-8")
                names += bytes([len(raw)]) + raw
            refs += struct.pack(">hHB", r["id"], name_off, r.get("attributes", 0))
            refs += len(data).to_bytes(3, "big") + b"\0\0\0\0"
            data += struct.pack(">I", len(body)) + body
    name_list = 28 + len(type_list) + len(refs)
    map_len = name_list + len(names)
    header = struct.pack(">IIII", 256, 256 + len(data), len(data), map_len)
    area = b"This resource fork intentionally left blank".ljust(240, b"\0")
    map_ = header + b"\0" * 6 + struct.pack(">HHH", description.get("attributes", 0), 28, name_list)
    return header + area + data + map_ + type_list + refs + names


def attr_block(attributes, fork_offset, entry_offset):
    names = b""
    table = b""
    values = b""
    head = 36
    for name, _ in attributes:
        raw = name.encode("utf-8") + b"\0"
        size = (11 + len(raw) + 3) // 4 * 4
        head += size
    data_start = entry_offset + 34 + head
    at = data_start
    for name, value in attributes:
        raw = name.encode("utf-8") + b"\0"
        val = bytes.fromhex(value)
        item = struct.pack(">IIHB", at, len(val), 0, len(raw)) + raw
        table += item.ljust((len(item) + 3) // 4 * 4, b"\0")
        values += val
        at += len(val)
    block = b"ATTR" + struct.pack(">IIII", 0, fork_offset, data_start, len(values))
    block += b"\0" * 12 + struct.pack(">HH", 0, len(attributes))
    return block + table + values


def build(description):
    layout = description.get("layout", "macos")
    finfo = (description.get("type", "APPL").encode("latin-1") + description.get("creator", "????").encode("latin-1"))
    finfo = finfo.ljust(32, b"\0")
    fork = description.get("fork")
    fork_bytes = b"" if fork is None else pack_fork(fork)
    extra = description.get("extra", [])
    count = 1 + (layout != "nofork") + len(extra)
    offset = 50 if count <= 2 else 26 + 12 * count
    if layout == "macos":
        filler = b"Mac OS X".ljust(16, b" ")
        info_len = 3760
        info = finfo + b"\0\0" + attr_block(description.get("attributes", []), offset + info_len, offset)
        info = info.ljust(info_len, b"\0")
    else:
        filler = b"\0" * 16
        info = finfo
    entries = [(9, info)]
    if layout != "nofork":
        entries.append((2, fork_bytes))
    for ident, value in extra:
        entries.append((ident, bytes.fromhex(value)))
    table = b""
    body = b""
    for ident, value in entries:
        table += struct.pack(">III", ident, offset + len(body), len(value))
        body += value
    head = struct.pack(">II", 0x00051607, 0x00020000) + filler + struct.pack(">H", len(entries)) + table
    return head.ljust(offset, b"\0") + body


def dump_fork(fork, out):
    if not fork:
        out.append("fork empty")
        return
    data_off, map_off, data_len, map_len = struct.unpack_from(">IIII", fork, 0)
    m = fork[map_off:map_off + map_len]
    attrs, type_off, name_off = struct.unpack_from(">HHH", m, 22)
    out.append("map attributes %d" % attrs)
    count = (struct.unpack_from(">H", m, type_off)[0] + 1) & 0xFFFF
    for t in range(count):
        code, n, ref_off = struct.unpack_from(">4sHH", m, type_off + 2 + 8 * t)
        for r in range(n + 1):
            at = type_off + ref_off + 12 * r
            rid, noff, rattr = struct.unpack_from(">hHB", m, at)
            doff = int.from_bytes(m[at + 5:at + 8], "big")
            length = struct.unpack_from(">I", fork, data_off + doff)[0]
            body = fork[data_off + doff + 4:data_off + doff + 4 + length]
            name = "-"
            if noff != 0xFFFF:
                nlen = m[name_off + noff]
                name = m[name_off + noff + 1:name_off + noff + 1 + nlen].hex()
            out.append("resource %s %d %d %s %s" % (code.hex(), rid, rattr, name, body.hex()))


def dump(raw):
    out = []
    magic, version = struct.unpack_from(">II", raw, 0)
    count = struct.unpack_from(">H", raw, 24)[0]
    out.append("companion %08x %08x %s %d" % (magic, version, raw[8:24].hex(), count))
    for i in range(count):
        ident, offset, length = struct.unpack_from(">III", raw, 26 + 12 * i)
        body = raw[offset:offset + length]
        out.append("entry %d %d %s" % (ident, length, body.hex()))
        if ident == 2:
            dump_fork(body, out)
    return "\n".join(out) + "\n"


def main(argv):
    if len(argv) == 4 and argv[1] == "build":
        with open(argv[2], encoding="utf-8") as f:
            description = json.load(f)
        with open(argv[3], "wb") as f:
            f.write(build(description))
        return 0
    if len(argv) == 3 and argv[1] == "dump":
        with open(argv[2], "rb") as f:
            sys.stdout.write(dump(f.read()))
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
