"""Delivery checks: verdicts just inside and just outside every limit of every
shipped preset, exit statuses, preset files, the JUnit report read by a
parser, and the HTML QC report driven in headless Chromium."""

import base64
import contextlib
import fcntl
import json
import math
import os
import select
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import sonorik_meter
import wavgen

RATE = 48000
CLI = [sys.executable, "-m", "sonorik_cli", "check"]
EDGE = 0.02  # how far inside or outside a limit the generated files lie
PRESETS = sonorik_meter.check_presets()


def sine(seconds, amplitude):
    """Stereo 997 Hz: its loudness in LUFS is its peak level in dBFS."""
    x = amplitude * np.sin(2 * np.pi * 997 * np.arange(int(seconds * RATE)) / RATE)
    return np.stack([x, x], axis=1).astype(np.float32)


def scaled(x, attribute, want, part=slice(None)):
    """`x` with x[part] scaled so that the measure `attribute` reads `want`
    (exact when the measure moves with the gain of that part alone)."""
    for _ in range(3):
        got = getattr(sonorik_meter.measure(x, RATE), attribute)
        x = x.copy()
        x[part] *= np.float32(10 ** ((want - got) / 20))
    return x


def signal(criterion, level, target):
    """A signal whose `criterion` reads `level` with the integrated loudness
    near `target`."""
    if criterion == "integrated":
        return scaled(sine(10, 0.1), "integrated_lufs", level)
    if criterion in ("true_peak", "true_peak_after_gain"):
        # A sine at the target with one full-scale sample: scaling the whole
        # moves loudness and true peak alike, so the crest stays.
        x = sine(10, 10 ** ((target - level) / 20))
        x[RATE * 5] = 1.0
        return scaled(x, "true_peak_dbtp", level)
    loud = {"short_term_max": 4.0, "momentary_max": 0.6}[criterion]
    x = np.concatenate([sine(30, 10 ** ((target - 1.5) / 20)), sine(loud, 10 ** (level / 20))])
    return scaled(x, criterion + "_lufs", level, slice(30 * RATE, None))


def cases():
    """(preset, criterion, level, passes, integrated loudness): each limit of
    each shipped preset approached from both sides."""
    out = []
    for name, p in PRESETS.items():
        target = p.integrated_lufs
        if p.kind == "platform":
            loudness = -20.0  # quieter than every platform's level
            gain = target - loudness if p.turns_up else 0.0
            out += [(name, "true_peak_after_gain", p.true_peak_max_dbtp - gain + sign * EDGE,
                     sign < 0, loudness) for sign in (-1, 1)]
            continue
        for edge in (target - p.tolerance_lu, target + p.tolerance_lu):
            inward = 1 if edge < target else -1
            out += [(name, "integrated", edge + inward * EDGE, True, target),
                    (name, "integrated", edge - inward * EDGE, False, target)]
        for criterion, limit in (("true_peak", p.true_peak_max_dbtp),
                                 ("short_term_max", p.short_term_max_lufs),
                                 ("momentary_max", p.momentary_max_lufs)):
            if limit is not None:
                out += [(name, criterion, limit + sign * EDGE, sign < 0, target) for sign in (-1, 1)]
    return out


def run(*args, cwd=None):
    return subprocess.run([*CLI, *map(str, args)], capture_output=True, text=True, cwd=cwd)


@pytest.fixture(scope="module")
def edge_files(tmp_path_factory):
    """One directory per preset holding a file per case, named after it."""
    root = tmp_path_factory.mktemp("edges")
    expected = {}
    for name, criterion, level, passes, loudness in cases():
        x = signal(criterion, level, loudness)
        (root / name).mkdir(exist_ok=True)
        path = root / name / f"{criterion}_{level:+.2f}.wav"
        wavgen.write_wav(path, x.reshape(-1), RATE, 2, 32, "float")
        expected[str(path)] = (criterion, passes)
    return root, expected


@pytest.mark.parametrize("preset", list(PRESETS))
def test_files_at_each_limit_get_the_right_verdicts_and_status(edge_files, preset):
    root, expected = edge_files
    r = run("--preset", preset, "--format", "json", root / preset)
    records = [json.loads(line) for line in r.stdout.splitlines()]
    assert records and r.returncode == 1, r.stderr
    for rec in records:
        criterion, passes = expected[rec["file"]]
        assert rec["verdict"] == ("PASS" if passes else "FAIL"), rec
        assert (rec["failed"] or "") == ("" if passes else criterion), rec
        if not passes:
            assert f"missed by {EDGE:.2f}" in rec["reasons"], rec
    passing = [rec["file"] for rec in records if rec["verdict"] == "PASS"]
    assert run("--preset", preset, *passing).returncode == 0


