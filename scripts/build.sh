#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# Builds TolmVexaPkg with EDK II's own build (X64, GCC5).
#   scripts/build.sh [DEBUG|RELEASE ...]     (default: DEBUG RELEASE)
# Output: .deps/workspace/Build/TolmVexaPkg/<TARGET>_GCC5/X64/
set -eo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
EDK2="$ROOT/.deps/edk2"
WS="$ROOT/.deps/workspace"
[ -f "$EDK2/edksetup.sh" ] || { echo "[build] EDK II missing: run scripts/setup.sh first" >&2; exit 1; }

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(DEBUG RELEASE)

mkdir -p "$WS/Conf"
export WORKSPACE="$WS"
export PACKAGES_PATH="$EDK2:$ROOT"
export EDK_TOOLS_PATH="$EDK2/BaseTools"
export CONF_PATH="$WS/Conf"
# edksetup.sh reads the caller's positional parameters.
set --
# shellcheck disable=SC1091
. "$EDK2/edksetup.sh" >/dev/null

for t in "${targets[@]}"; do
  log="$WS/build-$t.log"
  printf '[build] %s: build -p TolmVexaPkg/TolmVexaPkg.dsc -a X64 -t GCC5 -b %s\n' "$t" "$t"
  if ! build -p TolmVexaPkg/TolmVexaPkg.dsc -a X64 -t GCC5 -b "$t" -n "$(nproc)" >"$log" 2>&1; then
    grep -E ': error|error:|Error [0-9]|ERROR -' "$log" | head -n 40 >&2
    echo "[build] FAILED ($t): see $log" >&2
    exit 1
  fi
  efi="$WS/Build/TolmVexaPkg/${t}_GCC5/X64/TolmVexaHttpsBootCertMgmt.efi"
  [ -f "$efi" ] || { echo "[build] $t: no image produced at $efi" >&2; exit 1; }
  printf '[build] %s: %s (%s bytes)\n' "$t" "$efi" "$(stat -c %s "$efi")"
  # The library set-up order comes from EDK II's library graph: check it.
  python3 "$ROOT/scripts/check-constructor-order.py" --build-dir "$WS/Build/TolmVexaPkg" "$t"
done
