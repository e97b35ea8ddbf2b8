"""Plants small faults a person could make, one at a time, and runs the fast
suite (ctest, then pytest -x) against each: a fault the suite misses survives.

  python tests/mutants/run.py [--root DIR] [--build DIR] [--only ID,ID] [--list]

Each mutant replaces one exact, unique text in one file; text that is not
there (the file has changed) is reported as an error, never as survived. The
file is restored after every mutant, also on Ctrl-C or a failed build.
"""

from __future__ import annotations

import argparse
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

# (id, file, old text, new text): each a fault someone could really write.
MUTANTS = [
    ("quote-escape", "src/core/text.cpp", r'''case '"': out += "\\\""''', r'''case '"': out += "\""'''),
    ("duration-width", "src/core/text.cpp", '"%02u:%02u:%06.3f"', '"%02u:%02u:%05.3f"'),
    ("hidden-name-ext", "src/core/text.cpp", "dot == std::string_view::npos || dot == 0 ||", "dot == std::string_view::npos ||"),
    ("dir-not-eisdir", "src/core/file.cpp", "if (S_ISDIR(st.st_mode)) return os_error(EISDIR);\n", ""),
    ("fmt-short-read", "src/audio/wav_reader.cpp",
     'if (body_avail < chunk_bytes) return Error("fmt chunk extends past the end of the file");', ""),
    ("chunk-pad-lost", "src/audio/wav_reader.cpp", "chunk_bytes + (chunk_bytes & 1u);", "chunk_bytes;"),
    ("write-full-scale", "src/audio/wav_writer.cpp", "std::ldexp(1.0, bits - 1) - 1.0;  //", "std::ldexp(1.0, bits - 1);  //"),
    ("write-pad-lost", "src/audio/wav_writer.cpp", "if (data_bytes_of(format_, samples_written_) & 1u) buffer_.push_back(0);", ""),
    ("fact-samples", "src/audio/wav_writer.cpp", "put32(out, sample_count / format.channels);", "put32(out, sample_count);"),
    ("rms-partial-window", "src/analysis/rms.cpp", "start < samples.size(); start += window", "start + window <= samples.size(); start += window"),
    ("peak-last-frame", "src/analysis/peak.cpp", "raise_to(m[0], std::fabs(y2));  // the last frame", ""),
    ("silence-not-floor", "src/analysis/loudness.cpp", "return v && std::isfinite(*v) ? *v", "return v ? *v"),
    ("block-count", "src/analysis/block_energies.h", "for (std::size_t i = 1; i <= n; ++i)", "for (std::size_t i = 1; i < n; ++i)"),
    ("right-as-surround", "src/analysis/meter.cpp", "ebur128_set_channel(raw, 1, EBUR128_RIGHT)", "ebur128_set_channel(raw, 1, EBUR128_LEFT_SURROUND)"),
    ("tp-factor-gate", "src/analysis/true_peak_filter.cpp", "if (rate_hz < 96000) return 4;", "if (rate_hz <= 96000) return 4;"),
    ("lra-low-percentile", "src/analysis/robust_analyzer.cpp", "std::floor(0.1 * static_cast<double>(k))", "std::ceil(0.1 * static_cast<double>(k))"),
    ("range-upper-edge", "src/normalize/normalizer.cpp", "if (current > hi) return hi - current;", "if (current > hi) return lo - current;"),
    ("no-clip-positive", "src/normalize/normalizer.cpp", "    if (y > 1.0) y = 1.0;\n", ""),
    ("rename-early", "src/normalize/processor.cpp",
     "  if (Status s = writer->finalize(); !s) return s;\n  if (::fsync(fd) != 0) return os_error(errno);\n",
     "  if (::rename(temp->path().c_str(), dest->path.c_str()) != 0) return os_error(errno);\n"
     "  if (Status s = writer->finalize(); !s) return s;\n  if (::fsync(fd) != 0) return os_error(errno);\n"),
    ("mode-not-kept", "src/normalize/processor.cpp", "(void)::fchmod(fd, dest->existing->st_mode & 07777);", ""),
    ("write-message", "src/normalize/normalize_file.cpp", '"Failed to write audio: "', '"Failed to write file: "'),
    ("xml-lt-unescaped", "src/report/output_formatter.cpp", "case '<': out += \"&lt;\"; break;", ""),
    ("csv-quote-undoubled", "src/report/output_formatter.cpp", "if (c == '\"') out += '\"';", ""),
    ("two-decimals", "src/report/output_formatter.cpp", "std::chars_format::fixed, 3)", "std::chars_format::fixed, 2)"),
    ("header-truncates", "src/report/output_formatter.cpp", "if (!check_path(path) || ::stat(path.c_str(), &st) == 0) return formatter;",
     "if (!check_path(path)) return formatter;"),
    ("link-cycle", "src/scan/file_scanner.cpp", "if (ancestors == nullptr || !ancestors->contains(*e.directory)) subdirs.push_back(&e);",
     "subdirs.push_back(&e);"),
    ("aiff-not-audio", "src/scan/file_scanner.cpp", 'return ext == "wav" || ext == "aif" || ext == "aiff";', 'return ext == "wav" || ext == "aif";'),
    ("missing-comma", "src/python/frame.cpp", "if (names.size() > 2) out += ',';", "if (names.size() >= 2) out += ',';"),
    ("normalize-exc-type", "src/python/entry_normalize.cpp", "NormalizeFileStep::Normalize ? PyExc_RuntimeError", "NormalizeFileStep::Write ? PyExc_RuntimeError"),
    ("cli-level-width", "python/sonorik_cli/main.py", 'f"{value:.2f}"', 'f"{value:.1f}"'),
    ("cli-failure-uncounted", "python/sonorik_cli/main.py", "            fail(path, outcome.error)\n            failed += 1\n",
     "            fail(path, outcome.error)\n"),
    ("cli-name-unescaped", "python/sonorik_cli/main.py", "    if text.isprintable():\n        return text\n", "    return text\n"),
    ("cli-report-overwrites", "python/sonorik_cli/main.py", 'with open(output, "ab") as f:', 'with open(output, "wb") as f:'),
    ("cli-jobs-zero", "python/sonorik_cli/main.py", "if value < 1:", "if value < 0:"),
]


