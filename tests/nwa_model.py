"""A plain Python model of NWA files for the tests: a writer of units from chosen codes, a
greedy encoder of PCM built on it, and a literal decoder used as the oracle.

The decoder is deliberately naive (one read through a 16-bit window per field, one sample
at a time) so that it shares no structure with the native table-driven decoder.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass

HEADER = struct.Struct("<HHIiIIIIIIII")
assert HEADER.size == 44

MESSAGES = (
    "NWA header truncated",
    "Unsupported NWA bits_per_sample: ",
    "Unsupported NWA channels: ",
    "NWA raw PCM truncated",
    "NWA table truncated",
    "Invalid NWA unit offsets",
)


def code_width(level: int) -> int:
    if level in (0, 1, 2):
        return (5, 4, 3)[level]
    if level < 0:
        return 3
    return (level + 3) % 256


def effective_width(level: int) -> int:
    width = code_width(level)
    return width if 3 <= width <= 7 else 8


def mantissa_layout(w: int, code: int) -> tuple[int, int]:
    """(mantissa bits with the sign on top, shift of the magnitude) for code 1..7."""
    if code == 7:
        return {3: (6, 11), 4: (7, 10)}.get(w, (8, 9))
    return w, code + {3: 4, 4: 3, 5: 2}.get(w, 1)


def header(
    *,
    channels: int = 1,
    bits_per_sample: int = 16,
    sample_rate: int = 0,  # offset 4: for players only, decoding never reads it
    level: int = 0,
    run_length: int = 0,
    unit_count: int = 0,
    pcm_size: int = 0,
    unit_samples: int = 0,
    last_unit_samples: int = 0,
    last_unit_size: int = 0,
) -> bytes:
    return HEADER.pack(channels, bits_per_sample, sample_rate, level, run_length, unit_count,
                       pcm_size, 0, 0, unit_samples, last_unit_samples, last_unit_size)


def nwa_file(units: list[bytes], *, pcm_size: int | None = None, unit_samples: int,
             last_unit_samples: int | None = None, **fields) -> bytes:
    """A compressed file with the units laid out in order right after the table."""
    offset = HEADER.size + 4 * len(units)
    table = []
    for unit in units:
        table.append(offset)
        offset += len(unit)
    if last_unit_samples is None:
        last_unit_samples = unit_samples
    if pcm_size is None:
        pcm_size = 2 * (unit_samples * (len(units) - 1) + last_unit_samples) if units else 0
    head = header(unit_count=len(units), pcm_size=pcm_size, unit_samples=unit_samples,
                  last_unit_samples=last_unit_samples,
                  last_unit_size=len(units[-1]) if units else 0, **fields)
    return head + struct.pack(f"<{len(units)}I", *table) + b"".join(units)


# ---- Writing units from chosen codes -----------------------------------------------------

class BitWriter:
    """Fields least significant bit first, bytes in increasing order."""

    def __init__(self) -> None:
        self.value = 0
        self.count = 0

    def write(self, field: int, bits: int) -> None:
        assert 0 <= field < 1 << bits
        self.value |= field << self.count
        self.count += bits

    def getvalue(self) -> bytes:
        return self.value.to_bytes((self.count + 7) // 8, "little")


# Codes a unit is written from. Delta(code, step) moves the value by step * 2**shift, where
# |step| must fit the code's magnitude bits; Run(r) is a zero code followed by r repeats.
@dataclass(frozen=True)
class Zero:
    pass


@dataclass(frozen=True)
class Run:
    count: int


@dataclass(frozen=True)
class Delta:
    code: int
    step: int


@dataclass(frozen=True)
class Reset:
    pass


def write_code(out: BitWriter, op, w: int, run_length: bool) -> None:
    if isinstance(op, Zero):
        out.write(0, 3)
        if run_length:
            out.write(0, 1)
    elif isinstance(op, Run):
        assert run_length and 0 <= op.count <= 255
        out.write(0, 3)
        out.write(1, 1)
        if op.count < 3:
            out.write(op.count, 2)
        else:
            out.write(3, 2)
            out.write(op.count, 8)
    elif isinstance(op, Reset):
        out.write(7, 3)
        out.write(1, 1)
    else:
        bits, _ = mantissa_layout(w, op.code)
        sign = 1 << (bits - 1)
        assert abs(op.step) < sign
        if op.code == 7:
            out.write(7, 3)
            out.write(0, 1)
        else:
            out.write(op.code, 3)
        out.write(abs(op.step) | (sign if op.step < 0 else 0), bits)


def to_int16(value: int) -> int:
    value &= 0xFFFF
    return value - 0x10000 if value & 0x8000 else value


def write_unit(starts: list[int], ops: list, w: int, run_length: bool) -> bytes:
    """The unit's starting values (one per channel) and codes, packed."""
    out = BitWriter()
    for op in ops:
        write_code(out, op, w, run_length)
    return struct.pack(f"<{len(starts)}h", *starts) + out.getvalue()


