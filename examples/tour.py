"""A short tour of native_accel: every function, on data generated here, in a few lines each."""

import hashlib
import math
import os
import random
import struct
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import native_accel as na


def tour_lzss_pack() -> None:
    text = " ".join(["abracadabra"] * 3).encode()
    for level in (17, 4, 2):
        stream = na.lzss_pack_level(text, level)
        print(f"lzss_pack_level level {level:2}: {len(text)} bytes -> {len(stream)}: {stream.hex(' ')}")
    with open(__file__, "rb") as f:
        source = f.read()
    stream = na.lzss_pack(source)
    back = na.lzss_unpack(stream) == source
    print(f"  this file: {len(source)} bytes -> {len(stream)} ({len(stream) / len(source):.0%}), round trip ok: {back}")


def tour_lzss32() -> None:
    # A 256 x 256 RGBA picture: a diagonal gradient band, a flat disc, the rest one colour.
    width = height = 256
    pixels = bytearray()
    for y in range(height):
        for x in range(width):
            if (x - 160) ** 2 + (y - 96) ** 2 < 48**2:
                pixels += bytes((200, 40, 40, 255))
            elif abs(x - y) < 24:
                pixels += bytes(((x + y) // 2, 128, 255 - (x + y) // 2, 255))
            else:
                pixels += bytes((16, 24, 32, 255))
    stream = na.lzss32_pack(bytes(pixels))
    print(f"lzss32_pack: a {width} x {height} RGBA picture, {len(pixels)} bytes -> {len(stream)} "
          f"({len(stream) / len(pixels):.1%})")
    same = na.lzss32_unpack(stream) == pixels
    print(f"  lzss32_unpack gives the picture back (alpha is always 0xff): {same}")
    try:
        na.lzss32_unpack(stream[:-1])
    except ValueError as error:
        print(f"  the stream cut by one byte: ValueError: {error}")


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


def nwa_unit(frames: list[tuple[int, int]]) -> bytes:
    """A stereo NWA unit at compression level 0 (5-bit mantissas): each sample is a 3-bit
    code k (1..6) and a sign-and-4-bit magnitude scaled by 2**(k + 2), chosen to follow the
    signal, or code 0 for no change. Bits are packed lowest first."""
    values = list(frames[0])
    bits = count = 0
    for frame in frames:
        for channel, target in enumerate(frame):
            delta, field, width = target - values[channel], 0, 3
            for code in range(1, 7):
                step = max(-15, min(15, round(delta / (1 << (code + 2)))))
                if step and (abs(step) < 15 or code == 6):
                    field, width = code | (abs(step) | (16 if step < 0 else 0)) << 3, 8
                    values[channel] += step << (code + 2)
                    break
            bits |= field << count
            count += width
    return struct.pack("<hh", *frames[0]) + bits.to_bytes((count + 7) // 8, "little")


def tour_nwa_decode() -> None:
    rate, unit_frames = 22050, 2048
    frames = [(int(6000 * math.sin(i / 8)), int(4000 * math.sin(i / 13))) for i in range(11025)]
    units = [nwa_unit(frames[i : i + unit_frames]) for i in range(0, len(frames), unit_frames)]
    offset, table = 44 + 4 * len(units), []
    for unit in units:
        table.append(offset)
        offset += len(unit)
    last_frames = len(frames) - unit_frames * (len(units) - 1)
    # channels, bits_per_sample, sample_rate, compression_level, use_run_length, unit_count,
    # pcm_size, two fields decoding does not read, unit_samples, last_unit_samples,
    # last_unit_size
    header = struct.pack("<HHIiIIIIIIII", 2, 16, rate, 0, 0, len(units), 4 * len(frames), 0, 0,
                         2 * unit_frames, 2 * last_frames, len(units[-1]))
    data = header + struct.pack(f"<{len(units)}I", *table) + b"".join(units)
    pcm = na.nwa_decode_pcm(data)
    rate = struct.unpack_from("<I", data, 4)[0]  # decoding ignores it; a player needs it
    samples = struct.unpack(f"<{len(pcm) // 2}h", pcm)
    print(f"nwa_decode_pcm: {len(data)} bytes of stereo NWA ({len(units)} units) -> "
          f"{len(pcm)} bytes of PCM, {len(pcm) / 4 / rate:.2f} s at {rate} Hz")
    print(f"  peak sample {max(map(abs, samples))} (the tones peak at 6000 and 4000)")


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


def tour_shuffle() -> None:
    deck = [f"{rank}{suit}" for suit in "SH" for rank in "A23456"]
    state = na.msvcrand_shuffle_inplace(1, deck)
    print(f"msvcrand_shuffle_inplace: 12 cards from seed 1 -> {' '.join(deck)}")
    print(f"  the generator went on to state {state}")


def tour_seed_search() -> None:
    # Hide a seed, lay 1000 files of 512 B to 2 MiB out in its shuffled order, and find it
    # again from seed 0 on every processor. The search solves for the seeds that can match
    # rather than trying the 2**32 seeds, so it takes a fraction of a second. Seeds s and
    # s + 2**31 shuffle alike: the smaller of the two comes back.
    rng = random.Random(11)
    sizes = [rng.randrange(512, 2 << 20) for _ in range(1000)]
    hidden = 3_000_000_000
    order = list(range(len(sizes)))
    na.msvcrand_shuffle_inplace(hidden, order)
    offsets, running = [0] * len(sizes), 0
    for item in order:
        # Offsets are signed 32-bit patterns: those of 2 GiB and more go in as o - 2**32.
        offsets[item] = running - 2**32 if running >= 2**31 else running
        running += sizes[item]
    target = list(zip(offsets, sizes))
    print("find_shuffle_seed_first: 1000 files laid out by a hidden seed, from seed 0")
    started = time.perf_counter()
    found = na.find_shuffle_seed_first(target, 0, None, None, None)
    took = time.perf_counter() - started
    print(f"  found seed {found} in {took:.3f} s (hidden: {hidden}, whose twin is "
          f"{hidden - 2**31})")


def tour_many_files() -> None:
    # The codecs let go of the interpreter lock while they work: a pool with one thread per
    # core converts many files at once. Here, 16 "scripts" of this file's text with a line
    # of their own each.
    with open(__file__, "rb") as f:
        source = f.read()
    scripts = [b"# script %d\n" % k + source * 8 for k in range(16)]
    cores = os.cpu_count() or 1
    started = time.perf_counter()
    alone = [na.lzss_pack(s) for s in scripts]
    one = time.perf_counter() - started
    started = time.perf_counter()
    with ThreadPoolExecutor(cores) as pool:
        together = list(pool.map(na.lzss_pack, scripts))
    many = time.perf_counter() - started
    print(f"many files at once: 16 scripts packed in {one * 1000:.0f} ms on one thread, "
          f"{many * 1000:.0f} ms on {cores} (same bytes: {together == alone})")


def main() -> None:
    tour_lzss_pack()
    tour_lzss_unpack()
    tour_lzss32()
    tour_xor_cycle()
    tour_md5()
    tour_nwa_decode()
    tour_tile_copy()
    tour_shuffle()
    tour_seed_search()
    tour_many_files()


if __name__ == "__main__":
    main()
