"""Delivery checks: a measurement held against a preset's limits, with a
verdict per criterion and by how much each was missed. The logic behind
`sonorik_meter.check` (which this module is bound to when sonorik_meter is
imported) and `sonorik check`; installed beside the extension modules with
the shipped presets, _sonorik_check_presets.json.

A preset is data: its source document and clause, an integrated loudness
with a tolerance, and upper limits for true peak, short-term and momentary
maximum loudness. A "delivery" preset passes or fails on each of them. A
"platform" preset is a playback level, not a limit: the verdict gives the
gain the platform would apply (a platform that does not turn quiet audio up
applies none to it) and fails only when the true peak after that gain would
pass the ceiling. Values are compared at full precision; the limits are
inclusive (-22.5 LUFS passes -23 +-0.5).
"""

from __future__ import annotations

import json
import math
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Union

if TYPE_CHECKING:
    from sonorik_meter import Measurement

PRESETS_FILE = Path(__file__).with_name("_sonorik_check_presets.json")
KINDS = ("delivery", "platform")
_TEXT = ("title", "kind", "source", "clause")
_LEVELS = ("integrated_lufs", "tolerance_lu", "true_peak_max_dbtp", "short_term_max_lufs",
           "momentary_max_lufs")
FIELDS = (*_TEXT, *_LEVELS, "turns_up")
# (criterion name, Measurement attribute, preset field, unit, what a None reading means)
_MAXIMA = (
    ("true_peak", "true_peak_dbtp", "true_peak_max_dbtp", "dBTP", ""),
    ("short_term_max", "short_term_max_lufs", "short_term_max_lufs", "LUFS",
     "no short-term reading: the audio is shorter than 3 s"),
    ("momentary_max", "momentary_max_lufs", "momentary_max_lufs", "LUFS",
     "no momentary reading: the audio is shorter than 400 ms"),
)

_LABELS = {"true_peak": "true peak", "short_term_max": "short-term max",
           "momentary_max": "momentary max", "true_peak_after_gain": "true peak after gain"}


@dataclass(frozen=True)
class CheckPreset:
    """What a file is checked against. Levels in the unit their names end
    with; None where the preset sets no such limit."""
    name: str
    title: str
    kind: str
    source: str
    clause: str
    integrated_lufs: float | None = None
    tolerance_lu: float = 0.0
    true_peak_max_dbtp: float | None = None
    short_term_max_lufs: float | None = None
    momentary_max_lufs: float | None = None
    turns_up: bool = False

    def limits(self) -> str:
        """The preset's numbers in one line, e.g. "-23.0 LUFS +-0.5 LU, true peak <= -1.0 dBTP"."""
        parts = []
        if self.integrated_lufs is not None:
            if self.kind == "platform":
                parts.append(f"plays at {self.integrated_lufs:.1f} LUFS"
                             + ("" if self.turns_up else " (turns loud audio down only)"))
            else:
                parts.append(f"{self.integrated_lufs:.1f} LUFS +-{self.tolerance_lu:.1f} LU")
        if self.true_peak_max_dbtp is not None:
            after = " after its gain" if self.kind == "platform" else ""
            parts.append(f"true peak{after} <= {self.true_peak_max_dbtp:.1f} dBTP")
        if self.short_term_max_lufs is not None:
            parts.append(f"short-term max <= {self.short_term_max_lufs:.1f} LUFS")
        if self.momentary_max_lufs is not None:
            parts.append(f"momentary max <= {self.momentary_max_lufs:.1f} LUFS")
        return ", ".join(parts)


@dataclass(frozen=True)
class CheckCriterion:
    """One limit held against one measured value. low/high and measured in
    `unit` (LUFS or dBTP); miss: how far measured lies outside low..high, in
    `miss_unit` (LU or dB), 0.0 when it passed, inf when the value is -inf
    (digital silence) and a level was required, None when the value could
    not be measured (see note)."""
    name: str
    unit: str
    low: float | None
    high: float | None
    measured: float | None
    passed: bool
    miss: float | None
    miss_unit: str
    note: str = ""

    def limit(self) -> str:
        """The limit as text: "-23.5 .. -22.5 LUFS" or "<= -1.0 dBTP"."""
        if self.low is not None and self.high is not None:
            return f"{self.low:.1f} .. {self.high:.1f} {self.unit}"
        if self.low is not None:
            return f">= {self.low:.1f} {self.unit}"
        return f"<= {self.high:.1f} {self.unit}"

    def describe(self) -> str:
        """One line: name, measured value, limit and the miss."""
        label = _LABELS.get(self.name, self.name)
        if self.measured is None:
            return f"{label}: {self.note} (limit {self.limit()})"
        shown = f"{self.measured:.2f}" if math.isfinite(self.measured) else str(self.measured)
        text = f"{label} {shown} {self.unit}, limit {self.limit()}"
        if not self.passed and self.miss is not None:
            miss = f"{self.miss:.2f}" if math.isfinite(self.miss) else "inf"
            text += f": missed by {miss} {self.miss_unit}"
        return text + (f" ({self.note})" if self.note else "")


