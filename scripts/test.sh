#!/usr/bin/env bash
# Builds the project and runs every test: a plain build, one with AddressSanitizer and
# UndefinedBehaviorSanitizer, one with ThreadSanitizer, and a Windows x86-64 build made with
# mingw-w64 whose tests run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

# dpkg-dev (dpkg-shlibdeps), file and lintian: the test that builds and checks the .deb.
# The station's browser test: Debian's chromium, and node with npm unless the machine has them
# already (a node from elsewhere conflicts with Debian's packages).
browser=(chromium)
command -v npm >/dev/null || browser+=(nodejs npm)
# Debian's pyftpdlib: the FTP server the delivery test sends datalogs to.
scripts/install-deps.sh g++-mingw-w64-x86-64-posix mingw-w64 wine wine64 dpkg-dev file lintian \
  python3-pyftpdlib libz-mingw-w64-dev libgcrypt-mingw-w64-dev "${browser[@]}"

jobs=$(nproc)
status=0
build_and_test() {
  local dir=$1
  shift
  echo "=== $dir $*"
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300 || status=1
}

build_and_test build
build_and_test build-asan -DATE_SANITIZE=address,undefined
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  build_and_test build-tsan -DATE_SANITIZE=thread
build_and_test build-windows --toolchain cmake/mingw-w64-x86_64.cmake
fuzz/run.sh 60 || status=1  # the libFuzzer targets in fuzz/, 60 s each

exit $status
