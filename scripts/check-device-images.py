#!/usr/bin/python3
"""Checks the device images that `make device` builds against what the CE 5.0 loader and
the platform need, and against the project's own lists:

- each image: i386, PE32, subsystem 9 (CE GUI) with version 5.00, section and file
  alignment 0x1000 / 0x200, base relocations present, none of the data directories the
  loader ignores (TLS, load config, bound or delay imports, CLR) in use;
- imports only from coredll.dll and usbd.dll, by name, and only names their lists in
  ce/lib/*.def hold (so a desktop DLL, a C runtime or a decorated `Name@N` fails);
- QSXPDD.dll: a DLL whose export names are exactly those of driver/QSXPDD.def and whose
  entry point is DllMain;
- QSXPORT.exe: a program whose resources hold every dialog (caption and control ids),
  string and icon of utility/QSXPORT.rc under the ids of utility/resource.h;
- the Platform Builder `sources` files in platform/ list exactly the sources the images
  are built from.

Every finding is printed with the name it concerns; the exit status is 1 if there was
any. Needs Debian's python3-pefile.

    check-device-images.py [--root DIR] [IMAGE_DIR]   (default: build/device)
"""
import argparse
import os
import re
import struct
import sys

import pefile

WINDOWS_CE_GUI = 9
# Directories the CE loader does not read: an image must not rely on them.
IGNORED_DIRECTORIES = {
    'IMAGE_DIRECTORY_ENTRY_TLS': 'TLS directory (thread-local storage)',
    'IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG': 'load-config directory',
    'IMAGE_DIRECTORY_ENTRY_BOUND_IMPORT': 'bound-import directory',
    'IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT': 'delay-import directory',
    'IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR': 'CLR directory',
}
RT_ICON, RT_DIALOG, RT_STRING, RT_GROUP_ICON = 3, 5, 6, 14
DS_SETFONT = 0x40
# Identifiers the resource script may use besides those of resource.h.
PLATFORM_IDS = {'IDOK': 1, 'IDCANCEL': 2, 'IDABORT': 3, 'IDRETRY': 4, 'IDIGNORE': 5,
                'IDYES': 6, 'IDNO': 7, 'IDC_STATIC': -1}


# ---- the project's lists -------------------------------------------------------------

def read_def(path):
    """The LIBRARY name (lower case, or None) and the EXPORTS names of a .def file."""
    library, names, in_exports = None, [], False
    with open(path, encoding='utf-8') as f:
        for raw in f:
            line = raw.split(';', 1)[0].strip()
            if not line:
                continue
            word = line.split()[0]
            if word.upper() == 'LIBRARY':
                parts = line.split()
                library = parts[1].lower() if len(parts) > 1 else None
                in_exports = False
            elif word.upper() == 'EXPORTS':
                in_exports = True
            elif in_exports:
                names.append(word.split('=', 1)[0])
    return library, names


def read_header_ids(path):
    ids = {}
    with open(path, encoding='utf-8') as f:
        for line in f:
            m = re.match(r'\s*#define\s+(\w+)\s+(-?(?:0x[0-9A-Fa-f]+|\d+))\b', line)
            if m:
                ids[m.group(1)] = int(m.group(2), 0)
    return ids


def rc_string(literal):
    """The text of a resource-script string literal (without its quotes)."""
    out, i = [], 0
    escapes = {'n': '\n', 'r': '\r', 't': '\t', 'a': '\a', '\\': '\\', '0': '\0', '"': '"'}
    while i < len(literal):
        c = literal[i]
        if c == '\\' and i + 1 < len(literal):
            out.append(escapes.get(literal[i + 1], '\\' + literal[i + 1]))
            i += 2
        elif c == '"' and literal[i + 1:i + 2] == '"':
            out.append('"')
            i += 2
        else:
            out.append(c)
            i += 1
    return ''.join(out)


def tokenize_rc(text):
    """Statements of a resource script as lists of tokens, one list a line; strings stay
    quoted, comments and preprocessor lines are dropped."""
    text = re.sub(r'/\*.*?\*/', ' ', text, flags=re.S)
    lines = []
    for line in text.splitlines():
        line = strip_comment(line)
        if line.strip().startswith('#') or not line.strip():
            continue
        lines.append(re.findall(r'"(?:[^"]|"")*"|[^\s,]+', line))
    return lines


