#!/usr/bin/env bash
# Builds the deliverables as the device's own PE images (Windows CE 5.0, x86) from the same
# sources the Linux build uses:
#
#   OUT/QSXPDD.dll   the driver library, exports exactly those of driver/QSXPDD.def
#   OUT/QSXPORT.exe  the configuration utility with the resources of utility/QSXPORT.rc
#
# Compiled with clang for i686-pc-windows-msvc against the project's platform headers with
# _WIN32_WCE defined (the device's definitions: __cdecl platform calls, 16-bit wchar_t,
# wide TEXT()), with no C runtime, no C++ exceptions or RTTI, and the compiler's structured
# exception handling. The images import only from coredll.dll and usbd.dll, by name,
# through import libraries made here from ce/lib/*.def. Everything is rebuilt each run.
#
#   scripts/build-device.sh [OUT]     (default build/device; two compiles at a time)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/device}
jobs=2
mkdir -p "$out"
out=$(cd "$out" && pwd)

CXX=clang++-14
LINK=lld-link-14
DLLTOOL=llvm-dlltool-14
RC=llvm-rc-14
OBJDUMP=llvm-objdump-14
for tool in "$CXX" "$LINK" "$DLLTOOL" "$RC" "$OBJDUMP" python3; do
  command -v "$tool" >/dev/null || { echo "build-device: $tool not found (scripts/setup.sh installs it)" >&2; exit 1; }
done

rm -rf "$out/obj" "$out/host" "$out/lib" "$out/QSXPDD.dll" "$out/QSXPORT.exe"
mkdir -p "$out/obj/driver" "$out/obj/utility" "$out/host" "$out/lib"

# The firmware images come from the generator the Linux build uses, with the same model
# list, so a real image dropped into firmware/ goes into both builds.
"$CXX" -std=c++20 -O1 -o "$out/host/qsx_mkimage" "$root/firmware/mkimage.cpp"
models=$(sed -n '/^set(QSX_FIRMWARE_MODELS/,/)/p' "$root/firmware/CMakeLists.txt" |
  tr -d '()' | sed 's/set *QSX_FIRMWARE_MODELS//' | tr -s ' \n' '\n' | grep -E '^[0-9a-fA-F]+:[0-9]+$')
[ -n "$models" ] || { echo "build-device: no firmware models in firmware/CMakeLists.txt" >&2; exit 1; }
image_args=()
for model in $models; do
  pid=${model%%:*}
  if [ -f "$root/firmware/$pid.bin" ]; then
    image_args+=("$model:$root/firmware/$pid.bin")
  else
    image_args+=("$model")
  fi
done
"$out/host/qsx_mkimage" "$out/obj/firmware_images.cpp" "${image_args[@]}"

cxxflags=(
  --target=i686-pc-windows-msvc -march=i586
  -std=c++20 -O2 -ffreestanding -nostdlibinc
  -fno-exceptions -fno-rtti -fasync-exceptions -fno-threadsafe-statics -fno-stack-protector
  -fno-ident
  -D_WIN32_WCE=0x500 -DUNDER_CE -DUNICODE -D_UNICODE
  -Wall -Wextra -Werror
  -I "$root/ce/include/devicecrt" -I "$root/ce/include/platform" -I "$root/ce/include/ceonly"
  -I "$root/driver" -I "$root/firmware" -I "$root/utility"
)

# SOURCE OBJECT pairs, compiled JOBS at a time.
compile_list=()
for f in "$root"/driver/*.cpp; do
  compile_list+=("$f" "$out/obj/driver/$(basename "${f%.cpp}").obj")
done
compile_list+=("$out/obj/firmware_images.cpp" "$out/obj/driver/firmware_images.obj")
for f in "$root"/utility/*.cpp; do
  compile_list+=("$f" "$out/obj/utility/$(basename "${f%.cpp}").obj")
done
compile_list+=("$root/ce/entry/device_entry.cpp" "$out/obj/utility/device_entry.obj")
# The flags go through a response file (one quoted argument a line) so that xargs can run
# the compiles side by side.
rsp=$out/obj/cxxflags.rsp
for flag in "${cxxflags[@]}"; do
  printf '"%s"\n' "$(printf '%s' "$flag" | sed 's/[\\"]/\\&/g')"
done >"$rsp"
export CXX rsp
printf '%s\0' "${compile_list[@]}" |
  xargs -0 -n 2 -P "$jobs" sh -c '"$CXX" @"$rsp" -c "$1" -o "$2"' sh ||
  { echo "build-device: compiling failed" >&2; exit 1; }

# Nothing may run before the entry point and the loader honours no TLS directory: refuse
# objects with constructor tables (.CRT$XC*, .CRT$XI*), TLS callbacks (.CRT$XL*) or
# thread-local data (.tls).
bad=$("$OBJDUMP" -h "$out"/obj/*/*.obj | awk '
  /file format/ { obj = $1 }
  $2 ~ /^(\.CRT\$X[CIL]|\.tls)/ { print obj " " $2 }')
if [ -n "$bad" ]; then
  echo "build-device: sections the device cannot run:" >&2
  echo "$bad" >&2
  exit 1
fi

"$DLLTOOL" -m i386 -d "$root/ce/lib/coredll.def" -l "$out/lib/coredll.lib"
"$DLLTOOL" -m i386 -d "$root/ce/lib/usbd.def" -l "$out/lib/usbd.lib"

# llvm-rc reads any argument that begins with "/" as an option, so the input goes after
# "--": a checkout under /c..., /D..., /I... would otherwise be taken for one.
"$RC" /nologo /I "$root/utility" /I "$root/ce/include/platform" /D _WIN32_WCE=0x500 \
  /fo "$out/obj/utility/QSXPORT.res" -- "$root/utility/QSXPORT.rc"

# The header's time stamp is the last commit's (or SOURCE_DATE_EPOCH), so the same sources
# give the same bytes. No default libraries, relocations kept (RAM DLLs are always
# relocated; an EXE with them loads at 0x10000), no load-config or SafeSEH table the CE
# loader would not read.
stamp=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 0)}
linkflags=(
  /nologo /machine:x86 /nodefaultlib /timestamp:"$stamp" /fixed:no
  /subsystem:windows,5.00 /dynamicbase:no /nxcompat:no /safeseh:no
  /opt:ref /opt:icf
)
"$LINK" "${linkflags[@]}" /dll /entry:DllMain /def:"$root/driver/QSXPDD.def" \
  /implib:"$out/lib/QSXPDD.lib" /out:"$out/QSXPDD.dll" \
  "$out"/obj/driver/*.obj "$out/lib/coredll.lib" "$out/lib/usbd.lib"
# The program's main thread gets the device's usual 64 KiB stack.
"$LINK" "${linkflags[@]}" /tsaware:no /stack:0x10000,0x1000 /entry:WinMainCRTStartup /out:"$out/QSXPORT.exe" \
  "$out"/obj/utility/*.obj "$out/obj/utility/QSXPORT.res" "$out/lib/coredll.lib"

python3 "$root/scripts/set-ce-subsystem.py" "$out/QSXPDD.dll" "$out/QSXPORT.exe"
echo "build-device: $out/QSXPDD.dll $out/QSXPORT.exe"
