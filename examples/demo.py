"""Analyses every WAV file below a directory and prints one table.
Usage: python examples/demo.py DIRECTORY"""

import sys

import sonorik


def fmt(value, unit):
    return "—" if value is None else f"{value:7.2f} {unit}"


def main(directory: str) -> None:
    files = sonorik.find_audio_files(directory)
    for path in files:
        info, res = sonorik.analyze_audio_all(path)
        print(f"{path}")
        print(f"  {info.sample_rate} Hz, {info.channels} ch, {info.sample_format}, "
              f"{info.duration_formatted}")
        print(f"  integrated {fmt(res.integrated_loudness, 'LUFS')}   "
              f"short-term max {fmt(res.short_term_loudness, 'LUFS')}   "
              f"momentary max {fmt(res.momentary_loudness, 'LUFS')}")
        print(f"  range      {fmt(res.loudness_range, 'LU')}     "
              f"true peak {fmt(res.true_peak, 'dBTP')}   "
              f"RMS max {fmt(res.rms_max, 'dB')}   RMS average {fmt(res.rms_average, 'dB')}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "examples/audio")
