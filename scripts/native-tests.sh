#!/usr/bin/env bash
# Configures the build with the core's native unit tests (GoogleTest, from
# Debian's libgtest-dev, installed here when missing and running as root),
# builds the test program alone and runs it under CTest. With
# BREVIX_SANITIZE=ON the core and the tests are built with AddressSanitizer
# and UBSan. The build directory is build/native-tests (build/native-tests-asan
# with the sanitizers; ignored by git) unless BREVIX_NATIVE_BUILD names
# another; it is kept between runs so that rebuilds are incremental. Extra
# arguments go to ctest (e.g. -R TieBreak).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] &&
   ! find /usr/lib /usr/local/lib -path '*cmake/GTest/GTestConfig.cmake' 2>/dev/null | grep -q .; then
  if [ "$(id -u)" != 0 ]; then
    echo "GoogleTest is missing; run as root: apt-get install libgtest-dev" >&2
    exit 1
  fi
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev
fi
sanitize=${BREVIX_SANITIZE:-OFF}
if [ "$sanitize" = ON ]; then
  build=${BREVIX_NATIVE_BUILD:-$PWD/build/native-tests-asan}
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else
  build=${BREVIX_NATIVE_BUILD:-$PWD/build/native-tests}
fi
cmake -S . -B "$build" -DBREVIX_NATIVE_TESTS=ON -DBREVIX_WERROR=ON -DBREVIX_SANITIZE="$sanitize" \
    -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$build" --target brevix_native_tests -j "${BREVIX_NATIVE_JOBS:-2}"
ctest --test-dir "$build" --output-on-failure "$@"
