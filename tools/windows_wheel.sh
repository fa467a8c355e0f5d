#!/usr/bin/env bash
# Cross-builds Windows wheels (64-bit CPython) of vestrel on Linux: the
# project's own build backend with the compiler and interpreters that
# tools/windows/kit.sh sets up (Wine runs the interpreter for CMake).
#
# Usage: bash tools/windows_wheel.sh [VERSION...]   (default: 3.9 3.13)
# The wheels land in dist/windows/. Extra pip arguments may come in
# VESTREL_PIP_ARGS (e.g. "-C cmake.define.VESTREL_WERROR=ON").
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=tools/windows/kit.sh
source tools/windows/kit.sh

versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.9 3.13)
out=$PWD/dist/windows
mkdir -p "$out"

win_setup
for v in "${versions[@]}"; do
  win_python "$v"
  tag=cp${v/./}
  win_say "wheel for Windows CPython $v"
  rm -f "$out"/vestrel-*-"$tag"-"$tag"-win_amd64.whl
  defines=()
  for arg in $(win_cmake_python_args "$v"); do
    defines+=(-C "cmake.define.${arg#-D}")
  done
  # No hints from the host interpreter, whose paths and tags are Linux's:
  # FindPython asks the Windows one, and the tags are given.
  # shellcheck disable=SC2086
  SETUPTOOLS_EXT_SUFFIX=".$tag-win_amd64.pyd" \
    "$(win_host_python)" -m pip wheel -q . --no-deps -w "$out" \
    -C cmake.python-hints=false \
    -C wheel.tags="$tag-$tag-win_amd64" \
    -C build-dir="build/windows/wheel-$tag" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$WIN_KIT/toolchain.cmake" \
    "${defines[@]}" ${VESTREL_PIP_ARGS:-}
  ls "$out"/vestrel-*-"$tag"-"$tag"-win_amd64.whl
done
