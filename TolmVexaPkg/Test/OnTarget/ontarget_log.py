#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Host side of the on-target test bed: reads the two serial logs of one OVMF
boot and checks what the target could not check itself.

  ontarget_log.py check  --group main|refusal --dir BOOTDIR --certs CERTDIR [--nodiag]
  ontarget_log.py perf   --dir BOOTDIR
  ontarget_log.py selftest

BOOTDIR holds com1.log and com2.log. The target's lines are:
  OT: CASE|PASS|FAIL <case>, OT:   ! <detail>, OT: PERF ..., "N passed, N failed"
  @HEX <tag> B <size> / D <offset> <hex> / E   (bytes: sync.<n>, <stage>.slot<n>, ...)
Everything else is the firmware's console or the driver's own console.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

ANSI = re.compile(r"\x1b\[[0-9;?=]*[A-Za-z]|\x1b[()][A-Za-z0-9]|\x1b.")
SUMMARY = re.compile(r"^(\d+) passed, (\d+) failed$")
HEX = re.compile(r"^@HEX (\S+) ([BDE])(?: (.*))?$")

# The driver's operations: a console line naming one of them is the driver's.
DRIVER_NAMES = (
    "GetBmcSupportLevel", "SendKivCommand", "GetPendingTaskList", "GetImportCert",
    "SendHttpsBootPolicy", "HandlePendingTasks", "HandlePendingImport", "HandlePendingDelete",
    "TolmEnrollX509toVariable", "TolmUpdateHttpsCert", "TolmGetHttpDevCertStr",
    "GetHttpsDeviceCertAndSyncHeader", "GetEmptyHttpsDeviceCertAndSyncHeader",
    "SyncHttpsCertToVEXA", "CreateSignatureList", "CreateTimeBasedPayload", "ASSERT [",
)
DRIVER_LINE = re.compile("|".join(re.escape(n) for n in DRIVER_NAMES))
# Continuation lines of the driver's multi-line enrolment summary.
DRIVER_CONTINUATION = re.compile(r"^   \t")

EMPTY_SYNC = bytes.fromhex("A1 00 06 00 00 00 01 00 01 00 00 00 00 00")


class Log:
    """One serial log, cleaned of terminal escapes and split into lines."""

    def __init__(self, path):
        self.path = path
        raw = open(path, "rb").read().decode("latin-1") if os.path.exists(path) else ""
        text = ANSI.sub("", raw).replace("\r", "")
        self.lines = text.split("\n")

    def target_lines(self):
        return [l for l in self.lines if l.startswith("OT: ") or SUMMARY.match(l)]

    def driver_lines(self):
        return [l for l in self.lines
                if not l.startswith(("OT: ", "@HEX "))
                and (DRIVER_LINE.search(l) or DRIVER_CONTINUATION.match(l))]

    def blobs(self):
        """Reassembles the @HEX dumps: tag -> bytes (or an error text)."""
        out, parts, sizes = {}, {}, {}
        for line in self.lines:
            m = HEX.match(line)
            if not m:
                continue
            tag, kind, rest = m.group(1), m.group(2), m.group(3) or ""
            if kind == "B":
                parts[tag], sizes[tag] = [], int(rest)
            elif kind == "D" and tag in parts:
                offset, _, digits = rest.partition(" ")
                if int(offset, 16) != sum(len(p) for p in parts[tag]):
                    out[tag] = "hex lines out of order at offset %s" % offset
                    parts.pop(tag)
                    continue
                parts[tag].append(bytes.fromhex(digits))
            elif kind == "E" and tag in parts:
                data = b"".join(parts.pop(tag))
                out[tag] = data if len(data) == sizes[tag] else \
                    "%d bytes announced, %d received" % (sizes[tag], len(data))
        for tag in parts:
            out[tag] = "dump cut off"
        return out


def read_certs(cert_dir):
    return {n: open(os.path.join(cert_dir, "cert%d.der" % n), "rb").read() for n in (1, 2, 3)}


def sync_message(certs, slots):
    payload = b"".join(n.to_bytes(2, "little") + len(certs[n]).to_bytes(4, "little") + certs[n] for n in slots)
    return b"\xA1\x00" + len(payload).to_bytes(4, "little") + len(slots).to_bytes(2, "little") + payload


def decode_sync(message):
    """Decodes a sync message record by record; raises ValueError when malformed."""
    if len(message) < 8 or message[0] != 0xA1:
        raise ValueError("not a sync message (%d bytes, first 0x%02X)" % (len(message), message[0] if message else 0))
    total = int.from_bytes(message[2:6], "little")
    count = int.from_bytes(message[6:8], "little")
    if total != len(message) - 8:
        raise ValueError("TotalSize %d, but %d payload bytes" % (total, len(message) - 8))
    records, offset = [], 8
    for _ in range(count):
        if offset + 6 > len(message):
            raise ValueError("record header beyond the message")
        slot = int.from_bytes(message[offset:offset + 2], "little")
        size = int.from_bytes(message[offset + 2:offset + 6], "little")
        der = message[offset + 6:offset + 6 + size]
        if len(der) != size:
            raise ValueError("record for slot %d cut short" % slot)
        records.append((slot, der))
        offset += 6 + size
    if offset != len(message):
        raise ValueError("%d bytes after the last record" % (len(message) - offset))
    return total, count, records


