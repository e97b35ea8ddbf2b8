"""The second module object of the library: the same functions and classes
as `sonorik`, without normalize_short_term_loudness,
normalize_momentary_loudness, export_to_tsv and export_to_xml."""

from sonorik import (
    PyAnalysisResults as PyAnalysisResults,
    PyAudioInfo as PyAudioInfo,
    analyze_audio as analyze_audio,
    analyze_audio_all as analyze_audio_all,
    batch_analyze as batch_analyze,
    batch_analyze_directory_py as batch_analyze_directory_py,
    export_to_csv as export_to_csv,
    export_to_json as export_to_json,
    find_audio_files as find_audio_files,
    get_audio_info_py as get_audio_info_py,
    normalize_integrated_loudness as normalize_integrated_loudness,
    normalize_rms_average as normalize_rms_average,
    normalize_rms_max as normalize_rms_max,
    normalize_true_peak as normalize_true_peak,
)

__all__ = [
    "PyAnalysisResults",
    "PyAudioInfo",
    "analyze_audio",
    "analyze_audio_all",
    "get_audio_info_py",
    "batch_analyze",
    "batch_analyze_directory_py",
    "normalize_true_peak",
    "normalize_integrated_loudness",
    "normalize_rms_max",
    "normalize_rms_average",
    "export_to_csv",
    "export_to_json",
    "find_audio_files",
]
