#!/usr/bin/env bash
# The suite against the wheel built for another CPython: Debian SUITE's python3 (PYTHON), in a chroot
# of that suite under build/, made once and reused.
#   scripts/test-python.sh trixie 3.13
# The chroot gets the project's files (source tree and tests), builds the wheel there, installs it
# with the test extra into a venv, and runs the suite with -P, so the copied source tree never shadows
# the installed package. Everything mounted for it is unmounted on exit, failure included.
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 DEBIAN-SUITE PYTHON-VERSION (e.g. trixie 3.13)" >&2
  exit 2
fi
suite=$1
python=$2
cd "$(dirname "$0")/.."
project=$PWD
root=$project/build/chroot-$suite
# What the suite drives for real (as scripts/system-deps.sh installs on the host) and what builds the
# wheel; cmake and ninja come from pip with the build requirements.
packages=python3,python3-venv,python3-dev,g++,make,rclone,fuse3,postgresql,mariadb-server
stamp=$root/.velora-chroot
# The wheel, built in /work/src inside the chroot with the venv's python, lands in /work/src/dist
# (or, repaired to a manylinux tag: build_wheel='make wheel VENV=/work/venv').
build_wheel='python -m pip wheel -q --no-deps --no-build-isolation -Cbuild-dir=/work/build -w dist .'
build_tools='scikit-build-core pybind11 ninja cmake'
# Every wheel installed is kept on the host, one folder a Python, and fetched only once: the index's
# responses here carry no caching headers, so pip's own cache keeps none of them.
wheelhouse=${XDG_CACHE_HOME:-$HOME/.cache}/velora/wheels-python$python

if [ "$(id -u)" -ne 0 ]; then
  echo "$0 needs root (debootstrap, chroot, mounts)" >&2
  exit 1
fi

# Mounts live in a mount namespace of this script's own: none can leak into the host's table, and
# propagation can never carry an unmount back to the host's /dev.
if [ -z "${VELORA_CHROOT_NAMESPACE:-}" ]; then
  VELORA_CHROOT_NAMESPACE=1 exec unshare --mount --propagation private "$0" "$@"
fi

bootstrap() {
  # A stamp names the packages: a chroot left half-made, or made for another list, is made afresh.
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$packages" ]; then return; fi
  # Both suites start at once (make -j2): one installs debootstrap while the other waits, since apt
  # refuses a second run outright instead of waiting for the first.
  flock /var/lock/velora-debootstrap-install bash -euo pipefail -c '
    command -v debootstrap >/dev/null && exit 0
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
  '
  rm -rf "$root"
  # Downloaded packages are kept beside the pip cache, so a fresh clone does not fetch them again.
  local cache=${XDG_CACHE_HOME:-$HOME/.cache}/velora/debootstrap-$suite
  mkdir -p "$cache" "$(dirname "$root")"
  echo "== making a $suite chroot in $root (at ${SECONDS}s)"
  debootstrap --variant=minbase --include="$packages" --cache-dir="$cache" "$suite" "$root" \
    http://deb.debian.org/debian >"$root.log" 2>&1 || {
    tail -n 30 "$root.log" >&2
    return 1
  }
  echo "$packages" >"$stamp"
}

unmount_all() {
  # Processes the suite left behind in the chroot (a server a failed test did not stop) hold mounts.
  local link pid
  for link in /proc/[0-9]*/root; do
    pid=${link#/proc/}
    pid=${pid%/root}
    [ "$(readlink "$link" 2>/dev/null)" = "$root" ] && kill -9 "$pid" 2>/dev/null
  done
  # Deepest first: FUSE mounts under /tmp, then /dev/pts under /dev, and so on.
  awk -v root="$root" '$5 == root || index($5, root "/") == 1 { print $5 }' /proc/self/mountinfo |
    sort -r | while read -r target; do umount "$target" 2>/dev/null || umount -l "$target"; done
}

mount_all() {
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount --bind /sys "$root/sys"
  # The host's pip cache (wheels pip builds from source distributions) and the wheelhouse.
  local pip_cache=${XDG_CACHE_HOME:-$HOME/.cache}/pip
  mkdir -p "$pip_cache" "$root/root/.cache/pip" "$wheelhouse" "$root/work/wheelhouse"
  mount --bind "$pip_cache" "$root/root/.cache/pip"
  mount --bind "$wheelhouse" "$root/work/wheelhouse"
  # Name resolution and the certificates the host trusts (it may reach the index through a proxy).
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  mkdir -p "$root/etc/ssl/certs"
  cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
}

copy_project() {
  # The files git knows (committed or not, ignored ones left out): no host build or venv comes along.
  rm -rf "$root/work/src"
  mkdir -p "$root/work/src"
  git ls-files -z --cached --others --exclude-standard | xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
    tar --null -T - -cf - | tar -xf - -C "$root/work/src"
}

in_chroot() {
  env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" \
    PATH=/work/venv/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    PIP_CERT=/etc/ssl/certs/ca-certificates.crt SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt \
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_CONSTRAINT=/work/constraints.txt \
    chroot "$root" /bin/bash -euo pipefail -c "$install_function $1"
}

# Installs from the wheelhouse, fetching (or building, for a source-only release) into it only what
# it lacks. The wheelhouse never keeps a velora wheel: an older build of the same version there
# would stand in for the new one, with its older requirements.
# shellcheck disable=SC2016
install_function='pip_install() {
  rm -f /work/wheelhouse/velora-*.whl
  python -m pip wheel -q -w /work/wheelhouse --find-links /work/wheelhouse "$@"
  rm -f /work/wheelhouse/velora-*.whl
  python -m pip install -q --no-index --find-links /work/wheelhouse "$@"
};'

bootstrap
trap unmount_all EXIT
mount_all
copy_project
# PyPI's torch for these Pythons is a CUDA build of several GB: nothing may pull it in.
printf 'torch<0\n' >"$root/work/constraints.txt"

echo "== python$python ($suite): building the wheel (at ${SECONDS}s)"
in_chroot "
  test \"\$(python3 -c 'import sys; print(\"%d.%d\" % sys.version_info[:2])')\" = $python
  [ -x /work/venv/bin/python ] || python3 -m venv /work/venv
  pip_install $build_tools
  cd /work/src
  $build_wheel
"
echo "== python$python ($suite): installing it with the test extra (at ${SECONDS}s)"
in_chroot "
  cd /work/src
  wheel=\$(ls dist/velora-*.whl)
  python -m pip install -q --force-reinstall --no-deps \"\$wheel\"
  pip_install \"\$wheel[test]\"
  python -P -c 'import velora, sys; assert \"/site-packages/\" in velora.__file__, velora.__file__'
"
echo "== python$python ($suite): the suite (at ${SECONDS}s)"
in_chroot "cd /work/src && python -P -m pytest -q -p no:cacheprovider"
