"""nwa_decode_pcm against zlib.decompress on the same PCM: 60 s of stereo 44.1 kHz (two
sines and noise), coded by the tests' encoder at width 5 (level 0) with run-length on, and
packed by zlib at level 6. Reports output bytes per second, best of several runs.

    .venv/bin/python bench/bench_nwa.py [seconds]
"""

import pathlib
import sys
import time
import zlib

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import native_accel as na  # noqa: E402
import nwa_model  # noqa: E402

RATE = 44100


def stereo_pcm(seconds: float) -> np.ndarray:
    t = np.arange(int(seconds * RATE)) / RATE
    rng = np.random.default_rng(1)
    left = 8000 * np.sin(2 * np.pi * 440 * t) + 3000 * np.sin(2 * np.pi * 1250 * t)
    right = 7000 * np.sin(2 * np.pi * 330 * t + 1) + 2500 * np.sin(2 * np.pi * 2100 * t)
    frames = np.stack([left, right], axis=1) + rng.normal(0, 300, (t.size, 2))
    return np.clip(frames, -32768, 32767).astype("<i2").reshape(-1)


def best_rate(fn, size: int, runs: int = 7) -> float:
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return size / best


def main() -> None:
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    samples = stereo_pcm(seconds)
    start = time.perf_counter()
    nwa = nwa_model.encode_pcm(samples.tolist(), channels=2, level=0, run_length=True,
                               unit_samples=2 * 8192)
    print(f"encoded {seconds:g} s stereo in {time.perf_counter() - start:.1f} s (Python)")
    pcm = na.nwa_decode_pcm(nwa)
    packed = zlib.compress(pcm, 6)
    assert zlib.decompress(packed) == pcm
    nwa_rate = best_rate(lambda: na.nwa_decode_pcm(nwa), len(pcm))
    zlib_rate = best_rate(lambda: zlib.decompress(packed), len(pcm))
    print(f"PCM {len(pcm)} bytes; NWA {len(nwa)} bytes ({len(nwa) / len(pcm):.1%}), "
          f"zlib-6 {len(packed)} bytes ({len(packed) / len(pcm):.1%})")
    print(f"nwa_decode_pcm   {nwa_rate / 1e6:8.1f} MB/s")
    print(f"zlib.decompress  {zlib_rate / 1e6:8.1f} MB/s")
    print(f"ratio            {nwa_rate / zlib_rate:8.2f}")


if __name__ == "__main__":
    main()
