#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# The main job's HTTPS boot chapter: the administrator queues a CA
# certificate into slot 1 at the Vexa; the server boots; the certificate
# driver imports it; the trust driver makes it the trust anchor of the
# firmware's HTTPS boot; HTTPS boot downloads the boot image from a server
# whose certificate that CA signed and starts it. The report shows each step
# and the TLS verdict, from the firmware's console and the server's log.
#
#   scripts/demo-https.sh [--out DIR] [--no-build]     (default build/demo/https)
#
# scripts/demo.sh runs it as its last chapter. Exits non-zero unless the boot
# image ran from the provisioned server, trusting exactly the queued CA.
set -eo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/https-boot-common.sh"

OUT="$OT_ROOT/build/demo/https"
BUILD=1
while [ $# -gt 0 ]; do
  case "$1" in
    --out) OUT=$2; shift 2 ;;
    --no-build) BUILD=0; shift ;;
    *) echo "usage: $0 [--out DIR] [--no-build]" >&2; exit 2 ;;
  esac
done
start=$(date +%s)
stage() { printf '[demo https %2ds] %s\n' "$(( $(date +%s) - start ))" "$*"; }

# admin_queue_ca_into_slot SLOT DER: the administrator queues an import of
# the certificate DER into SLOT at the Vexa. The stand-in Vexa inside the
# firmware takes its queue from the volume the server boots from ($FAT);
# with the BMC this is the BMC's administrator command, and nothing else in
# this chapter changes but the transport the boot brings up.
admin_queue_ca_into_slot() {
  python3 "$HB_PY" queue --fat "$FAT" --slot "$1" --der "$2"
}

ot_need qemu-system-x86_64 openssl python3 timeout
[ "$BUILD" = 0 ] || "$OT_ROOT/scripts/build.sh" DEBUG | sed 's/^/    /'
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
FAT="$OUT/fat"

stage "making this run's CA and a boot server certificate it signs (openssl, subjectAltName IP:10.0.2.2)"
python3 "$HB_PY" certs "$OUT/certs"
printf '    CA:     %s\n' "$(openssl x509 -in "$OUT/certs/ca.pem" -noout -subject | sed 's/^subject=//')"
printf '    server: %s, issued by the CA\n' "$(openssl x509 -in "$OUT/certs/server.pem" -noout -ext subjectAltName | tail -n 1 | sed 's/^ *//')"

stage "starting the boot server on 127.0.0.1 (Python ssl; the guest reaches it as 10.0.2.2)"
trap hb_stop_servers EXIT
hb_start_server "$OUT" "$OUT/certs"
echo "    $HB_GOOD_URI serves the boot image ($(stat -c %s "$OUT/www/boot.efi") bytes)"

hb_lay_fat "$FAT" "$OUT/certs" "https-demo $HB_GOOD_URI"
stage "the administrator queues the CA certificate into slot 1 at the Vexa"
admin_queue_ca_into_slot 1 "$OUT/certs/ca.der"

stage "booting the server (OVMF under QEMU, TCG, network; about 15 s)"
rc=0
hb_boot "$OUT" || rc=$?
[ "$rc" = 0 ] || echo "    QEMU ended with status $rc$([ "$rc" = 124 ] && echo " (time limit)")" >&2
hb_stop_servers

stage "reading the firmware's console and the server's log"
status=0
python3 "$HB_PY" report --dir "$OUT" --certs "$OUT/certs" --queue "$FAT" || status=1
[ "$rc" = 0 ] || status=1
echo "    serial logs: $OUT/com1.log, $OUT/com2.log; server log: $OUT/server.log"
stage "$([ $status = 0 ] && echo done || echo FAILED)"
exit $status
