#!/usr/bin/python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The Redfish service on the module's control channel, in a running
ipmi_sim on free loopback ports (CTest vexabmc.redfish).

  - sushy (OpenStack Ironic's library) and redfishtool (DMTF's) against the
    service: the service root, Systems/1 and its Reset, the collection;
  - the administrator's requests through Redfish across a boot whose
    firmware side is played on the system-interface channel (the bytes QEMU's
    KCS interface carries): tasks Pending, then Running once the firmware
    fetched them, then judged by its report;
  - a table of hostile requests, each answered with its status code and a
    Base message, the state file unchanged byte for byte;
  - sessions that time out and an account that locks after failed logins.

Every process started here is stopped however the test ends.

    redfish_test.py --module build/VexaBmc/vexa_bmc.so --work DIR
"""

import argparse
import base64
import datetime
import json
import os
import shutil
import socket
import ssl
import stat
import subprocess
import sys
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
VEXA = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(VEXA, "Sim"))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True
from simulator_test import QUERY, SEND, SystemInterface, sync_message  # noqa: E402
from vexa_sim import VexaSim  # noqa: E402

from cryptography import x509  # noqa: E402
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec  # noqa: E402
from cryptography.x509.oid import NameOID  # noqa: E402

CERTS = "/redfish/v1/Systems/1/Boot/Certificates"
REPLACE = "/redfish/v1/CertificateService/Actions/CertificateService.ReplaceCertificate"
RESET = "/redfish/v1/Systems/1/Actions/ComputerSystem.Reset"
CLEAN_ENV = {k: v for k, v in os.environ.items() if k not in ("REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE")}
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)
    return ok


def make_cert(cn, padding=0, issuer_key=None, issuer_cn=None):
    """(PEM text, DER) of a certificate; padding adds an extension of that
    many bytes (a certificate as large as needed)."""
    key = ec.generate_private_key(ec.SECP256R1())
    now = datetime.datetime.utcnow()
    builder = (x509.CertificateBuilder()
               .subject_name(x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Tolm"),
                                        x509.NameAttribute(NameOID.COMMON_NAME, cn)]))
               .issuer_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, issuer_cn or cn)]))
               .public_key(key.public_key()).serial_number(x509.random_serial_number())
               .not_valid_before(now - datetime.timedelta(days=1)).not_valid_after(now + datetime.timedelta(days=30)))
    if padding:
        builder = builder.add_extension(x509.UnrecognizedExtension(
            x509.ObjectIdentifier("1.3.6.1.4.1.55555.1"), b"\x04\x83" + padding.to_bytes(3, "big") + bytes(padding)),
            critical=False)
    cert = builder.sign(issuer_key or key, hashes.SHA256())
    return cert.public_bytes(serialization.Encoding.PEM).decode(), cert.public_bytes(serialization.Encoding.DER)


class Client:
    """HTTPS to the service, trusting this run's certificate alone."""

    def __init__(self, sim):
        self.base = "https://127.0.0.1:%s" % sim.redfish_env["VEXA_REDFISH_PORT"]
        self.password = open(sim.redfish_env["VEXA_REDFISH_PASSWORD_FILE"]).read().strip()
        self.context = ssl.create_default_context(cafile=sim.redfish_env["VEXA_REDFISH_CA"])
        self.basic = "Basic " + base64.b64encode(("admin:" + self.password).encode()).decode()

    def call(self, method, path, body=None, auth=True, headers=None, raw=None):
        """(status, JSON answer or None, headers)."""
        data = raw if raw is not None else json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.base + path, data=data, method=method)
        request.add_header("Content-Type", "application/json")
        if auth is True:
            request.add_header("Authorization", self.basic)
        for k, v in (headers or {}).items():
            request.add_header(k, v)
        try:
            with urllib.request.urlopen(request, context=self.context, timeout=30) as r:
                text, status, hdrs = r.read(), r.status, r.headers
        except urllib.error.HTTPError as e:
            text, status, hdrs = e.read(), e.code, e.headers
        try:
            return status, json.loads(text) if text else None, hdrs
        except ValueError:
            return status, None, hdrs

    def get(self, path):
        status, body, _ = self.call("GET", path)
        check(status == 200, "GET %s: %d" % (path, status))
        return body

    def members(self):
        return [m["@odata.id"].rsplit("/", 1)[1] for m in self.get(CERTS)["Members"]]

    def task(self, number):
        return self.get("/redfish/v1/TaskService/Tasks/%s" % number)


