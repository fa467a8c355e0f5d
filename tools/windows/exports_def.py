"""Writes a module-definition (.def) file from a DLL's export table, for an
import library made with dlltool.

The embeddable CPython has no import library; its DLL's export table is the
whole interface. An export whose address lies outside every executable
section is data (type objects, exception pointers, singletons) and is marked
DATA, so the import library gives it no call thunk and only the
__declspec(dllimport) route the headers take can reach it.

Usage: python exports_def.py python313.dll python313.def
"""

import struct
import sys

IMAGE_SCN_MEM_EXECUTE = 0x20000000


def read_exports(data):
    """[(name, is_data)] for every export of the PE image `data` that has a name."""
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe : pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    _, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic != 0x20B:
        raise ValueError("not a 64-bit image")
    export_rva, export_size = struct.unpack_from("<II", data, optional + 112)
    table = []
    for i in range(sections):
        at = optional + optional_size + 40 * i
        vsize, va, raw_size, raw_at = struct.unpack_from("<IIII", data, at + 8)
        flags = struct.unpack_from("<I", data, at + 36)[0]
        table.append((va, max(vsize, raw_size), raw_at, flags))

    def section_of(rva):
        for va, size, raw_at, flags in table:
            if va <= rva < va + size:
                return raw_at - va, flags
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def offset(rva):
        return rva + section_of(rva)[0]

    def c_string(rva):
        start = offset(rva)
        return data[start : data.index(b"\0", start)].decode("ascii")

    base = offset(export_rva)
    count, names, functions, name_list, ordinal_list = struct.unpack_from("<IIIII", data, base + 20)
    del count
    out = []
    for i in range(names):
        name = c_string(struct.unpack_from("<I", data, offset(name_list) + 4 * i)[0])
        ordinal = struct.unpack_from("<H", data, offset(ordinal_list) + 2 * i)[0]
        rva = struct.unpack_from("<I", data, offset(functions) + 4 * ordinal)[0]
        if export_rva <= rva < export_rva + export_size:
            raise ValueError(f"{name} is forwarded; forwarders are not handled")
        out.append((name, not section_of(rva)[1] & IMAGE_SCN_MEM_EXECUTE))
    return out


def main(dll, target):
    with open(dll, "rb") as f:
        exports = read_exports(f.read())
    library = dll.replace("\\", "/").rsplit("/", 1)[-1]
    with open(target, "w", newline="\n") as f:
        f.write(f"LIBRARY {library}\nEXPORTS\n")
        for name, is_data in exports:
            f.write(f"{name} DATA\n" if is_data else f"{name}\n")
    data = sum(1 for _, d in exports if d)
    print(f"{target}: {len(exports)} exports, {data} of them data")


if __name__ == "__main__":
    main(*sys.argv[1:])
