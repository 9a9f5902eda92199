# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# Shared by scripts/ontarget.sh, scripts/demo.sh, scripts/measure.sh,
# scripts/measure-bmc.sh, the BMC mode (scripts/ontarget-bmc.sh) and the HTTPS
# boot runs (scripts/https-boot-common.sh), sourced, not run: scenario
# certificates, the FAT folder and one QEMU boot of OVMF running the on-target
# test application.

OT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/edk2-env.sh
. "$OT_ROOT/scripts/edk2-env.sh"
OT_PY="$OT_ROOT/TolmVexaPkg/Test/OnTarget/ontarget_log.py"

# ot_select VERSION [TAG]: the EDK II build the on-target scripts use (its
# DEBUG and RELEASE output folders) and the OVMF it runs in: Debian 12's
# (EDK II 2022.11) for 2022.11 builds, Debian 13's (2025.02, unpacked by
# scripts/setup.sh) for 2025.02 builds.
ot_select() {
  OT_EDK2=$1
  OT_TAG=${2:-$(edk2_default_tag "$1")}
  OT_NAME="EDK II $OT_EDK2 $OT_TAG"
  case "$OT_EDK2" in
    2022.11) OVMF_CODE=/usr/share/OVMF/OVMF_CODE_4M.fd; OVMF_VARS=/usr/share/OVMF/OVMF_VARS_4M.fd ;;
    *) OVMF_CODE="$OT_ROOT/.deps/ovmf-$OT_EDK2/usr/share/OVMF/OVMF_CODE_4M.fd"
       OVMF_VARS="$OT_ROOT/.deps/ovmf-$OT_EDK2/usr/share/OVMF/OVMF_VARS_4M.fd" ;;
  esac
}
ot_select "${OT_EDK2_VERSION:-$EDK2_DEFAULT_VERSION}" "${OT_EDK2_TAG:-}"

# ot_platform_fd: the folder of the platform build's firmware (OVMF with the
# driver and the stand-ins in its DXE volume, EDK II 2022.11 GCC5) when it is
# built for the current sources; fails when it is not.
ot_platform_fd() {
  local fd
  fd=$(python3 "$OT_ROOT/scripts/platform.py" fd --edk2 "$(edk2_tree "$EDK2_DEFAULT_VERSION")" \
       --tag "$(edk2_default_tag "$EDK2_DEFAULT_VERSION")") || return 1
  [ -f "$fd/OVMF_CODE.fd" ] && [ -f "$fd/OVMF_VARS.fd" ] || return 1
  echo "$fd"
}

# ot_use_platform: boots that firmware from here on, in this shell: its DXE
# volume holds the driver, the platform stand-ins, IpmiKcsDxe with KivIpmiBlobDxe and the trust
# driver, so a boot's FAT folder carries the test application alone and its
# command line the word "platform" (ot_lay_fat_bmc does both). The
# application comes from the EDK II build the platform is made of (2022.11
# GCC5 DEBUG). OT_PLATFORM_FD names the firmware's folder; a script started
# with it in its environment makes the same choice when it sources this file.
ot_use_platform() {
  local fd
  fd=$(ot_platform_fd) || { echo "[ontarget] platform firmware not built: run scripts/build.sh platform" >&2; return 1; }
  OT_PLATFORM_FD=$fd
  ot_platform_selected
}

ot_platform_selected() {
  ot_select "$EDK2_DEFAULT_VERSION"
  export OT_EDK2_VERSION=$OT_EDK2 OT_EDK2_TAG=$OT_TAG
  OT_NAME="platform build ($OT_PLATFORM_FD)"
  OVMF_CODE="$OT_PLATFORM_FD/OVMF_CODE.fd"
  OVMF_VARS="$OT_PLATFORM_FD/OVMF_VARS.fd"
}
[ -z "$OT_PLATFORM_FD" ] || ot_platform_selected
# One boot takes 10-15 s under TCG; a hung firmware is cut off here.
OT_BOOT_TIMEOUT=${OT_BOOT_TIMEOUT:-90}

ot_need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "[ontarget] $tool missing: run scripts/setup.sh" >&2; return 1; }
  done
  [ -f "$OVMF_CODE" ] && [ -f "$OVMF_VARS" ] || { echo "[ontarget] OVMF missing ($OVMF_CODE): run scripts/setup.sh" >&2; return 1; }
}