def message_id(body):
    try:
        return body["error"]["@Message.ExtendedInfo"][0]["MessageId"]
    except (TypeError, KeyError, IndexError):
        return None


def run_tool(argv):
    run = subprocess.run(argv, capture_output=True, text=True, timeout=60, env=CLEAN_ENV)
    return run.returncode, run.stdout, run.stderr


def clients(sim, c, work):
    """sushy and redfishtool against the service."""
    port, ca = sim.redfish_env["VEXA_REDFISH_PORT"], sim.redfish_env["VEXA_REDFISH_CA"]
    script = """
import sys, sushy
s = sushy.Sushy("https://127.0.0.1:%s/redfish/v1", username="admin", password=sys.argv[1], verify=%r)
system = s.get_system("/redfish/v1/Systems/1")
print("system", system.identity, system.power_state.value, sorted(v.value for v in system.get_allowed_reset_system_values()))
system.reset_system(sushy.ResetType.ON)
system.refresh()
print("after On", system.power_state.value)
system.reset_system(sushy.ResetType.FORCE_OFF)
system.refresh()
print("after ForceOff", system.power_state.value)
print("session", type(s._conn._auth).__name__, bool(s._conn._auth.get_session_key()))
""" % (port, ca)
    code, out, err = run_tool(["/usr/bin/python3", "-c", script, c.password])
    check(code == 0, "sushy ran: %s" % err[-400:])
    for line in ("system 1 Off ['ForceOff', 'ForceRestart', 'On']", "after On On", "after ForceOff Off",
                 "session SessionOrBasicAuth True"):
        check(line in out, "sushy printed %r (got %r)" % (line, out))

    tool = ["redfishtool", "-r", "127.0.0.1:%s" % port, "-S", "Always", "-u", "admin", "-p", c.password]
    code, out, err = run_tool(tool + ["Systems", "-I", "1"])
    check(code == 0 and json.loads(out)["Boot"]["Certificates"]["@odata.id"] == CERTS,
          "redfishtool Systems -I 1: %s" % (out + err)[-300:])
    pem, der = make_cert("Redfishtool CA")
    body = json.dumps({"CertificateString": pem, "CertificateType": "PEM"})
    # -N: do not wait on the task monitor (the task ends at the next boot).
    code, out, err = run_tool(tool + ["-N", "raw", "POST", CERTS, "-d", body])
    check(code == 0, "redfishtool raw POST: %s" % (out + err)[-300:])
    code, out, err = run_tool(tool + ["raw", "GET", CERTS])
    listed = json.loads(out) if code == 0 else {}
    check(listed.get("Members@odata.count") == 0 and len(listed["Oem"]["Vexa"]["PendingTasks"]) == 1,
          "redfishtool lists the collection: no member reported, the import pending: %s" % out[-300:])
    task = c.get(listed["Oem"]["Vexa"]["PendingTasks"][0]["@odata.id"])
    check(task["TaskState"] == "Pending" and task["Oem"]["Vexa"]["Slot"] == 1, "its task: Pending, slot 1")
    return der


def boot(sim, report):
    """The firmware's side of a boot on the system interface: the pending
    list, each import's certificate, then a sync reporting the slots as
    report says ({slot: DER}). Returns the pending records."""
    si = SystemInterface(sim.serial_port)
    try:
        cc, listing, _ = si.message(QUERY, bytes([0xA0, 0, 0, 0, 0, 0]))
        records = [listing[6 + i:12 + i] for i in range(0, len(listing) - 6, 6)]
        for r in records:
            if r[2] == 0xAA:
                si.message(QUERY, bytes([0xA2, 0, 2, 0, 0, 0, r[1], 0]))
        yield records
        cc, _, _ = si.message(SEND, sync_message(sorted(report.items()) or [(1, b"")]))
        check(cc == 0, "sync accepted")
        yield None
    finally:
        si.sock.close()


