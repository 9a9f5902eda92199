#!/usr/bin/python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The Vexa's Redfish service: the administrator's standard door to the
HTTPS boot certificates the BMC provisions.

It keeps nothing of its own about certificates: every answer is made from
the BMC module's state, read through the module's control channel (a Unix
socket, VexaBmc/Source/VexaControl.h), and every change is a request queued
there. The module stays the one writer of its state file; a task is a
request of the module, its state the request's fate.

    vexa_redfish.py --control SOCKET --run-dir DIR [--port N]
                    [--session-timeout S] [--lockout-threshold N] [--lockout-duration S]

Listens with HTTPS only, on 127.0.0.1 (a free port unless --port), with a
certificate made for this run. Writes into DIR: redfish-ca.pem (the
certificate to trust), redfish-password (mode 0600, the password of the one
account "admin", made for this run), redfish.env (VEXA_REDFISH_PORT,
VEXA_REDFISH_USER, VEXA_REDFISH_PASSWORD_FILE, VEXA_REDFISH_CA) once it
listens, and redfish.log (every request that changes something or is
refused for its credentials, with the account and the source).

Resources (DMTF Redfish; messages from the Base 1.15 and TaskEvent 1.0
registries):
  /redfish, /redfish/v1/, /redfish/v1/$metadata, /redfish/v1/odata      no credentials
  /redfish/v1/SessionService[/Sessions[/ID]]    POST Sessions: the login, no credentials
  /redfish/v1/Systems, /redfish/v1/Systems/1    ComputerSystem; #ComputerSystem.Reset
                                                On, ForceOff, ForceRestart (chassis control)
  /redfish/v1/Systems/1/Boot/Certificates[/N]   the slots as the firmware last reported them;
                                                POST imports, DELETE deletes (202 + task)
  /redfish/v1/CertificateService                #CertificateService.ReplaceCertificate
  /redfish/v1/TaskService[/Tasks[/ID]], /redfish/v1/TaskService/TaskMonitors/ID

Task states, from the module's request fates:
  queued      -> Pending    (waits for the next boot)
  handed      -> Running    (the firmware fetched it; its report of the slots decides)
  confirmed   -> Completed  (TaskStatus OK: the report shows the slot as asked)
  not-applied -> Exception  (TaskStatus Critical: the report shows it was not applied)
  replaced    -> Cancelled  (TaskStatus Warning: a newer request for the slot replaced it)
