#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# On-target HTTPS boot: the certificate provisioned at the Vexa is what the
# firmware's HTTPS boot trusts. Boots OVMF (Debian's, with HttpBootDxe and
# TlsDxe) twice side by side, each against its own pair of HTTPS servers on
# 127.0.0.1 (one with a certificate from the CA of the run, one from another
# CA), and checks both sides: the test application's verdicts, what
# HttpBootDxe and the boot image printed, the trust component's messages on
# COM1 and COM2, and the servers' TLS log.
#
#   scripts/ontarget-https.sh [--out DIR] [--no-build] [GROUP ...]
#
# GROUP: https-slot1 (CA queued for slot 1; another CA refused, the CA
# accepted; slot 1 deleted, next boot refused) and https-slot3 (CA in slot 3,
# corrupt slots 2 and 4, a stale trust replaced). Default: both.
# Output: DIR/<group>/{com1.log,com2.log,server.log,fat/}, default
# build/ontarget-https. Exit status 0 only when every check passed.
set -eo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/https-boot-common.sh"

OUT="$OT_ROOT/build/ontarget-https"
BUILD=1
GROUPS_TO_RUN=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out) OUT=$2; shift 2 ;;
    --no-build) BUILD=0; shift ;;
    https-slot1|https-slot3) GROUPS_TO_RUN+=("$1"); shift ;;
    *) echo "usage: $0 [--out DIR] [--no-build] [https-slot1|https-slot3 ...]" >&2; exit 2 ;;
  esac
done
[ ${#GROUPS_TO_RUN[@]} -gt 0 ] || GROUPS_TO_RUN=(https-slot1 https-slot3)

ot_need qemu-system-x86_64 openssl python3 timeout
[ "$BUILD" = 0 ] || "$OT_ROOT/scripts/build.sh" DEBUG

mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
trap hb_stop_servers EXIT
echo "[ontarget-https] certificates of this run (openssl) -> $OUT/certs"
python3 "$HB_PY" certs "$OUT/certs"

start=$(date +%s)
pids=()
for g in "${GROUPS_TO_RUN[@]}"; do
  mkdir -p "$OUT/$g"
  hb_start_server "$OUT/$g" "$OUT/certs"
  hb_lay_fat "$OUT/$g/fat" "$OUT/certs" "$g $HB_GOOD_URI $HB_OTHER_URI"
  echo "[ontarget-https] $g: booting OVMF against $HB_GOOD_URI and $HB_OTHER_URI (limit ${HB_BOOT_TIMEOUT}s)"
  hb_boot "$OUT/$g" &
  pids+=($!)
done

status=0
for i in "${!GROUPS_TO_RUN[@]}"; do
  g=${GROUPS_TO_RUN[$i]}
  rc=0
  wait "${pids[$i]}" || rc=$?
  if [ "$rc" = 124 ]; then
    echo "[ontarget-https] $g: QEMU hit the ${HB_BOOT_TIMEOUT}s limit" >&2
  elif [ "$rc" != 0 ]; then
    echo "[ontarget-https] $g: QEMU failed ($rc): $(head -c 400 "$OUT/$g/qemu.log")" >&2
  fi
done
hb_stop_servers

for g in "${GROUPS_TO_RUN[@]}"; do
  echo "[ontarget-https] $g: results ($OUT/$g/com1.log, $OUT/$g/server.log)"
  python3 "$HB_PY" check --group "$g" --dir "$OUT/$g" || status=1
done

echo "[ontarget-https] $([ $status = 0 ] && echo PASSED || echo FAILED) in $(( $(date +%s) - start ))s: ${GROUPS_TO_RUN[*]}"
exit $status