def strip_comment(line):
    in_string = False
    for i, c in enumerate(line):
        if c == '"':
            in_string = not in_string
        elif not in_string and line.startswith('//', i):
            return line[:i]
    return line


# Controls whose first operand is their text; the others start with the id.
TEXT_CONTROLS = {'LTEXT', 'RTEXT', 'CTEXT', 'PUSHBUTTON', 'DEFPUSHBUTTON', 'CHECKBOX',
                 'AUTOCHECKBOX', 'STATE3', 'AUTO3STATE', 'RADIOBUTTON', 'AUTORADIOBUTTON',
                 'GROUPBOX', 'PUSHBOX', 'ICON', 'CONTROL'}
ID_CONTROLS = {'EDITTEXT', 'COMBOBOX', 'LISTBOX', 'SCROLLBAR'}


def read_script(rc_path, ids):
    """Dialogs {key: {'caption', 'controls': [(id, text or None)]}}, strings {id: text}
    and icons {id: file} of the script; keys are numbers, or upper-case names."""
    def resolve(token):
        if re.fullmatch(r'-?(0x[0-9A-Fa-f]+|\d+)', token):
            return int(token, 0)
        if token in ids:
            return ids[token]
        if token in PLATFORM_IDS:
            return PLATFORM_IDS[token]
        return None

    def key(token):
        value = resolve(token)
        return value if value is not None else token.upper()

    with open(rc_path, encoding='utf-8') as f:
        lines = tokenize_rc(f.read())
    dialogs, strings, icons, problems = {}, {}, {}, []
    i = 0
    while i < len(lines):
        tokens = lines[i]
        if len(tokens) >= 3 and tokens[1].upper() == 'ICON':
            icons[key(tokens[0])] = rc_string(tokens[2].strip('"'))
            i += 1
        elif len(tokens) >= 2 and tokens[1].upper() in ('DIALOG', 'DIALOGEX'):
            dialog = {'caption': None, 'controls': []}
            dialogs[key(tokens[0])] = dialog
            i += 1
            while i < len(lines) and lines[i][0].upper() not in ('BEGIN', '{'):
                if lines[i][0].upper() == 'CAPTION':
                    dialog['caption'] = rc_string(lines[i][1][1:-1])
                i += 1
            i += 1
            while i < len(lines) and lines[i][0].upper() not in ('END', '}'):
                control = lines[i]
                kind = control[0].upper()
                if kind in TEXT_CONTROLS and len(control) >= 3:
                    text, id_token = rc_string(control[1][1:-1]), control[2]
                elif kind in ID_CONTROLS and len(control) >= 2:
                    text, id_token = None, control[1]
                else:
                    problems.append(f'{rc_path}: cannot read control line {" ".join(control)}')
                    i += 1
                    continue
                value = resolve(id_token)
                if value is None:
                    problems.append(f'{rc_path}: control id {id_token} is not in resource.h')
                else:
                    dialog['controls'].append((value & 0xFFFF, text))
                i += 1
            i += 1
        elif tokens[0].upper() == 'STRINGTABLE':
            i += 1
            while i < len(lines) and lines[i][0].upper() not in ('BEGIN', '{'):
                i += 1
            i += 1
            while i < len(lines) and lines[i][0].upper() not in ('END', '}'):
                entry = lines[i]
                value = resolve(entry[0])
                if value is None or len(entry) < 2:
                    problems.append(f'{rc_path}: string id {entry[0]} is not in resource.h')
                else:
                    strings[value] = rc_string(entry[1][1:-1])
                i += 1
            i += 1
        else:
            i += 1
    return dialogs, strings, icons, problems


# ---- the image -----------------------------------------------------------------------