"""

import argparse
import asyncio
import base64
import datetime
import hashlib
import hmac
import json
import os
import re
import secrets
import ssl
import subprocess
import sys
import time
import uuid

from aiohttp import web
from cryptography import x509
from cryptography.hazmat.primitives import hashes
from cryptography.x509.oid import NameOID

ROOT = "/redfish/v1"
SYSTEM = ROOT + "/Systems/1"
CERTS = SYSTEM + "/Boot/Certificates"
TASKS = ROOT + "/TaskService/Tasks"
MONITORS = ROOT + "/TaskService/TaskMonitors"
SESSIONS = ROOT + "/SessionService/Sessions"
REPLACE = ROOT + "/CertificateService/Actions/CertificateService.ReplaceCertificate"
RESET = SYSTEM + "/Actions/ComputerSystem.Reset"
SLOTS = 4
MAX_DER = 65535
MAX_BODY = 256 * 1024
MAX_SESSIONS = 64
USER = "admin"
REGISTRY = "Base.1.15."

FATE_TASK = {
    "queued": ("Pending", "OK"),
    "handed": ("Running", "OK"),
    "confirmed": ("Completed", "OK"),
    "not-applied": ("Exception", "Critical"),
    "replaced": ("Cancelled", "Warning"),
}

MESSAGES = {
    # id: (HTTP status, text with %1.., resolution)
    "MalformedJSON": (400, "The request body submitted was malformed JSON and could not be parsed by the receiving service.",
                      "Ensure that the request body is valid JSON and resubmit the request."),
    "PropertyMissing": (400, "The property %1 is a required property and must be included in the request.",
                        "Ensure that the property is in the request body and has a valid value and resubmit the request."),
    "PropertyValueFormatError": (400, "The value '%1' for the property %2 is not a format that the property can accept.",
                                 "Correct the value for the property in the request body and resubmit the request."),
    "PropertyValueNotInList": (400, "The value '%1' for the property %2 is not in the list of acceptable values.",
                               "Choose a value from the enumeration list that the implementation can support and resubmit the request."),
    "PropertyValueOutOfRange": (400, "The value '%1' for the property %2 is not in the supported range of acceptable values.",
                                "Correct the value for the property in the request body and resubmit the request."),
    "PropertyValueTypeError": (400, "The value '%1' for the property %2 is not a type that the property can accept.",
                               "Correct the value for the property in the request body and resubmit the request."),
    "ActionParameterValueNotInList": (400, "The value '%1' for the parameter %2 in the action %3 is not in the list of acceptable values.",
                                      "Choose a value from the enumeration list and resubmit the request."),
    "ResourceMissingAtURI": (400, "The resource at the URI '%1' was not found.",
                             "Place a valid resource at the URI or correct the URI and resubmit the request."),
    "ResourceNotFound": (404, "The requested resource of type %1 named '%2' was not found.",
                         "Provide a valid resource identifier and resubmit the request."),
    "CreateLimitReachedForResource": (400, "The create operation failed because the resource has reached the limit of possible resources.",
                                      "Either delete resources and resubmit the request if the operation failed or do not resubmit the request."),
    "OperationNotAllowed": (405, "The HTTP method is not allowed on this resource.",
                            "None."),
    "NoValidSession": (401, "There is no valid session established with the implementation.",
                       "Establish a session before attempting any operations."),
    "ResourceAtUriUnauthorized": (401, "While accessing the resource at '%1', the service received an authorization error '%2'.",
                                  "Ensure that the appropriate access is provided for the service in order for it to access the URI."),
    "StringValueTooLong": (413, "The string '%1' exceeds the length limit %2.",
                           "Resubmit the request with an appropriate string length."),
    "SessionLimitExceeded": (503, "The session establishment failed due to the number of simultaneous sessions exceeding the limit of the implementation.",
                             "Reduce the number of other sessions before trying to establish the session or increase the limit of simultaneous sessions, if supported."),
    "InternalError": (500, "The request failed due to an internal service error.  The service is still operational.",
                      "Resubmit the request.  If the problem persists, consider resetting the service."),
    "ServiceTemporarilyUnavailable": (503, "The service is temporarily unavailable.  Retry in %1 seconds.",
                                      "Wait for the indicated retry duration and retry the operation."),
}


class Refusal(Exception):
    """A refused request: its Base message, arguments and an explanation."""

    def __init__(self, message_id, *args, detail=None, status=None):
        super().__init__(message_id)
        self.message_id, self.args_, self.detail = message_id, [str(a) for a in args], detail
        self.status = status or MESSAGES[message_id][0]

    def response(self):
        _, text, resolution = MESSAGES[self.message_id]
        for i, a in enumerate(self.args_, 1):
            text = text.replace("%%%d" % i, a)
        info = {"@odata.type": "#Message.v1_1_1.Message", "MessageId": REGISTRY + self.message_id,
                "Message": text + (" " + self.detail if self.detail else ""),
                "MessageArgs": self.args_, "Severity": "Warning" if self.status < 500 else "Critical",
                "Resolution": resolution}
        body = {"error": {"code": REGISTRY + self.message_id, "message": info["Message"],
                          "@Message.ExtendedInfo": [info]}}
        headers = {"WWW-Authenticate": 'Basic realm="Vexa"'} if self.status == 401 else None
        return web.json_response(body, status=self.status, headers=headers)


def iso(seconds):
    if not seconds:
        return None
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


# ---------------------------------------------------------------------------
# The module's control channel

class Control:
    """One connection per request to the module's Unix socket; the socket
    is reached through its folder's descriptor, so run folders deeper than
    a socket address can name still work."""

    def __init__(self, path):
        self.dir_fd = os.open(os.path.dirname(os.path.abspath(path)), os.O_RDONLY | os.O_DIRECTORY)
        self.address = "/proc/self/fd/%d/%s" % (self.dir_fd, os.path.basename(path))

    async def ask(self, *words, by=None):
        line = " ".join(words + (("by=" + by,) if by else ())) + "\n"
        try:
            reader, writer = await asyncio.open_unix_connection(self.address, limit=4 * 1024 * 1024)
        except OSError as e:
            raise Refusal("ServiceTemporarilyUnavailable", 5, detail="The BMC module is not reachable (%s)." % e)
        try:
            writer.write(line.encode())
            await writer.drain()
            answer = await asyncio.wait_for(reader.readline(), 30)
        finally:
            writer.close()
        if not answer:
            raise Refusal("InternalError", detail="The BMC module closed the control channel.")
        return json.loads(answer)


# ---------------------------------------------------------------------------
# Certificates

PEM_BLOCK = re.compile(r"-----BEGIN ([A-Z0-9 ]+)-----\r?\n(.*?)-----END \1-----", re.S)
NAME_FIELDS = (("CommonName", NameOID.COMMON_NAME), ("Organization", NameOID.ORGANIZATION_NAME),
               ("OrganizationalUnit", NameOID.ORGANIZATIONAL_UNIT_NAME), ("City", NameOID.LOCALITY_NAME),
               ("State", NameOID.STATE_OR_PROVINCE_NAME), ("Country", NameOID.COUNTRY_NAME),
               ("Email", NameOID.EMAIL_ADDRESS))


def pem_of(der):
    text = base64.b64encode(der).decode()
    return "-----BEGIN CERTIFICATE-----\n%s\n-----END CERTIFICATE-----\n" % "\n".join(
        text[i:i + 64] for i in range(0, len(text), 64))


def der_of_pem(text):
    """The DER of the one certificate a PEM text holds; Refusal otherwise."""
    if not isinstance(text, str):
        raise Refusal("PropertyValueTypeError", type(text).__name__, "CertificateString")
    blocks = PEM_BLOCK.findall(text)
    rest = PEM_BLOCK.sub("", text).strip()
    if not blocks or rest:
        raise Refusal("PropertyValueFormatError", text[:40] + ("..." if len(text) > 40 else ""), "CertificateString",
                      detail="A PEM text holding one CERTIFICATE block and nothing else is required.")
    if len(blocks) != 1 or blocks[0][0] != "CERTIFICATE":
        raise Refusal("PropertyValueFormatError", "%d PEM block(s): %s" % (len(blocks), ", ".join(b[0] for b in blocks)),
                      "CertificateString", detail="Exactly one CERTIFICATE block is required.")
    try:
        der = base64.b64decode("".join(blocks[0][1].split()), validate=True)
    except ValueError:
        raise Refusal("PropertyValueFormatError", "CERTIFICATE block", "CertificateString",
                      detail="The block is not base64.")
    if len(der) > MAX_DER:
        raise Refusal("PropertyValueOutOfRange", "%d bytes DER" % len(der), "CertificateString",
                      detail="A slot takes at most %d bytes of DER." % MAX_DER)
    try:
        cert = x509.load_der_x509_certificate(der)
        if len(cert.public_bytes(serialization_der())) != len(der):
            raise ValueError("bytes after the certificate")
    except ValueError as e:
        raise Refusal("PropertyValueFormatError", "CERTIFICATE block", "CertificateString",
                      detail="The block is not one X.509 certificate (%s)." % e)
    return der


def serialization_der():
    from cryptography.hazmat.primitives.serialization import Encoding
    return Encoding.DER


def name_object(name):
    out = {}
    for field, oid in NAME_FIELDS:
        values = name.get_attributes_for_oid(oid)
        if values:
            out[field] = values[0].value
    return out


def certificate_resource(slot, der, state, pending):
    cert = x509.load_der_x509_certificate(der)
    serial = "%X" % cert.serial_number
    body = {
        "@odata.id": "%s/%d" % (CERTS, slot), "@odata.type": "#Certificate.v1_5_0.Certificate",
        "Id": str(slot), "Name": "HTTPS boot certificate slot %d (HttpsCertDev%d)" % (slot, slot),
        "CertificateString": pem_of(der), "CertificateType": "PEM",
        "Subject": name_object(cert.subject), "Issuer": name_object(cert.issuer),
        "ValidNotBefore": cert.not_valid_before.strftime("%Y-%m-%dT%H:%M:%SZ"),
        "ValidNotAfter": cert.not_valid_after.strftime("%Y-%m-%dT%H:%M:%SZ"),
        "SerialNumber": ":".join(serial.zfill(len(serial) + len(serial) % 2)[i:i + 2]
                                 for i in range(0, len(serial) + len(serial) % 2, 2)),
        "Fingerprint": cert.fingerprint(hashes.SHA256()).hex().upper(),
        "FingerprintHashAlgorithm": "TPM_ALG_SHA256",
        "Oem": {"Vexa": {"Slot": slot, "ReportedBySync": state["syncs"],
                         "PendingTask": {"@odata.id": "%s/%d" % (TASKS, pending["id"])} if pending else None}},
    }
    return body


# ---------------------------------------------------------------------------
# Tasks: the module's requests

def slot_words(state, slot):
    s = state["slots"][slot - 1] if 1 <= slot <= SLOTS else None
    if not s or not s["full"]:
        return "empty"
    return "holding a certificate of sha256 %s" % hashlib.sha256(base64.b64decode(s["der"])).hexdigest()


def task_of(request, state):
    fate, kind, slot = request["fate"], request["kind"], request["slot"]
    task_state, status = FATE_TASK[fate]
    what = {"import": "Import into slot %d" % slot, "delete": "Delete of slot %d" % slot,
            "injected": "Injected record %s (test aid)" % request["record"]}[kind]
    messages = []
    sync = request["judgedBy"]
    reported = ("the firmware's report (sync %d, %s)" % (sync, iso(request["judgedAt"]))) if fate in (
        "confirmed", "not-applied") else ""
    now = state["syncs"] == sync
    if fate == "queued":
        text = "%s queued at the BMC; the firmware fetches it at the next boot." % what
        mid = "TaskEvent.1.0.TaskStarted"
    elif fate == "handed":
        text = ("%s handed to the firmware in %d pending-list answer(s)%s; waiting for its report of the slots."
                % (what, request["handed"], ", certificate fetched %d time(s)" % request["fetched"]
                   if kind == "import" else ""))
        mid = "TaskEvent.1.0.TaskProgressChanged"
    elif fate == "confirmed":
        text = "%s applied: %s shows slot %d %s." % (what, reported, slot,
                                                      "holding this certificate" if kind == "import" else "empty")
        mid = "TaskEvent.1.0.TaskCompletedOK"
    elif fate == "not-applied":
        shown = (" shows slot %d %s" % (slot, slot_words(state, slot))) if now and 1 <= slot <= SLOTS else ""
        text = "%s not applied: %s%s." % (what, reported, shown or " does not show it applied")
        mid = "TaskEvent.1.0.TaskAborted"
    else:
        text = "%s replaced by task %d before the firmware applied it." % (what, sync)
        mid = "TaskEvent.1.0.TaskCancelled"
    messages.append({"@odata.type": "#Message.v1_1_1.Message", "MessageId": mid, "Message": text,
                     "MessageArgs": [str(request["id"])], "Severity": status if status != "Critical" else "Critical"})
    if kind == "delete" and fate in ("queued", "handed"):
        messages.append({"MessageId": "TaskEvent.1.0.TaskProgressChanged", "Severity": "OK", "MessageArgs": [],
                         "Message": "Slot %d stays a member of the collection until a report shows it empty." % slot})
    task_uri = "%s/%d" % (TASKS, request["id"])
    body = {
        "@odata.id": task_uri, "@odata.type": "#Task.v1_7_0.Task", "Id": str(request["id"]), "Name": what,
        "TaskState": task_state, "TaskStatus": status, "StartTime": iso(request["queuedAt"]),
        "Messages": messages, "TaskMonitor": "%s/%d" % (MONITORS, request["id"]),
        "PercentComplete": 100 if fate in ("confirmed", "not-applied", "replaced") else 50 if fate == "handed" else 0,
        "Oem": {"Vexa": {"Fate": fate, "Kind": kind, "Slot": slot, "Record": request["record"],
                         "Sha256": request.get("sha256"), "Subject": request.get("subject"),
                         "HandedToFirmware": request["handed"], "CertificateFetched": request["fetched"]}},
    }
    if request["judgedAt"]:
        body["EndTime"] = iso(request["judgedAt"])
    return body


def pending_of(state):
    """{slot: the pending request} for imports and deletes (and injected
    records naming a slot)."""
    out = {}
    for r in state["requests"]:
        if r["fate"] in ("queued", "handed") and 1 <= r["slot"] <= SLOTS:
            out[r["slot"]] = r
    return out


# ---------------------------------------------------------------------------
# The service

class Service:
    def __init__(self, args):
        self.args = args
        self.control = Control(args.control)
        self.password = secrets.token_urlsafe(18)
        self.sessions = {}            # token -> {"id", "last", "user", "created"}
        self.failures = 0
        self.locked_until = 0.0
        self.uuid = str(uuid.uuid4())
        self.log_file = open(os.path.join(args.run_dir, "redfish.log"), "a", buffering=1)

    def log(self, request, account, text):
        self.log_file.write("%s %s %s from %s: %s %s: %s\n" % (
            time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()), "account", account or "-",
            request.remote, request.method, request.path, text))

    # -- authentication --------------------------------------------------
    def check_password(self, request, user, password):
        """True for the account's password; counts failures and locks."""
        now = time.monotonic()
        if now < self.locked_until:
            self.log(request, user, "refused: the account is locked")
            raise Refusal("ResourceAtUriUnauthorized", request.path, "account locked",
                          detail="Too many failed logins; the account is locked for a while.")
        good = hmac.compare_digest(user.encode(), USER.encode()) & hmac.compare_digest(
            password.encode(), self.password.encode())
        if good:
            self.failures = 0
            return True
        self.failures += 1
        if self.failures >= self.args.lockout_threshold:
            self.locked_until = now + self.args.lockout_duration
            self.failures = 0
            self.log(request, user, "wrong credentials; the account is now locked for %d s" % self.args.lockout_duration)
        else:
            self.log(request, user, "wrong credentials")
        raise Refusal("ResourceAtUriUnauthorized", request.path, "wrong credentials")

    def expire_sessions(self):
        now = time.monotonic()
        for t, s in list(self.sessions.items()):
            if now - s["last"] > self.args.session_timeout:
                del self.sessions[t]

    def authenticate(self, request):
        """The account of a request, or Refusal."""
        token = request.headers.get("X-Auth-Token")
        if token is not None:
            self.expire_sessions()
            now = time.monotonic()
            session = next((s for t, s in self.sessions.items() if hmac.compare_digest(t, token)), None)
            if session is None:
                self.log(request, None, "refused: no valid session")
                raise Refusal("NoValidSession")
            session["last"] = now
            return session["user"]
        auth = request.headers.get("Authorization", "")
        if auth.startswith("Basic "):
            try:
                user, _, password = base64.b64decode(auth[6:], validate=True).decode().partition(":")
            except ValueError:
                raise Refusal("NoValidSession")
            self.check_password(request, user, password)
            return user
        raise Refusal("NoValidSession")

    async def body(self, request):
        try:
            raw = await request.read()
            data = json.loads(raw)
        except ValueError:
            raise Refusal("MalformedJSON")
        if not isinstance(data, dict):
            raise Refusal("MalformedJSON", detail="A JSON object is required.")
        return data

    # -- resources -------------------------------------------------------
    def service_root(self):
        return {
            "@odata.id": ROOT + "/", "@odata.type": "#ServiceRoot.v1_11_0.ServiceRoot", "Id": "RootService",
            "Name": "Vexa Redfish Service", "RedfishVersion": "1.15.0", "UUID": self.uuid,
            "Product": "Vexa BMC", "Vendor": "Tolm",
            "Systems": {"@odata.id": ROOT + "/Systems"},
            "SessionService": {"@odata.id": ROOT + "/SessionService"},
            "CertificateService": {"@odata.id": ROOT + "/CertificateService"},
            "TaskService": {"@odata.id": ROOT + "/TaskService"},
            "Links": {"Sessions": {"@odata.id": SESSIONS}},
            "ProtocolFeaturesSupported": {"ExpandQuery": {"ExpandAll": False}, "FilterQuery": False,
                                          "SelectQuery": False, "OnlyMemberQuery": False},
        }

    async def get(self, path, account):
        """The resource at path (a GET), or Refusal."""
        if path == ROOT + "/Systems":
            return collection("#ComputerSystemCollection.ComputerSystemCollection", path, "Computer System Collection",
                              [SYSTEM])
        if path == ROOT + "/SessionService":
            return {"@odata.id": path, "@odata.type": "#SessionService.v1_1_8.SessionService", "Id": "SessionService",
                    "Name": "Session Service", "ServiceEnabled": True, "SessionTimeout": self.args.session_timeout,
                    "Sessions": {"@odata.id": SESSIONS}}
        if path == SESSIONS:
            return collection("#SessionCollection.SessionCollection", path, "Session Collection",
                              ["%s/%s" % (SESSIONS, s["id"]) for s in self.sessions.values()])
        if path.startswith(SESSIONS + "/"):
            s = next((s for s in self.sessions.values() if s["id"] == path[len(SESSIONS) + 1:]), None)
            if s is None:
                raise Refusal("ResourceNotFound", "Session", path.rsplit("/", 1)[1])
            return session_resource(s)
        if path == ROOT + "/CertificateService":
            return {"@odata.id": path, "@odata.type": "#CertificateService.v1_0_4.CertificateService",
                    "Id": "CertificateService", "Name": "Certificate Service",
                    "Actions": {"#CertificateService.ReplaceCertificate": {
                        "target": REPLACE, "CertificateType@Redfish.AllowableValues": ["PEM"]}}}
        if path == ROOT + "/TaskService":
            return {"@odata.id": path, "@odata.type": "#TaskService.v1_2_0.TaskService", "Id": "TaskService",
                    "Name": "Task Service", "ServiceEnabled": True, "CompletedTaskOverWritePolicy": "Oldest",
                    "LifeCycleEventOnTaskStateChange": False, "Tasks": {"@odata.id": TASKS}}
        state = await self.control.ask("show")
        if path == SYSTEM:
            return self.system(state)
        if path == CERTS:
            pending = pending_of(state)
            body = collection("#CertificateCollection.CertificateCollection", path, "HTTPS Boot Certificates",
                              ["%s/%d" % (CERTS, s["slot"]) for s in state["slots"] if s["full"]])
            body["@Redfish.SupportedCertificates"] = ["PEM"]
            body["Oem"] = {"Vexa": {"ReportedBySync": state["syncs"], "LastReportTime": iso(state["lastSyncAt"]),
                                    "PendingTasks": [{"@odata.id": "%s/%d" % (TASKS, r["id"])}
                                                     for r in pending.values()]}}
            return body
        m = re.fullmatch(re.escape(CERTS) + r"/([1-4])", path)
        if m:
            slot = int(m.group(1))
            s = state["slots"][slot - 1]
            if not s["full"]:
                raise Refusal("ResourceNotFound", "Certificate", str(slot))
            return certificate_resource(slot, base64.b64decode(s["der"]), state, pending_of(state).get(slot))
        if path == TASKS:
            return collection("#TaskCollection.TaskCollection", path, "Task Collection",
                              ["%s/%d" % (TASKS, r["id"]) for r in state["requests"]])
        m = re.fullmatch("(%s|%s)/([0-9]{1,9})" % (re.escape(TASKS), re.escape(MONITORS)), path)
        if m:
            r = next((r for r in state["requests"] if r["id"] == int(m.group(2))), None)
            if r is None:
                raise Refusal("ResourceNotFound", "Task", m.group(2))
            return task_of(r, state)
        raise Refusal("ResourceNotFound", "Resource", path)

    def system(self, state):
        power = {"on": "On", "off": "Off"}.get(state["power"], None)
        return {
            "@odata.id": SYSTEM, "@odata.type": "#ComputerSystem.v1_16_0.ComputerSystem", "Id": "1",
            "Name": "Vexa server", "SystemType": "Physical", "Manufacturer": "Tolm", "Model": "QEMU x86-64 (OVMF)",
            "PowerState": power, "Status": {"State": "Enabled", "Health": "OK"},
            "Boot": {"BootSourceOverrideEnabled": "Disabled", "BootSourceOverrideTarget": "None",
                     "BootSourceOverrideMode": "UEFI",
                     "BootSourceOverrideTarget@Redfish.AllowableValues": ["None"],
                     "Certificates": {"@odata.id": CERTS}},
            "Actions": {"#ComputerSystem.Reset": {
                "target": RESET, "ResetType@Redfish.AllowableValues": ["On", "ForceOff", "ForceRestart"]}},
        }

    # -- changes ---------------------------------------------------------
    async def queue(self, request, account, words, what):
        """Queues one request at the module; 202 with its task monitor."""
        answer = await self.control.ask(*words, by="%s@%s" % (account, request.remote))
        if not answer.get("ok"):
            raise Refusal("PropertyValueFormatError", words[0], "Request",
                          detail="The BMC refused it: %s." % answer.get("error"))
        state = await self.control.ask("show")
        task = next(r for r in state["requests"] if r["id"] == answer["id"])
        self.log(request, account, "%s queued as task %d%s" % (
            what, answer["id"], "".join(", replacing task %d" % i for i in answer["replaced"])))
        body = task_of(task, state)
        return web.json_response(body, status=202, headers={
            "Location": body["TaskMonitor"], "Content-Location": body["@odata.id"]})

    async def post_certificate(self, request, account):
        data = await self.body(request)
        der = self.certificate_from(data)
        state = await self.control.ask("show")
        pending = pending_of(state)
        free = [s["slot"] for s in state["slots"] if not s["full"] and s["slot"] not in pending]
        if not free:
            raise Refusal("CreateLimitReachedForResource",
                          detail="No slot is reported empty with nothing pending: replace or delete a member.")
        return await self.queue(request, account, ("import", str(free[0]), base64.b64encode(der).decode()),
                                "import into slot %d (sha256 %s)" % (free[0], hashlib.sha256(der).hexdigest()))

    def certificate_from(self, data):
        for name in ("CertificateString", "CertificateType"):
            if name not in data:
                raise Refusal("PropertyMissing", name)
        if data["CertificateType"] != "PEM":
            raise Refusal("PropertyValueNotInList", data["CertificateType"], "CertificateType")
        return der_of_pem(data["CertificateString"])

    async def replace(self, request, account):
        data = await self.body(request)
        if "CertificateUri" not in data:
            raise Refusal("PropertyMissing", "CertificateUri")
        uri = data["CertificateUri"]
        if isinstance(uri, dict):
            uri = uri.get("@odata.id")
        if not isinstance(uri, str):
            raise Refusal("PropertyValueTypeError", json.dumps(data["CertificateUri"])[:60], "CertificateUri")
        der = self.certificate_from(data)
        m = re.fullmatch(re.escape(CERTS) + r"/([1-4])/?", uri)
        state = await self.control.ask("show")
        if not m or not state["slots"][int(m.group(1)) - 1]["full"]:
            raise Refusal("ResourceMissingAtURI", uri)
        slot = int(m.group(1))
        return await self.queue(request, account, ("import", str(slot), base64.b64encode(der).decode()),
                                "replace of slot %d (sha256 %s)" % (slot, hashlib.sha256(der).hexdigest()))

    async def delete_certificate(self, request, account, slot):
        state = await self.control.ask("show")
        if not state["slots"][slot - 1]["full"]:
            raise Refusal("ResourceNotFound", "Certificate", str(slot))
        return await self.queue(request, account, ("delete", str(slot)), "delete of slot %d" % slot)

    async def reset(self, request, account):
        data = await self.body(request)
        kind = data.get("ResetType")
        if kind is None:
            raise Refusal("PropertyMissing", "ResetType")
        op = {"On": "on", "ForceOff": "off", "ForceRestart": "cycle"}.get(kind) if isinstance(kind, str) else None
        if op is None:
            raise Refusal("ActionParameterValueNotInList", kind, "ResetType", "ComputerSystem.Reset")
        answer = await self.control.ask("power", op, by="%s@%s" % (account, request.remote))
        if not answer.get("ok"):
            raise Refusal("ActionParameterValueNotInList", kind, "ResetType", "ComputerSystem.Reset",
                          detail="The BMC refused it: %s." % answer.get("error"))
        # ipmi_sim ends the host asynchronously (SIGTERM, SIGKILL after its
        # kill_wait): the action answers once the host is off.
        deadline = time.monotonic() + 15
        while op == "off" and answer.get("power") != "off" and time.monotonic() < deadline:
            await asyncio.sleep(0.2)
            answer = await self.control.ask("power", "status")
        self.log(request, account, "ComputerSystem.Reset %s: power %s" % (kind, answer["power"]))
        return web.Response(status=204)

    async def login(self, request):
        data = await self.body(request)
        user, password = data.get("UserName"), data.get("Password")
        if not isinstance(user, str) or not isinstance(password, str):
            raise Refusal("PropertyMissing", "UserName" if not isinstance(user, str) else "Password")
        self.check_password(request, user, password)
        self.expire_sessions()
        if len(self.sessions) >= MAX_SESSIONS:
            self.log(request, user, "refused: %d sessions open" % MAX_SESSIONS)
            raise Refusal("SessionLimitExceeded")
        token = secrets.token_urlsafe(32)
        session = {"id": secrets.token_hex(8), "user": user, "last": time.monotonic(), "created": time.time()}
        self.sessions[token] = session
        self.log(request, user, "session %s opened" % session["id"])
        body = session_resource(session)
        return web.json_response(body, status=201, headers={"X-Auth-Token": token, "Location": body["@odata.id"]})

    # -- dispatch --------------------------------------------------------
    async def handle(self, request):
        path = request.path.rstrip("/") or "/"
        method = request.method
        changing = method not in ("GET", "HEAD")
        account = None
        try:
            if path == "/redfish" and method == "GET":
                return web.json_response({"v1": ROOT + "/"})
            if path == ROOT and method == "GET":
                return web.json_response(self.service_root())
            if path == ROOT + "/$metadata" and method == "GET":
                return web.Response(text=METADATA, content_type="application/xml")
            if path == ROOT + "/odata" and method == "GET":
                return web.json_response(ODATA)
            if path == SESSIONS and method == "POST":
                return await self.login(request)
            account = self.authenticate(request)
            allowed = self.methods(path)
            if method not in allowed:
                raise Refusal("OperationNotAllowed", detail="Allowed: %s." % ", ".join(sorted(allowed)))
            if method == "GET":
                body = await self.get(path, account)
                if path.startswith(MONITORS + "/") and body["TaskState"] in ("Pending", "Running"):
                    return web.json_response(body, status=202, headers={"Location": path})
                return web.json_response(body)
            if path == CERTS:
                return await self.post_certificate(request, account)
            if path == REPLACE:
                return await self.replace(request, account)
            if path == RESET:
                return await self.reset(request, account)
            if path.startswith(SESSIONS + "/"):
                token = next((t for t, s in self.sessions.items() if s["id"] == path.rsplit("/", 1)[1]), None)
                if token is None:
                    raise Refusal("ResourceNotFound", "Session", path.rsplit("/", 1)[1])
                del self.sessions[token]
                self.log(request, account, "session closed")
                return web.Response(status=204)
            return await self.delete_certificate(request, account, int(path.rsplit("/", 1)[1]))
        except Refusal as r:
            if changing and r.status != 401:
                self.log(request, account, "refused %d %s" % (r.status, r.message_id))
            return r.response()
        except web.HTTPRequestEntityTooLarge:
            if changing:
                self.log(request, account, "refused 413: body over %d bytes" % MAX_BODY)
            return Refusal("StringValueTooLong", "(the request body)", MAX_BODY).response()

    def methods(self, path):
        if path == CERTS:
            return {"GET", "POST"}
        if re.fullmatch(re.escape(CERTS) + r"/[1-4]", path) or path.startswith(SESSIONS + "/"):
            return {"GET", "DELETE"}
        if path in (REPLACE, RESET):
            return {"POST"}
        return {"GET"}


