# The arm64 Debian root the aarch64 wheels are tested in (scripts/ci-wheels.sh) and built against
# (its Python headers, scripts/build-wheels.sh). Source it from the repository root; it defines:
#   kx_arm64_binfmt      mounts binfmt_misc and enables qemu-aarch64 when they are not
#   kx_arm64_root        prints the root's path, building it with mmdebstrap when it is absent
#                        ($KESTRIX_ARM64_ROOT, default /var/cache/kestrix/arm64-bookworm): Debian
#                        bookworm arm64 with python3, python3-venv, mosquitto, redis-server,
#                        openssl and libfribidi0 (the text layout of Pillow's raqm, as on the host),
#                        an /etc/hosts naming localhost 127.0.0.1 only (as this machine's: the
#                        test servers listen on 127.0.0.1; with a "::1 localhost" line Mosquitto's
#                        bridge to mqtts://localhost tries ::1 only and the fleet TLS tests fail), and the arm64 libpython3.11-dev package
#                        unpacked beside it (its pyconfig.h is the target's)
#   kx_arm64_headers     prints the directory with the target's Python.h and pyconfig.h
kx_arm64_cache=${KESTRIX_ARM64_CACHE:-/var/cache/kestrix}
kx_arm64_root_dir=${KESTRIX_ARM64_ROOT:-$kx_arm64_cache/arm64-bookworm}
kx_arm64_python_version=3.11

kx_arm64_binfmt() {
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
    update-binfmts --enable qemu-aarch64
  fi
  grep -q '^enabled' /proc/sys/fs/binfmt_misc/qemu-aarch64 \
    || { echo "qemu-aarch64 is not enabled in binfmt_misc" >&2; return 1; }
}

kx_arm64_root() {
  local root=$kx_arm64_root_dir
  if [ ! -f "$root/.kestrix-complete" ]; then
    # in a subshell that stops at the first failure: a half-made root is never marked complete
    (set -euo pipefail; kx_arm64_make_root "$root") || return 1
  fi
  kx_arm64_binfmt >&2
  echo "$root"
}

kx_arm64_make_root() {
  local root=$1
  local need=()
  command -v mmdebstrap >/dev/null 2>&1 || need+=(mmdebstrap)
  command -v qemu-aarch64-static >/dev/null 2>&1 || need+=(qemu-user-static)
  command -v update-binfmts >/dev/null 2>&1 || need+=(binfmt-support)
  command -v arch-test >/dev/null 2>&1 || need+=(arch-test)  # mmdebstrap's check of a foreign arch
  if [ ${#need[@]} -gt 0 ]; then
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >&2
  fi
  kx_arm64_binfmt >&2
  rm -rf "$root" "$root.tmp"
  mkdir -p "$kx_arm64_cache"
  # The Python headers are fetched inside the root (its apt knows arm64) into /opt/kx-debs and
  # unpacked outside it: the root itself stays free of a compiler and development files.
  mmdebstrap --arch=arm64 --variant=apt --format=directory \
    --include=python3,python3-venv,mosquitto,redis-server,openssl,libfribidi0 \
    --customize-hook='printf "127.0.0.1\tlocalhost\n" > "$1/etc/hosts"' \
    --customize-hook='mkdir -p "$1/opt/kx-debs" && chroot "$1" sh -c "cd /opt/kx-debs && apt-get download libpython3.11-dev"' \
    bookworm "$root.tmp" >&2
  local deb
  deb=$(ls "$root.tmp"/opt/kx-debs/libpython3.11-dev_*_arm64.deb)
  mkdir -p "$root.tmp/opt/kx-debs/unpacked"
  dpkg-deb -x "$deb" "$root.tmp/opt/kx-debs/unpacked"
  touch "$root.tmp/.kestrix-complete"
  mv "$root.tmp" "$root"
}

# Python.h of the target: Debian's generic headers with the multiarch pyconfig.h of aarch64 in
# place of the wrapper that picks one by architecture.
kx_arm64_headers() {
  local root unpacked dir v=$kx_arm64_python_version
  root=$(kx_arm64_root)
  unpacked=$root/opt/kx-debs/unpacked
  dir=$kx_arm64_cache/arm64-python$v-include/python$v
  if [ ! -f "$dir/.complete" ]; then
    rm -rf "$dir" && mkdir -p "$dir"
    if [ -f "$unpacked/usr/include/python$v/Python.h" ]; then
      cp -a "$unpacked/usr/include/python$v/." "$dir/"
    else  # the generic headers are the same on every architecture: the build interpreter's
      cp -a "$(python$v -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/." "$dir/"
    fi
    cp "$unpacked/usr/include/aarch64-linux-gnu/python$v/pyconfig.h" "$dir/pyconfig.h"
    touch "$dir/.complete"
  fi
  echo "$dir"
}