def across_a_boot(sim, c, work, tool_der):
    """Tasks of import, replace, delete and an import the firmware does not
    store, before, during and after a boot."""
    old_pem, old = make_cert("Old Boot CA")
    new_pem, new = make_cert("New Boot CA")
    big_pem, big = make_cert("Big Boot CA", padding=28 * 1024)
    # A first boot reports slots 1 and 2 full (the redfishtool import into slot 1 applied).
    steps = boot(sim, {1: tool_der, 2: old})
    next(steps)
    next(steps)
    check(c.members() == ["1", "2"], "members after the first report: %s" % c.members())
    member = c.get(CERTS + "/2")
    check(member["Subject"] == {"CommonName": "Old Boot CA", "Organization": "Tolm"} and
          member["Issuer"] == {"CommonName": "Old Boot CA"} and member["FingerprintHashAlgorithm"] == "TPM_ALG_SHA256"
          and member["Fingerprint"] == x509.load_der_x509_certificate(old).fingerprint(hashes.SHA256()).hex().upper()
          and member["CertificateString"] == old_pem, "member 2 describes the reported certificate")

    queued = {}
    for name, method, path, body in (
            ("import", "POST", CERTS, {"CertificateString": new_pem, "CertificateType": "PEM"}),
            ("not stored", "POST", CERTS, {"CertificateString": big_pem, "CertificateType": "PEM"}),
            ("replace", "POST", REPLACE, {"CertificateString": new_pem, "CertificateType": "PEM",
                                          "CertificateUri": {"@odata.id": CERTS + "/1"}}),
            ("delete", "DELETE", CERTS + "/2", None)):
        status, answer, headers = c.call(method, path, body)
        check(status == 202 and headers["Location"] == answer["TaskMonitor"] and answer["TaskState"] == "Pending",
              "%s: 202 with a task monitor (%d %s)" % (name, status, answer))
        queued[name] = answer["Id"]
    check([c.task(queued[n])["Oem"]["Vexa"]["Slot"] for n in ("import", "not stored", "replace", "delete")] == [3, 4, 1, 2],
          "slots: the import into the lowest reported empty slot, the next into the next, replace and delete of members")
    status, answer, _ = c.call("POST", CERTS, {"CertificateString": new_pem, "CertificateType": "PEM"})
    check(status == 400 and message_id(answer) == "Base.1.15.CreateLimitReachedForResource",
          "no slot empty with nothing pending: %d %s" % (status, message_id(answer)))
    monitor = c.call("GET", "/redfish/v1/TaskService/TaskMonitors/%s" % queued["import"])
    check(monitor[0] == 202, "a task monitor answers 202 while the task runs")

    steps = boot(sim, {1: new, 3: new})
    records = next(steps)
    check(len(records) == 4, "the firmware was handed four requests: %s" % records)
    states = {n: c.task(t)["TaskState"] for n, t in queued.items()}
    check(states == dict.fromkeys(queued, "Running"), "every task Running once handed: %s" % states)
    check(c.members() == ["1", "2"], "member 2 stays while its delete is pending")
    check(any("stays a member" in m["Message"] for m in c.task(queued["delete"])["Messages"]),
          "the delete's task says member 2 stays until a report shows it empty")
    next(steps)
    tasks = {n: c.task(t) for n, t in queued.items()}
    got = {n: (t["TaskState"], t["TaskStatus"]) for n, t in tasks.items()}
    check(got == {"import": ("Completed", "OK"), "not stored": ("Exception", "Critical"),
                  "replace": ("Completed", "OK"), "delete": ("Completed", "OK")}, "task states after the report: %s" % got)
    check("not applied" in tasks["not stored"]["Messages"][0]["Message"] and
          "shows slot 4 empty" in tasks["not stored"]["Messages"][0]["Message"],
          "the not-applied task names what the report showed: %s" % tasks["not stored"]["Messages"])
    check(c.members() == ["1", "3"], "members after the report: %s" % c.members())
    check(c.call("GET", "/redfish/v1/TaskService/TaskMonitors/%s" % queued["import"])[0] == 200,
          "a finished task's monitor answers 200")
    # A request replaced before any boot: Cancelled.
    first = c.call("POST", REPLACE, {"CertificateString": old_pem, "CertificateType": "PEM",
                                     "CertificateUri": CERTS + "/3"})[1]["Id"]
    second = c.call("DELETE", CERTS + "/3")[1]["Id"]
    check(c.task(first)["TaskState"] == "Cancelled" and "replaced by task %s" % second in
          c.task(first)["Messages"][0]["Message"], "a replaced request's task is Cancelled, naming its successor")
    return big


