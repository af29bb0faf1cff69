"""Benchmark inputs, generated deterministically and never timed.

- text: the interpreter's standard library .py files, concatenated in sorted path order
  and cut at the requested size (source code is what the tool's scripts mostly hold);
- picture: an RGBA image with gradients, flat areas, noise and repeated sprites, so that
  the codecs see long matches, short matches and incompressible runs in one input;
- audio: stereo 44.1 kHz PCM of sines plus noise with short silences, encoded as NWA at
  level 0 with run-length on by the bench's own encoder (slow in Python, so cached).
"""

from __future__ import annotations

import hashlib
import sysconfig
from pathlib import Path

import numpy as np

import nwa_encoder

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "bench_data"
SAMPLE_RATE = 44100
UNIT_SAMPLES = 4096  # samples per NWA unit, both channels counted


def text_corpus(size: int) -> bytes:
    stdlib = Path(sysconfig.get_paths()["stdlib"])
    files = sorted(
        (p for p in stdlib.rglob("*.py") if "site-packages" not in p.relative_to(stdlib).parts),
        key=lambda p: p.relative_to(stdlib).as_posix(),
    )
    parts, total = [], 0
    for path in files:
        if total >= size:
            break
        blob = path.read_bytes()
        parts.append(blob)
        total += len(blob)
    corpus = b"".join(parts)[:size]
    if len(corpus) < size:
        raise RuntimeError(f"the standard library holds only {len(corpus)} bytes of .py files")
    return corpus


def _sprite(rng: np.random.Generator, size: int) -> np.ndarray:
    """A round sprite with a transparent surround, a shaded body and a few flat stripes."""
    yy, xx = np.mgrid[0:size, 0:size]
    r = np.hypot(xx - size / 2, yy - size / 2)
    sprite = np.zeros((size, size, 4), dtype=np.uint8)
    body = r < size * 0.45
    sprite[..., 0] = (200 - r * 3).clip(0, 255)
    sprite[..., 1] = rng.integers(0, 256)
    sprite[..., 2] = (xx * 4) % 256
    sprite[(yy // 6) % 3 == 0, 1] = 40
    sprite[..., 3] = np.where(body, 255, 0)
    sprite[~body, :3] = 0
    return sprite


def picture(side: int) -> np.ndarray:
    """A side x side x 4 uint8 image, the same for the same side on every run."""
    rng = np.random.default_rng(20240613)
    yy, xx = np.mgrid[0:side, 0:side]
    img = np.empty((side, side, 4), dtype=np.uint8)
    img[..., 0] = (xx * 256 // side).astype(np.uint8)  # horizontal gradient
    img[..., 1] = (yy * 256 // side).astype(np.uint8)  # vertical gradient
    img[..., 2] = ((xx + yy) * 128 // side).astype(np.uint8)
    img[..., 3] = 255
    q = side // 8
    # Flat areas: solid rectangles.
    for _ in range(12):
        x0, y0 = rng.integers(0, side - 2 * q, size=2)
        w, h = rng.integers(q // 2, 2 * q, size=2)
        img[y0:y0 + h, x0:x0 + w, :3] = rng.integers(0, 256, size=3, dtype=np.uint8)
    # Noise: one band of random pixels, one band of a gradient with light grain.
    img[q:2 * q, :, :3] = rng.integers(0, 256, size=(q, side, 3), dtype=np.uint8)
    grain = rng.integers(-6, 7, size=(q, side, 3))
    img[3 * q:4 * q, :, :3] = (img[3 * q:4 * q, :, :3] + grain).clip(0, 255).astype(np.uint8)
    # Repeated sprites over the lower part, with their transparency.
    size = max(8, side // 32)
    sprites = [_sprite(rng, size) for _ in range(3)]
    for k, y0 in enumerate(range(5 * q, side - size, size + size // 4)):
        for j, x0 in enumerate(range(0, side - size, size + size // 2)):
            s = sprites[(j + k) % 3]
            region = img[y0:y0 + size, x0:x0 + size]
            opaque = s[..., 3:] == 255
            region[...] = np.where(opaque, s, region)
    return img


def _audio_pcm(seconds: float) -> np.ndarray:
    rng = np.random.default_rng(440)
    frames = int(seconds * SAMPLE_RATE)
    t = np.arange(frames) / SAMPLE_RATE
    left = 7000 * np.sin(2 * np.pi * 220 * t) + 4000 * np.sin(2 * np.pi * 1375 * t + 1.0)
    right = 6000 * np.sin(2 * np.pi * 330 * t) + 3000 * np.sin(2 * np.pi * 2200 * t + 0.5)
    left += rng.normal(0, 250, frames)
    right += rng.normal(0, 200, frames)
    # Half a second of silence every ten seconds (and at the start): zero runs.
    silent = (t % 10) < 0.5
    left[silent] = 0
    right[silent] = 0
    pcm = np.empty(2 * frames, dtype=np.int16)
    pcm[0::2] = left.round().clip(-32768, 32767)
    pcm[1::2] = right.round().clip(-32768, 32767)
    return pcm


def audio(seconds: float) -> tuple[bytes, bytes]:
    """(nwa_file, pcm_it_decodes_to) for `seconds` of stereo audio, cached under build/."""
    source = Path(nwa_encoder.__file__).read_bytes() + Path(__file__).read_bytes()
    key = hashlib.sha256(source + repr(seconds).encode()).hexdigest()[:16]
    path = CACHE / f"audio-{seconds:g}s-{key}.npz"
    if path.exists():
        with np.load(path) as saved:
            return saved["nwa"].tobytes(), saved["pcm"].tobytes()
    nwa, pcm = nwa_encoder.encode(_audio_pcm(seconds), 2, UNIT_SAMPLES)
    CACHE.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp.npz")
    np.savez(tmp, nwa=np.frombuffer(nwa, np.uint8), pcm=np.frombuffer(pcm, np.uint8))
    tmp.replace(path)
    return nwa, pcm
