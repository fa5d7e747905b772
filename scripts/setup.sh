#!/usr/bin/env bash
# Sets up a fresh machine for quorvane: the system libraries the C++ core builds against, the
# programs the demo uses, and a virtual environment (.venv) with the package and its test tools.
# Usage: bash scripts/setup.sh            (a user's build)
#        QUORVANE_WERROR=ON bash scripts/setup.sh   (CI: warnings fail the build)
set -euo pipefail
cd "$(dirname "$0")/.."

pkgs=(g++ pkg-config python3-dev python3-venv libssl-dev libzip-dev nlohmann-json3-dev ffmpeg)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python3 -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
# The build tools go into .venv itself, and the package is built without isolation: a throwaway
# build environment changes every include path, and the kept build directory (build/<wheel tag>)
# is then of no use. With them, running this again recompiles only what changed.
.venv/bin/python -m pip install -q 'scikit-build-core>=0.10' 'pybind11>=2.12' cmake ninja
.venv/bin/python -m pip install -q --no-build-isolation \
  -Ccmake.define.QUORVANE_WERROR="${QUORVANE_WERROR:-OFF}" -Ccmake.define.QUORVANE_TEST_PROBES=ON ".[test]"
