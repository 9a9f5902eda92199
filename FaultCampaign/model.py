# SPDX-License-Identifier: BSD-2-Clause-Patent
"""What a server and its Vexa may show after a boot, as sets of outcomes.

The model knows the administrator's requests, the four slots, the Vexa's
report and the trust variable, and nothing of how the firmware or the BMC
work inside: after every boot it widens or narrows, per slot, the set of
values a clean boot may find, and per request the fates the Vexa may give
it. A boot that was cut short (power cut, QEMU killed, the BMC crashed or
killed) may have applied any pending request or none; a clean boot applies
every pending one, and the Vexa's next sync judges it. A request is never
lost (every request ends confirmed, not applied because the store refused
it, or replaced by a newer one for its slot) and never applied into a wrong
state (an old request cannot come back after a newer one was judged).

Also here: the variable store reader (the machine's flash, read on the
host with the variable driver's own rules) and the trust the slots give.
"""

import struct
import uuid

SLOTS = 4
TOLM_GUID = uuid.UUID("55e1fc65-a898-4214-a8a9-1ae839cd329a").bytes_le        # gTolmVariableGuid
X509_GUID = uuid.UUID("a5c059a1-94e4-4aa7-87b5-ab155c2bf072").bytes_le        # EFI_CERT_X509_GUID
DEFAULT_OWNER = uuid.UUID("f3f39104-7d8c-4fce-80bc-40d040be7ae4").bytes_le
SLOT_ATTRIBUTES = 0x03              # how the platform stores a slot: NV, BS


def signature_list(der):
    """The value the driver stores in a slot for der: one X.509 signature
    list, no header, the default owner."""
    return X509_GUID + struct.pack("<III", 44 + len(der), 0, 16 + len(der)) + DEFAULT_OWNER + der


def der_of(value):
    """The certificate a stored slot value holds, or None when the value is
    not exactly the list the driver writes."""
    if value is None or len(value) < 45 or value[:16] != X509_GUID or value[28:44] != DEFAULT_OWNER:
        return None
    size, header, sig = struct.unpack_from("<III", value, 16)
    return value[44:] if (size, header, sig) == (len(value), 0, len(value) - 28) else None


def expected_trust(slot_values):
    """"TlsCaCertificate" as the slots make it: the lists of the slots that
    hold a well-formed value, in slot order; None when no slot does."""
    lists = [v for v in slot_values if der_of(v) is not None]
    return b"".join(lists) if lists else None


# ---------------------------------------------------------------------------
# The variable store on the host
# ---------------------------------------------------------------------------

VAR_ADDED, IN_DELETED_TRANSITION = 0x3F, 0x3E     # the only valid states
AUTH_HEADER = struct.Struct("<HBxIQ16sIII16s")     # 60 bytes: EDK II's AUTHENTICATED_VARIABLE_HEADER


class StoreError(Exception):
    pass


def read_store(path):
    """The variables of an EDK II variable store file (OVMF_VARS.fd):
    {(name, guid bytes): (attributes, value)}. A variable counts as EDK II
    counts it: added, or in deleted transition when no added copy of it
    exists (a write cut between its two steps)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[40:44] != b"_FVH":
        raise StoreError("%s: no firmware volume" % path)
    at = struct.unpack_from("<H", data, 48)[0]          # the volume header's length
    size, fmt, state = struct.unpack_from("<IBB", data, at + 16)
    if fmt != 0x5A or state != 0xFE:
        raise StoreError("%s: the variable store header is not healthy (format 0x%x, state 0x%x)" % (path, fmt, state))
    end, pos = at + size, at + 28
    added, transition = {}, {}
    while pos + AUTH_HEADER.size <= end:
        start_id, var_state, attributes, _, _, _, name_size, data_size, guid = AUTH_HEADER.unpack_from(data, pos)
        if start_id != 0x55AA:
            break
        name_at = pos + AUTH_HEADER.size
        name = data[name_at:name_at + name_size].decode("utf-16-le").rstrip("\0")
        value = data[name_at + name_size:name_at + name_size + data_size]
        if var_state in (VAR_ADDED, IN_DELETED_TRANSITION):
            target = added if var_state == VAR_ADDED else transition
            key = (name, guid)
            if key in target:
                raise StoreError("%s: two %s copies of %s" % (path, "added" if target is added else
                                                              "transition", name))
            target[key] = (attributes, value)
        pos = (name_at + name_size + data_size + 3) & ~3
    return {**{k: v for k, v in transition.items() if k not in added}, **added}


def read_slots(path):
    """The four slot values of the store at path (None: the slot is empty).
    A slot with other attributes than the platform's is an error."""
    store = read_store(path)
    slots = []
    for n in range(1, SLOTS + 1):
        found = store.get(("HttpsCertDev%d" % n, TOLM_GUID))
        if found is not None and found[0] != SLOT_ATTRIBUTES:
            raise StoreError("slot %d stored with attributes 0x%x" % (n, found[0]))
        slots.append(None if found is None else found[1])
    return slots


