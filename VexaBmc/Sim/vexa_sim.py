#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Start and stop the Vexa BMC: OpenIPMI's ipmi_sim with the Vexa module.

Every port is a free one on 127.0.0.1, picked at start. The run folder gets
the filled-in configuration (lan.conf), the simulator's log (ipmi_sim.log),
its pid (ipmi_sim.pid) and the ports (vexa-sim.env, shell assignments). The
LAN channel is off unless asked for (lan=True, --lan): then it listens on
127.0.0.1 only, takes MD5 sessions alone, and its one account ("admin") has a
password generated for the run, kept in RUN_DIR/lan.password (mode 0600, as
lan.conf, which holds it too) and handed to ipmitool with -f, never on a
command line. ipmi_sim's RMCP+ cipher suite 0 admits that account with any
password (a weakness of the simulator): treat its LAN channel as open to any
local process; the Vexa executes the firmware's commands from the system
interface alone. The
state folder (default RUN_DIR/state) holds what the BMC keeps across restarts:
start again with the same state folder and the BMC still knows its pending
list, the fates and the last report.

As a library (the simulator is stopped when the block ends, however it ends,
and also when the Python process that started it dies):

    from vexa_sim import VexaSim
    with VexaSim(run_dir) as sim:          # module=..., state_dir=..., lan=True optional
        sim.serial_port                    # QEMU: -chardev socket,host=127.0.0.1,port=...
        sim.ipmitool()                     # with lan=True: ipmitool -I lanplus -C 3 ... -f lan.password
        sim.console_port                   # vexa-admin --port ...
        sim.console("vexa_show")           # a console command; VexaRefused on "**..."
        sim.control("check")               # one control-channel request, its JSON answer

A BMC that died by itself (crash="before:K"/"after:K", or killed) is told by
sim.exited() (its exit status, else None); stop() copes with it, and start()
again brings it back on the same ports and state folder. crash, lan and
gate_off are read at every start: set sim.crash = None first for a restart
without the crash.

From the shell:

    vexa_sim.py run   --run-dir DIR [options] -- COMMAND ARGS...
        starts the BMC, runs COMMAND with VEXA_SERIAL_PORT, VEXA_CONSOLE_PORT,
        VEXA_STATE_DIR and VEXA_RUN_DIR in its environment (with --lan also
        VEXA_LAN_PORT and VEXA_LAN_PASSWORD_FILE),
        stops the BMC whatever happens (also on SIGINT/SIGTERM), and exits
        with COMMAND's status;
    vexa_sim.py start --run-dir DIR [options]
        starts the BMC and leaves it running; prints the assignments of
        vexa-sim.env (eval-able); the caller must run "stop" (trap EXIT);
    vexa_sim.py stop  --run-dir DIR
        stops the BMC started in DIR (SIGTERM, then SIGKILL after 5 s);
        does nothing when none runs.

Options: --module SO (default: $VEXA_BMC_MODULE, else build/VexaBmc/vexa_bmc.so
of this repository), --state-dir DIR (default RUN_DIR/state), --lan (the LAN
channel on), --gate-off (test aid: the module executes the firmware's
commands from every channel), --crash before:K|after:K (test aid: the BMC
dies, exit status 99, at the K-th firmware transaction, before handling it
or after handling it and before answering; see VexaModule.cpp), --lan-port,
--serial-port, --console-port (default 0: a free port; give the ports of an
earlier run to restart the BMC where QEMU reconnects), --timeout SECONDS
(start-up, default 20).

