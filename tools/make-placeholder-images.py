#!/usr/bin/env python3
"""Writes the two placeholder update images.

The device maker delivers the real bitstream and firmware images; until then these stand in
their places with the exact sizes of the release (1,464,880 and 412,936 bytes). Their contents
are a deterministic pseudo-random stream (a 32-bit xorshift from a fixed seed per image), so the
file is the same on every machine, is not all one value, and an upload that garbles, drops or
pads a byte is caught by comparing it with the original.
"""
import pathlib
import sys

IMAGES = {"bitstream.bin": (1_464_880, 0xB175_7EA1), "firmware.bin": (412_936, 0xF12E_3A5E)}


def stream(size: int, seed: int) -> bytes:
    x = seed
    out = bytearray(size)
    for i in range(size):
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        out[i] = x & 0xFF
    return bytes(out)


def main() -> None:
    folder = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent / "updater" / "images")
    for name, (size, seed) in IMAGES.items():
        (folder / name).write_bytes(stream(size, seed))
        print(f"{folder / name}: {size} bytes")


if __name__ == "__main__":
    main()
