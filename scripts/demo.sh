#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# The main job: the loop an administrator lives, with the Vexa as a real BMC
# (OpenIPMI's ipmi_sim with the VexaBmc module) and the driver in OVMF under
# QEMU, reaching the BMC over QEMU's KCS interface through IpmiKcsDxe with KivIpmiBlobDxe.
#
#   scripts/demo.sh [--out DIR]        (default build/demo)
#
# Chapters (each a function below, run in the order of CHAPTERS):
#   prepare     setup, firmware build, BMC module, certificates, the BMC
#               started; the firmware every chapter boots: the platform build
#               (scripts/build.sh platform: OVMF whose DXE dispatcher starts
#               the driver, the stand-ins, IpmiKcsDxe with KivIpmiBlobDxe and the trust driver, as
#               on a server) when it is built for the current sources, else
#               Debian's OVMF with those modules loaded from the FAT drive
#   loop        the server holds an older certificate in slot 2; the
#               administrator queues imports into slots 1 and 3, a delete of
#               slot 2 and one request the driver must refuse; the server boots;
#               both sides reported: what was asked, what the firmware did (its
#               serial console), what the BMC now holds and each request's fate
#   quiet       a second boot with nothing queued: a quiet boot, the BMC's view
#               unchanged
#   https       scripts/demo-https.sh on the same machine (the same BMC, the
#               same variable store, the same firmware): HTTPS boot trusting
#               the CA the administrator queued
# Exits non-zero when something went wrong; the BMC is stopped however the
# demo ends. Logs: DIR/<chapter>/com1.log (COM1; COM2 beside it).
set -eo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/ontarget-common.sh"
. "$OT_ROOT/scripts/ontarget-bmc.sh"

OUT="$OT_ROOT/build/demo"
[ "$1" != --out ] || OUT=$2
BMC_PY="$OT_ROOT/TolmVexaPkg/Test/OnTarget/ontarget_bmc.py"
CHAPTERS=(prepare loop quiet https)
start=$(date +%s)
status=0

stage()   { printf '\n[demo %2ds] %s\n' "$(( $(date +%s) - start ))" "$*"; }
say()     { printf '    %s\n' "$@"; }
problem() { printf '    PROBLEM: %s\n' "$*" >&2; status=1; }
# admin ARG...: one administrator command at the BMC, shown as typed.
admin() {
  printf '    $ vexa-admin %s\n' "$*"
  ot_bmc_admin "$BMC_RUN" "$@" 2>&1 | sed 's/^/      /' || problem "the BMC refused: vexa-admin $*"
}

