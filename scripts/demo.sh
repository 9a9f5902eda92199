#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# The main job: the loop an administrator lives, with the Vexa as a real BMC
# (OpenIPMI's ipmi_sim with the VexaBmc module and its Redfish service) and
# the driver in OVMF under QEMU, reaching the BMC over QEMU's KCS interface
# through IpmiKcsDxe with KivIpmiBlobDxe. The administrator speaks Redfish
# (curl and jq, shown as typed); vexa-admin, the simulator console's test aid,
# only queues the one record the driver must refuse, which Redfish cannot
# express.
#
#   scripts/demo.sh [--out DIR]        (default build/demo)
#
# Chapters (each a function below, run in the order of CHAPTERS):
#   prepare     setup, firmware build, BMC module, certificates, the BMC
#               started; the firmware every chapter boots: the platform build
#               (scripts/build.sh platform, cached: OVMF whose DXE dispatcher
#               starts the driver, the stand-ins, IpmiKcsDxe with
#               KivIpmiBlobDxe and the trust driver, as on a server); the BMC
#               with its Redfish service (HTTPS on 127.0.0.1)
#   delivered   the server arrives holding an older certificate in slot 2 and
#               boots once: its firmware reports the slots, the collection
#               Systems/1/Boot/Certificates shows member 2
#   loop        the administrator imports cert1 and cert3 (POST: slots 1 and
#               3), deletes member 2, and the test aid queues one record the
#               driver must refuse; the tasks before the boot; the server
#               boots; both sides reported: what the firmware did (its serial
#               console), the tasks after the boot, the collection as the
#               firmware reported it and each request's fate at the BMC
#   quiet       a second boot with nothing queued: a quiet boot, the BMC's view
#               unchanged
#   https       scripts/demo-https.sh on the same machine (the same BMC, the
#               same variable store, the same firmware): HTTPS boot trusting
#               the CA the administrator queued; the server is powered on
#               and nothing else (no FAT drive, no shell:
#               its boot manager applies, syncs, derives the trust and boots
#               the HTTPS boot option), the console showing each step in order
# Exits non-zero when something went wrong; the BMC is stopped however the
# demo ends. Logs: DIR/<chapter>/com1.log (COM1; COM2 beside it).
set -eo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/ontarget-common.sh"
. "$OT_ROOT/scripts/ontarget-bmc.sh"

OUT="$OT_ROOT/build/demo"
[ "$1" != --out ] || OUT=$2
BMC_PY="$OT_ROOT/TolmVexaPkg/Test/OnTarget/ontarget_bmc.py"
CHAPTERS=(prepare delivered loop quiet https)
CERTS=/redfish/v1/Systems/1/Boot/Certificates
# The administrator's curl: the service's certificate, the account's password.
C='curl -s --cacert $CA -u admin:$PW'
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

# choose_firmware: the platform build, as a server's firmware: its DXE
# dispatcher starts the driver, the platform stand-ins, the IPMI stack and the
# trust driver; its boot manager makes the HTTPS chapter a power-on.
choose_firmware() {
  ot_platform_fd >/dev/null || { echo "[demo] the platform build is missing after scripts/build.sh platform" >&2; return 1; }
  ot_use_platform
  PLATFORM=1
  say "firmware: the platform build, built for these sources ($OT_PLATFORM_FD):" \
      "OVMF whose DXE dispatcher starts the driver, the platform stand-ins, IpmiKcsDxe with KivIpmiBlobDxe and the trust" \
      "driver from its firmware volume, as a server's firmware does; the loop's boots carry the test application on a FAT" \
      "drive, the HTTPS chapter is a power-on with nothing but the machine's flash"
}

