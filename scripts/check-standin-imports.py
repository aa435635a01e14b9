#!/usr/bin/env python3
"""The Linux builds of the deliverables take from the stand-in only what the device has.

The device build links QSXPDD.dll and QSXPORT.exe against import libraries made from
ce/lib/coredll.def and ce/lib/usbd.def, so a device image can only import those names. On
Linux the same sources link against the stand-in's libraries (libcoredll.so, libusbd.so),
which also export helpers of their own for tests and tools. This check holds the Linux
build to the device's lists, so that a call that links here but not on the device (a
stand-in-only helper, a call the platform's headers make inline, a registration helper
taken from the wrong library) fails here, naming it:

- every name a stand-in library exports with C linkage is in its .def, or is a helper of
  the stand-in's own (a `standin_` name; C++ helpers are in namespace standin and never
  match a platform name), or is one of the few platform calls the device's headers read
  inline and the stand-in keeps as a call (KEPT_AS_CALLS), or a C library function the
  32-bit stand-in puts itself in front of (INTERPOSED);
- every name the driver library (QSXPDD) and the utility (QSXPORT) import from a stand-in
  library is in that library's .def. Two kinds of import are the stand-in's own business
  and allowed: the explorer's scheduling hooks that the platform headers put into the
  Interlocked calls of the sanitizer builds (--explore-hooks), and the names that only the
  program's process entry and resource table use (--entry objects: on the device these are
  the image's own entry code and resource section).

Platform functions are extern "C" in the headers of both builds, so the names compare as
they stand, with no decoration on either side.

  check-standin-imports.py --library DEF=LIB... --image FILE [--image FILE...]
      [--program FILE --own OBJ... [--entry OBJ...]] [--explore-hooks]
"""
import argparse
import os
import subprocess
import sys

# The explorer's hooks (ce/include/platform/winbase.h, STANDIN_EXPLORE_HOOKS): where the
# device has the processor's locked instructions, the sanitizer builds test a flag and may
# call the explorer.
EXPLORE_HOOKS = {'standin_ExploreYield', 'standin_g_exploring'}

# Platform calls that the device's headers read from the kernel's data page, with no call
# into coredll, and that the stand-in keeps as calls for its tests and tools. Neither
# deliverable may import them.
KEPT_AS_CALLS = {'coredll': {'GetCurrentThreadId'}}

# C library functions the 32-bit stand-in puts itself in front of for the whole process:
# pthread_create, so that every thread has its own exception block at FS before it runs
# image code. No platform name; neither deliverable may import them from the stand-in.
INTERPOSED = {'coredll': {'pthread_create'}}

# Names every ELF shared object defines.
ELF_RESERVED = {'_init', '_fini', '_edata', '_end', '__bss_start'}


def read_def(path):
    """The EXPORTS names of a module-definition file."""
    names, in_exports = set(), False
    with open(path, encoding='utf-8') as f:
        for raw in f:
            line = raw.split(';', 1)[0].strip()
            if not line:
                continue
            word = line.split()[0]
            if word.upper() in ('LIBRARY', 'NAME'):
                in_exports = False
            elif word.upper() == 'EXPORTS':
                in_exports = True
            elif in_exports:
                names.add(word.split('=', 1)[0])
    return names


def nm(args, path):
    """Symbol names nm lists for `path` with `args`, without version suffixes."""
    result = subprocess.run(['nm', *args, path], capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f'check-standin-imports: nm {" ".join(args)} {path} failed: {result.stderr.strip()}')
    names = set()
    for line in result.stdout.splitlines():
        fields = line.split()
        # "ADDRESS TYPE NAME" for a definition, "TYPE NAME" for an undefined name; archive
        # member headers ("member.o:") and blank lines have neither.
        if len(fields) >= 2 and len(fields[-2]) == 1:
            names.add(fields[-1].split('@', 1)[0])
    return names


def readable(name):
    if not name.startswith('_Z'):
        return name
    demangled = subprocess.run(['c++filt', name], capture_output=True, text=True).stdout.strip()
    return f'{name} ({demangled})' if demangled and demangled != name else name


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--library', action='append', required=True, metavar='DEF=LIB',
                        help='a .def list and the stand-in library that stands for it')
    parser.add_argument('--image', action='append', default=[], help='a deliverable library')
    parser.add_argument('--program', help='the deliverable program')
    parser.add_argument('--own', action='extend', nargs='+', default=[],
                        help="the program's own objects or archives")
    parser.add_argument('--entry', action='extend', nargs='+', default=[],
                        help="the stand-in's process entry and resource objects in the program")
    parser.add_argument('--explore-hooks', action='store_true',
                        help='the build carries the explorer hooks')
    args = parser.parse_args()

    errors = []
    # name -> (library file, its .def names, its .def file)
    exporter = {}
    for pair in args.library:
        def_path, _, lib_path = pair.partition('=')
        if not lib_path:
            parser.error(f'--library {pair}: want DEF=LIB')
        listed = read_def(def_path)
        stem = os.path.splitext(os.path.basename(def_path))[0]
        lib = os.path.basename(lib_path)
        defined = nm(['-D', '--defined-only'], lib_path)
        if not defined & listed:
            errors.append(f'{lib} exports none of the names of {def_path}: not the stand-in library?')
        for name in sorted(defined):
            exporter.setdefault(name, (lib, listed, def_path))
            if (name.startswith('_Z') or name in ELF_RESERVED or name in listed or
                    name.startswith('standin_') or name in KEPT_AS_CALLS.get(stem, ()) or
                    name in INTERPOSED.get(stem, ())):
                continue
            errors.append(f'{lib} exports {name}, which the device\'s {stem}.dll does not '
                          f'({def_path})')

    def check(image, imported, excused):
        taken = 0
        for name in sorted(imported):
            if name not in exporter:
                continue  # the C library, the C++ runtime, a sanitizer
            lib, listed, def_path = exporter[name]
            taken += 1
            if name in listed or name in excused:
                continue
            errors.append(f'{image} imports {readable(name)} from {lib}, which the device does '
                          f'not export ({def_path})')
        if taken == 0:
            errors.append(f'{image} imports nothing from the stand-in: not a deliverable of this build?')
        return taken

    hooks = EXPLORE_HOOKS if args.explore_hooks else set()
    counts = []
    for image in args.image:
        counts.append((image, check(os.path.basename(image), nm(['-D', '--undefined-only'], image), hooks)))
    if args.program:
        if not args.own:
            parser.error('--program needs --own')
        own = set().union(*(nm(['--undefined-only'], p) for p in args.own))
        entry = set().union(*(nm(['--undefined-only'], p) for p in args.entry)) if args.entry else set()
        program = os.path.basename(args.program)
        imported = nm(['-D', '--undefined-only'], args.program)
        # What the program's own code needs must be imported by the program: a name it
        # needs that the program does not import would mean the wrong objects were given.
        missing = sorted(n for n in own if n in exporter and n not in imported)
        if missing:
            errors.append(f'{program} does not import {", ".join(missing)} that its own objects need')
        counts.append((args.program, check(program, imported, hooks | (entry - own))))

    if errors:
        for e in errors:
            print(f'check-standin-imports: {e}', file=sys.stderr)
        sys.exit(1)
    for image, taken in counts:
        print(f'check-standin-imports: {os.path.basename(image)}: {taken} names from the stand-in, '
              'all exports of the device')


if __name__ == '__main__':
    main()
