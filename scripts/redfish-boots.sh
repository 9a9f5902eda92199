#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# Redfish tasks across real boots (Fleet/redfish_boots.py): one server, a BMC
# with its Redfish service powering a QEMU machine, the administrator's
# requests through Redfish, each boot started with ComputerSystem.Reset.
#
#   scripts/redfish-boots.sh [--out DIR] check      task states across three boots
#   scripts/redfish-boots.sh [--out DIR] measure    the issue's figures (a script, not a test)
#
# Sets itself up and builds what it needs first (scripts/setup.sh, the DEBUG
# images, the platform build the server powers on, the BMC module). Default
# output: build/redfish-boots.
set -eo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/https-boot-common.sh"

OUT="$OT_ROOT/build/redfish-boots"
ARGS=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out) OUT=$2; shift 2 ;;
    check|measure) ACTION=$1; shift ;;
    --fleet) ARGS+=("$1" "$2"); shift 2 ;;
    *) echo "usage: $0 [--out DIR] [--fleet N,N...] check|measure" >&2; exit 2 ;;
  esac
done
[ -n "$ACTION" ] || { echo "usage: $0 [--out DIR] check|measure" >&2; exit 2; }
bash "$OT_ROOT/scripts/setup.sh" | sed 's/^/    /'
ot_need qemu-system-x86_64 openssl python3 timeout ipmi_sim
"$OT_ROOT/scripts/build.sh" DEBUG platform | sed 's/^/    /'
VEXA_BMC_MODULE=$(ot_bmc_module) exec python3 "$OT_ROOT/Fleet/redfish_boots.py" "$ACTION" --out "$OUT" "${ARGS[@]}"