def test_check_takes_a_measurement_or_a_file_and_any_form_of_preset(tmp_path):
    path = wavgen.write_wav(tmp_path / "a.wav", sine(5, 10 ** (-20 / 20)).reshape(-1), RATE, 2, 32, "float")
    by_path = sonorik_meter.check(path, "ebu-r128")
    fields = {k: v for k, v in vars(PRESETS["ebu-r128"]).items()}
    by_measurement = sonorik_meter.check(sonorik_meter.measure(path), fields)
    assert by_path.file == str(path) and by_measurement.file is None
    for v in (by_path, by_measurement):
        (c,) = v.failures
        assert (c.name, c.unit, c.low, c.high, c.miss_unit) == ("integrated", "LUFS", -23.5, -22.5, "LU")
        assert c.miss == pytest.approx(2.5, abs=0.01) and not v.passed
    array = sonorik_meter.check(sine(1, 10 ** (-23 / 20)), "ebu-r128-s1", rate=RATE)
    assert array.file is None and [c.name for c in array.criteria] == [
        "integrated", "true_peak", "short_term_max"]
    (short,) = array.failures  # too short for a short-term reading: not a pass
    assert short.measured is None and short.miss is None and "shorter than 3 s" in short.note
    spotify = sonorik_meter.check(by_path.measurement, "spotify")
    assert spotify.passed and spotify.platform_gain_db == pytest.approx(6.0, abs=0.01)
    with pytest.raises(ValueError, match="no preset named 'ebu'"):
        sonorik_meter.check(path, "ebu")


@pytest.mark.parametrize("name, text, message", [
    ("p.json", '{"integrated_lufs": -23, "tolerance_lu": 1, "true_peak_max_dbtp": -2}', None),
    ("p.toml", 'title = "ours"\nintegrated_lufs = -23.0\ntolerance_lu = 1.0\ntrue_peak_max_dbtp = -2.0\n', None),
    ("p.json", '{"integrated_lufs": -23, "tolerence_lu": 1}', "unknown field 'tolerence_lu'"),
    ("p.json", '{"integrated_lufs": "-23"}', "integrated_lufs must be a finite number (got '-23')"),
    ("p.json", '{"integrated_lufs": -23, "tolerance_lu": -1}', "tolerance_lu must not be negative"),
    ("p.json", '{"kind": "platform", "true_peak_max_dbtp": -1}', "a platform preset needs integrated_lufs"),
    ("p.json", '{"title": "nothing"}', "the preset sets no limit"),
    ("p.json", '[1, 2]', "a preset is a table of fields"),
    ("p.json", '{"integrated_lufs": -23,', "not valid JSON"),
    ("p.toml", 'integrated_lufs = ', "not valid TOML"),
    ("p.yaml", 'integrated_lufs: -23', "a preset file is .json or .toml"),
])
def test_preset_files(tmp_path, name, text, message):
    (tmp_path / name).write_text(text)
    wavgen.write_wav(tmp_path / "a.wav", sine(5, 10 ** (-23 / 20)).reshape(-1), RATE, 2, 32, "float")
    r = run("--preset-file", tmp_path / name, tmp_path / "a.wav")
    if message is None:
        assert r.returncode == 0 and r.stdout.startswith("PASS"), r.stderr
    else:
        assert r.returncode == 2 and r.stdout == ""
        assert r.stderr.startswith(f"sonorik: {tmp_path / name}: ") and message in r.stderr, r.stderr


@pytest.mark.parametrize("args, message", [
    (["--list-presets"], None),
    (["a.wav"], "give --preset NAME or --preset-file FILE"),
    (["--preset", "ebu", "a.wav"], "no preset named 'ebu'"),
    (["--preset", "ebu-r128", "--fix", "a.wav"], "--fix and -o DIR go together"),
    (["--preset", "ebu-r128", "--report", "r.txt", "a.wav"], "--report FILE needs --format"),
])
def test_listing_and_usage(tmp_path, args, message):
    r = run(*args, cwd=tmp_path)
    if message is None:
        assert r.returncode == 0
        for name, p in PRESETS.items():
            assert f"{name}  ({p.kind})" in r.stdout and p.source in r.stdout
    else:
        assert (r.returncode, r.stdout) == (2, "") and message in r.stderr, r.stderr
    assert list(tmp_path.iterdir()) == []


