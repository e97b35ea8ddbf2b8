"""EBU Tech 3341/3342 cases at 48 kHz through sonorik_meter (arrays, WAV files) and sonorik.analyze_audio_all
where comparable; every run writes build/conformance.md, which `make conformance` copies into README.md."""

from __future__ import annotations

import functools
import math

import numpy as np
import pytest

import sonorik
import wavgen

meter = pytest.importorskip("sonorik_meter")

RATE = 48000
SURROUND_5 = ("L", "R", "C", "Ls", "Rs")
MASK_5 = 0x37  # front left, right, centre, back left, back right


def tone(parts) -> np.ndarray:  # one 1 kHz sine through consecutive (dBFS, seconds) stretches
    amp = np.concatenate([np.full(round(s * RATE), 10.0 ** (db / 20)) for db, s in parts])
    return amp * np.sin(2 * np.pi * 1000.0 * np.arange(amp.size) / RATE)


def stereo(parts) -> np.ndarray:
    return np.column_stack([tone(parts)] * 2)


def peak_tone(divisor: int, phase_deg: float, peak_db: float, seconds: float = 6.0) -> np.ndarray:
    """Stereo sine at rate / divisor peaking at peak_db, 5 ms fades (no ringing above the peak at the start)."""
    x = 10.0 ** (peak_db / 20) * np.sin(2 * np.pi * np.arange(round(seconds * RATE)) / divisor +
                                        math.radians(phase_deg))
    fade = 0.5 - 0.5 * np.cos(np.pi * np.arange(240) / 240)
    x[:240] *= fade
    x[-240:] *= fade[::-1]
    return np.column_stack([x, x])


SIGNALS = {
    "3341 case 1": lambda: stereo([(-23, 20)]),
    "3341 case 2": lambda: stereo([(-33, 20)]),
    "3341 case 3": lambda: stereo([(-36, 10), (-23, 60), (-36, 10)]),
    "3341 case 4": lambda: stereo([(-72, 10), (-36, 10), (-23, 60), (-36, 10), (-72, 10)]),
    "3341 case 5": lambda: stereo([(-26, 20), (-20, 20.1), (-26, 20)]),
    "3341 case 6": lambda: np.column_stack([tone([(db, 20)]) for db in (-28, -28, -24, -30, -30)]),
    "3341 case 9": lambda: stereo([(-20, 1.34), (-30, 1.66)] * 7),
    "3341 case 12": lambda: stereo([(-20, 0.18), (-30, 0.22)] * 50),
    "3341 case 15": lambda: peak_tone(4, 0, -6),
    "3341 case 16": lambda: peak_tone(4, 45, -6),
    "3341 case 17": lambda: peak_tone(6, 60, -6),
    "3341 case 18": lambda: peak_tone(8, 67.5, -6),
    "3341 case 19": lambda: peak_tone(4, 45, 3),
    "3342 case 1": lambda: stereo([(-20, 20), (-30, 20)]),
    "3342 case 2": lambda: stereo([(-20, 20), (-15, 20)]),
    "3342 case 3": lambda: stereo([(-40, 20), (-20, 20)]),
    "3342 case 4": lambda: stereo([(-50, 20), (-35, 20), (-20, 20), (-35, 20), (-50, 20)]),
}

# (signal, measure, reference, tolerance below, above); M and S: the worst 100 ms reading of a full window.
LU, TP, LRA = (0.1, 0.1), (0.4, 0.2), (1.0, 1.0)
CASES = [
    *[(c, m, ref, *LU) for c, ref in (("3341 case 1", -23.0), ("3341 case 2", -33.0))
      for m in ("M", "S", "I")],
    *[(f"3341 case {n}", "I", -23.0, *LU) for n in (3, 4, 5, 6)],
    ("3341 case 9", "S", -23.0, *LU),
    ("3341 case 12", "M", -23.0, *LU),
    *[(f"3341 case {n}", "TP", -6.0, *TP) for n in (15, 16, 17, 18)],
    ("3341 case 19", "TP", 3.0, *TP),
    *[(f"3342 case {n}", "LRA", ref, *LRA) for n, ref in ((1, 10.0), (2, 5.0), (3, 20.0), (4, 15.0))],
]

# sonorik weights 5 channels by position (the fourth as LFE), whatever the mask says.
SONORIK_SKIPS = {"3341 case 6": "n/a: channels weighted by position"}
HEADER = ["Case", "Measure", "Reference", "Tolerance", "sonorik_meter, array", "error",
          "sonorik_meter, WAV", "error", "sonorik analyze_audio_all, WAV", "error", "Pass"]


signal = functools.cache(lambda case: SIGNALS[case]())


@functools.cache
def wav_file(case: str, where: str) -> str:  # 32-bit float; five channels carry a mask
    x, path = signal(case), f"{where}/{case.replace(' ', '_')}.wav"
    mask = {"tag": wavgen.EXTENSIBLE, "subformat": wavgen.FLOAT, "mask": MASK_5}
    wavgen.write_wav(path, x.ravel(), RATE, x.shape[1], kind="float", **(mask if x.shape[1] == 5 else {}))
    return path


@functools.cache
def measured(case: str, source: str, where: str):
    if source == "array":
        x = signal(case)
        return meter.measure(x, RATE, channel_map=SURROUND_5 if x.shape[1] == 5 else None, series=True)
    if source == "file":
        return meter.measure(wav_file(case, where), series=True)
    return sonorik.analyze_audio_all(wav_file(case, where))[1]


def meter_value(m, measure: str, reference: float) -> float:
    if measure in ("M", "S"):
        window_s, series = (0.4, m.series_momentary_lufs) if measure == "M" else (3.0, m.series_short_term_lufs)
        full = np.asarray(series)[np.asarray(m.series_time_s) >= window_s - 1e-9]
        return float(full[np.argmax(np.abs(full - reference))])
    return {"I": m.integrated_lufs, "TP": m.true_peak_dbtp, "LRA": m.loudness_range_lu}[measure]


SONORIK_FIELDS = {"I": "integrated_loudness", "M": "momentary_loudness", "S": "short_term_loudness",
                  "TP": "true_peak", "LRA": "loudness_range"}


@pytest.mark.parametrize("index", range(len(CASES)), ids=[f"{c[0]} {c[1]}" for c in CASES])
def test_conformance_case(index, tmp_path_factory, result_table):
    case, measure, reference, below, above = CASES[index]
    where = str(tmp_path_factory.getbasetemp())
    values = [meter_value(measured(case, "array", where), measure, reference),
              meter_value(measured(case, "file", where), measure, reference)]
    if case not in SONORIK_SKIPS:
        # sonorik reports maxima for M and S rather than the readings themselves
        values.append(getattr(measured(case, "sonorik", where), SONORIK_FIELDS[measure]))
    ok = [v is not None and reference - below <= v <= reference + above for v in values]
    cells = [f"{v:.2f} | {round(v - reference, 2) + 0.0:+.2f}" if v is not None else "None | —" for v in values]
    cells += [SONORIK_SKIPS.get(case, "") + " | —"] * (3 - len(values))
    tolerance = f"±{above}" if below == above else f"+{above} / -{below}"
    result_table("conformance.md", HEADER, len(CASES))[index] = [
        case, measure, f"{reference:.1f}", tolerance, *" | ".join(cells).split(" | "),
        "yes" if all(ok) else "**no**"]
    assert all(ok), (case, measure, reference, values)
