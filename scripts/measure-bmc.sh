#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# Measurements of the BMC transport (not a test): for each service of the
# default scenario (imports into slots 1 and 3, a delete of slot 2 holding a
# certificate, a record the driver refuses; then the sync), of the sync of
# all four slots full (a certificate above 4 KiB and three of about 1 KB), of
# a 28 KB import and of a 65,535-byte one (the largest message): the IPMI
# transactions, the bytes written and read on the KCS interface, the message
# bytes they carried, the payload per transaction against the interface's
# room, and the time of the service call on the target, with the part spent
# inside KIV_PROTOCOL. Five boots against one BMC (ipmi_sim with the VexaBmc
# module), the counters from IpmiKcsDxe's test-only interface and the test
# application's count of KIV messages.
#
#   scripts/measure-bmc.sh [--out DIR]     (default build/measure-bmc)
#
# TCG emulates the CPU and every KCS byte is an emulated port access, so the
# times are this emulator's on this machine (and move with the machine's
# load), good for comparing, not for predicting real hardware.
set -eo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/ontarget-common.sh"

OUT="$OT_ROOT/build/measure-bmc"
[ "$1" != --out ] || OUT=$2
ot_need qemu-system-x86_64 openssl python3 timeout ipmi_sim
"$OT_ROOT/scripts/build.sh" DEBUG >/dev/null
python3 "$OT_ROOT/TolmVexaPkg/Test/OnTarget/ontarget_bmc.py" measure --out "$OUT"
