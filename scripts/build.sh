#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# Builds TolmVexaPkg with EDK II's own build (X64).
#   scripts/build.sh [--edk2 2022.11|2025.02] [--tag TAG] [DEBUG|RELEASE ...]
#   scripts/build.sh [--edk2 ...] platform
#
# EDK II and tool chain (scripts/setup.sh fetches both EDK II trees):
#   --edk2 2022.11   .deps/edk2,          tag GCC5 (default)
#   --edk2 2025.02   .deps/edk2-2025.02,  tag GCC (default) or CLANGDWARF
#                    (Debian's clang 16 and lld)
# Output: <workspace>/Build/TolmVexaPkg/<TARGET>_<TAG>/X64/, the workspace
# being .deps/workspace for 2022.11 and .deps/workspace-2025.02 for 2025.02.
#
# "platform" builds OVMF from the EDK II tree with the driver, its libraries
# and the platform stand-ins in the DXE firmware volume (scripts/platform.py);
# the firmware image is cached in .deps/platform/ under a key of everything
# that goes into it, and the cached path is printed.
set -eo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/edk2-env.sh
. "$ROOT/scripts/edk2-env.sh"

version=$EDK2_DEFAULT_VERSION
tag=""
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --edk2) version=$2; shift 2 ;;
    --tag) tag=$2; shift 2 ;;
    DEBUG|RELEASE|platform) targets+=("$1"); shift ;;
    *) echo "usage: $0 [--edk2 2022.11|2025.02] [--tag GCC5|GCC|CLANGDWARF] [DEBUG|RELEASE|platform ...]" >&2; exit 2 ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(DEBUG RELEASE)
[ -n "$tag" ] || tag=$(edk2_default_tag "$version")
edk2_enter "$version" "$tag" || exit 1
name="EDK II $version $tag"

for t in "${targets[@]}"; do
  if [ "$t" = platform ]; then
    fd=$(python3 "$ROOT/scripts/platform.py" fd --edk2 "$EDK2_TREE" --tag "$tag")
    if [ -f "$fd/OVMF_CODE.fd" ]; then
      printf '[build] platform (%s): cached %s\n' "$name" "$fd"
      continue
    fi
    pws=$(dirname "$fd")/workspace-$version-$tag
    printf '[build] platform (%s): OVMF with the driver in its DXE volume (several minutes; log %s/build.log)\n' "$name" "$pws"
    python3 "$ROOT/scripts/platform.py" generate --edk2 "$EDK2_TREE" --tag "$tag" --out "$pws/TolmVexaPlatform" >/dev/null
    mkdir -p "$pws/Conf"
    if ! (export WORKSPACE="$pws" CONF_PATH="$pws/Conf" PACKAGES_PATH="$pws:$EDK2_TREE:$ROOT"
          set --; . "$EDK2_TREE/edksetup.sh" >/dev/null
          build -p TolmVexaPlatform/TolmVexaOvmfX64.dsc -a X64 -t "$tag" -b DEBUG -n "$(nproc)" \
            $(python3 "$ROOT/scripts/platform.py" flags)) >"$pws/build.log" 2>&1; then
      grep -E ': error|error:|Error [0-9]|ERROR -' "$pws/build.log" | head -n 40 >&2
      echo "[build] FAILED (platform): see $pws/build.log" >&2
      exit 1
    fi
    mkdir -p "$fd.tmp"
    cp "$pws/Build/TolmVexaOvmfX64/DEBUG_$tag/FV/OVMF_CODE.fd" "$pws/Build/TolmVexaOvmfX64/DEBUG_$tag/FV/OVMF_VARS.fd" "$fd.tmp/"
    rm -rf "$fd" && mv "$fd.tmp" "$fd"
    # Images of earlier sources are of no further use.
    for old in "${fd%-*}"-*; do
      [ "$old" = "$fd" ] || rm -rf "$old"
    done
    printf '[build] platform (%s): %s (OVMF_CODE.fd %s bytes)\n' "$name" "$fd" "$(stat -c %s "$fd/OVMF_CODE.fd")"
    continue
  fi
  log="$EDK2_WS/build-${t}_$tag.log"
  printf '[build] %s %s: build -p TolmVexaPkg/TolmVexaPkg.dsc -a X64 -t %s -b %s\n' "$name" "$t" "$tag" "$t"
  if ! build -p TolmVexaPkg/TolmVexaPkg.dsc -a X64 -t "$tag" -b "$t" -n "$(nproc)" >"$log" 2>&1; then
    grep -E ': error|error:|Error [0-9]|ERROR -' "$log" | head -n 40 >&2
    echo "[build] FAILED ($name $t): see $log" >&2
    exit 1
  fi
  efi="$EDK2_WS/Build/TolmVexaPkg/${t}_$tag/X64/TolmVexaHttpsBootCertMgmt.efi"
  [ -f "$efi" ] || { echo "[build] $name $t: no image produced at $efi" >&2; exit 1; }
  printf '[build] %s %s: %s (%s bytes)\n' "$name" "$t" "$efi" "$(stat -c %s "$efi")"
  # The library set-up order comes from EDK II's library graph: check it.
  python3 "$ROOT/scripts/check-constructor-order.py" --build-dir "$EDK2_WS/Build/TolmVexaPkg" --tag "$tag" "$t"
done
