#!/usr/bin/env python3
"""Writes the seeds of the export_table fuzz target: small libraries made here, byte by byte.

Each well-formed seed (elf_*, pe_*) exports prj_init, test_start and test_end and has one symbol
that isn't exported; the tests read them too. The damaged ones (cut_*) are truncated copies.

    fuzz/make_export_seeds.py fuzz/corpus/export_table
"""
import os
import struct
import sys

NAMES = ["prj_init", "test_start", "test_end"]


def elf(wide, big, sections=True, gnu_hash=False):
    e = ">" if big else "<"
    word = "Q" if wide else "I"
    header_size, ph_size, sh_size, sym_size = (64, 56, 64, 24) if wide else (52, 32, 40, 16)
    dyn_size = 16 if wide else 8

    # String table: "", the exported names, a local one.
    strtab = b"\0"
    offsets = {}
    for name in NAMES + ["helper"]:
        offsets[name] = len(strtab)
        strtab += name.encode() + b"\0"

    def symbol(name, info, other, shndx):
        if wide:
            return struct.pack(e + "IBBHQQ", offsets.get(name, 0), info, other, shndx, 0x100, 8)
        return struct.pack(e + "IIIBBH", offsets.get(name, 0), 0x100, 8, info, other, shndx)

    # The null symbol, an undefined import, the three exports, a hidden one.
    symbols = [symbol("", 0, 0, 0), symbol("helper", 0x12, 0, 0)]
    symbols += [symbol(name, 0x12, 0, 1) for name in NAMES]
    symbols += [symbol("helper", 0x12, 2, 1)]
    symtab = b"".join(symbols)
    count = len(symbols)

    if gnu_hash:
        # One bucket naming symbol 1; chains end at the last symbol.
        bloom = struct.pack(e + word, 0xFFFFFFFF)
        chains = [0] * (count - 1)
        chains[-1] = 1
        hash_table = struct.pack(e + "IIII", 1, 1, 1, 6) + bloom + struct.pack(e + "I", 1)
        hash_table += struct.pack(e + "%dI" % len(chains), *chains)
    else:
        hash_table = struct.pack(e + "II", 1, count) + struct.pack(e + "I", 1)
        hash_table += struct.pack(e + "%dI" % count, *range(count))

    # Layout: header, program headers, symbols, strings, hash, dynamic, section headers.
    phoff = header_size
    symoff = phoff + 2 * ph_size
    stroff = symoff + len(symtab)
    hashoff = stroff + len(strtab)
    hashoff += (-hashoff) % 8
    dynoff = hashoff + len(hash_table)
    dynoff += (-dynoff) % 8
    tags = [(0x6FFFFEF5 if gnu_hash else 4, hashoff), (5, stroff), (6, symoff),
            (10, len(strtab)), (11, sym_size), (0, 0)]
    dynamic = b"".join(struct.pack(e + ("qQ" if wide else "iI"), t, v) for t, v in tags)
    shoff = dynoff + len(dynamic)
    shnum = 3 if sections else 0
    size = shoff + shnum * sh_size

    ident = b"\x7fELF" + bytes([2 if wide else 1, 2 if big else 1, 1]) + b"\0" * 9
    rest = struct.pack(e + "HHI" + word + word + word + "IHHHHHH", 3, 62 if wide else 3, 1, 0,
                       phoff, shoff if sections else 0, 0, header_size, ph_size, 2, sh_size,
                       shnum, 0)
    data = bytearray(ident + rest)

    def program(kind, offset, length):
        if wide:
            return struct.pack(e + "IIQQQQQQ", kind, 4, offset, offset, offset, length, length, 8)
        return struct.pack(e + "IIIIIIII", kind, offset, offset, offset, length, length, 4, 4)

    data += program(1, 0, size) + program(2, dynoff, len(dynamic))
    data += symtab + strtab
    data += b"\0" * (hashoff - len(data)) + hash_table
    data += b"\0" * (dynoff - len(data)) + dynamic

    def section(kind, offset, length, link, entsize):
        if wide:
            return struct.pack(e + "IIQQQQIIQQ", 0, kind, 2, offset, offset, length, link, 1, 8,
                               entsize)
        return struct.pack(e + "IIIIIIIIII", 0, kind, 2, offset, offset, length, link, 1, 4,
                           entsize)

    if sections:
        data += section(0, 0, 0, 0, 0)
        data += section(11, symoff, len(symtab), 2, sym_size)
        data += section(3, stroff, len(strtab), 0, 0)
    return bytes(data)


def pe(wide):
    names = NAMES
    # Export data at RVA 0x1000, file offset 0x200: directory, functions, names, ordinals,
    # strings.
    rva = 0x1000
    count = len(names)
    functions = rva + 40
    name_table = functions + 4 * count
    ordinals = name_table + 4 * count
    strings = ordinals + 2 * count
    blob = b""
    name_rvas = []
    for name in names:
        name_rvas.append(strings + len(blob))
        blob += name.encode() + b"\0"
    export = struct.pack("<IIHHIIIIIII", 0, 0, 0, 0, strings + len(blob), 1, count, count,
                         functions, name_table, ordinals)
    export += struct.pack("<%dI" % count, *([0x2000] * count))
    export += struct.pack("<%dI" % count, *name_rvas)
    export += struct.pack("<%dH" % count, *range(count))
    export += blob + b"project.dll\0"

    optional_size = 240 if wide else 224
    dos = b"MZ" + b"\0" * 58 + struct.pack("<I", 0x40)
    coff = b"PE\0\0" + struct.pack("<HHIIIHH", 0x8664 if wide else 0x14C, 1, 0, 0, 0,
                                   optional_size, 0x2022 if wide else 0x2102)
    optional = bytearray(optional_size)
    struct.pack_into("<H", optional, 0, 0x20B if wide else 0x10B)
    directories = 112 if wide else 96
    struct.pack_into("<I", optional, directories - 4, 16)
    struct.pack_into("<II", optional, directories, rva, len(export))
    section = b".edata\0\0" + struct.pack("<IIIIIIHHI", len(export), rva, 0x200, 0x200, 0, 0,
                                          0, 0, 0x40000040)
    data = dos + coff + bytes(optional) + section
    data += b"\0" * (0x200 - len(data)) + export
    return data + b"\0" * (0x400 - len(data))


def main():
    out = sys.argv[1]
    seeds = {
        "elf_64_le": elf(True, False),
        "elf_32_le": elf(False, False),
        "elf_64_be": elf(True, True),
        "elf_32_be_gnu_hash_no_sections": elf(False, True, sections=False, gnu_hash=True),
        "elf_64_le_no_sections": elf(True, False, sections=False),
        "pe_64": pe(True),
        "pe_32": pe(False),
    }
    seeds["cut_elf_header"] = seeds["elf_64_le"][:40]
    seeds["cut_elf_symbols"] = seeds["elf_64_le"][:200]
    seeds["cut_pe_header"] = seeds["pe_64"][:0x90]
    seeds["cut_pe_exports"] = seeds["pe_64"][:0x220]
    seeds["text"] = b'{"testItems": []}\n'
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as file:
            file.write(data)


if __name__ == "__main__":
    main()
