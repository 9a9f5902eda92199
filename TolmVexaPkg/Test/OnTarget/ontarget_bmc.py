#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""BMC mode of the on-target suite: the driver in OVMF against the Vexa as a
real BMC process (ipmi_sim with the VexaBmc module), reached through QEMU's
KCS interface by KivIpmiBlobDxe (KIV over OpenBMC's blob transfer) on
IpmiKcsDxe (IPMI_PROTOCOL over KCS). The host queues the BMC's requests on its console
before each boot and checks the BMC's state after it; the target reports what
the driver did (the test application's bmc group).

  ontarget_bmc.py check   --out DIR   the scenario group (CTest ontarget.bmc)
  ontarget_bmc.py platform --out DIR  the platform build's group (CTest
                                      ontarget.platform; after ot_use_platform)
  ontarget_bmc.py measure --out DIR   transactions, bytes and time per service
  ontarget_bmc.py firmware --dir BOOTDIR [--certs DIR]
                                      one boot's firmware side, for the demo
  ontarget_bmc.py bmc --run RUNDIR [--certs DIR]
                                      the BMC's view (requests, fates, slots)
  ontarget_bmc.py verify-loop --dir BOOTDIR --run RUNDIR --certs DIR
  ontarget_bmc.py verify-quiet --dir BOOTDIR --before VIEW --after VIEW
                                      the demo's verdicts on its two boots

The group, boot by boot (one BMC, its state kept throughout; the machine's
variable store kept from boot to boot, as a server's flash):
  1 fill     imports into all four slots: a certificate above 4 KiB and three
             whose lengths sit on a Read boundary of the response and one
             byte either side; the sync of all four full is a whole number
             of Writes. Both directions span many IPMI transactions.
  2 default  the administrator's loop: import 1, delete 2, one record the
             driver must refuse, import 3; fates confirmed / not applied.
  3 restart  a delete queued, the BMC restarted: it still knows the pending
             delete and the last report; the boot applies the delete.
  4 lan      the BMC's LAN channel on (as for every boot of the group): a LAN
             client sends the firmware's commands (pending list, import
             certificate, GET, a sync of an empty store) in a loop while the
             boot imports a certificate above 20 KiB into slot 2: every LAN
             request refused with 0xD4, the boot's traffic without a retry,
             the import confirmed and every byte exact.
  5 no-bmc   no BMC process: each service fails within the transport's time
             limit, the driver reports it, the boot goes on, slots unchanged.
  5 second-client
             a BMC with the blob gate off (test-only option): while the
             firmware reads a 28 KB certificate, a LAN client (ipmitool)
             opens, writes and commits its own session of the same blob;
             the firmware's import is exact, the client's answer too.

The platform group is one boot of the platform build (OVMF with the driver,
the stand-ins, IpmiKcsDxe, KivIpmiBlobDxe and the trust driver in its DXE volume) with a BMC
attached: the driver's gate line on both ports at dispatch, its publication
(checked by the application), then the administrator's default loop against
the dispatched driver, slot 2 holding a certificate as delivered.
"""

import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True          # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(REPO, "VexaBmc", "Sim"))

from ontarget_log import SUMMARY, Checker, Log, check_consoles, check_dispatch_gate, subject  # noqa: E402
from vexa_sim import VexaSim, blob_crc16 as crc16, blob_raw, console_command  # noqa: E402

SCRIPTS = os.path.join(REPO, "scripts")

# Room per IPMI transaction through ipmi_sim's system interface
# (VexaBmc/IpmiProtocol.md, "Room per packet"): request data, and the answer
# a handler may fill (completion code included; ipmi_sim adds the OEN).
ROOM_REQUEST = 255
ROOM_RESPONSE = 36
WRITE_PIECE = ROOM_REQUEST - 12         # a Write: OEN, sub-command, CRC, session, offset
READ_PIECE = ROOM_RESPONSE - 3          # a Read answer: code, CRC (the OEN comes on top)
BLOB_FRAME = 4                          # Open, Commit, SessionStat, Close

# The KIV module's worst case for one message that gets no answer at all:
# three tries of the KCS response limit (2 s) with their recoveries. A
# service that fails within this did not hang.
TRANSPORT_LIMIT_US = 8 * 1000 * 1000

KCS = re.compile(r"^OT: KCS (\S+) (.*)$")
RESULT = re.compile(r"^OT: RESULT (\S+) (.*)$")


# ---------------------------------------------------------------------------
# Shell side: the firmware build, the FAT folder and the boot
# ---------------------------------------------------------------------------

def shell(function, *args):
    """Runs one function of scripts/ontarget-common.sh / ontarget-bmc.sh."""
    script = '. "$0/ontarget-common.sh" && . "$0/ontarget-bmc.sh" && "$@"'
    return subprocess.run(["bash", "-c", script, SCRIPTS, function, *args],
                          stdout=subprocess.PIPE, text=True)


def bmc_module():
    r = shell("ot_bmc_module")
    if r.returncode != 0:
        raise SystemExit("[ontarget] bmc: the BMC module could not be built")
    return r.stdout.strip()


def boot(out, name, vars_file, run_dir, files=()):
    """One boot, FILES put on its volume: returns (boot folder, QEMU's
    status, wall seconds)."""
    directory = os.path.join(out, name)
    os.makedirs(directory, exist_ok=True)
    fat = os.path.join(directory, "fat")
    if shell("ot_lay_fat_bmc", fat).returncode != 0:
        raise SystemExit("[ontarget] bmc: cannot lay the FAT folder (scripts/build.sh DEBUG first)")
    for path, as_name in files:
        shutil.copyfile(path, os.path.join(fat, as_name))
    start = time.monotonic()
    rc = shell("ot_boot_bmc", directory, vars_file, run_dir or "").returncode
    return directory, rc, time.monotonic() - start


# ---------------------------------------------------------------------------
# Certificates
# ---------------------------------------------------------------------------

def make_cert(directory, name, subj, key="ed25519", pad=0, pem=False):
    der = os.path.join(directory, name + ".der")
    args = ["openssl", "req", "-x509", "-newkey", key, "-nodes", "-days", "3650", "-set_serial", "1",
            "-subj", subj, "-keyout", os.path.join(directory, name + ".key"), "-outform", "DER", "-out", der]
    if pad:
        args += ["-addext", "nsComment=" + "x" * pad]
    subprocess.run(args, check=True, capture_output=True)
    if pem:
        subprocess.run(["openssl", "x509", "-inform", "DER", "-in", der, "-out",
                        os.path.join(directory, name + ".pem")], check=True)
    return der


def make_exact_cert(directory, name, subj, size):
    """A real X.509 certificate of exactly size DER bytes: an Ed25519 key
    (fixed signature length) and a comment extension padded to fit."""
    pad = 0
    for _ in range(8):
        der = make_cert(directory, name, subj, pad=pad)
        got = os.path.getsize(der)
        if got == size:
            return der
        pad += size - got
        if pad < 256:
            pad = 256
    raise SystemExit("[ontarget] bmc: no certificate of exactly %d bytes" % size)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def scenario_certs(directory):
    """The group's certificates: {name: DER bytes}.

    boundary: the 0xA2 response (8 + n bytes) fills exactly 28 Reads; below
    and above: one byte either side. big: above 4 KiB, chosen so that the
    sync of all four is a whole number of Writes."""
    os.makedirs(directory, exist_ok=True)
    boundary = 28 * READ_PIECE - 8
    sync_others = 8 + 4 * 6 + 3 * boundary
    writes = -(-(sync_others + 4096) // WRITE_PIECE)
    sizes = {"big": writes * WRITE_PIECE - sync_others, "boundary": boundary,
             "below": boundary - 1, "above": boundary + 1}
    certs = {}
    for name, size in sizes.items():
        certs[name] = read(make_exact_cert(directory, name, "/O=Tolm/CN=%s.boot.example.test" % name, size))
    certs["cert1"] = read(make_cert(directory, "cert1", "/O=Tolm/CN=boot1.example.test", "rsa:2048", pem=True))
    certs["cert3"] = read(make_cert(directory, "cert3", "/O=Tolm/OU=HTTPS Boot/CN=boot3.example.test", "rsa:3072"))
    return certs


# ---------------------------------------------------------------------------
# The two sides
# ---------------------------------------------------------------------------

class Firmware:
    """What one boot's serial console says."""

    def __init__(self, directory):
        self.dir = directory
        self.com1 = Log(os.path.join(directory, "com1.log"))
        self.com2 = Log(os.path.join(directory, "com2.log"))
        self.blobs = self.com1.blobs()
        self.kcs = {}
        self.results = {}
        for line in self.com1.lines:
            m = KCS.match(line)
            if m:
                self.kcs[m.group(1)] = {k: int(v) for k, v in (f.split("=") for f in m.group(2).split())}
            m = RESULT.match(line)
            if m:
                self.results[m.group(1)] = m.group(2)
        summary = [SUMMARY.match(l) for l in self.com1.lines if SUMMARY.match(l)]
        self.summary = summary[0] if summary else None

    def slot(self, n):
        """The DER bytes of slot n, None when empty, or an error text."""
        got = self.blobs.get("bmc.slot%d" % n)
        if isinstance(got, bytes):
            return got
        if "OT: SLOT bmc.slot%d absent" % n in self.com1.lines:
            return None
        return "slot %d not reported (%s)" % (n, got or "missing")

    def driver_lines(self):
        return self.com1.driver_lines()


REQUEST = re.compile(r"^\s*#(\d+) (?:(import|delete) slot (\d+)|injected record ([0-9A-Fa-f ]+?)): "
                     r"(queued|handed|confirmed|not[- ]applied|replaced)\b(.*)$")
REPORTED = re.compile(r"^\s*slot (\d): (?:(\d+) bytes, sha256 ([0-9a-f]{64})|empty)")
SYNCS = re.compile(r"^\s*slots as last reported: (?:sync (\d+)|no sync received)")


class Bmc:
    """The BMC's view, from its console's show command."""

    def __init__(self, text):
        self.text = text
        self.requests = {}
        self.slots = {}
        self.syncs = None
        for line in text.split("\n"):
            m = REQUEST.match(line)
            if m:
                what = "%s slot %s" % (m.group(2), m.group(3)) if m.group(2) else "record " + m.group(4)
                self.requests[int(m.group(1))] = (what, m.group(5).replace("-", " "))
            m = REPORTED.match(line)
            if m:
                self.slots[int(m.group(1))] = m.group(3)      # None: empty
            m = SYNCS.match(line)
            if m:
                self.syncs = int(m.group(1) or 0)

    @staticmethod
    def of(sim):
        return Bmc(sim.console("vexa_show"))

    @staticmethod
    def of_run(run_dir):
        """The view of the BMC whose run folder (vexa_sim.py's) is run_dir."""
        env = dict(l.strip().split("=", 1) for l in open(os.path.join(run_dir, "vexa-sim.env")) if "=" in l)
        return Bmc(console_command(int(env["VEXA_CONSOLE_PORT"]), "vexa_show"))


def sha256(der):
    return hashlib.sha256(der).hexdigest()


# ---------------------------------------------------------------------------
# Expected traffic
# ---------------------------------------------------------------------------

def transactions(request, response):
    """IPMI transactions of one message, one blob session: Open, Writes of
    WRITE_PIECE bytes, Commit, SessionStat, Reads of READ_PIECE bytes, Close."""
    return BLOB_FRAME + -(-request // WRITE_PIECE) + -(-response // READ_PIECE)


def expected_pending_traffic(records, imports):
    """(transactions, payload bytes) of HandlePendingTasks: the pending list
    (records of 6 bytes), then one 0xA2 exchange per imported certificate."""
    count = transactions(6, 6 + 6 * records)
    payload = 6 + 6 + 6 * records
    for size in imports:
        count += transactions(8, 8 + size)
        payload += 8 + 8 + size
    return count, payload


def expected_sync_traffic(slots):
    """(transactions, payload bytes) of the sync of these certificates
    (one empty record when there are none); the Vexa answers no bytes."""
    size = 8 + (sum(6 + len(d) for d in slots) if slots else 6)
    return transactions(size, 0), size


# ---------------------------------------------------------------------------
# A second client: OpenBMC blob requests over LAN with ipmitool
# ---------------------------------------------------------------------------

class SecondClient(threading.Thread):
    """A LAN client of the same blob as the firmware, one IPMI session
    (ipmitool's shell): opens its blob session once the firmware has fetched
    the pending list, commits it once the firmware committed its certificate
    request (so during the firmware's Reads), then reads its answer and
    closes."""

    HEX = re.compile(r"^\s*([0-9a-f]{2}\s*)+$")

    def __init__(self, sim, log_path):
        super().__init__(daemon=True)
        self.sim, self.log_path = sim, log_path
        self.stop = threading.Event()
        self.answers, self.response, self.error = [], b"", ""
        self.shell, self.pending = None, b""

    def until_prompt(self):
        while b"ipmitool> " not in self.pending:
            chunk = os.read(self.shell.stdout.fileno(), 4096)
            if not chunk:
                raise EOFError("ipmitool ended")
            self.pending += chunk
        out, _, self.pending = self.pending.partition(b"ipmitool> ")
        return out.decode(errors="replace")

    def blob(self, sub, payload=b""):
        self.shell.stdin.write(("raw %s\n" % blob_raw(sub, payload)).encode())
        self.shell.stdin.flush()
        out = self.until_prompt()
        m = re.search(r"rsp=0x([0-9a-f]{2})", out)
        if m:
            self.answers.append((int(m.group(1), 16), 0))
            return b""
        answer = bytes.fromhex(" ".join(l for l in out.split("\n") if self.HEX.match(l)))
        body = answer[5:]
        if answer[:3] != b"\xcf\xc2\x00" or (body and struct.unpack_from("<H", answer, 3)[0] != crc16(body)):
            self.error = "answer %s: OEN or CRC wrong" % answer.hex()
        self.answers.append((0, len(body)))
        return body

    def wait_for(self, text):
        while not self.stop.is_set():
            if os.path.exists(self.log_path) and text in open(self.log_path).read():
                return True
            time.sleep(0.05)
        return False

    def run(self):
        if not self.wait_for("pending list:"):
            return
        self.shell = subprocess.Popen(self.sim.ipmitool("shell"),
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        try:
            self.until_prompt()
            session = self.blob(2, struct.pack("<H", 3) + b"/vexa/kiv/809d\0")[:2]
            self.blob(4, session + struct.pack("<I", 0) + bytes([0xA0, 0, 0, 0, 0, 0]))
            if not self.wait_for("certificate of slot 2 handed"):
                return
            self.blob(5, session + b"\0")
            stat = self.blob(9, session)
            size = struct.unpack_from("<I", stat, 2)[0] if len(stat) >= 6 else 0
            self.response = self.blob(3, session + struct.pack("<II", 0, size))
            self.blob(6, session)
        except (OSError, EOFError, ValueError) as e:
            self.error = str(e)
        finally:
            self.shell.stdin.close()
            try:
                self.shell.wait(10)
            except subprocess.TimeoutExpired:
                self.shell.kill()
                self.shell.wait()


# ---------------------------------------------------------------------------
# Checks
# ---------------------------------------------------------------------------

def check_target(c, fw, name):
    s = fw.summary
    for line in fw.com1.lines:
        if line.startswith(("OT: FAIL", "OT:   !")):
            print("  target %s" % line[4:])
    c.check(s is not None and int(s.group(2)) == 0 and int(s.group(1)) > 0,
            "%s: target ran to its closing line without a failed case" % name,
            s.group(0) if s else "no closing line (see %s)" % fw.com1.path)


def check_slots(c, fw, name, expected):
    """expected: {slot: DER or None}."""
    for n in range(1, 5):
        got, want = fw.slot(n), expected.get(n)
        c.check(got == want, "%s: slot %d %s" % (name, n, "empty" if want is None else "holds %d bytes" % len(want)),
                got if isinstance(got, str) else "holds %s" % ("nothing" if got is None else "%d other bytes" % len(got)))


def check_traffic(c, fw, name, service, expected):
    """expected: (transactions, payload). No retry, no recovery: the BMC
    answered every transaction, and each carried as much as it could."""
    got = fw.kcs.get(service)
    if not c.check(got is not None, "%s: %s reported its transport counters" % (name, service)):
        return
    c.check((got["transactions"], got["payload"], got["retries"], got["recoveries"]) == (*expected, 0, 0),
            "%s: %s took %d IPMI transactions carrying %d message bytes" % (name, service, *expected),
            "got %d transactions, %d bytes, %d retries, %d recoveries" %
            (got["transactions"], got["payload"], got["retries"], got["recoveries"]))


def check_bmc(c, bmc, name, fates, reported, syncs):
    """fates: {id: (what, fate)} of every request the BMC holds; reported:
    {slot: DER or None} as the last sync showed them."""
    wrong = ["#%d %s: %s, expected %s" % (rid, want[0], bmc.requests.get(rid, ("", "missing"))[1], want[1])
             for rid, want in sorted(fates.items()) if bmc.requests.get(rid) != want]
    wrong += ["#%d not expected" % rid for rid in sorted(set(bmc.requests) - set(fates))]
    c.check(not wrong, "%s: BMC's %d requests and their fates (%s)" %
            (name, len(fates), ", ".join("#%d %s" % (r, f[1]) for r, f in sorted(fates.items())[-4:])),
            "; ".join(wrong))
    want = {n: (sha256(d) if d else None) for n, d in reported.items()}
    c.check(bmc.syncs == syncs and bmc.slots == want,
            "%s: BMC's last report (sync %d): slots %s" % (name, syncs, sorted(n for n, d in reported.items() if d)),
            "BMC: sync %s, %s" % (bmc.syncs, {n: (h[:12] if h else None) for n, h in bmc.slots.items()}))


def check_boot_ran(c, fw, name, rc, seconds):
    c.check(rc == 0, "%s: QEMU ended by itself (%.0f s)" % (name, seconds), "status %d (124: time limit)" % rc)
    check_target(c, fw, name)
    check_consoles(c, fw.com1, fw.com2, name)


def checked_boot(c, group, out, name, vars_file, run_dir, files=()):
    """One boot of the group, with the checks every boot gets: returns what
    the firmware logged."""
    directory, rc, seconds = boot(out, name, vars_file, run_dir, files)
    print("[ontarget] %s: %s booted in %.0f s (%s)" % (group, name, seconds, directory))
    fw = Firmware(directory)
    check_boot_ran(c, fw, name, rc, seconds)
    return fw


# The administrator's default loop: imports into slots 1 and 3, a delete of
# slot 2, and between them a record the driver must refuse (an import into
# slot 5); and the fates the BMC gives them once the firmware has synced.
DEFAULT_LOOP_FATES = [("import slot 1", "confirmed"), ("delete slot 2", "confirmed"),
                      ("record 09 05 AA 10 00 00", "not applied"), ("import slot 3", "confirmed")]


def queue_default_loop(sim, cert_dir):
    sim.console("vexa_import 1 %s" % os.path.join(cert_dir, "cert1.pem"))
    sim.console("vexa_delete 2")
    sim.console("vexa_inject 09 05 AA 10 00 00")
    sim.console("vexa_import 3 %s" % os.path.join(cert_dir, "cert3.der"))


def fresh_machine(out):
    """(variable store, BMC run folder, BMC state folder) of a machine that
    has never booted, in out."""
    paths = [os.path.join(out, n) for n in ("vars.fd", "bmc-run", "bmc-state")]
    subprocess.run(["rm", "-rf", *paths], check=True)
    return paths


def queue_four_full(sim, cert_dir):
    """Imports into all four slots: the certificate above 4 KiB and the three
    on and beside a Read boundary."""
    for slot, cert in ((1, "big"), (2, "boundary"), (3, "below"), (4, "above")):
        sim.console("vexa_import %d %s" % (slot, os.path.join(cert_dir, cert + ".der")))


# The firmware's commands as a LAN client sends them (ipmitool raw): every
# blob sub-command the firmware uses, on the query blob and a guessed session.
LAN_REQUESTS = (blob_raw(0),                                                  # GetCount
                blob_raw(1, struct.pack("<I", 0)),                            # Enumerate
                blob_raw(2, struct.pack("<H", 3) + b"/vexa/kiv/809d\0"),      # Open
                blob_raw(4, struct.pack("<HI", 1, 0) + bytes([0xA0, 0, 0, 0, 0, 0])),  # Write
                blob_raw(5, struct.pack("<HB", 1, 0)),                        # Commit
                blob_raw(9, struct.pack("<H", 1)),                            # SessionStat
                blob_raw(3, struct.pack("<HII", 1, 0, 32)),                   # Read
                blob_raw(6, struct.pack("<H", 1)))                            # Close


class LanClient:
    """Sends LAN_REQUESTS in a loop over the BMC's LAN channel (the run's
    password, from its file) until stopped; counts the answers by their
    completion code."""

    def __init__(self, sim):
        self.sim = sim
        self.answers = {}
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._loop, daemon=True)

    def _loop(self):
        while not self.stop.is_set():
            for request in LAN_REQUESTS:
                run = subprocess.run(self.sim.ipmitool("raw", *request.split()), capture_output=True, text=True,
                                     timeout=60)
                m = re.search(r"rsp=(0x[0-9a-f]+)", run.stderr)
                key = m.group(1) if m else ("0x00" if run.returncode == 0 else "no answer")
                self.answers[key] = self.answers.get(key, 0) + 1

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join(timeout=120)
        return False


def run_group(args):
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    module = bmc_module()
    print("[ontarget] bmc: certificates (openssl) -> %s/certs" % out)
    cert_dir = os.path.join(out, "certs")
    certs = scenario_certs(cert_dir)
    vars_file, run_dir, state = fresh_machine(out)
    c = Checker()
    big, boundary, below, above = certs["big"], certs["boundary"], certs["below"], certs["above"]
    print("[ontarget] bmc: certificates of %s bytes; pieces: Write %d, Read %d" %
          (", ".join("%s %d" % (n, len(d)) for n, d in certs.items()), WRITE_PIECE, READ_PIECE))

    lan20k = read(make_exact_cert(cert_dir, "lan20k", "/O=Tolm/CN=lan20k.boot.example.test", 20 * 1024 + 100))
    with VexaSim(run_dir, module=module, state_dir=state, lan=True) as sim:
        # 1. All four slots filled: many transactions either way.
        name = "1-fill"
        queue_four_full(sim, cert_dir)
        fw = checked_boot(c, "bmc", out, name, vars_file, run_dir)
        full = {1: big, 2: boundary, 3: below, 4: above}
        c.check(fw.results.get("HandlePendingTasks") == "TRUE", "%s: HandlePendingTasks returned TRUE" % name)
        c.check(fw.results.get("SyncHttpsCertToVEXA") == "Success", "%s: SyncHttpsCertToVEXA returned Success" % name,
                str(fw.results.get("SyncHttpsCertToVEXA")))
        check_slots(c, fw, name, full)
        check_traffic(c, fw, name, "HandlePendingTasks",
                      expected_pending_traffic(4, [len(d) for d in full.values()]))
        sync = expected_sync_traffic(list(full.values()))
        c.check(sync[1] % WRITE_PIECE == 0, "%s: the sync message (%d bytes) ends on a Write boundary" % (name, sync[1]))
        check_traffic(c, fw, name, "SyncHttpsCertToVEXA", sync)
        check_bmc(c, Bmc.of(sim), name, {1: ("import slot 1", "confirmed"), 2: ("import slot 2", "confirmed"),
                                          3: ("import slot 3", "confirmed"), 4: ("import slot 4", "confirmed")},
                  full, 1)

        # 2. The administrator's loop; slot 2 holds a certificate from boot 1.
        name = "2-default"
        queue_default_loop(sim, cert_dir)
        fw = checked_boot(c, "bmc", out, name, vars_file, run_dir)
        after = {1: certs["cert1"], 2: None, 3: certs["cert3"], 4: above}
        c.check(fw.results.get("HandlePendingTasks") == "TRUE", "%s: HandlePendingTasks returned TRUE" % name)
        check_slots(c, fw, name, after)
        c.check(any("Validate Pending Task 3th record failed" in l for l in fw.driver_lines()),
                "%s: the driver refused the third record on its console" % name)
        check_traffic(c, fw, name, "HandlePendingTasks",
                      expected_pending_traffic(4, [len(certs["cert1"]), len(certs["cert3"])]))
        check_traffic(c, fw, name, "SyncHttpsCertToVEXA", expected_sync_traffic([after[1], after[3], after[4]]))
        fates = {1: ("import slot 1", "confirmed"), 2: ("import slot 2", "confirmed"),
                 3: ("import slot 3", "confirmed"), 4: ("import slot 4", "confirmed"),
                 **dict(enumerate(DEFAULT_LOOP_FATES, 5))}
        check_bmc(c, Bmc.of(sim), name, fates, after, 2)

        # 3. A delete queued, then the BMC restarted: it keeps both.
        name = "3-restart"
        sim.console("vexa_delete 4")
        sim.stop()
        sim.start()
        view = Bmc.of(sim)
        fates[9] = ("delete slot 4", "queued")
        check_bmc(c, view, name + " (restarted, before the boot)", fates, after, 2)
        fw = checked_boot(c, "bmc", out, name, vars_file, run_dir)
        after = {1: certs["cert1"], 2: None, 3: certs["cert3"], 4: None}
        check_slots(c, fw, name, after)
        fates[9] = ("delete slot 4", "confirmed")
        check_bmc(c, Bmc.of(sim), name, fates, after, 3)

        # 4. A LAN client sends the firmware's commands throughout a boot
        # that imports a certificate above 20 KiB.
        name = "4-lan"
        sim.console("vexa_import 2 %s" % os.path.join(cert_dir, "lan20k.der"))
        with LanClient(sim) as lan:
            fw = checked_boot(c, "bmc", out, name, vars_file, run_dir)
        sent = sum(lan.answers.values())
        c.check(sent >= len(LAN_REQUESTS) and lan.answers == {"0xd4": sent},
                "%s: %d LAN requests during the boot, each refused with 0xD4" % (name, sent), str(lan.answers))
        after = {1: certs["cert1"], 2: lan20k, 3: certs["cert3"], 4: None}
        c.check(fw.results.get("HandlePendingTasks") == "TRUE", "%s: HandlePendingTasks returned TRUE" % name)
        check_slots(c, fw, name, after)
        check_traffic(c, fw, name, "HandlePendingTasks", expected_pending_traffic(1, [len(lan20k)]))
        check_traffic(c, fw, name, "SyncHttpsCertToVEXA", expected_sync_traffic([after[1], after[2], after[3]]))
        fates[10] = ("import slot 2", "confirmed")
        check_bmc(c, Bmc.of(sim), name, fates, after, 4)

    # 5. No BMC process at all: QEMU's KCS interface answers for it.
    name = "5-no-bmc"
    fw = checked_boot(c, "bmc", out, name, vars_file, None)
    check_slots(c, fw, name, after)
    c.check(fw.results.get("HandlePendingTasks") == "FALSE", "%s: nothing pending without a BMC" % name)
    c.check(fw.results.get("SyncHttpsCertToVEXA") == "Not Ready", "%s: the sync fails with Not Ready" % name,
            str(fw.results.get("SyncHttpsCertToVEXA")))
    for service in ("HandlePendingTasks", "SyncHttpsCertToVEXA"):
        got = fw.kcs.get(service, {})
        c.check(got.get("us", TRANSPORT_LIMIT_US) < TRANSPORT_LIMIT_US and got.get("retries") == 3
                and got.get("transactions") == 3,
                "%s: %s gave up after 3 tries in %d ms" % (name, service, got.get("us", 0) // 1000),
                "counters %s" % got)
    text = "\n".join(fw.driver_lines())
    c.check("GetPendingTaskList: error status returned from the KIV command." in text and
            "Failed to sync Https certs to Vexa: (Not Ready)." in text,
            "%s: the driver reported the missing BMC from both services" % name)

    # 5. A second client over LAN with the gate off, during a 28 KB read.
    name = "5-second-client"
    big28k = read(make_exact_cert(cert_dir, "big28k", "/O=Tolm/CN=big28k.boot.example.test", 28 * 1024))
    second_run, second_state = os.path.join(out, "bmc2-run"), os.path.join(out, "bmc2-state")
    subprocess.run(["rm", "-rf", second_run, second_state], check=True)
    with VexaSim(second_run, module=module, state_dir=second_state, lan=True, gate_off=True) as sim:
        sim.console("vexa_import 2 %s" % os.path.join(cert_dir, "big28k.der"))
        client = SecondClient(sim, os.path.join(second_run, "ipmi_sim.log"))
        client.start()
        fw = checked_boot(c, "bmc", out, name, vars_file, second_run)
        client.stop.set()
        client.join(30)
    after[2] = big28k
    check_slots(c, fw, name, after)
    check_traffic(c, fw, name, "HandlePendingTasks", expected_pending_traffic(1, [len(big28k)]))
    listing = bytes([0xA0, 0, 6, 0, 0, 0, 9, 2, 0xAA]) + struct.pack("<H", len(big28k)) + b"\0"
    c.check(client.answers == [(0, 2), (0, 0), (0, 0), (0, 8), (0, len(listing)), (0, 0)] and client.response == listing,
            "%s: the LAN client's own session: open, write, commit, stat, read, close, its pending list exact" % name,
            "answers (code, bytes) %s, response %s, %s" % (client.answers, client.response.hex(), client.error))
    log = open(os.path.join(second_run, "ipmi_sim.log")).read().split("\n")
    at = [next((i for i, l in enumerate(log) if i > start and what in l), -1)
          for start, what in ((-1, "certificate of slot 2 handed"),)]
    lan = next((i for i, l in enumerate(log) if i > at[0] >= 0 and "pending list:" in l), -1)
    sync = next((i for i, l in enumerate(log) if i > lan >= 0 and "sync 1:" in l), -1)
    c.check(at[0] >= 0 and lan > at[0] and sync > lan,
            "%s: the client committed while the firmware read its certificate (between its commit and the sync)" % name,
            "BMC log lines %d, %d, %d" % (at[0], lan, sync))

    print("bmc: %d passed, %d failed" % (c.passed, c.failed))
    return 0 if c.failed == 0 and c.passed > 0 else 1


def run_platform(args):
    """The platform build with a BMC attached: one boot."""
    if not os.environ.get("OT_PLATFORM_FD"):
        raise SystemExit("[ontarget] platform: no platform firmware selected (scripts/ontarget.sh platform)")
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    module = bmc_module()
    cert_dir = os.path.join(out, "certs")
    subprocess.run(["rm", "-rf", cert_dir], check=True)
    os.makedirs(cert_dir)
    vars_file, run_dir, state = fresh_machine(out)
    certs = {n: read(make_cert(cert_dir, "cert%d" % n, "/O=Tolm/CN=boot%d.example.test" % n, key, pem=n == 1))
             for n, key in ((1, "rsa:2048"), (2, "ed25519"), (3, "rsa:3072"))}
    c = Checker()
    name = "platform"
    with VexaSim(run_dir, module=module, state_dir=state) as sim:
        queue_default_loop(sim, cert_dir)
        fw = checked_boot(c, "platform", out, name, vars_file, run_dir,
                          files=[(os.path.join(cert_dir, "cert2.der"), "slot2.der")])
        check_dispatch_gate(c, fw.com1, fw.com2, name)
        c.check(any(l.startswith("OT: PASS publication:") for l in fw.com1.lines),
                "%s: the application found the dispatched driver published (its own handle, debug mask)" % name)
        c.check("OT: PRESET slot2 %d" % len(certs[2]) in fw.com1.lines,
                "%s: slot 2 held a certificate before the services ran" % name)
        after = {1: certs[1], 2: None, 3: certs[3], 4: None}
        c.check(fw.results.get("HandlePendingTasks") == "TRUE", "%s: HandlePendingTasks returned TRUE" % name)
        c.check(fw.results.get("SyncHttpsCertToVEXA") == "Success", "%s: SyncHttpsCertToVEXA returned Success" % name,
                str(fw.results.get("SyncHttpsCertToVEXA")))
        check_slots(c, fw, name, after)
        c.check(any("Validate Pending Task 3th record failed" in l for l in fw.driver_lines()),
                "%s: the driver refused the third record on its console" % name)
        check_traffic(c, fw, name, "HandlePendingTasks", expected_pending_traffic(4, [len(certs[1]), len(certs[3])]))
        check_traffic(c, fw, name, "SyncHttpsCertToVEXA", expected_sync_traffic([certs[1], certs[3]]))
        check_bmc(c, Bmc.of(sim), name, dict(enumerate(DEFAULT_LOOP_FATES, 1)), after, 1)
    print("platform: %d passed, %d failed" % (c.passed, c.failed))
    return 0 if c.failed == 0 and c.passed > 0 else 1


# ---------------------------------------------------------------------------
# Demo and measurement helpers
# ---------------------------------------------------------------------------

def known_certs(cert_dir):
    """{DER bytes: file name} of the certificates in cert_dir."""
    names = {}
    if cert_dir and os.path.isdir(cert_dir):
        for f in sorted(os.listdir(cert_dir)):
            if f.endswith(".der"):
                names[read(os.path.join(cert_dir, f))] = f
    return names


def describe(der, names):
    origin = " (= %s)" % names[der] if der in names else ""
    return "%5d bytes  %s%s" % (len(der), subject(der), origin)


def firmware_report(args):
    """What the firmware did in one boot, from its serial console."""
    fw = Firmware(args.dir)
    names = known_certs(args.certs)
    problems = []
    for line in fw.com1.lines:
        m = re.match(r"^OT: PRESET slot(\d) (\d+)$", line)
        if m:
            print("    before the driver ran, slot %s held the %s-byte certificate the server was delivered with"
                  % m.groups())
    print("    the driver's console (COM1; COM2 carries the same):")
    for line in fw.driver_lines():
        print("      | " + line)
    for service in ("HandlePendingTasks", "SyncHttpsCertToVEXA"):
        k = fw.kcs.get(service)
        if k:
            print("    %s -> %s: %d IPMI transactions, %d message bytes, %.1f ms" %
                  (service, fw.results.get(service, "?"), k["transactions"], k["payload"], k["us"] / 1000))
        else:
            problems.append("%s did not run" % service)
    print("    certificate slots afterwards:")
    for n in range(1, 5):
        got = fw.slot(n)
        if isinstance(got, str):
            problems.append(got)
        print("      HttpsCertDev%d  %s" % (n, "(empty)" if got is None else got if isinstance(got, str)
                                            else describe(got, names)))
    s = fw.summary
    print("    on-target checks: %s" % (s.group(0) if s else "no closing line"))
    if not s or int(s.group(2)) != 0:
        problems.append("on-target checks failed")
    if problems:
        print("    PROBLEM: " + "; ".join(problems))
    return 1 if problems else 0


def bmc_report(args):
    """The BMC's view: requests and fates, slots as last reported."""
    bmc = Bmc.of_run(args.run)
    names = {sha256(d): n for d, n in known_certs(args.certs).items()}
    for line in bmc.text.split("\n"):
        m = REPORTED.match(line)
        suffix = " (= %s)" % names[m.group(3)] if m and m.group(3) in names else ""
        if not line.startswith("state file"):
            print("    " + line + suffix)
    return 0


def verify(checks):
    """Prints the demo's verdicts; 0 when all hold."""
    failed = [name for ok, name in checks if not ok]
    for ok, name in checks:
        print("    %s %s" % ("ok     " if ok else "WRONG  ", name))
    return 1 if failed else 0


def verify_loop(args):
    """The loop boot did what the administrator asked: slots 1 and 3 hold the
    new certificates, slot 2 is empty, the refused record changed nothing;
    the BMC learnt it all from the sync."""
    fw = Firmware(args.dir)
    bmc = Bmc.of_run(args.run)
    cert = {n: read(os.path.join(args.certs, "cert%d.der" % n)) for n in (1, 2, 3)}
    last = sorted(bmc.requests)[-4:]
    fates = [bmc.requests[r] for r in last]
    want = {1: sha256(cert[1]), 2: None, 3: sha256(cert[3]), 4: None}
    lines = fw.driver_lines()
    deleted = [i for i, l in enumerate(lines) if "Trying to delete CertNum(2)" in l]
    return verify([
        ("OT: PRESET slot2 %d" % len(cert[2]) in fw.com1.lines, "slot 2 held cert2 before the boot"),
        (fw.results.get("HandlePendingTasks") == "TRUE", "the firmware applied the pending requests"),
        (len(deleted) == 1 and "SetVariable returned (Success)" in lines[deleted[0] + 1],
         "the delete of slot 2 removed cert2"),
        ([fw.slot(n) for n in range(1, 5)] == [cert[1], None, cert[3], None],
         "slot 1 = cert1, slot 2 empty, slot 3 = cert3, slot 4 empty"),
        (fates == DEFAULT_LOOP_FATES,
         "fates at the BMC: import 1 confirmed, delete 2 confirmed, the refused record not applied, "
         "import 3 confirmed"),
        (fw.results.get("SyncHttpsCertToVEXA") == "Success" and bmc.slots == want,
         "the BMC's report matches the slots"),
    ])


def verify_quiet(args):
    """A boot with nothing queued: the firmware changes nothing and the BMC's
    view stays as it was (only the count of syncs moves on)."""
    fw = Firmware(args.dir)
    before, after = Bmc(open(args.before).read()), Bmc(open(args.after).read())
    text = "\n".join(fw.driver_lines())
    return verify([
        (fw.results.get("HandlePendingTasks") == "FALSE", "nothing pending: HandlePendingTasks returned FALSE"),
        ("HandlePendingImport" not in text and "HandlePendingDelete" not in text, "no slot was written"),
        (fw.results.get("SyncHttpsCertToVEXA") == "Success", "the sync reported the same slots"),
        (before.requests == after.requests and before.slots == after.slots and before.requests,
         "the BMC's requests, fates and reported slots are unchanged"),
    ])


def measure(args):
    """Transactions, bytes and time per service: the default scenario, the
    sync of all four slots full, an import of 28 KB and one of 65,535 bytes
    (the largest message, against the deadline PcdKivMessageDeadlineMs)."""
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    module = bmc_module()
    cert_dir = os.path.join(out, "certs")
    scenario_certs(cert_dir)
    vars_file, run_dir, state = fresh_machine(out)
    rows = []
    with VexaSim(run_dir, module=module, state_dir=state) as sim:
        sim.console("vexa_import 2 %s" % os.path.join(cert_dir, "boundary.der"))
        boot(out, "0-prepare", vars_file, run_dir)
        queue_default_loop(sim, cert_dir)
        directory, _, _ = boot(out, "1-default", vars_file, run_dir)
        rows.append(("default", Firmware(directory)))
        queue_four_full(sim, cert_dir)
        directory, _, _ = boot(out, "2-four-full", vars_file, run_dir)
        rows.append(("four full", Firmware(directory)))
        # The 28 KB import, and the largest message there is: a certificate
        # of 65,535 bytes (65,543 response bytes, the most transactions).
        for label, size in (("28 KB", 28 * 1024), ("64 KB", 65535)):
            der = make_exact_cert(cert_dir, "import%d" % size, "/O=Tolm/CN=import%d.example.test" % size, size)
            sim.console("vexa_import 1 %s" % der)
            directory, _, _ = boot(out, "3-import-%d" % size, vars_file, run_dir)
            rows.append((label, Firmware(directory)))
    print("Room per IPMI transaction (ipmi_sim's system interface): request data %d bytes "
          "(Write piece %d), answer %d bytes with the completion code, OEN on top (Read piece %d)"
          % (ROOM_REQUEST, WRITE_PIECE, ROOM_RESPONSE, READ_PIECE))
    print("%-10s %-20s %6s %12s %12s %10s %8s %8s %10s %10s" %
          ("scenario", "service", "trans", "ipmi_req_B", "ipmi_rsp_B", "payload_B", "B/trans",
           "max_req", "target_ms", "kcs_ms"))
    status = 0
    for label, fw in rows:
        for service in ("HandlePendingTasks", "SyncHttpsCertToVEXA"):
            k = fw.kcs.get(service)
            if not k:
                print("%-10s %-20s (no figures: see %s)" % (label, service, fw.com1.path))
                status = 1
                continue
            print("%-10s %-20s %6d %12d %12d %10d %8.1f %4d/%-3d %10.1f %10.1f" %
                  (label, service, k["transactions"], k["request_bytes"], k["response_bytes"], k["payload"],
                   k["payload"] / max(1, k["transactions"]), k["largest_request"], k["largest_response"],
                   k["us"] / 1000, k["transport_us"] / 1000))
    print("max_req: the largest IPMI request / response data of the service (limits %d / %d)."
          % (ROOM_REQUEST, ROOM_RESPONSE))
    print("target_ms: the service call on the target (TCG); kcs_ms: of it, inside KIV_PROTOCOL.")
    print("Deadline per message (PcdKivMessageDeadlineMs): 60000 ms; the 64 KB import above is the largest message.")
    return status


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("command", choices=("check", "platform", "measure", "firmware", "bmc", "verify-loop",
                                        "verify-quiet"))
    p.add_argument("--out", default=os.path.join(REPO, "build", "ontarget", "bmc"))
    p.add_argument("--dir")
    p.add_argument("--run")
    p.add_argument("--certs")
    p.add_argument("--before")
    p.add_argument("--after")
    args = p.parse_args()
    if args.command == "firmware" and not args.dir:
        p.error("--dir is required")
    if args.command == "bmc" and not args.run:
        p.error("--run is required")
    return {"check": run_group, "platform": run_platform, "measure": measure, "firmware": firmware_report, "bmc": bmc_report,
            "verify-loop": verify_loop, "verify-quiet": verify_quiet}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
