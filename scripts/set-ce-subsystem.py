#!/usr/bin/env python3
"""Marks a 32-bit PE image as a Windows CE GUI program (Subsystem 9).

lld-link writes the image with /subsystem:windows,5.00 because it has no CE subsystem; the
device's loader wants Subsystem 9 and a subsystem version no higher than 5.00, and takes
any other subsystem value for a CE 1.0 program. This rewrites the one word in place and
refuses a file that is not a 32-bit x86 PE image or whose subsystem version is not 5.00.

    set-ce-subsystem.py IMAGE...
"""
import struct
import sys

IMAGE_FILE_MACHINE_I386 = 0x14C
PE32_MAGIC = 0x10B
SUBSYSTEM_OFFSET = 68          # in the optional header
SUBSYSTEM_VERSION_OFFSET = 48  # MajorSubsystemVersion, MinorSubsystemVersion
WINDOWS_CE_GUI = 9


def patch(path):
    with open(path, 'r+b') as f:
        data = bytearray(f.read())
        if data[:2] != b'MZ':
            return f'{path}: not a PE image (no MZ header)'
        pe = struct.unpack_from('<I', data, 0x3C)[0]
        if data[pe:pe + 4] != b'PE\0\0':
            return f'{path}: not a PE image (no PE signature)'
        machine = struct.unpack_from('<H', data, pe + 4)[0]
        if machine != IMAGE_FILE_MACHINE_I386:
            return f'{path}: machine 0x{machine:X}, not i386'
        opt = pe + 24
        if struct.unpack_from('<H', data, opt)[0] != PE32_MAGIC:
            return f'{path}: not a 32-bit optional header'
        major, minor = struct.unpack_from('<HH', data, opt + SUBSYSTEM_VERSION_OFFSET)
        if (major, minor) != (5, 0):
            return f'{path}: subsystem version {major}.{minor:02d}, the device needs 5.00'
        struct.pack_into('<H', data, opt + SUBSYSTEM_OFFSET, WINDOWS_CE_GUI)
        f.seek(0)
        f.write(data)
    return None


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    errors = [e for e in (patch(p) for p in argv[1:]) if e]
    for e in errors:
        print(f'set-ce-subsystem: {e}', file=sys.stderr)
    return 1 if errors else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
