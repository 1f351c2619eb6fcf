#!/usr/bin/env python3
"""Prints the resources a PE file carries: the file version of its version resource (id 1) and the ids of its
icon groups, as `version=1.0.0.0 icons=106`."""
import struct
import sys

data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
sections = struct.unpack_from("<H", data, pe + 6)[0]
optional_size = struct.unpack_from("<H", data, pe + 20)[0]
table = pe + 24 + optional_size
rsrc = None
for i in range(sections):
    name, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
    if name.rstrip(b"\0") == b".rsrc":
        rsrc = (vaddr, rawptr)
if rsrc is None:
    sys.exit("no resources")
base = rsrc[1]


def entries(offset):
    named, ids = struct.unpack_from("<HH", data, base + offset + 12)
    for i in range(named + ids):
        ident, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * i)
        yield ident, target


def first_leaf(target):
    while target & 0x80000000:
        target = next(entries(target & 0x7FFFFFFF))[1]
    rva, size = struct.unpack_from("<II", data, base + target)
    return base + rva - rsrc[0], size


version, icons = "none", []
for type_id, target in entries(0):
    if type_id == 14:  # icon groups
        icons = [str(ident) for ident, _ in entries(target & 0x7FFFFFFF)]
    if type_id == 16:  # version
        for ident, sub in entries(target & 0x7FFFFFFF):
            if ident == 1:
                at, size = first_leaf(sub)
                blob = data[at:at + size]
                fixed = blob.find(struct.pack("<I", 0xFEEF04BD))
                ms, ls = struct.unpack_from("<II", blob, fixed + 8)
                version = f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
print(f"version={version} icons={','.join(icons)}")
