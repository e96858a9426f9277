"""Builds system-file bytes record by record, little- or big-endian, for tests that need files
no writer would make: counts, lengths and offsets set to any value."""

import struct
import zlib

F8_2 = 0x00050802
A8 = 0x00010800


class SavBuilder:
    def __init__(self, big_endian=False):
        self.order = ">" if big_endian else "<"
        self.out = bytearray()

    # ----- primitives, numbers in the file's byte order -----
    def pack(self, code, *values):
        self.out += struct.pack(f"{self.order}{len(values)}{code}", *values)
        return self

    def i32(self, *values):
        return self.pack("i", *values)

    def u32(self, *values):
        return self.pack("I", *values)

    def i64(self, *values):
        return self.pack("q", *values)

    def f64(self, *values):
        return self.pack("d", *values)

    def raw(self, data):
        self.out += data
        return self

    def text(self, s, width):
        data = s.encode() if isinstance(s, str) else s
        self.out += data[:width].ljust(width, b" ")
        return self

    def offset(self):
        return len(self.out)

    def bytes(self):
        return bytes(self.out)

    # ----- records -----
    def header(self, nominal_case_size=1, compression=0, ncases=-1, weight_index=0, label="hostile"):
        self.raw(b"$FL3" if compression == 2 else b"$FL2")
        self.text("@(#) SPSS DATA FILE korvel test", 60)
        self.i32(2, nominal_case_size, compression, weight_index, ncases)
        self.f64(100.0)
        self.text("05 Mar 24", 9).text("14:30:00", 8).text(label, 64).raw(b"\0\0\0")
        return self

    def variable(self, name, type_code=0, label=None, label_len=None, missing=(), n_missing=None,
                 fmt=None):
        """One type-2 record; `label_len` and `n_missing` override the stored counts."""
        if fmt is None:
            fmt = F8_2 if type_code == 0 else (0x00010000 | (min(max(type_code, 1), 255) << 8))
        has_label = label is not None or label_len is not None
        self.i32(2, type_code, 1 if has_label else 0, len(missing) if n_missing is None else n_missing)
        self.u32(fmt, fmt).text(name, 8)
        if has_label:
            data = (label or "").encode()
            self.i32(len(data) if label_len is None else label_len)
            self.raw(data + b" " * (-len(data) % 4))
        self.f64(*missing)
        return self

    def continuation(self):
        return self.i32(2, -1, 0, 0).u32(0, 0).text("", 8)

    def value_labels(self, pairs, count=None, indices=(1,), index_count=None):
        """A type-3 record of (value, label) pairs and its type-4 record of variable indices."""
        self.i32(3, len(pairs) if count is None else count)
        for value, label in pairs:
            data = label.encode() if isinstance(label, str) else label
            self.f64(value).raw(bytes([len(data) & 0xFF]) + data)
            self.raw(b" " * (-(len(data) + 1) % 8))
        self.i32(4, len(indices) if index_count is None else index_count, *indices)
        return self

    def document(self, lines, count=None):
        self.i32(6, len(lines) if count is None else count)
        for line in lines:
            self.text(line, 80)
        return self

    def extension(self, subtype, payload=b"", size=1, count=None):
        """A type-7 record; `size` × `count` is what it declares, `payload` what it holds."""
        if count is None:
            count = len(payload) // size
        self.i32(7, subtype, size, count)
        return self.raw(payload)

    def end_dictionary(self):
        return self.i32(999, 0)

    def zlib_data(self, blocks, n_blocks=None, block_size=0x3FF000, entries=None):
        """The zlib header, the compressed blocks and the trailer. `entries` overrides the
        trailer's (uncompressed offset, compressed offset, uncompressed size, compressed size)."""
        zheader = self.offset()
        compressed = [zlib.compress(b) for b in blocks]
        first = zheader + 24
        trailer = first + sum(len(c) for c in compressed)
        n = len(blocks) if n_blocks is None else n_blocks
        self.i64(zheader, trailer, 24 + 24 * len(blocks if entries is None else entries))
        for c in compressed:
            self.raw(c)
        self.i64(-100, 0).i32(block_size, n)
        if entries is None:
            entries, u, c = [], zheader, first
            for block, comp in zip(blocks, compressed):
                entries.append((u, c, len(block), len(comp)))
                u, c = u + len(block), c + len(comp)
        for e in entries:
            self.i64(e[0], e[1]).i32(e[2], e[3])
        return self


    def bytecode(self, values, bias=100.0):
        """Bytecode-compressed numbers as bytes (not appended): whole numbers the bias can
        shift into 1..251 as codes, the rest as raw slots in the file's byte order."""
        out, codes, raw = bytearray(), [], []
        for v in list(values) + [None] * (-len(values) % 8):
            if v is None:
                codes.append(0)
            elif float(v).is_integer() and 1 <= v + bias <= 251:
                codes.append(int(v + bias))
            else:
                codes.append(253)
                raw.append(struct.pack(f"{self.order}d", v))
            if len(codes) == 8:
                out += bytes(codes) + b"".join(raw)
                codes, raw = [], []
        return bytes(out)
