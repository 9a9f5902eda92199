#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Host side of the HTTPS boot scenarios: the certificates of a run, the boot
server, the stand-in Vexa's administrator queue, and the checks and report of
what the firmware did.

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
  https_boot.py queue  --fat DIR --slot N --der FILE
      The stand-in Vexa's administrator: queues an import of FILE into slot N
      (DIR/vexa-queue.bin, DIR/vexa-cert<N>.der).
  https_boot.py check  --group https-slot1|https-slot3 --dir BOOTDIR
  https_boot.py report --dir BOOTDIR --certs DIR --queue DIR
"""

import argparse
import http.server
import os
import re
import signal
import ssl
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ontarget_log import Checker, Log, check_consoles, check_target_verdicts, subject  # noqa: E402

GUEST_HOST = "10.0.2.2"
X509_GUID = bytes.fromhex("A159C0A5E494A74A87B5AB155C2BF072")
TRUST_PREFIX = "TolmUpdateHttpsBootTrust: "
IMAGE_RUNNING = "HTTPS-BOOT-IMAGE: running, loaded from "
BLOCK_BEGIN = re.compile(r"^OT: HTTPS BEGIN (\S+) (\S+)$")
BLOCK_LOADFILE = re.compile(r"^OT: HTTPS LOADFILE (\S+) (.+) (\d+)$")
BLOCK_END = re.compile(r"^OT: HTTPS END (\S+) LoadFile (.+) (\d+) StartImage (.+)$")
SERVER_LINE = re.compile(r"^(good|other) (.*)$")

# What each group's HTTPS attempts must come to, by label: True = accepted.
EXPECTED_BOOTS = {
    "https-slot1": {"other-ca": False, "provisioned": True, "deleted": False},
    "https-slot3": {"other-ca": False, "provisioned": True},
}
# The trust component's console lines each group must show.
EXPECTED_TRUST_LINES = {
    "https-slot1": [
        "slot 1 (HttpsCertDev1) trusted",
        "no slot holds a well-formed certificate: HTTPS boot trusts no server",
    ],
    "https-slot3": [
        "slot 1 (HttpsCertDev1) trusted",
        "slot 2 (HttpsCertDev2) skipped: SignatureListSize is not the size of the value",
        "slot 3 (HttpsCertDev3) trusted",
        "slot 4 (HttpsCertDev4) skipped: the certificate is not one DER SEQUENCE filling the signature",
        '"TlsCaCertificate" holds the lists of 2 slot(s)',
    ],
}


# --------------------------------------------------------------------------
# Certificates
# --------------------------------------------------------------------------

def openssl(*args):
    r = subprocess.run(["openssl", *args], capture_output=True, text=True)
    if r.returncode != 0:
        raise SystemExit("openssl %s failed: %s" % (args[0], r.stderr.strip()))


def make_certs(args):
    d = args.dir
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
    return 0


# --------------------------------------------------------------------------
# The boot server
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


def serve(args):
    os.makedirs(args.dir, exist_ok=True)
    payload = open(args.image, "rb").read()
    log_file = open(os.path.join(args.dir, "server.log"), "a", buffering=1)
    lock = threading.Lock()

    def logger(text):
        with lock:
            log_file.write("%s\n" % text)

    servers = []
    for name, cert in (("good", "server"), ("other", "other-server")):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        # The firmware's TLS offers RSA key exchange only (no elliptic curves).
        context.set_ciphers("ECDHE+AESGCM:AES256-GCM-SHA384")
        context.load_cert_chain(os.path.join(args.certs, cert + ".pem"), os.path.join(args.certs, cert + ".key"))
        servers.append(BootServer(name, context, payload, logger))
    for s in servers:
        threading.Thread(target=s.serve_forever, daemon=True).start()
    with open(os.path.join(args.dir, "ports.tmp"), "w") as f:
        f.write("".join("%s %d\n" % (s.name, s.server_address[1]) for s in servers))
    os.replace(os.path.join(args.dir, "ports.tmp"), os.path.join(args.dir, "ports"))

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    parent, deadline = os.getppid(), time.monotonic() + args.lifetime
    while not stop.wait(0.5):
        if os.getppid() != parent or time.monotonic() > deadline:
            break
    for s in servers:
        s.shutdown()
        s.server_close()
    return 0


# --------------------------------------------------------------------------
# The stand-in Vexa's administrator
# --------------------------------------------------------------------------

def queue(args):
    der = open(args.der, "rb").read()
    if not 1 <= args.slot <= 4 or not 0 < len(der) <= 0xFFFF:
        raise SystemExit("queue: slot 1 to 4 and a certificate of 1 to 65535 bytes")
    with open(os.path.join(args.fat, "vexa-queue.bin"), "ab") as f:
        f.write(bytes([9, args.slot, 0xAA]) + len(der).to_bytes(2, "little") + b"\0")
    with open(os.path.join(args.fat, "vexa-cert%d.der" % args.slot), "wb") as f:
        f.write(der)
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
            current["loadfile"] = m.group(2)
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
    (carriage returns, no line ends) collapsed to its last step."""
    out = []
    for line in block["lines"]:
        line = line.split("HTTPS-BOOT-IMAGE: ")[0].strip()
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