chapter_prepare() {
  stage "prepare: setup, firmware build, the BMC module, certificates"
  bash "$OT_ROOT/scripts/setup.sh" | sed 's/^/    /'
  ot_need qemu-system-x86_64 openssl python3 timeout ipmi_sim
  "$OT_ROOT/scripts/build.sh" DEBUG platform | sed 's/^/    /'
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
  ot_bmc_start "$BMC_RUN" "$OUT/bmc/state" --redfish
  ot_bmc_redfish "$BMC_RUN"
  cd "$OUT"
  say "the Vexa runs: ipmi_sim (pid $(cat "$BMC_RUN/ipmi_sim.pid")), system interface on 127.0.0.1:$(ot_bmc_port "$BMC_RUN" SERIAL)," \
      "state in $OUT/bmc/state; its Redfish service (pid $(cat "$BMC_RUN/redfish.pid")) at $RF, HTTPS with this run's" \
      "certificate (CA=$CA), account admin, this run's password in PW=\$(cat $BMC_RUN/redfish-password)" \
      "(ipmi_sim's console, 127.0.0.1:$(ot_bmc_port "$BMC_RUN" CONSOLE), has no authentication: a test aid, not the administrator's door)"
}

# tasks: every task at the BMC with its state and what the firmware's report showed.
tasks() {
  ot_typed "for t in \$($C \$RF/redfish/v1/TaskService/Tasks | jq -r '.Members[].\"@odata.id\"'); do $C \$RF\$t | jq -r '\"task \\(.Id), \\(.Name): \\(.TaskState) (\\(.TaskStatus)): \\(.Messages[0].Message)\"'; done"
}

# members: the collection as the firmware last reported it, one line a member.
members() {
  ot_typed "for m in \$($C \$RF$CERTS | jq -r '.Members[].\"@odata.id\"'); do $C \$RF\$m | jq -r '\"slot \\(.Id): CN=\\(.Subject.CommonName), issuer CN=\\(.Issuer.CommonName), SHA-256 \\(.Fingerprint[:16])..., valid until \\(.ValidNotAfter)\"'; done"
}

# post N: the administrator imports certs/certN.pem (POST to the collection).
post() {
  ot_typed "$C -H 'Content-Type: application/json' -d \"\$(jq -n --rawfile pem certs/cert$1.pem '{CertificateString: \$pem, CertificateType: \"PEM\"}')\" \$RF$CERTS | jq -c '{Id, Name, TaskState}'" \
    || problem "the import of cert$1 was refused"
}

chapter_delivered() {
  stage "delivered: the server holds cert2 in slot 2 (written before the driver's services run, as delivered)"
  mkdir -p "$OUT/delivered" && cp "$OUT/certs/cert2.der" "$OUT/delivered/slot2.der"
  boot delivered "$OUT/delivered/slot2.der"
  stage "delivered: the administrator lists the server's HTTPS boot certificates (Redfish)"
  members
}

chapter_loop() {
  stage "loop: the administrator asks through Redfish"
  say "# import cert1: it goes into the lowest slot reported empty with nothing pending (1)"
  post 1
  say "# delete the old certificate, member 2"
  ot_typed "$C -X DELETE \$RF$CERTS/2 | jq -c '{Id, Name, TaskState}'" || problem "the delete was refused"
  say "# a record the driver must refuse (an import into slot 5): Redfish cannot say it; the simulator's test aid can"
  admin inject 09 05 AA 10 00 00
  say "# import cert3: slot 1 has an import pending, slot 2 is reported full, so slot 3"
  post 3
  stage "loop: the tasks before the boot"
  tasks
  # The preset is written again: the slot holds cert2 as delivered.
  boot loop "$OUT/delivered/slot2.der"
  stage "loop: the tasks after the boot, and the collection as the firmware reported it"
  tasks | tee "$OUT/loop/tasks.txt"
  members
  stage "loop: what the BMC now holds (the simulator's console)"
  bmc_view | tee "$OUT/loop/bmc-view.txt"
  python3 "$BMC_PY" verify-loop --dir "$OUT/loop" --run "$BMC_RUN" --certs "$OUT/certs" || status=1
  local want="Completed (OK) Completed (OK) Exception (Critical) Completed (OK)" got
  got=$(tail -n 4 "$OUT/loop/tasks.txt" | sed -n 's/^ *task [0-9]*, [^:]*: \([A-Za-z]* ([A-Za-z]*)\).*/\1/p' | tr '\n' ' ')
  if [ "${got% }" = "$want" ]; then
    say "ok      the four tasks of the loop: $want"
  else
    say "WRONG   the four tasks of the loop: ${got% } (want $want)"
    status=1
  fi
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