@pytest.fixture(scope="module")
def mixed(tmp_path_factory):
    """20 files: passing, failing on loudness or true peak, and unreadable,
    some with names that are markup."""
    root = tmp_path_factory.mktemp("mixed")
    levels = [-23.0, -20.0, -26.0, -23.2]
    names = ["<img src=x onerror=alert(1)>", "a&b \"q\" 'r'", "plain", "<td><script>alert(2)<\\script>"]
    for i in range(20):
        name = f"{i:02d}_{names[i % 4]}.wav"
        if i % 7 == 6:
            (root / name).write_bytes(b"RIFF\x10\x00\x00\x00WAVEfmt damaged")
            continue
        x = scaled(sine(6 + i % 3, 0.05), "integrated_lufs", levels[i % 4])
        if i % 5 == 4:
            x[RATE] = 0.99  # true peak over -1 dBTP
        wavgen.write_wav(root / name, x.reshape(-1), RATE, 2, 32, "float")
    return root


def test_junit_report_has_the_structure_ci_systems_read(mixed, tmp_path):
    out = tmp_path / "junit.xml"
    r = run("--preset", "ebu-r128", "--format", "junit", "--report", out, mixed)
    assert r.returncode == 2 and r.stdout == ""
    records = {j["file"]: j for j in map(json.loads, run("--preset", "ebu-r128", "--format", "json",
                                                         mixed).stdout.splitlines())}
    root = ET.parse(out).getroot()
    (suite,) = root.findall("testsuite")
    cases = suite.findall("testcase")
    assert [c.get("name") for c in cases] == sorted(records)
    for element in (root, suite):
        assert {k: int(element.get(k)) for k in ("tests", "failures", "errors")} == {
            "tests": 20, "failures": sum(j["verdict"] == "FAIL" for j in records.values()),
            "errors": sum(j["verdict"] == "ERROR" for j in records.values())}
        float(element.get("time"))
    for case in cases:
        j = records[case.get("name")]
        assert case.get("classname") == "sonorik.check.ebu-r128"
        kinds = [e.tag for e in case if e.tag in ("failure", "error")]
        assert kinds == {"PASS": [], "FAIL": ["failure"], "ERROR": ["error"]}[j["verdict"]]
        for e in case.findall("failure"):
            assert e.get("message") == j["reasons"].split("; ")[0]
    # A file that is not a JUnit report is never replaced.
    (tmp_path / "notes.xml").write_text("<notes/>")
    r = run("--preset", "ebu-r128", "--format", "junit", "--report", tmp_path / "notes.xml", mixed)
    assert r.returncode == 2 and (tmp_path / "notes.xml").read_text() == "<notes/>"


def test_fix_writes_passing_copies_and_leaves_the_inputs(mixed, tmp_path):
    before = {p.name: p.read_bytes() for p in mixed.iterdir()}
    r = run("--preset", "ebu-r128", "--fix", "-o", tmp_path / "fixed", "--format", "json", mixed)
    records = [json.loads(line) for line in r.stdout.splitlines()]
    assert r.returncode == 2  # the damaged files
    assert {p.name: p.read_bytes() for p in mixed.iterdir()} == before
    for rec in records:
        fixed = tmp_path / "fixed" / os.path.basename(rec["file"])
        assert fixed.exists() == (rec["verdict"] == "FAIL"), rec
        if fixed.exists():
            assert rec["fixed_file"] == str(fixed)
            again = json.loads(run("--preset", "ebu-r128", "--format", "json", fixed).stdout)
            assert again["verdict"] == rec["fixed_verdict"]
            # One gain: a loudness miss is fixed; a peak is brought under the
            # ceiling, at the cost of loudness when the crest is too high.
            assert again["failed"] in ((None,) if rec["failed"] == "integrated" else (None, "integrated"))
            # ffprobe reads what was written
            probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=channels",
                                    "-of", "csv=p=0", fixed], capture_output=True, text=True)
            assert probe.stdout.strip() == "2", probe.stderr


CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