def server_log(boot_dir):
    path = os.path.join(boot_dir, "server.log")
    lines = open(path).read().splitlines() if os.path.exists(path) else []
    return [m.groups() for m in map(SERVER_LINE.match, lines) if m]


def check_boot(c, group, blocks, label, accepted):
    block = blocks.get(label)
    if not c.check(block is not None and "status" in block, "%s: attempt %s finished" % (group, label)):
        return
    ran = image_lines(block, IMAGE_RUNNING)
    fw = firmware_lines(block)
    print("    %s: LoadFile %s; firmware: %s" % (label, block["status"], " | ".join(fw) or "(nothing)"))
    if accepted:
        c.check(block["status"] == "Success" and len(ran) == 1 and ran[0].endswith("/Uri(%s)" % block["uri"]) and
                "HTTPS-BOOT-IMAGE: returning" in image_lines(block),
                "%s: %s accepted, the boot image ran from Uri(%s)" % (group, label, block["uri"]),
                "LoadFile %s, marker lines %r" % (block["status"], ran))
    else:
        c.check(block["status"] != "Success" and not ran and any(l.startswith("Error: ") for l in fw),
                "%s: %s refused with the firmware's error on the console, the boot image never ran" % (group, label),
                "LoadFile %s, marker lines %r, firmware %r" % (block["status"], ran, fw))


def check(args):
    com1, com2 = Log(os.path.join(args.dir, "com1.log")), Log(os.path.join(args.dir, "com2.log"))
    c = Checker()
    check_target_verdicts(c, com1, args.group)
    blocks = https_blocks(com1)
    for label, accepted in EXPECTED_BOOTS[args.group].items():
        check_boot(c, args.group, blocks, label, accepted)

    trust1 = [l for l in com1.lines if TRUST_PREFIX in l]
    trust2 = [l for l in com2.lines if TRUST_PREFIX in l]
    c.check(trust1 == trust2 and trust1, "%s: trust component's console identical on COM1 and COM2 (%d lines)" %
            (args.group, len(trust1)))
    for text in EXPECTED_TRUST_LINES[args.group]:
        c.check(any(text in l for l in trust1), "%s: trust component reported \"%s\"" % (args.group, text))
    check_consoles(c, com1, com2, args.group)

    events = server_log(args.dir)
    good = [e[1] for e in events if e[0] == "good"]
    other = [e[1] for e in events if e[0] == "other"]
    c.check("handshake TLSv1.2 AES256-GCM-SHA384" in good and "GET /boot.efi 200 %d" % os.path.getsize(
        os.path.join(args.dir, "www", "boot.efi")) in good,
            "%s: server of the CA: TLS 1.2 AES256-GCM-SHA384, boot image served" % args.group, repr(good))
    c.check(other and all(e.startswith("handshake-refused") for e in other),
            "%s: server of the other CA: every handshake refused (%s)" % (args.group, other[0] if other else "none"),
            repr(other))
    print("%s: %d passed, %d failed" % (args.group, c.passed, c.failed))
    return 0 if c.failed == 0 and c.passed > 0 else 1


