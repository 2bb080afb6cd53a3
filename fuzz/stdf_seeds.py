#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_stdf_reader to fuzz/corpus/stdf_reader/: small STDF V4 files
in both byte orders, with parts, the summary records, kx arrays and GEN_DATA, and one cut short.

    fuzz/stdf_seeds.py
"""
import os
import struct


class Fields:
    def __init__(self, big):
        self.order = ">" if big else "<"
        self.data = b""

    def pack(self, fmt, *values):
        self.data += struct.pack(self.order + fmt, *values)
        return self

    def u1(self, v): return self.pack("B", v)
    def u2(self, v): return self.pack("H", v)
    def u4(self, v): return self.pack("I", v)
    def i2(self, v): return self.pack("h", v)
    def r4(self, v): return self.pack("f", v)
    def r8(self, v): return self.pack("d", v)
    def c1(self, c): return self.raw(c.encode())
    def cn(self, text): return self.u1(len(text)).raw(text.encode())

    def raw(self, b):
        self.data += b
        return self


def record(typ, sub, fields):
    return struct.pack(fields.order + "HBB", len(fields.data), typ, sub) + fields.data


def datalog(big):
    F = lambda: Fields(big)
    out = record(0, 10, F().u1(1 if big else 2).u1(4))
    out += record(1, 10, F().u4(0).u4(0).u1(1).c1("P").c1(" ").c1(" ").u2(65535).c1(" ")
                  .cn("LOT1").cn("PMIC"))
    out += record(1, 80, F().u1(1).u1(1).u1(2).u1(1).u1(2))
    for site, value, flags in ((1, 1.5, 0), (2, 2.5, 0x80)):
        out += record(5, 10, F().u1(1).u1(site))
        out += record(15, 10, F().u4(100).u1(1).u1(site).u1(flags).u1(0xC0).r4(value)
                      .cn("VOUT").cn("").u1(0x0E).u1(0).u1(0).u1(0).r4(1.0).r4(2.0).cn("V"))
        out += record(15, 20, F().u4(200).u1(1).u1(site).u1(flags).u1(0xFF))
        out += record(5, 20, F().u1(1).u1(site).u1(8 if flags else 0).u2(2)
                      .u2(5 if flags else 1).u2(5 if flags else 1).i2(-32768).i2(-32768)
                      .u4(10).cn(str(site)))
    out += record(10, 30, F().u1(255).u1(255).c1("P").u4(100).u4(2).u4(1).u4(0).cn("VOUT"))
    out += record(1, 40, F().u1(255).u1(255).u2(1).u4(1).c1("P").cn("PASS"))
    out += record(1, 50, F().u1(255).u1(255).u2(5).u4(1).c1("F").cn("VOUT"))
    out += record(1, 30, F().u1(255).u1(255).u4(2).u4(0).u4(0).u4(1).u4(0))
    out += record(1, 20, F().u4(0).c1(" "))
    return out


def arrays(big):
    F = lambda: Fields(big)
    out = record(0, 10, F().u1(1 if big else 2).u1(4))
    out += record(15, 20, F().u4(200).u1(1).u1(1).u1(0x80).u1(0xFF).u4(10).u4(0).u4(1).u4(2)
                  .u4(0).u4(0).i2(0).u2(3).u2(1).u2(1).u2(2).u2(3).raw(b"\x21\x03").u2(7)
                  .raw(b"\x05").u2(12).raw(b"\xff\x0f").cn("v"))
    out += record(15, 15, F().u4(300).u1(1).u1(1).u1(0).u1(0).u2(2).u2(2).raw(b"\x21")
                  .r4(1.5).r4(-2.25).cn("MULTI"))
    out += record(50, 10, F().u2(4).u1(1).u1(7).u1(0).u1(10).cn("hi").u1(8).r8(0.1))
    out += record(1, 63, F().u2(1).u2(1).u2(10).u1(2).cn("a").cn("b"))
    out += record(99, 1, F().u4(5))
    out += record(1, 20, F().u4(0))
    return out


def main():
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "stdf_reader")
    os.makedirs(folder, exist_ok=True)
    seeds = {
        "datalog_little": datalog(False),
        "datalog_big": datalog(True),
        "arrays_big": arrays(True),
        "cut_in_prr": datalog(False)[:150],
    }
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