def check_headers(pe, name, want_dll, errors):
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    if fh.Machine != 0x14C:
        errors.append(f'{name}: machine 0x{fh.Machine:X}, not i386 (0x14C)')
    if oh.Magic != 0x10B:
        errors.append(f'{name}: optional header magic 0x{oh.Magic:X}, not PE32')
    if oh.Subsystem != WINDOWS_CE_GUI:
        errors.append(f'{name}: subsystem {oh.Subsystem}, not {WINDOWS_CE_GUI} (Windows CE GUI)')
    version = (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion)
    if version != (5, 0):
        errors.append(f'{name}: subsystem version {version[0]}.{version[1]:02d}, not 5.00')
    if (oh.SectionAlignment, oh.FileAlignment) != (0x1000, 0x200):
        errors.append(f'{name}: alignment 0x{oh.SectionAlignment:X}/0x{oh.FileAlignment:X}, '
                      'not 0x1000/0x200')
    is_dll = bool(fh.Characteristics & 0x2000)
    if is_dll != want_dll:
        errors.append(f'{name}: {"a DLL" if is_dll else "a program"}, expected '
                      f'{"a DLL" if want_dll else "a program"}')
    if oh.AddressOfEntryPoint == 0:
        errors.append(f'{name}: no entry point')
    directories = {d.name: d for d in oh.DATA_DIRECTORY}
    reloc = directories['IMAGE_DIRECTORY_ENTRY_BASERELOC']
    if fh.Characteristics & 0x0001 or reloc.Size == 0 or not getattr(pe, 'DIRECTORY_ENTRY_BASERELOC', None):
        errors.append(f'{name}: no base relocations (the device relocates it)')
    for entry, what in IGNORED_DIRECTORIES.items():
        d = directories.get(entry)
        if d is not None and (d.VirtualAddress or d.Size):
            errors.append(f'{name}: has a {what}, which the device does not honour')


def check_imports(pe, name, allowed, errors):
    for descriptor in getattr(pe, 'DIRECTORY_ENTRY_IMPORT', []):
        dll = descriptor.dll.decode('ascii', 'replace')
        names = allowed.get(dll.lower())
        if names is None:
            symbols = ', '.join(i.name.decode('ascii', 'replace') if i.name else f'#{i.ordinal}'
                                for i in descriptor.imports)
            errors.append(f'{name}: imports {symbols} from {dll}, which is not coredll.dll '
                          'or usbd.dll')
            continue
        for imp in descriptor.imports:
            if imp.name is None:
                errors.append(f'{name}: imports ordinal {imp.ordinal} of {dll}; imports go by name')
                continue
            symbol = imp.name.decode('ascii', 'replace')
            if '@' in symbol:
                errors.append(f'{name}: imports the decorated name {symbol} from {dll}')
            elif symbol not in names:
                errors.append(f'{name}: imports {symbol} from {dll}, which is not in its list')


def check_exports(pe, name, wanted, errors):
    directory = getattr(pe, 'DIRECTORY_ENTRY_EXPORT', None)
    symbols = directory.symbols if directory else []
    found, addresses = [], {}
    for symbol in symbols:
        if symbol.name is None:
            # An unused slot of the address table is no export.
            if symbol.address:
                errors.append(f'{name}: exports ordinal {symbol.ordinal} without a name')
            continue
        export = symbol.name.decode('ascii', 'replace')
        found.append(export)
        addresses[export] = symbol.address
        if symbol.forwarder:
            errors.append(f'{name}: export {export} is forwarded')
        elif not symbol.address:
            errors.append(f'{name}: export {export} has no address')
    for missing in sorted(set(wanted) - set(found)):
        errors.append(f'{name}: missing export {missing}')
    for extra in sorted(set(found) - set(wanted)):
        errors.append(f'{name}: exports {extra}, which QSXPDD.def does not list')
    # Without a C runtime the loader calls DllMain itself.
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    if 'DllMain' in addresses and addresses['DllMain'] != entry:
        errors.append(f'{name}: entry point 0x{entry:X} is not DllMain (0x{addresses["DllMain"]:X})')


def resources(pe):
    """{(type, name): bytes} of the first language of every resource; names are numbers,
    or upper-case strings."""
    table = {}
    root = getattr(pe, 'DIRECTORY_ENTRY_RESOURCE', None)
    if root is None:
        return table
    for rtype in root.entries:
        type_key = rtype.id if rtype.name is None else str(rtype.name).upper()
        for rname in rtype.directory.entries:
            name_key = rname.id if rname.name is None else str(rname.name).upper()
            lang = rname.directory.entries[0]
            data = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
            table[(type_key, name_key)] = data
    return table


