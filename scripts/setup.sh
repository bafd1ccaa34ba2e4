#!/usr/bin/env bash
# Installs what the build and the tests need and is missing: Debian packages, then a project
# virtual environment in .venv with the Python packages. Quick when everything is there.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

debs=(libeigen3-dev libspdlog-dev libfmt-dev libgtest-dev)
missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" g++ >/dev/null
fi

py="${PYTHON:-python3}"
if [ ! -x .venv/bin/python ]; then
  "$py" -m venv .venv
fi
pkgs=(cmeel-cppad "numpy>=2" pytest scikit-build-core cmake ninja)
if ! .venv/bin/python - "${pkgs[@]}" <<'PY' 2>/dev/null
import sys
from importlib import metadata
import re
for spec in sys.argv[1:]:
    metadata.version(re.split(r"[<>=]", spec)[0])
PY
then
  .venv/bin/python -m pip install -q --disable-pip-version-check "${pkgs[@]}"
fi
