"""Convert an NWA audio file into a .wav file with the standard wave module.

    python examples/nwa_to_wav.py IN.nwa OUT.wav [--rate HZ] [--max-pcm-bytes N]

The .wav gets the NWA header's channel count, 16-bit samples and the sample rate at offset
4 of the header (--rate replaces a rate of 0 or a wrong one). nwa_decode_pcm returns
exactly the header's pcm_size bytes however short the file is, zeros where no unit
reaches: a 52-byte file can ask for 4 GiB. So the header's pcm_size is checked against a
limit before anything is decoded (1 GiB by default, over 90 minutes of 48 kHz stereo).
"""

from __future__ import annotations

import argparse
import struct
import sys
import wave

import native_accel

# The 44-byte header, every field little-endian: channels, bits_per_sample, sample_rate,
# compression_level, use_run_length, unit_count, pcm_size, two fields decoding does not
# read, unit_samples, last_unit_samples, last_unit_size.
HEADER = struct.Struct("<HHIiIIIIIIII")
DEFAULT_MAX_PCM_BYTES = 1 << 30
SAMPLE_WIDTH = 2  # the decoder's output is signed 16-bit little-endian, as .wav stores it


class ConversionError(Exception):
    pass


def convert(nwa: bytes, wav_path: str, *, max_pcm_bytes: int = DEFAULT_MAX_PCM_BYTES,
            rate: int | None = None) -> int:
    """Writes the decoded audio of the file `nwa` to `wav_path`; returns the frame count."""
    if len(nwa) < HEADER.size:
        raise ConversionError("NWA header truncated")
    channels, _, header_rate, _, _, _, pcm_size, *_ = HEADER.unpack_from(nwa)
    # Before decoding: the result is allocated at pcm_size bytes whatever the file holds.
    if pcm_size > max_pcm_bytes:
        raise ConversionError(f"pcm_size {pcm_size} is over the limit of {max_pcm_bytes} bytes")
    frame_rate = rate if rate is not None else header_rate
    if frame_rate <= 0:
        raise ConversionError("the header gives no sample rate (0 at offset 4): pass --rate")
    try:
        pcm = native_accel.nwa_decode_pcm(nwa)  # also refuses channels other than 1 or 2
    except ValueError as error:
        raise ConversionError(str(error)) from None
    frame_size = channels * SAMPLE_WIDTH
    whole = len(pcm) - len(pcm) % frame_size  # a pcm_size that ends inside a frame
    with wave.open(wav_path, "wb") as out:
        out.setnchannels(channels)
        out.setsampwidth(SAMPLE_WIDTH)
        out.setframerate(frame_rate)
        out.writeframes(pcm[:whole])
    return whole // frame_size


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Convert an NWA audio file into a .wav file.")
    parser.add_argument("nwa", metavar="IN.nwa")
    parser.add_argument("wav", metavar="OUT.wav")
    parser.add_argument("--rate", type=int, help="sample rate in Hz, instead of the header's")
    parser.add_argument("--max-pcm-bytes", type=int, default=DEFAULT_MAX_PCM_BYTES,
                        help="refuse files whose pcm_size is larger (default: 1 GiB)")
    args = parser.parse_args(argv)
    with open(args.nwa, "rb") as f:
        nwa = f.read()
    try:
        frames = convert(nwa, args.wav, max_pcm_bytes=args.max_pcm_bytes, rate=args.rate)
    except ConversionError as error:
        print(f"{args.nwa}: {error}", file=sys.stderr)
        return 1
    print(f"{args.wav}: {frames} frames")
    return 0


if __name__ == "__main__":
    sys.exit(main())