class Chromium:
    """Headless Chromium driven over its DevTools protocol on a pipe (fds 3
    and 4 of the browser), so no extra library is needed."""

    def __init__(self, profile):
        to_browser, self.commands = os.pipe()
        self.replies, from_browser = os.pipe()
        high = [fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10) for fd in (to_browser, from_browser)]
        os.close(to_browser)
        os.close(from_browser)

        def fds():
            os.dup2(high[0], 3)
            os.dup2(high[1], 4)

        self.process = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             "--no-first-run", f"--user-data-dir={profile}", "--window-size=1200,1000"],
            preexec_fn=fds, close_fds=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True,  # its helper processes go with it in close()
            # The browser is not ours to instrument: a sanitizer run's preload stays out of it.
            env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
        for fd in high:
            os.close(fd)
        self.buffer, self.events, self.next_id, self.session = b"", [], 0, None

    def close(self):
        os.close(self.commands)
        try:
            self.process.wait(timeout=30)
        finally:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.process.pid, 9)  # SIGKILL
            self.process.wait()
            os.close(self.replies)

    def _message(self):
        while b"\0" not in self.buffer:
            ready, _, _ = select.select([self.replies], [], [], 60)
            chunk = os.read(self.replies, 1 << 20) if ready else b""
            assert chunk, "Chromium stopped answering"
            self.buffer += chunk
        text, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(text)

    def send(self, method, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if self.session and not method.startswith("Target."):
            message["sessionId"] = self.session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        while True:
            reply = self._message()
            if reply.get("id") == self.next_id:
                assert "error" not in reply, reply
                return reply["result"]
            self.events.append(reply)

    def wait_for(self, method):
        while not any(e.get("method") == method for e in self.events):
            self.events.append(self._message())

    def evaluate(self, expression):
        result = self.send("Runtime.evaluate", expression=expression, returnByValue=True)
        assert "exceptionDetails" not in result, result
        return result["result"].get("value")


@pytest.mark.skipif(CHROMIUM is None, reason="Chromium is not installed (CI installs it)")
def test_html_report_in_a_real_browser(mixed, tmp_path):
    report = tmp_path / "qc.html"
    r = run("--preset", "ebu-r128", "--html", report, "--format", "json", mixed)
    records = [json.loads(line) for line in r.stdout.splitlines()]
    assert r.returncode == 2 and len(records) == 20
    browser = Chromium(tmp_path / "profile")
    try:
        target = browser.send("Target.createTarget", url="about:blank")["targetId"]
        browser.session = browser.send("Target.attachToTarget", targetId=target,
                                       flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            browser.send(f"{domain}.enable")
        browser.send("Page.navigate", url=report.as_uri())
        browser.wait_for("Page.loadEventFired")
        visible = "window.sonorikReport.visibleFiles()"
        shown = browser.evaluate(visible)
        verdicts = {j["file"]: j["verdict"] for j in records}
        assert shown == sorted(verdicts, key=lambda f: {"FAIL": 0, "ERROR": 1, "PASS": 2}[verdicts[f]])
        # Names that are markup stay text: no element came from them.
        assert browser.evaluate("[document.images.length, document.scripts.length]") == [0, 1]
        badges = browser.evaluate("[...document.querySelectorAll('#files tbody tr')]"
                                  ".map(r => r.querySelector('.badge').innerText)")
        assert badges == [verdicts[f] for f in shown]
        for clicks, reverse in ((1, False), (1, True)):
            browser.evaluate("document.querySelector('th[data-key=integrated] button').click()")
            measured = [j for j in records if j["integrated_lufs"] is not None]
            order = sorted(measured, key=lambda j: j["integrated_lufs"], reverse=reverse)
            assert browser.evaluate(visible)[:len(order)] == [j["file"] for j in order]
        browser.evaluate("document.getElementById('only-failures').click()")
        assert sorted(browser.evaluate(visible)) == sorted(f for f, v in verdicts.items() if v != "PASS")
        assert browser.evaluate("document.querySelectorAll('section.file:not([hidden]) svg').length") \
            == sum(v == "FAIL" for v in verdicts.values())
        shot = base64.b64decode(browser.send("Page.captureScreenshot", format="png")["data"])
        (tmp_path / "qc.png").write_bytes(shot)
        assert shot.startswith(b"\x89PNG")
    finally:
        browser.close()
    methods = [e.get("method") for e in browser.events]
    requests = [e["params"]["request"]["url"] for e in browser.events
                if e.get("method") == "Network.requestWillBeSent"]
    assert requests == [report.as_uri()]  # the page alone: no image, script or font fetched
    errors = [e for e in browser.events
              if e.get("method") == "Runtime.exceptionThrown"
              or (e.get("method") == "Runtime.consoleAPICalled" and e["params"]["type"] == "error")
              or (e.get("method") == "Log.entryAdded" and e["params"]["entry"]["level"] == "error")]
    assert errors == [] and "Page.loadEventFired" in methods
