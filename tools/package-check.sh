#!/usr/bin/env bash
# Builds the Debian package from the release preset, lists it, extracts it into a temporary
# folder and runs the extracted binary's --version and a probe (the probe in a private mount
# namespace, so its tombstone lives in a private /tmp).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh
# cpack finds the binary's library dependencies with file and dpkg-shlibdeps.
ensure_packages cmake ninja-build g++ file dpkg-dev groff-base util-linux
cmake --preset release >/dev/null
cmake --build --preset release --target tallyfox
(cd build/release && cpack -G DEB >/dev/null)
deb=$(ls build/release/tallyfox_0.1.1_*.deb)
echo "== $deb"
dpkg-deb -f "$deb" Package Version Architecture Maintainer Depends
dpkg-deb -c "$deb"
dir=$(mktemp -d -p /var/tmp tfx-deb-XXXXXX)  # not under /tmp: the probe mounts its own /tmp
trap 'rm -rf "$dir"' EXIT
dpkg-deb -x "$deb" "$dir"
test -f "$dir/usr/share/man/man1/tallyfox.1"
test -f "$dir/usr/share/bash-completion/completions/tallyfox"
groff -man -ww -z docs/tallyfox.1
"$dir/usr/bin/tallyfox" --version
if [ "$(id -u)" = 0 ] && unshare --mount --propagation private true 2>/dev/null; then
  unshare --mount --propagation private bash -c 'mount -t tmpfs tmpfs /tmp && exec "$0" --probe' "$dir/usr/bin/tallyfox" </dev/null
else
  echo "probe of the packaged binary skipped: needs root and mount namespaces for a private /tmp"
  [ "${TFX_E2E_REQUIRED:-0}" != 1 ] || exit 1
fi
