"""A lossy NWA encoder for benchmark data: level 0 (5-bit mantissas), run-length on.

NWA codes every sample as a change of its channel's running value: a 3-bit code, then for
codes 1 to 6 a 5-bit sign-and-magnitude mantissa whose 4-bit magnitude is shifted left by
code + 2 (steps of 8 up to 256), for code 7 either an escape bit 1 (the value becomes 0) or
an escape bit 0 and an 8-bit mantissa shifted by 9. Code 0 keeps the value and, with
run-length on, carries a flag bit and a repeat count (2 bits; the value 3 means an 8-bit
count follows) of positions that keep their channel's value too. The count is shared by
both channels, so a run covers consecutive interleaved positions.

The encoder is closed-loop: it tracks the value the decoder will hold, so quantisation
errors do not accumulate. It returns the file and the PCM a correct decoder must produce,
which lets the benchmark check the decoder it times.
"""

from __future__ import annotations

import struct

import numpy as np

HEADER = struct.Struct("<HHIiIIIIIIII")  # the 44-byte header, fields in file order
LEVEL = 0
MAX_RUN = 255

# One coded position: its bits, lowest first, packed into one integer, and their count.
ZERO_NO_RUN = (0b0000, 4)  # code 0, run flag 0
RESET = (0b1111, 4)  # code 7, escape bit 1


def _delta_table() -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """For every 16-bit difference d: the closest change the format can make, as
    (field bits, field width, change), preferring the shorter field on a tie."""
    d = np.arange(-32768, 32768, dtype=np.int64)
    mag = np.abs(d)
    sign = (d < 0).astype(np.int64)
    options = [(np.zeros_like(d), np.full_like(d, ZERO_NO_RUN[0]), np.full_like(d, 4))]
    for code in range(1, 7):
        step = 1 << (code + 2)
        q = np.minimum((mag + step // 2) // step, 15)
        change = np.where(sign == 1, -q * step, q * step)
        bits = code | ((q | (sign << 4)) << 3)
        options.append((change, bits, np.full_like(d, 8)))
    q = np.minimum((mag + 256) // 512, 127)
    change = np.where(sign == 1, -q * 512, q * 512)
    bits = 7 | (0 << 3) | ((q | (sign << 7)) << 4)
    options.append((change, bits, np.full_like(d, 12)))
    errors = np.stack([np.abs(d - change) for change, _, _ in options])
    best = np.argmin(errors, axis=0)  # the first minimum: codes are ordered by width
    pick = lambda k: np.choose(best, [o[k] for o in options])  # noqa: E731
    return pick(1), pick(2), pick(0)


def _run_field(r: int) -> tuple[int, int]:
    if r == 0:
        return ZERO_NO_RUN
    if r < 3:
        return 0b1000 | (r << 4), 6
    return 0b1000 | (3 << 4) | (r << 6), 14


def _code_unit(targets: list[int], channels: int, table, fields: list, widths: list) -> list[int]:
    """Codes one unit's samples (signed 16-bit values, interleaved); appends one field per
    coded position and returns the values the decoder writes."""
    table_bits, table_width, table_change = table
    state = [targets[0], targets[1] if channels == 2 else 0]
    out = []
    n = len(targets)
    i = 0
    while i < n:
        ch = i % channels
        cur = state[ch]
        target = targets[i]
        d = ((target - cur + 32768) & 0xFFFF)  # index of the wrapped difference
        if target == 0 and cur != 0:
            bits, width = RESET
            state[ch] = 0
            out.append(0)
        elif table_width[d] == 4:
            # A zero code: extend it over the following positions that quantise to no
            # change either (their channels' values do not move during the run).
            r = 0
            while r < MAX_RUN and i + r + 1 < n:
                j = i + r + 1
                dj = (targets[j] - state[j % channels] + 32768) & 0xFFFF
                if table_width[dj] != 4 or (targets[j] == 0 and state[j % channels] != 0):
                    break
                r += 1
            bits, width = _run_field(r)
            for j in range(i, i + r + 1):
                out.append(state[j % channels])
            fields.append(bits)
            widths.append(width)
            i += r + 1
            continue
        else:
            bits, width = table_bits[d], table_width[d]
            cur = ((cur + table_change[d] + 32768) & 0xFFFF) - 32768
            state[ch] = cur
            out.append(cur)
        fields.append(bits)
        widths.append(width)
        i += 1
    return out


def _pack_bits(fields: np.ndarray, widths: np.ndarray) -> bytes:
    """Concatenates the fields lowest bit first into bytes (the widths already include any
    padding to a byte boundary)."""
    ends = np.cumsum(widths, dtype=np.int64)
    starts = ends - widths
    bits = np.zeros(int(ends[-1]) if len(ends) else 0, dtype=np.uint8)
    for b in range(int(widths.max(initial=0))):
        has = widths > b
        bits[starts[has] + b] = (fields[has] >> b) & 1
    return np.packbits(bits, bitorder="little").tobytes()


def encode(pcm: np.ndarray, channels: int, unit_samples: int) -> tuple[bytes, bytes]:
    """Encodes interleaved int16 samples; returns (nwa_file, decoded_pcm)."""
    assert channels in (1, 2) and unit_samples % channels == 0
    samples = pcm.astype(np.int64).tolist()
    table = tuple(a.tolist() for a in _delta_table())
    unit_starts = list(range(0, len(samples), unit_samples))
    bodies, decoded = [], []
    for start in unit_starts:
        targets = samples[start:start + unit_samples]
        if channels == 2 and len(targets) % 2:
            raise ValueError("stereo PCM needs an even sample count")
        fields: list[int] = []
        widths: list[int] = []
        decoded.extend(_code_unit(targets, channels, table, fields, widths))
        widths[-1] += -sum(widths) % 8  # each unit ends on a byte boundary
        head = struct.pack("<" + "h" * channels, *targets[:channels])
        bodies.append((head, np.array(fields, dtype=np.int64), np.array(widths, dtype=np.int64)))
    # Pack every unit's bit fields in one pass, then cut at the unit boundaries.
    all_widths = np.concatenate([w for _, _, w in bodies])
    packed = _pack_bits(np.concatenate([f for _, f, _ in bodies]), all_widths)
    unit_bytes, pos = [], 0
    for head, _, widths in bodies:
        size = int(widths.sum()) // 8
        unit_bytes.append(head + packed[pos:pos + size])
        pos += size
    count = len(unit_bytes)
    table_end = HEADER.size + 4 * count
    offsets, at = [], table_end
    for body in unit_bytes:
        offsets.append(at)
        at += len(body)
    last = len(samples) - unit_starts[-1]
    header = HEADER.pack(channels, 16, 0, LEVEL, 1, count, 2 * len(samples), 0, 0,
                         unit_samples, last, len(unit_bytes[-1]))
    nwa = header + struct.pack(f"<{count}I", *offsets) + b"".join(unit_bytes)
    return nwa, np.array(decoded, dtype="<i2").tobytes()
