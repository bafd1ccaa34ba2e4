import os
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

import load_flow_engine.cy_engine as cy_engine_module

# The test scripts name the build whose module is under test: a stale install in site-packages
# must not be picked up in its place.
_expected = os.environ.get("LFE_MODULE_DIR")
if _expected and Path(cy_engine_module.__file__).resolve().parent != Path(_expected).resolve():
    raise ImportError(f"testing {cy_engine_module.__file__}, not the module built in {_expected}")


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
