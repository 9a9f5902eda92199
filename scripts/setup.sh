#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# Prepares a Debian 12 machine for building and testing TolmVexaPkg:
#   1. installs the Debian packages the build and the tests need;
#   2. fetches EDK II as Debian's edk2 source package (Debian's patches
#      applied) into .deps/ of this repository;
#   3. builds EDK II's BaseTools;
#   4. fetches Debian 13's edk2 source package (EDK II 2025.02, Debian's
#      patches applied) into .deps/edk2-2025.02 and builds its BaseTools;
#   5. fetches Debian 13's ovmf binary package and unpacks it (not
#      installed) into .deps/ovmf-2025.02;
#   6. fetches Debian 13's python3-virt-firmware (virt-fw-vars: reads and
#      writes a machine's variable store offline) and unpacks it into
#      .deps/virt-firmware; scripts/virt-fw-vars runs it.
# Stages 4 to 6 read Debian 13's package lists through a private apt
# configuration under .deps/apt-trixie/: the machine's own sources, lists and
# pins stay as they are.
# Idempotent: a second run checks each stage and returns in seconds.
set -eo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DEPS="$ROOT/.deps"
EDK2_LINK="$DEPS/edk2"
EDK2_NEW="$DEPS/edk2-2025.02"
OVMF_NEW="$DEPS/ovmf-2025.02"
EDK2_NEW_VERSION=2025.02

