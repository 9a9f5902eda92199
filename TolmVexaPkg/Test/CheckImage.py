#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Checks that a file is what the DXE dispatcher loads for this driver: a
PE32+ image for x64 whose subsystem is EFI boot-service driver.

  CheckImage.py IMAGE.efi
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


if __name__ == '__main__':
    failures = [f for f in (check(p) for p in sys.argv[1:]) if f]
    for f in failures:
        print(f, file=sys.stderr)
    sys.exit(1 if failures or len(sys.argv) < 2 else 0)
