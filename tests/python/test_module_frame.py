"""The module objects, their function tables, argument rules and the boundary."""

import inspect
import subprocess
import sys

import pytest

import sonorik
import _sonorik

FUNCTIONS = """analyze_audio analyze_audio_all get_audio_info_py normalize_true_peak normalize_integrated_loudness
    normalize_short_term_loudness normalize_momentary_loudness normalize_rms_max normalize_rms_average export_to_csv
    export_to_tsv export_to_xml export_to_json batch_analyze batch_analyze_directory_py find_audio_files""".split()
UNDERSCORE_FUNCTIONS = """analyze_audio analyze_audio_all get_audio_info_py batch_analyze batch_analyze_directory_py
    normalize_true_peak normalize_integrated_loudness normalize_rms_max normalize_rms_average export_to_csv
    export_to_json find_audio_files""".split()
FLAGS = ("integrated_loudness, short_term_loudness, momentary_loudness, loudness_range, "
         "true_peak, rms_max, rms_average")
NORMALIZE = [
    ("normalize_true_peak", "target_dbfs", "True Peak"),
    ("normalize_integrated_loudness", "target_lufs", "Integrated Loudness"),
    ("normalize_short_term_loudness", "target_lufs", "Short-term Loudness"),
    ("normalize_momentary_loudness", "target_lufs", "Momentary Loudness"),
    ("normalize_rms_max", "target_db", "RMS Max"),
    ("normalize_rms_average", "target_db", "RMS Average"),
]
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


@pytest.mark.parametrize("call, message", [
    (lambda: sonorik.analyze_audio(), "analyze_audio() missing 1 required positional argument: 'file_path'"),
    (lambda: sonorik.batch_analyze([], True),
     "batch_analyze() missing 6 required positional arguments: 'short_term_loudness', "
     "'momentary_loudness', 'loudness_range', 'true_peak', 'rms_max', and 'rms_average'"),
    (lambda: sonorik.normalize_rms_max(),
     "normalize_rms_max() missing 2 required positional arguments: 'input_path' and 'target_db'"),
    (lambda: sonorik.get_audio_info_py("a.wav", "b"),
     "get_audio_info_py() takes 1 positional arguments but 2 were given"),
    (lambda: sonorik.analyze_audio(*["a.wav"] + [False] * 8),
     "analyze_audio() takes from 1 to 8 positional arguments but 9 were given"),
    (lambda: sonorik.get_audio_info_py("a.wav", file_path="b.wav"),
     "get_audio_info_py() got multiple values for argument 'file_path'"),
    (lambda: sonorik.get_audio_info_py(path="a.wav"),
     "get_audio_info_py() got an unexpected keyword argument 'path'"),
    (lambda: sonorik.get_audio_info_py(1), "argument 'file_path': 'int' object cannot be converted to 'PyString'"),
    (lambda: sonorik.get_audio_info_py(b"a.wav"),
     "argument 'file_path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: sonorik.analyze_audio("a.wav", 1),
     "argument 'integrated_loudness': 'int' object cannot be converted to 'PyBool'"),
    (lambda: sonorik.analyze_audio("a.wav", rms_max=None),
     "argument 'rms_max': 'NoneType' object cannot be converted to 'PyBool'"),
    (lambda: sonorik.batch_analyze(5, *[True] * 7),
     "argument 'file_paths': 'int' object cannot be converted to 'Sequence'"),
    (lambda: sonorik.batch_analyze("a.wav", *[True] * 7),
     "argument 'file_paths': a str is not a list of paths; pass a list or tuple of str"),
    (lambda: sonorik.batch_analyze(["a.wav", 3], *[True] * 7),
     "argument 'file_paths': 'int' object cannot be converted to 'PyString'"),
    (lambda: sonorik.normalize_rms_max("a.wav", "loud"), "argument 'target_db': must be real number, not str"),
    (lambda: sonorik.normalize_rms_max("a.wav", -12, output_path=3),
     "argument 'output_path': 'int' object cannot be converted to 'PyString'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert type(info.value) is TypeError


def test_other_conversion_errors_pass_unchanged_and_numpy_booleans_are_flags():
    class Bad:
        def __float__(self):
            raise ValueError("no float here")

    with pytest.raises(ValueError, match="no float here"):
        sonorik.normalize_rms_max("a.wav", Bad())
    with pytest.raises(UnicodeEncodeError):
        sonorik.get_audio_info_py("bad\udc80.wav")
    np = pytest.importorskip("numpy")
    with pytest.raises(OSError):  # converted, so the call goes on to the (missing) file
        sonorik.batch_analyze_directory_py("/nonexistent/dir", np.bool_(True), *[np.False_] * 6)


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
