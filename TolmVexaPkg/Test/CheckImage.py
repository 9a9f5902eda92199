#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Checks that a file is what the DXE dispatcher loads for this driver: a
PE32+ image for x64 whose subsystem is EFI boot-service driver. With --elf,
also that the linked ELF image it was made from (EDK II's .dll) carries no
unwind or exception tables (.eh_frame, .gcc_except_table): the firmware has
no C++ runtime, so their presence means the C++ flags did not reach the
compiler.

  CheckImage.py [IMAGE.efi] [--elf IMAGE.dll]
"""
import struct
import sys

IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B
EFI_BOOT_SERVICE_DRIVER = 11


def check(path):
    try:
        data = open(path, 'rb').read()
    except OSError as error:
        return '%s: %s (run scripts/build.sh)' % (path, error.strerror)
    if len(data) < 0x40 or data[:2] != b'MZ':
        return '%s: no DOS header' % path
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    if data[pe:pe + 4] != b'PE\0\0':
        return '%s: no PE signature at 0x%x' % (path, pe)
    machine = struct.unpack_from('<H', data, pe + 4)[0]
    magic = struct.unpack_from('<H', data, pe + 24)[0]
    subsystem = struct.unpack_from('<H', data, pe + 24 + 68)[0]
    if machine != IMAGE_FILE_MACHINE_AMD64:
        return '%s: machine 0x%x, not x64' % (path, machine)
    if magic != PE32_PLUS_MAGIC:
        return '%s: optional header magic 0x%x, not PE32+' % (path, magic)
    if subsystem != EFI_BOOT_SERVICE_DRIVER:
        return '%s: subsystem %d, not EFI boot-service driver (11)' % (path, subsystem)
    print('%s: PE32+ x64, EFI boot-service driver, %d bytes' % (path, len(data)))
    return None


FORBIDDEN_SECTIONS = ('.eh_frame', '.gcc_except_table')


def check_elf(path):
    try:
        data = open(path, 'rb').read()
    except OSError as error:
        return '%s: %s (run scripts/build.sh)' % (path, error.strerror)
    if data[:4] != b'\x7fELF' or data[4] != 2:
        return '%s: not a 64-bit ELF file' % path
    shoff = struct.unpack_from('<Q', data, 0x28)[0]
    shentsize, shnum, shstrndx = struct.unpack_from('<HHH', data, 0x3A)
    sections = [struct.unpack_from('<IIQQQQ', data, shoff + i * shentsize) for i in range(shnum)]
    strtab = sections[shstrndx][4]

    def name(offset):
        end = data.index(b'\0', strtab + offset)
        return data[strtab + offset:end].decode('latin-1')

    found = ['%s (%d bytes)' % (name(s[0]), s[5]) for s in sections if name(s[0]) in FORBIDDEN_SECTIONS and s[5] > 0]
    if found:
        return '%s: carries %s' % (path, ', '.join(found))
    print('%s: %d sections, none of %s' % (path, shnum, ', '.join(FORBIDDEN_SECTIONS)))
    return None


if __name__ == '__main__':
    args = sys.argv[1:]
    elf = []
    if '--elf' in args:
        at = args.index('--elf')
        elf, args = args[at + 1:at + 2], args[:at] + args[at + 2:]
    failures = [f for f in [check(p) for p in args] + [check_elf(p) for p in elf] if f]
    for f in failures:
        print(f, file=sys.stderr)
    sys.exit(1 if failures or not (args or elf) else 0)