def subject(der):
    """The certificate's subject as openssl prints it, or why not."""
    with tempfile.NamedTemporaryFile(suffix=".der") as f:
        f.write(der)
        f.flush()
        r = subprocess.run(["openssl", "x509", "-inform", "DER", "-in", f.name, "-noout", "-subject"],
                           capture_output=True, text=True)
    if r.returncode != 0:
        return "(not an X.509 certificate)"
    return r.stdout.strip().removeprefix("subject=").strip()


class Checker:
    def __init__(self):
        self.passed = self.failed = 0

    def check(self, ok, name, detail=""):
        if ok:
            self.passed += 1
            print("  PASS %s" % name)
        else:
            self.failed += 1
            print("  FAIL %s%s" % (name, (": " + detail) if detail else ""))
        return ok


def check_target_verdicts(c, log, group):
    """The target's own verdict lines and closing line."""
    for line in log.target_lines():
        if line.startswith(("OT: PASS", "OT: FAIL", "OT:   !")):
            print("  target %s" % line[4:])
    summary = [SUMMARY.match(l) for l in log.lines if SUMMARY.match(l)]
    if not c.check(len(summary) == 1, "%s: target printed its closing line" % group,
                   "none: the application did not finish (see %s)" % log.path):
        return
    passed, failed = int(summary[0].group(1)), int(summary[0].group(2))
    verdicts = [l for l in log.lines if l.startswith(("OT: PASS ", "OT: FAIL "))]
    c.check(failed == 0 and passed > 0 and passed == len(verdicts),
            "%s: target checks (%d passed, %d failed)" % (group, passed, failed))


def check_consoles(c, com1, com2, group):
    """The driver's lines are the same, in the same order, on COM1 and COM2."""
    d1, d2 = com1.driver_lines(), com2.driver_lines()
    first = next((i for i, (a, b) in enumerate(zip(d1, d2)) if a != b), None)
    detail = "COM1 %d lines, COM2 %d lines" % (len(d1), len(d2))
    if first is not None:
        detail += "; first difference at driver line %d: %r vs %r" % (first + 1, d1[first], d2[first])
    c.check(len(d1) > 0 and d1 == d2, "%s: driver console identical on COM1 and COM2 (%d lines)" % (group, len(d1)), detail)
    return d1


def check_dispatch_gate(c, com1, com2, group):
    """The platform build: the DXE dispatcher started the driver during boot,
    before the shell ran the application, so its gate line comes once on each
    port, before the application's first line."""
    gate = "[GetBmcSupportLevel]: BmcType=8"
    for log in (com1, com2):
        at = [i for i, l in enumerate(log.lines) if gate in l]
        start = next((i for i, l in enumerate(log.lines) if l.startswith("OT: START")), None)
        c.check(len(at) == 1 and start is not None and at[0] < start,
                "%s: gate line once on %s, at dispatch before the application" % (group, os.path.basename(log.path)),
                "gate lines at %s, application start at %s" % (at, start))


def check_sync(c, blobs, tag, expected, what):
    got = blobs.get(tag)
    if not c.check(isinstance(got, bytes), "%s: %s received by the Vexa" % (tag, what), str(got or "not found")):
        return
    try:
        total, count, records = decode_sync(got)
    except ValueError as e:
        c.check(False, "%s: decodes record by record" % tag, str(e))
        return
    want = decode_sync(expected)
    differing = [s for (s, der), (_, w) in zip(records, want[2]) if der != w]
    c.check((total, count, records) == want,
            "%s: %d records, TotalSize %d, slots %s" % (tag, count, total, [s for s, _ in records]),
            "expected slots %s TotalSize %d%s" % ([s for s, _ in want[2]], want[0],
                                                  "; DER bytes differ for slots %s" % differing if differing else ""))


