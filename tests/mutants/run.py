"""Plants small faults a person could make, one at a time, and runs the fast suite (ctest, then pytest -x)
against each: `python tests/mutants/run.py [--root DIR] [--build DIR] [--only ID,ID]`. A mutant replaces one
exact, unique text; text that is not there is an error, never a survivor. The file is restored after every
mutant, also on Ctrl-C, SIGTERM or a failed build."""

import argparse
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

MUTANTS = {  # file: [(id, old text, new text)]
    "src/core/text.cpp": [
        ("quote-escape", r'''case '"':
        out += "\\\""''', r'''case '"':
        out += "\""'''),
        ("duration-width", '"%02u:%02u:%06.3f"', '"%02u:%02u:%05.3f"'),
        ("hidden-name-ext", "npos || dot == 0 ||", "npos ||"),
        ("os-errno-lost", "return Error::with_os_errno(os_error_text(code), code);", "return Error(os_error_text(code));")],
    "src/core/file.cpp": [("dir-not-eisdir", "if (S_ISDIR(st.st_mode)) return os_error(EISDIR);\n", "")],
    "src/compat/riff_walker.cpp": [
        ("fmt-short-read", "if (fmt->body.size() < fmt->declared_bytes) {", "if (false) {"),
        ("chunk-pad-lost", "declared + (declared & 1u);", "declared;")],
    "src/compat/sample_converter.cpp": [("u8-off-centre", "from_u8(b - 128);", "from_u8(b - 127);")],
    "src/compat/wav_writer.cpp": [
        ("write-full-scale", "std::ldexp(1.0, bits - 1) - 1.0;  //", "std::ldexp(1.0, bits - 1);  //"),
        ("write-pad-lost", "if (data_bytes_of(format_, samples_written_) & 1u) buffer_", "if (false) buffer_"),
        ("fact-samples", "put32(out, sample_count / format.channels);", "put32(out, sample_count);")],
    "src/compat/rms.cpp": [("rms-partial-window", "  if (window_fill_ == 0) return max_;\n", "  return max_;\n")],
    "src/compat/peak.cpp": [("peak-last-frame", "raise_to(last[0], std::fabs(y2));  // the last frame", "")],
    "src/compat/loudness.cpp": [("silence-not-floor", "return v && std::isfinite(*v) ? *v", "return v ? *v")],
    "src/analysis/block_energies.h": [("block-count", "i = 1; i <= n; ++i", "i = 1; i < n; ++i")],
    "src/analysis/meter.cpp": [("right-as-surround", "(raw, 1, EBUR128_RIGHT)", "(raw, 1, EBUR128_LEFT_SURROUND)")],
    "src/analysis/true_peak_filter.cpp": [
        ("tp-factor-gate", "if (rate_hz < 96000) return 4;", "if (rate_hz <= 96000) return 4;"),
        ("tp-bound-no-gain", "f.output_bound_ = std::max(f.output_bound_, sum * kBoundMargin);", "f.output_bound_ = 1.0;"),
        ("tp-bound-no-reach", "largest(x + from - h, count + h)", "largest(x + from, count)"),
        ("tp-odd-lanes", "(a, b, 0, 2, 4, 6, 8, 10, 12, 14)", "(a, b, 1, 3, 5, 7, 9, 11, 13, 15)")],
    "src/analysis/k_meter.cpp": [
        ("range-wait-unfinished", "    add_ring(position_, ring_blocks_ * b, lane_sums);\n    energies[", "    energies["),
        ("channel-back-3-blocks", "(position_ + ring_frames - kGatingBlocks * block_frames_) % ring_frames;\n      filter_",
         "(position_ + ring_frames - 3 * block_frames_) % ring_frames;\n      filter_")],
    "src/analysis/engine.cpp": [("block-per-feed", "if (grid_done_ + filled_ == block_) guarded", "if (filled_ > 0) guarded")],
    "src/compat/robust_analyzer.cpp": [("lra-low-percentile", "std::floor(0.1 * static_cast", "std::ceil(0.1 * static_cast")],
    "src/compat/normalizer.cpp": [
        ("range-upper-edge", "if (current > hi) return hi - current;", "if (current > hi) return lo - current;"),
        ("no-clip-positive", "    if (y > 1.0) y = 1.0;\n", "")],
    "src/compat/processor.cpp": [
        ("rename-early", "  if (Status s = writer_.finalize(); !s) return s;\n",
         "  if (Status s = temp_.commit(); !s) return s;\n"
         "  if (Status s = writer_.finalize(); !s) return s;\n")],
    "src/core/replace_file.cpp": [("mode-not-kept", "(void)::fchmod(fd, dest->existing->st_mode & 07777);", "")],
    "src/compat/normalize_file.cpp": [("write-message", '"Failed to write audio: "', '"Failed to write file: "')],
    "src/compat/output_formatter.cpp": [
        ("xml-lt-unescaped", "      case '<':\n        out += \"&lt;\";\n        break;\n", ""),
        ("csv-quote-undoubled", "if (c == '\"') out += '\"';", ""),
        ("two-decimals", "std::chars_format::fixed, 3)", "std::chars_format::fixed, 2)"),
        ("header-truncates", "if (!check_path(path) || ::stat(path.c_str(), &st) == 0)", "if (!check_path(path))")],
    "src/scan/file_scanner.cpp": [
        ("link-cycle", "if (ancestors == nullptr || !ancestors->contains(*e.directory)) subdirs", "subdirs")],
    "src/python/errors.cpp": [("errno-unused", "code = error.os_errno()) {", "code = std::optional<int>()) {")],
    "src/python/meter/files.cpp": [
        ("found-as-utf8", "PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()))",
         'PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "replace")')],
    "src/compat/extensions.h": [
        ("aiff-not-audio", 'lower_ext == "aif" || lower_ext == "aiff"', 'lower_ext == "aif"')],
    "src/python/compat/frame.cpp": [
        ("missing-comma", "if (names.size() > 2) out += ',';", "if (names.size() >= 2) out += ',';")],
    "src/python/compat/entry_normalize.cpp": [("normalize-exc-type", "step == normalize::NormalizeFileStep::Normalize ?",
                                        "step == normalize::NormalizeFileStep::Write ?")],
    "python/sonorik_cli/terminal.py": [
        ("cli-level-width", 'f"{value:.2f}"', 'f"{value:.1f}"'),
        ("cli-name-unescaped", "    if text.isprintable():\n        return text\n", "    return text\n")],
    "python/sonorik_cli/files.py": [
        ("cli-failure-uncounted", "    terminal.failure(e, path)\n    found.failed += 1\n",
         "    terminal.failure(e, path)\n"),
        ("cli-missing-path-uncounted", "terminal.reason(e, path))\n            found.failed += 1\n",
         "terminal.reason(e, path))\n")],
    "python/sonorik_cli/reports.py": [
        ("cli-report-overwrites", "        if append and old:\n", "        if False:\n")],
    "python/sonorik_cli/jobs.py": [("cli-jobs-zero", "if value < 1:", "if value < 0:")],
}


