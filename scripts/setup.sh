#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when any is missing.
# Run as root on a fresh machine; as another user it only says what is missing.
set -euo pipefail

packages=(
  cmake ninja-build clang libclang-rt-14-dev lld-14 llvm-14 g++
  libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-i686 python3 python3-pefile valgrind linux-perf
  libcli11-dev libedit-dev libncurses-dev python3-serial python3-pytest tmux
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing Debian packages: ${missing[*]} (run as root, or install them)" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