PACKAGES=(
  build-essential g++ cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev
  nasm acpica-tools uuid-dev python3 python-is-python3 dpkg-dev
  qemu-system-x86 ovmf mtools dosfstools openssl
  clang libclang-rt-14-dev llvm
  openipmi libopenipmi-dev libssl-dev ipmitool
  clang-16 lld-16 llvm-16 lld xz-utils patch
  python3-cryptography python3-importlib-resources python3-pefile
  python3-aiohttp python3-sushy redfishtool ansible curl jq
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
# build_basetools TREE LABEL LOG: BaseTools of one EDK II tree, built once.
build_basetools() {
  if [ -x "$1/BaseTools/Source/C/bin/GenFw" ]; then
    stage "BaseTools$2 built"
  else
    stage "building BaseTools$2"
    make -s -C "$1/BaseTools" -j"$(nproc)" >"$DEPS/$3" 2>&1 \
      || { tail -n 30 "$DEPS/$3" >&2; fail "BaseTools$2 build failed (see .deps/$3)"; }
  fi
}
build_basetools "$EDK2_LINK" "" basetools.log
# --- 4. EDK II 2025.02 (Debian 13) ------------------------------------------
# A private apt configuration for Debian 13 (trixie), derived from the
# machine's own entry for Debian's archive: same mirror and keyring.
APT_NEW="$DEPS/apt-trixie"
apt_new() {
  apt-get -o Dir::Etc::sourcelist="$APT_NEW/sources.list" -o Dir::Etc::sourceparts=- \
    -o Dir::State::Lists="$APT_NEW/lists" -o Dir::Cache="$APT_NEW/cache" \
    -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= "$@"
}
# Reads Debian 13's package lists afresh, once per run, whenever something is
# to be fetched: versions move on, and a stale list names files no longer served.
apt_new_ready() {
  [ -n "$APT_NEW_UPDATED" ] && return 0
  need_root
  mkdir -p "$APT_NEW/lists/partial" "$APT_NEW/cache/archives/partial"
  local uri keyring f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    read -r uri keyring < <(awk 'BEGIN{RS=""}
      /Types:[ \t]*deb([ \t\n]|$)/ && /debian-archive-keyring/ && !/-security/ {
        u=""; k=""
        n=split($0, l, "\n")
        for (i=1;i<=n;i++) {
          if (l[i] ~ /^URIs:/)      { sub(/^URIs:[ \t]*/, "", l[i]); split(l[i], a, /[ \t]+/); u=a[1] }
          if (l[i] ~ /^Signed-By:/) { sub(/^Signed-By:[ \t]*/, "", l[i]); k=l[i] }
        }
        if (u != "") { print u, k; exit }
      }' "$f") || true
    [ -n "$uri" ] && break
  done
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1=="deb" && $0 !~ /security/ { for (i=2;i<=NF;i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list)
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  fi
  [ -n "$uri" ] || fail "no entry for Debian's archive in the apt sources to derive a Debian 13 entry from"
  printf 'deb [signed-by=%s] %s trixie main\ndeb-src [signed-by=%s] %s trixie main\n' \
    "${keyring:-/usr/share/keyrings/debian-archive-keyring.gpg}" "$uri" \
    "${keyring:-/usr/share/keyrings/debian-archive-keyring.gpg}" "$uri" >"$APT_NEW/sources.list"
  apt_new update -qq >"$APT_NEW/update.log" 2>&1 \
    || { tail -n 20 "$APT_NEW/update.log" >&2; fail "apt-get update for Debian 13 failed (see .deps/apt-trixie/update.log)"; }
  APT_NEW_UPDATED=1
}

if [ -f "$EDK2_NEW/edksetup.sh" ] && [ -f "$EDK2_NEW/.patched" ]; then
  stage "EDK II $EDK2_NEW_VERSION present: $EDK2_NEW"
else
  apt_new_ready
  stage "fetching Debian 13's edk2 source package ($EDK2_NEW_VERSION)"
  src="$DEPS/src-$EDK2_NEW_VERSION"
  rm -rf "$src" "$EDK2_NEW" && mkdir -p "$src"
  # Debian's .dsc of this version is not served: fetch the tarballs alone,
  # unpack them and apply Debian's patch series as dpkg-source would.
  (cd "$src" && apt_new source -qq --download-only --only-source "edk2/trixie" >"$src/apt-source.log" 2>&1) || true
  orig=$(ls "$src"/edk2_"$EDK2_NEW_VERSION".orig.tar.* 2>/dev/null | head -n 1)
  deb=$(ls "$src"/edk2_"$EDK2_NEW_VERSION"-*.debian.tar.* 2>/dev/null | head -n 1)
  [ -n "$orig" ] && [ -n "$deb" ] \
    || { cat "$src/apt-source.log" >&2; fail "apt-get source edk2 ($EDK2_NEW_VERSION) brought no orig/debian tarballs"; }
  rm -rf "$EDK2_NEW.tmp" && mkdir -p "$EDK2_NEW.tmp"
  tar -xf "$orig" -C "$EDK2_NEW.tmp" --strip-components=1
  tar -xf "$deb" -C "$EDK2_NEW.tmp"
  (cd "$EDK2_NEW.tmp" && while read -r p _; do
     case "$p" in ''|'#'*) continue ;; esac
     patch -p1 -s --no-backup-if-mismatch <"debian/patches/$p" || { echo "patch $p failed" >&2; exit 1; }
   done <debian/patches/series) || fail "Debian's patches do not apply to EDK II $EDK2_NEW_VERSION"
  [ -f "$EDK2_NEW.tmp/edksetup.sh" ] || fail "EDK II $EDK2_NEW_VERSION unpacked without edksetup.sh"
  touch "$EDK2_NEW.tmp/.patched"
  mv "$EDK2_NEW.tmp" "$EDK2_NEW"
  stage "EDK II $EDK2_NEW_VERSION unpacked and patched: $EDK2_NEW"
fi
build_basetools "$EDK2_NEW" " ($EDK2_NEW_VERSION)" "basetools-$EDK2_NEW_VERSION.log"

# --- 5. OVMF 2025.02 (Debian 13's binary package, unpacked) -----------------
if [ -f "$OVMF_NEW/usr/share/OVMF/OVMF_CODE_4M.fd" ] && [ -f "$OVMF_NEW/usr/share/OVMF/OVMF_VARS_4M.fd" ]; then
  stage "OVMF $EDK2_NEW_VERSION present: $OVMF_NEW"
else
  apt_new_ready
  stage "fetching Debian 13's ovmf package"
  dl="$DEPS/src-$EDK2_NEW_VERSION/ovmf-deb"
  rm -rf "$dl" "$OVMF_NEW" && mkdir -p "$dl"
  (cd "$dl" && apt_new download -qq "ovmf/trixie" >"$dl/apt-download.log" 2>&1) \
    || { cat "$dl/apt-download.log" >&2; fail "apt-get download ovmf (Debian 13) failed"; }
  debfile=$(ls "$dl"/ovmf_*.deb 2>/dev/null | head -n 1)
  [ -n "$debfile" ] || fail "no ovmf .deb downloaded"
  rm -rf "$OVMF_NEW.tmp"
  dpkg-deb -x "$debfile" "$OVMF_NEW.tmp" && mv "$OVMF_NEW.tmp" "$OVMF_NEW"
  [ -f "$OVMF_NEW/usr/share/OVMF/OVMF_CODE_4M.fd" ] || fail "Debian 13's ovmf package has no OVMF_CODE_4M.fd"
  stage "OVMF $EDK2_NEW_VERSION unpacked: $OVMF_NEW ($(basename "$debfile"))"
fi

# --- 6. virt-fw-vars (Debian 13's python3-virt-firmware, unpacked) ----------
VIRT_FW="$DEPS/virt-firmware"
if [ -d "$VIRT_FW/usr/lib/python3/dist-packages/virt/firmware" ]; then
  stage "virt-firmware present: $VIRT_FW"
else
  apt_new_ready
  stage "fetching Debian 13's python3-virt-firmware package"
  dl="$DEPS/src-$EDK2_NEW_VERSION/virt-firmware-deb"
  rm -rf "$dl" "$VIRT_FW" && mkdir -p "$dl"
  (cd "$dl" && apt_new download -qq "python3-virt-firmware/trixie" >"$dl/apt-download.log" 2>&1) \
    || { cat "$dl/apt-download.log" >&2; fail "apt-get download python3-virt-firmware (Debian 13) failed"; }
  debfile=$(ls "$dl"/python3-virt-firmware_*.deb 2>/dev/null | head -n 1)
  [ -n "$debfile" ] || fail "no python3-virt-firmware .deb downloaded"
  rm -rf "$VIRT_FW.tmp"
  dpkg-deb -x "$debfile" "$VIRT_FW.tmp" && mv "$VIRT_FW.tmp" "$VIRT_FW"
  [ -d "$VIRT_FW/usr/lib/python3/dist-packages/virt/firmware" ] || fail "python3-virt-firmware unpacked without its module"
  stage "virt-firmware unpacked: $VIRT_FW ($(basename "$debfile"))"
fi
stage "ready"
