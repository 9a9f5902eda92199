#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""A fleet of N servers, each a BMC (ipmi_sim with the Vexa module and its
Redfish service) and a QEMU machine it powers (ipmi_sim's startcmd), all on
loopback ports; one HTTPS boot server whose certificate this run's CA
signed. Ansible (Fleet/provision-ca.yml) provisions the CA to every server
through Redfish and powers each on; each server's firmware imports the CA,
makes it the anchor of HTTPS boot and boots from that server by itself.
The playbook runs twice: the second run must change nothing and say so.

    fleet.py --servers N --out DIR

Checks (exit status 1 when one fails): first run: every host changed, the
import's task Completed at every BMC, every server's console shows the boot
image started from the CA's server; second run: changed=0 on every host and
the "nothing to change" message. Writes DIR/inventory.ini and
DIR/playbook-1.log, playbook-2.log; each server's files in DIR/serverN/.
Every process started here (BMCs, Redfish services, QEMU machines, the boot
server) is stopped however the run ends.

The machines are the platform build powered on with nothing but their flash:
no boot volume, no shell. Each one's boot manager applies its BMC's requests,
reports the slots and derives the trust, then boots the HTTPS boot option it
makes from the URI QEMU hands it (fw_cfg); host_command() is the one place
that says how a server boots.
"""

import argparse
import hashlib
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
SCRIPTS = os.path.join(REPO, "scripts")
sys.path.insert(0, os.path.join(REPO, "TolmVexaPkg", "Test", "OnTarget"))
sys.path.insert(0, os.path.join(REPO, "VexaBmc", "Sim"))
from https_boot import IMAGE_RUNNING, BootServers, make_certs  # noqa: E402
from vexa_sim import VexaSim  # noqa: E402

PLAYBOOK = os.path.join(HERE, "provision-ca.yml")
RECAP = re.compile(r"^(\S+)\s*:\s*ok=(\d+)\s+changed=(\d+)\s+unreachable=(\d+)\s+failed=(\d+)", re.M)
BOOT_TIMEOUT = 300          # one machine's QEMU at most, under load


def shell(script, platform):
    """Runs bash with scripts/https-boot-common.sh sourced (and the platform
    build selected); returns its standard output."""
    prefix = '. "$0/https-boot-common.sh" && ' + ("ot_use_platform && " if platform else "")
    run = subprocess.run(["bash", "-c", prefix + script, SCRIPTS], stdout=subprocess.PIPE, text=True)
    if run.returncode != 0:
        raise SystemExit("[fleet] %s failed" % script)
    return run.stdout


def host_command(server, firmware, serial_port_var="$VEXA_SERIAL_PORT"):
    """How server boots: the QEMU command line its BMC runs on a power-on.
    The machine's flash (vars.fd) is its own and kept; its HTTPS boot URI is
    the platform's setting in fw_cfg; its network reaches the host's loopback
    as 10.0.2.2; its KCS interface is wired to its BMC's system interface."""
    d = server["dir"]
    return ["timeout", str(BOOT_TIMEOUT), "qemu-system-x86_64",
            "-machine", "pc", "-m", "512M", "-accel", "tcg", "-display", "none", "-vga", "none",
            "-no-reboot", "-monitor", "none", "-pidfile", os.path.join(d, "qemu.pid"),
            "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + firmware["code"],
            "-drive", "if=pflash,format=raw,unit=1,file=" + os.path.join(d, "vars.fd"),
            "-fw_cfg", "name=opt/org.tolm/https-boot-uri,string=" + server["uri"],
            "-serial", "file:" + os.path.join(d, "com1.log"), "-serial", "file:" + os.path.join(d, "com2.log"),
            "-netdev", "user,id=n0", "-device", "virtio-net-pci,netdev=n0,romfile=",
            "-chardev", "socket,id=ipmi0,host=127.0.0.1,port=%s,reconnect=1" % serial_port_var,
            "-device", "ipmi-bmc-extern,id=bmc0,chardev=ipmi0", "-device", "isa-ipmi-kcs,bmc=bmc0"]


def write_host_script(server, firmware):
    """server/host.sh: the BMC's startcmd; reads the BMC's serial port when
    it runs (the port is chosen when the BMC starts)."""
    path = os.path.join(server["dir"], "host.sh")
    argv = host_command(server, firmware)
    text = ("#!/bin/sh\n# %s's power-on: written by Fleet/fleet.py\n. %s\nexec %s >%s 2>&1\n" % (
        server["name"], shlex.quote(os.path.join(server["dir"], "bmc", "vexa-sim.env")),
        " ".join('"%s"' % a if "$VEXA_SERIAL_PORT" in a else shlex.quote(a) for a in argv),
        shlex.quote(os.path.join(server["dir"], "qemu.log"))))
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o755)
    return path


def stop_machine(server):
    """Ends the server's QEMU if it still runs (by its pid file)."""
    try:
        with open(os.path.join(server["dir"], "qemu.pid")) as f:
            pid = int(f.read().strip())
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            if os.path.join(server["dir"], "vars.fd").encode() not in f.read():
                return
        os.kill(pid, signal.SIGTERM)
    except (OSError, ValueError):
        pass


def firmware_of(platform):
    """The firmware the machines boot and the boot image the server hands out."""
    lines = shell('echo "$OVMF_CODE"; echo "$OVMF_VARS"; hb_boot_image', platform).split("\n")
    return {"code": lines[0], "vars": lines[1], "image": lines[2], "platform": platform}