def collection(odata_type, path, name, members):
    return {"@odata.id": path, "@odata.type": odata_type, "Name": name,
            "Members": [{"@odata.id": m} for m in members], "Members@odata.count": len(members)}


def session_resource(s):
    return {"@odata.id": "%s/%s" % (SESSIONS, s["id"]), "@odata.type": "#Session.v1_3_0.Session", "Id": s["id"],
            "Name": "User Session", "UserName": s["user"]}


ODATA = {"@odata.context": ROOT + "/$metadata", "value": [
    {"name": n, "kind": "Singleton", "url": ROOT + "/" + n}
    for n in ("Systems", "SessionService", "CertificateService", "TaskService")]}

METADATA = """<?xml version="1.0" encoding="UTF-8"?>
<edmx:Edmx xmlns:edmx="http://docs.oasis-open.org/odata/ns/edmx" Version="4.0">
""" + "".join(
    '  <edmx:Reference Uri="http://redfish.dmtf.org/schemas/v1/%s_v1.xml">\n'
    '    <edmx:Include Namespace="%s"/>\n  </edmx:Reference>\n' % (n, n)
    for n in ("ServiceRoot", "ComputerSystemCollection", "ComputerSystem", "CertificateCollection", "Certificate",
              "CertificateService", "TaskService", "TaskCollection", "Task", "SessionService", "SessionCollection",
              "Session", "Message")) + """  <edmx:DataServices>
    <Schema xmlns="http://docs.oasis-open.org/odata/ns/edm" Namespace="Service">
      <EntityContainer Name="Service" Extends="ServiceRoot.v1_11_0.ServiceContainer"/>
    </Schema>
  </edmx:DataServices>
</edmx:Edmx>
"""


