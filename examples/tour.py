"""A short tour of native_accel: every function, on data generated here, in a few lines each."""

import hashlib
import random

import native_accel as na


def tour_lzss_unpack() -> None:
    # A hand-made stream: one literal 'a', then a reference of length 7 at distance 1.
    stream = bytes.fromhex("0c000000" "08000000" "01" "61" "1500")
    print(f"lzss_unpack: {stream.hex(' ')} -> {na.lzss_unpack(stream)!r}")
    # Truncated streams decode leniently to their well-formed prefix.
    short = bytes.fromhex("0c000000" "ffffffff" "03" "7879")
    print(f"  a header announcing 4 GiB over a 3-byte body gives {na.lzss_unpack(short)!r}")


def tour_xor_cycle() -> None:
    data = bytearray(b"attack at dawn, retreat at dusk")
    key = b"\x13\x37\x42"
    na.xor_cycle_inplace(data, key, 0)
    print(f"xor_cycle_inplace: scrambled to {bytes(data[:16]).hex(' ')} ...")
    # The same stream in two pieces, the second entered at its stream position.
    na.xor_cycle_inplace(view := bytearray(data[:10]), key, 0)
    rest = bytearray(data[10:])
    na.xor_cycle_inplace(rest, key, 10)
    print(f"  unscrambled in two pieces: {bytes(view + rest)!r}")


def tour_md5() -> None:
    rng = random.Random(7)
    blob = rng.randbytes(1 << 20)
    digest = na.md5_digest(blob)
    same = digest == hashlib.md5(blob).digest()
    print(f"md5_digest: 1 MiB of random bytes -> {digest.hex()} (matches hashlib: {same})")


def tour_tile_copy() -> None:
    width, height = 8, 4
    dst = bytearray(b"." * 4 * width * height)
    src = b"#" * 4 * width * height
    checker = bytes([0, 255, 255, 0])  # a 2 x 2 tile
    na.tile_copy(dst, src, width, height, checker, 2, 2, 0, 0, False, 128)
    print("tile_copy: a 2 x 2 checker mask over an 8 x 4 image (one character a pixel):")
    for y in range(height):
        row = dst[4 * width * y : 4 * width * (y + 1)]
        print("  " + row[::4].decode())


def main() -> None:
    tour_lzss_unpack()
    tour_xor_cycle()
    tour_md5()
    tour_tile_copy()


if __name__ == "__main__":
    main()
