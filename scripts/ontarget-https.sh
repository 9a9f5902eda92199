#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# On-target HTTPS boot through the BMC: the certificate the administrator
# provisioned at the BMC is what the firmware's HTTPS boot trusts. Runs the
# chains of TolmVexaPkg/Test/OnTarget/https_boot.py side by side, each a
# machine (its variable store kept from boot to boot) with its own BMC
# (ipmi_sim with the VexaBmc module, reached through QEMU's KCS interface by
# IpmiKcsDxe with KivIpmiBlobDxe) and its own pair of HTTPS servers on 127.0.0.1 (one with a
# certificate from the CA of the run, one from another CA), and checks both
# sides: the test application's verdicts, "TlsCaCertificate" byte for byte,
# what HttpBootDxe and the boot image printed, the trust component's and the
# driver's consoles on COM1 and COM2, the servers' TLS log and the BMC's
# requests, fates and reported slots.
#
#   scripts/ontarget-https.sh [--out DIR] [--no-build] [--platform] [CHAIN ...]
#   scripts/ontarget-https.sh [--out DIR] [--no-build] --platform unattended
#
# CHAIN: slot1 (the CA imported into slot 1 beside a DER SEQUENCE that is
# not a certificate in slot 2: another CA's server refused, the CA's
# accepted; the BMC deletes slot 1, next boot refused with no trust at all),
# planted (an authenticated "TlsCaCertificate" of the other CA written into
# the store offline with virt-fw-vars, the CA imported into slot 1: removed
# (by a delete of attributes 0 in the platform build, whose variable service
# knows no authentication, by an unsigned authenticated delete in Debian's
# OVMF, which assumes physical presence), the CA's server accepted), kept
# (the same on a variable layer that refuses unsigned writes of it: it
# stays, and every HTTPS boot fails closed) and slot3 (an unrelated certificate in slot 1, the CA in slot 3,
# damaged values in slots 2 and 4, a stale trust of the other CA: the trust is
# exactly slots 1 and 3; the BMC deletes slot 3, next boot refused). Default:
# all four. --platform: the platform build (scripts/build.sh platform), where the
# stand-ins, IpmiKcsDxe with KivIpmiBlobDxe, the driver and the trust driver come from its DXE
# volume. Output: DIR/<chain>/<boot>/{com1.log,com2.log,fat/}, the chain's
# server.log and BMC run folder beside them; default build/ontarget-https.
# unattended (platform build only; CTest ontarget.unattended): the server
# powered on three times with no FAT drive and no shell, its HTTPS boot URI in
# QEMU's fw_cfg: the CA queued at the BMC (the boot manager applies, syncs and
# derives the trust, the HTTPS option boots the image), no BMC attached (the
# driver's error, the trust from the slots as they were, the image boots), the
# BMC deletes the CA (refused, the last boot option powers the machine off).
# Output: DIR/<power-on>/{com1.log,com2.log}; default build/ontarget-https/unattended.
# Exit status 0 only when every check passed.
set -eo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/https-boot-common.sh"

OUT="$OT_ROOT/build/ontarget-https"
BUILD=1
PLATFORM=0
UNATTENDED=""
CHAINS=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out) OUT=$2; shift 2 ;;
    --no-build) BUILD=0; shift ;;
    --platform) PLATFORM=1; shift ;;
    slot1|slot3|planted|kept) CHAINS+=("$1"); shift ;;
    unattended) UNATTENDED=1; shift ;;
    *) echo "usage: $0 [--out DIR] [--no-build] [--platform] [slot1|slot3|planted|kept ...|unattended]" >&2; exit 2 ;;
  esac
done
if [ -n "$UNATTENDED" ] && { [ "$PLATFORM" = 0 ] || [ ${#CHAINS[@]} -gt 0 ]; }; then
  echo "$0: unattended is a group of its own, on the platform build (--platform unattended)" >&2
  exit 2
fi

if [ "$BUILD" = 1 ]; then
  "$OT_ROOT/scripts/build.sh" DEBUG $([ "$PLATFORM" = 0 ] || echo platform)
fi
[ "$PLATFORM" = 0 ] || ot_use_platform
ot_need qemu-system-x86_64 openssl python3 timeout ipmi_sim

mkdir -p "$OUT"
start=$(date +%s)
echo "[ontarget-https] $OT_NAME; OVMF $OVMF_CODE"
status=0
if [ -n "$UNATTENDED" ]; then
  OT_PLATFORM_FD=$OT_PLATFORM_FD python3 "$HB_PY" unattended --out "$OUT/unattended" || status=1
else
  OT_PLATFORM_FD=$OT_PLATFORM_FD python3 "$HB_PY" check --out "$OUT" "${CHAINS[@]}" || status=1
fi
echo "[ontarget-https] $([ $status = 0 ] && echo PASSED || echo FAILED) in $(( $(date +%s) - start ))s"
exit $status