# ot_make_certs DIR: three real self-signed X.509 certificates in DER, of
# different key types and so different sizes: cert1 and cert3 are imported
# from the Vexa, cert2 is the one slot 2 holds before the Vexa deletes it.
ot_make_certs() {
  local dir=$1 n
  mkdir -p "$dir"
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/O=Tolm/CN=boot1.example.test" \
    -keyout "$dir/key1.pem" -outform DER -out "$dir/cert1.der" 2>/dev/null
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
    -subj "/O=Tolm/CN=old-boot2.example.test" -keyout "$dir/key2.pem" -outform DER -out "$dir/cert2.der" 2>/dev/null
  openssl req -x509 -newkey rsa:3072 -nodes -days 3650 -subj "/O=Tolm/OU=HTTPS Boot/CN=boot3.example.test" \
    -keyout "$dir/key3.pem" -outform DER -out "$dir/cert3.der" 2>/dev/null
  for n in 1 2 3; do
    [ -s "$dir/cert$n.der" ] || { echo "[ontarget] openssl failed to make cert$n.der" >&2; return 1; }
  done
}

# ot_lay_fat DIR TARGET CERTDIR COMMANDLINE: the FAT folder OVMF boots from,
# with the images of the selected build (ot_select).
ot_lay_fat() {
  local dir=$1 target=$2 certs=$3 cmdline=$4 f
  rm -rf "$dir" && mkdir -p "$dir"
  # The stand-ins and the application always come from the DEBUG build; the
  # driver image from the target asked for.
  for f in TolmVexaOnTargetTest VexaKivSim PlatformInfoSim VariablePolicySim; do
    cp "$(edk2_build_dir "$OT_EDK2" "$OT_TAG" DEBUG)/$f.efi" "$dir/" || return 1
  done
  cp "$(edk2_build_dir "$OT_EDK2" "$OT_TAG" "$target")/TolmVexaHttpsBootCertMgmt.efi" "$dir/" || return 1
  cp "$certs"/cert1.der "$certs"/cert2.der "$certs"/cert3.der "$dir/"
  printf '@echo -off\r\nfs0:\r\n%s\r\nreset -s\r\n' "$cmdline" >"$dir/startup.nsh"
}

# ot_boot DIR [QEMU-ARG...]: boots OVMF on DIR/fat (no FAT drive at all when
# there is no such folder) with COM1 and COM2 captured to DIR/com1.log and
# DIR/com2.log, and the further QEMU arguments given. In the platform build a
# FAT drive carries the test application, which plays the boot policy itself:
# fw_cfg "opt/org.tolm/boot-policy" says so to the platform's boot manager
# (PlatformBootManagerLib.patch), which then leaves the driver's services alone. The variable store is a fresh copy in DIR/vars.fd, or the file
# OT_VARS names, used as it is (a machine's flash kept from boot to boot).
# Memory: OT_BOOT_MEMORY (default 256M). Returns QEMU's status (124: time
# limit).
ot_boot() {
  local dir=$1 vars=${OT_VARS:-$1/vars.fd}
  shift
  [ -n "$OT_VARS" ] || cp "$OVMF_VARS" "$vars"
  rm -f "$dir/com1.log" "$dir/com2.log"
  local fat=()
  [ ! -d "$dir/fat" ] || fat=(-drive format=raw,file=fat:rw:"$dir/fat")
  [ ! -d "$dir/fat" ] || [ -z "$OT_PLATFORM_FD" ] || fat+=(-fw_cfg name=opt/org.tolm/boot-policy,string=application)
  timeout "$OT_BOOT_TIMEOUT" qemu-system-x86_64 \
    -machine pc -m "${OT_BOOT_MEMORY:-256M}" -accel tcg -nic none -display none -vga none -no-reboot -monitor none \
    -drive if=pflash,format=raw,unit=0,readonly=on,file="$OVMF_CODE" \
    -drive if=pflash,format=raw,unit=1,file="$vars" \
    "${fat[@]}" \
    -serial file:"$dir/com1.log" -serial file:"$dir/com2.log" \
    "$@" >"$dir/qemu.log" 2>&1
}

# ot_driver_has_console: the driver is built with its own debug library (and
# so its dual-UART console and EFI_DEBUG_MASK_PROTOCOL).
ot_driver_has_console() {
  grep -Eq '^[[:space:]]*DebugLib\|TolmVexaPkg/Library/DebugLib/' "$OT_ROOT/TolmVexaPkg/TolmVexaHttpsBootCertMgmt.dsc.inc"
}
