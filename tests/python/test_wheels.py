"""The release wheel: scripts/build-wheels.sh builds the x86_64 wheel from the sdist, auditwheel finds it
consistent with manylinux_2_17, and it installs and answers like the module under test in a fresh virtual
environment. Skipped where the release toolchain cannot be had (it comes from PyPI) or off Linux x86_64."""

import json
import os
import platform
import subprocess
import sys
import zipfile

import pytest

import zeph

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(ROOT, "scripts", "build-wheels.sh")
TAG = "manylinux_2_17_x86_64"

QUERIES = [
    ([("Z", "X"), ("Z", "Y"), ("X", "Y")], [], ["X"], ["Y"], []),
    ([("X", "M"), ("M", "Y")], [("X", "Y")], ["X"], ["Y"], []),
    ([("X", "Y")], [("X", "Y")], ["X"], ["Y"], []),
    ([("W", "X"), ("X", "Y")], [("W", "Y")], ["X"], ["Y"], ["W"]),
]


def run(*cmd, **kwargs):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=1800, **kwargs)


@pytest.fixture(scope="module")
def tools_python():
    if sys.platform != "linux" or platform.machine() != "x86_64":
        pytest.skip("the release wheels are built on Linux x86_64")
    if not os.path.exists(SCRIPT):
        pytest.skip("not run from a source tree")
    done = run("bash", SCRIPT, "tools")
    if done.returncode != 0:
        pytest.skip(f"the release toolchain (ziglang, auditwheel from PyPI) could not be installed: {done.stderr[-500:]}")
    return done.stdout.strip().splitlines()[-1]


def test_wheel_is_manylinux_and_imports_in_a_fresh_venv(tools_python, tmp_path):
    built = run("bash", SCRIPT, "--out", str(tmp_path / "dist"), "x86_64")
    assert built.returncode == 0, built.stderr[-3000:]
    (wheel,) = (tmp_path / "dist").glob("*.whl")
    assert wheel.name.endswith(f"-cp310-abi3-manylinux2014_x86_64.{TAG}.whl")

    # auditwheel's own verdict, apart from the script's checks
    auditwheel = os.path.join(os.path.dirname(tools_python), "auditwheel")
    show = run(auditwheel, "show", str(wheel))
    assert show.returncode == 0, show.stderr
    assert f'platform tag: "{TAG}"' in " ".join(show.stdout.split())
    with zipfile.ZipFile(wheel) as z:
        assert sorted(n for n in z.namelist() if not n.startswith("zeph-")) == ["zeph.abi3.so", "zeph.pyi"]

    venv = tmp_path / "venv"
    assert run(sys.executable, "-m", "venv", str(venv)).returncode == 0
    py = str(venv / "bin" / "python")
    installed = run(py, "-m", "pip", "install", "-q", "--no-index", "--disable-pip-version-check", str(wheel))
    assert installed.returncode == 0, installed.stderr
    probe = f"import json, zeph; print(zeph.__file__); print(json.dumps([zeph.id(*q) for q in {QUERIES!r}]))"
    # the fresh environment must see the wheel alone, not a build the caller put on the path
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    answered = run(py, "-c", probe, cwd=str(tmp_path), env=env)
    assert answered.returncode == 0, answered.stderr
    where, answers = answered.stdout.splitlines()
    assert where.startswith(str(venv))
    assert json.loads(answers) == [zeph.id(*q) for q in QUERIES]

