#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The Vexa module in the real ipmi_sim, on free loopback ports.

The administrator queues requests with vexa-admin; a client of the
system-interface channel (the byte protocol QEMU's ipmi-bmc-extern speaks,
so the path the firmware's KCS requests take) runs the firmware's side of a
boot in blob sessions; over LAN (switched on for this test) ipmitool, with
the run's password and with a wrong one, is refused every blob command the
firmware uses (0xD4) and changes nothing; the BMC is restarted (LAN off, the
default; its state folder's path has a space) and must still know
everything. The simulator is stopped
however the test ends.

    simulator_test.py --module build/VexaBmc/vexa_bmc.so --work DIR
"""

import argparse
import hashlib
import os
import shutil
import socket
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
VEXA = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(VEXA, "Sim"))
from vexa_sim import BLOB_CMD, BLOB_NETFN, BLOB_OEN, VexaRefused, VexaSim, blob_crc16 as crc16, blob_raw, blob_request  # noqa: E402

ADMIN = os.path.join(VEXA, "vexa-admin")
QUERY, SEND = 0x809D, 0x009D
WRITE_PIECE, READ_PIECE = 243, 33


class SystemInterface:
    """ipmi_sim's serial channel with the "VM" codec, as QEMU speaks it:
    seq, NetFn/LUN, cmd, data, checksum, escaped, ended by 0xA0."""
    MSG, CTRL, ESC = 0xA0, 0xA1, 0xAA

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.sock.sendall(self._escape(bytes([0xFF, 1])) + bytes([self.CTRL]))  # protocol version 1
        self.seq = 0
        self.pending = bytearray()

    def _escape(self, data):
        out = bytearray()
        for b in data:
            out += bytes([self.ESC, b | 0x10]) if b in (self.MSG, self.CTRL, self.ESC) else bytes([b])
        return bytes(out)

    def _frames(self):
        while True:
            for end, b in enumerate(self.pending):
                if b in (self.MSG, self.CTRL):
                    raw, kind = self.pending[:end], b
                    del self.pending[:end + 1]
                    frame, i = bytearray(), 0
                    while i < len(raw):
                        frame.append(raw[i + 1] & ~0x10 if raw[i] == self.ESC else raw[i])
                        i += 2 if raw[i] == self.ESC else 1
                    yield kind, bytes(frame)
                    break
            else:
                chunk = self.sock.recv(4096)
                if not chunk:
                    raise EOFError("ipmi_sim closed the channel")
                self.pending += chunk

    def transact(self, netfn, cmd, data):
        """One IPMI transaction; returns the response data from the
        completion code on."""
        self.seq = (self.seq + 1) & 0xFF
        body = bytes([self.seq, netfn << 2, cmd]) + bytes(data)
        self.sock.sendall(self._escape(body + bytes([-sum(body) & 0xFF])) + bytes([self.MSG]))
        for kind, frame in self._frames():
            if kind == self.MSG and frame[:1] == bytes([self.seq]):
                check(sum(frame) & 0xFF == 0, "checksum of the answer")
                check(frame[1] == (netfn + 1) << 2 and frame[2] == cmd, "answer's NetFn/command")
                check(len(frame) - 4 <= 36 + 3, "answer within the 36 bytes measured, the OEN on top")
                return frame[3:-1]

    def blob(self, sub, payload=b""):
        """One blob transaction: (completion code, data after OEN and CRC)."""
        answer = self.transact(BLOB_NETFN, BLOB_CMD, blob_request(sub, payload))
        if answer[0] != 0:
            return answer[0], b""
        check(answer[1:4] == BLOB_OEN, "OEN in the answer")
        data = answer[6:]
        check(not data or struct.unpack_from("<H", answer, 4)[0] == crc16(data), "CRC of the answer")
        return 0, data

    def message(self, code, request):
        """The firmware's side of one message, one session: Open, Writes,
        Commit, SessionStat, Reads, Close. Returns (the Vexa's completion
        code, response, transactions)."""
        blob_id = b"/vexa/kiv/%04x\0" % code
        cc, session = self.blob(2, struct.pack("<H", 3) + blob_id)
        check(cc == 0 and len(session) == 2, "open %s" % blob_id)
        count = 1
        for at in range(0, len(request), WRITE_PIECE):
            count += 1
            check(self.blob(4, session + struct.pack("<I", at) + request[at:at + WRITE_PIECE]) == (0, b""), "write")
        check(self.blob(5, session + b"\0") == (0, b""), "commit")
        cc, stat = self.blob(9, session)
        state, length, meta_len, code = struct.unpack("<HIBB", stat)
        check(meta_len == 1 and state == (0x0B if code == 0 else 0x13), "session state %#x, code %#x" % (state, code))
        response = b""
        while len(response) < length:
            cc, piece = self.blob(3, session + struct.pack("<II", len(response), READ_PIECE))
            check(cc == 0 and 0 < len(piece) <= READ_PIECE, "read")
            response += piece
            count += 1
            if not piece:
                break
        check(self.blob(6, session) == (0, b""), "close")
        return code, response, count + 4 - 1


failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)
    return ok


def admin(port, *args):
    run = subprocess.run([sys.executable, ADMIN, "--port", str(port), *args],
                         capture_output=True, text=True, timeout=30)
    return run.returncode, run.stdout + run.stderr


def make_cert(folder, name, cn, der):
    pem = os.path.join(folder, name + ".pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-keyout", os.path.join(folder, name + ".key"), "-out", pem,
                    "-subj", "/CN=" + cn, "-days", "30"], check=True, capture_output=True)
    out = os.path.join(folder, name + ".der")
    subprocess.run(["openssl", "x509", "-in", pem, "-outform", "DER", "-out", out], check=True)
    return (out if der else pem), open(out, "rb").read()


def sync_message(records):
    payload = b"".join(struct.pack("<HI", slot, len(der)) + der for slot, der in records)
    return struct.pack("<BBIH", 0xA1, 0, len(payload), len(records)) + payload


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--module", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    ca1_file, ca1 = make_cert(args.work, "ca1", "Vexa Test CA 1", der=False)
    ca3_file, ca3 = make_cert(args.work, "ca3", "Vexa Test CA 3", der=True)
    run_dir, state_dir = os.path.join(args.work, "bmc"), os.path.join(args.work, "state dir")
    link, fifo, big = (os.path.join(args.work, n) for n in ("link.pem", "fifo.pem", "big.pem"))
    os.symlink(ca1_file, link)
    os.mkfifo(fifo)
    with open(big, "wb") as f:
        f.write(open(ca1_file, "rb").read() * (200 * 1024 // len(open(ca1_file, "rb").read())))

    with VexaSim(run_dir, module=args.module, state_dir=state_dir, lan=True) as sim:
        # The administrator's queue; refusals exit 1 with the BMC's reason.
        for argv, rc in ((("import", "1", ca1_file), 0), (("import", "3", ca3_file), 0),
                         (("delete", "2"), 0), (("inject", "09", "05", "AA", "10", "00", "00"), 0),
                         (("import", "5", ca1_file), 1), (("import", "2", "/etc/hostname"), 1),
                         (("delete", "x"), 1), (("import", "2", link), 1), (("import", "2", big), 1),
                         (("import", "2", "/proc/self/status"), 1)):
            code, text = admin(sim.console_port, *argv)
            check(code == rc, "vexa-admin %s: exit %d, %r" % (" ".join(argv), code, text))
        try:
            sim.console("vexa_import 2 " + fifo, timeout=10)
            check(False, "vexa_import of a FIFO refused")
        except VexaRefused as e:
            check("not a regular file" in str(e), "vexa_import of a FIFO refused at once: %s" % e)

        # LAN: the run's password only in files of mode 0600, never on a
        # command line; the firmware's commands refused with 0xD4, with the
        # right password and with a wrong one over RMCP+ cipher suite 0 (which
        # ipmi_sim lets in); IPMI 1.5 without authentication gets no session.
        password = open(sim.password_file).read().strip()
        for name in ("lan.conf", "lan.password"):
            check(os.stat(sim.path(name)).st_mode & 0o777 == 0o600, "%s is mode 0600" % name)
        check(password.encode() not in open("/proc/%d/cmdline" % sim.proc.pid, "rb").read(),
              "the password is not on ipmi_sim's command line")
        before = admin(sim.console_port, "show")[1]
        wrong = os.path.join(args.work, "wrong.password")
        with open(wrong, "w") as f:
            f.write("not-the-password\n")
        firmware_requests = [blob_raw(sub, payload)
                             for sub, payload in ((0, b""),                                          # GetCount
                                                  (2, struct.pack("<H", 3) + b"/vexa/kiv/809d\0"),   # Open
                                                  (4, struct.pack("<HI", 1, 0) + bytes([0xA0, 0, 0, 0, 0, 0])),
                                                  (5, struct.pack("<HB", 1, 0)),                     # Commit
                                                  (3, struct.pack("<HII", 1, 0, 32)),                # Read
                                                  (6, struct.pack("<H", 1)))]                        # Close
        for label, lan in (("lanplus -C 3, the run's password", sim.ipmitool()),
                           ("lanplus -C 0, a wrong password", sim.ipmitool(cipher="0", password_file=wrong))):
            for request in firmware_requests:
                run = subprocess.run(lan + ["raw"] + request.split(), capture_output=True, text=True, timeout=60)
                check(run.returncode != 0 and "rsp=0xd4" in run.stderr,
                      "%s: %s refused with 0xD4 (%s)" % (label, request[:24], run.stderr.strip()[-80:]))
        none = subprocess.run(["ipmitool", "-I", "lan", "-A", "NONE", "-H", "127.0.0.1", "-p", str(sim.lan_port),
                               "-U", "admin", "-f", wrong, "raw"] + firmware_requests[0].split(),
                              capture_output=True, text=True, timeout=60)
        check(none.returncode != 0 and "Unable to establish" in none.stderr and "rsp=" not in none.stderr,
              "-I lan -A NONE with a wrong password: no session (%s)" % none.stderr.strip()[-80:])
        check(admin(sim.console_port, "show")[1] == before, "the LAN requests changed nothing")

        # A boot: pending list, both certificates, a refusal, the sync.
        si = SystemInterface(sim.serial_port)
        cc, listing, _ = si.message(QUERY, bytes([0xA0, 0, 0, 0, 0, 0]))
        expected = bytes([0xA0, 0, 24, 0, 0, 0]) + struct.pack("<BBBHB", 9, 1, 0xAA, len(ca1), 0) + \
            struct.pack("<BBBHB", 9, 3, 0xAA, len(ca3), 0) + bytes([9, 2, 0xAB, 0, 0, 0, 9, 5, 0xAA, 0x10, 0, 0])
        check(cc == 0 and listing == expected, "pending list %s" % listing.hex())
        for slot, der in ((1, ca1), (3, ca3)):
            cc, answer, count = si.message(QUERY, bytes([0xA2, 0, 2, 0, 0, 0, slot, 0]))
            check(cc == 0 and answer == struct.pack("<BBIH", 0xA2, 0, len(der), slot) + der,
                  "certificate of slot %d" % slot)
            check(count == 4 + 1 + -(-(8 + len(der)) // READ_PIECE), "transactions for slot %d: %d" % (slot, count))
        check(si.message(QUERY, bytes([0xA2, 0, 2, 0, 0, 0, 5, 0]))[:2] == (0xC9, b""),
              "import certificate for slot 5 refused with 0xC9")
        check(si.message(QUERY, bytes([0xA2, 0, 2, 0, 0, 0, 2, 0]))[0] == 0xCB, "no import pending for slot 2")

        # A malformed sync changes nothing; the firmware's sync judges.
        before = admin(sim.console_port, "show")[1]
        bad = bytearray(sync_message([(1, ca1)]))
        bad[2] += 1
        check(si.message(SEND, bytes(bad))[0] == 0xCC, "sync whose sizes disagree refused with 0xCC")
        check(admin(sim.console_port, "show")[1] == before, "refused sync left the state as it was")
        other = b"\x30\x03\x02\x01\x00"
        cc, answer, _ = si.message(SEND, sync_message([(1, ca1), (3, other)]))
        check(cc == 0 and answer == b"", "sync accepted with an empty response")
        code, show = admin(sim.console_port, "show")
        for line in ("#1 import slot 1: confirmed by sync 1", "#2 import slot 3: not-applied by sync 1",
                     "#3 delete slot 2: confirmed by sync 1", "#4 injected record 09 05 AA 10 00 00: not-applied by sync 1",
                     "slot 1: %d bytes, sha256 %s, subject \"CN=Vexa Test CA 1\"" % (len(ca1), hashlib.sha256(ca1).hexdigest()),
                     "slot 2: empty", "pending requests: 0",
                     "slot 3: 5 bytes, sha256 %s, subject \"(not an X.509 certificate)\"; NOT one X.509 certificate: "
                     "HTTPS boot cannot trust it" % hashlib.sha256(other).hexdigest()):
            check(line in show, "show has %r" % line)
        cc, listing, _ = si.message(QUERY, bytes([0xA0, 0, 0, 0, 0, 0]))
        check(listing == bytes([0xA0, 0, 0, 0, 0, 0]), "second boot: empty pending list")
        si.sock.close()
        check(admin(sim.console_port, "delete", "4")[0] == 0, "queue a delete before the restart")
        before = admin(sim.console_port, "show")[1]

    # A restarted BMC keeps its pending list, the fates and the last report.
    with VexaSim(run_dir, module=args.module, state_dir=state_dir) as sim:
        check("startlan" not in open(sim.path("lan.conf")).read() and not os.path.exists(sim.password_file),
              "LAN off by default")
        check(admin(sim.console_port, "show")[1] == before, "state after a restart")
        si = SystemInterface(sim.serial_port)
        check(si.message(QUERY, bytes([0xA0, 0, 0, 0, 0, 0]))[1] == bytes([0xA0, 0, 6, 0, 0, 0, 9, 4, 0xAB, 0, 0, 0]),
              "pending list after a restart")
        check(si.message(SEND, bytes.fromhex("A1000600000001000100000000 00".replace(" ", "")))[:2] == (0, b""),
              "sync of an empty store")
        si.sock.close()

        # "check" reads the state file as a start would and changes nothing:
        # an older file differs from the state in memory, a damaged one does
        # not load and stays where it is.
        state_file = os.path.join(state_dir, "vexa-bmc.state")
        check(sim.control("check") == {"ok": True, "loads": True, "equal": True}, "check: the file loads, equal")
        saved = open(state_file, "rb").read()
        check(admin(sim.console_port, "delete", "1")[0] == 0, "queue a delete for the crash rows")
        for label, image, answer in (("older", saved, {"ok": True, "loads": True, "equal": False}),
                                     ("damaged", saved[:40] + bytes([saved[40] ^ 4]) + saved[41:],
                                      {"ok": True, "loads": False, "why": "damaged: its SHA-256 seal does not match its bytes"})):
            current = open(state_file, "rb").read()
            with open(state_file, "wb") as f:
                f.write(image)
            got = sim.control("check")
            check(got == answer and open(state_file, "rb").read() == image, "check of an %s file: %s" % (label, got))
            with open(state_file, "wb") as f:
                f.write(current)

        # crash=: the BMC dies at the K-th firmware transaction (exit status
        # 99, one log line), before handling it or after (state saved, no
        # answer); restarted on the same ports and state without it.
        ports = (sim.serial_port, sim.console_port)
        for crash, line, handed in (("before:1", "1 (before, sub-command Open)", 0),
                                    ("after:3", "3 (after, sub-command Commit)", 1)):
            sim.crash = crash
            sim.stop()
            sim.start()
            si = SystemInterface(sim.serial_port)
            try:
                si.message(QUERY, bytes([0xA0, 0, 0, 0, 0, 0]))
                check(False, "crash=%s: no answer to the pending list" % crash)
            except (EOFError, OSError):
                pass
            si.sock.close()
            try:
                status = sim.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                status = None
            log = open(sim.path("ipmi_sim.log")).read()
            check(status == 99 and sim.exited() == 99, "crash=%s: exit status %s" % (crash, status))
            check("vexa: crash at firmware transaction %s\n" % line in log, "crash=%s: log line %r" % (crash, line))
            sim.crash = None
            sim.start()
            check((sim.serial_port, sim.console_port) == ports, "crash=%s: restarted on the same ports" % crash)
            pending = [r for r in sim.control("show")["requests"] if r["fate"] in ("queued", "handed")]
            check([r["handed"] for r in pending] == [handed], "crash=%s: handed %s" % (crash, pending))
            check(sim.control("check") == {"ok": True, "loads": True, "equal": True}, "crash=%s: state loads" % crash)

    if failures:
        print("%d check(s) failed; simulator log: %s" % (len(failures), os.path.join(run_dir, "ipmi_sim.log")))
        return 1
    print("simulator test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
