#!/usr/bin/env bash
# CI stage for 64-bit Windows, on Linux: cross-builds the ring's native tests
# and the package for Windows CPython 3.9 and 3.13 (tools/windows_wheel.sh),
# and runs the native tests and the whole Python suite under Wine. Installs
# everything it needs itself (tools/windows/kit.sh). Exits non-zero on any
# failure. Usage: bash .ci/windows.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
# shellcheck source=tools/windows/kit.sh
source tools/windows/kit.sh

start=$SECONDS
status=0
win_setup

win_say "ring native tests for Windows, under Wine"
cmake -S tests/native -B build/windows/native --toolchain "$WIN_KIT/toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-Werror >/dev/null
cmake --build build/windows/native -j2
ctest --test-dir build/windows/native --output-on-failure || status=1

for v in 3.9 3.13; do
  VESTREL_PIP_ARGS="-C cmake.define.VESTREL_WERROR=ON" bash tools/windows_wheel.sh "$v"
  tag=cp${v/./}
  win_install "$v" pytest colorama "$root"/dist/windows/vestrel-*-"$tag"-"$tag"-win_amd64.whl
  win_say "tests on Windows CPython $v, under Wine"
  # The Linux command's -X dev, less asyncio's debug mode: under Wine that
  # mode makes the asyncio tests some 30 times slower, past their timeouts.
  # What else -X dev turns on is kept: the allocator's debug hooks, the
  # fault handler, warnings (as errors).
  (cd tests && PYTHONMALLOC=debug win_py "$v" -X faulthandler -W error \
    -m pytest -q -p no:cacheprovider python) || status=1
done

win_say "Windows stage: $((SECONDS - start)) s, status $status"
exit $status
