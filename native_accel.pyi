"""Native codecs, digest, tile copy and seeded shuffle search for a visual-novel data tool."""

__all__: list[str]

def lzss_unpack(data: bytes) -> bytes:
    """Decode an LZSS stream (8-byte header, flag groups) leniently.

    Never raises on malformed input: a short or truncated stream yields what its
    well-formed prefix decodes to, and never more than the header's unpacked size.
    """

def xor_cycle_inplace(data: bytearray, code: bytes, start: int) -> None:
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
    bx: int,
    by: int,
    mask: bytes,
    tx: int,
    ty: int,
    repx: int,
    repy: int,
    rev: bool,
    lim: int,
) -> None:
    """Copy 4-byte pixels from ``src`` into ``dst`` where a repeating mask tile selects them.

    Pixel (x, y) of a ``bx``-wide grid uses ``mask[tx * ((y - repy) % ty) + (x - repx) % tx]``
    and is copied when ``(value >= lim) != rev``. Pixels outside either image or the mask
    are skipped; nothing is ever raised for size mismatches.
    """
