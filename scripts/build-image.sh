#!/usr/bin/env bash
# The node image's root file system (what deploy/Dockerfile builds), made without a container
# runtime: Debian bookworm with mmdebstrap for ARCH (amd64 or arm64; arm64 runs its package
# scripts under qemu), python3 and python3-venv, libfribidi0, the kit's wheel for that
# architecture from dist/ with its dependencies (wheels only) and OpenCV's contrib build (the
# analytics node's people detector) in /opt/kestrix/venv, the demo's
# examples in /opt/kestrix/examples, the non-root user `kestrix`, no compiler.
#   bash scripts/build-image.sh [ARCH] [DIR]     (default: amd64, build/image-ARCH)
# tests/test_image.py runs deploy/compose.yaml's service commands in it (KESTRIX_IMAGE_ROOT=DIR).
# The dependencies' wheels are fetched outside the root (pip download) into build/image-wheels-ARCH.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/arm64-root.sh
arch=${1:-amd64}
dir=${2:-$root/build/image-$arch}
case $arch in
  amd64) machine=x86_64 ;;
  arm64) machine=aarch64; kx_arm64_binfmt ;;
  *) echo "build-image.sh: ARCH is amd64 or arm64" >&2; exit 2 ;;
esac
whl=$(ls "$root"/dist/kestrix_sdk-*-cp311-cp311-manylinux*_"$machine".whl 2>/dev/null | head -1)
[ -n "$whl" ] || { echo "no CPython 3.11 $machine wheel in dist/: run scripts/build-wheels.sh" >&2; exit 1; }

# The dependencies and the view extra's (kept in step with pyproject.toml); the download is
# done again whenever this list changes.
reqs=(numpy opencv-python-headless Pillow "paho-mqtt>=2.0" "redis>=5" "async-timeout>=4.0.3"
      "aiohttp>=3.9" "prometheus_client>=0.17")
wheels=$root/build/image-wheels-$arch
# the release of the plain OpenCV wheel fetched (its contrib build must be the same one)
opencv_release() { ls "$wheels"/opencv_python_headless-*.whl | sed 's/.*opencv_python_headless-\([^-]*\)-.*/\1/'; }
if [ "$(cat "$wheels/.complete" 2>/dev/null)" != "${reqs[*]} opencv-contrib" ]; then
  rm -rf "$wheels" && mkdir -p "$wheels"
  python3 -m pip download -q -d "$wheels" --only-binary=:all: --python-version 3.11 --implementation cp \
    --platform manylinux2014_"$machine" --platform manylinux_2_28_"$machine" "${reqs[@]}" \
    2> >(grep -v '^WARNING: Location' >&2)
  # The analytics node's people detector (HOG) is in OpenCV's contrib build only: that build of
  # the same release comes along and is installed over the plain one, as scripts/demo.sh does.
  python3 -m pip download -q -d "$wheels" --only-binary=:all: --no-deps --python-version 3.11 \
    --implementation cp --platform manylinux2014_"$machine" --platform manylinux_2_28_"$machine" \
    "opencv-contrib-python-headless==$(opencv_release)" 2> >(grep -v '^WARNING: Location' >&2)
  echo "${reqs[*]} opencv-contrib" >"$wheels/.complete"
fi
opencv=$(opencv_release)

rm -rf "$dir" "$dir.tmp"
mkdir -p "$(dirname "$dir")"
nice -n 10 mmdebstrap --arch="$arch" --variant=apt --format=directory \
  --include=python3,python3-venv,libfribidi0 \
  --customize-hook='printf "127.0.0.1\tlocalhost\n" > "$1/etc/hosts"' \
  --customize-hook="mkdir -p \"\$1/tmp/dist\" && cp '$whl' '$wheels'/*.whl \"\$1/tmp/dist/\"" \
  --customize-hook='chroot "$1" python3 -m venv /opt/kestrix/venv' \
  --customize-hook="chroot \"\$1\" /opt/kestrix/venv/bin/pip install -q --no-index --find-links /tmp/dist '/tmp/dist/$(basename "$whl")[view]'" \
  --customize-hook="chroot \"\$1\" /opt/kestrix/venv/bin/pip install -q --no-index --find-links /tmp/dist 'opencv-contrib-python-headless==$opencv'" \
  --customize-hook='rm -rf "$1/tmp/dist" "$1/var/lib/apt/lists/"*' \
  --customize-hook="mkdir -p \"\$1/opt/kestrix\" && cp -a '$root/examples' \"\$1/opt/kestrix/examples\"" \
  --customize-hook='chroot "$1" useradd --system --create-home --home-dir /home/kestrix --uid 10001 kestrix' \
  bookworm "$dir.tmp" >/dev/null
if chroot "$dir.tmp" sh -c 'command -v cc || command -v gcc || command -v c++' >/dev/null 2>&1; then
  echo "the image has a compiler" >&2
  exit 1
fi
mv "$dir.tmp" "$dir"
echo "$dir"
