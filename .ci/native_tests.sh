#!/usr/bin/env bash
# Builds the ring's native tests under ThreadSanitizer and runs them, then the
# same tests without a sanitizer (which also run the allocation-failure cases
# that the sanitizer's allocator cannot). Exits non-zero on any failure.
# Needs g++ and cmake; installs them (and the TSAN runtime) with apt-get only
# when missing. Usage: bash .ci/native_tests.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

apt_install() {
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@"
}

missing=()
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v ctest >/dev/null 2>&1 || missing+=(cmake)
if [ ${#missing[@]} -gt 0 ]; then
  apt_install "${missing[@]}"
fi

# A ThreadSanitizer probe: the runtime library may be missing, and an older
# runtime cannot map its shadow memory under high ASLR entropy (then run the
# tests with address randomisation off).
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
printf '#include <thread>\nint main() { int x = 0; std::thread t([&] { x = 1; }); t.join(); return x - 1; }\n' \
  >"$probe_dir/probe.cpp"
build_probe() { g++ -std=c++20 -fsanitize=thread "$probe_dir/probe.cpp" -o "$probe_dir/probe" 2>/dev/null; }
if ! build_probe; then
  apt_install "libgcc-$(g++ -dumpversion | cut -d. -f1)-dev"
  build_probe
fi
run_prefix=()
if ! "$probe_dir/probe" >/dev/null 2>&1; then
  if command -v setarch >/dev/null 2>&1 && setarch "$(uname -m)" -R "$probe_dir/probe" >/dev/null 2>&1; then
    echo "ThreadSanitizer needs address randomisation off here: running tests under setarch -R"
    run_prefix=(setarch "$(uname -m)" -R)
  else
    echo "ThreadSanitizer does not run on this machine:" >&2
    "$probe_dir/probe" || true
    exit 1
  fi
fi

status=0
run_suite() {  # build-dir extra-cxx-flags
  local dir=$1 flags=$2
  echo "=== ring native tests: $dir ==="
  cmake -S tests/native -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$flags" >/dev/null
  cmake --build "$dir" -j2
  "${run_prefix[@]}" ctest --test-dir "$dir" --output-on-failure || status=1
}
run_suite build/native-tsan "-fsanitize=thread -g"
run_suite build/native ""
exit $status
