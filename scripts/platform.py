#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The platform build: OVMF from the fetched EDK II tree with this package's
modules in its DXE firmware volume, as a server platform carries the driver.

The platform description is made at build time from the tree's own
OvmfPkg/OvmfPkgX64.dsc and .fdf (no OVMF source is kept in this repository):

  - the build output goes to Build/TolmVexaOvmfX64, the flash layout to the
    generated .fdf;
  - the library classes Debian's patched UEFI shell asks for even without
    secure boot (SecureBootVariableLib, PlatformPKProtectionLib) are mapped;
  - [Components] gets TolmVexaPkg/Test/OnTarget/Platform/Components.dsc.inc,
    and every module listed there (directly or through an !include of this
    package) goes into FV.DXEFV. Adding a module is one line in that file;
  - the boot manager is the tree's OvmfPkg/Library/PlatformBootManagerLib,
    copied into the generated workspace and changed there by
    TolmVexaPkg/Test/OnTarget/Platform/PlatformBootManagerLib.patch (it calls
    TolmVexaBootPolicyLib in PlatformBootManagerAfterConsole() and makes the
    HTTPS boot order from QEMU's fw_cfg); PlatformBootManagerLib is mapped to
    the copy.

Build flags (Debian's, where they matter here): HTTP boot and TLS, so the
image carries HttpBootDxe and TlsDxe; no secure boot, so the shell that runs
startup.nsh starts; no IPv6, TPM or SMM (not used by any test).

  platform.py flags
  platform.py key      --edk2 TREE --tag TAG
  platform.py fd       --edk2 TREE --tag TAG      cache folder of the image
  platform.py generate --edk2 TREE --tag TAG --out DIR

The cache folder (.deps/platform/<tree>-<tag>-<key>/) is keyed by a hash of
everything that goes into the image: the tree's OvmfPkgX64.dsc/.fdf,
PlatformBootManagerLib sources and Debian changelog, the tag, the flags, this
script and the package's firmware sources (the patch among them).
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PKG = os.path.join(ROOT, "TolmVexaPkg")
COMPONENTS = "TolmVexaPkg/Test/OnTarget/Platform/Components.dsc.inc"
BOOT_MANAGER = "OvmfPkg/Library/PlatformBootManagerLib"
BOOT_MANAGER_PATCH = os.path.join(PKG, "Test/OnTarget/Platform/PlatformBootManagerLib.patch")
FLAGS = ["-D", "NETWORK_HTTP_BOOT_ENABLE=TRUE", "-D", "NETWORK_TLS_ENABLE=TRUE",
         "-D", "NETWORK_IP6_ENABLE=FALSE", "-D", "SECURE_BOOT_ENABLE=FALSE", "-D", "FD_SIZE_4MB"]
# Folders of the package that never reach the firmware image.
NOT_FIRMWARE = ("Test/Host", "Test/Fuzz", "Test/OnTarget/OnTargetTestApp")


def package_files():
    for dirpath, dirnames, filenames in os.walk(PKG):
        rel = os.path.relpath(dirpath, PKG)
        dirnames[:] = sorted(d for d in dirnames if os.path.join(rel, d).replace("./", "") not in NOT_FIRMWARE)
        for name in sorted(filenames):
            if not name.endswith((".py", ".md", ".txt")):
                yield os.path.join(dirpath, name)


def key(tree, tag):
    h = hashlib.sha256()
    h.update(("%s\n%s\n" % (tag, " ".join(FLAGS))).encode())
    for path in (os.path.join(tree, "OvmfPkg/OvmfPkgX64.dsc"), os.path.join(tree, "OvmfPkg/OvmfPkgX64.fdf"),
                 os.path.join(tree, "debian/changelog"), os.path.abspath(__file__)):
        h.update(path.encode() if not os.path.exists(path) else open(path, "rb").read())
    boot_manager = os.path.join(tree, BOOT_MANAGER)
    for name in sorted(os.listdir(boot_manager)) if os.path.isdir(boot_manager) else []:
        h.update(name.encode() + b"\0" + open(os.path.join(boot_manager, name), "rb").read())
    for path in package_files():
        h.update(os.path.relpath(path, ROOT).encode() + b"\0" + open(path, "rb").read())
    return h.hexdigest()[:16]


def tree_name(tree):
    return os.path.basename(os.path.realpath(tree)).replace("edk2-", "")


def fd_dir(tree, tag):
    return os.path.join(ROOT, ".deps", "platform", "%s-%s-%s" % (tree_name(tree), tag, key(tree, tag)))


def module_infs(path, seen=None):
    """The INF paths a DSC fragment lists, following its !include lines."""
    seen = seen if seen is not None else set()
    infs = []
    for line in open(os.path.join(ROOT, path)):
        line = line.split("#", 1)[0].strip()
        inc = re.match(r"!include\s+(TolmVexaPkg/\S+)$", line)
        if inc and inc.group(1) not in seen:
            seen.add(inc.group(1))
            infs += module_infs(inc.group(1), seen)
        elif re.match(r"^\S+\.inf\b", line) and not re.match(r"^\w+\|", line):
            infs.append(line.split()[0])
    return infs


def generate(tree, out):
    dsc = open(os.path.join(tree, "OvmfPkg/OvmfPkgX64.dsc")).read()
    fdf = open(os.path.join(tree, "OvmfPkg/OvmfPkgX64.fdf")).read()
    rel = os.path.basename(out.rstrip("/"))
    changes = [
        (r"(OUTPUT_DIRECTORY\s*=\s*)Build/OvmfX64", r"\1Build/TolmVexaOvmfX64"),
        (r"(FLASH_DEFINITION\s*=\s*)OvmfPkg/OvmfPkgX64\.fdf", r"\g<1>%s/TolmVexaOvmfX64.fdf" % rel),
    ]
    # The boot manager: the copy made below, patched.
    changes.append((r"(PlatformBootManagerLib\|)%s/PlatformBootManagerLib\.inf" % re.escape(BOOT_MANAGER),
                    r"\g<1>%s/PlatformBootManagerLib/PlatformBootManagerLib.inf" % rel))
    for pattern, repl in changes:
        dsc, n = re.subn(pattern, repl, dsc, count=1)
        if n != 1:
            sys.exit("platform.py: %s not found in OvmfPkgX64.dsc" % pattern)
    # Includes named relative to OvmfPkg/ are named from the package path.
    relative = re.compile(r"^(\s*!include\s+)([^/\s$]+)\s*$", re.M)
    dsc = relative.sub(r"\1OvmfPkg/\2", dsc)
    fdf = relative.sub(r"\1OvmfPkg/\2", fdf)
    dsc = ("## @file\n#  Generated by scripts/platform.py from %s/OvmfPkg/OvmfPkgX64.dsc: do not edit.\n##\n"
           % tree) + dsc + """
#
# TolmVexaPkg platform build (scripts/platform.py).
#
[LibraryClasses]
!if $(SECURE_BOOT_ENABLE) == FALSE
  # Debian's UEFI shell checks the secure-boot state even in a build without
  # secure boot.
  SecureBootVariableLib|SecurityPkg/Library/SecureBootVariableLib/SecureBootVariableLib.inf
  PlatformPKProtectionLib|SecurityPkg/Library/PlatformPKProtectionLibVarPolicy/PlatformPKProtectionLibVarPolicy.inf
!endif
  # The trust driver's library (TolmVexaHttpsBootTrust.dsc.inc), and the boot
  # manager's (PlatformBootManagerLib.patch), which calls it too.
  HttpsBootTrustLib|TolmVexaPkg/Library/HttpsBootTrustLib/HttpsBootTrustLib.inf
  TolmVexaBootPolicyLib|TolmVexaPkg/Library/TolmVexaBootPolicyLib/TolmVexaBootPolicyLib.inf

[Components]
!include %s
""" % COMPONENTS
    infs = module_infs(COMPONENTS)
    section = re.search(r"^\[FV\.DXEFV\][^\n]*\n", fdf, re.M)
    if not section:
        sys.exit("platform.py: no [FV.DXEFV] in OvmfPkgX64.fdf")
    following = re.compile(r"^\[", re.M).search(fdf, section.end())
    end = following.start() if following else len(fdf)
    lines = "".join("INF  %s\n" % inf for inf in infs)
    fdf = fdf[:end].rstrip("\n") + "\n\n# TolmVexaPkg (scripts/platform.py, %s)\n%s\n" % (COMPONENTS, lines) + fdf[end:]
    fdf = ("## @file\n#  Generated by scripts/platform.py from %s/OvmfPkg/OvmfPkgX64.fdf: do not edit.\n##\n"
           % tree) + fdf
    os.makedirs(out, exist_ok=True)
    copy = os.path.join(out, "PlatformBootManagerLib")
    shutil.rmtree(copy, ignore_errors=True)
    shutil.copytree(os.path.join(tree, BOOT_MANAGER), copy)
    r = subprocess.run(["patch", "-p1", "--batch", "--forward", "--no-backup-if-mismatch", "-d", copy,
                        "-i", BOOT_MANAGER_PATCH], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if r.returncode != 0:
        sys.exit("platform.py: %s does not apply to %s/%s:\n%s" % (BOOT_MANAGER_PATCH, tree, BOOT_MANAGER, r.stdout))
    open(os.path.join(out, "TolmVexaOvmfX64.dsc"), "w").write(dsc)
    open(os.path.join(out, "TolmVexaOvmfX64.fdf"), "w").write(fdf)
    for inf in infs:
        print(inf)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("command", choices=("flags", "key", "fd", "generate"))
    p.add_argument("--edk2")
    p.add_argument("--tag", default="GCC5")
    p.add_argument("--out")
    a = p.parse_args()
    if a.command == "flags":
        print(" ".join(FLAGS))
    elif a.command == "key":
        print(key(a.edk2, a.tag))
    elif a.command == "fd":
        print(fd_dir(a.edk2, a.tag))
    else:
        generate(os.path.realpath(a.edk2), a.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
