"""Loudness, true peak and RMS measurement of WAV files.

Levels: loudness in LUFS, loudness range in LU, true peak in dBFS (dBTP), RMS
in dB relative to full scale. Paths are `str` only (no bytes, no path
objects); flags are `bool` only. Load and write failures raise OSError,
failed measurements RuntimeError, wrong arguments TypeError.
"""

from typing import SupportsFloat, SupportsIndex, final

__all__ = [
    "analyze_audio",
    "analyze_audio_all",
    "get_audio_info_py",
    "normalize_true_peak",
    "normalize_integrated_loudness",
    "normalize_short_term_loudness",
    "normalize_momentary_loudness",
    "normalize_rms_max",
    "normalize_rms_average",
    "export_to_csv",
    "export_to_tsv",
    "export_to_xml",
    "export_to_json",
    "batch_analyze",
    "batch_analyze_directory_py",
    "find_audio_files",
    "PyAudioInfo",
    "PyAnalysisResults",
]

_Level = SupportsFloat | SupportsIndex
# Any sequence of str is taken at run time, except a str itself; the stub
# names the usual two so that a checker flags a lone str.
_Paths = list[str] | tuple[str, ...]

@final
class PyAudioInfo:
    """Python audio info structure"""

    @property
    def sample_rate(self) -> int:
        """Frames per second (Hz)."""
    @property
    def channels(self) -> int: ...
    @property
    def bit_depth(self) -> int:
        """Bits per sample."""
    @property
    def total_samples(self) -> int: ...
    @property
    def duration_seconds(self) -> float: ...
    @property
    def duration_formatted(self) -> str:
        """The duration as hh:mm:ss.sss."""
    @property
    def sample_format(self) -> str:
        """One of "U8", "I16", "I24", "I32", "F32", "F64"."""

@final
class PyAnalysisResults:
    """Python analysis results structure"""

    @property
    def integrated_loudness(self) -> float | None:
        """Integrated loudness, LUFS; None when not measured."""
    @property
    def short_term_loudness(self) -> float | None:
        """Maximum short-term (3 s) loudness, LUFS."""
    @property
    def momentary_loudness(self) -> float | None:
        """Maximum momentary (400 ms) loudness, LUFS."""
    @property
    def loudness_range(self) -> float | None:
        """Loudness range, LU."""
    @property
    def true_peak(self) -> float | None:
        """True (inter-sample) peak, dBFS."""
    @property
    def rms_max(self) -> float | None:
        """Maximum RMS, dB."""
    @property
    def rms_average(self) -> float | None:
        """Average RMS, dB."""

def analyze_audio(
    file_path: str,
    integrated_loudness: bool = False,
    short_term_loudness: bool = False,
    momentary_loudness: bool = False,
    loudness_range: bool = False,
    true_peak: bool = False,
    rms_max: bool = False,
    rms_average: bool = False,
) -> tuple[PyAudioInfo, PyAnalysisResults]:
    """Analyze audio file with specified options using the same robust analysis as the EXE version"""

def analyze_audio_all(file_path: str) -> tuple[PyAudioInfo, PyAnalysisResults]:
    """Analyze audio file for all measurements"""

def get_audio_info_py(file_path: str) -> PyAudioInfo:
    """Get basic audio file information"""

def normalize_true_peak(
    input_path: str, target_dbfs: _Level, output_path: str | None = None,
    range_bound: _Level | None = None,
) -> None:
    """Normalize audio file to specified True Peak level
    If range_bound is provided, only normalize if current value is outside the range"""

def normalize_integrated_loudness(
    input_path: str, target_lufs: _Level, output_path: str | None = None,
    range_bound: _Level | None = None,
) -> None:
    """Normalize audio file to specified Integrated Loudness level
    If range_bound is provided, only normalize if current value is outside the range"""

def normalize_short_term_loudness(
    input_path: str, target_lufs: _Level, output_path: str | None = None,
    range_bound: _Level | None = None,
) -> None:
    """Normalize audio file to specified Short-term Loudness level
    If range_bound is provided, only normalize if current value is outside the range"""

def normalize_momentary_loudness(
    input_path: str, target_lufs: _Level, output_path: str | None = None,
    range_bound: _Level | None = None,
) -> None:
    """Normalize audio file to specified Momentary Loudness level
    If range_bound is provided, only normalize if current value is outside the range"""

def normalize_rms_max(
    input_path: str, target_db: _Level, output_path: str | None = None,
    range_bound: _Level | None = None,
) -> None:
    """Normalize audio file to specified RMS Max level
    If range_bound is provided, only normalize if current value is outside the range"""

def normalize_rms_average(
    input_path: str, target_db: _Level, output_path: str | None = None,
    range_bound: _Level | None = None,
) -> None:
    """Normalize audio file to specified RMS Average level
    If range_bound is provided, only normalize if current value is outside the range"""

def export_to_csv(
    file_paths: _Paths, output_file: str, integrated_loudness: bool,
    short_term_loudness: bool, momentary_loudness: bool, loudness_range: bool,
    true_peak: bool, rms_max: bool, rms_average: bool,
) -> None:
    """Export analysis results to CSV format"""

def export_to_tsv(
    file_paths: _Paths, output_file: str, integrated_loudness: bool,
    short_term_loudness: bool, momentary_loudness: bool, loudness_range: bool,
    true_peak: bool, rms_max: bool, rms_average: bool,
) -> None:
    """Export analysis results to TSV format"""

def export_to_xml(
    file_paths: _Paths, output_file: str, integrated_loudness: bool,
    short_term_loudness: bool, momentary_loudness: bool, loudness_range: bool,
    true_peak: bool, rms_max: bool, rms_average: bool,
) -> None:
    """Export analysis results to XML format"""

def export_to_json(
    file_paths: _Paths, output_file: str, integrated_loudness: bool,
    short_term_loudness: bool, momentary_loudness: bool, loudness_range: bool,
    true_peak: bool, rms_max: bool, rms_average: bool,
) -> None:
    """Export analysis results to JSON format"""

def batch_analyze(
    file_paths: _Paths, integrated_loudness: bool, short_term_loudness: bool,
    momentary_loudness: bool, loudness_range: bool, true_peak: bool, rms_max: bool,
    rms_average: bool,
) -> list[tuple[str, PyAudioInfo, PyAnalysisResults]]:
    """Batch process multiple audio files with analysis"""

def batch_analyze_directory_py(
    directory_path: str, integrated_loudness: bool, short_term_loudness: bool,
    momentary_loudness: bool, loudness_range: bool, true_peak: bool, rms_max: bool,
    rms_average: bool,
) -> list[tuple[str, PyAudioInfo, PyAnalysisResults]]:
    """Batch analyze all audio files in a directory (EXE version directory functionality)"""

def find_audio_files(directory_path: str) -> list[str]:
    """Find audio files in a directory"""