@dataclass(frozen=True)
class CheckVerdict:
    """The result of check(): passed when every criterion passed.
    platform_gain_db: for a platform preset, the gain the platform would
    apply, dB (None for a delivery preset or digital silence)."""
    file: str | None
    preset: CheckPreset
    passed: bool
    criteria: tuple[CheckCriterion, ...]
    measurement: Measurement
    platform_gain_db: float | None = None

    @property
    def failures(self) -> tuple[CheckCriterion, ...]:
        """The criteria that failed."""
        return tuple(c for c in self.criteria if not c.passed)


def _miss(value: float, low: float | None, high: float | None) -> float:
    if low is not None and value < low:
        return low - value
    if high is not None and value > high:
        return value - high
    return 0.0


def _criterion(name: str, unit: str, value: float | None, low: float | None,
               high: float | None, note: str = "") -> CheckCriterion:
    miss_unit = "dB" if unit == "dBTP" else "LU"
    if value is None or math.isnan(value):
        return CheckCriterion(name, unit, low, high, None, False, None, miss_unit, note)
    miss = _miss(value, low, high)
    why = note if value == -math.inf and miss > 0.0 else ""
    return CheckCriterion(name, unit, low, high, value, miss == 0.0, miss, miss_unit, why)


def _delivery(m: Measurement, p: CheckPreset) -> list[CheckCriterion]:
    out = []
    if p.integrated_lufs is not None:
        out.append(_criterion("integrated", "LUFS", m.integrated_lufs,
                              p.integrated_lufs - p.tolerance_lu, p.integrated_lufs + p.tolerance_lu,
                              "no block passes the gates: digital silence, or shorter than 400 ms"))
    for name, attribute, field, unit, note in _MAXIMA:
        high = getattr(p, field)
        if high is not None:
            out.append(_criterion(name, unit, getattr(m, attribute), None, high, note))
    return out


def platform_gain(integrated_lufs: float, p: CheckPreset) -> float | None:
    """The gain, dB, a platform playing at p.integrated_lufs applies to audio
    of that loudness: None for digital silence; never positive when the
    platform does not turn quiet audio up."""
    if p.integrated_lufs is None or not math.isfinite(integrated_lufs):
        return None
    gain = p.integrated_lufs - integrated_lufs
    return gain if p.turns_up else min(gain, 0.0)


def check(source: Any, preset: Union[str, CheckPreset, dict[str, Any]], *,
          rate: int | None = None, series: bool = False) -> CheckVerdict:
    """Checks a file or an array (with its `rate`, Hz: anything
    sonorik_meter.measure takes) or a Measurement against `preset`: a
    shipped preset's name (see check_presets()), a CheckPreset, or a dict of
    a preset file's fields. series: measure with series=True (for a
    report's graphs). Raises ValueError for an unknown preset, and what
    measure() raises."""
    import sonorik_meter

    p = _as_preset(preset)
    if isinstance(source, sonorik_meter.Measurement):
        m, file = source, None
    else:
        m = sonorik_meter.measure(source, rate, series=series)
        file = os.fsdecode(source) if isinstance(source, (str, bytes, os.PathLike)) else None
    gain = None
    if p.kind == "platform":
        gain = platform_gain(m.integrated_lufs, p)
        criteria = []
        if p.true_peak_max_dbtp is not None:
            after = m.true_peak_dbtp + (gain or 0.0)
            criteria.append(_criterion("true_peak_after_gain", "dBTP", after, None,
                                       p.true_peak_max_dbtp))
    else:
        criteria = _delivery(m, p)
    return CheckVerdict(file, p, all(c.passed for c in criteria), tuple(criteria), m, gain)


