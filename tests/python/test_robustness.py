"""Repeated, concurrent and constrained use: no leaks, threads agree with one thread, subinterpreters refused,
MemoryError when the address space runs out, damaged files never crash."""

import gc
import os
import subprocess
import sys
import textwrap
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import sonorik
import wavgen

from test_module_frame import ERRORS, make_error_files
from wavgen import INFO_FIELDS, MEASURES

FLAGS = [True] * 7
# AddressSanitizer's quarantine hides leaks from the process size; that run checks the rest.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def record(*objects):
    return [getattr(o, a) for o in objects for a in INFO_FIELDS + MEASURES if hasattr(o, a)]


class LyingSequence(list):  # claims far more items than it yields
    __len__ = lambda self: 2**40  # noqa: E731


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("robust")
    ok = wavgen.write_wav(d / "tone.wav", wavgen.sine(1.0, 8000, 2, -18.0), 8000, 2)
    long = wavgen.write_wav(d / "noise.wav", wavgen.noise(6.0, 8000, 1, -25.0), 8000, 1)
    bad = d / "bad.wav"
    bad.write_bytes(wavgen.wav_bytes(bytes(64), 2, 8000, 24, wavgen.EXTENSIBLE)[:50])  # cut in fmt
    return {"ok": str(ok), "long": str(long), "bad": str(bad),
            "missing": str(d / "missing.wav"), "dir": str(d), "out": str(d / "out"),
            "unwritable": str(d / "no" / "such" / "dir" / "x.wav"),
            "errors": make_error_files(tmp_path_factory.mktemp("errors"))}


def every_entry_point(f):
    """Every function once per kind of success and failure; returns the number of calls."""
    expected = (OSError, RuntimeError, TypeError, ValueError)
    calls = [lambda c=c: c(lambda name: f"{f['errors']}/{name}") for c, _, _ in ERRORS] + [
        lambda: sonorik.analyze_audio(f["ok"], *FLAGS),
        lambda: sonorik.analyze_audio_all(f["long"]),
        lambda: sonorik.get_audio_info_py(f["ok"]),
        lambda: sonorik.normalize_true_peak(f["ok"], -3.0, f["out"] + ".wav"),
        lambda: sonorik.normalize_integrated_loudness(f["ok"], -23, f["out"] + ".wav", -30.0),
        lambda: sonorik.normalize_short_term_loudness(f["ok"], -20.0, f["unwritable"]),
        lambda: sonorik.export_to_csv([f["ok"], f["bad"]], f["out"] + ".csv", *FLAGS),
        lambda: sonorik.export_to_tsv((f["ok"],), f["out"] + ".tsv", *FLAGS),
        lambda: sonorik.export_to_xml([f["missing"]], f["out"] + ".xml", *FLAGS),
        lambda: sonorik.export_to_json([f["ok"]], f["unwritable"] + ".json", *FLAGS),
        lambda: sonorik.batch_analyze([f["ok"], f["bad"], f["missing"]], *FLAGS),
        lambda: sonorik.batch_analyze(LyingSequence([f["ok"], f["missing"]]), *FLAGS),
        lambda: sonorik.batch_analyze_directory_py(f["dir"], *FLAGS),
        lambda: sonorik.find_audio_files(f["dir"]),
        lambda: sonorik.PyAudioInfo(),
        lambda: sonorik.PyAnalysisResults(),
    ]
    for call in calls:
        try:
            result = call()
        except expected:
            continue
        for item in result if isinstance(result, (tuple, list)) else [result]:
            repr(item)  # and every attribute of what came back
            [getattr(item, a, None) for a in INFO_FIELDS + MEASURES]
    for ext in (".csv", ".tsv", ".xml", ".json"):  # reports are appended to: start afresh
        Path(f["out"] + ext).unlink(missing_ok=True)
    return len(calls)


