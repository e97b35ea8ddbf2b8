"""The module objects, their function tables, argument rules and the boundary."""

import inspect
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import sonorik
import _sonorik
import wavgen

FUNCTIONS = """analyze_audio analyze_audio_all get_audio_info_py normalize_true_peak normalize_integrated_loudness
    normalize_short_term_loudness normalize_momentary_loudness normalize_rms_max normalize_rms_average export_to_csv
    export_to_tsv export_to_xml export_to_json batch_analyze batch_analyze_directory_py find_audio_files""".split()
UNDERSCORE_FUNCTIONS = """analyze_audio analyze_audio_all get_audio_info_py batch_analyze batch_analyze_directory_py
    normalize_true_peak normalize_integrated_loudness normalize_rms_max normalize_rms_average export_to_csv
    export_to_json find_audio_files""".split()
FLAGS = ("integrated_loudness, short_term_loudness, momentary_loudness, loudness_range, "
         "true_peak, rms_max, rms_average")
NORMALIZE = [("normalize_true_peak", "target_dbfs", "True Peak"), ("normalize_rms_max", "target_db", "RMS Max"),
             ("normalize_integrated_loudness", "target_lufs", "Integrated Loudness"),
             ("normalize_short_term_loudness", "target_lufs", "Short-term Loudness"),
             ("normalize_momentary_loudness", "target_lufs", "Momentary Loudness"),
             ("normalize_rms_average", "target_db", "RMS Average")]
SIGNATURES = {
    "analyze_audio": ("(file_path, integrated_loudness=False, short_term_loudness=False, "
                      "momentary_loudness=False, loudness_range=False, true_peak=False, "
                      "rms_max=False, rms_average=False)",
                      "Analyze audio file with specified options using the same robust analysis as the EXE version"),
    "analyze_audio_all": ("(file_path)", "Analyze audio file for all measurements"),
    "get_audio_info_py": ("(file_path)", "Get basic audio file information"),
    "batch_analyze": (f"(file_paths, {FLAGS})", "Batch process multiple audio files with analysis"),
    "batch_analyze_directory_py": (
        f"(directory_path, {FLAGS})",
        "Batch analyze all audio files in a directory (EXE version directory functionality)"),
    "find_audio_files": ("(directory_path)", "Find audio files in a directory"),
    **{f"export_to_{k}": (f"(file_paths, output_file, {FLAGS})", f"Export analysis results to {k.upper()} format")
       for k in ("csv", "tsv", "xml", "json")},
    **{name: (f"(input_path, {target}, output_path=None, range_bound=None)",
              f"Normalize audio file to specified {what} level\n"
              "If range_bound is provided, only normalize if current value is outside the range")
       for name, target, what in NORMALIZE},
}


def test_module_objects_names_and_docs():
    assert sonorik.__all__ == FUNCTIONS + ["PyAudioInfo", "PyAnalysisResults"]
    assert _sonorik.__all__ == ["PyAnalysisResults", "PyAudioInfo"] + UNDERSCORE_FUNCTIONS
    assert all(getattr(m, name) is not None for m in (sonorik, _sonorik) for name in m.__all__)
    assert (sonorik.__doc__, _sonorik.__doc__, _sonorik.__name__) == ("", "Python module definition", "_sonorik")
    assert sonorik.PyAudioInfo is _sonorik.PyAudioInfo and sonorik.PyAnalysisResults is _sonorik.PyAnalysisResults
    assert (sonorik.get_audio_info_py.__module__, _sonorik.get_audio_info_py.__module__) == ("sonorik", "_sonorik")


def test_reimport_after_removal_returns_the_cached_module():
    code = ("import sys, sonorik; a = sonorik; del sys.modules['sonorik']; "
            "import sonorik; assert sonorik is a; print('same')")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.stdout.strip() == "same", out.stderr


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_doc_string_and_text_signature(name):
    signature, doc = SIGNATURES[name]
    fn = getattr(sonorik, name)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    assert str(inspect.signature(fn)) == signature


