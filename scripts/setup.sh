#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# Prepares a Debian 12 machine for building and testing TolmVexaPkg:
#   1. installs the Debian packages the build and the tests need;
#   2. fetches EDK II as Debian's edk2 source package (Debian's patches
#      applied) into .deps/ of this repository;
#   3. builds EDK II's BaseTools.
# Idempotent: a second run checks each stage and returns in seconds.
set -eo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DEPS="$ROOT/.deps"
EDK2_LINK="$DEPS/edk2"

PACKAGES=(
  build-essential g++ cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev
  nasm acpica-tools uuid-dev python3 python-is-python3 dpkg-dev
  qemu-system-x86 ovmf mtools dosfstools openssl
  clang libclang-rt-14-dev llvm
  openipmi libopenipmi-dev libssl-dev ipmitool
)

stage() { printf '[setup] %s\n' "$*"; }
fail()  { printf '[setup] FAILED: %s\n' "$*" >&2; exit 1; }

need_root() {
  if [ "$(id -u)" != 0 ]; then
    fail "run as root (or install these packages yourself: ${PACKAGES[*]})"
  fi
}

# --- 1. Debian packages --------------------------------------------------
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  need_root
  stage "installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null || fail "apt-get update failed: check the machine's apt sources and network"
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null \
    || fail "apt-get install failed for: ${missing[*]}"
else
  stage "Debian packages present"
fi

# --- 2. EDK II source package -------------------------------------------
# A deb-src twin of every 'deb' entry the machine already uses for Debian's
# own archive, so that 'apt-get source' finds the edk2 source package.
add_deb_src() {
  local out=/etc/apt/sources.list.d/tolmvexa-deb-src.sources
  [ -f "$out" ] && return 0
  local tmp; tmp=$(mktemp)
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    # Keep only stanzas that carry Debian's signing keyring (the Debian archive).
    awk 'BEGIN{RS="";ORS="\n\n"}
         /Types:[ \t]*deb([ \t\n]|$)/ && /debian-archive-keyring/ {
           sub(/Types:[ \t]*deb/, "Types: deb-src"); print }' "$f" >>"$tmp"
  done
  if [ -f /etc/apt/sources.list ]; then
    grep -E '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list \
      | grep -v -E 'deb-src' | sed -E 's/^[[:space:]]*deb[[:space:]]/deb-src /' >"$tmp.list" || true
    if [ -s "$tmp.list" ]; then
      cp "$tmp.list" /etc/apt/sources.list.d/tolmvexa-deb-src.list
    fi
    rm -f "$tmp.list"
  fi
  if [ -s "$tmp" ]; then
    cp "$tmp" "$out"
  elif [ ! -f /etc/apt/sources.list.d/tolmvexa-deb-src.list ]; then
    rm -f "$tmp"
    fail "no Debian 'deb' entry found in the apt sources to derive a deb-src entry from"
  fi
  rm -f "$tmp"
  apt-get update -qq >/dev/null || fail "apt-get update failed after adding the deb-src entry"
}

edk2_ready() { [ -f "$EDK2_LINK/edksetup.sh" ] && [ -d "$EDK2_LINK/MdePkg" ]; }

if edk2_ready; then
  stage "EDK II present: $(readlink -f "$EDK2_LINK")"
else
  need_root
  stage "fetching Debian's edk2 source package"
  mkdir -p "$DEPS/src"
  add_deb_src
  (cd "$DEPS/src" && apt-get source -qq --only-source edk2 >/dev/null 2>"$DEPS/src/apt-source.log") \
    || { cat "$DEPS/src/apt-source.log" >&2; fail "apt-get source edk2 failed (needs dpkg-dev and a deb-src entry)"; }
  dir=$(find "$DEPS/src" -maxdepth 1 -mindepth 1 -type d -name 'edk2-*' | sort | tail -n 1)
  [ -n "$dir" ] && [ -f "$dir/edksetup.sh" ] || fail "edk2 source package unpacked without edksetup.sh"
  ln -sfn "$dir" "$EDK2_LINK"
  stage "EDK II unpacked: $dir"
fi

# --- 3. BaseTools ---------------------------------------------------------
if [ -x "$EDK2_LINK/BaseTools/Source/C/bin/GenFw" ]; then
  stage "BaseTools built"
else
  stage "building BaseTools"
  make -s -C "$EDK2_LINK/BaseTools" -j"$(nproc)" >"$DEPS/basetools.log" 2>&1 \
    || { tail -n 30 "$DEPS/basetools.log" >&2; fail "BaseTools build failed (see .deps/basetools.log)"; }
fi
stage "ready"