def _as_preset(preset: Union[str, CheckPreset, dict[str, Any]]) -> CheckPreset:
    if isinstance(preset, CheckPreset):
        return preset
    if isinstance(preset, dict):
        return preset_from_fields(preset, str(preset.get("name", "custom")), "the preset")
    if isinstance(preset, str):
        shipped = check_presets()
        if preset not in shipped:
            raise ValueError(f"no preset named {preset!r}; the presets are "
                             + ", ".join(shipped))
        return shipped[preset]
    raise TypeError(f"preset must be a name, a CheckPreset or a dict (got {type(preset).__name__})")


_shipped: dict[str, CheckPreset] | None = None


def check_presets() -> dict[str, CheckPreset]:
    """The shipped presets by name, in the order of the presets file."""
    global _shipped
    if _shipped is None:
        with open(PRESETS_FILE, encoding="utf-8") as f:
            data = json.load(f)
        _shipped = {name: preset_from_fields(fields, name, str(PRESETS_FILE))
                    for name, fields in data.items()}
    return dict(_shipped)


def _number(value: Any, key: str, where: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ValueError(f"{where}: {key} must be a finite number (got {value!r})")
    return float(value)


def preset_from_fields(fields: Any, name: str, where: str) -> CheckPreset:
    """A CheckPreset from a mapping of FIELDS; ValueError naming `where` and
    the field for anything missing, unknown or of the wrong kind."""
    if not isinstance(fields, dict):
        raise ValueError(f"{where}: a preset is a table of fields (got {type(fields).__name__})")
    unknown = sorted(k for k in fields if k not in (*FIELDS, "name"))
    if unknown:
        raise ValueError(f"{where}: unknown field {unknown[0]!r}; the fields are " + ", ".join(FIELDS))
    text = {}
    for key in _TEXT:
        value = fields.get(key, "delivery" if key == "kind" else "")
        if not isinstance(value, str):
            raise ValueError(f"{where}: {key} must be text (got {value!r})")
        text[key] = value
    if text["kind"] not in KINDS:
        raise ValueError(f"{where}: kind must be 'delivery' or 'platform' (got {text['kind']!r})")
    levels = {k: _number(fields[k], k, where) for k in _LEVELS if fields.get(k) is not None}
    if levels.get("tolerance_lu", 0.0) < 0.0:
        raise ValueError(f"{where}: tolerance_lu must not be negative (got {levels['tolerance_lu']})")
    if "tolerance_lu" in levels and "integrated_lufs" not in levels:
        raise ValueError(f"{where}: tolerance_lu needs integrated_lufs")
    if not levels.keys() - {"tolerance_lu"}:
        raise ValueError(f"{where}: the preset sets no limit (give integrated_lufs, "
                         "true_peak_max_dbtp, short_term_max_lufs or momentary_max_lufs)")
    if text["kind"] == "platform" and "integrated_lufs" not in levels:
        raise ValueError(f"{where}: a platform preset needs integrated_lufs (its playback level)")
    turns_up = fields.get("turns_up", False)
    if not isinstance(turns_up, bool):
        raise ValueError(f"{where}: turns_up must be true or false (got {turns_up!r})")
    return CheckPreset(name=name, title=text["title"] or name, kind=text["kind"],
                       source=text["source"], clause=text["clause"], turns_up=turns_up, **levels)


def load_check_preset(path: Union[str, os.PathLike[str]]) -> CheckPreset:
    """A preset from a JSON (.json) or TOML (.toml, Python 3.11 or later)
    file holding the fields of one preset (its name: the file's name without
    extension, unless it sets `name`). Raises OSError when it cannot be
    read and ValueError saying what is wrong with it."""
    where = os.fspath(path)
    suffix = Path(where).suffix.lower()
    if suffix not in (".json", ".toml"):
        raise ValueError(f"{where}: a preset file is .json or .toml")
    with open(where, "rb") as f:
        data = f.read()
    try:
        if suffix == ".toml":
            if sys.version_info < (3, 11):
                raise ValueError(f"{where}: TOML preset files need Python 3.11 or later; "
                                 "write the preset as JSON")
            import tomllib
            fields = tomllib.loads(data.decode("utf-8"))
        else:
            fields = json.loads(data)
    except UnicodeDecodeError:
        raise ValueError(f"{where}: not a text file") from None
    except ValueError as e:  # json.JSONDecodeError and tomllib.TOMLDecodeError
        if str(e).startswith(where):
            raise
        raise ValueError(f"{where}: not valid {suffix[1:].upper()}: {e}") from None
    name = fields.get("name", Path(where).stem) if isinstance(fields, dict) else "?"
    if not isinstance(name, str) or not name:
        raise ValueError(f"{where}: name must be text")
    return preset_from_fields(fields, name, where)