def make_error_files(tmp_path):
    """Files for the error table: damaged, odd and missing ones beside good ones."""
    for name, x, rate, bits in [("ok.wav", wavgen.sine(0.5, 8000), 8000, 16), ("cut", wavgen.sine(0.5, 8000), 8000, 16),
                                ("e.wav", wavgen.sine(0.5, 8000), 8000, 8), ("slow.wav", wavgen.sine(1.0, 8), 8, 16)]:
        wavgen.write_wav(tmp_path / name, x, rate, bits=bits)
    nil, mono0 = bytes(8), wavgen.wav_bytes(bytes(40), 0, 8000)
    for name, body in {"song.aiff": b"FORM", "notwav.wav": b"not a wav file at all", "mono0.wav": mono0,
                       "nofmt.wav": mono0[:12] + mono0[36:], "bits20.wav": wavgen.wav_bytes(nil, 1, 48000, 20),
                       "rate0.wav": wavgen.wav_bytes(nil, 1, 0, 16),
                       "huge.wav": wavgen.wav_bytes(nil, 1, 48000, 16, declared_data_size=1 << 31),  # lies about size
                       "fmtpast.wav": wavgen.wav_bytes(nil, 1, 48000, 16, data_first=True).replace(b"fmt \x10",
                                                                                                 b"fmt \x12")}.items():
        (tmp_path / name).write_bytes(body)
    (tmp_path / "dir.wav").mkdir()
    os.mkfifo(tmp_path / "pipe.wav")  # must not hang
    return str(tmp_path)


@pytest.fixture
def err_dir(tmp_path):
    return make_error_files(tmp_path)


class NoFloat:
    def __float__(self):
        raise ValueError("no float here")


