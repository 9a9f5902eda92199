#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# On-target tests: boots the driver in OVMF under QEMU with the stand-in
# platform drivers and a simulated Vexa, one boot per scenario group, and
# checks the results on both sides (the test application's verdicts, the
# sync messages decoded on the host, the driver's console on COM1 and COM2).
#
#   scripts/ontarget.sh [--out DIR] [--no-build] [--edk2 VERSION] [--tag TAG] [GROUP ...]
#
# GROUP: main (decline, publication, pending tasks, sync; the variable-policy
# stand-in in front of OVMF's variable service) and refusal (OVMF's own
# variable policy), both run with the images of the chosen EDK II build
# (default 2022.11 GCC5; 2025.02 with GCC or CLANGDWARF) in the OVMF of the
# same EDK II version, booted side by side (the default: both); bmc, the Vexa
# as a real BMC process reached over QEMU's KCS interface: a chain of boots
# against one ipmi_sim (TolmVexaPkg/Test/OnTarget/ontarget_bmc.py), with the
# same choice of build and OVMF.
# platform: the platform build (scripts/build.sh platform), where the DXE
# dispatcher starts the driver, the stand-ins, IpmiKcsDxe with KivIpmiBlobDxe and the trust driver
# from the firmware volume, with a BMC attached: one boot; the driver's gate
# line on both ports at dispatch, the protocol on its own handle, the
# debug-mask protocol on its image handle, then the administrator's default
# loop through the BMC against the dispatched driver (ontarget_bmc.py
# platform). Always EDK II 2022.11 GCC5, the build the platform is made of.
# Output: DIR/<group>/{com1.log,com2.log,fat/} (bmc: DIR/bmc/<boot>/;
# platform: DIR/platform/platform/), default build/ontarget.
# Exit status 0 only when every check of every group passed.
set -eo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/ontarget-common.sh"

OUT="$OT_ROOT/build/ontarget"
BUILD=1
BMC=0
PLATFORM=0
VERSION=$EDK2_DEFAULT_VERSION
TAG=""
GROUPS_TO_RUN=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out) OUT=$2; shift 2 ;;
    --no-build) BUILD=0; shift ;;
    --edk2) VERSION=$2; shift 2 ;;
    --tag) TAG=$2; shift 2 ;;
    main|refusal) GROUPS_TO_RUN+=("$1"); shift ;;
    bmc) BMC=1; shift ;;
    platform) PLATFORM=1; shift ;;
    *) echo "usage: $0 [--out DIR] [--no-build] [--edk2 VERSION] [--tag TAG] [main|refusal|platform|bmc ...]" >&2; exit 2 ;;
  esac
done
[ ${#GROUPS_TO_RUN[@]} -gt 0 ] || [ "$BMC" = 1 ] || [ "$PLATFORM" = 1 ] || GROUPS_TO_RUN=(main refusal)
ot_select "$VERSION" "$TAG"
# The BMC mode's boots source ontarget-common.sh afresh: they take the same
# build and OVMF from these.
export OT_EDK2_VERSION=$OT_EDK2 OT_EDK2_TAG=$OT_TAG
if [ "$PLATFORM" = 1 ]; then
  [ "${#GROUPS_TO_RUN[@]}" = 0 ] && [ "$BMC" = 0 ] || { echo "[ontarget] the platform group boots its own firmware: run it alone" >&2; exit 2; }
  [ "$BUILD" = 0 ] || "$OT_ROOT/scripts/build.sh" DEBUG platform
  ot_use_platform
elif [ "$BUILD" = 1 ]; then
  "$OT_ROOT/scripts/build.sh" --edk2 "$OT_EDK2" --tag "$OT_TAG" DEBUG
fi
ot_need qemu-system-x86_64 openssl python3 timeout

NODIAG=""
ot_driver_has_console || NODIAG="nodiag"

mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
echo "[ontarget] $OT_NAME; OVMF $OVMF_CODE"
if [ ${#GROUPS_TO_RUN[@]} -gt 0 ]; then
  echo "[ontarget] certificates (openssl) -> $OUT/certs"
  ot_make_certs "$OUT/certs"
fi

start=$(date +%s)
pids=()
for g in "${GROUPS_TO_RUN[@]}"; do
  mkdir -p "$OUT/$g"
  ot_lay_fat "$OUT/$g/fat" DEBUG "$OUT/certs" "TolmVexaOnTargetTest.efi $g $NODIAG"
  echo "[ontarget] $g: booting OVMF (limit ${OT_BOOT_TIMEOUT}s)"
  ot_boot "$OUT/$g" &
  pids+=($!)
done

status=0
for i in "${!GROUPS_TO_RUN[@]}"; do
  g=${GROUPS_TO_RUN[$i]}
  rc=0
  wait "${pids[$i]}" || rc=$?
  if [ "$rc" = 124 ]; then
    echo "[ontarget] $g: QEMU hit the ${OT_BOOT_TIMEOUT}s limit" >&2
  elif [ "$rc" != 0 ]; then
    echo "[ontarget] $g: QEMU failed ($rc): $(head -c 400 "$OUT/$g/qemu.log")" >&2
  fi
  echo "[ontarget] $g: results ($OUT/$g/com1.log)"
  python3 "$OT_PY" check --group "$g" --dir "$OUT/$g" --certs "$OUT/certs" ${NODIAG:+--nodiag} || status=1
done

if [ "$BMC" = 1 ]; then
  ot_need ipmi_sim
  GROUPS_TO_RUN+=(bmc)
  python3 "$OT_ROOT/TolmVexaPkg/Test/OnTarget/ontarget_bmc.py" check --out "$OUT/bmc" || status=1
fi
if [ "$PLATFORM" = 1 ]; then
  ot_need ipmi_sim
  GROUPS_TO_RUN+=(platform)
  OT_PLATFORM_FD=$OT_PLATFORM_FD python3 "$OT_ROOT/TolmVexaPkg/Test/OnTarget/ontarget_bmc.py" platform \
    --out "$OUT/platform" || status=1
fi

echo "[ontarget] $([ $status = 0 ] && echo PASSED || echo FAILED) in $(( $(date +%s) - start ))s: ${GROUPS_TO_RUN[*]} ($OT_NAME)"
exit $status