def intended_samples(starts: list[int], ops: list, w: int, samples: int) -> list[int]:
    """The samples a decoder must give for write_unit(starts, ops, ...): computed from the
    codes themselves, never from their bits. Positions past the codes keep their values."""
    values = list(starts)
    out: list[int] = []

    def emit() -> None:
        if len(out) < samples:
            out.append(to_int16(values[len(out) % len(values)]))

    for op in ops:
        channel = len(out) % len(values)
        if isinstance(op, Reset):
            values[channel] = 0
        elif isinstance(op, Delta):
            values[channel] += op.step << mantissa_layout(w, op.code)[1]
        emit()
        for _ in range(op.count if isinstance(op, Run) else 0):
            emit()
    while len(out) < samples:
        emit()
    return out


# ---- A greedy encoder of PCM -------------------------------------------------------------

def choose_code(delta: int, target: int, w: int):
    """The cheapest code that brings a value `delta` short of `target` closest to it."""
    best, best_error = Zero(), abs(delta)
    for code in range(1, 8):
        bits, shift = mantissa_layout(w, code)
        limit = (1 << (bits - 1)) - 1
        step = max(-limit, min(limit, round(delta / (1 << shift))))
        error = abs(delta - (step << shift))
        if step != 0 and error < best_error:
            best, best_error = Delta(code, step), error
        if step != 0 and abs(step) < limit:
            break  # a wider code would only be coarser
    if abs(target) < best_error:
        best = Reset()
    return best


def encode_unit(samples: list[int], channels: int, w: int, run_length: bool) -> bytes:
    """Codes `samples` (interleaved) closing the loop on the decoded values, so that the
    error never accumulates. Starts from the first frame's values."""
    starts = list(samples[:channels]) + [0] * (channels - len(samples[:channels]))
    values = list(starts)
    ops: list = []
    i = 0
    while i < len(samples):
        channel = i % channels
        op = choose_code(samples[i] - values[channel], samples[i], w)
        if isinstance(op, Delta):
            moved = values[channel] + (op.step << mantissa_layout(w, op.code)[1])
            if not -0x8000 <= moved <= 0x7FFF:  # never rely on wrap-around
                op = Zero()
            else:
                values[channel] = moved
        elif isinstance(op, Reset):
            values[channel] = 0
        i += 1
        if isinstance(op, Zero) and run_length:
            _, unit_shift = mantissa_layout(w, 1)
            repeat = 0
            while (repeat < 255 and i + repeat < len(samples) and
                   abs(samples[i + repeat] - values[(i + repeat) % channels])
                   < 1 << (unit_shift - 1)):
                repeat += 1
            if repeat:
                op = Run(repeat)
                i += repeat
        ops.append(op)
    return write_unit(starts, ops, w, run_length)


