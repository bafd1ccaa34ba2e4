import os
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

# `python -m pytest` started in the repository puts the source tree first on sys.path, where the
# package has no compiled module: the built package (on PYTHONPATH) must be the one imported.
_root = Path(__file__).resolve().parents[2]
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != _root]

import load_flow_engine.cy_engine as cy_engine_module  # noqa: E402


@pytest.fixture(scope="session")
def cy():
    return cy_engine_module


@pytest.fixture(scope="session")
def run_python():
    """Runs code in a fresh interpreter with this test's import path; returns the finished process."""

    def run(code, *options):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
        return subprocess.run(
            [sys.executable, *options, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            env=env,
            cwd=tempfile.gettempdir(),
            timeout=120,
        )

    return run