def report(args):
    """The demo's HTTPS chapter report; non-zero unless the boot image ran
    from the provisioned server and the trust was exactly the queued CA."""
    com1 = Log(os.path.join(args.dir, "com1.log"))
    problems = []
    queued = open(os.path.join(args.queue, "vexa-queue.bin"), "rb").read()
    ca = open(os.path.join(args.certs, "ca.der"), "rb").read()

    print("\n== What the administrator queued at the Vexa")
    for i in range(0, len(queued) - 5, 6):
        slot = queued[i + 1]
        der = open(os.path.join(args.queue, "vexa-cert%d.der" % slot), "rb").read()
        print("  import into slot %d: %d bytes, %s%s" % (slot, len(der), subject(der), " (the CA)" if der == ca else ""))

    print("\n== What the firmware did (driver and trust component, from COM1)")
    for line in com1.lines:
        if re.search(r"HandlePendingImport returned|HandlePendingDelete returned|Variable Name \(|Total cert to sync|" +
                     TRUST_PREFIX, line):
            print("  " + line.strip())
    trust = com1.blobs().get("trust.demo")
    if isinstance(trust, bytes):
        try:
            lists = signature_lists(trust)
            print("  \"TlsCaCertificate\": %d bytes, %d signature list(s)" % (len(trust), len(lists)))
            for n, (_, der) in enumerate(lists, 1):
                print("    list %d: %s%s" % (n, subject(der), " (the CA)" if der == ca else ""))
            if [der for _, der in lists] != [ca]:
                problems.append("the trust is not exactly the queued CA")
        except ValueError as e:
            problems.append("\"TlsCaCertificate\" malformed: %s" % e)
    else:
        problems.append("\"TlsCaCertificate\" not set")
        print("  \"TlsCaCertificate\": not set")

    print("\n== HTTPS boot")
    block = https_blocks(com1).get("demo")
    if block is None:
        problems.append("the HTTPS boot was not attempted")
        print("  (not attempted)")
    else:
        print("  URI %s" % block["uri"])
        for line in firmware_lines(block):
            print("  firmware: %s" % line)
        for name, event in server_log(args.dir):
            print("  server (%s CA): %s" % ("the" if name == "good" else "other", event))
        ran = image_lines(block)
        for line in ran:
            print("  boot image: %s" % line[len("HTTPS-BOOT-IMAGE: "):])
        tls = [e for name, e in server_log(args.dir) if name == "good" and e.startswith("handshake")]
        loadfile = block.get("loadfile", "not returned")
        print("\n== TLS verdict: %s" % (
            "the firmware accepted the server's certificate (%s, %s); LoadFile %s, %d bytes" % (
                tls[0].split()[1], tls[0].split()[2], loadfile, os.path.getsize(os.path.join(args.dir, "www", "boot.efi")))
            if tls and tls[0].startswith("handshake ") else
            "no TLS session (%s); LoadFile %s" % (tls[0] if tls else "no connection", loadfile)))
        if not any(l.startswith(IMAGE_RUNNING) and l.endswith("/Uri(%s)" % block["uri"]) for l in ran):
            problems.append("the boot image did not run")
        if "handshake TLSv1.2 AES256-GCM-SHA384" not in tls or loadfile != "Success":
            problems.append("no HTTPS download from the provisioned server")
    if problems:
        print("\nHTTPS CHAPTER FAILED: " + "; ".join(problems))
        return 1
    print("\nHTTPS boot trusted exactly what the Vexa provisioned: the server signed by the CA was accepted "
          "and its boot image ran.")
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
    s = sub.add_parser("queue")
    s.add_argument("--fat", required=True)
    s.add_argument("--slot", type=int, required=True)
    s.add_argument("--der", required=True)
    s = sub.add_parser("check")
    s.add_argument("--group", choices=sorted(EXPECTED_BOOTS), required=True)
    s.add_argument("--dir", required=True)
    s = sub.add_parser("report")
    s.add_argument("--dir", required=True)
    s.add_argument("--certs", required=True)
    s.add_argument("--queue", required=True)
    args = p.parse_args()
    return {"certs": make_certs, "serve": serve, "queue": queue, "check": check, "report": report}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
