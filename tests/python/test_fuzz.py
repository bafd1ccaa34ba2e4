"""Random calls with wrong types, lengths, indices, None and deleted peers, in a child process: the
child may see any Python exception but must not die (by a signal, or by a sanitizer report)."""

import os
import signal
from pathlib import Path

import pytest

DRIVER = Path(__file__).resolve().with_name("fuzz_driver.py")
SANITIZED = os.environ.get("LFE_SANITIZED") == "1"
# A few seconds per seed; the sanitized module runs the same calls several times slower.
ITERATIONS = 4000 if SANITIZED else 15000
SECONDS = 8.0 if SANITIZED else 4.0


@pytest.mark.parametrize("seed", [20240611, 7, 1234])
def test_random_calls_never_kill_the_process(run_python, seed):
    child = run_python(
        f"""
        import sys
        sys.path.insert(0, {str(DRIVER.parent)!r})
        import fuzz_driver
        fuzz_driver.main({seed}, {ITERATIONS}, {SECONDS})
        """
    )
    died = ""
    if child.returncode < 0:
        died = f"killed by {signal.Signals(-child.returncode).name}"
    assert child.returncode == 0 and child.stdout.startswith("done "), (
        f"seed {seed}: exit {child.returncode} {died}\n{child.stdout[-2000:]}\n{child.stderr[-6000:]}"
    )
