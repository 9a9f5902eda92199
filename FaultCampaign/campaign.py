#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""A seeded campaign of boots and faults against one server and its Vexa,
checked against FaultCampaign/model.py.

    campaign.py --seed S --steps N [--out DIR] [--kinds K,K,...] [--self-test]

The server is the platform build powered on with nothing but its flash
(the variable store file, kept from boot to boot), its HTTPS boot URI in
fw_cfg; the Vexa is ipmi_sim with the module, its state folder kept, its
LAN channel on. Each step the seed picks a few administrator's requests
(imports of certificates from 1 to 30 KB, deletes, replacements, now and
then an import larger than the variable store takes, which the firmware
must fail) sent through the control channel, then one of

  clean        a boot
  power-cut    a boot whose power is cut at the K-th slot write (before or
               after it reaches the store), or whose QEMU is SIGKILLed at a
               random moment (every third cut)
  bmc-crash    a boot during which the Vexa dies at its K-th firmware
               transaction (before or after handling it), or is SIGKILLed at a
               random moment (every third crash); either way it is restarted at
               once on the same ports and state, the boot going on
  bmc-restart  the Vexa restarted between boots, then a boot
  lan          a boot with LAN traffic to the Vexa all along: sessions
               sending the firmware's blob commands, each of which must be
               refused (0xD4)

