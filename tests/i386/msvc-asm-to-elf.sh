#!/usr/bin/env bash
# Compiles a C file as the device images are compiled (clang, i686-pc-windows-msvc,
# structured exceptions) to assembly, and rewrites the few COFF-only directives so that
# the 32-bit Linux build can assemble and link it: symbol attributes and SafeSEH tables
# go, the exception tables go to .rodata, and the frame handler's COFF name is bound to
# the stand-in's _except_handler3. The code and the tables are left exactly as compiled.
#
#   msvc-asm-to-elf.sh CLANG SOURCE.c OUTPUT.s
set -euo pipefail
clang=$1 src=$2 out=$3
"$clang" --target=i686-pc-windows-msvc -march=i586 -O2 -fasync-exceptions -ffreestanding \
  -fno-stack-protector -Wall -Werror -S -o "$out.coff" "$src"
{
  grep -vE '^\s*\.(def|scl|type|endef|safeseh|addrsig|addrsig_sym|file)\b|@feat\.00|^\$' "$out.coff" |
    sed -E 's/^\s*\.section\s+\.xdata,"dr"/\t.section .rodata/'
  printf '\t.set __except_handler3, _except_handler3\n'
  printf '\t.section .note.GNU-stack,"",@progbits\n'
} >"$out"
rm -f "$out.coff"
