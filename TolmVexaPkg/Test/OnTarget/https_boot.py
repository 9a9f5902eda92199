#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Host side of HTTPS boot through the BMC: the certificates of a run, the
boot servers, the scenario group and the demo chapter's report.

  https_boot.py certs  DIR
      A CA and a server certificate it signs, another CA and its server
      certificate, an unrelated certificate (PEM keys, DER and PEM
      certificates); made afresh at every run. The server certificates carry
      subjectAltName IP:10.0.2.2, the address under which the guest reaches
      the host.
  https_boot.py serve  --certs DIR --image EFI --dir DIR [--lifetime S]
      Two HTTPS servers on 127.0.0.1, free ports: "good" (certificate from the
      CA) and "other" (from the other CA), each serving EFI as /boot.efi
      (HTTP/1.1, keep-alive). Writes DIR/ports ("good PORT", "other PORT")
      once listening and logs every connection and request to DIR/server.log.
      Stops on SIGTERM or SIGINT, when its parent process ends, or after
      --lifetime seconds (default 600).
  https_boot.py check  --out DIR [CHAIN ...]
      The scenario group (CTest ontarget.https): the chains of CHAINS side by
      side, each one machine (its variable store kept from boot to boot) with
      its own BMC and servers on free loopback ports, all stopped however the
      group ends. Run by scripts/ontarget-https.sh, after ot_use_platform for
      the platform build.
  https_boot.py unattended --out DIR
      The unattended group (CTest ontarget.unattended): the platform build
      powered on three times as a server is, no FAT drive and no shell, its
      HTTPS boot URI in QEMU's fw_cfg; the boot manager applies the BMC's
      requests, syncs, derives the trust, and Boot Device Selection boots the
      HTTPS option or falls through to the power-off application. Run by
      scripts/ontarget-https.sh --platform unattended.
  https_boot.py measure --out DIR [--runs N]
      Times of the unattended power-on (not a test): QEMU start to the boot
      image's marker, and the boot manager's steps as it reports them.
  https_boot.py report --dir BOOTDIR --certs DIR --run RUNDIR
      The demo chapter's report of one boot, with the BMC's view.