def sh(cmd, **kw) -> subprocess.CompletedProcess:
    return subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def killed_by(root: Path, build: Path, env: dict) -> str | None:
    """The first suite that fails, or None when both pass."""
    try:
        if sh(["ctest", "--test-dir", build, "-j2", "--stop-on-failure", "--timeout", "300"]).returncode:
            return "ctest"
        if sh([sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider"], cwd=root, env=env,
              timeout=900).returncode:
            return "pytest"
    except subprocess.TimeoutExpired:
        return "timeout"
    return None


def main() -> int:
    here = Path(__file__).resolve().parents[2]
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", type=Path, default=here)
    ap.add_argument("--build", type=Path, default=here / "build/mutants")
    ap.add_argument("--only", default="")
    ap.add_argument("--list", action="store_true")
    a = ap.parse_args()
    if a.list:
        for m in MUTANTS:
            print(f"{m[0]:24} {m[1]}")
        return 0
    root, build = a.root.resolve(), a.build.resolve()
    chosen = [m for m in MUTANTS if not a.only or m[0] in a.only.split(",")]
    signal.signal(signal.SIGTERM, signal.default_int_handler)  # restore on kill too
    os.environ["PATH"] = f"{Path(sys.executable).parent}:{os.environ['PATH']}"  # the venv's cmake
    if sh(["cmake", "-S", root, "-B", build, "-G", "Ninja", "-DSONORIK_BUILD_TESTS=ON",
           f"-DPython_EXECUTABLE={sys.executable}"]).returncode:
        print("cannot configure", build)
        return 2
    if sh(["cmake", "--build", build, "-j2"]).returncode or killed_by(root, build, env := {
            **os.environ, "PYTHONPATH": f"{build}:{root / 'python'}", "SONORIK_PROBE_DIR": str(build)}):
        print("the unmutated tree does not build or pass its tests")
        return 2
    survived = errors = 0
    for ident, rel, old, new in chosen:
        path = root / rel
        original = path.read_bytes()
        start = time.monotonic()
        if original.count(old.encode()) != 1:
            outcome = f"ERROR: old text found {original.count(old.encode())} times"
            errors += 1
        else:
            try:
                path.write_bytes(original.replace(old.encode(), new.encode()))
                if sh(["cmake", "--build", build, "-j2"]).returncode:
                    outcome = "ERROR: does not build"
                    errors += 1
                else:
                    by = killed_by(root, build, env)
                    outcome = f"killed ({by})" if by else "SURVIVED"
                    survived += by is None
            finally:
                path.write_bytes(original)
        print(f"{ident:24} {rel:36} {outcome}  [{time.monotonic() - start:.0f} s]", flush=True)
    sh(["cmake", "--build", build, "-j2"])
    print(f"{len(chosen)} mutants: {survived} survived, {errors} errors")
    return 1 if survived or errors else 0


if __name__ == "__main__":
    sys.exit(main())