def add_server(out, n, firmware, module, uri, servers, sims):
    """Server n: its folder, flash and BMC (started, with its
    Redfish service and the machine as its startcmd)."""
    server = {"name": "server%d" % n, "dir": os.path.join(out, "server%d" % n), "uri": uri}
    os.makedirs(server["dir"])
    shutil.copyfile(firmware["vars"], os.path.join(server["dir"], "vars.fd"))
    sim = VexaSim(os.path.join(server["dir"], "bmc"), module=module, redfish=True,
                  startcmd=write_host_script(server, firmware))
    sims.append(sim)
    sim.start()
    server["sim"] = sim
    servers.append(server)
    return server


def run_playbook(out, number, ca_pem, ca_sha256):
    log = os.path.join(out, "playbook-%d.log" % number)
    env = {k: v for k, v in os.environ.items() if k not in ("REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE")}
    env.update(ANSIBLE_NOCOLOR="1", ANSIBLE_HOST_KEY_CHECKING="False", ANSIBLE_RETRY_FILES_ENABLED="False",
               ANSIBLE_LOCAL_TEMP=os.path.join(out, "ansible-tmp"), ANSIBLE_FORKS="8")
    argv = ["ansible-playbook", "-i", os.path.join(out, "inventory.ini"), PLAYBOOK,
            "-e", "ca_file=" + ca_pem, "-e", "ca_sha256=" + ca_sha256]
    print("[fleet] $ %s" % " ".join(shlex.quote(a) for a in argv), flush=True)
    start = time.monotonic()
    run = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env, timeout=1200)
    seconds = time.monotonic() - start
    with open(log, "w") as f:
        f.write(run.stdout)
    recap = {m.group(1): dict(zip(("ok", "changed", "unreachable", "failed"), map(int, m.groups()[1:])))
             for m in RECAP.finditer(run.stdout)}
    return run.returncode, run.stdout, recap, seconds


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--servers", type=int, default=3)
    parser.add_argument("--out", default=os.path.join(REPO, "build", "fleet"))
    parser.add_argument("--module", default=os.environ.get("VEXA_BMC_MODULE"))
    args = parser.parse_args(argv)
    out = os.path.abspath(args.out)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    module = args.module or shell("ot_bmc_module", False).strip()
    firmware = firmware_of(True)
    print("[fleet] %d server(s); firmware %s" % (args.servers, firmware["code"]), flush=True)

    def on_signal(signum, _frame):
        raise KeyboardInterrupt(signum)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)

    failures = []

    def check(ok, what):
        print("[fleet] %s %s" % ("ok    " if ok else "WRONG ", what), flush=True)
        if not ok:
            failures.append(what)

    certs = os.path.join(out, "certs")
    make_certs(certs)
    ca_pem = os.path.join(certs, "ca.pem")
    with open(os.path.join(certs, "ca.der"), "rb") as f:
        ca_der = f.read()
    ca_sha256 = hashlib.sha256(ca_der).hexdigest()
    boot_server = BootServers(certs, firmware["image"], os.path.join(out, "server.log"))
    uri = boot_server.uri("good")
    servers, sims = [], []
    start = time.monotonic()
    try:
        for n in range(1, args.servers + 1):
            add_server(out, n, firmware, module, uri, servers, sims)
        with open(os.path.join(out, "inventory.ini"), "w") as f:
            f.write("[vexa]\n")
            for s in servers:
                e = s["sim"].redfish_env
                f.write("%s redfish=https://127.0.0.1:%s redfish_ca=%s redfish_password_file=%s\n" % (
                    s["name"], e["VEXA_REDFISH_PORT"], e["VEXA_REDFISH_CA"], e["VEXA_REDFISH_PASSWORD_FILE"]))
            f.write("\n[vexa:vars]\nansible_connection=local\nansible_python_interpreter=/usr/bin/python3\n")
        print("[fleet] inventory: %s; boot server %s (certificate signed by the CA, sha256 %s)"
              % (os.path.join(out, "inventory.ini"), uri, ca_sha256[:16]), flush=True)

        rc, text, recap, first = run_playbook(out, 1, ca_pem, ca_sha256)
        print("\n".join("    " + line for line in text.splitlines()[-(args.servers + 3):]), flush=True)
        check(rc == 0, "first run of the playbook succeeded (%.0f s)" % first)
        check(all(recap.get(s["name"], {}).get("changed", 0) >= 2 and recap[s["name"]]["failed"] == 0
                  for s in servers), "first run: every server changed (CA queued, powered on)")
        for s in servers:
            com1 = os.path.join(s["dir"], "com1.log")
            text = open(com1, errors="replace").read() if os.path.exists(com1) else ""
            check(any(line.startswith(IMAGE_RUNNING) and line.endswith("/Uri(%s)" % uri)
                      for line in text.replace("\r", "").split("\n")),
                  "%s HTTPS-booted by itself from %s (its console: %s)" % (s["name"], uri, com1))
        rc, text, recap, second = run_playbook(out, 2, ca_pem, ca_sha256)
        print("\n".join("    " + line for line in text.splitlines()[-(args.servers + 3):]), flush=True)
        check(rc == 0 and all(recap.get(s["name"], {}).get("changed") == 0 for s in servers)
              and text.count("nothing to change") >= len(servers),
              "second run changed nothing and said so (%.0f s)" % second)
    except KeyboardInterrupt:
        failures.append("interrupted")
    finally:
        for s in servers:
            stop_machine(s)
        for sim in sims:
            sim.stop()
        boot_server.stop()
    print("[fleet] %d server(s): %s in %.0f s (playbook: first run %.0f s, second %.0f s)" % (
        args.servers, "FAILED" if failures else "passed", time.monotonic() - start,
        locals().get("first", 0), locals().get("second", 0)), flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
