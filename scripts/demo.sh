#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# Demo: boots the driver in OVMF under QEMU with a simulated Vexa and reports
# what it did in the default scenario: the Vexa's pending requests and what
# became of each, the four certificate slots afterwards (subject and size,
# decoded with openssl), the sync message decoded record by record, and where
# the two serial logs (COM1, COM2) are.
#
#   scripts/demo.sh [--out DIR]        (default build/demo)
#
# Stands alone on a fresh clone: it runs the same idempotent set-up as the
# tests first (scripts/setup.sh: Debian packages, EDK II, BaseTools). When the
# platform build is there for the current sources (scripts/build.sh platform,
# which scripts/test.sh runs), the demo boots it, and the DXE dispatcher
# starts the driver and the stand-ins from the firmware volume as on a
# server; otherwise it boots Debian's OVMF and the test application loads
# them from its FAT volume.
#
# Exits non-zero when something went wrong.
set -eo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/ontarget-common.sh"

OUT="$OT_ROOT/build/demo"
[ "$1" != --out ] || OUT=$2
start=$(date +%s)
stage() { printf '[demo %2ds] %s\n' "$(( $(date +%s) - start ))" "$*"; }

stage "set-up (scripts/setup.sh)"
bash "$OT_ROOT/scripts/setup.sh" | sed 's/^/    /'
ot_need qemu-system-x86_64 openssl python3 timeout
stage "building the driver, the stand-ins and the test application (scripts/build.sh DEBUG)"
"$OT_ROOT/scripts/build.sh" DEBUG | sed 's/^/    /'
PLATFORM=0
if ot_use_platform 2>/dev/null; then
  PLATFORM=1
  stage "platform build present: $OVMF_CODE"
  echo "    the DXE dispatcher starts the driver, PlatformInfoSim, VariablePolicySim and VexaKivSim from the firmware volume"
else
  echo "    (no platform build for these sources: Debian's OVMF, the test application loads the driver;"
  echo "     scripts/build.sh platform builds OVMF with the driver in its DXE volume, 5 to 10 minutes)"
fi

mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
stage "making the scenario certificates with openssl"
ot_make_certs "$OUT/certs"
for n in 1 2 3; do
  printf '    cert%d.der  %5d bytes  %s\n' "$n" "$(stat -c %s "$OUT/certs/cert$n.der")" \
    "$(openssl x509 -inform DER -in "$OUT/certs/cert$n.der" -noout -subject | sed 's/^subject=//')"
done
echo "    the Vexa asks: import cert1.der into slot 1, delete slot 2 (holding cert2.der),"
echo "    one invalid record (import into slot 5), import cert3.der into slot 3; then a sync"

NODIAG=""
ot_driver_has_console || NODIAG="nodiag"
stage "laying the FAT folder ($OUT/fat)"
if [ "$PLATFORM" = 1 ]; then
  ot_lay_platform_fat "$OUT/fat" "$OUT/certs"
else
  ot_lay_fat "$OUT/fat" DEBUG "$OUT/certs" "TolmVexaOnTargetTest.efi main $NODIAG"
fi

stage "booting OVMF under QEMU (TCG, no network; about 10-15 s)"
rc=0
ot_boot "$OUT" || rc=$?
[ "$rc" = 0 ] || echo "    QEMU ended with status $rc$([ "$rc" = 124 ] && echo " (time limit)")" >&2

stage "decoding the serial logs"
status=0
python3 "$OT_PY" report --dir "$OUT" --certs "$OUT/certs" || status=1
[ "$rc" = 0 ] || status=1
stage "$([ $status = 0 ] && echo done || echo FAILED)"
exit $status
