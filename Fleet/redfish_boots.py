#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Redfish tasks across real boots: one server (a BMC with its Redfish
service powering a QEMU machine, as in Fleet/fleet.py), the administrator's
requests made through Redfish, each boot started with ComputerSystem.Reset.

  redfish_boots.py check   --out DIR   (CTest ontarget.redfish-tasks)
  redfish_boots.py measure --out DIR [--fleet 1,2,3,4]

check, boot by boot (the task states before and after each boot printed as
a table):
  1  POST the CA (slot 1) and a certificate larger than the platform's
     variable store takes (slot 2): Completed; Exception, its message saying
     the report shows slot 2 empty
  2  ReplaceCertificate of member 1 (the URI as a string, as sushy sends it)
     and a POST into the now empty slot 2: both Completed
  3  DELETE of member 2: it stays a member while pending; Completed, and
     the collection is member 1 alone

measure: the time from a POST to its task's final state across one boot;
the latency of 1,000 authenticated GETs of the collection (median, 99th
percentile) with the BMC idle and while a boot imports a 28 KB certificate;
the fleet's wall time (Fleet/fleet.py) for each N given.
"""

import argparse
import base64
import hashlib
import http.client
import json
import os
import shutil
import signal
import ssl
import statistics
import subprocess
import sys
import time
import urllib.error
import urllib.request

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import fleet  # noqa: E402
from fleet import BootServers, add_server, firmware_of, make_certs, shell, stop_machine  # noqa: E402

CERTS = "/redfish/v1/Systems/1/Boot/Certificates"
REPLACE = "/redfish/v1/CertificateService/Actions/CertificateService.ReplaceCertificate"
RESET = "/redfish/v1/Systems/1/Actions/ComputerSystem.Reset"
# Debian's OVMF (4 MB flash) takes variables up to 0x8400 bytes (PcdMaxAuthVariableSize).
TOO_BIG = 40 * 1024
MEASURE_SIZE = 28 * 1024


class Redfish:
    def __init__(self, sim):
        e = sim.redfish_env
        self.base = "https://127.0.0.1:%s" % e["VEXA_REDFISH_PORT"]
        self.context = ssl.create_default_context(cafile=e["VEXA_REDFISH_CA"])
        password = open(e["VEXA_REDFISH_PASSWORD_FILE"]).read().strip()
        self.auth = "Basic " + base64.b64encode(("admin:" + password).encode()).decode()

    def call(self, method, path, body=None):
        request = urllib.request.Request(self.base + path, method=method,
                                         data=json.dumps(body).encode() if body is not None else None)
        request.add_header("Authorization", self.auth)
        request.add_header("Content-Type", "application/json")
        try:
            with urllib.request.urlopen(request, context=self.context, timeout=60) as r:
                text, status = r.read(), r.status
        except urllib.error.HTTPError as e:
            text, status = e.read(), e.code
        return status, json.loads(text) if text else None

    def get(self, path):
        return self.call("GET", path)[1]

    def members(self):
        return [m["@odata.id"].rsplit("/", 1)[1] for m in self.get(CERTS)["Members"]]

    def boot(self, timeout=400):
        """Powers the server on and waits until it powered itself off."""
        status, _ = self.call("POST", RESET, {"ResetType": "On"})
        if status != 204:
            raise SystemExit("[redfish-boots] Reset On answered %d" % status)
        deadline = time.monotonic() + timeout
        time.sleep(2)
        while self.get("/redfish/v1/Systems/1")["PowerState"] != "Off":
            if time.monotonic() > deadline:
                raise SystemExit("[redfish-boots] the server did not power off within %d s" % timeout)
            time.sleep(1)


def make_cert(directory, name, size=0):
    """A self-signed certificate of about size bytes DER (PEM path, DER)."""
    key, pem = os.path.join(directory, name + ".key"), os.path.join(directory, name + ".pem")
    args = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj", "/O=Tolm/CN=" + name,
            "-keyout", key, "-out", pem]
    if size:
        args += ["-addext", "nsComment=" + "x" * (size - 900)]
    subprocess.run(args, check=True, capture_output=True)
    der = subprocess.run(["openssl", "x509", "-in", pem, "-outform", "DER"], check=True, capture_output=True).stdout
    return pem, der


def post(rf, pem):
    return rf.call("POST", CERTS, {"CertificateString": open(pem).read(), "CertificateType": "PEM"})


class Bed:
    """One server with its boot server; everything stopped by close()."""

    def __init__(self, out):
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        self.out = out
        firmware = firmware_of(True)
        module = os.environ.get("VEXA_BMC_MODULE") or shell("ot_bmc_module", False).strip()
        self.certs = os.path.join(out, "certs")
        make_certs(self.certs)
        self.boot_server = BootServers(self.certs, firmware["image"], os.path.join(out, "server.log"))
        self.servers, self.sims = [], []
        try:
            self.server = add_server(out, 1, firmware, module, self.boot_server.uri("good"), self.servers, self.sims)
        except BaseException:
            self.close()
            raise
        self.rf = Redfish(self.server["sim"])

    def close(self):
        for s in self.servers:
            stop_machine(s)
        for sim in self.sims:
            sim.stop()
        self.boot_server.stop()


def check(args):
    bed = Bed(os.path.abspath(args.out))
    failures, rows = [], []

    def expect(ok, what):
        print("[redfish-boots] %s %s" % ("ok    " if ok else "WRONG ", what), flush=True)
        if not ok:
            failures.append(what)

    try:
        rf, d = bed.rf, bed.certs
        ca_pem = os.path.join(d, "ca.pem")
        big_pem, big = make_cert(d, "too-big", TOO_BIG)
        b_pem, _ = make_cert(d, "replacement")
        c_pem, _ = make_cert(d, "second")
        boots = (
            ("1", [("import the CA", lambda: post(rf, ca_pem)),
                   ("import %d bytes DER" % len(big), lambda: post(rf, big_pem))],
             {"import the CA": ("Completed", 1), "import %d bytes DER" % len(big): ("Exception", 2)}, ["1"]),
            ("2", [("replace member 1", lambda: rf.call("POST", REPLACE, {
                "CertificateString": open(b_pem).read(), "CertificateType": "PEM", "CertificateUri": CERTS + "/1"})),
                   ("import into the empty slot", lambda: post(rf, c_pem))],
             {"replace member 1": ("Completed", 1), "import into the empty slot": ("Completed", 2)}, ["1", "2"]),
            ("3", [("delete member 2", lambda: rf.call("DELETE", CERTS + "/2"))],
             {"delete member 2": ("Completed", 2)}, ["1"]),
        )
        for number, requests, want, members in boots:
            tasks = {}
            for what, call in requests:
                status, task = call()
                expect(status == 202, "boot %s: %s answered 202 (%d)" % (number, what, status))
                tasks[what] = task["Id"] if status == 202 else None
            before = {w: rf.get("/redfish/v1/TaskService/Tasks/%s" % t) for w, t in tasks.items()}
            if number == "3":
                expect(rf.members() == ["1", "2"], "boot 3: member 2 stays while its delete is pending")
            started = time.monotonic()
            rf.boot()
            # QEMU starts each boot's console file afresh: keep each.
            com1 = os.path.join(bed.server["dir"], "com1.log")
            shutil.copyfile(com1, os.path.join(bed.server["dir"], "com1-boot%s.log" % number))
            after = {w: rf.get("/redfish/v1/TaskService/Tasks/%s" % t) for w, t in tasks.items()}
            for what, (state, slot) in want.items():
                rows.append((number, what, before[what]["TaskState"], after[what]["TaskState"],
                             after[what]["Messages"][0]["Message"]))
                expect(before[what]["TaskState"] == "Pending" and after[what]["TaskState"] == state and
                       after[what]["Oem"]["Vexa"]["Slot"] == slot,
                       "boot %s: %s: Pending, then %s in slot %d (got %s, %s, slot %s; boot %.0f s)" % (
                           number, what, state, slot, before[what]["TaskState"], after[what]["TaskState"],
                           after[what]["Oem"]["Vexa"]["Slot"], time.monotonic() - started))
            expect(rf.members() == members, "boot %s: members %s (got %s)" % (number, members, rf.members()))
        big_task = next(r for r in rows if r[1].startswith("import %d" % len(big)))
        expect("not applied" in big_task[4] and "shows slot 2 empty" in big_task[4],
               "the certificate the store cannot take: not applied, with what the report showed")
        com1 = open(os.path.join(bed.server["dir"], "com1-boot1.log"), errors="replace").read().replace("\r", "")
        tried = com1[com1.find("Variable Name (HttpsCertDev2)"):] if "Variable Name (HttpsCertDev2)" in com1 else ""
        refused = tried.split("SetVariable returned (", 1)[1].split(")", 1)[0] if "SetVariable returned (" in tried else ""
        expect(refused not in ("", "Success"), "boot 1: the firmware tried to store it in HttpsCertDev2 and its "
               "variable store refused it (SetVariable returned %s)" % (refused or "nothing"))
    finally:
        bed.close()
    print("\n| boot | request | before the boot | after the boot | the task's message after the boot |")
    print("|---|---|---|---|---|")
    for row in rows:
        print("| %s | %s | %s | %s | %s |" % row)
    print("\n[redfish-boots] %s" % ("FAILED: " + "; ".join(failures) if failures else "passed"))
    return 1 if failures else 0


def latency(rf, count, keep_alive):
    """(median, 99th percentile) in ms of count GETs of the collection: each
    on a new HTTPS connection (the TLS handshake included), or all on one
    kept-alive connection."""
    samples = []
    host, port = rf.base[len("https://"):].split(":")
    conn = http.client.HTTPSConnection(host, int(port), context=rf.context, timeout=60)
    try:
        for _ in range(count):
            t = time.perf_counter()
            if keep_alive:
                conn.request("GET", CERTS, headers={"Authorization": rf.auth})
                response = conn.getresponse()
                response.read()
                status = response.status
            else:
                status, _ = rf.call("GET", CERTS)
            samples.append((time.perf_counter() - t) * 1000)
            if status != 200:
                raise SystemExit("[measure] GET answered %d" % status)
    finally:
        conn.close()
    samples.sort()
    return statistics.median(samples), samples[int(len(samples) * 0.99) - 1]


def latencies(rf):
    return "; ".join("%s: median %.1f ms, p99 %.1f ms" % ((label,) + latency(rf, 1000, keep)) for label, keep in (
        ("one kept-alive connection", True), ("a new connection each", False)))


def measure(args):
    out = os.path.abspath(args.out)
    bed = Bed(os.path.join(out, "one"))
    results = []
    try:
        rf = bed.rf
        start = time.monotonic()
        status, task = post(rf, os.path.join(bed.certs, "ca.pem"))
        rf.call("POST", RESET, {"ResetType": "On"})
        while rf.get("/redfish/v1/TaskService/Tasks/%s" % task["Id"])["TaskState"] in ("Pending", "Running"):
            time.sleep(0.2)
        results.append(("POST to the task's final state across one boot (Reset On included)",
                        "%.1f s" % (time.monotonic() - start)))
        while rf.get("/redfish/v1/Systems/1")["PowerState"] != "Off":
            time.sleep(0.5)
        results.append(("1,000 GETs of the collection, BMC idle", latencies(rf)))
        pem, der = make_cert(bed.certs, "measure-28k", MEASURE_SIZE)
        post(rf, pem)
        rf.call("POST", RESET, {"ResetType": "On"})
        begun = time.monotonic()
        figures = latencies(rf)
        running = rf.get("/redfish/v1/Systems/1")["PowerState"] == "On"
        results.append(("1,000 GETs while a boot imports a %d-byte certificate" % len(der),
                        "%s (%.0f s; the boot %s)" % (figures, time.monotonic() - begun,
                                                      "still ran at the end" if running else "ended before")))
        while rf.get("/redfish/v1/Systems/1")["PowerState"] != "Off":
            time.sleep(0.5)
    finally:
        bed.close()
    for n in [int(x) for x in args.fleet.split(",") if x]:
        start = time.monotonic()
        run = subprocess.run([sys.executable, fleet.__file__, "--servers", str(n), "--out",
                              os.path.join(out, "fleet-%d" % n)],
                             capture_output=True, text=True)
        verdict = "passed" if run.returncode == 0 else "FAILED"
        results.append(("fleet of %d: fleet.py wall time (%s)" % (n, verdict), "%.0f s" % (time.monotonic() - start)))
    print("| measurement | result |\n|---|---|")
    for what, value in results:
        print("| %s | %s |" % (what, value))
    return 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("action", choices=("check", "measure"))
    parser.add_argument("--out", required=True)
    parser.add_argument("--fleet", default="1,2,3,4")
    args = parser.parse_args(argv)

    def on_signal(signum, _frame):
        raise KeyboardInterrupt(signum)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    return check(args) if args.action == "check" else measure(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
