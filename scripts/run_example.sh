#!/usr/bin/env bash
# Sets up what is missing, installs the package into the project's virtual environment and solves
# the example feeder.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation "$root"
cd "$root/examples" && "$root/.venv/bin/python" lv_feeder.py
