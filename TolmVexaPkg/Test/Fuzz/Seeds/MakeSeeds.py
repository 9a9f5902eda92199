#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Writes the seed corpora of the fuzz targets (one folder per target, beside
this script) from the controller's well-formed messages and their documented
near misses. The input layouts are those described at the top of each target's
source file and in FuzzBed.h. Files named found-* are inputs that once failed,
kept as regression seeds; this script leaves them alone. Run it again after
changing a layout:

    python3 TolmVexaPkg/Test/Fuzz/Seeds/MakeSeeds.py
"""

import os
import struct
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))

X509_GUID = uuid.UUID("a5c059a1-94e4-4aa7-87b5-ab155c2bf072").bytes_le
DEFAULT_OWNER = uuid.UUID("f3f39104-7d8c-4fce-80bc-40d040be7ae4").bytes_le


def le16(v):
    return struct.pack("<H", v)


def le32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def der(length, seed):
    """A DER-looking certificate of `length` bytes."""
    body = bytes((seed + 7 * i) & 0xFF for i in range(length))
    if length >= 4:
        body = b"\x30\x82" + le16(length - 4)[::-1] + body[4:]
    return body


def stored(cert):
    """A slot's value: one X.509 signature list with the default owner."""
    return X509_GUID + le32(44 + len(cert)) + le32(0) + le32(16 + len(cert)) + DEFAULT_OWNER + cert


def frame(response, status=0, completion=None, no_buffer=False, size=None, store_nothing=False):
    """One Vexa answer (FuzzBed.h)."""
    flags = status & 0x03
    extra = b""
    if completion is not None:
        flags |= 0x04
        extra += le16(completion)
    if no_buffer:
        flags |= 0x08
    if size is not None:
        flags |= 0x10
        extra += le32(size)
    if store_nothing:
        flags |= 0x20
    return bytes([flags]) + le16(len(response)) + extra + response


def pending_list(records, declared=None):
    body = b"".join(records)
    return b"\xA0\x00" + le32(len(body) if declared is None else declared) + body


def record(task, slot, op, size=0):
    return bytes([task, slot, op]) + le16(size) + b"\x00"


def import_cert(slot, cert, declared=None):
    return b"\xA2\x00" + le32(len(cert) if declared is None else declared) + le16(slot) + cert


def pending_tasks():
    c900, c16 = der(900, 1), der(16, 2)
    c310, c400 = der(310, 3), der(400, 4)
    head = bytes([0, 0, 0])          # empty store, no failure injected
    return {
        "import-slot1-900": head + frame(pending_list([record(9, 1, 0xAA, 900)])) + frame(import_cert(1, c900)),
        "import-then-delete-slot3": head + frame(pending_list([record(9, 3, 0xAA, 900), record(9, 3, 0xAB)]))
                                    + frame(import_cert(3, c900)),
        "two-records-and-stray-byte": bytes([0x02, 0, 0])
                                      + frame(b"\xA0\x00" + le32(13) + record(9, 1, 0xAA, 16) + record(9, 2, 0xAB) + b"\x77")
                                      + frame(import_cert(1, c16)),
        "empty-list": head + frame(pending_list([])),
        "list-size-too-small": head + frame(b"\xA0\x00" + le32(1)),
        "completion-code-c1": head + frame(pending_list([record(9, 1, 0xAA, 900)]), completion=0xC1),
        "invalid-records": bytes([0x01, 0, 0]) + frame(pending_list([record(9, 7, 0xAB), record(9, 1, 0xAC), record(5, 1, 0xAB)])),
        "imports-1-3-delete-2": bytes([0x02, 0, 0])
                                + frame(pending_list([record(9, 1, 0xAA, 310), record(9, 2, 0xAB), record(9, 3, 0xAA, 400), record(9, 9, 0xAA, 16)]))
                                + frame(import_cert(1, c310)) + frame(import_cert(3, c400)),
        "wrong-index": head + frame(pending_list([record(9, 2, 0xAA, 16)])) + frame(import_cert(0x0102, c16)),
        "refusing-store": bytes([0x10, 0, 0]) + frame(pending_list([record(9, 1, 0xAA, 16)])) + frame(import_cert(1, c16)),
    }