DECODE, OPEN = 'Failed to load audio: Failed to decode audio file: "{d}/', "Failed to open WAV file: "
UNSUPPORTED, NORM = 'Failed to load audio: Unsupported audio format: "{d}/', "Normalization failed: "
NUL = "file name contained an unexpected NUL byte"
WEIRD = 'we"ird\\na\tme\x01.mp3'
ERRORS = [  # (call given p(name) -> path in err_dir, exception, message with {d} for err_dir)
    (lambda p: sonorik.analyze_audio(), TypeError,
     "analyze_audio() missing 1 required positional argument: 'file_path'"),
    (lambda p: sonorik.batch_analyze([], True), TypeError,
     "batch_analyze() missing 6 required positional arguments: 'short_term_loudness', "
     "'momentary_loudness', 'loudness_range', 'true_peak', 'rms_max', and 'rms_average'"),
    (lambda p: sonorik.normalize_rms_max(), TypeError,
     "normalize_rms_max() missing 2 required positional arguments: 'input_path' and 'target_db'"),
    (lambda p: sonorik.get_audio_info_py("a.wav", "b"), TypeError,
     "get_audio_info_py() takes 1 positional arguments but 2 were given"),
    (lambda p: sonorik.analyze_audio(*["a.wav"] + [False] * 8), TypeError,
     "analyze_audio() takes from 1 to 8 positional arguments but 9 were given"),
    (lambda p: sonorik.get_audio_info_py("a.wav", file_path="b.wav"), TypeError,
     "get_audio_info_py() got multiple values for argument 'file_path'"),
    (lambda p: sonorik.get_audio_info_py(path="a.wav"), TypeError,
     "get_audio_info_py() got an unexpected keyword argument 'path'"),
    (lambda p: sonorik.get_audio_info_py(1), TypeError,
     "argument 'file_path': 'int' object cannot be converted to 'PyString'"),
    (lambda p: sonorik.get_audio_info_py(b"a.wav"), TypeError,
     "argument 'file_path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda p: sonorik.analyze_audio("a.wav", 1), TypeError,
     "argument 'integrated_loudness': 'int' object cannot be converted to 'PyBool'"),
    (lambda p: sonorik.analyze_audio("a.wav", rms_max=None), TypeError,
     "argument 'rms_max': 'NoneType' object cannot be converted to 'PyBool'"),
    (lambda p: sonorik.batch_analyze(5, *[True] * 7), TypeError,
     "argument 'file_paths': 'int' object cannot be converted to 'Sequence'"),
    (lambda p: sonorik.batch_analyze("a.wav", *[True] * 7), TypeError,
     "argument 'file_paths': a str is not a list of paths; pass a list or tuple of str"),
    (lambda p: sonorik.batch_analyze(["a.wav", 3], *[True] * 7), TypeError,
     "argument 'file_paths': 'int' object cannot be converted to 'PyString'"),
    (lambda p: sonorik.normalize_rms_max("a.wav", "loud"), TypeError,
     "argument 'target_db': must be real number, not str"),
    (lambda p: sonorik.normalize_rms_max("a.wav", -12, output_path=3), TypeError,
     "argument 'output_path': 'int' object cannot be converted to 'PyString'"),
    (lambda p: sonorik.normalize_rms_max(Path(p("ok.wav")), -12.0), TypeError,  # a path object, not a str
     "argument 'input_path': 'PosixPath' object cannot be converted to 'PyString'"),
    # Other conversion errors pass unchanged; numpy booleans are flags, so the call reaches the directory.
    (lambda p: sonorik.normalize_rms_max("a.wav", NoFloat()), ValueError, "no float here"),
    (lambda p: sonorik.get_audio_info_py("bad\udc80.wav"), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udc80' in position 3: surrogates not allowed"),
    (lambda p: sonorik.batch_analyze_directory_py(p("nope"), np.True_, *[np.False_] * 6), OSError,
     'Failed to scan directory: Path does not exist: "{d}/nope"'),
    (lambda p: sonorik.find_audio_files(p("cut")), OSError,
     'Failed to scan directory: Not a supported audio file: "{d}/cut"'),
    # The fast path opens .wav itself; other names go to the loader.
    (lambda p: sonorik.analyze_audio(p("missing.wav")), OSError,
     "Failed to open WAV file: No such file or directory (os error 2)"),
    (lambda p: sonorik.analyze_audio(p("dir.wav")), OSError, "Failed to open WAV file: Is a directory (os error 21)"),
    (lambda p: sonorik.analyze_audio(p("e.wav")), OSError, "Failed to open WAV file: Unsupported audio format: 1 8bit"),
    (lambda p: sonorik.analyze_audio(p("nofmt.wav")), OSError, 'Failed to open WAV file: Chunk "fmt " not found'),
    (lambda p: sonorik.analyze_audio(p("mono0.wav")), OSError, OPEN + "Invalid fmt chunk: 0 channels"),
    (lambda p: sonorik.analyze_audio(p("x.aiff")), OSError, DECODE + 'x.aiff"'),
    (lambda p: sonorik.analyze_audio(p("x.mp3")), OSError, UNSUPPORTED + 'x.mp3"'),
    (lambda p: sonorik.analyze_audio_all(p("cut") + "\0.wav"), OSError, "Failed to open WAV file: " + NUL),
    *[(lambda p, n=n: sonorik.get_audio_info_py(p(n)), OSError, UNSUPPORTED + q + '"')
      for n, q in [("song.mp3", "song.mp3"), (".wav", ".wav"), (WEIRD, 'we\\"ird\\\\na\\tme\\u{1}.mp3')]],
    *[(lambda p, n=n: sonorik.get_audio_info_py(p(n)), OSError, DECODE + n + '"') for n in [
        "missing.WAV", "song.aiff", "dir.wav", "pipe.wav", "notwav.wav", "mono0.wav", "bits20.wav", "rate0.wav",
        "huge.wav", "fmtpast.wav"]],
    (lambda p: sonorik.get_audio_info_py(p("cut") + "\0.wav"), OSError, DECODE + 'cut\\0.wav"'),
    (lambda p: sonorik.normalize_rms_max(p("missing.wav"), -12.0), OSError, DECODE + 'missing.wav"'),
    (lambda p: sonorik.normalize_integrated_loudness(p("slow.wav"), -23.0), RuntimeError,
     NORM + '"{d}/slow.wav": rate must be between 3364 and 2822400 Hz (got 8)'),
    (lambda p: sonorik.analyze_audio(p("slow.wav"), rms_max=True), RuntimeError,
     "Analysis failed: Sample rate of 8 Hz is too low to measure RMS in 100 ms blocks (at least 10 Hz needed)"),
    *[(lambda p, t=t, b=b: sonorik.normalize_integrated_loudness(p("ok.wav"), t, None, b), RuntimeError,
       NORM + f"The {what} must be a finite number (got {v}).")
      for t, b, what, v in [(math.nan, None, "target level", "nan"), (math.inf, None, "target level", "inf"),
                            (-math.inf, -20.0, "target level", "-inf"), (-20.0, math.nan, "range bound", "nan")]],
    (lambda p: sonorik.normalize_rms_max(p("ok.wav"), -12.0, p("no/dir/out.wav")), OSError,
     "Failed to write audio: No such file or directory (os error 2)"),
    (lambda p: sonorik.normalize_rms_max(p("ok.wav"), -12.0, p("dir.wav")), OSError,
     "Failed to write audio: Is a directory (os error 21)"),
    (lambda p: sonorik.normalize_rms_max(p("ok.wav"), -12.0, p("cut") + "\0.wav"), OSError,
     "Failed to write audio: " + NUL),
    (lambda p: sonorik.export_to_csv([p("ok.wav")], p("cut") + "\0.csv", *[True] * 7), OSError,
     "Failed to write output: " + NUL),
]


@pytest.mark.parametrize("call, kind, message", ERRORS)
def test_error_messages_and_nothing_touched(err_dir, call, kind, message):
    files = {q: q.read_bytes() if q.is_file() else q.is_dir() for q in Path(err_dir).rglob("*")}
    with pytest.raises(kind) as info:
        call(lambda name: f"{err_dir}/{name}")
    assert str(info.value) == message.replace("{d}", err_dir)
    assert type(info.value) is kind
    assert {q: q.read_bytes() if q.is_file() else q.is_dir() for q in Path(err_dir).rglob("*")} == files


@pytest.mark.parametrize("cls", [sonorik.PyAudioInfo, sonorik.PyAnalysisResults])
def test_result_classes_are_closed_records(cls):
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == f"No constructor defined for {cls.__name__}"
    with pytest.raises(TypeError):
        type("X", (cls,), {})
    assert (cls.__module__, cls.__bases__) == ("builtins", (object,))
    assert not hasattr(cls, "__dict__") or "__dict__" not in cls.__dict__
    for name, attr in cls.__dict__.items():
        if not name.startswith("__"):
            assert attr.__set__ is not None and attr.__doc__ is None
    assert cls.__doc__ == {"PyAudioInfo": "Python audio info structure",
                           "PyAnalysisResults": "Python analysis results structure"}[cls.__name__]


def test_fatal_errors_surface_as_fatal_call_error(probe):
    with pytest.raises(BaseException) as info:
        try:
            probe.raise_internal_error("internal check failed")
        except Exception:  # must not catch it
            pytest.fail("FatalCallError was caught by `except Exception`")
    assert (type(info.value).__name__, type(info.value).__bases__) == ("FatalCallError", (BaseException,))
    assert info.value.args == ("internal check failed",)
    for call in (lambda: probe.raise_internal_error(None), probe.index_out_of_range):
        with pytest.raises(BaseException) as info:
            call()
        assert type(info.value).__name__ == "FatalCallError" and info.value.args[0]
    with pytest.raises(MemoryError):
        probe.exhaust_memory()
    # The interpreter and the module keep working.
    with pytest.raises(OSError):
        sonorik.get_audio_info_py("still-alive.mp3")