# boot NAME [FILE...]: one boot of the server, FILEs put on its boot volume;
# its firmware side reported.
boot() {
  local dir="$OUT/$1" rc=0
  ot_lay_fat_bmc "$dir/fat"
  [ $# -lt 2 ] || cp "${@:2}" "$dir/fat/"
  stage "$1: the server boots (OVMF under QEMU, TCG; about 12 s)"
  ot_boot_bmc "$dir" "$OUT/vars.fd" "$BMC_RUN" || rc=$?
  [ "$rc" = 0 ] || problem "QEMU ended with status $rc$([ "$rc" = 124 ] && echo " (time limit)")"
  say "what the firmware did ($dir/com1.log):"
  python3 "$BMC_PY" firmware --dir "$dir" --certs "$OUT/certs" || status=1
}

bmc_view() {
  python3 "$BMC_PY" bmc --run "$BMC_RUN" --certs "$OUT/certs"
}

# choose_firmware: the platform build when it is there for these sources.
# It is not built here (several minutes; scripts/test.sh builds it).
choose_firmware() {
  if ot_platform_fd >/dev/null; then
    ot_use_platform
    PLATFORM=1
    say "firmware: the platform build, built for these sources ($OT_PLATFORM_FD):" \
        "OVMF whose DXE dispatcher starts the driver, the platform stand-ins, IpmiKcsDxe with KivIpmiBlobDxe and the trust" \
        "driver from its firmware volume, as a server's firmware does; only the test application is on the FAT drive"
  else
    unset OT_PLATFORM_FD
    ot_select "$EDK2_DEFAULT_VERSION"
    PLATFORM=0
    say "firmware: Debian's OVMF ($OVMF_CODE), the driver, the stand-ins and IpmiKcsDxe with KivIpmiBlobDxe loaded from the FAT drive" \
        "by the test application: the platform build is not built for these sources (scripts/build.sh platform," \
        "a few minutes once; scripts/test.sh builds it)"
  fi
}

chapter_prepare() {
  stage "prepare: setup, firmware build, the BMC module, certificates"
  bash "$OT_ROOT/scripts/setup.sh" | sed 's/^/    /'
  ot_need qemu-system-x86_64 openssl python3 timeout ipmi_sim
  "$OT_ROOT/scripts/build.sh" DEBUG | sed 's/^/    /'
  choose_firmware
  say "BMC module: $(ot_bmc_module)"
  mkdir -p "$OUT"
  OUT=$(cd "$OUT" && pwd)
  rm -rf "$OUT/bmc" "$OUT/certs" "$OUT/delivered" "$OUT/vars.fd" "${CHAPTERS[@]/#/$OUT/}"
  ot_make_certs "$OUT/certs"
  for n in 1 2 3; do
    openssl x509 -inform DER -in "$OUT/certs/cert$n.der" -out "$OUT/certs/cert$n.pem"
    say "$(printf 'cert%d.pem  %5d bytes DER  %s' "$n" "$(stat -c %s "$OUT/certs/cert$n.der")" \
      "$(openssl x509 -in "$OUT/certs/cert$n.pem" -noout -subject | sed 's/^subject=//')")"
  done
  BMC_RUN="$OUT/bmc"
  ot_bmc_start "$BMC_RUN" "$OUT/bmc/state"
  say "the Vexa runs: ipmi_sim (pid $(cat "$BMC_RUN/ipmi_sim.pid")), console on 127.0.0.1:$(ot_bmc_port "$BMC_RUN" CONSOLE)," \
      "system interface on 127.0.0.1:$(ot_bmc_port "$BMC_RUN" SERIAL), state in $OUT/bmc/state"
}

chapter_loop() {
  stage "loop: the server holds cert2 in slot 2 (written before the driver's services run, as delivered);"
  say "the administrator queues the scenario at the BMC"
  mkdir -p "$OUT/delivered" && cp "$OUT/certs/cert2.der" "$OUT/delivered/slot2.der"
  admin import 1 "$OUT/certs/cert1.pem"
  admin delete 2
  say "# a record the driver must refuse: an import into slot 5"
  admin inject 09 05 AA 10 00 00
  admin import 3 "$OUT/certs/cert3.pem"
  boot loop "$OUT/delivered/slot2.der"
  stage "loop: what the BMC now holds"
  bmc_view | tee "$OUT/loop/bmc-view.txt"
  python3 "$BMC_PY" verify-loop --dir "$OUT/loop" --run "$BMC_RUN" --certs "$OUT/certs" || status=1
}

chapter_quiet() {
  stage "quiet: nothing queued at the BMC"
  boot quiet
  stage "quiet: what the BMC now holds"
  bmc_view | tee "$OUT/quiet/bmc-view.txt"
  python3 "$BMC_PY" verify-quiet --dir "$OUT/quiet" --before "$OUT/loop/bmc-view.txt" \
    --after "$OUT/quiet/bmc-view.txt" || status=1
}

chapter_https() {
  stage "https: HTTPS boot trusting what was provisioned (scripts/demo-https.sh)"
  bash "$OT_ROOT/scripts/demo-https.sh" --out "$OUT/https" --no-build --bmc "$BMC_RUN" --vars "$OUT/vars.fd" \
    $([ "$PLATFORM" = 0 ] || echo --platform) | sed 's/^/    /' || status=1
}

for chapter in "${CHAPTERS[@]}"; do
  "chapter_$chapter"
done
ot_bmc_stop_all
stage "$([ $status = 0 ] && echo "done" || echo "FAILED") in $(( $(date +%s) - start )) s"
exit $status
