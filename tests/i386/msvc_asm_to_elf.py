#!/usr/bin/env python3
"""Compiles a source as the device images are compiled (clang for i686-pc-windows-msvc,
structured exceptions) to assembly, and rewrites the few COFF-only directives so that the
32-bit Linux build can assemble and link it beside the stand-in: symbol attributes and
SafeSEH tables go, read-only COFF sections become .rodata, and each import named with
--bind is bound to the stand-in's function of that name (COFF gives C names a leading
underscore; ELF does not). --export gives a function with a C++ decorated name a plain
name the test can declare. The code and the exception tables stay exactly as compiled.
Names not bound stay undefined for the test program to provide.

  msvc_asm_to_elf.py CLANG OUTPUT.s SOURCE [--bind NAME]... [--export DECORATED=NAME]...
                     [-- COMPILER FLAGS...]
"""
import re
import subprocess
import sys


def main(argv):
    clang, out, src, rest = argv[1], argv[2], argv[3], argv[4:]
    binds, exports, flags = [], [], []
    while rest:
        arg = rest.pop(0)
        if arg == "--bind":
            binds.append(rest.pop(0))
        elif arg == "--export":
            exports.append(rest.pop(0).split("=", 1))
        elif arg == "--":
            flags, rest = rest, []
        else:
            sys.exit(f"msvc_asm_to_elf: unexpected argument {arg}")
    subprocess.run([clang, "--target=i686-pc-windows-msvc", "-march=i586", "-O2", "-fasync-exceptions",
                    "-ffreestanding", "-fno-stack-protector", "-Wall", "-Werror", *flags, "-S", "-o", "-", src],
                   check=True, stdout=open(out + ".coff", "w"))
    dropped = re.compile(r'^\s*\.(def|scl|type|endef|safeseh|addrsig|addrsig_sym|file)\b|@feat\.00|^\$')
    section = re.compile(r'^\s*\.section\s+\.(xdata|rdata|drectve)\b.*$')
    lines = []
    for line in open(out + ".coff"):
        if dropped.search(line):
            continue
        lines.append(section.sub("\t.section .rodata", line))
    for name in binds:
        lines.append(f"\t.set _{name}, {name}\n")
    for decorated, name in exports:
        lines.append(f'\t.globl {name}\n\t.set {name}, "{decorated}"\n')
    lines.append('\t.section .note.GNU-stack,"",@progbits\n')
    with open(out, "w") as f:
        f.writelines(lines)


if __name__ == "__main__":
    main(sys.argv)