def quiet(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw).returncode


def killed_by(root, build, env):  # the first suite that fails, or None
    try:
        if quiet(["ctest", "--test-dir", build, "-j2", "--stop-on-failure", "--timeout", "300"]):
            return "ctest"
        if quiet([sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider"], cwd=root, env=env, timeout=900):
            return "pytest"
    except subprocess.TimeoutExpired:
        return "timeout"


def main():
    here = Path(__file__).resolve().parents[2]
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", type=Path, default=here)
    ap.add_argument("--build", type=Path, default=here / "build/mutants")
    ap.add_argument("--only", default="")
    a = ap.parse_args()
    root, build = a.root.resolve(), a.build.resolve()
    signal.signal(signal.SIGTERM, signal.default_int_handler)  # restore on kill too
    os.environ["PATH"] = f"{Path(sys.executable).parent}:{os.environ['PATH']}"  # the venv's cmake
    env = {**os.environ, "PYTHONPATH": f"{build}:{root / 'python'}", "SONORIK_PROBE_DIR": str(build)}
    configure = ["cmake", "-S", root, "-B", build, "-G", "Ninja", "-DSONORIK_BUILD_TESTS=ON",
                 f"-DPython_EXECUTABLE={sys.executable}"]
    if quiet(configure) or quiet(["cmake", "--build", build, "-j2"]) or killed_by(root, build, env):
        print("the unmutated tree does not build or pass its tests")
        return 2
    chosen = [(i, f, o, n) for f, rows in MUTANTS.items() for i, o, n in rows if not a.only or i in a.only.split(",")]
    survived = errors = 0
    for ident, rel, old, new in chosen:
        path, start = root / rel, time.monotonic()
        original = path.read_bytes()
        if original.count(old.encode()) != 1:
            outcome, errors = f"ERROR: old text found {original.count(old.encode())} times", errors + 1
        else:
            try:
                path.write_bytes(original.replace(old.encode(), new.encode()))
                if quiet(["cmake", "--build", build, "-j2"]):
                    outcome, errors = "ERROR: does not build", errors + 1
                else:
                    by = killed_by(root, build, env)
                    outcome, survived = (f"killed ({by})", survived) if by else ("SURVIVED", survived + 1)
            finally:
                path.write_bytes(original)
        print(f"{ident:22} {rel:34} {outcome}  [{time.monotonic() - start:.0f} s]", flush=True)
    quiet(["cmake", "--build", build, "-j2"])
    print(f"{len(chosen)} mutants: {survived} survived, {errors} errors")
    return 1 if survived or errors else 0


if __name__ == "__main__":
    sys.exit(main())