def check_group(args):
    com1, com2 = Log(os.path.join(args.dir, "com1.log")), Log(os.path.join(args.dir, "com2.log"))
    certs = read_certs(args.certs)
    c = Checker()
    check_target_verdicts(c, com1, args.group)
    blobs = com1.blobs()
    if args.group == "main":
        check_sync(c, blobs, "sync.1", sync_message(certs, (1, 3)), "slots 1 and 3")
        check_sync(c, blobs, "sync.2", EMPTY_SYNC, "one empty record")
    else:
        check_sync(c, blobs, "sync.1", EMPTY_SYNC, "one empty record")
    if args.nodiag:
        print("  NOTE driver console checks skipped: the driver is built without its own debug library")
    else:
        lines = check_consoles(c, com1, com2, args.group)
        text = "\n".join(lines)
        if args.group == "main":
            c.check(text.count("[GetBmcSupportLevel] Simics BmcType = Unknown.") == 1,
                    "main: decline on IsSimics reported once")
            c.check(text.count("[GetBmcSupportLevel]: BmcType=8") == 1, "main: support level 8 reported once")
            c.check("HandlePendingTasks: Validate Pending Task 3th record failed!" in text,
                    "main: invalid third record reported")
        else:
            c.check("GetPendingTaskList: error status returned from the KIV command." in text and
                    "Failed to sync Https certs to Vexa: (Not Found)." in text,
                    "refusal: missing transport reported by both services")
            # The firmware's own refusal status, as the target saw it.
            refusal = [l[len("OT: REFUSAL "):] for l in com1.lines if l.startswith("OT: REFUSAL ")]
            status = refusal[0] if len(refusal) == 1 else "(no refusal status from the target)"
            c.check(text.count("TolmUpdateHttpsCert: SetVariable returned (%s)" % status) == 2,
                    "refusal: both writes refused with the firmware's %s in the log" % status)
            c.check("Fail to store Certificate 1 into flash: %s!" % status in text and
                    "Fail to store Certificate 3 into flash: %s!" % status in text,
                    "refusal: failed stores of slots 1 and 3 reported with %s" % status)
    print("%s: %d passed, %d failed" % (args.group, c.passed, c.failed))
    return 0 if c.failed == 0 and c.passed > 0 else 1


def perf(args):
    com1 = Log(os.path.join(args.dir, "com1.log"))
    lines = [l[9:] for l in com1.lines if l.startswith("OT: PERF ")]
    for line in lines:
        print(line)
    return 0 if lines else 1


def selftest(_args):
    """The decoder and the log reader refuse what they must, or the host-side
    checks prove nothing."""
    der = bytes(range(40))
    good = sync_message({1: der, 3: der[:7]}, (1, 3))
    hostile = [
        ("empty", b""),
        ("wrong sub-command", b"\xA0" + good[1:]),
        ("TotalSize one too large", good[:2] + (len(good) - 7).to_bytes(4, "little") + good[6:]),
        ("CertCount one too many", good[:6] + (3).to_bytes(2, "little") + good[8:]),
        ("CertCount one too few", good[:6] + (1).to_bytes(2, "little") + good[8:]),
        ("record cut short", good[:2] + (len(good) - 9).to_bytes(4, "little") + good[6:-1]),
        ("CertSize of 2^16 + n", good[:10] + (len(der) + 0x10000).to_bytes(4, "little") + good[14:]),
    ]
    failures = 0
    try:
        if decode_sync(good) != (len(good) - 8, 2, [(1, der), (3, der[:7])]) or \
                decode_sync(EMPTY_SYNC) != (6, 1, [(1, b"")]):
            raise ValueError("well-formed messages decode wrongly")
    except ValueError as e:
        print("FAIL well-formed: %s" % e)
        failures += 1
    for name, message in hostile:
        try:
            decode_sync(message)
            print("FAIL %s: accepted" % name)
            failures += 1
        except ValueError:
            pass
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "com1.log")
        open(path, "wb").write(
            b"\x1b[0m@HEX a B 3\r\n@HEX a D 0000 0102\r\n@HEX a E\r\n"        # short
            b"@HEX b B 2\r\n@HEX b D 0001 0102\r\n@HEX b E\r\n"                # offset gap
            b"@HEX c B 2\r\n@HEX c D 0000 \x1b[1m0A0B\r\n@HEX c E\r\n"          # escapes inside
            b"@HEX d B 1\r\n@HEX d D 0000 FF\r\n")                              # cut off
        blobs = Log(path).blobs()
        expected = {"c": b"\x0a\x0b"}
        for tag in "abcd":
            if (tag in expected) != isinstance(blobs.get(tag), bytes) or (tag in expected and blobs[tag] != expected[tag]):
                print("FAIL hex dump %s: %r" % (tag, blobs.get(tag)))
                failures += 1
    print("selftest: %d hostile messages refused, %d failures" % (len(hostile), failures))
    return 1 if failures else 0


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("command", choices=("check", "perf", "selftest"))
    p.add_argument("--dir")
    p.add_argument("--certs")
    p.add_argument("--group", choices=("main", "refusal"), default="main")
    p.add_argument("--nodiag", action="store_true")
    args = p.parse_args()
    if args.command != "selftest" and not args.dir:
        p.error("--dir is required")
    if args.command == "check" and not args.certs:
        p.error("--certs is required")
    return {"check": check_group, "perf": perf, "selftest": selftest}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