def hostile(sim, c, work, big_der):
    """Each refused with its status and message; the state file unchanged."""
    state_file = os.path.join(sim.state_dir, "vexa-bmc.state")
    before = open(state_file, "rb").read()
    pem, der = make_cert("Hostile CA")
    key_pem = ec.generate_private_key(ec.SECP256R1()).private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()).decode()
    huge_pem, huge = make_cert("Huge", padding=66 * 1024)
    ok = {"CertificateType": "PEM", "CertificateString": pem}
    not_cert = "-----BEGIN CERTIFICATE-----\n" + base64.b64encode(b"\x30\x03\x02\x01\x00").decode() + \
        "\n-----END CERTIFICATE-----\n"
    session = c.call("POST", "/redfish/v1/SessionService/Sessions", {"UserName": "admin", "Password": c.password},
                     auth=False)
    token = session[2]["X-Auth-Token"]
    rows = (
        # what, method, path, body (dict / bytes), auth, status, MessageId
        ("no credentials", "GET", CERTS, None, False, 401, "NoValidSession"),
        ("no credentials, a change", "POST", CERTS, ok, False, 401, "NoValidSession"),
        ("unknown session token", "DELETE", CERTS + "/1", None, {"X-Auth-Token": "x" * 43}, 401, "NoValidSession"),
        ("wrong password", "POST", CERTS, ok, {"Authorization": "Basic " + base64.b64encode(b"admin:nope").decode()},
         401, "ResourceAtUriUnauthorized"),
        ("login with a wrong password", "POST", "/redfish/v1/SessionService/Sessions",
         {"UserName": "admin", "Password": "nope"}, False, 401, "ResourceAtUriUnauthorized"),
        ("bad JSON", "POST", CERTS, b'{"CertificateString": ', True, 400, "MalformedJSON"),
        ("JSON that is not an object", "POST", CERTS, b"[1, 2]", True, 400, "MalformedJSON"),
        ("no CertificateType", "POST", CERTS, {"CertificateString": pem}, True, 400, "PropertyMissing"),
        ("wrong type", "POST", CERTS, dict(ok, CertificateType="PKCS7"), True, 400, "PropertyValueNotInList"),
        ("not PEM", "POST", CERTS, dict(ok, CertificateString="MIIB" * 40), True, 400, "PropertyValueFormatError"),
        ("two certificates", "POST", CERTS, dict(ok, CertificateString=pem + pem), True, 400, "PropertyValueFormatError"),
        ("a key beside the certificate", "POST", CERTS, dict(ok, CertificateString=pem + key_pem), True, 400,
         "PropertyValueFormatError"),
        ("a block that is no certificate", "POST", CERTS, dict(ok, CertificateString=not_cert), True, 400,
         "PropertyValueFormatError"),
        ("text after the block", "POST", CERTS, dict(ok, CertificateString=pem + "junk"), True, 400,
         "PropertyValueFormatError"),
        ("over 65,535 bytes DER (%d)" % len(huge), "POST", CERTS, dict(ok, CertificateString=huge_pem), True, 400,
         "PropertyValueOutOfRange"),
        ("a body over 256 KiB", "POST", CERTS, b" " * (300 * 1024), True, 413, "StringValueTooLong"),
        ("a number as the certificate string", "POST", CERTS, dict(ok, CertificateString=5), True, 400,
         "PropertyValueTypeError"),
        ("delete of a member not reported", "DELETE", CERTS + "/2", None, True, 404, "ResourceNotFound"),
        ("replace of a member not reported", "POST", REPLACE, dict(ok, CertificateUri=CERTS + "/2"), True, 400,
         "ResourceMissingAtURI"),
        ("replace of a slot beyond 4", "POST", REPLACE, dict(ok, CertificateUri=CERTS + "/5"), True, 400,
         "ResourceMissingAtURI"),
        ("replace, URI of another kind", "POST", REPLACE, dict(ok, CertificateUri=7), True, 400,
         "PropertyValueTypeError"),
        ("replace without a URI", "POST", REPLACE, ok, True, 400, "PropertyMissing"),
        ("a method the collection does not allow", "DELETE", CERTS, None, True, 405, "OperationNotAllowed"),
        ("PATCH of the system", "PATCH", "/redfish/v1/Systems/1", {"AssetTag": "x"}, True, 405, "OperationNotAllowed"),
        ("PUT of a member", "PUT", CERTS + "/1", ok, True, 405, "OperationNotAllowed"),
        ("an unknown reset type", "POST", RESET, {"ResetType": "Nmi"}, True, 400, "ActionParameterValueNotInList"),
        ("a session token with a byte added", "GET", CERTS, None, {"X-Auth-Token": token + "x"}, 401,
         "NoValidSession"),
    )
    print("| request | status | MessageId | state file |")
    print("|---|---|---|---|")
    for what, method, path, body, auth, status, mid in rows:
        got = c.call(method, path, body if isinstance(body, dict) else None, auth=auth is True,
                     headers=auth if isinstance(auth, dict) else None, raw=body if isinstance(body, bytes) else None)
        same = open(state_file, "rb").read() == before
        print("| %s | %d | %s | %s |" % (what, got[0], message_id(got[1]), "unchanged" if same else "CHANGED"))
        check(got[0] == status and message_id(got[1]) == "Base.1.15." + mid and same,
              "%s: want %d %s, got %d %s%s" % (what, status, mid, got[0], message_id(got[1]),
                                              "" if same else "; the state file changed"))
    # The module's own door refuses what the service would never send.
    good = base64.b64encode(der).decode()
    for line, error in (("import 5 " + good, "slot 5 is not 1 to 4"), ("import 1 " + good[:-1], "not base64"),
                        ("import 1 " + base64.b64encode(b"\x30\x03\x02\x01\x00").decode(), "not one X.509"),
                        ("delete 0", "slot 0 is not 1 to 4"), ("delete 1 2", "unknown request"),
                        ("power warp", "power on|off|cycle|status"), ("show everything", "unknown request"),
                        ("check all", "unknown request"),
                        ("x" * (100 * 1024), "request longer than")):
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(10)
            s.connect(sim.path("vexa-control.sock"))
            s.sendall(line.encode() + b"\n")
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = s.recv(65536)
                if not chunk:
                    break
                answer += chunk
        last = json.loads(answer or b"{}")
        check(last.get("ok") is False and error in last.get("error", "") and open(state_file, "rb").read() == before,
              "control channel refuses %r: %s" % (line[:40], last))
    # The session works, and is the only thing a login adds.
    check(c.call("GET", CERTS, auth=False, headers={"X-Auth-Token": token})[0] == 200, "a session's token is accepted")
    check(open(state_file, "rb").read() == before, "the state file is byte for byte as before the table")


