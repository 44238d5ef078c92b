#!/usr/bin/env bash
# Builds the distributions into dist/: the sdist, and binary wheels tagged manylinux_2_17
# (manylinux2014) for x86-64, CPython 3.10-3.13 (the interpreters pyenv carries here), and for
# aarch64, CPython 3.11 (Debian bookworm's, the one tested under qemu by scripts/ci-wheels.sh).
# The compilers are Zig's clang and libc++ from PyPI (cmake/zig.cmake), targeting glibc 2.17, so
# no container and no old distribution are needed; `auditwheel repair` tags each wheel and
# `auditwheel show` must then find it consistent with manylinux_2_17, or the build fails.
# The aarch64 build takes the target's pyconfig.h from Debian's arm64 libpython3.11-dev
# (scripts/arm64-root.sh) and tells scikit-build-core and pybind11 the target's extension suffix
# and platform.
#   KESTRIX_WHEEL_PYTHONS="3.10 3.11 3.12 3.13"  the x86-64 interpreters ("" for none)
#   KESTRIX_WHEEL_AARCH64=1                      0 leaves the aarch64 wheel out
#   KESTRIX_WHEEL_SDIST=1                        0 leaves the sdist out
# Build trees stay in build/wheel/ (incremental), tools in build/wheel-tools/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/ci-lib.sh
. scripts/arm64-root.sh

tools=$root/build/wheel-tools
dist=$root/dist
raw=$root/build/wheel/raw
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
# Zig's cache of libc++ and glibc stubs per target, kept between runs.
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$root/build/zig-cache}

build_requirements=(scikit-build-core pybind11 build cmake ninja)

setup_tools() {
  if [ ! -x "$tools/bin/auditwheel" ] || [ ! -x "$tools/bin/patchelf" ]; then
    python3 -m venv "$tools"
    "$tools/bin/pip" install -q ziglang auditwheel patchelf "${build_requirements[@]}"
  fi
  "$tools/bin/python" -m ziglang version >/dev/null || kx_fail "Zig (ziglang) does not run"
  mkdir -p "$dist" "$raw"
}

# A build environment per interpreter (no build isolation: nothing is fetched per build).
build_env() {
  local version=$1 python env=$root/build/wheel/env-py$1
  if [ ! -x "$env/bin/python" ]; then
    python=$(find_interpreter "$version") || kx_fail "no Python $version interpreter on this machine"
    "$python" -m venv "$env"
    "$env/bin/pip" install -q "${build_requirements[@]}"
  fi
  echo "$env/bin/python"
}

# wheel PYTHON TARGET TAG [extra -C settings...]
wheel() {
  local python=$1 target=$2 tag=$3
  shift 3
  rm -rf "${raw:?}/$tag"
  PATH=$(dirname "$python"):$PATH nice -n 10 "$python" -m build --wheel --no-isolation \
    --outdir "$raw/$tag" \
    -Cbuild-dir="$root/build/wheel/$tag" \
    -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$root/cmake/zig.cmake" \
    -Ccmake.define.KX_ZIG_TARGET="$target" \
    -Ccmake.define.KX_ZIG_PYTHON="$tools/bin/python" \
    "$@" >"$root/build/wheel/$tag.log" 2>&1 \
    || { tail -40 "$root/build/wheel/$tag.log" >&2; kx_fail "the $tag wheel did not build (build/wheel/$tag.log)"; }
}

# repair ARCH: tags the raw wheels of ARCH manylinux_2_17 and checks each one.
repair() {
  local arch=$1 whl out
  for whl in "$raw"/*/*_"$arch".whl; do
    # the same version's wheel of an earlier run gives way
    rm -f "$dist/$(basename "$whl" | cut -d- -f1-4)"-manylinux*_"$arch".whl
    # --plat names only this machine's architecture's policies: "auto" takes the wheel's own
    # and its lowest consistent policy, which the check below requires to be manylinux_2_17.
    PATH=$tools/bin:$PATH "$tools/bin/auditwheel" repair --plat auto -w "$dist" "$whl" >/dev/null 2>&1 \
      || PATH=$tools/bin:$PATH "$tools/bin/auditwheel" repair --plat auto -w "$dist" "$whl"
  done
  for whl in "$dist"/kestrix_sdk-*manylinux*_"$arch".whl; do
    out=$("$tools/bin/auditwheel" show "$whl")
    echo "$out" | tr '\n' ' ' | grep -q "consistent with the following platform tag: \"manylinux_2_17_$arch\"" \
      || { echo "$out" >&2; kx_fail "$(basename "$whl") is not consistent with manylinux_2_17_$arch"; }
    echo "$(basename "$whl"): auditwheel finds it consistent with manylinux_2_17_$arch"
  done
}

x86_64_wheels() {
  local version python
  for version in ${KESTRIX_WHEEL_PYTHONS-3.10 3.11 3.12 3.13}; do
    python=$(build_env "$version")
    kx_step "wheels: x86-64, CPython $version" wheel "$python" x86_64-linux-gnu.2.17 "cp${version/./}-x86_64"
  done
}

aarch64_wheel() {
  local v=$kx_arm64_python_version include python suffix
  include=$(kx_arm64_headers)
  python=$(build_env "$v")
  suffix=".cpython-${v/./}-aarch64-linux-gnu.so"
  export _PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=$suffix
  kx_step "wheels: aarch64, CPython $v" wheel "$python" aarch64-linux-gnu.2.17 "cp${v/./}-aarch64" \
      -Ccmake.define.Python_INCLUDE_DIR="$include" \
      -Ccmake.define.Python3_INCLUDE_DIR="$include" \
      -Ccmake.define.PYTHON_MODULE_EXTENSION="$suffix" \
      -Ccmake.define.PYTHON_MODULE_DEBUG_POSTFIX="" \
      -Ccmake.define.PYTHON_IS_DEBUG=OFF
  unset _PYTHON_HOST_PLATFORM SETUPTOOLS_EXT_SUFFIX
}

sdist() {
  rm -f "$dist"/kestrix_sdk-*.tar.gz
  nice -n 10 "$tools/bin/python" -m build --sdist --no-isolation --outdir "$dist" >/dev/null
}

kx_step "wheels: tools (Zig, auditwheel, patchelf)" setup_tools
if [ "${KESTRIX_WHEEL_SDIST:-1}" = 1 ]; then kx_step "wheels: sdist" sdist; fi
x86_64_wheels
if [ -n "${KESTRIX_WHEEL_PYTHONS-x}" ]; then kx_step "wheels: auditwheel (x86-64)" repair x86_64; fi
if [ "${KESTRIX_WHEEL_AARCH64:-1}" = 1 ]; then
  aarch64_wheel
  kx_step "wheels: auditwheel (aarch64)" repair aarch64
fi
ls -l "$dist"
