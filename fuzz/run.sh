#!/usr/bin/env bash
# Builds imx_fuzz with clang and runs it over a scratch copy of the seed corpus.
# Not part of scripts/setup.sh; .ci/run runs it for 30 s. It installs clang and its runtime
# libraries from Debian when they are missing, and needs the project's .venv (it installs pybind11,
# cmake and ninja there, which the top-level CMake file needs).
#
# Usage: bash fuzz/run.sh [seconds, default 180] [more libFuzzer flags]
# Anything the fuzzer finds is written to build/fuzz/artifacts/; the run then fails.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-180}
shift || true

missing=()
for p in clang libclang-rt-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

py=.venv/bin/python
[ -x "$py" ] || { echo "fuzz/run.sh: run scripts/setup.sh first (needs .venv)" >&2; exit 1; }
# setup.sh installs the build tools into .venv; an older .venv may lack them.
"$py" -c "import pybind11, cmake, ninja" 2>/dev/null || "$py" -m pip install -q "pybind11>=2.12" cmake ninja
PATH="$PWD/.venv/bin:$PATH" cmake -S . -B build/fuzz -G Ninja -DQUORVANE_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" >/dev/null
PATH="$PWD/.venv/bin:$PATH" cmake --build build/fuzz --target imx_fuzz -j2

mkdir -p build/fuzz/corpus build/fuzz/artifacts
cp fuzz/corpus/* build/fuzz/corpus/
exec build/fuzz/fuzz/imx_fuzz -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix=build/fuzz/artifacts/ "$@" build/fuzz/corpus