def import_cert_seeds():
    c900, c16 = der(900, 5), der(16, 6)

    def head(slot, size, flags=0):
        return bytes([slot]) + le16(size) + bytes([flags])

    return {
        "good-900": head(1, 900) + frame(import_cert(1, c900)),
        "size-65536-plus-n": head(1, 16) + frame(import_cert(1, c16, declared=0x10000 + 16)),
        "index-0x0102": head(2, 16) + frame(import_cert(0x0102, c16)),
        "one-byte-short": head(3, 16) + frame(import_cert(3, c16)[:-1]),
        "completion-code": head(4, 16) + frame(import_cert(4, c16), completion=0xC1),
        "no-buffer": head(1, 16) + frame(b"", no_buffer=True, size=24),
        "null-buffer": head(1, 16, 0x01) + frame(import_cert(1, c16)),
    }


def sync_seeds():
    ack = frame(b"\xA1")

    def slot(value=None, fail=None):
        mode = 0
        if value is not None:
            mode |= 1
        if fail is not None:
            mode |= 2 | (fail << 2)
        return bytes([mode]) + (le16(len(value)) + value if value is not None else b"")

    empty = slot() * 4
    return {
        "empty-store": empty + b"\x00" + ack,
        "slots-1-and-3": slot(stored(der(310, 7))) + slot() + slot(stored(der(400, 8))) + slot() + b"\x00" + ack,
        "all-four": b"".join(slot(stored(der(100 + 50 * i, i))) for i in range(4)) + b"\x00" + ack,
        "slot2-read-fails": slot(stored(der(64, 9))) + slot(stored(der(64, 10)), fail=0) + slot() + slot() + b"\x00" + ack,
        "every-read-fails": b"".join(slot(stored(der(32, i)), fail=i) for i in range(4)) + b"\x00" + ack,
        "short-values": slot(b"\x01") + slot(stored(b"")) + slot(stored(b"")[:43]) + slot(stored(b"\x30")) + b"\x00" + ack,
        "transport-fails": slot(stored(der(64, 11))) + slot() * 3 + b"\x00" + frame(b"", status=1, store_nothing=True),
        "completion-code": slot(stored(der(64, 12))) + slot() * 3 + b"\x00" + frame(b"\xA1", completion=0xC1),
    }


def debug_print_seeds():
    def a(text):
        return le16(len(text)) + text

    def message(level, index, args):
        return struct.pack("<Q", level) + bytes([index]) + args

    head = bytes([1]) + le32(0xFFFFFFFF) + le32(0x80000042)
    ipmi = message(0x80000000, 7, a(b"GetImportCert") + le32(120) + struct.pack("<Q", 0x8000000000000007) + le32(0) + le32(0x388))
    long = message(0x80000000, 1, a(bytes(0x61 + i % 26 for i in range(300))))
    name = "HttpsCertDev1".encode("utf-16-le")
    enrol = message(0x40, 13, a(b"TolmEnrollX509toVariable") + le16(len(name) // 2) + name
                    + struct.pack("<Q", 0x7F001000) + le32(1084) + DEFAULT_OWNER)
    return {
        "ipmi-status": head + ipmi,
        "long-string": head + long + ipmi,
        "wide-string-and-guid": head + enrol,
        "no-interface-info-filtered": bytes([0]) + le32(0) + le32(0x80000000) + enrol + ipmi,
    }


def main():
    targets = {
        "pending_tasks_fuzz": pending_tasks(),
        "import_cert_fuzz": import_cert_seeds(),
        "sync_fuzz": sync_seeds(),
        "debug_print_fuzz": debug_print_seeds(),
    }
    for target, seeds in targets.items():
        folder = os.path.join(HERE, target)
        os.makedirs(folder, exist_ok=True)
        for name in os.listdir(folder):
            if not name.startswith("found-"):
                os.remove(os.path.join(folder, name))
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as out:
                out.write(data)
        print(f"{target}: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