The module's control channel is always open, RUN_DIR/vexa-control.sock
(mode 0600). --redfish also starts the Redfish service on it
(VexaBmc/Redfish/vexa_redfish.py, HTTPS on a free 127.0.0.1 port; its
settings in RUN_DIR/redfish.env and the environment: VEXA_REDFISH_PORT,
VEXA_REDFISH_USER, VEXA_REDFISH_PASSWORD_FILE, VEXA_REDFISH_CA), stopped
with the simulator. --startcmd CMD gives the BMC a host to power: ipmi_sim
runs CMD (through the shell; no double quotes) on a chassis power-on and
ends it on a power-off, as a BMC powers its server (Redfish
ComputerSystem.Reset, or "power on|off|cycle" on the control channel);
ipmi_sim runs it as "exec CMD", so CMD's process is the host; stopping the
BMC stops a host still running.
"""

import argparse
import ctypes
import json
import os
import re
import secrets
import signal
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
DEFAULT_MODULE = os.path.join(REPO, "build", "VexaBmc", "vexa_bmc.so")
REDFISH = os.path.join(REPO, "VexaBmc", "Redfish", "vexa_redfish.py")
CONTROL = "vexa-control.sock"
# Debian's python3 modules (aiohttp) import under the system interpreter.
SYSTEM_PYTHON = "/usr/bin/python3"
PR_SET_PDEATHSIG = 1


# OpenBMC's IPMI blob transfer as a client of the Vexa sends it
# (IpmiProtocol.md, section 1): NetFn 0x2E, command 0x80, OpenBMC's OEN.
BLOB_NETFN, BLOB_CMD, BLOB_OEN = 0x2E, 0x80, b"\xcf\xc2\x00"


def blob_crc16(data):
    """The blob transfer's CRC-16 (polynomial 0x1021, AUG-CCITT)."""
    crc = 0x1D0F
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc


def blob_request(sub, payload=b""):
    """The request data after NetFn and command: the OEN, the sub-command,
    then (with a payload) its CRC and the payload."""
    return BLOB_OEN + bytes([sub]) + (struct.pack("<H", blob_crc16(payload)) + payload if payload else b"")


def blob_raw(sub, payload=b""):
    """The same request as ipmitool raw's words, NetFn and command first."""
    return " ".join("0x%02x" % b for b in bytes([BLOB_NETFN, BLOB_CMD]) + blob_request(sub, payload))


class VexaSimError(Exception):
    """The simulator could not be started or reached."""


class VexaRefused(Exception):
    """A console command was refused; the message is the simulator's."""


def _free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _strip_telnet(data):
    """Drops the telnet negotiation (IAC sequences) the console sends."""
    out = bytearray()
    i = 0
    while i < len(data):
        if data[i] == 0xFF and i + 1 < len(data):
            i += 3 if data[i + 1] in (0xFB, 0xFC, 0xFD, 0xFE) else 2
            continue
        out.append(data[i])
        i += 1
    return bytes(out)


def console_command(port, command, timeout=10.0):
    """Runs one command on the simulator's console at 127.0.0.1:port and
    returns its output (the echo and the prompt removed, lines joined by
    "\\n"). Raises VexaRefused when the simulator refuses it ("**...")."""
    deadline = time.monotonic() + timeout
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        def read_until_prompt(buf):
            while not _strip_telnet(buf).endswith(b"> "):
                left = deadline - time.monotonic()
                if left <= 0:
                    raise VexaSimError("console at port %d did not answer" % port)
                s.settimeout(left)
                chunk = s.recv(65536)
                if not chunk:
                    raise VexaSimError("console at port %d closed" % port)
                buf += chunk
            return _strip_telnet(buf)

        read_until_prompt(b"")
        s.sendall(command.encode() + b"\n")
        text = read_until_prompt(b"").decode(errors="replace")
    text = text.replace("\r", "")[:-2]            # drop the prompt
    lines = text.split("\n")
    if lines and lines[0].strip() == command.strip():
        lines = lines[1:]                          # the console's echo
    output = "\n".join(lines).strip("\n")
    if any(line.startswith("**") for line in lines):
        raise VexaRefused(output)
    return output


