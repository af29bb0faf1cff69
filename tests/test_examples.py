"""What a newcomer runs first: every example in README.md, and examples/nwa_to_wav.py.

README blocks run each in a namespace of their own, so that an example that leans on an
import or a name from another block fails here as it would in a fresh interpreter.
"""

import doctest
import math
import re
import resource
import subprocess
import sys
import wave
from pathlib import Path

import pytest

import native_accel as na
import nwa_model as model

ROOT = Path(__file__).resolve().parents[1]
FENCE = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)


def readme_blocks() -> list[tuple[str, int, str]]:
    """(id, line, code) of every ```python block, the id naming its line and section."""
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    blocks = []
    for match in FENCE.finditer(text):
        line = text.count("\n", 0, match.start()) + 1
        heading = re.findall(r"^#+ (.*)$", text[: match.start()], re.M)
        title = heading[-1].split("(")[0] if heading else "top"  # a function: its name
        section = re.sub(r"\W+", "_", title).strip("_")[:40]
        blocks.append((f"line{line}-{section}", line, match[1]))
    return blocks


BLOCKS = readme_blocks()


@pytest.mark.parametrize(("line", "code"), [block[1:] for block in BLOCKS],
                         ids=[block[0] for block in BLOCKS])
def test_readme_example_runs_as_shown(line, code):
    if ">>> " not in code:  # a complete program: it must run as it is
        exec(compile("\n" * line + code, "README.md", "exec"), {"__name__": "readme_example"})
        return
    test = doctest.DocTestParser().get_doctest(code, {}, "README.md", "README.md", line)
    report: list[str] = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.append)
    assert runner.failures == 0 and runner.tries > 0, "".join(report)


def test_readme_shows_every_function_at_work():
    shown = " ".join(code for _, _, code in BLOCKS if ">>> " in code)
    assert [name for name in na.__all__ if f"native_accel.{name}(" not in shown] == []


# ---- examples/nwa_to_wav.py --------------------------------------------------------------

SCRIPT = ROOT / "examples" / "nwa_to_wav.py"


def to_wav(tmp_path, nwa: bytes, *options: str, address_space: int | None = None):
    (tmp_path / "in.nwa").write_bytes(nwa)
    limit = None
    if address_space is not None:
        limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (address_space,) * 2)  # noqa: E731
    return subprocess.run(
        [sys.executable, str(SCRIPT), str(tmp_path / "in.nwa"), str(tmp_path / "out.wav"),
         *options], capture_output=True, text=True, timeout=60, preexec_fn=limit)


def tone(frames: int, channels: int) -> list[int]:
    """Interleaved samples: a sine per channel, with a stretch of silence for the runs."""
    return [0 if 300 <= i < 420 else int(9000 * math.sin(i / (7 + 5 * c)))
            for i in range(frames) for c in range(channels)]


def raw_file(samples: list[int], channels: int, sample_rate: int) -> bytes:
    pcm = b"".join(s.to_bytes(2, "little", signed=True) for s in samples)
    return model.header(channels=channels, sample_rate=sample_rate, level=-1,
                        pcm_size=len(pcm)) + pcm


CONVERSIONS = {
    "mono-level0": lambda: model.encode_pcm(tone(1000, 1), channels=1, level=0,
                                            run_length=False, unit_samples=256,
                                            sample_rate=22050),
    "stereo-level2-runs": lambda: model.encode_pcm(tone(900, 2), channels=2, level=2,
                                                   run_length=True, unit_samples=512,
                                                   sample_rate=44100),
    "stereo-raw": lambda: raw_file(tone(300, 2), 2, 48000),
}


@pytest.mark.parametrize("make", CONVERSIONS.values(), ids=CONVERSIONS.keys())
def test_nwa_to_wav_writes_the_decoded_frames(tmp_path, make):
    nwa = make()
    channels, _, rate = model.HEADER.unpack_from(nwa)[:3]
    done = to_wav(tmp_path, nwa)
    assert done.returncode == 0, done.stderr
    pcm = na.nwa_decode_pcm(nwa)
    with wave.open(str(tmp_path / "out.wav"), "rb") as wav:
        assert (wav.getnchannels(), wav.getsampwidth(), wav.getframerate()) == (channels, 2, rate)
        assert wav.getnframes() == len(pcm) // (2 * channels) > 0
        assert wav.readframes(wav.getnframes()) == pcm
    assert done.stdout == f"{tmp_path / 'out.wav'}: {len(pcm) // (2 * channels)} frames\n"


def test_nwa_to_wav_drops_a_partial_last_frame_and_takes_a_given_rate(tmp_path):
    # pcm_size 10 of stereo: two whole frames and half of one; no rate in the header.
    nwa = raw_file([1, -2, 3, -4, 5, -6], 2, 0)
    nwa = nwa[:20] + (10).to_bytes(4, "little") + nwa[24:]
    done = to_wav(tmp_path, nwa, "--rate", "8000")
    assert done.returncode == 0, done.stderr
    with wave.open(str(tmp_path / "out.wav"), "rb") as wav:
        assert wav.getframerate() == 8000
        assert wav.readframes(10) == na.nwa_decode_pcm(nwa)[:8]


# A 52-byte file: header, one table entry, a 4-byte unit, and a pcm_size of 4 GiB - 1 that
# the decoder would allocate and fill before it could return.
HUGE = model.nwa_file([bytes(4)], pcm_size=0xFFFFFFFF, unit_samples=0x7FFFFFFF,
                      sample_rate=22050)


@pytest.mark.address_space_limit
@pytest.mark.parametrize(
    "nwa, options, message",
    [
        # Refused before decoding: under a 1 GiB address space a decode would fail
        # with MemoryError instead.
        (HUGE, (), "pcm_size 4294967295 is over the limit of 1073741824 bytes"),
        (raw_file(tone(10, 1), 1, 8000), ("--max-pcm-bytes", "19"),
         "pcm_size 20 is over the limit of 19 bytes"),
        (raw_file(tone(10, 1), 1, 0), (), "the header gives no sample rate (0 at offset 4)"),
        (raw_file(tone(10, 1), 1, 8000)[:43], (), "NWA header truncated"),
        (model.header(channels=3, sample_rate=8000), (), "Unsupported NWA channels: 3"),
    ],
    ids=["4GiB-from-52-bytes", "over-given-limit", "no-rate", "truncated", "channels"],
)
def test_nwa_to_wav_refuses_what_it_cannot_convert(tmp_path, nwa, options, message):
    done = to_wav(tmp_path, nwa, *options, address_space=1 << 30)
    assert done.returncode == 1 and message in done.stderr, done.stderr
    assert not (tmp_path / "out.wav").exists()
