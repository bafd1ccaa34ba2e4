#!/usr/bin/env bash
# Installs the package as a new user would, then uses it: a copy of the checkout without its build
# trees, `pip install` of it into a new virtual environment outside the checkout, and from another
# folder the example feeder solved by every solver and the second example run. Needs the Debian
# packages of scripts/setup.sh.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# What git tracks or would track, as it stands in the work tree: build/ and .venv/ stay behind.
mkdir "$work/src"
git -C "$root" ls-files -z --cached --others --exclude-standard \
  | (cd "$root" && while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done \
       | xargs -0 cp --parents -t "$work/src")

"${PYTHON:-python3}" -m venv "$work/env"
"$work/env/bin/python" -m pip install -q --disable-pip-version-check --root-user-action=ignore "$work/src"

mkdir "$work/elsewhere"
cd "$work/elsewhere"
"$work/env/bin/python" - "$work" <<'PY'
import sys
from pathlib import Path

work = Path(sys.argv[1])
import load_flow_engine.cy_engine as cy

if not Path(cy.__file__).resolve().is_relative_to(work / "env"):
    raise SystemExit(f"imported {cy.__file__}, not the installed module")
sys.path.insert(0, str(work / "src" / "examples"))
import lv_feeder

results = lv_feeder.solve_all(lv_feeder.Feeder())
for solver, by_scenario in results.items():
    for scenario, (iterations, error, _) in by_scenario.items():
        if not (iterations < lv_feeder.MAX_ITERATIONS and error <= lv_feeder.TOLERANCE):
            raise SystemExit(f"{solver}, {scenario}: {iterations} iterations, error {error}")
for scenario in lv_feeder.SCENARIOS:
    if not lv_feeder.largest_difference(results, scenario) <= 1e-6:
        raise SystemExit(f"{scenario}: the solvers disagree")
print(f"installed {cy.__file__}: the example feeder solves by every solver")
PY
# The second example, run as the README says, against the installed package.
"$work/env/bin/python" "$work/src/examples/mv_lv_feeder.py" > "$work/mv_lv.out"
grep -q "^  20 " "$work/mv_lv.out" || { cat "$work/mv_lv.out"; echo "mv_lv_feeder.py printed no last step" >&2; exit 1; }
echo "installed: examples/mv_lv_feeder.py runs"
