#!/usr/bin/env python3
"""Writes a small seed corpus for fuzz_package_reader into the given folder.

Each seed is: flags byte, name length, name, package bytes (see the target).
"""
import os
import struct
import sys
import zlib


def scramble(block):
    return bytes((((b + i + 0x3A) & 0xFF) ^ 0x6B) for i, b in enumerate(block))


def package(entries, scramble_directory=True):
    directory = b"".join(n + b"\0" + struct.pack("<I", len(c)) for n, c in entries)
    blobs = b"".join(scramble(c) for n, c in sorted(dict(entries).items()))
    head = struct.pack("<IiI", 0xA488BDCC, len(entries), len(directory))
    return head + (scramble(directory) if scramble_directory else directory) + blobs


def seed(flags, name, body):
    return bytes([flags, len(name)]) + name + body


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    entries = [(b"main.demo", b"track 0\n"), (b"a.x", b"alpha"), (b"B.x", b"capital"), (b"ab", b"x" * 300)]
    seeds = {
        "plain": seed(0, b"a.x", package(entries)),
        "gzip": seed(1, b"main.demo", package(entries)),
        "structured": seed(2, b"ab", package(entries, scramble_directory=False)),
        "structured_gzip": seed(3, b"B.x", package(entries, scramble_directory=False)),
        "repeat": seed(2, b"a", package([(b"a", b"123"), (b"b", b"45"), (b"a", b"67890")], False)),
        "empty_entry": seed(2, b"e", package([(b"e", b""), (b"f", b"1")], False)),
    }
    # Raw deflate streams for the chunked inflater (flag 4), compressed
    # with sync flushes so that chunks of 16 to 64 bytes find block starts.
    text = b"".join(b"value%d = %d;\n" % (i % 37, i * 7 % 1000) for i in range(400))
    for level, strategy, chunk in ((6, zlib.Z_DEFAULT_STRATEGY, 0), (9, zlib.Z_HUFFMAN_ONLY, 1),
                                   (0, zlib.Z_DEFAULT_STRATEGY, 2), (6, zlib.Z_FIXED, 0)):
        compressor = zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy)
        stream = b"".join(compressor.compress(text[at:at + 300]) + compressor.flush(zlib.Z_SYNC_FLUSH)
                          for at in range(0, len(text), 300)) + compressor.flush()
        seeds["raw_%d_%d" % (level, strategy)] = seed(4 | 8 | chunk << 4, b"", stream)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
