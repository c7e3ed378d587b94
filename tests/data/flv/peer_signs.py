#!/usr/bin/env python3
"""Writes the noise-fill signs chosen by the reference decoder.

Bins that get no detail bits have a free sign. The reference decoder takes it
from the low bit of a lagged Fibonacci generator (x[n] = x[n-24] + x[n-55]
mod 2^32) seeded with 0, whose 64-word state is filled from chained MD5
digests. The tests replay these signs so that the two decoders can be compared
sample by sample. Output: one sign per bit, least significant bit first
(1 = negate).
"""
import hashlib
import struct
import sys


def signs(count, seed=0):
    state = [0] * 64
    tmp = bytearray(16)
    for i in range(8, 64, 4):
        tmp[0:4] = struct.pack('<I', seed)
        tmp[4] = i
        tmp = bytearray(hashlib.md5(bytes(tmp)).digest())
        state[i:i + 4] = struct.unpack('<4I', bytes(tmp))
    for idx in range(count):
        state[idx & 63] = (state[(idx - 24) & 63] + state[(idx - 55) & 63]) & 0xffffffff
        yield state[idx & 63] & 1


def main():
    count, path = int(sys.argv[1]), sys.argv[2]
    packed = bytearray((count + 7) // 8)
    for i, bit in enumerate(signs(count)):
        packed[i >> 3] |= bit << (i & 7)
    with open(path, 'wb') as f:
        f.write(bytes(packed))


if __name__ == '__main__':
    main()
