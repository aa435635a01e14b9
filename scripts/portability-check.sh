#!/usr/bin/env bash
# Compiles the deliverables' sources for the device's processor (32-bit x86 Windows) with
# the mingw-w64 cross compiler, against that compiler's real windows.h plus the project's
# headers for the CE-only interfaces. Syntax only: it proves the code keeps to the
# platform's real types and signatures.
set -uo pipefail
src=${1:?source folder}
cxx=${2:-i686-w64-mingw32-g++}
if ! command -v "$cxx" >/dev/null; then
  echo "portability check: $cxx not found (scripts/setup.sh installs it)" >&2
  exit 1
fi
status=0
count=0
for f in "$src"/driver/*.cpp "$src"/utility/*.cpp; do
  [ -e "$f" ] || continue
  count=$((count + 1))
  if ! "$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -Werror -DUNICODE -D_UNICODE \
       -include "$src/scripts/mingw-compat.h" \
       -I "$src/ce/include/ceonly" -I "$src/driver" -I "$src/firmware" -I "$src/utility" "$f"; then
    echo "portability check: $f does not compile for the device" >&2
    status=1
  fi
done
echo "portability check: $count files checked"
exit $status