def resident_bytes():
    return int(Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_repeated_calls_do_not_grow_memory_or_references(files, capfd):
    rounds = 40 if SANITIZED else 200
    for _ in range(20):  # warm-up: worker pool, buffer pool, type objects, caches
        every_entry_point(files)
    gc.collect()
    rss, blocks = resident_bytes(), sys.getallocatedblocks()
    refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    # The arguments themselves must not gain references either.
    path, flags = files["ok"], list(FLAGS)
    held = (sys.getrefcount(path), sys.getrefcount(flags))

    for _ in range(rounds):
        calls = every_entry_point(files)
        sonorik.batch_analyze([path, path], *flags)
    gc.collect()

    assert (sys.getrefcount(path), sys.getrefcount(flags)) == held
    assert [e[0] for e in sonorik.batch_analyze(LyingSequence([path]), *flags)] == [path]  # a length is a hint
    # A leak of one object in every tenth call would exceed this (caches move a few dozen blocks).
    bound = rounds * calls // 10
    assert sys.getallocatedblocks() - blocks < bound
    if refs is not None:
        assert sys.gettotalrefcount() - refs < bound
    if not SANITIZED:
        # A lost 1 s stereo sample list would be 128 KiB per call.
        assert resident_bytes() - rss < 8 * 2**20, f"{rounds * calls} calls"
    capfd.readouterr()


def test_threads_get_the_results_of_sequential_calls(files, tmp_path, capfd):
    # Over 50 entries, some of them directories of 60: the scanner runs on the worker pool, nested.
    rels = [f"{i:02d}/{j:02d}.{ext}" if i % 10 == 0 else f"{i:02d}.{ext}" for i in range(60)
            for j in range(60 if i % 10 == 0 else 1) for ext in ("wav", "txt")]
    for rel in rels:
        (tmp_path / "many" / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "many" / rel).write_bytes(b"")
    many = tmp_path / "many"
    paths = [files["ok"], files["long"], files["bad"], files["missing"]]

    def work():
        out = []
        for p in paths:
            try:
                out.append(record(*sonorik.analyze_audio(p, *FLAGS)))
            except OSError as e:
                out.append(str(e))
        out.append(record(sonorik.get_audio_info_py(files["ok"])))
        out.append([(p, record(i, r)) for p, i, r in sonorik.batch_analyze(paths, *FLAGS)])
        out.append(sonorik.find_audio_files(str(many)))
        return out

    expected = work()
    assert expected[-1] == [str(many / r) for r in sorted(rels, key=lambda r: r.split("/")) if r.endswith(".wav")]
    seq = capfd.readouterr()
    expected_out, expected_err = seq.out.splitlines(), seq.err.splitlines()
    assert expected_out and expected_err  # notices and warnings are part of the check

    threads_n, rounds = 4, 3
    barrier = threading.Barrier(threads_n)

    def worker(_):
        barrier.wait()
        return [work() for _ in range(rounds)]

    with ThreadPoolExecutor(threads_n) as pool:
        got = [g for runs in pool.map(worker, range(threads_n)) for g in runs]
    assert got == [expected] * (threads_n * rounds)

    par = capfd.readouterr()  # whole lines: each thread's are the sequential run's, none torn
    n = threads_n * rounds
    assert sorted(par.out.splitlines()) == sorted(expected_out * n)
    assert sorted(par.err.splitlines()) == sorted(expected_err * n)


SUBINTERPRETER_SCRIPT = textwrap.dedent("""
    import os, sys, sonorik
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    try:  # share the lock: the module's own check runs
        interp, mode = interpreters.create(isolated=False), "shared"
    except TypeError:
        interp, mode = interpreters.create(), "isolated" if sys.version_info >= (3, 12) else "shared"
    report = sys.argv[1]
    interpreters.run_string(interp, f'''
    try:
        import sonorik
    except ImportError as e:
        open({report!r}, "w").write("ImportError: " + str(e))
    else:
        open({report!r}, "w").write("imported")
    ''')
    interpreters.destroy(interp)
    # The first interpreter keeps its module.
    print(mode, sonorik.find_audio_files(os.path.dirname(report)) == [])
""")


def test_subinterpreter_import_fails_with_import_error(tmp_path):
    try:
        import _interpreters  # noqa: F401
    except ImportError:
        pytest.importorskip("_xxsubinterpreters")
    report = tmp_path / "report.txt"
    proc = subprocess.run([sys.executable, "-c", SUBINTERPRETER_SCRIPT, str(report)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    mode, kept = proc.stdout.split()
    text = report.read_text()
    assert kept == "True" and text.startswith("ImportError: ")
    assert "does not support" in text and "subinterpreters" in text
    if mode == "shared":
        assert text == ("ImportError: sonorik does not support subinterpreters: it can only be "
                        "imported in the interpreter that first imported it")


RLIMIT_SCRIPT = textwrap.dedent("""
    import resource, sys
    import sonorik
    big, small, long = sys.argv[1], sys.argv[2], sys.argv[4]
    # Threads and caches exist before the limit.
    sonorik.get_audio_info_py(small)
    sonorik.analyze_audio(long, True, True, True, True, True, True, True)
    vm = next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize:"))
    limit = vm + 2 * int(sys.argv[3])  # room for the mapping, not for the samples (4x the file)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    # The header alone, and a normalisation streamed through one block, fit; the batch loop loads whole.
    for call in [lambda: sonorik.get_audio_info_py(big)] * 2 + [
            lambda: sonorik.normalize_rms_max(big, -20, big + ".o.wav"),
            lambda: sonorik.batch_analyze([big], True, True, True, True, True, True, True)]:
        try:
            call()
            print("loaded")
        except MemoryError:
            print("MemoryError")
    # The interpreter and the module go on working.
    print(sonorik.get_audio_info_py(small).total_samples)
""")


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves the address space itself")
def test_loading_beyond_the_address_space_limit_raises_memory_error(files, tmp_path):
    size = 96 * 2**20
    big = tmp_path / "big.wav"
    with open(big, "wb") as f:
        f.write(wavgen.wav_bytes(b"", 2, 48000, 16, declared_data_size=size))
        f.truncate(44 + size)  # sparse: silence
    proc = subprocess.run([sys.executable, "-c", RLIMIT_SCRIPT, str(big), files["ok"], str(size),
                           files["long"]],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["loaded"] * 3 + ["MemoryError", "16000"]
    # The input is untouched; silence stays silence whatever the gain.
    assert sorted(os.listdir(tmp_path)) == ["big.wav", "big.wav.o.wav"] and big.stat().st_size == 44 + size
    assert (tmp_path / "big.wav.o.wav").stat().st_size == 44 + size
    with open(big, "rb") as f:
        assert f.read(44) == wavgen.wav_bytes(b"", 2, 48000, 16, declared_data_size=size)


def test_malformed_files_never_crash(tmp_path):  # in a child, which `make test-memcheck` runs under valgrind
    for i, body in enumerate(wavgen.malformed_corpus(300, state=11)):
        (tmp_path / f"m{i:03}.wav").write_bytes(body)
    code = f"""
import glob, sonorik
ok = err = 0
for p in sorted(glob.glob({str(tmp_path)!r} + "/m*.wav")):
    for call in (sonorik.get_audio_info_py, sonorik.analyze_audio_all):
        try:
            call(p); ok += 1
        except (OSError, RuntimeError):
            err += 1
print(ok, err)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr[-2000:]
    ok, err = map(int, out.stdout.split()[-2:])
    assert ok + err == 600 and ok > 0 and err > 0
