"""Builds and runs the C++ micro-benchmark of the encoders' search-tree variants
(bench/encoder_bench.cpp) on the benchmark's own inputs: the 8 MiB text corpus and the
2048 x 2048 RGBA picture of bench/data.py, written once under build/bench_data/.

    python bench/encoder_bench.py [rounds] [variant,variant,...]
"""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import data  # noqa: E402
from run import ROOT, module_build_dir  # noqa: E402

TARGET = "encoder_bench"


def inputs() -> tuple[Path, Path]:
    text_path = data.CACHE / "text-8MiB.bin"
    picture_path = data.CACHE / "picture-2048.rgba"
    data.CACHE.mkdir(parents=True, exist_ok=True)
    if not text_path.exists():
        text_path.write_bytes(data.text_corpus(8 << 20))
    if not picture_path.exists():
        picture_path.write_bytes(data.picture(2048).tobytes())
    return text_path, picture_path


def main(argv: list[str]) -> int:
    build_dir = module_build_dir()
    if build_dir is None:
        print("no release build tree under build/: run make install first", file=sys.stderr)
        return 2
    cmake = shutil.which("cmake", path=str(Path(sys.executable).parent)) or "cmake"
    subprocess.run([cmake, str(build_dir)], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", str(build_dir), "--target", TARGET], check=True,
                   stdout=subprocess.DEVNULL)
    text, picture = inputs()
    return subprocess.run([str(build_dir / "bench" / TARGET), str(text), str(picture), *argv],
                          cwd=ROOT).returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
