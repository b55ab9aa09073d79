#!/usr/bin/env bash
# Configures the build with the core's native unit tests (GoogleTest, from
# Debian's libgtest-dev, installed here when missing and running as root),
# builds the test program alone and runs it under CTest. The build directory
# is build/native-tests (ignored by git) unless BREVIX_NATIVE_BUILD names
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
build=${BREVIX_NATIVE_BUILD:-$PWD/build/native-tests}
cmake -S . -B "$build" -DBREVIX_NATIVE_TESTS=ON -DBREVIX_WERROR=ON \
    -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$build" --target brevix_native_tests -j "${BREVIX_NATIVE_JOBS:-2}"
ctest --test-dir "$build" --output-on-failure "$@"
