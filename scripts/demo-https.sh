#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# The main job's HTTPS boot chapter: the administrator puts a CA
# certificate into slot 1 through the BMC's Redfish service (ReplaceCertificate
# of member 1 when the firmware reported one, else a POST to the empty
# collection, which lands in slot 1); the server is powered on with its
# network and QEMU's KCS interface; the certificate driver imports the CA over
# IPMI and reports the slots back; the slots become the trust anchors of the
# firmware's HTTPS boot; HTTPS boot downloads the boot image from a server
# whose certificate that CA signed and starts it. The report shows each step,
# the TLS verdict from the firmware's console and what the BMC now holds
# (the import's fate, learnt from the sync).
#
# On the platform build (--platform) that is a power-on and nothing else: no
# FAT drive, no shell; the platform's boot manager (PlatformBootManagerLib.patch
# with TolmVexaBootPolicyLib) calls HandlePendingTasks, SyncHttpsCertToVEXA and
# TolmUpdateHttpsBootTrust, and Boot Device Selection boots the HTTPS boot
# option it made from the URI QEMU hands it (fw_cfg). On Debian's OVMF, whose
# boot manager knows nothing of the driver, the test application plays the
# boot policy and starts the HTTPS boot itself.
#
#   scripts/demo-https.sh [--out DIR] [--no-build] [--bmc RUN --vars FILE] [--platform]
#
# --bmc RUN --vars FILE: continue a machine: the running BMC of RUN (the run
# folder of ot_bmc_start, scripts/ontarget-bmc.sh) and the variable store FILE
# (scripts/demo.sh runs this chapter so). Alone, the chapter starts its own
# BMC and a fresh variable store, and stops the BMC at the end. --platform:
# the platform build, where the stand-ins, IpmiKcsDxe with KivIpmiBlobDxe, the driver and the
# trust driver come from its DXE volume (default: Debian's OVMF, the images
# loaded from the boot volume). Output in DIR (default build/demo/https).
# Exits non-zero unless the boot image ran from the provisioned server,
# trusting exactly the slots the BMC knows of, and the BMC confirmed the import.
set -eo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/https-boot-common.sh"

OUT="$OT_ROOT/build/demo/https"
BUILD=1
PLATFORM=0
BMC_RUN=""
VARS=""
while [ $# -gt 0 ]; do
  case "$1" in
    --out) OUT=$2; shift 2 ;;
    --no-build) BUILD=0; shift ;;
    --bmc) BMC_RUN=$2; shift 2 ;;
    --vars) VARS=$2; shift 2 ;;
    --platform) PLATFORM=1; shift ;;
    *) echo "usage: $0 [--out DIR] [--no-build] [--bmc RUN --vars FILE] [--platform]" >&2; exit 2 ;;
  esac
done
if { [ -n "$BMC_RUN" ] && [ -z "$VARS" ]; } || { [ -z "$BMC_RUN" ] && [ -n "$VARS" ]; }; then
  echo "$0: --bmc and --vars go together (a machine: its BMC and its variable store)" >&2
  exit 2
fi
start=$(date +%s)
stage() { printf '[demo https %2ds] %s\n' "$(( $(date +%s) - start ))" "$*"; }

# admin_queue_ca_into_slot1 FILE: the administrator asks for the CA
# certificate FILE in slot 1 through Redfish, shown as typed: a replace of
# member 1 when the firmware reported it, else a POST to the collection
# (with no slot reported full or pending, slot 1 is the lowest free one).
admin_queue_ca_into_slot1() {
  local certs=/redfish/v1/Systems/1/Boot/Certificates c='curl -s --cacert $CA -u admin:$PW'
  local body="\"\$(jq -n --rawfile pem $1 '{CertificateString: \$pem, CertificateType: \"PEM\"}')\""
  ot_bmc_redfish "$BMC_RUN"
  if curl -s --cacert "$CA" -u "admin:$PW" "$RF$certs" | jq -e '.Members | any(."@odata.id" | endswith("/1"))' >/dev/null; then
    body="\"\$(jq -n --rawfile pem $1 '{CertificateString: \$pem, CertificateType: \"PEM\", CertificateUri: {\"@odata.id\": \"$certs/1\"}}')\""
    ot_typed "$c -H 'Content-Type: application/json' -d $body \$RF/redfish/v1/CertificateService/Actions/CertificateService.ReplaceCertificate | jq -c '{Id, Name, TaskState}'"
  else
    ot_typed "$c -H 'Content-Type: application/json' -d $body \$RF$certs | jq -c '{Id, Name, TaskState}'"
  fi
}

