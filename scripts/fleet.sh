#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# A fleet provisioned by Ansible through Redfish (Fleet/fleet.py): N servers,
# each a BMC with its Redfish service and a QEMU machine it powers, one CA
# queued to all by Fleet/provision-ca.yml, each server HTTPS-booting from the
# server that CA signed; the playbook's second run changes nothing.
#
#   scripts/fleet.sh [--out DIR] [--servers N]
#
# Sets itself up and builds what it needs first (scripts/setup.sh, the DEBUG
# images, the platform build the servers power on, the BMC module). Default
# output: build/fleet.
set -eo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/https-boot-common.sh"

ARGS=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out|--servers) ARGS+=("$1" "$2"); shift 2 ;;
    *) echo "usage: $0 [--out DIR] [--servers N]" >&2; exit 2 ;;
  esac
done
bash "$OT_ROOT/scripts/setup.sh" | sed 's/^/    /'
ot_need qemu-system-x86_64 openssl python3 timeout ipmi_sim ansible-playbook
"$OT_ROOT/scripts/build.sh" DEBUG platform | sed 's/^/    /'
VEXA_BMC_MODULE=$(ot_bmc_module) exec python3 "$OT_ROOT/Fleet/fleet.py" "${ARGS[@]}"