def sessions_and_lockout(sim, c):
    """Sessions time out; failed logins lock the account for a while."""
    token = c.call("POST", "/redfish/v1/SessionService/Sessions", {"UserName": "admin", "Password": c.password},
                   auth=False)[2]["X-Auth-Token"]
    time.sleep(4)
    status, body, _ = c.call("GET", CERTS, auth=False, headers={"X-Auth-Token": token})
    check(status == 401 and message_id(body) == "Base.1.15.NoValidSession", "a session unused for longer than "
          "its time-out is refused: %d" % status)
    for _ in range(3):
        c.call("POST", "/redfish/v1/SessionService/Sessions", {"UserName": "admin", "Password": "guess"}, auth=False)
    status, _, _ = c.call("GET", CERTS)
    check(status == 401, "the right password is refused while the account is locked: %d" % status)
    time.sleep(3.5)
    check(c.call("GET", CERTS)[0] == 200, "the account unlocks after its lock-out time")
    log = open(os.path.join(sim.run_dir, "redfish.log")).read()
    for text in ("account admin from 127.0.0.1: POST %s: import into slot" % CERTS,
                 "account admin from 127.0.0.1: DELETE %s/2: delete of slot 2 queued" % CERTS,
                 "account admin from 127.0.0.1: POST /redfish/v1/SessionService/Sessions: wrong credentials; the "
                 "account is now locked", "account admin from 127.0.0.1: POST %s: refused 400" % CERTS):
        check(text in log, "redfish.log has %r" % text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--module", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    with VexaSim(os.path.join(args.work, "bmc"), module=args.module, redfish=True, startcmd="sleep 600",
                 redfish_args=("--session-timeout", "3", "--lockout-threshold", "3",
                               "--lockout-duration", "3")) as sim:
        check(stat.S_IMODE(os.stat(sim.path("vexa-control.sock")).st_mode) == 0o600, "control socket mode 0600")
        check(stat.S_IMODE(os.stat(sim.redfish_env["VEXA_REDFISH_PASSWORD_FILE"]).st_mode) == 0o600,
              "password file mode 0600")
        c = Client(sim)
        for path in ("/redfish", "/redfish/v1/", "/redfish/v1/$metadata", "/redfish/v1/odata"):
            check(c.call("GET", path, auth=False)[0] == 200, "%s answers without credentials" % path)
        tool_der = clients(sim, c, args.work)
        across_a_boot(sim, c, args.work, tool_der)
        hostile(sim, c, args.work, None)
        sessions_and_lockout(sim, c)
    if failures:
        print("%d check(s) failed; logs in %s" % (len(failures), os.path.join(args.work, "bmc")))
        return 1
    print("redfish test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
