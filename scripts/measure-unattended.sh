#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# Times of the unattended power-on of the platform build on this machine
# (QEMU, TCG), not a test: one machine powered on RUNS times (the CA queued at
# the BMC before the first, nothing before the others), each with no FAT drive
# and no shell, its HTTPS boot URI in QEMU's fw_cfg. Prints, per power-on, the
# seconds from QEMU's start to the boot order line, HandlePendingTasks, the
# trust line, the start of the HTTP boot and the boot image's marker (COM1
# polled every 20 ms), and the milliseconds the boot manager reports for the
# driver's two services and the trust derivation, with their share of the
# time to the marker.
#
#   scripts/measure-unattended.sh [--out DIR] [--no-build] [RUNS]
set -eo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/https-boot-common.sh"

OUT="$OT_ROOT/build/measure-unattended"
BUILD=1
RUNS=3
while [ $# -gt 0 ]; do
  case "$1" in
    --out) OUT=$2; shift 2 ;;
    --no-build) BUILD=0; shift ;;
    [0-9]*) RUNS=$1; shift ;;
    *) echo "usage: $0 [--out DIR] [--no-build] [RUNS]" >&2; exit 2 ;;
  esac
done
[ "$BUILD" = 0 ] || "$OT_ROOT/scripts/build.sh" DEBUG platform
ot_use_platform
ot_need qemu-system-x86_64 openssl python3 timeout ipmi_sim
OT_PLATFORM_FD=$OT_PLATFORM_FD python3 "$HB_PY" measure --out "$OUT" --runs "$RUNS"
