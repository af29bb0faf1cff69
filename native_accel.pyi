"""Native codecs, digest, tile copy and seeded shuffle search for a visual-novel data tool."""

from collections.abc import Sequence
from typing import Any, SupportsIndex

__all__: list[str]

def lzss_pack(data: bytes, suppress_empty_tail_group: bool = False) -> bytes:
    """Encode ``data`` as an LZSS stream with the longest match of 17 bytes (level 17).

    The output is fixed to the byte: a greedy parse over a search tree of the last 4095
    positions. Empty input gives ``b""``. When the token count is a multiple of 8 the stream
    ends with an empty group (one 0x00 byte) unless ``suppress_empty_tail_group`` is true.
    Raises ValueError for inputs of 4 GiB or more, which the 32-bit header cannot describe.
    """

def lzss_pack_level(
    data: bytes, level: SupportsIndex, suppress_empty_tail_group: bool = False
) -> bytes:
    """Encode like ``lzss_pack`` with the longest match set by ``level`` (0 to 2**64 - 1).

    Levels 0 to 2 allow matches of 2 bytes, 3 to 16 of ``level`` bytes, 17 and up of 17
    (the same bytes as ``lzss_pack``). A lower level also drops more earlier positions from
    the search, since positions whose next ``level`` bytes agree count as one.
    """

def lzss_unpack(data: bytes) -> bytes:
    """Decode an LZSS stream (8-byte header, flag groups) leniently.

    Never raises on malformed input: a short or truncated stream yields what its
    well-formed prefix decodes to, and never more than the header's unpacked size.
    """

def lzss32_pack(data: bytes) -> bytes:
    """Encode ``data``, a sequence of 4-byte units (pixels), as a 4-byte-unit LZSS stream.

    Literals store only the first three bytes of a unit, which decode with 0xFF as the
    fourth; references copy 1 to 16 units from up to 4095 units back. Empty input gives
    ``b""``. Raises ValueError "lzss32: source size is not a multiple of 4", or for inputs
    of 4 GiB or more.
    """

def lzss32_unpack(data: bytes) -> bytes:
    """Decode a 4-byte-unit LZSS stream strictly.

    Raises ValueError "lzss32 short" (under 8 bytes), "lzss32 eof" (input used up),
    "lzss32 off0" (reference distance 0) or "lzss32 back" (reference before the start).
    A literal is never cut, so the result can exceed the header's size by up to 3 bytes.
    """

def xor_cycle_inplace(data: bytearray, code: bytes, start: SupportsIndex) -> None:
    """XOR ``data`` in place with ``code`` repeated, entered at key position ``start``.

    ``data[i] ^= code[((start + i) mod 2**64) mod len(code)]``; an empty key changes
    nothing. Applying the same call twice restores the data.
    """

def md5_digest(data: bytes) -> bytes:
    """Return the raw 16-byte MD5 digest (RFC 1321) of ``data``."""

def nwa_decode_pcm(data: bytes) -> bytes:
    """Decode a whole NWA audio file into exactly ``pcm_size`` bytes of PCM.

    The PCM is signed 16-bit little-endian, channels interleaved, with no header. Raw files
    (``compression_level`` -1) are copied; compressed units are decoded in table order,
    short units reading as zero bits and bytes no unit reaches staying 0. Malformed files
    raise ``ValueError`` (header, bits_per_sample, channels, raw size, table size, unit
    offsets); a result that cannot be allocated raises ``MemoryError``.
    """

def tile_copy(
    dst: bytearray,
    src: bytes,
    bx: SupportsIndex,
    by: SupportsIndex,
    mask: bytes,
    tx: SupportsIndex,
    ty: SupportsIndex,
    repx: SupportsIndex,
    repy: SupportsIndex,
    rev: bool,
    lim: SupportsIndex,
) -> None:
    """Copy 4-byte pixels from ``src`` into ``dst`` where a repeating mask tile selects them.

    Pixel (x, y) of a ``bx``-wide grid uses ``mask[tx * ((y - repy) % ty) + (x - repx) % tx]``
    and is copied when ``(value >= lim) != rev``. Pixels outside either image or the mask
    are skipped; nothing is ever raised for size mismatches.
    """

def msvcrand_shuffle_inplace(state: SupportsIndex, a: list[Any]) -> int:
    """Shuffle ``a`` in place exactly as the C runtime's ``rand()`` shuffle does, from ``state``.

    For i = 2 .. len(a), a draw below i picks j and elements i - 1 and j are exchanged
    (elements are moved, never copied or read). Returns the generator state after the last
    draw, so that the caller can continue the same sequence. ``state`` is 0 .. 2**32 - 1.
    """

def find_shuffle_seed_first(
    target_idx: Sequence[tuple[SupportsIndex, SupportsIndex]],
    seed0: SupportsIndex,
    workers: SupportsIndex | None,
    chunk: SupportsIndex | None,
    progress_iv: float | None,
) -> int | None:
    """Find a seed from ``seed0`` on whose shuffle lays sized items out at given offsets.

    ``target_idx[k]`` is ``(expected_offset, size)`` of item k. A seed matches when the
    items, shuffled from it and laid back to back from offset 0 (sizes of 0 or less take
    no room, offsets wrap as 32-bit values), land at their offsets; offsets of 2**31 and
    more go in as ``o - 2**32``. Seeds ``seed0`` .. 2**32 - 1 are searched on ``workers``
    threads (None: one per processor; at most 64); layouts of up to 32768 items whose sizes
    sum below 4 GiB are solved for in a fraction of a second, others are tested seed by seed
    in claims of ``chunk`` seeds (None: 8192). A progress line goes to standard error every
    ``progress_iv`` seconds (None: 1.0; 0, negative or NaN: never). Returns the smallest
    matching seed or None; fewer than two items return ``seed0``. Ctrl-C raises
    KeyboardInterrupt once every worker has stopped.
    """