"""

import argparse
import datetime
import http.server
import json
import os
import re
import shutil
import signal
import ssl
import subprocess
import sys
import threading
import time
import uuid
from collections import namedtuple

sys.dont_write_bytecode = True          # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(HERE))), "VexaBmc", "Sim"))
from ontarget_bmc import Bmc, bmc_module, check_bmc, read, sha256  # noqa: E402
from ontarget_log import Checker, Log, check_consoles, check_target_verdicts, subject  # noqa: E402
from vexa_sim import VexaSim  # noqa: E402

SCRIPTS = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(HERE))), "scripts")
GUEST_HOST = "10.0.2.2"
X509_GUID = uuid.UUID("A5C059A1-94E4-4AA7-87B5-AB155C2BF072").bytes_le
DEFAULT_OWNER = uuid.UUID("F3F39104-7D8C-4FCE-80BC-40D040BE7AE4").bytes_le
TRUST_ATTRIBUTES = 0x2                  # boot-service access, volatile
TLS_CA_GUID = "fd2340d0-3dab-4349-a6c7-3b4f12b48eae"
TOLM_GUID = "55e1fc65-a898-4214-a8a9-1ae839cd329a"          # gTolmVariableGuid
PLANTED_ATTRIBUTES = 0x27               # NV, BS, RT, time-based authenticated: as an OS creates one
PLANT_REMOVED = '"TlsCaCertificate" with attributes 0x27, not written here, removed'
PLANT_CLOSED = "every HTTPS boot of this boot fails closed"
TRUST_PREFIX = "TolmUpdateHttpsBootTrust: "
IMAGE_RUNNING = "HTTPS-BOOT-IMAGE: running, loaded from "
BLOCK_BEGIN = re.compile(r"^OT: HTTPS BEGIN (\S+) (\S+)$")
BLOCK_LOADFILE = re.compile(r"^OT: HTTPS LOADFILE (\S+) (.+) (\d+)$")
BLOCK_END = re.compile(r"^OT: HTTPS END (\S+) LoadFile (.+) (\d+) StartImage (.+)$")
SERVER_LINE = re.compile(r"^(good|other) (.*)$")
RESULT = re.compile(r"^OT: RESULT (\S+) (.*)$")
POLICY_DONE = "OT: RESULT SyncHttpsCertToVEXA "
# The platform's boot manager (TolmVexaBootPolicyLib, PlatformBootManagerLib.patch).
POLICY = "TolmVexaBootPolicy: "
POLICY_STEP = re.compile(r"^TolmVexaBootPolicy: (certificate driver|HandlePendingTasks|SyncHttpsCertToVEXA|"
                         r"TolmUpdateHttpsBootTrust) (.*?)(?: \((\d+) us\))?$")
BOOT_ORDER = re.compile(r'^PlatformBootManager: BootOrder Boot([0-9a-f]{4}) "Tolm HTTPS boot" Uri\((\S+)\), '
                        r'Boot([0-9a-f]{4}) "Tolm power off"$')
HTTP_BOOT_START = ">>Start HTTP Boot"
POWER_OFF = "POWER-OFF-APP: "
TLS_SESSION = "handshake TLSv1.2 AES256-GCM-SHA384"


# --------------------------------------------------------------------------
# The scenarios
# --------------------------------------------------------------------------

def signature_list(der):
    """The value the driver stores in a slot for der, and one list of the
    trust: one X.509 signature list, no header, the default owner."""
    return X509_GUID + (44 + len(der)).to_bytes(4, "little") + bytes(4) + \
        (16 + len(der)).to_bytes(4, "little") + DEFAULT_OWNER + der


# Slot values a damaged store holds, and the trust component's verdict.
#   list-size      the CA's list claiming 16 bytes more than the value holds
#                  (HttpDxe would refuse every anchor if it were copied)
#   trailing-byte  a well-framed list whose certificate has one byte after its
#                  DER SEQUENCE
CORRUPTIONS = {
    "list-size": (lambda certs: signature_list(certs["ca"])[:16] +
                  (44 + 16 + len(certs["ca"])).to_bytes(4, "little") + signature_list(certs["ca"])[20:],
                  "SignatureListSize is not the size of the value"),
    "trailing-byte": (lambda certs: signature_list(certs["unrelated"] + b"\0"),
                      "the certificate is not one DER SEQUENCE filling the signature"),
    # A well-framed DER SEQUENCE (an INTEGER and a UTF8String) that TLS's
    # X.509 parser refuses: HttpDxe would refuse every anchor after it.
    "not-a-cert": (lambda certs: signature_list(b"\x30\x0f\x02\x01\x07\x0c\x0anot a cert"),
                   "TLS refuses its certificate"),
}

# One boot of a chain: what the administrator queues at the BMC (import SLOT
# CERT / delete SLOT), what the store holds beforehand as a damaged one would
# (slot: corruption; "stale-trust": a non-volatile "TlsCaCertificate" of that
# certificate), the trust anchors HTTPS boot must end up with (certificates,
# in slot order; none: no "TlsCaCertificate" at all), and the HTTPS boots
# tried, in order: (label, server, verdict). Within one boot a refused server
# comes before the accepted one: TlsDxe keeps every CA it was given for the
# rest of the boot.
# plant: a certificate whose list an authenticated "TlsCaCertificate"
# (attributes 0x27, time-stamped) holds in the machine's store before the
# power-on, written offline. The platform build's variable service knows no
# authentication and takes the trust driver's delete of attributes 0;
# Debian's OVMF checks signatures but assumes physical presence, and takes
# its unsigned authenticated delete. signed: "TolmSimSignedTrust" planted
# beside it makes the test bed's variable layer (VariablePolicySim) refuse
# every unsigned write of it, as a service that checks the creator's
# signature does: it stays, and every HTTPS boot of that boot fails closed.
Boot = namedtuple("Boot", "name queue store trust tries plant signed", defaults=(None, False))


def verdict(attempt):
    """An attempt's expected verdict: (label, server, verdict[, verdict in
    the platform build])."""
    return attempt[3] if len(attempt) > 3 and os.environ.get("OT_PLATFORM_FD") else attempt[2]
CHAINS = {
    "planted": (
        Boot("1-planted", queue=(("import", 1, "ca"),), store={}, trust=("ca",), plant="other-ca",
             tries=(("other-ca", "other", "refused"), ("provisioned", "good", "accepted"))),
    ),
    # The same, on a variable service that keeps the planted trust: both
    # servers refused before any TLS session.
    "kept": (
        Boot("1-kept", queue=(("import", 1, "ca"),), store={}, trust=("ca",), plant="other-ca", signed=True,
             tries=(("other-ca", "other", "refused"), ("provisioned", "good", "refused"))),
    ),
    # Slot 2 a well-framed DER SEQUENCE that is not a certificate: skipped, the
    # CA in slot 1 still counts.
    "slot1": (
        Boot("1-import", queue=(("import", 1, "ca"),), store={2: "not-a-cert"}, trust=("ca",),
             tries=(("other-ca", "other", "refused"), ("provisioned", "good", "accepted"))),
        # The BMC deletes slot 1; the other slots are empty: fail closed.
        Boot("2-deleted", queue=(("delete", 1),), store={}, trust=(),
             tries=(("provisioned", "good", "refused"),)),
    ),
    "slot3": (
        Boot("1-slot3", queue=(("import", 1, "unrelated"), ("import", 3, "ca")),
             store={2: "list-size", 4: "trailing-byte", "stale-trust": "other-ca"}, trust=("unrelated", "ca"),
             tries=(("other-ca", "other", "refused"), ("provisioned", "good", "accepted"))),
        # The BMC deletes the CA's slot; slot 1 and the damaged ones remain.
        # In the platform build the trust driver already ran at Boot Device
        # Selection's ReadyToBoot, before the application applied the delete,
        # and handed the CA of slot 3 to TlsDxe's store, which keeps it for
        # the rest of the boot: the delete takes effect at the next boot there
        # (a platform that applies the BMC's requests before ReadyToBoot, or
        # calls the library right after them, has no such window).
        Boot("2-deleted", queue=(("delete", 3),), store={}, trust=("unrelated",),
             tries=(("provisioned", "good", "refused", "accepted"),)),
    ),
}


# --------------------------------------------------------------------------
# Certificates
# --------------------------------------------------------------------------

def openssl(*args):
    r = subprocess.run(["openssl", *args], capture_output=True, text=True)
    if r.returncode != 0:
        raise SystemExit("openssl %s failed: %s" % (args[0], r.stderr.strip()))


def make_certs(d):
    os.makedirs(d, exist_ok=True)
    stamp = time.strftime("%Y%m%d-%H%M%S")
    ext = os.path.join(d, "server.ext")
    with open(ext, "w") as f:
        f.write("basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\nsubjectAltName=IP:%s\n" % GUEST_HOST)
    for ca, name in (("ca", "Tolm HTTPS Boot CA"), ("other-ca", "Other CA")):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-sha256",
                "-subj", "/O=Tolm/CN=%s %s" % (name, stamp),
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                "-keyout", os.path.join(d, ca + ".key"), "-out", os.path.join(d, ca + ".pem"))
        server = "server" if ca == "ca" else "other-server"
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/O=Tolm/CN=%s" % GUEST_HOST,
                "-keyout", os.path.join(d, server + ".key"), "-out", os.path.join(d, server + ".csr"))
        openssl("x509", "-req", "-in", os.path.join(d, server + ".csr"), "-days", "30", "-sha256",
                "-CA", os.path.join(d, ca + ".pem"), "-CAkey", os.path.join(d, ca + ".key"), "-set_serial",
                str(int.from_bytes(os.urandom(8), "big")), "-extfile", ext, "-out", os.path.join(d, server + ".pem"))
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-sha256",
            "-subj", "/O=Tolm/CN=unrelated.boot.example.test", "-keyout", os.path.join(d, "unrelated.key"),
            "-out", os.path.join(d, "unrelated.pem"))
    for name in ("ca", "other-ca", "unrelated"):
        openssl("x509", "-in", os.path.join(d, name + ".pem"), "-outform", "DER", "-out", os.path.join(d, name + ".der"))
    return {name: read(os.path.join(d, name + ".der")) for name in ("ca", "other-ca", "unrelated")}


# --------------------------------------------------------------------------
# The boot servers
# --------------------------------------------------------------------------

class BootRequestHandler(http.server.BaseHTTPRequestHandler):
    # HttpBootDxe opens a second connection for the GET and drops it when the
    # first is closed under it: keep connections alive.
    protocol_version = "HTTP/1.1"
    timeout = 30

    def do_HEAD(self):
        self.reply(False)

    def do_GET(self):
        self.reply(True)

    def reply(self, body):
        payload = self.server.payload if self.path == "/boot.efi" else b""
        code = 200 if self.path == "/boot.efi" else 404
        self.send_response(code)
        self.send_header("Content-Type", "application/efi")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        if body:
            self.wfile.write(payload)
        self.server.log("%s %s %d %d" % (self.command, self.path, code, len(payload) if body else 0))

    def log_message(self, *args):
        pass


class BootServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, name, context, payload, logger):
        self.name, self.context, self.payload, self.logger = name, context, payload, logger
        super().__init__(("127.0.0.1", 0), BootRequestHandler)

    def log(self, text):
        self.logger("%s %s" % (self.name, text))

    def finish_request(self, request, client_address):
        # The handshake runs in the connection's thread so that a refused one
        # is logged with the reason the TLS stack gives.
        conn = self.context.wrap_socket(request, server_side=True, do_handshake_on_connect=False)
        conn.settimeout(BootRequestHandler.timeout)
        try:
            conn.do_handshake()
        except (ssl.SSLError, OSError) as e:
            self.log("handshake-refused %s" % (getattr(e, "reason", None) or e))
            conn.close()
            return
        self.log("handshake %s %s" % (conn.version(), conn.cipher()[0]))
        try:
            self.RequestHandlerClass(conn, client_address, self)
        finally:
            conn.close()


class BootServers:
    """The "good" and "other" servers, serving in threads of this process
    until stop() (or the process's end); every event in log_path."""

    def __init__(self, certs, image, log_path):
        payload = read(image)
        self.log_file = open(log_path, "a", buffering=1)
        self.lock = threading.Lock()
        self.servers = {}
        for name, cert in (("good", "server"), ("other", "other-server")):
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.minimum_version = ssl.TLSVersion.TLSv1_2
            # The firmware's TLS offers RSA key exchange only (no elliptic curves).
            context.set_ciphers("ECDHE+AESGCM:AES256-GCM-SHA384")
            context.load_cert_chain(os.path.join(certs, cert + ".pem"), os.path.join(certs, cert + ".key"))
            self.servers[name] = BootServer(name, context, payload, self.logger)
        for s in self.servers.values():
            threading.Thread(target=s.serve_forever, daemon=True).start()

    def logger(self, text):
        with self.lock:
            self.log_file.write("%s\n" % text)

    def uri(self, name):
        return "https://%s:%d/boot.efi" % (GUEST_HOST, self.servers[name].server_address[1])

    def stop(self):
        for s in self.servers.values():
            s.shutdown()
            s.server_close()
        self.log_file.close()


def serve(args):
    os.makedirs(args.dir, exist_ok=True)
    servers = BootServers(args.certs, args.image, os.path.join(args.dir, "server.log"))
    with open(os.path.join(args.dir, "ports.tmp"), "w") as f:
        f.write("".join("%s %d\n" % (n, s.server_address[1]) for n, s in servers.servers.items()))
    os.replace(os.path.join(args.dir, "ports.tmp"), os.path.join(args.dir, "ports"))
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    parent, deadline = os.getppid(), time.monotonic() + args.lifetime
    while not stop.wait(0.5):
        if os.getppid() != parent or time.monotonic() > deadline:
            break
    servers.stop()
    return 0


# --------------------------------------------------------------------------
# Reading a boot
# --------------------------------------------------------------------------

def https_blocks(log):
    """Each HTTPS attempt: label -> dict(uri, status, bytes, start, lines)."""
    blocks, current = {}, None
    for line in log.lines:
        m = BLOCK_BEGIN.match(line)
        if m:
            current = {"uri": m.group(2), "lines": []}
            blocks[m.group(1)] = current
            continue
        m = BLOCK_LOADFILE.match(line)
        if m and current is not None:
            current.update(loadfile=m.group(2), bytes=int(m.group(3)))
            continue
        m = BLOCK_END.match(line)
        if m and current is not None:
            current.update(status=m.group(2), bytes=int(m.group(3)), start=m.group(4))
            current = None
        elif current is not None and line.strip():
            current["lines"].append(line.strip())
    return blocks


def image_lines(block, prefix="HTTPS-BOOT-IMAGE: "):
    """The boot image's lines of an attempt (the first may follow the
    firmware's progress on one line), from the prefix on."""
    return [l[l.index(prefix):] for l in block["lines"] if prefix in l]


def firmware_lines(block):
    """What the firmware printed during an attempt: the download progress
    (carriage returns, no line ends) collapsed to its last step; the boot
    image's own lines (its marker and trust digest) left out."""
    out = []
    for line in block["lines"]:
        line = re.split(r"HTTPS-BOOT-IMAGE: |TRUST-DIGEST: ", line)[0].strip()
        line = re.sub(r"Downloading\.\.\.\d+%(\s*Downloading\.\.\.\d+%)*",
                      lambda m: re.findall(r"Downloading\.\.\.\d+%", m.group(0))[-1], line)
        if line:
            out.append(line)
    return out


def signature_lists(data):
    """Splits "TlsCaCertificate" into (owner, DER) pairs; raises ValueError."""
    out, offset = [], 0
    while offset < len(data):
        if len(data) - offset < 44 or data[offset:offset + 16] != X509_GUID:
            raise ValueError("not an X.509 signature list at offset %d" % offset)
        size = int.from_bytes(data[offset + 16:offset + 20], "little")
        if size < 45 or offset + size > len(data):
            raise ValueError("signature list size %d at offset %d" % (size, offset))
        out.append((data[offset + 28:offset + 44], data[offset + 44:offset + size]))
        offset += size
    return out


def server_events(lines):
    return [m.groups() for m in map(SERVER_LINE.match, lines) if m]


def trust_lines(log):
    """The trust component's lines after the application's policy pass (in
    the platform build the trust driver also ran at Boot Device Selection's
    ReadyToBoot, before the application)."""
    at = next((i for i, l in enumerate(log.lines) if l.startswith(POLICY_DONE)), len(log.lines))
    return [l[l.index(TRUST_PREFIX) + len(TRUST_PREFIX):] for l in log.lines[at:] if TRUST_PREFIX in l]


# --------------------------------------------------------------------------
# The group
# --------------------------------------------------------------------------

def shell(function, *args):
    """Runs one function of scripts/https-boot-common.sh."""
    script = '. "$0/https-boot-common.sh" && "$@"'
    return subprocess.run(["bash", "-c", script, SCRIPTS, function, *args], stdout=subprocess.PIPE, text=True)


def run_chain(name, boots, out, certs, module, image, runs):
    """The boots of one chain, one after the other: one machine, one BMC,
    one pair of servers. Appends (boot, folder, QEMU's status, seconds, BMC
    view, server events) to runs; raises on a failure of the bed itself."""
    chain_dir = os.path.join(out, name)
    shutil.rmtree(chain_dir, ignore_errors=True)
    os.makedirs(chain_dir)
    vars_file, log_path = os.path.join(chain_dir, "vars.fd"), os.path.join(chain_dir, "server.log")
    servers = BootServers(os.path.join(out, "certs"), image, log_path)
    try:
        with VexaSim(os.path.join(chain_dir, "bmc-run"), module=module,
                     state_dir=os.path.join(chain_dir, "bmc-state")) as sim:
            for boot in boots:
                directory = os.path.join(chain_dir, boot.name)
                for request in boot.queue:
                    sim.console("vexa_%s %d%s" % (request[0], request[1], " " + os.path.join(
                        out, "certs", request[2] + ".der") if request[0] == "import" else ""))
                tries = " ".join("try=%s,%s,%s" % (attempt[0], verdict(attempt), servers.uri(attempt[1]))
                                 for attempt in boot.tries)
                fat = os.path.join(directory, "fat")
                if shell("hb_lay_fat", fat, tries).returncode != 0:
                    raise RuntimeError("cannot lay the FAT folder (scripts/build.sh DEBUG first)")
                if boot.plant:
                    plant = os.path.join(chain_dir, "plant.json")
                    with open(plant, "w") as f:
                        json.dump(planted_json(certs[boot.plant], boot.signed), f)
                    if shell("hb_plant", vars_file, plant).returncode != 0:
                        raise RuntimeError("virt-fw-vars could not plant the variable (%s.plant.log)" % vars_file)
                for slot, what in boot.store.items():
                    value = signature_list(certs[what]) if slot == "stale-trust" else CORRUPTIONS[what][0](certs)
                    with open(os.path.join(fat, "%s.bin" % (slot if slot == "stale-trust" else "slot%d" % slot)),
                              "wb") as f:
                        f.write(value)
                logged = len(open(log_path).read().splitlines())
                start = time.monotonic()
                rc = shell("hb_boot", directory, vars_file, sim.run_dir).returncode
                seconds = time.monotonic() - start
                events = server_events(open(log_path).read().splitlines()[logged:])
                runs.append((boot, directory, rc, seconds, sim.console("vexa_show"), events))
                print("[ontarget-https] %s/%s: booted in %.0f s" % (name, boot.name, seconds), flush=True)
    finally:
        servers.stop()


def planted_json(der, signed):
    """virt-fw-vars' JSON of an authenticated "TlsCaCertificate" holding der's
    list, time-stamped now (EFI_TIME, UTC); with signed, "TolmSimSignedTrust"
    beside it."""
    now = datetime.datetime.now(datetime.timezone.utc)
    stamp = now.year.to_bytes(2, "little") + bytes([now.month, now.day, now.hour, now.minute, now.second, 0]) + \
        bytes(8)
    variables = [{"name": "TlsCaCertificate", "guid": TLS_CA_GUID, "attr": PLANTED_ATTRIBUTES,
                  "data": signature_list(der).hex(), "time": stamp.hex()}]
    if signed:
        variables.append({"name": "TolmSimSignedTrust", "guid": TOLM_GUID, "attr": 0x3, "data": "01"})
    return {"version": 2, "variables": variables}


def check_try(c, name, blocks, events, label, server, verdict, trusted):
    block = blocks.get(label)
    if not c.check(block is not None and "status" in block, "%s: HTTPS boot %s finished" % (name, label)):
        return
    ran = image_lines(block, IMAGE_RUNNING)
    fw = firmware_lines(block)
    mine = [e for s, e in events if s == server]
    print("    %s: LoadFile %s; firmware: %s; server: %s" % (label, block["status"], " | ".join(fw) or "(nothing)",
                                                          ", ".join(mine) or "(no connection)"))
    if verdict == "accepted":
        c.check(block["status"] == "Success" and len(ran) == 1 and ran[0].endswith("/Uri(%s)" % block["uri"]) and
                "HTTPS-BOOT-IMAGE: returning" in image_lines(block) and TLS_SESSION in mine and
                "GET /boot.efi 200 %d" % block["bytes"] in mine,
                "%s: %s accepted (%s), the boot image ran from Uri(%s)" % (name, label, TLS_SESSION, block["uri"]),
                "LoadFile %s, marker lines %r, server %r" % (block["status"], ran, mine))
        return
    # Refused: the image never ran nor left the server, the firmware said so
    # on its console; with anchors, in the TLS handshake itself; without
    # any, before a session was opened at all (fail closed).
    refused_where = all(e.startswith("handshake-refused") for e in mine) and (bool(mine) if trusted else not mine)
    c.check(block["status"] != "Success" and not ran and any(l.startswith("Error: ") for l in fw) and refused_where,
            "%s: %s refused %s, the firmware's error on the console, the boot image never ran" %
            (name, label, "in the TLS handshake" if trusted else "without a TLS session"),
            "LoadFile %s, marker lines %r, firmware %r, server %r" % (block["status"], ran, fw, mine))


def check_boot(c, chain, number, run, certs, model, requests):
    """The chain's boot number, both sides. model: {slot: certificate name or
    corruption} before the boot, brought up to date; requests: every request
    queued at this BMC so far."""
    boot, directory, rc, seconds, view, events = run
    name = "%s/%s" % (chain, boot.name)
    com1, com2 = Log(os.path.join(directory, "com1.log")), Log(os.path.join(directory, "com2.log"))
    c.check(rc == 0, "%s: QEMU ended by itself (%.0f s)" % (name, seconds), "status %d (124: time limit)" % rc)
    check_target_verdicts(c, com1, name)
    results = dict(m.groups() for m in map(RESULT.match, com1.lines) if m)
    c.check(results.get("HandlePendingTasks") == "TRUE" and results.get("SyncHttpsCertToVEXA") == "Success",
            "%s: the policy applied the BMC's requests and synced" % name, repr(results))

    # The trust: exactly the lists of the well-formed slots, in slot order.
    for slot, what in boot.store.items():
        if slot != "stale-trust":
            model[slot] = what
    for request in boot.queue:
        requests.append(request)
        if request[0] == "import":
            model[request[1]] = request[2]
        else:
            model.pop(request[1], None)
    trusted = [n for n in range(1, 5) if model.get(n) in certs]
    if tuple(model[n] for n in trusted) != boot.trust:
        raise SystemExit("CHAINS: %s expects the trust %s, but its slots hold %s" % (name, boot.trust, model))
    got = com1.blobs().get("trust")
    # A planted authenticated trust that the variable service keeps: it stays,
    # the component derives nothing, and every HTTPS boot fails closed.
    closed = boot.signed
    if boot.plant:
        c.check(any((PLANT_CLOSED if closed else PLANT_REMOVED) in l for l in com1.lines),
                "%s: the planted authenticated \"TlsCaCertificate\" (%s) %s, and the console says so" %
                (name, boot.plant, "cannot be removed: HTTPS boot fails closed" if closed else "is removed"))
    if closed:
        c.check(got == signature_list(certs[boot.plant]) and "OT: TRUST attributes 0x%x" % PLANTED_ATTRIBUTES in com1.lines,
                "%s: the planted \"TlsCaCertificate\" stays as it was (attributes 0x%x)" % (name, PLANTED_ATTRIBUTES))
    elif boot.trust:
        c.check(got == b"".join(signature_list(certs[n]) for n in boot.trust) and
                "OT: TRUST attributes 0x%x" % TRUST_ATTRIBUTES in com1.lines,
                "%s: \"TlsCaCertificate\" holds exactly the lists of %s, attributes 0x%x" %
                (name, " + ".join(boot.trust), TRUST_ATTRIBUTES),
                "%s" % (got if isinstance(got, str) else "%d other bytes" % len(got) if got else "absent"))
    else:
        c.check(got is None and "OT: TRUST absent" in com1.lines,
                "%s: no \"TlsCaCertificate\" at all (fail closed)" % name)
    lines1, lines2 = trust_lines(com1), trust_lines(com2)
    # One verdict per slot (framing first, then TLS, so not in slot order),
    # then the outcome; nothing is probed while a foreign trust stays.
    want = [] if closed else ["slot %d (HttpsCertDev%d) %s" % (n, n, "trusted" if model[n] in certs else
                                                               "skipped: " + CORRUPTIONS[model[n]][1])
                              for n in sorted(model)] + [
        '"TlsCaCertificate" holds the lists of %d slot(s)' % len(trusted) if trusted else "no slot holds a "]
    verdicts = sorted((l for l in lines1 if l.startswith("slot ")), key=lambda l: int(l.split()[1]))
    slot_lines = verdicts + [l for l in lines1 if l.startswith(('"TlsCaCertificate" holds', "no slot holds"))]
    c.check(lines1 == lines2 and len(slot_lines) == len(want) and all(
                l.startswith(w) for l, w in zip(slot_lines, want)),
            "%s: the trust component's verdict on each slot, identical on COM1 and COM2 (%d lines)" %
            (name, len(want)), "COM1 %r, COM2 %s" % (lines1, "the same" if lines1 == lines2 else repr(lines2)))
    check_consoles(c, com1, com2, name)

    blocks = https_blocks(com1)
    for attempt in boot.tries:
        check_try(c, name, blocks, events, attempt[0], attempt[1], "refused" if closed else verdict(attempt),
                  bool(trusted) and not closed)

    # The BMC learnt every request's fate from the sync, and holds the slots
    # as the store now holds them (a damaged value as the driver read it).
    fates = {i: ("%s slot %d" % (r[0], r[1]), "confirmed") for i, r in enumerate(requests, 1)}
    reported = {n: None for n in range(1, 5)}
    for n, what in model.items():
        reported[n] = certs[what] if what in certs else CORRUPTIONS[what][0](certs)[44:]
    check_bmc(c, Bmc(view), name, fates, reported, number)


def run_group(args):
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    chains = args.chains or sorted(CHAINS)
    module = bmc_module()
    image = shell("hb_boot_image").stdout.strip()
    print("[ontarget-https] certificates of this run (openssl) -> %s/certs" % out)
    certs = make_certs(os.path.join(out, "certs"))
    runs, errors = {n: [] for n in chains}, {}

    def chain(n):
        try:
            run_chain(n, CHAINS[n], out, certs, module, image, runs[n])
        except Exception as e:          # reported with the chain's checks
            errors[n] = "%s: %s" % (type(e).__name__, e)

    start = time.monotonic()
    threads = [threading.Thread(target=chain, args=(n,), daemon=True) for n in chains]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("[ontarget-https] %d chains side by side in %.0f s" % (len(chains), time.monotonic() - start))

    c = Checker()
    for n in chains:
        print("%s (%s):" % (n, os.path.join(out, n)))
        model, requests = {}, []
        for number, run in enumerate(runs[n], 1):
            check_boot(c, n, number, run, certs, model, requests)
        c.check(n not in errors and len(runs[n]) == len(CHAINS[n]),
                "%s: all %d boots ran" % (n, len(CHAINS[n])), errors.get(n, ""))
    print("https: %d passed, %d failed" % (c.passed, c.failed))
    return 0 if c.failed == 0 and c.passed > 0 else 1


# --------------------------------------------------------------------------
# The unattended server
# --------------------------------------------------------------------------

# One power-on of the unattended server (one machine, its flash kept): what
# the administrator queues at the BMC beforehand, whether the BMC is attached,
# the trust the boot manager derives (TolmUpdateHttpsBootTrust's status), and
# how the boot ends: "image" (the HTTPS option booted, the image powered the
# machine off) or "power-off" (the HTTPS option failed, Boot Device Selection
# went on to the last entry of the order).
Power = namedtuple("Power", "name queue bmc trust ends")
UNATTENDED = (
    Power("1-power-on", queue=(("import", 1, "ca"),), bmc=True, trust="Success", ends="image"),
    # No BMC: the driver's services fail, the slots stay as they were.
    Power("2-no-bmc", queue=(), bmc=False, trust="Success", ends="image"),
    # The BMC deletes the CA: no anchor at all, the server is refused.
    Power("3-deleted", queue=(("delete", 1),), bmc=True, trust="Not Found", ends="power-off"),
)


def console_steps(com1):
    """The boot's milestones on COM1, in order: (what, line index, text)."""
    steps = []
    for i, line in enumerate(com1.lines):
        line = line.strip()
        m = POLICY_STEP.match(line[line.find(POLICY):]) if POLICY in line else None
        if m:
            steps.append((m.group(1), i, m.group(2)))
        elif BOOT_ORDER.match(line):
            steps.append(("BootOrder", i, line))
        elif line.startswith(HTTP_BOOT_START):
            steps.append(("download", i, line))
        elif IMAGE_RUNNING in line:
            steps.append(("image", i, line[line.index(IMAGE_RUNNING):]))
        elif POWER_OFF in line:
            steps.append(("power-off", i, line[line.index(POWER_OFF):]))
    return steps


def power_on(directory, vars_file, run_dir, uri, watch=None):
    """One power-on; watch(path) is called while QEMU runs (for timings).
    Returns (QEMU's status, seconds)."""
    start = time.monotonic()
    proc = subprocess.Popen(["bash", "-c", '. "$0/https-boot-common.sh" && "$@"', SCRIPTS, "hb_power_on",
                             directory, vars_file, run_dir or "", uri])
    if watch:
        watch(proc, start)
    rc = proc.wait()
    return rc, time.monotonic() - start


def check_power_on(c, power, directory, rc, seconds, uri, events):
    name = power.name
    com1, com2 = Log(os.path.join(directory, "com1.log")), Log(os.path.join(directory, "com2.log"))
    c.check(rc == 0, "%s: the machine powered itself off (%.0f s)" % (name, seconds), "status %d (124: time limit)" % rc)
    steps = console_steps(com1)
    order = [s[0] for s in steps]
    text = {s[0]: s[2] for s in steps}
    print("    console: %s" % " | ".join("%s %s" % (w, t if w != "BootOrder" else "") for w, _, t in steps))
    want = ["BootOrder", "certificate driver", "HandlePendingTasks", "SyncHttpsCertToVEXA",
            "TolmUpdateHttpsBootTrust", "download", "image" if power.ends == "image" else "power-off"]
    c.check(order == want, "%s: the console shows %s in that order" % (name, ", ".join(want)), repr(order))
    m = BOOT_ORDER.match(text.get("BootOrder", ""))
    c.check(m is not None and m.group(2) == uri,
            "%s: BootOrder is the HTTPS option Uri(%s), then the power-off application" % (name, uri),
            text.get("BootOrder", "no BootOrder line"))
    c.check(not any("Shell>" in l or "UEFI Interactive Shell" in l for l in com1.lines),
            "%s: no shell ran" % name)
    pending = "returned TRUE" if power.queue else "returned FALSE"
    sync_ok = text.get("SyncHttpsCertToVEXA", "").startswith("returned Success")
    c.check(text.get("certificate driver") == "found" and text.get("HandlePendingTasks", "").startswith(pending) and
            sync_ok == power.bmc,
            "%s: the driver's services: HandlePendingTasks %s, SyncHttpsCertToVEXA %s" %
            (name, pending, "Success" if power.bmc else "failed"),
            "%r / %r" % (text.get("HandlePendingTasks"), text.get("SyncHttpsCertToVEXA")))
    if not power.bmc:
        driver = "\n".join(com1.driver_lines())
        c.check("GetPendingTaskList: error status returned from the KIV command." in driver and
                "Failed to sync Https certs to Vexa" in driver,
                "%s: the driver reported the missing BMC from both services" % name)
    c.check(text.get("TolmUpdateHttpsBootTrust", "").startswith("returned %s:" % power.trust),
            "%s: the trust derived from the slots: %s" % (name, power.trust), repr(text.get("TolmUpdateHttpsBootTrust")))
    check_consoles(c, com1, com2, name)
    mine = [e for s, e in events if s == "good"]
    if power.ends == "image":
        c.check(text.get("image", "").endswith("/Uri(%s)" % uri) and TLS_SESSION in mine and
                any(e.startswith("GET /boot.efi 200 ") for e in mine) and
                any("HTTPS-BOOT-IMAGE: shutting down" in l for l in com1.lines),
                "%s: the server accepted (%s), the boot image ran from Uri(%s) and powered off" %
                (name, TLS_SESSION, uri), "image %r, server %r" % (text.get("image"), mine))
    else:
        c.check("image" not in text and not mine and text.get("power-off", "").startswith(POWER_OFF + "no boot option"),
                "%s: refused without a TLS session, the boot image never ran, the last entry powered off" % name,
                "image %r, server %r, power-off %r" % (text.get("image"), mine, text.get("power-off")))


def platform_run(args, who, script):
    """The start of a run of the platform build: its output folder (emptied),
    the BMC module and the boot image the server hands out."""
    if not os.environ.get("OT_PLATFORM_FD"):
        raise SystemExit("[%s] no platform firmware selected (%s)" % (who, script))
    out = os.path.abspath(args.out)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    return out, bmc_module(), shell("hb_boot_image").stdout.strip()


def run_unattended(args):
    out, module, image = platform_run(args, "unattended", "scripts/ontarget-https.sh --platform")
    certs = make_certs(os.path.join(out, "certs"))
    vars_file, log_path = os.path.join(out, "vars.fd"), os.path.join(out, "server.log")
    servers = BootServers(os.path.join(out, "certs"), image, log_path)
    uri = servers.uri("good")
    c = Checker()
    requests, model = [], {}
    try:
        with VexaSim(os.path.join(out, "bmc-run"), module=module, state_dir=os.path.join(out, "bmc-state")) as sim:
            for power in UNATTENDED:
                for request in power.queue:
                    sim.console("vexa_%s %d%s" % (request[0], request[1], " " + os.path.join(
                        out, "certs", request[2] + ".der") if request[0] == "import" else ""))
                before = Bmc(sim.console("vexa_show"))
                logged = len(open(log_path).read().splitlines())
                directory = os.path.join(out, power.name)
                rc, seconds = power_on(directory, vars_file, sim.run_dir if power.bmc else None, uri)
                events = server_events(open(log_path).read().splitlines()[logged:])
                print("%s (%s): powered on for %.0f s" % (power.name, directory, seconds), flush=True)
                check_power_on(c, power, directory, rc, seconds, uri, events)
                if power.bmc:
                    for request in power.queue:
                        requests.append(request)
                        if request[0] == "import":
                            model[request[1]] = certs[request[2]]
                        else:
                            model.pop(request[1], None)
                    fates = {i: ("%s slot %d" % (r[0], r[1]), "confirmed") for i, r in enumerate(requests, 1)}
                    check_bmc(c, Bmc(sim.console("vexa_show")), power.name, fates,
                              {n: model.get(n) for n in range(1, 5)}, sum(1 for p in UNATTENDED[:UNATTENDED.index(
                                  power) + 1] if p.bmc))
                else:
                    c.check(sim.console("vexa_show") == before.text,
                            "%s: the BMC's view is unchanged (no BMC attached)" % power.name)
    finally:
        servers.stop()
    print("unattended: %d passed, %d failed" % (c.passed, c.failed))
    return 0 if c.failed == 0 and c.passed > 0 else 1


def measure(args):
    """Times of the unattended power-on on this machine: one machine, the CA
    queued at the BMC before the first power-on, nothing before the others.
    Host side: seconds from QEMU's start to each milestone's first appearance
    on COM1 (the log polled every 20 ms). Target side: the boot manager's own
    microseconds for each step (the platform's ACPI timer)."""
    out, module, image = platform_run(args, "measure", "scripts/measure-unattended.sh")
    make_certs(os.path.join(out, "certs"))
    vars_file = os.path.join(out, "vars.fd")
    servers = BootServers(os.path.join(out, "certs"), image, os.path.join(out, "server.log"))
    uri = servers.uri("good")
    milestones = ("BootOrder", "HandlePendingTasks", "TolmUpdateHttpsBootTrust", "download", "image")
    rows = []
    try:
        with VexaSim(os.path.join(out, "bmc-run"), module=module, state_dir=os.path.join(out, "bmc-state")) as sim:
            for run in range(1, args.runs + 1):
                if run == 1:
                    sim.console("vexa_import 1 %s" % os.path.join(out, "certs", "ca.der"))
                directory = os.path.join(out, "run%d" % run)
                seen = {}

                def watch(proc, start, directory=directory, seen=seen):
                    path = os.path.join(directory, "com1.log")
                    while proc.poll() is None:
                        log = Log(path)
                        for what, _, _ in console_steps(log):
                            seen.setdefault(what, time.monotonic() - start)
                        time.sleep(0.02)

                rc, seconds = power_on(directory, vars_file, sim.run_dir, uri, watch)
                steps = console_steps(Log(os.path.join(directory, "com1.log")))
                us = {}
                for what, i, _ in steps:
                    line = Log(os.path.join(directory, "com1.log")).lines[i].strip()
                    m = POLICY_STEP.match(line[line.find(POLICY):]) if POLICY in line else None
                    if m and m.group(3):
                        us[what] = int(m.group(3))
                rows.append((run, rc, seconds, seen, us))
    finally:
        servers.stop()
    print("Unattended power-on, platform build under TCG (%d cores, load %s):" %
          (os.cpu_count(), " ".join("%.1f" % l for l in os.getloadavg())))
    print("  run  pending  QEMU start -> seconds at: %s" % ", ".join(milestones))
    for run, rc, seconds, seen, us in rows:
        print("  %3d  %-7s  %s   (QEMU ended after %.1f s, status %d)" % (
            run, "CA" if run == 1 else "none",
            "  ".join("%6s" % ("%.1f" % seen[m] if m in seen else "-") for m in milestones), seconds, rc))
    print("  run  on target, ms: HandlePendingTasks, SyncHttpsCertToVEXA, TolmUpdateHttpsBootTrust (sum; share of "
          "QEMU start -> image marker)")
    for run, rc, seconds, seen, us in rows:
        parts = [us.get(k, 0) / 1000.0 for k in ("HandlePendingTasks", "SyncHttpsCertToVEXA", "TolmUpdateHttpsBootTrust")]
        total = sum(parts)
        print("  %3d  %s  (%.1f ms; %.2f %%)" % (run, "  ".join("%8.1f" % p for p in parts), total,
                                                  100.0 * total / 1000.0 / seen["image"] if "image" in seen else 0))
    return 0 if rows and all(r[1] == 0 and "image" in r[3] for r in rows) else 1


# --------------------------------------------------------------------------
# The demo's chapter
# --------------------------------------------------------------------------

def report_bmc(bmc, ca, problems):
    """The report's BMC section: what it holds, the import into slot 1
    confirmed, slot 1 known to hold the CA."""
    names = {sha256(ca): "the CA"}
    print("\n== What the BMC now holds")
    for line in bmc.text.split("\n"):
        if not line.startswith("state file"):
            m = re.search(r"sha256 ([0-9a-f]{64})", line)
            print("  " + line + (" (= %s)" % names[m.group(1)] if m and m.group(1) in names else ""))
    imports = [fate for what, fate in (bmc.requests[r] for r in sorted(bmc.requests)) if what == "import slot 1"]
    if not imports or imports[-1] != "confirmed":
        problems.append("the BMC did not confirm the import into slot 1 (%s)" % (imports[-1] if imports else "none"))
    if bmc.slots.get(1) != sha256(ca):
        problems.append("the BMC does not know slot 1 to hold the CA")


def report_power_on(args):
    """The demo chapter's report of a power-on of the platform build: the
    console in order, from the boot order to the boot image; non-zero unless
    the steps came in that order, the trust held the slots, the image ran
    from the provisioned server and the BMC confirmed the import."""
    com1 = Log(os.path.join(args.dir, "com1.log"))
    problems = []
    ca = read(os.path.join(args.certs, "ca.der"))
    print("\n== The server's console, in order (COM1; the boot manager's steps, the driver's and the trust "
          "component's lines, HTTP boot, the boot image)")
    wanted = re.compile(r"PlatformBootManager: BootOrder|" + POLICY + r"|HandlePendingImport returned|"
                        r"HandlePendingDelete returned|Total cert to sync|" + TRUST_PREFIX +
                        r"|^>>Start HTTP Boot|^URI: |Downloading\.\.\.100%|" + IMAGE_RUNNING +
                        r"|HTTPS-BOOT-IMAGE: shutting down|" + POWER_OFF + r"|Error: ")
    for line in com1.lines:
        # The download's progress ends without a line end: what follows it
        # on the same line is a line of its own.
        line = line.strip()
        m = re.search(r"(?:Downloading\.\.\.\d+%\s*)+", line)
        parts = [line[:m.start()], re.findall(r"Downloading\.\.\.\d+%", m.group(0))[-1], line[m.end():]] \
            if m else [line]
        for part in parts:
            if part.strip() and wanted.search(part.strip()):
                print("  " + part.strip())
    order = [w for w, _, _ in console_steps(com1)]
    want = ["BootOrder", "certificate driver", "HandlePendingTasks", "SyncHttpsCertToVEXA",
            "TolmUpdateHttpsBootTrust", "download", "image"]
    if order != want:
        problems.append("the console's steps came as %s" % ", ".join(order))
    text = {w: t for w, _, t in console_steps(com1)}
    if not text.get("TolmUpdateHttpsBootTrust", "").startswith("returned Success"):
        problems.append("the trust was not derived from the slots")
    events = server_events(open(os.path.join(args.dir, "server.log")).read().splitlines()) \
        if os.path.exists(os.path.join(args.dir, "server.log")) else []
    tls = [e for name, e in events if name == "good" and e.startswith("handshake")]
    print("\n== TLS verdict: %s" % (
        "the firmware accepted the server's certificate (%s, %s); the boot image ran from %s" % (
            tls[0].split()[1], tls[0].split()[2], text.get("image", "?")[len(IMAGE_RUNNING):])
        if tls and tls[0].startswith("handshake ") and "image" in text else
        "no HTTPS boot from the provisioned server (%s)" % (tls[0] if tls else "no connection")))
    if TLS_SESSION not in tls or "image" not in text:
        problems.append("no HTTPS boot from the provisioned server")
    report_bmc(Bmc.of_run(args.run), ca, problems)
    if problems:
        print("\nHTTPS CHAPTER FAILED: " + "; ".join(problems))
        return 1
    print("\nPowered on, nothing else: the boot manager applied the BMC's request, synced, derived the trust from "
          "the slots, and Boot Device Selection booted the HTTPS option; the server signed by the CA was accepted "
          "and its boot image ran.")
    return 0


def report(args):
    """The demo chapter's report; non-zero unless the boot image ran from the
    provisioned server, the trust was exactly what the BMC knows the slots
    hold, and the BMC confirmed the import into slot 1."""
    com1 = Log(os.path.join(args.dir, "com1.log"))
    problems = []
    ca = read(os.path.join(args.certs, "ca.der"))
    if args.power_on:
        return report_power_on(args)
    bmc = Bmc.of_run(args.run)

    print("\n== What the firmware did (driver and trust component, from COM1)")
    started = next((i for i, l in enumerate(com1.lines) if l.startswith("OT: START")), 0)
    wanted = re.compile(r"HandlePendingImport returned|HandlePendingDelete returned|Variable Name \(|"
                        r"Total cert to sync|" + TRUST_PREFIX)
    early = [l.strip() for l in com1.lines[:started] if TRUST_PREFIX in l]
    if early:
        print("  before the boot policy ran: the trust driver at Boot Device Selection's ReadyToBoot, from the "
              "slots as the last boot left them")
        for line in early:
            print("    " + line)
    print("  the boot policy: HandlePendingTasks, SyncHttpsCertToVEXA, ReadyToBoot")
    for line in com1.lines[started:]:
        if wanted.search(line):
            print("    " + line.strip())
    trust = com1.blobs().get("trust")
    lists = []
    if isinstance(trust, bytes):
        try:
            lists = [der for _, der in signature_lists(trust)]
            print("  \"TlsCaCertificate\": %d bytes, %d signature list(s)" % (len(trust), len(lists)))
            for n, der in enumerate(lists, 1):
                print("    list %d: %s%s" % (n, subject(der), " (the CA)" if der == ca else ""))
        except ValueError as e:
            problems.append("\"TlsCaCertificate\" malformed: %s" % e)
    else:
        problems.append("\"TlsCaCertificate\" not set")
        print("  \"TlsCaCertificate\": not set")

    print("\n== HTTPS boot")
    block = https_blocks(com1).get("demo")
    events = server_events(open(os.path.join(args.dir, "server.log")).read().splitlines()) \
        if os.path.exists(os.path.join(args.dir, "server.log")) else []
    tls = [e for name, e in events if name == "good" and e.startswith("handshake")]
    if block is None:
        problems.append("the HTTPS boot was not attempted")
        print("  (not attempted)")
    else:
        print("  URI %s" % block["uri"])
        for line in firmware_lines(block):
            print("  firmware: %s" % line)
        for name, event in events:
            print("  server (%s CA): %s" % ("the" if name == "good" else "other", event))
        ran = image_lines(block)
        for line in ran:
            print("  boot image: %s" % line[len("HTTPS-BOOT-IMAGE: "):])
        loadfile = block.get("loadfile", "not returned")
        print("\n== TLS verdict: %s" % (
            "the firmware accepted the server's certificate (%s, %s); LoadFile %s, %d bytes" % (
                tls[0].split()[1], tls[0].split()[2], loadfile, block.get("bytes", 0))
            if tls and tls[0].startswith("handshake ") else
            "no TLS session (%s); LoadFile %s" % (tls[0] if tls else "no connection", loadfile)))
        if not any(l.startswith(IMAGE_RUNNING) and l.endswith("/Uri(%s)" % block["uri"]) for l in ran):
            problems.append("the boot image did not run")
        if TLS_SESSION not in tls or loadfile != "Success":
            problems.append("no HTTPS download from the provisioned server")

    report_bmc(bmc, ca, problems)
    reported = [h for n, h in sorted(bmc.slots.items()) if h]
    if [sha256(d) for d in lists] != reported:
        problems.append("the trust is not the slots the BMC knows of (%d lists, %d slots)" %
                        (len(lists), len(reported)))
    if problems:
        print("\nHTTPS CHAPTER FAILED: " + "; ".join(problems))
        return 1
    print("\nHTTPS boot trusted exactly what the BMC provisioned: the slots the sync reported, in slot order, "
          "the CA in slot 1; the server signed by the CA was accepted and its boot image ran.")
    return 0


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)
    s = sub.add_parser("certs")
    s.add_argument("dir")
    s = sub.add_parser("serve")
    s.add_argument("--certs", required=True)
    s.add_argument("--image", required=True)
    s.add_argument("--dir", required=True)
    s.add_argument("--lifetime", type=float, default=600)
    s = sub.add_parser("check")
    s.add_argument("--out", required=True)
    s.add_argument("chains", nargs="*", metavar="CHAIN", help=", ".join(sorted(CHAINS)))
    s = sub.add_parser("unattended")
    s.add_argument("--out", required=True)
    s = sub.add_parser("measure")
    s.add_argument("--out", required=True)
    s.add_argument("--runs", type=int, default=3)
    s = sub.add_parser("report")
    s.add_argument("--dir", required=True)
    s.add_argument("--certs", required=True)
    s.add_argument("--run", required=True)
    s.add_argument("--power-on", action="store_true", help="the boot was a power-on (hb_power_on)")
    args = p.parse_args()
    if args.command == "check" and set(args.chains) - set(CHAINS):
        p.error("no chain %s (%s)" % (", ".join(sorted(set(args.chains) - set(CHAINS))), ", ".join(sorted(CHAINS))))
    if args.command == "certs":
        make_certs(args.dir)
        return 0
    return {"serve": serve, "check": run_group, "unattended": run_unattended, "measure": measure,
            "report": report}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
