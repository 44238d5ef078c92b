#!/usr/bin/env bash
# The wheels, built and tested as a user gets them:
#   1. scripts/build-wheels.sh: sdist and manylinux_2_17 wheels (x86-64 CPython 3.10-3.13,
#      aarch64 CPython 3.11), each checked with auditwheel;
#   2. the x86-64 wheels of the oldest and the newest interpreter (3.10 and 3.13; the source
#      build of scripts/test.sh covers 3.11) each installed into a clean virtual environment with
#      no compiler on PATH and CC/CXX set to `false`, and the Python tests (-m "not slow") run
#      against them;
#   3. the aarch64 wheel installed into the arm64 Debian root (scripts/arm64-root.sh) with the
#      dependencies' aarch64 wheels fetched outside it, and the same tests run there under
#      qemu (less the browser test: no arm64 Chromium in the root), with Mosquitto and Redis
#      started inside the root by the tests, as on the host;
#   4. the same scene drawn by the x86-64 and the aarch64 CPython 3.11 wheels
#      (benchmarks/scene_digests.py): equal digests;
#   5. the node image's root (scripts/build-image.sh amd64) and deploy/compose.yaml's node
#      commands run in it (tests/test_image.py).
# KESTRIX_CI_WHEELS_STEPS picks steps (default "build x86-64 aarch64 digests image"; without
# "build" the wheels already in dist/ are used); KESTRIX_WHEEL_TEST_PYTHONS picks the x86-64
# interpreters of step 2. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/ci-lib.sh
. scripts/setup-env.sh
. scripts/arm64-root.sh

work=$root/build/ci-wheels
wheelhouse=$kx_arm64_cache/wheelhouse-cp311-aarch64
test_deps=(pytest mypy aiohttp selenium prometheus_client PyYAML)
# pip without the warnings of this machine's unused local indexes; its exit status is kept.
pip_quiet() { "$@" 2> >(grep -v '^WARNING: Location' >&2); }

only() {  # the one file matching a pattern
  local f
  f=$(ls $1 2>/dev/null | head -1)
  [ -n "$f" ] || kx_fail "no file matches $1"
  echo "$f"
}