# ---------------------------------------------------------------------------
# The model
# ---------------------------------------------------------------------------

class Request:
    """One administrator's request as the model follows it."""

    def __init__(self, bmc_id, op, slot, der=None, refused=False, name=""):
        self.id, self.op, self.slot, self.der, self.refused, self.name = bmc_id, op, slot, der, refused, name
        self.fates = set()              # the fates it may end with; empty while it must still be pending
        self.pending = True
        self.maybe_judged = False       # a cut boot may have judged it already

    @property
    def effect(self):
        """The slot's value once the firmware applied it."""
        return signature_list(self.der) if self.op == "import" else None

    @property
    def judged_fate(self):
        return "not-applied" if self.refused else "confirmed"

    def __repr__(self):
        return "#%d %s slot %d%s" % (self.id, self.op, self.slot, " (%s)" % self.name if self.name else "")


class Model:
    def __init__(self):
        self.slots = [{None} for _ in range(SLOTS)]     # the values a clean boot may find
        self.requests = {}
        self.pending = {}                               # slot -> the request a boot will apply

    def queue(self, request, replaced_ids):
        """The Vexa took request; replaced_ids are the ids it says the new
        one replaced. Returns the problems (the Vexa replaced something the
        model did not expect, or missed one)."""
        problems = []
        earlier = self.pending.get(request.slot)
        want = set()
        if earlier is not None:
            earlier.pending = False
            earlier.fates = {"replaced"} | ({earlier.judged_fate} if earlier.maybe_judged else set())
            if not earlier.maybe_judged:
                want.add(earlier.id)
            got = set(replaced_ids)
            if not want <= got <= {earlier.id}:
                problems.append("queuing %r: the Vexa replaced %s, the model expects %s" % (
                    request, sorted(got) or "nothing", sorted(want) or "nothing") + (
                    " (or #%d, judged by a cut boot)" % earlier.id if earlier.maybe_judged else ""))
        elif replaced_ids:
            problems.append("queuing %r: the Vexa replaced %s, but nothing was pending for slot %d" % (
                request, sorted(replaced_ids), request.slot))
        self.requests[request.id] = request
        self.pending[request.slot] = request
        return problems

    def cut_boot(self):
        """A boot that did not end cleanly: each pending request may or may
        not have reached its slot, and may or may not have been judged."""
        for request in self.pending.values():
            if not request.refused:
                self.slots[request.slot - 1].add(request.effect)
            request.maybe_judged = True

    def clean_boot(self):
        """A boot that ran to its end with the Vexa up all along: every
        pending request is applied (the store refuses the refused ones) and
        judged by the boot's sync."""
        for slot, request in self.pending.items():
            if not request.refused:
                self.slots[slot - 1] = {request.effect}
            request.pending = False
            request.fates = {request.judged_fate}
        self.pending = {}

    def check_slots(self, values):
        """values: the four slots as the store holds them after a clean boot.
        Returns the problems; the model then knows the slots exactly."""
        problems = []
        for n, value in enumerate(values, 1):
            if value not in self.slots[n - 1]:
                problems.append("slot %d holds %s, the model allows %s" % (
                    n, describe(value), " or ".join(sorted(describe(v) for v in self.slots[n - 1]))))
            elif value is not None and der_of(value) is None:
                problems.append("slot %d holds a value that is not one certificate's list" % n)
            self.slots[n - 1] = {value}
        return problems

    def check_fates(self, shown, forgotten):
        """shown: {id: fate} of every request the Vexa lists; forgotten: the
        ids it may have dropped from its history (judged earlier). Returns
        the problems: a request lost, left pending or judged wrongly, and
        one the Vexa lists that nobody queued (a request listed twice is
        the runner's check, on the list itself)."""
        problems = []
        for request in self.requests.values():
            fate = shown.get(request.id)
            if fate is None:
                if request.id not in forgotten:
                    problems.append("%r: lost (the Vexa no longer lists it)" % request)
            elif fate not in request.fates:
                problems.append("%r: %s, the model allows %s" % (
                    request, fate, " or ".join(sorted(request.fates)) or "no fate yet"))
        for bmc_id in shown:
            if bmc_id not in self.requests:
                problems.append("request #%d: the Vexa lists a request nobody queued" % bmc_id)
        return problems


def describe(value):
    if value is None:
        return "nothing"
    der = der_of(value)
    return "a %d-byte certificate" % len(der) if der is not None else "%d damaged bytes" % len(value)
