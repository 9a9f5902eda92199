#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# Measurements (not a test): the sizes of the DEBUG and RELEASE driver images,
# and the time each service takes on the target (OVMF under QEMU/TCG), read
# from the time-stamp counter around each call by the on-target test
# application. Three boots of the main scenario group:
#   DEBUG, console on   the driver's debug level 0x80000042 (every message
#                       written to both UARTs)
#   DEBUG, quiet        debug level 0 in CMOS: the same image, console silent
#   RELEASE             the RELEASE image, debug level 0 in CMOS
# "transport" is the time spent inside the simulated Vexa (its console dump of
# the sync message included); "driver" is the rest.
#
#   scripts/measure.sh [--out DIR]     (default build/measure)
#
# The sizes are of every EDK II build that is there (scripts/test.sh builds
# them all); the times are of the EDK II 2022.11 GCC5 images.
#
# TCG emulates the CPU, so the times are those of this emulator on this
# machine, good for comparing builds, not for predicting real hardware; each
# number is one call, and a first call also pays for TCG translating the code.
set -eo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/ontarget-common.sh"

OUT="$OT_ROOT/build/measure"
[ "$1" != --out ] || OUT=$2
ot_need qemu-system-x86_64 openssl python3 timeout
"$OT_ROOT/scripts/build.sh" DEBUG RELEASE >/dev/null

mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
ot_make_certs "$OUT/certs"

echo "== Driver image sizes (TolmVexaHttpsBootCertMgmt.efi, bytes)"
printf '  %-26s %8s %8s\n' "EDK II, tool chain" DEBUG RELEASE
for config in 2022.11/GCC5 2025.02/GCC 2025.02/CLANGDWARF; do
  size() {
    local efi
    efi="$(edk2_build_dir "${config%/*}" "${config#*/}" "$1")/TolmVexaHttpsBootCertMgmt.efi"
    [ -f "$efi" ] && stat -c %s "$efi" || echo "-"
  }
  printf '  %-26s %8s %8s\n' "${config%/*} ${config#*/}" "$(size DEBUG)" "$(size RELEASE)"
done
if fd=$(ot_platform_fd); then
  printf '  platform OVMF_CODE.fd (2022.11 GCC5 DEBUG, with the driver): %d bytes\n' "$(stat -c %s "$fd/OVMF_CODE.fd")"
fi

NODIAG=""
ot_driver_has_console || NODIAG="nodiag"
runs=("debug-console DEBUG main $NODIAG" "debug-quiet DEBUG main quiet $NODIAG" "release RELEASE main quiet $NODIAG")
# One boot at a time: TCG boots side by side compete for the CPU and
# distort each other's times.
status=0
for r in "${runs[@]}"; do
  set -- $r
  name=$1 target=$2; shift 2
  mkdir -p "$OUT/$name"
  ot_lay_fat "$OUT/$name/fat" "$target" "$OUT/certs" "TolmVexaOnTargetTest.efi $*"
  ot_boot "$OUT/$name" || status=1
  set -- $r
  echo
  echo "== $1 ($2 image; $(grep -aEo '[0-9]+ passed, [0-9]+ failed' "$OUT/$1/com1.log" || echo 'no closing line'))"
  python3 "$OT_PY" perf --dir "$OUT/$1" | sed 's/^/  /' || status=1
done
echo
echo "Logs: $OUT/<run>/com1.log"
exit $status