# ---------------------------------------------------------------------------
# Start-up

def make_certificate(run_dir):
    """This run's self-signed certificate for 127.0.0.1 (openssl)."""
    cert, key = os.path.join(run_dir, "redfish-ca.pem"), os.path.join(run_dir, "redfish-key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                    "-subj", "/O=Tolm/CN=Vexa Redfish 127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    os.chmod(key, 0o600)
    return cert, key


def write_private(path, text):
    fd = os.open(path + ".tmp", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


async def serve(args):
    service = Service(args)
    cert, key = make_certificate(args.run_dir)
    write_private(os.path.join(args.run_dir, "redfish-password"), service.password + "\n")
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    app = web.Application(client_max_size=MAX_BODY)
    app.router.add_route("*", "/{tail:.*}", service.handle)
    runner = web.AppRunner(app, access_log=None)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", args.port, ssl_context=context)
    await site.start()
    port = site._server.sockets[0].getsockname()[1]
    env = {"VEXA_REDFISH_PORT": port, "VEXA_REDFISH_USER": USER,
           "VEXA_REDFISH_PASSWORD_FILE": os.path.join(args.run_dir, "redfish-password"), "VEXA_REDFISH_CA": cert}
    write_private(os.path.join(args.run_dir, "redfish.env"), "".join("%s=%s\n" % kv for kv in env.items()))
    service.log_file.write("listening on https://127.0.0.1:%d\n" % port)
    await asyncio.Event().wait()


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--control", required=True, help="the module's control socket")
    parser.add_argument("--run-dir", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--session-timeout", type=int, default=600, help="seconds a session may stay unused")
    parser.add_argument("--lockout-threshold", type=int, default=5, help="failed logins in a row that lock")
    parser.add_argument("--lockout-duration", type=int, default=60, help="seconds the account stays locked")
    args = parser.parse_args(argv)
    try:
        asyncio.run(serve(args))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
