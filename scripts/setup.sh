#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when any is missing.
# Run as root on a fresh machine; as another user it only says what is missing.
#
#   scripts/setup.sh [--gtest-i386 PREFIX]
#
# With --gtest-i386, it also builds GoogleTest and GoogleMock for the 32-bit x86
# configuration (cmake/i386-linux.cmake) from Debian's sources into PREFIX, unless PREFIX
# already holds them: Debian ships them for the host's architecture only.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
gtest_i386=
while [ $# -gt 0 ]; do
  case $1 in
    --gtest-i386)
      gtest_i386=${2:?--gtest-i386 needs a folder}
      mkdir -p "$(dirname "$gtest_i386")"
      gtest_i386=$(cd "$(dirname "$gtest_i386")" && pwd)/$(basename "$gtest_i386")
      shift 2 ;;
    *) echo "setup: unknown argument $1" >&2; exit 2 ;;
  esac
done

packages=(
  cmake ninja-build clang libclang-rt-14-dev lld-14 llvm-14 g++
  libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-i686 python3 python3-pefile valgrind linux-perf
  libcli11-dev libedit-dev libncurses-dev python3-serial python3-pytest tmux
  g++-multilib gcc-multilib qemu-user
  # qsxsim's line editor and terminal libraries for its 32-bit build.
  libedit-dev:i386 libncurses-dev:i386
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -ne 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing Debian packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # The :i386 packages come from the i386 archive, which apt reads only once dpkg knows
  # that architecture.
  if [[ " ${missing[*]}" == *":i386"* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The 32-bit GoogleTest goes to a folder of its own and is installed there last, so a build
# cut short is built again next time rather than taken for a finished one.
if [ -n "$gtest_i386" ] && [ ! -f "$gtest_i386/lib/cmake/GTest/GTestConfig.cmake" ]; then
  echo "setup: building the 32-bit GoogleTest into $gtest_i386"
  rm -rf "$gtest_i386.build"
  cmake -S /usr/src/googletest -B "$gtest_i386.build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i386-linux.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$gtest_i386" -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
  cmake --build "$gtest_i386.build" -j 2 >/dev/null
  cmake --install "$gtest_i386.build" >/dev/null
  rm -rf "$gtest_i386.build"
fi