# A directory of the host's programs without any compiler.
no_compiler_path() {
  local bin=$work/no-compiler-bin dir prog name
  rm -rf "$bin" && mkdir -p "$bin"
  for dir in /usr/local/bin /usr/bin /bin /usr/sbin /sbin; do
    for prog in "$dir"/*; do
      name=$(basename "$prog")
      case $name in
        cc|c++|gcc*|g++*|cpp|cpp-*|clang*|*-gcc*|*-g++*|*-cc|*-c++|ld|ld.*|*-ld|as|*-as|zig) continue ;;
      esac
      [ -e "$bin/$name" ] || ln -s "$prog" "$bin/$name"
    done
  done
  echo "$bin"
}

# x86_64_venv VERSION: a clean virtual environment with that version's x86-64 wheel and the
# test extra installed from wheels only, without a compiler; prints its path.
x86_64_venv() {
  local version=$1 whl venv=$work/venv-x86_64-py$1 python nocc
  whl=$(only "$root/dist/kestrix_sdk-*-cp${version/./}-cp${version/./}-manylinux*_x86_64.whl")
  python=$(find_interpreter "$version") || kx_fail "no Python $version interpreter on this machine"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  nocc=$(no_compiler_path)
  (
    export PATH=$venv/bin:$nocc CC=false CXX=false
    for tool in cc c++ gcc g++ clang; do
      if command -v "$tool" >/dev/null 2>&1; then kx_fail "a compiler ($tool) is on PATH"; fi
    done
    pip_quiet pip install -q --only-binary=:all: "$whl[test]" >&2
  )
  echo "$venv"
}

x86_64_suite() {
  local version=$1 venv
  shift
  venv=$(x86_64_venv "$version")
  (
    export PATH=$venv/bin:$(no_compiler_path) CC=false CXX=false
    cd "$root/tests"
    python -c 'import sys, kestrix_sdk, kestrix_sdk._buildinfo as b; print("kestrix_sdk from", kestrix_sdk.__file__, "on", sys.version.split()[0], "base64:", b.simd_path, "blend:", b.blend_path)'
    python -m pytest -q -p no:cacheprovider -m "not slow" "$@"
  )
}

# The root's copy of what the tests need, and the wheels to install.
stage_root() {
  local r=$1 whl
  whl=$(only "$root/dist/kestrix_sdk-*-cp311-cp311-manylinux*_aarch64.whl")
  if [ ! -f "$wheelhouse/.complete" ]; then
    rm -rf "$wheelhouse" && mkdir -p "$wheelhouse"
    # aarch64 wheels of the dependencies, for Debian bookworm's CPython 3.11 (glibc 2.36); pip
    # evaluates markers with this interpreter's 3.11.x, so async-timeout, which redis-py wants
    # below 3.11.3 (bookworm has 3.11.2), is named here
    pip_quiet python3 -m pip download -q -d "$wheelhouse" --only-binary=:all: --python-version 3.11 \
      --implementation cp --platform manylinux2014_aarch64 --platform manylinux_2_28_aarch64 \
      numpy opencv-python-headless Pillow "paho-mqtt>=2.0" "redis>=5" "async-timeout>=4.0.3" "${test_deps[@]}"
    touch "$wheelhouse/.complete"
  fi
  # The repository's files (the tests read the sources and scripts too); the package itself is
  # the wheel's: nothing puts /opt/kx/src on the import path.
  rm -rf "$r/opt/kx" && mkdir -p "$r/opt/kx/wheels"
  git ls-files -z --cached --others --exclude-standard \
    | tar -C "$root" --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -C "$r/opt/kx" -xf -
  cp "$wheelhouse"/*.whl "$whl" "$r/opt/kx/wheels/"
  echo "/opt/kx/wheels/$(basename "$whl")" >"$r/opt/kx/wheel-name"
}

# chroot_run ROOT COMMAND: runs a shell command in the root, in a private mount namespace with
# /proc, /sys and /dev mounted (they go away with the namespace: nothing is left mounted).
chroot_run() {
  local r=$1
  shift
  unshare --mount sh -c 'mount -t proc proc "$0/proc" && mount --rbind /sys "$0/sys" &&
    mount --rbind /dev "$0/dev" && exec chroot "$0" env -i \
      PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root LANG=C.UTF-8 /bin/sh -c "$1"' \
    "$r" "$*"
}

aarch64_install() {
  local r=$1 start
  stage_root "$r"
  start=$(date +%s)
  chroot_run "$r" 'set -e; rm -rf /opt/kx/venv; python3 -m venv /opt/kx/venv;
    /opt/kx/venv/bin/pip install -q --no-index --find-links /opt/kx/wheels "$(cat /opt/kx/wheel-name)[test]";
    command -v cc c++ gcc g++ >/dev/null 2>&1 && { echo "a compiler is in the arm64 root"; exit 1; } || true;
    cd /opt/kx/tests && /opt/kx/venv/bin/python -c "import platform, kestrix_sdk._buildinfo as b; print(\"kestrix_sdk on\", platform.machine(), \"base64:\", b.simd_path, \"blend:\", b.blend_path)"'
  echo "pip install of the aarch64 wheel and its dependencies (no compiler, no network): $(($(date +%s) - start)) s"
  start=$(date +%s)
  chroot_run "$r" '/opt/kx/venv/bin/pip install -q --no-index --no-deps --force-reinstall "$(cat /opt/kx/wheel-name)"'
  echo "pip install of the aarch64 wheel alone, under qemu: $(($(date +%s) - start)) s"
}

aarch64_suite() {
  local r=$1
  shift
  chroot_run "$r" "cd /opt/kx/tests && /opt/kx/venv/bin/python -m pytest -q -p no:cacheprovider -m 'not slow' --ignore=test_view_browser.py $*"
}

# The x86-64 CPython 3.11 wheel's environment for the digests and the image test, made once.
x86_64_venv_311() {
  local venv=$work/venv-x86_64-py3.11
  if [ -x "$venv/bin/python" ]; then echo "$venv"; else x86_64_venv 3.11; fi
}

digests() {
  local r=$1 x86 arm venv
  venv=$(x86_64_venv_311)
  x86=$(cd "$root/tests" && "$venv/bin/python" "$root/benchmarks/scene_digests.py")
  cp benchmarks/scene_digests.py "$r/opt/kx/"
  arm=$(chroot_run "$r" "cd /opt/kx/tests && /opt/kx/venv/bin/python /opt/kx/scene_digests.py")
  echo "$x86"
  if [ "$x86" != "$arm" ]; then
    echo "aarch64:"; echo "$arm"
    kx_fail "the aarch64 wheel draws other pixels than the x86-64 wheel"
  fi
  echo "the aarch64 wheel draws the same pixels (digests above)"
}

# The node image's root, and the compose file's node commands run in it against real servers.
image() {
  local dir=$work/image-amd64 venv
  venv=$(x86_64_venv_311)
  echo "scripts/build-image.sh amd64 $dir"
  bash scripts/build-image.sh amd64 "$dir"
  (cd "$root/tests" && KESTRIX_IMAGE_ROOT=$dir "$venv/bin/python" -m pytest -q -p no:cacheprovider test_image.py "$@")
}

steps=" ${KESTRIX_CI_WHEELS_STEPS:-build x86-64 aarch64 digests image} "
want() { [[ $steps == *" $1 "* ]]; }

kx_system_packages servers
if want build; then
  kx_step "wheels: scripts/build-wheels.sh" bash scripts/build-wheels.sh
fi
mkdir -p "$work"
if want x86-64; then
  for version in ${KESTRIX_WHEEL_TEST_PYTHONS:-3.10 3.13}; do
    kx_step "wheels: x86-64 CPython $version wheel, no compiler, Python tests" x86_64_suite "$version" "$@"
  done
fi
if want aarch64 || want digests; then
  arm64=$(kx_arm64_root)
  kx_step "wheels: aarch64 wheel installed in the arm64 root" aarch64_install "$arm64"
fi
if want aarch64; then
  kx_step "wheels: aarch64 wheel, Python tests under qemu" aarch64_suite "$arm64" "$@"
fi
if want digests; then
  kx_step "wheels: same pixels from both CPython 3.11 wheels" digests "$arm64"
fi
if want image; then
  kx_step "wheels: the node image and the compose file's commands in it" image
fi
