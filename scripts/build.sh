#!/usr/bin/env bash
# Configures and builds one configuration in a build directory of its own:
#   release  build/release  optimised, the configuration the module and benchmarks are used in
#   asan     build/asan     AddressSanitizer and UndefinedBehaviorSanitizer
# Extra arguments are passed to ninja (targets).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
config="${1:-release}"
shift || true
case "$config" in
  release) type=Release; sanitize=OFF ;;
  asan) type=RelWithDebInfo; sanitize=ON ;;
  *) echo "unknown configuration '$config' (release or asan)" >&2; exit 2 ;;
esac
dir="$root/build/$config"
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
if [ ! -f "$dir/build.ninja" ]; then
  "$root/.venv/bin/cmake" -S "$root" -B "$dir" -G Ninja \
    -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" \
    -DPython_EXECUTABLE="$root/.venv/bin/python" \
    -DCMAKE_BUILD_TYPE="$type" -DLFE_SANITIZE="$sanitize" "${launcher[@]}" >/dev/null
fi
"$root/.venv/bin/ninja" -C "$dir" -j "${LFE_JOBS:-2}" "$@"
