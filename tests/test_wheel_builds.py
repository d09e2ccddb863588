"""The wheels the hosted runners build, as cibuildwheel selects them from pyproject.toml.

Every machine cibuildwheel knows is asked for (`--archs all`), so that an edit of the build
selector, or a cibuildwheel release that brings an interpreter, a free-threaded variant or a
platform of its own, shows up here and not as a wheel that no Qt binding can load. A
misspelt option in [tool.cibuildwheel] fails here as well: cibuildwheel refuses to run.
"""

import os
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
pytestmark = pytest.mark.checkout

# The machines the hosted runners build for, each for every interpreter of the matrix.
MACHINES = {
    "linux": ["manylinux_x86_64", "manylinux_aarch64"],
    "windows": ["win_amd64"],
    "macos": ["macosx_x86_64", "macosx_arm64"],
}
PYTHONS = tomllib.loads((ROOT / "matrix.toml").read_text())["python"]["versions"]
EXPECTED = {
    platform: " ".join(f"cp{v.replace('.', '')}-{m}" for m in machines for v in PYTHONS)
    for platform, machines in MACHINES.items()
}


@pytest.mark.parametrize("platform", EXPECTED)
def test_hosted_runners_build_only_the_supported_wheels(platform):
    # CIBW_* variables override the file: a developer's shell must not decide the answer.
    env = {k: v for k, v in os.environ.items() if not k.startswith("CIBW_")}
    args = ["--print-build-identifiers", "--platform", platform, "--archs", "all", str(ROOT)]
    proc = subprocess.run(
        [sys.executable, "-m", "cibuildwheel", *args],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=ROOT,
        env=env,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert sorted(proc.stdout.split()) == sorted(EXPECTED[platform].split())