def read_sz_or_ord(data, offset):
    """A dialog template's name-or-ordinal field: (value, offset after it)."""
    first = struct.unpack_from('<H', data, offset)[0]
    if first == 0xFFFF:
        return struct.unpack_from('<H', data, offset + 2)[0], offset + 4
    chars = []
    while True:
        c = struct.unpack_from('<H', data, offset)[0]
        offset += 2
        if c == 0:
            return ''.join(chars), offset
        chars.append(chr(c))


def parse_dialog(data):
    """Caption and [(id, text)] of a DLGTEMPLATE (or DLGTEMPLATEEX)."""
    extended = struct.unpack_from('<HH', data, 0) == (1, 0xFFFF)
    if extended:
        _, _, _, _, style, count = struct.unpack_from('<HHIII H', data, 0)[:6]
        offset = 26
    else:
        style, _, count = struct.unpack_from('<IIH', data, 0)
        offset = 18
    _, offset = read_sz_or_ord(data, offset)  # menu
    _, offset = read_sz_or_ord(data, offset)  # class
    caption, offset = read_sz_or_ord(data, offset)
    if style & DS_SETFONT:
        offset += 6 if extended else 2
        _, offset = read_sz_or_ord(data, offset)
    controls = []
    for _ in range(count):
        offset = (offset + 3) & ~3
        if extended:
            control_id = struct.unpack_from('<I', data, offset + 20)[0]
            offset += 24
        else:
            control_id = struct.unpack_from('<H', data, offset + 16)[0]
            offset += 18
        _, offset = read_sz_or_ord(data, offset)  # class
        text, offset = read_sz_or_ord(data, offset)
        extra = struct.unpack_from('<H', data, offset)[0]
        offset += 2 + extra
        controls.append((control_id & 0xFFFF, text))
    return caption, controls


def string_of(table, string_id):
    block = table.get((RT_STRING, (string_id >> 4) + 1))
    if block is None:
        return None
    offset = 0
    for index in range(16):
        length = struct.unpack_from('<H', block, offset)[0]
        text = block[offset + 2:offset + 2 + 2 * length].decode('utf-16-le')
        if index == (string_id & 15):
            return text if length else None
        offset += 2 + 2 * length
    return None


def ico_images(path):
    with open(path, 'rb') as f:
        data = f.read()
    _, kind, count = struct.unpack_from('<HHH', data, 0)
    if kind != 1:
        raise ValueError(f'{path} is not an icon file')
    images = []
    for n in range(count):
        size, offset = struct.unpack_from('<II', data, 6 + 16 * n + 8)
        images.append(data[offset:offset + size])
    return images


def label(key):
    return str(key) if isinstance(key, int) else f'"{key}"'


def check_resources(pe, name, rc_path, ids, errors):
    dialogs, strings, icons, problems = read_script(rc_path, ids)
    errors.extend(problems)
    if not dialogs or not strings or not icons:
        errors.append(f'{rc_path}: read no dialogs, strings or icons from the script')
    table = resources(pe)
    for key, script in dialogs.items():
        data = table.get((RT_DIALOG, key))
        if data is None:
            errors.append(f'{name}: no dialog {label(key)}')
            continue
        caption, controls = parse_dialog(data)
        if script['caption'] is not None and caption != script['caption']:
            errors.append(f'{name}: dialog {label(key)} caption {caption!r}, '
                          f'the script says {script["caption"]!r}')
        if [c[0] for c in controls] != [c[0] for c in script['controls']]:
            errors.append(f'{name}: dialog {label(key)} control ids {[c[0] for c in controls]}, '
                          f'the script says {[c[0] for c in script["controls"]]}')
        for (cid, text), (_, want) in zip(controls, script['controls']):
            if want is not None and text != want:
                errors.append(f'{name}: dialog {label(key)} control {cid} text {text!r}, '
                              f'the script says {want!r}')
    for string_id, want in strings.items():
        text = string_of(table, string_id)
        if text is None:
            errors.append(f'{name}: no string {string_id}')
        elif text != want:
            errors.append(f'{name}: string {string_id} is {text!r}, the script says {want!r}')
    for key, file_name in icons.items():
        group = table.get((RT_GROUP_ICON, key))
        if group is None:
            errors.append(f'{name}: no icon {label(key)}')
            continue
        images = ico_images(os.path.join(os.path.dirname(rc_path), file_name))
        count = struct.unpack_from('<H', group, 4)[0]
        if count != len(images):
            errors.append(f'{name}: icon {label(key)} has {count} images, {file_name} has {len(images)}')
        for n in range(min(count, len(images))):
            icon_id = struct.unpack_from('<H', group, 6 + 14 * n + 12)[0]
            if table.get((RT_ICON, icon_id)) != images[n]:
                errors.append(f'{name}: icon {label(key)} image {n} (resource {icon_id}) '
                              f'differs from {file_name}')


