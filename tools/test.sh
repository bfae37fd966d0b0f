#!/usr/bin/env bash
# Builds and runs the whole test suite. As root it first installs the Debian packages the
# tests need when they are missing. Usage: tools/test.sh [preset ...]   (default: ci)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ clang valgrind libgtest-dev libgmock-dev libbenchmark-dev libssl-dev liblz4-dev
          jq tmux util-linux python3-jsonschema groff-base)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "tools/test.sh: installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "tools/test.sh: missing packages (run as root to install them): ${missing[*]}" >&2
  fi
fi

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(ci)
for preset in "${presets[@]}"; do
  echo "== $preset"
  cmake --workflow --preset "$preset"
done