The kinds come round in a seeded order, each as often as the steps allow
(--kinds limits them). After every boot that ran cleanly (clean,
bmc-restart, lan), the invariants: the slots, read from the store file on
the host, are among the model's outcomes; the Vexa reports exactly them;
every request's fate is one the model allows, none lost, none listed
twice; the trust digest the boot's last application printed is that of the
slots' lists in slot order, and HTTPS boot trusted the CA's server exactly
when a slot holds the CA; the Vexa's state file loads and equals its state.
The run stops at the first violation, naming the seed and step that
reproduce it (the choices are the seed's; the moment of a kill is drawn
from it too, what the firmware was doing at that moment is the machine's).

--self-test: after the first checked boot, the checks are shown a store
with one flipped byte in a slot, a Vexa that forgot a request and a report
that lacks a slot the store holds; each must be caught.

Writes DIR/steps/NNN-KIND/{com1.log,com2.log,qemu.log}, DIR/bmc-run (the
Vexa's run folder and log), DIR/summary.json and prints the figures.
Every process started here is stopped however the run ends.
"""

import argparse
import base64
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import zlib

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(REPO, "Fleet"))
sys.path.insert(0, os.path.join(REPO, "TolmVexaPkg", "Test", "OnTarget"))
sys.path.insert(0, os.path.join(REPO, "VexaBmc", "Sim"))
import model as M  # noqa: E402
from fleet import firmware_of, host_command, shell  # noqa: E402
from https_boot import IMAGE_RUNNING, POWER_OFF, BootServers, make_certs  # noqa: E402
from ontarget_bmc import LanClient, bmc_module, make_cert, read  # noqa: E402
from ontarget_log import Log  # noqa: E402
from vexa_sim import VexaSim  # noqa: E402

KINDS = ("clean", "power-cut", "bmc-crash", "bmc-restart", "lan")
CLEAN = ("clean", "bmc-restart", "lan")         # boots after which the invariants hold
DIGEST = re.compile(r"TRUST-DIGEST: TlsCaCertificate (?:absent|attributes 0x([0-9a-f]{8}) size (\d+) crc32 ([0-9a-f]{8}))")
CUT_LINE = re.compile(r"VariablePolicySim: power cut (before|after) slot write (\d+) \((HttpsCertDev\d)\)")
CRASH_LINE = re.compile(r"vexa: crash at firmware transaction (\d+) \((before|after), sub-command (\S+)\)")
MILESTONES = (("TolmVexaBootPolicy: certificate driver", "driver found"),
              ("HandlePendingTasks returned", "pending requests applied"),
              ("SyncHttpsCertToVEXA returned", "slots reported"),
              ("TolmUpdateHttpsBootTrust returned", "trust derived"),
              (">>Start HTTP Boot", "HTTPS download"),
              (IMAGE_RUNNING, "boot image"), (POWER_OFF, "power-off application"))
# The certificates the administrator picks from: name -> nsComment padding
# (RSA-2048, about 900 bytes before padding). "oversize" is larger than the
# platform's largest variable (33,792 bytes with its header): the store
# refuses it and the firmware fails that import.
POOL = {"small": 0, "medium": 3000, "large": 12000, "huge": 29000, "oversize": 36000}
BOOT_TIMEOUT = 300


class Violation(Exception):
    pass


def report_problems(shown, values):
    """The slots the Vexa reports (control show) against the store's."""
    reported = [base64.b64decode(s["der"]) if s["full"] else None for s in shown["slots"]]
    held = [M.der_of(v) if v is not None else None for v in values]
    return [] if reported == held else ["the Vexa reports %s, the store holds %s" % (
        [len(r) if r else 0 for r in reported], [len(h) if h else 0 for h in held])]


def category(where):
    """Where a fault struck, in a few words (for the tally)."""
    for pattern, name in ((r"power cut (\w+) slot write (\d+)", r"cut \1 slot write \2"),
                          (r"QEMU SIGKILLed at .*after: (.*)", r"QEMU killed after: \1"),
                          (r"Vexa crashed (\w+) firmware transaction \d+ \((\w+)\)", r"crash \1 \2"),
                          (r"Vexa SIGKILLed at .*after: (.*), restarted", r"Vexa killed after: \1"),
                          (r"did not strike|ended before the kill", "did not strike"),
                          (r"LAN requests", "during the boot"), (r"restarted before", "between boots")):
        m = re.search(pattern, where)
        if m:
            return m.expand(name)
    return where


def milestone(com1_path):
    """How far the boot got, from its console."""
    reached = "before the boot manager ran"
    for line in Log(com1_path).lines:
        for marker, name in MILESTONES:
            if marker in line:
                reached = name
    return reached


class Campaign:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.out = os.path.abspath(args.out)
        self.model = M.Model()
        self.figures = {"seed": args.seed, "steps": 0, "boots": 0, "checked boots": 0, "faults": {},
                        "requests": {"import": 0, "delete": 0, "replacing": 0, "refused by the store": 0},
                        "lan requests refused": 0, "violations": 0, "struck": {}}
        self.struck = []                # (step, kind, where)
        self.forgotten = set()
        self.sim = self.servers = self.qemu = None

    # -- set-up ----------------------------------------------------------------
    def setup(self):
        shutil.rmtree(self.out, ignore_errors=True)
        os.makedirs(os.path.join(self.out, "steps"))
        self.firmware = firmware_of(True)
        certs = os.path.join(self.out, "certs")
        self.ca = make_certs(certs)["ca"]
        self.pool = {"ca": self.ca, "other-ca": read(os.path.join(certs, "other-ca.der"))}
        for name, pad in POOL.items():
            self.pool[name] = read(make_cert(certs, name, "/O=Tolm/CN=%s.campaign.example.test" % name,
                                             "rsa:2048", pad=pad))
        self.vars = os.path.join(self.out, "vars.fd")
        shutil.copyfile(self.firmware["vars"], self.vars)
        self.servers = BootServers(certs, self.firmware["image"], os.path.join(self.out, "server.log"))
        self.uri = self.servers.uri("good")
        self.sim = VexaSim(os.path.join(self.out, "bmc-run"), module=self.args.module,
                           state_dir=os.path.join(self.out, "bmc-state"), lan=True)
        self.sim.start()
        print("[campaign] seed %d, %d steps; firmware %s; boot server %s; certificates: %s" % (
            self.args.seed, self.args.steps, self.firmware["code"], self.uri,
            ", ".join("%s %d B" % (n, len(d)) for n, d in self.pool.items())), flush=True)

    def stop(self):
        self.kill_qemu()
        if self.sim is not None:
            self.sim.stop()
        if self.servers is not None:
            self.servers.stop()

    # -- the Vexa --------------------------------------------------------------
    def restart_bmc(self, crash=None):
        self.sim.stop()
        self.sim.crash = crash
        self.sim.start()

    def bmc_died(self):
        return self.sim.exited() is not None

    def queue_requests(self, step, at_least=0):
        """The administrator's requests of this step, through the control
        channel; the model follows."""
        problems = []
        for _ in range(max(at_least, self.rng.choice((0, 1, 1, 2, 2, 3)))):
            slot = self.rng.randint(1, M.SLOTS)
            if self.rng.random() < 0.25:
                request, line = M.Request(0, "delete", slot), "delete %d" % slot
            else:
                name = self.rng.choice(("ca", "ca", "other-ca", "small", "medium", "large", "huge", "oversize"))
                der = self.pool[name]
                request = M.Request(0, "import", slot, der, refused=name == "oversize", name=name)
                line = "import %d %s" % (slot, base64.b64encode(der).decode())
            answer = self.sim.control(line + " by=campaign@step%d" % step)
            if not answer.get("ok"):
                raise Violation("the Vexa refused %r: %s" % (request, answer.get("error")))
            request.id = answer["id"]
            self.figures["requests"][request.op] += 1
            self.figures["requests"]["replacing"] += 1 if answer["replaced"] else 0
            self.figures["requests"]["refused by the store"] += 1 if request.refused else 0
            problems += self.model.queue(request, answer["replaced"])
        return problems

    # -- the machine -----------------------------------------------------------
    def boot(self, directory, cut=None, during=None):
        """Powers the machine on; during(elapsed) is called every 0.1 s while
        it runs. Returns QEMU's status and the seconds it ran."""
        os.makedirs(directory)
        os.symlink(self.vars, os.path.join(directory, "vars.fd"))
        argv = host_command({"dir": directory, "uri": self.uri}, self.firmware, str(self.sim.serial_port))
        argv += ["-device", "isa-debug-exit,iobase=0xf4,iosize=0x04"]
        if cut:
            argv += ["-fw_cfg", "name=opt/org.tolm/power-cut,string=" + cut]
        with open(os.path.join(directory, "qemu.log"), "wb") as log:
            self.qemu = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                         start_new_session=True)
        start = time.monotonic()
        self.figures["boots"] += 1
        try:
            while self.qemu.poll() is None:
                if self.bmc_died():
                    self.restart_bmc()
                if during is not None:
                    during(time.monotonic() - start)
                time.sleep(0.1)
            return self.qemu.returncode, time.monotonic() - start
        finally:
            self.kill_qemu()

    def boot_killing(self, directory, kill):
        """A boot during which kill() runs once, at a moment drawn from the
        seed within a typical boot. Returns QEMU's status, the seconds it
        ran, the moment and how far the boot had got then (None: it ended
        first)."""
        at = self.rng.uniform(0.5, self.typical_boot())
        reached = []

        def during(elapsed):
            if elapsed >= at and not reached:
                reached.append(milestone(os.path.join(directory, "com1.log")))
                kill()
        rc, seconds = self.boot(directory, during=during)
        return rc, seconds, at, reached[0] if reached else None

    def kill_qemu_now(self):
        """SIGKILL to the machine's QEMU, by the pid it wrote."""
        try:
            with open(self.qemu.args[self.qemu.args.index("-pidfile") + 1]) as f:
                os.kill(int(f.read().strip()), signal.SIGKILL)
        except (OSError, ValueError):
            pass

    def kill_qemu(self):
        """Ends the machine, if it runs, and the time limit around it."""
        if self.qemu is None:
            return
        self.kill_qemu_now()
        if self.qemu.poll() is None:
            self.qemu.kill()
        self.qemu.wait()
        self.qemu = None

    def expected_transactions(self):
        """About how many firmware transactions the next boot makes (for
        drawing K): the pending list, each import's certificate, the sync."""
        per = lambda size, piece: 5 + -(-size // piece)                   # noqa: E731
        n = per(8 + 6 * len(self.model.pending), 33)
        n += sum(per(8 + len(r.der), 33) for r in self.model.pending.values() if r.op == "import")
        held = 0
        for slot, values in enumerate(self.model.slots, 1):
            r = self.model.pending.get(slot)
            held += len(r.effect or b"") if r and not r.refused else max(len(v) if v else 0 for v in values)
        return n + per(8 + held, 243)

    # -- one step --------------------------------------------------------------
    def step(self, number, kind):
        directory = os.path.join(self.out, "steps", "%03d-%s" % (number, kind))
        if self.bmc_died():
            self.restart_bmc()
        problems = self.queue_requests(number, at_least=1 if kind == "power-cut" else 0)
        where = ""
        if kind == "clean":
            rc, seconds = self.boot(directory)
        elif kind == "power-cut" and self.faults_of(kind) % 3 != 2:
            writes = max(1, sum(1 for r in self.model.pending.values()
                                if r.op == "import" or self.model.slots[r.slot - 1] != {None}))
            cut = "%s:%d" % (self.rng.choice(("before", "after")), self.rng.randint(1, writes))
            rc, seconds = self.boot(directory, cut=cut)
            line = next((m for m in map(CUT_LINE.search, Log(os.path.join(directory, "com1.log")).lines) if m), None)
            where = ("power cut %s slot write %s (%s), QEMU status %d" % (line.group(1), line.group(2),
                                                                          line.group(3), rc)
                     if line else "cut %s did not strike (fewer slot writes); QEMU status %d" % (cut, rc))
        elif kind == "power-cut":
            rc, seconds, at, reached = self.boot_killing(directory, self.kill_qemu_now)
            where = ("QEMU SIGKILLed at %.1f s, after: %s" % (at, reached) if reached
                     else "QEMU ended before the kill at %.1f s (status %d)" % (at, rc))
        elif kind == "bmc-crash" and self.faults_of(kind) % 3 != 2:
            k = self.rng.randint(1, self.expected_transactions())
            crash = "%s:%d" % (self.rng.choice(("before", "after")), k)
            log = self.sim.path("ipmi_sim.log")
            seen = os.path.getsize(log) if os.path.exists(log) else 0
            self.restart_bmc(crash=crash)
            rc, seconds = self.boot(directory)
            self.restart_bmc()          # a crash that never struck stays armed otherwise
            with open(log, errors="replace") as f:
                f.seek(seen)
                m = CRASH_LINE.search(f.read())
            where = ("Vexa crashed %s firmware transaction %s (%s), restarted; boot status %d" % (
                m.group(2), m.group(1), m.group(3), rc) if m else
                "crash %s did not strike (fewer transactions); boot status %d" % (crash, rc))
        elif kind == "bmc-crash":
            rc, seconds, at, reached = self.boot_killing(directory, lambda: os.kill(self.sim.proc.pid, signal.SIGKILL))
            where = ("Vexa SIGKILLed at %.1f s, after: %s, restarted" % (at, reached) if reached
                     else "the boot ended before the kill at %.1f s" % at)
        elif kind == "bmc-restart":
            self.restart_bmc()
            rc, seconds = self.boot(directory)
            where = "Vexa restarted before the boot"
        elif kind == "lan":
            with LanClient(self.sim) as lan:
                rc, seconds = self.boot(directory)
            sent = sum(lan.answers.values())
            self.figures["lan requests refused"] += lan.answers.get("0xd4", 0)
            if sent == 0 or set(lan.answers) != {"0xd4"}:
                problems.append("LAN requests during the boot: %s (every one must be refused with 0xd4)"
                                % lan.answers)
            where = "%d LAN requests, all refused" % sent if not problems else ""
        else:
            raise SystemExit("unknown kind %s" % kind)

        if kind in CLEAN:
            self.model.clean_boot()
            problems += self.check(directory, rc)
            self.figures["checked boots"] += 1
            self.boot_times.append(seconds)
        else:
            self.model.cut_boot()
        if kind != "clean":
            self.figures["faults"][kind] = self.faults_of(kind) + 1
            self.struck.append((number, kind, where))
            tally = self.figures["struck"].setdefault(kind, {})
            tally[category(where)] = tally.get(category(where), 0) + 1
        self.figures["steps"] += 1
        print("[campaign] step %3d %-11s %5.1f s  %s%s" % (
            number, kind, seconds, where or "checked", "" if not problems else "  VIOLATION"), flush=True)
        if problems:
            raise Violation("; ".join(problems))

    def faults_of(self, kind):
        return self.figures["faults"].get(kind, 0)

    def typical_boot(self):
        return sorted(self.boot_times)[len(self.boot_times) // 2] if self.boot_times else 15.0

    # -- the invariants --------------------------------------------------------
    def check(self, directory, rc):
        problems = []
        com1 = Log(os.path.join(directory, "com1.log"))
        if rc != 0:
            problems.append("the boot did not end by powering off (QEMU status %d; 124: time limit)" % rc)
        try:
            values = M.read_slots(self.vars)
        except M.StoreError as e:
            return problems + ["the variable store: %s" % e]
        problems += self.model.check_slots(values)
        shown = self.sim.control("show")
        problems += report_problems(shown, values) + self.check_requests(shown)
        trust = M.expected_trust(values)
        digests = [m for m in map(DIGEST.search, com1.lines) if m]
        want = None if trust is None else ("00000002", str(len(trust)), "%08x" % zlib.crc32(trust))
        if len(digests) != 1:
            problems.append("%d trust digest lines on the console (one expected)" % len(digests))
        elif (digests[0].groups() if digests[0].group(1) else None) != want:
            problems.append("TlsCaCertificate on the console: %s; the slots make %s" % (
                digests[0].group(0), "no variable" if want is None else "attributes 0x%s size %s crc32 %s" % want))
        trusted = trust is not None and M.signature_list(self.ca) in trust
        booted = any(IMAGE_RUNNING in line for line in com1.lines)
        if booted != trusted:
            problems.append("HTTPS boot %s the CA's server while the slots %s the CA" % (
                "accepted" if booted else "refused", "hold" if trusted else "do not hold"))
        state = self.sim.control("check")
        if not (state.get("loads") and state.get("equal")):
            problems.append("the Vexa's state file: %s" % json.dumps(state))
        return problems

    def check_requests(self, shown):
        ids = [r["id"] for r in shown["requests"]]
        problems = ["request #%d listed %d times" % (i, ids.count(i)) for i in sorted(set(ids)) if ids.count(i) > 1]
        fates = {r["id"]: r["fate"] for r in shown["requests"]}
        judged = [i for i, f in fates.items() if f not in ("queued", "handed")]
        if len(judged) >= 64:
            # The Vexa keeps the newest 64 judged requests: older judged
            # ones may have left its history.
            self.forgotten |= {i for i, r in self.model.requests.items() if i < min(judged) and not r.pending}
        return problems + self.model.check_fates(fates, self.forgotten)

    def self_test(self):
        """The checks must catch a damaged store, a forgotten request and a
        report that is not the store's."""
        values = M.read_slots(self.vars)
        full = [n for n, v in enumerate(values) if v is not None]
        if not full or not self.model.requests:
            return ["the first checked boot left nothing to damage (choose another seed)"]
        failures = []
        damaged = os.path.join(self.out, "self-test-vars.fd")
        shutil.copyfile(self.vars, damaged)
        with open(damaged, "r+b") as f:
            data = f.read()
            at = data.rindex(values[full[0]]) + len(values[full[0]]) - 1
            f.seek(at)
            f.write(bytes([data[at] ^ 0x01]))
        model = M.Model()
        model.slots = [{v} for v in values]
        if not model.check_slots(M.read_slots(damaged)):
            failures.append("a flipped byte in slot %d went unnoticed" % (full[0] + 1))
        shown = self.sim.control("show")
        if not self.model.check_fates(dict((r["id"], r["fate"]) for r in shown["requests"][1:]), set()):
            failures.append("a request the Vexa forgot went unnoticed")
        stale = json.loads(json.dumps(shown))
        stale["slots"][full[0]] = {"slot": full[0] + 1, "full": False}
        if not report_problems(stale, values):
            failures.append("a report without slot %d went unnoticed" % (full[0] + 1))
        print("[campaign] self-test: %s" % ("; ".join(failures) or
                                            "a damaged slot, a forgotten request and a stale report caught"),
              flush=True)
        return failures

    # -- the run ---------------------------------------------------------------
    def schedule(self):
        kinds = [k for k in KINDS if k in self.args.kinds]
        plan = [kinds[i % len(kinds)] for i in range(self.args.steps)]
        first, rest = plan[0], plan[1:]
        self.rng.shuffle(rest)
        return [first] + rest           # the first boot is a clean one when "clean" is asked for

    def run(self):
        self.boot_times = []
        start = time.monotonic()
        failure = None
        self.current = 0
        try:
            self.setup()
            for number, kind in enumerate(self.schedule(), 1):
                self.current = number
                self.step(number, kind)
                if number == self.args.steps and kind not in CLEAN:
                    self.current = number + 1           # the last fault, checked too
                    self.step(number + 1, "clean")
                if self.args.self_test and number == 1:
                    failures = self.self_test()
                    if failures:
                        raise Violation("self-test: " + "; ".join(failures))
        except Violation as e:
            failure = "step %d: %s" % (self.current, e)
            self.figures["violations"] += 1
        except KeyboardInterrupt:
            failure = "interrupted"
        finally:
            self.stop()
        self.figures["wall seconds"] = round(time.monotonic() - start)
        self.figures["where"] = self.struck
        with open(os.path.join(self.out, "summary.json"), "w") as f:
            json.dump(self.figures, f, indent=1)
        self.report(failure)
        return 1 if failure else 0

    def report(self, failure):
        f = self.figures
        print("[campaign] seed %d: %d steps, %d boots (%d checked), faults %s; requests %s; "
              "%d LAN requests refused; %d violation(s); %d s" % (
                  f["seed"], f["steps"], f["boots"], f["checked boots"],
                  ", ".join("%s %d" % kv for kv in sorted(f["faults"].items())) or "none",
                  ", ".join("%s %d" % kv for kv in f["requests"].items()), f["lan requests refused"],
                  f["violations"], f["wall seconds"]), flush=True)
        for kind, tally in sorted(f["struck"].items()):
            print("[campaign]   %s: %s" % (kind, "; ".join("%s %d" % kv for kv in sorted(tally.items()))))
        if failure:
            print("[campaign] VIOLATION at seed %d %s\n[campaign] reproduce: FaultCampaign/campaign.py --seed %d "
                  "--steps %d --kinds %s" % (f["seed"], failure, f["seed"], self.current,
                                             ",".join(self.args.kinds)), flush=True)
        else:
            print("[campaign] passed", flush=True)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--steps", type=int, required=True)
    parser.add_argument("--out", default=os.path.join(REPO, "build", "campaign"))
    parser.add_argument("--kinds", default=",".join(KINDS),
                        type=lambda s: [k for k in s.split(",") if k])
    parser.add_argument("--self-test", action="store_true")
    parser.add_argument("--module", default=os.environ.get("VEXA_BMC_MODULE"))
    args = parser.parse_args(argv)
    unknown = set(args.kinds) - set(KINDS)
    if unknown or args.steps < 1:
        parser.error("kinds are %s; steps at least 1" % ", ".join(KINDS))
    args.module = args.module or shell("ot_bmc_module", False).strip()

    def on_signal(signum, _frame):
        raise KeyboardInterrupt(signum)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    return Campaign(args).run()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
