"""The type stubs: they agree with the compiled module, and a program that
uses every function and attribute passes `mypy --strict`."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

SAMPLE = Path(__file__).parent / "typecheck" / "uses_every_function.py"
LIVE_METER = Path(__file__).parents[2] / "examples" / "live_meter.py"


def mypy(tmp_path, *args):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env,
                          capture_output=True, text=True)


def test_stubs_match_the_compiled_module(tmp_path):
    # stubtest imports the modules and compares every name, parameter list,
    # default and attribute with the stubs.
    result = mypy(tmp_path, "mypy.stubtest", "sonorik", "_sonorik", "sonorik_meter",
                  "--allowlist", str(SAMPLE.parent / "stubtest_allowlist.txt"))
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("what", [[str(SAMPLE)], ["-p", "sonorik_cli"], [str(LIVE_METER)]],
                         ids=["program using everything", "command-line package", "live meter example"])
def test_strict_check(tmp_path, what):
    result = mypy(tmp_path, "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *what)
    assert result.returncode == 0, result.stdout + result.stderr