def _write_private(path, text):
    """Writes text to path, readable by its owner alone (mode 0600 also
    when the file was there before)."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
    with os.fdopen(fd, "w") as f:
        os.fchmod(f.fileno(), 0o600)
        f.write(text)


def _pdeathsig():
    """In the child: die with the parent, so a killed caller leaves no BMC."""
    try:
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    except OSError:
        pass


class VexaSim:
    """One ipmi_sim process with the Vexa module (see the module's doc)."""

    def __init__(self, run_dir, module=None, state_dir=None, lan_port=0,
                 serial_port=0, console_port=0, timeout=20.0,
                 die_with_parent=True, ipmi_sim="ipmi_sim", lan=False, gate_off=False, redfish=False,
                 startcmd=None, redfish_args=(), crash=None):
        self.run_dir = os.path.abspath(run_dir)
        self.module = os.path.abspath(module or os.environ.get("VEXA_BMC_MODULE") or DEFAULT_MODULE)
        self.state_dir = os.path.abspath(state_dir or os.path.join(self.run_dir, "state"))
        self.lan_port, self.serial_port, self.console_port = lan_port, serial_port, console_port
        self.timeout = timeout
        self.die_with_parent = die_with_parent
        self.ipmi_sim = ipmi_sim
        self.lan = lan
        self.gate_off = gate_off
        self.crash = crash            # "before:K" / "after:K" or None; read at every start
        self.proc = None
        self.returncode = None        # the last run's exit status, once it ended
        self.redfish, self.startcmd, self.redfish_args = redfish, startcmd, list(redfish_args)
        self.redfish_proc = None
        self.redfish_env = {}
        if startcmd is not None and '"' in startcmd:
            raise VexaSimError("--startcmd must not contain double quotes (the configuration quotes it)")

    # -- paths -------------------------------------------------------------
    def path(self, name):
        return os.path.join(self.run_dir, name)

    @property
    def password_file(self):
        return self.path("lan.password")

    def env(self):
        env = {
            "VEXA_SERIAL_PORT": str(self.serial_port),
            "VEXA_CONSOLE_PORT": str(self.console_port),
            "VEXA_STATE_DIR": self.state_dir,
            "VEXA_RUN_DIR": self.run_dir,
            "VEXA_CONTROL_SOCKET": self.path(CONTROL),
            **self.redfish_env,
        }
        if self.lan:
            env.update(VEXA_LAN_PORT=str(self.lan_port), VEXA_LAN_PASSWORD_FILE=self.password_file)
        return env

    def ipmitool(self, *args, interface="lanplus", cipher="3", password_file=None):
        """The ipmitool command line of the LAN channel (lan=True): the
        account admin, its password read from a file (-f)."""
        if not self.lan:
            raise VexaSimError("the LAN channel is off (start with lan=True)")
        cmd = ["ipmitool", "-I", interface, "-H", "127.0.0.1", "-p", str(self.lan_port), "-U", "admin",
               "-f", password_file or self.password_file]
        if interface == "lanplus":
            cmd[3:3] = ["-C", cipher]
        return cmd + list(args)

    # -- start and stop ----------------------------------------------------
    def _write_config(self, ports, password):
        with open(os.path.join(HERE, "lan.conf.in")) as f:
            text = f.read()
        begin, end = text.index("#@LAN_BLOCK_BEGIN@\n"), text.index("#@LAN_BLOCK_END@")
        block = text[begin + len("#@LAN_BLOCK_BEGIN@\n"):end]
        text = text[:begin].replace("@LAN@", block if self.lan else "  # LAN channel: off (vexa_sim.py --lan)")
        for key, value in (("LAN_PORT", ports[0]), ("SERIAL_PORT", ports[1]),
                           ("CONSOLE_PORT", ports[2]), ("MODULE", self.module),
                           ("MODULE_OPTIONS", ("gate=off " if self.gate_off else "") +
                            ("crash=%s " % self.crash if self.crash else "")),
                           ("STATE_DIR", self.state_dir), ("LAN_PASSWORD", password), ("CONTROL", CONTROL)):
            text = text.replace("@%s@" % key, str(value))
        if self.startcmd is not None:
            # The host's power: on a power-off ipmi_sim asks the VM to stop,
            # then SIGTERM after poweroff_wait, SIGKILL after kill_wait.
            text += ('\n# The host: run on a chassis power-on, ended on a power-off.\n'
                     'startcmd "%s"\nstartnow false\npoweroff_wait 2\nkill_wait 3\n' % self.startcmd)
        _write_private(self.path("lan.conf"), text)
        if self.lan:
            _write_private(self.password_file, password + "\n")
        elif os.path.lexists(self.password_file):
            os.unlink(self.password_file)      # an earlier run's: no LAN now

    def _ready(self):
        """True once the console answers and the module's command exists."""
        try:
            console_command(self.console_port, "vexa_show", timeout=2.0)
            return True
        except (OSError, VexaSimError):
            return False
        except VexaRefused as e:
            raise VexaSimError("ipmi_sim runs but the Vexa module did not load: %s" % e)

    def start(self):
        if self.proc is not None:
            if self.proc.poll() is None:
                raise VexaSimError("the BMC in %s is already running" % self.run_dir)
            self.stop()                     # it died by itself: tidy up, keep its ports
        if self.crash is not None and not re.fullmatch(r"(before|after):[1-9][0-9]*", self.crash):
            raise VexaSimError("crash must be before:K or after:K, K from 1 (not %r)" % self.crash)
        if not os.path.isfile(self.module):
            raise VexaSimError("module %s not found (build it: cmake --build build --target vexa_bmc)" % self.module)
        os.makedirs(self.run_dir, exist_ok=True)
        os.makedirs(self.state_dir, exist_ok=True)
        fixed = (self.lan_port, self.serial_port, self.console_port)
        for attempt in range(3):
            ports = (fixed[0] or (_free_port(socket.SOCK_DGRAM) if self.lan else 0),
                     fixed[1] or _free_port(socket.SOCK_STREAM),
                     fixed[2] or _free_port(socket.SOCK_STREAM))
            self.lan_port, self.serial_port, self.console_port = ports
            # A new password for every start: 16 characters, the most an
            # IPMI 1.5 account takes.
            self._write_config(ports, secrets.token_urlsafe(12) if self.lan else "")
            log = open(self.path("ipmi_sim.log"), "ab")
            self.proc = subprocess.Popen(
                [self.ipmi_sim, "-c", self.path("lan.conf"),
                 "-f", os.path.join(HERE, "vexa.cmds"), "-s", self.state_dir, "-n"],
                cwd=self.run_dir, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                start_new_session=True,
                preexec_fn=_pdeathsig if self.die_with_parent else None)
            log.close()
            with open(self.path("ipmi_sim.pid"), "w") as f:
                f.write("%d\n" % self.proc.pid)
            deadline = time.monotonic() + self.timeout
            while time.monotonic() < deadline and self.proc.poll() is None:
                try:
                    if self._ready():
                        if self.redfish:
                            self._start_redfish()
                        with open(self.path("vexa-sim.env"), "w") as f:
                            f.writelines("%s=%s\n" % kv for kv in self.env().items())
                        return self
                except VexaSimError:
                    self.stop()
                    raise
                time.sleep(0.1)
            self.stop()
            if all(fixed[1:]) and (fixed[0] or not self.lan):
                break                       # nothing to vary: give up at once
        raise VexaSimError("ipmi_sim did not come up; see %s" % self.path("ipmi_sim.log"))

    def _start_redfish(self):
        """The Redfish service on the control channel; waits for its
        redfish.env."""
        env_file = self.path("redfish.env")
        if os.path.exists(env_file):
            os.unlink(env_file)
        log = open(self.path("redfish-service.log"), "ab")
        self.redfish_proc = subprocess.Popen(
            [SYSTEM_PYTHON, REDFISH, "--control", self.path(CONTROL), "--run-dir", self.run_dir,
             *self.redfish_args],
            cwd=self.run_dir, stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True,
            preexec_fn=_pdeathsig if self.die_with_parent else None)
        log.close()
        with open(self.path("redfish.pid"), "w") as f:
            f.write("%d\n" % self.redfish_proc.pid)
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline and self.redfish_proc.poll() is None:
            if os.path.exists(env_file):
                with open(env_file) as f:
                    self.redfish_env = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
                return
            time.sleep(0.1)
        raise VexaSimError("the Redfish service did not come up; see %s" % self.path("redfish-service.log"))

    def stop(self):
        """Stops the Redfish service and the simulator: SIGTERM, SIGKILL
        after 5 s. Idempotent."""
        if self.redfish_proc is not None:
            _terminate(self.redfish_proc.pid, self.redfish_proc)
            self.redfish_proc = None
        for name in ("redfish.pid",):
            try:
                os.unlink(self.path(name))
            except FileNotFoundError:
                pass
        if self.proc is not None:
            if self.proc.poll() is None:      # else it died by itself: its pid may be another's by now
                host = _children(self.proc.pid)
                _terminate(self.proc.pid, self.proc)
                for pid in host:              # the startcmd host outlives ipmi_sim
                    _terminate(pid, None)
            self.returncode = self.proc.returncode
            self.proc = None
        try:
            os.unlink(self.path("ipmi_sim.pid"))
        except FileNotFoundError:
            pass

    def console(self, command, timeout=10.0):
        return console_command(self.console_port, command, timeout)

    def exited(self):
        """The simulator's exit status once it ended by itself (99: crash=),
        else None (running, or stopped by stop())."""
        return self.proc.poll() if self.proc is not None else None

    def control(self, request, timeout=10.0):
        """One request on the module's control channel (one line, see
        VexaControl.h); returns its answer, decoded from JSON."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(self.path(CONTROL))
            s.sendall(request.encode() + b"\n")
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = s.recv(65536)
                if not chunk:
                    raise VexaSimError("the control channel closed without an answer")
                answer += chunk
        return json.loads(answer)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


def _is_our_ipmi_sim(pid, run_dir):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            argv = f.read().split(b"\0")
    except OSError:
        return False
    return bool(argv) and os.path.basename(argv[0]) == b"ipmi_sim" and \
        os.path.join(run_dir, "lan.conf").encode() in argv


def _children(pid):
    """The process ids whose parent is pid (ipmi_sim's startcmd host)."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except (OSError, IndexError):
                continue
            if int(fields[1]) == pid:
                found.append(int(entry))
    return found


def _terminate(pid, proc):
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + 5.0
    while time.monotonic() < deadline:
        if proc is not None:
            if proc.poll() is not None:
                return
        else:
            try:
                os.kill(pid, 0)
            except ProcessLookupError:
                return
        time.sleep(0.05)
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        return
    if proc is not None:
        proc.wait()


def _is_our_redfish(pid, run_dir):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            argv = f.read().split(b"\0")
    except OSError:
        return False
    return REDFISH.encode() in argv and run_dir.encode() in argv


def _stop_run_dir(run_dir):
    run_dir = os.path.abspath(run_dir)
    try:
        with open(os.path.join(run_dir, "redfish.pid")) as f:
            pid = int(f.read().strip())
        if _is_our_redfish(pid, run_dir):
            _terminate(pid, None)
        os.unlink(os.path.join(run_dir, "redfish.pid"))
    except (OSError, ValueError):
        pass
    try:
        with open(os.path.join(run_dir, "ipmi_sim.pid")) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        return
    if _is_our_ipmi_sim(pid, run_dir):
        host = _children(pid)
        _terminate(pid, None)
        for child in host:
            _terminate(child, None)
    os.unlink(os.path.join(run_dir, "ipmi_sim.pid"))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("action", choices=("run", "start", "stop"))
    parser.add_argument("--run-dir", required=True)
    parser.add_argument("--module")
    parser.add_argument("--state-dir")
    parser.add_argument("--lan", action="store_true", help="the LAN channel on (off by default)")
    parser.add_argument("--gate-off", action="store_true", help="test aid: firmware commands from every channel")
    parser.add_argument("--crash", metavar="before:K|after:K",
                        help="test aid: the BMC dies (exit 99) at the K-th firmware transaction")
    parser.add_argument("--lan-port", type=int, default=0)
    parser.add_argument("--serial-port", type=int, default=0)
    parser.add_argument("--console-port", type=int, default=0)
    parser.add_argument("--timeout", type=float, default=20.0)
    parser.add_argument("--redfish", action="store_true", help="also start the Redfish service")
    parser.add_argument("--startcmd", help="the host ipmi_sim powers on and off")
    command = []
    if "--" in argv:
        at = argv.index("--")
        argv, command = argv[:at], argv[at + 1:]
    args = parser.parse_args(argv)

    if args.action == "stop":
        _stop_run_dir(args.run_dir)
        return 0
    if args.action == "run" and not command:
        parser.error("run needs a command after --")
    if args.action == "start" and command:
        parser.error("start takes no command")

    sim = VexaSim(args.run_dir, module=args.module, state_dir=args.state_dir,
                  lan_port=args.lan_port, serial_port=args.serial_port,
                  console_port=args.console_port, timeout=args.timeout,
                  die_with_parent=(args.action == "run"), lan=args.lan, gate_off=args.gate_off,
                  redfish=args.redfish, startcmd=args.startcmd, crash=args.crash)
    try:
        sim.start()
    except (VexaSimError, OSError) as e:
        print("vexa_sim: %s" % e, file=sys.stderr)
        return 1
    if args.action == "start":
        for key, value in sim.env().items():
            print("%s=%s" % (key, value))
        return 0

    def on_signal(signum, _frame):
        raise KeyboardInterrupt(signum)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    child = None
    try:
        child = subprocess.Popen(command, env=dict(os.environ, **sim.env()))
        return child.wait()
    except KeyboardInterrupt:
        if child is not None and child.poll() is None:
            child.terminate()
            try:
                child.wait(timeout=10)
            except subprocess.TimeoutExpired:
                child.kill()
        return 130
    finally:
        sim.stop()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
