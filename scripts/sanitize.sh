#!/usr/bin/env bash
# Runs the whole test suite against an AddressSanitizer + UndefinedBehaviorSanitizer build of the
# extension. The build has its own virtual environment (.venv-san) and build directory
# (build/san), so the normal .venv and build/dev stay untouched.
#
# Usage: bash scripts/sanitize.sh [pytest arguments]     e.g. bash scripts/sanitize.sh -x -k pipe
#
# The Python interpreter itself is not instrumented, so the sanitizer runtime of the compiler that
# built the extension is preloaded (it must come first in the process), and leak detection is off:
# the interpreter keeps memory alive until exit by design and would drown any real report. Every
# finding aborts the process that makes it (-fno-sanitize-recover=all), and the host program the
# tests start inherits the same environment, so a fault in a child fails its test too.
# Needs g++ (the project's compiler; its runtime is libasan/libubsan). Slow: several times the
# normal suite, about 20 minutes on a 2-core machine. Not part of .ci/run.
set -euo pipefail
cd "$(dirname "$0")/.."

cxx=${CXX:-g++}
venv=.venv-san
build=build/san

[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q numpy 'ai-edge-litert>=2.3' pytest hypothesis \
  scikit-build-core pybind11 cmake ninja
CXX="$cxx" "$venv/bin/python" -m pip install -q --no-build-isolation -Cbuild-dir="$build" \
  -Ccmake.build-type=RelWithDebInfo \
  -Ccmake.define.QUORVANE_SANITIZE=address,undefined \
  -Ccmake.define.QUORVANE_WERROR=ON -Ccmake.define.QUORVANE_TEST_PROBES=ON .

# Refuse to report a clean run of an uninstrumented module.
so=$(ls "$build"/_tensorhost*.so)
libs=$(ldd "$so")
if ! grep -q libasan <<<"$libs" || ! grep -q libubsan <<<"$libs"; then
  echo "sanitize.sh: $so is not linked against the sanitizer runtimes" >&2
  exit 1
fi

export LD_PRELOAD="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
exec "$venv/bin/python" -m pytest -q "$@"