[ "$BUILD" = 0 ] || "$OT_ROOT/scripts/build.sh" DEBUG $([ "$PLATFORM" = 0 ] || echo platform) | sed 's/^/    /'
[ "$PLATFORM" = 0 ] || ot_use_platform
ot_need qemu-system-x86_64 openssl python3 timeout ipmi_sim
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
trap hb_stop_servers EXIT
if [ -z "$BMC_RUN" ]; then
  stage "starting the BMC (ipmi_sim with the VexaBmc module) and a server with an empty variable store"
  BMC_RUN="$OUT/bmc"
  VARS="$OUT/vars.fd"
  rm -rf "$BMC_RUN" "$VARS"
  ot_bmc_start "$BMC_RUN" "$BMC_RUN/state" --redfish
  trap 'hb_stop_servers; ot_bmc_stop_all' EXIT
  echo "    console on 127.0.0.1:$(ot_bmc_port "$BMC_RUN" CONSOLE), system interface on 127.0.0.1:$(ot_bmc_port "$BMC_RUN" SERIAL)"
fi

stage "making this run's CA and a boot server certificate it signs (openssl, subjectAltName IP:10.0.2.2)"
python3 "$HB_PY" certs "$OUT/certs"
printf '    CA:     %s\n' "$(openssl x509 -in "$OUT/certs/ca.pem" -noout -subject | sed 's/^subject=//')"
printf '    server: %s, issued by the CA\n' "$(openssl x509 -in "$OUT/certs/server.pem" -noout -ext subjectAltName | tail -n 1 | sed 's/^ *//')"

stage "starting the boot server on 127.0.0.1 (Python ssl; the guest reaches it as 10.0.2.2)"
hb_start_server "$OUT" "$OUT/certs"
echo "    $HB_GOOD_URI serves the boot image ($(stat -c %s "$OUT/www/boot.efi") bytes)"

stage "the administrator puts the CA certificate into slot 1 through the BMC's Redfish service"
admin_queue_ca_into_slot1 "$OUT/certs/ca.pem"

rc=0
if [ "$PLATFORM" = 1 ]; then
  stage "powering the server on ($OT_NAME under QEMU, TCG; network and KCS; no FAT drive, no shell; its HTTPS boot URI $HB_GOOD_URI from fw_cfg; 15 to 30 s)"
  hb_power_on "$OUT" "$VARS" "$BMC_RUN" "$HB_GOOD_URI" || rc=$?
else
  stage "booting the server ($OT_NAME under QEMU, TCG; network and KCS; the test application as boot policy; 10 to 15 s)"
  hb_lay_fat "$OUT/fat" "try=demo,final,$HB_GOOD_URI"
  hb_boot "$OUT" "$VARS" "$BMC_RUN" || rc=$?
fi
[ "$rc" = 0 ] || echo "    QEMU ended with status $rc$([ "$rc" = 124 ] && echo " (time limit)")" >&2
hb_stop_servers

stage "reading the firmware's console, the server's log and the BMC"
status=0
python3 "$HB_PY" report --dir "$OUT" --certs "$OUT/certs" --run "$BMC_RUN" $([ "$PLATFORM" = 0 ] || echo --power-on) \
  || status=1
[ "$rc" = 0 ] || status=1
echo "    serial logs: $OUT/com1.log, $OUT/com2.log; server log: $OUT/server.log"
stage "$([ $status = 0 ] && echo done || echo FAILED)"
exit $status
