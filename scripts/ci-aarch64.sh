#!/usr/bin/env bash
# The core library and its unit tests cross-compiled for aarch64 (cmake/aarch64-linux-gnu.cmake,
# Debian's crossbuild-essential-arm64, GoogleTest built from /usr/src/googletest for the target)
# and run under qemu-user-static. The tests hold the palette's and a composite's digests, the same
# as on x86-64, and check that the portable blend code is the one built; x86-only code without a
# fallback would not compile here. Without the cross
# toolchain or qemu (and no way to install them) the step fails; it is never skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/ci-lib.sh
. scripts/setup-env.sh

build=$root/build/aarch64
gtest_build=$root/build/aarch64-gtest
gtest_prefix=$root/build/aarch64-gtest/prefix
toolchain=$root/cmake/aarch64-linux-gnu.cmake

prepare() {
  kx_system_packages build cross
  local tool
  for tool in aarch64-linux-gnu-g++ qemu-aarch64-static; do
    command -v "$tool" >/dev/null 2>&1 || kx_fail "$tool is missing: the aarch64 step cannot run"
  done
  [ -f /usr/src/googletest/CMakeLists.txt ] || kx_fail "GoogleTest sources (/usr/src/googletest) are missing"
}

build_gtest() {
  if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
    cmake -S /usr/src/googletest -B "$gtest_build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
      -DCMAKE_INSTALL_PREFIX="$gtest_prefix" >/dev/null
    cmake --build "$gtest_build" -j 2 >/dev/null
    cmake --install "$gtest_build" >/dev/null
  fi
}

build_core() {
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DKESTRIX_BUILD_MODULES=OFF -DKESTRIX_BUILD_TESTS=ON -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" \
    >/dev/null
  cmake --build "$build" -j 2 >/dev/null
  local arch
  arch=$(aarch64-linux-gnu-readelf -h "$build/kestrix_core_tests" | sed -n 's/^ *Machine: *//p')
  echo "kestrix_core_tests built for: $arch"
  case $arch in
    AArch64) ;;
    *) kx_fail "the unit tests were not built for aarch64" ;;
  esac
}

run_tests() {
  (cd "$build" && ctest --output-on-failure -j 2)
  # The tests that prove the point ran here, under emulation (not filtered out or absent).
  (cd "$build" && ctest -N) | grep -q 'SameDigestOnEveryMachine' \
    || kx_fail "the digest tests are missing from the aarch64 run"
  (cd "$build" && ctest -N) | grep -q 'ArmBuildsBlendWithThePortableCode' \
    || kx_fail "the blend-path test is missing from the aarch64 run"
}

kx_step "aarch64: set-up" prepare
kx_step "aarch64: GoogleTest for the target" build_gtest
kx_step "aarch64: cross-compile core and unit tests (build/aarch64)" build_core
kx_step "aarch64: unit tests under qemu-aarch64-static" run_tests
