#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# The fault campaign (FaultCampaign/campaign.py): one server powered on again
# and again with nothing but its flash, its Vexa a real BMC, the
# administrator's requests queued between boots, and power cuts, QEMU kills,
# BMC crashes, kills and restarts and LAN traffic drawn from a seed; after
# every clean boot the slots in the flash, the Vexa's report, every request's
# fate, the trust and the Vexa's state file are checked against a model.
#
#   scripts/fault-campaign.sh [--out DIR] [--seed S] [--steps N] [--kinds K,...] [--self-test]
#
# Default: seed 22, 250 steps (50 of each kind; about an hour on 2 cores),
# output build/campaign. CTest runs a short one (ontarget.campaign). Sets
# itself up and builds what it needs first (scripts/setup.sh, the DEBUG
# images, the platform build, the BMC module).
set -eo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/https-boot-common.sh"

ARGS=(--seed 22 --steps 250)
while [ $# -gt 0 ]; do
  case "$1" in
    --out|--seed|--steps|--kinds) ARGS+=("$1" "$2"); shift 2 ;;
    --self-test) ARGS+=("$1"); shift ;;
    *) echo "usage: $0 [--out DIR] [--seed S] [--steps N] [--kinds K,...] [--self-test]" >&2; exit 2 ;;
  esac
done
bash "$OT_ROOT/scripts/setup.sh" | sed 's/^/    /'
ot_need qemu-system-x86_64 openssl python3 timeout ipmi_sim ipmitool
"$OT_ROOT/scripts/build.sh" DEBUG platform | sed 's/^/    /'
VEXA_BMC_MODULE=$(ot_bmc_module) exec python3 "$OT_ROOT/FaultCampaign/campaign.py" "${ARGS[@]}"