def encode_pcm(samples: list[int], *, channels: int, level: int, run_length: bool,
               unit_samples: int, **fields) -> bytes:
    """A whole compressed file of the interleaved `samples` (unit_samples a multiple of
    the channel count); `fields` sets other header fields, such as sample_rate."""
    w = effective_width(level)
    chunks = [samples[i:i + unit_samples] for i in range(0, len(samples), unit_samples)]
    units = [encode_unit(chunk, channels, w, run_length) for chunk in chunks]
    return nwa_file(units, channels=channels, level=level, run_length=int(run_length),
                    unit_samples=unit_samples,
                    last_unit_samples=len(chunks[-1]) if chunks else 0, **fields)


# ---- The oracle decoder ------------------------------------------------------------------

class BitReader:
    def __init__(self, data: bytes, position: int) -> None:
        self.data = data
        self.position = position
        self.bit = 0

    def read(self, n: int) -> int:
        size = len(self.data)
        lo = self.data[self.position] if self.position < size else 0
        hi = self.data[self.position + 1] if self.position + 1 < size else 0
        field = ((hi << 8 | lo) >> self.bit) & ((1 << n) - 1)
        self.bit += n
        self.position += self.bit // 8
        self.bit %= 8
        return field


def decode_unit(unit: bytes, channels: int, w: int, run_length: bool, count: int) -> list[int]:
    if channels == 1:
        values = [struct.unpack_from("<h", unit)[0] if len(unit) >= 2 else 0]
    elif len(unit) <= 1:
        values = [0, 0]
    else:
        values = [struct.unpack_from("<h", unit)[0],
                  struct.unpack_from("<h", unit, 2)[0] if len(unit) >= 4 else 0]
    reader = BitReader(unit, 2 * channels)
    repeat = 0
    out = []
    for i in range(count):
        channel = i % channels
        if repeat > 0:
            repeat -= 1
        else:
            code = reader.read(3)
            if code == 0:
                if run_length and reader.read(1) == 1:
                    repeat = reader.read(2)
                    if repeat == 3:
                        repeat = reader.read(8)
            elif code == 7 and reader.read(1) == 1:
                values[channel] = 0
            else:
                bits, shift = mantissa_layout(w, code)
                mantissa = reader.read(bits)
                delta = (mantissa & ((1 << (bits - 1)) - 1)) << shift
                values[channel] += -delta if mantissa >> (bits - 1) else delta
        out.append(to_int16(values[channel]))
    return out


def decode_pcm(data: bytes) -> bytes:
    """The reference decoder of whole files; raises ValueError as the module must."""
    n = len(data)
    if n < HEADER.size:
        raise ValueError("NWA header truncated")
    (channels, bits_per_sample, _, level, run_length, unit_count, pcm_size, _, _,
     unit_samples, last_unit_samples, last_unit_size) = HEADER.unpack_from(data)
    if bits_per_sample != 16:
        raise ValueError(f"Unsupported NWA bits_per_sample: {bits_per_sample}")
    if channels not in (1, 2):
        raise ValueError(f"Unsupported NWA channels: {channels}")
    if level == -1:
        if n < HEADER.size + pcm_size:
            raise ValueError("NWA raw PCM truncated")
        return data[HEADER.size:HEADER.size + pcm_size]
    if n < HEADER.size + 4 * unit_count:
        raise ValueError("NWA table truncated")
    table = struct.unpack_from(f"<{unit_count}I", data, HEADER.size)
    result = bytearray(pcm_size)
    written = 0
    for m in range(unit_count):
        start = table[m]
        if m + 1 < unit_count:
            end, samples = table[m + 1], unit_samples
        else:
            end, samples = start + last_unit_size, last_unit_samples
        if end < start or end > n:
            raise ValueError("Invalid NWA unit offsets")
        if written >= pcm_size:
            break
        take = min(pcm_size - written, 2 * samples)
        if take == 0:
            break
        decoded = decode_unit(data[start:end], channels, effective_width(level),
                              run_length != 0, min(samples, take // 2))
        result[written:written + 2 * len(decoded)] = struct.pack(f"<{len(decoded)}h", *decoded)
        written += take
    return bytes(result)