def read_sources_file(path):
    """The macros of a Platform Builder `sources` file: {NAME: value}, continuation lines
    joined, comments dropped."""
    macros, text = {}, []
    with open(path, encoding='utf-8') as f:
        for raw in f:
            line = raw.split('#', 1)[0].rstrip()
            text.append(line)
    joined = re.sub(r'\\\n', ' ', '\n'.join(text))
    for line in joined.splitlines():
        m = re.match(r'\s*(\w+)\s*=(.*)$', line)
        if m:
            macros[m.group(1)] = m.group(2).split()
    return macros


def check_platform_builder(root, errors):
    components = (
        ('driver', ['firmware_images.cpp'], ('DEFFILE', r'..\..\driver\QSXPDD.def')),
        ('utility', [r'..\..\utility\QSXPORT.rc'], None),
    )
    for folder, extra, setting in components:
        path = os.path.join(root, 'platform', folder, 'sources')
        if not os.path.isfile(path):
            errors.append(f'platform/{folder}/sources: missing')
            continue
        macros = read_sources_file(path)
        listed = set(macros.get('SOURCES', []))
        wanted = {'..\\..\\' + folder + '\\' + f for f in os.listdir(os.path.join(root, folder))
                  if f.endswith('.cpp')} | set(extra)
        for missing in sorted(wanted - listed):
            errors.append(f'platform/{folder}/sources: does not list {missing}')
        for stray in sorted(listed - wanted):
            errors.append(f'platform/{folder}/sources: lists {stray}, which is not a source of {folder}/')
        if setting and macros.get(setting[0]) != [setting[1]]:
            errors.append(f'platform/{folder}/sources: {setting[0]} is not {setting[1]}')


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('image_dir', nargs='?', default=None)
    parser.add_argument('--root', default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    args = parser.parse_args(argv[1:])
    root = args.root
    image_dir = args.image_dir or os.path.join(root, 'build', 'device')

    allowed = {}
    for def_file in ('coredll.def', 'usbd.def'):
        library, names = read_def(os.path.join(root, 'ce', 'lib', def_file))
        allowed[library] = set(names)
    _, driver_exports = read_def(os.path.join(root, 'driver', 'QSXPDD.def'))
    ids = read_header_ids(os.path.join(root, 'utility', 'resource.h'))

    errors = []
    for image, is_dll in (('QSXPDD.dll', True), ('QSXPORT.exe', False)):
        path = os.path.join(image_dir, image)
        if not os.path.isfile(path):
            errors.append(f'{image}: not found in {image_dir} (run make device)')
            continue
        try:
            pe = pefile.PE(path)
        except pefile.PEFormatError as e:
            errors.append(f'{image}: not a PE image ({e})')
            continue
        check_headers(pe, image, is_dll, errors)
        check_imports(pe, image, allowed, errors)
        if is_dll:
            check_exports(pe, image, driver_exports, errors)
        else:
            check_resources(pe, image, os.path.join(root, 'utility', 'QSXPORT.rc'), ids, errors)

    check_platform_builder(root, errors)

    for e in errors:
        print(f'device image check: {e}', file=sys.stderr)
    if errors:
        print(f'device image check: {len(errors)} problem(s)', file=sys.stderr)
        return 1
    print('device image check: QSXPDD.dll and QSXPORT.exe are CE 5.0 x86 images as listed')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
