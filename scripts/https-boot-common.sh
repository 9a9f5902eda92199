# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# Shared by scripts/ontarget-https.sh and scripts/measure-unattended.sh
# (through TolmVexaPkg/Test/OnTarget/https_boot.py) and scripts/demo-https.sh
# (sourced, not run): HTTPS boots of a server whose Vexa is a real BMC. OVMF under QEMU
# gets a network and QEMU's KCS interface, wired to a BMC started with
# ot_bmc_start (scripts/ontarget-bmc.sh) or VexaSim.
#
#   hb_boot_image                 the boot image the servers hand out
#   hb_start_server DIR CERTDIR   the two boot servers (sets HB_GOOD_URI, HB_OTHER_URI)
#   hb_stop_servers               stops every boot server this shell started
#   hb_lay_fat DIR COMMANDLINE    the FAT folder of an HTTPS boot
#   hb_boot DIR VARS RUN          one boot, network and KCS
#   hb_power_on DIR VARS RUN URI  the unattended server powered on: no FAT drive,
#                                 its HTTPS boot URI in QEMU's fw_cfg
#   hb_plant VARS JSON            variables planted in the machine's store offline
#
# The guest reaches the host's 127.0.0.1 through QEMU's user-mode network at
# 10.0.2.2; the servers listen on 127.0.0.1 only, on free ports. The NIC is a
# virtio-net device without option ROM (no iPXE) and the FAT folder carries
# EFI/BOOT/BOOTX64.EFI, which OVMF starts before any network boot option: the
# firmware never wanders through PXE.

. "$(dirname "${BASH_SOURCE[0]}")/ontarget-common.sh"
. "$OT_ROOT/scripts/ontarget-bmc.sh"

HB_PY="$OT_ROOT/TolmVexaPkg/Test/OnTarget/https_boot.py"
# An HTTPS boot takes 15-30 s under TCG (DHCP and a TLS handshake in the
# firmware per attempt); a hung firmware is cut off here.
HB_BOOT_TIMEOUT=${HB_BOOT_TIMEOUT:-180}
HB_SERVER_PIDS=()

hb_boot_image() {
  echo "$(edk2_build_dir "$OT_EDK2" "$OT_TAG" DEBUG)/TolmVexaHttpsBootImage.efi"
}

# hb_start_server DIR CERTDIR: the two boot servers (the CA's, the other
# CA's) serving the boot image, logging to DIR/server.log. Sets HB_GOOD_URI
# and HB_OTHER_URI, the URIs under which the guest reaches them.
hb_start_server() {
  local dir=$1 certs=$2 i good other
  mkdir -p "$dir/www"
  cp "$(hb_boot_image)" "$dir/www/boot.efi" || return 1
  rm -f "$dir/ports" "$dir/server.log"
  python3 "$HB_PY" serve --certs "$certs" --image "$dir/www/boot.efi" --dir "$dir" &
  HB_SERVER_PIDS+=($!)
  for i in $(seq 100); do
    [ -s "$dir/ports" ] && break
    kill -0 "${HB_SERVER_PIDS[-1]}" 2>/dev/null || { echo "[https] the boot server did not start" >&2; return 1; }
    sleep 0.1
  done
  good=$(awk '$1 == "good" { print $2 }' "$dir/ports")
  other=$(awk '$1 == "other" { print $2 }' "$dir/ports")
  [ -n "$good" ] && [ -n "$other" ] || { echo "[https] the boot server gave no ports" >&2; return 1; }
  HB_GOOD_URI="https://10.0.2.2:$good/boot.efi"
  HB_OTHER_URI="https://10.0.2.2:$other/boot.efi"
}

hb_stop_servers() {
  local pid
  for pid in "${HB_SERVER_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  HB_SERVER_PIDS=()
}

# hb_lay_fat DIR COMMANDLINE: the test application as the removable-media
# boot file, reading "https COMMANDLINE" from ontarget.cmd, beside the
# stand-ins, IpmiKcsDxe with KivIpmiBlobDxe, the driver and the trust driver it loads; in the
# platform build (ot_use_platform) the application alone with the word
# "platform", since the rest was dispatched from the firmware volume.
hb_lay_fat() {
  local dir=$1 cmdline=$2 bin="$(edk2_build_dir "$OT_EDK2" "$OT_TAG" DEBUG)" f words=(https)
  rm -rf "$dir" && mkdir -p "$dir/EFI/BOOT"
  cp "$bin/TolmVexaOnTargetTest.efi" "$dir/EFI/BOOT/BOOTX64.EFI" || return 1
  if [ -n "$OT_PLATFORM_FD" ]; then
    words+=(platform)
  else
    for f in PlatformInfoSim VariablePolicySim IpmiKcsDxe KivIpmiBlobDxe TolmVexaHttpsBootCertMgmt TolmVexaHttpsBootTrust; do
      cp "$bin/$f.efi" "$dir/" || return 1
    done
  fi
  printf '%s\r\n' "${words[*]} $cmdline" >"$dir/ontarget.cmd"
}

# hb_plant VARS JSON: writes the variables of JSON (virt-fw-vars --set-json:
# name, GUID, attributes, data and, for a time-based authenticated one, its
# time stamp) into the machine's variable store VARS while it is off, as an
# earlier firmware or an operating system would have left them; VARS is a
# fresh copy of OVMF's when it does not exist yet. virt-fw-vars' output goes
# to VARS.plant.log.
hb_plant() {
  [ -f "$1" ] || cp "$OVMF_VARS" "$1"
  "$OT_ROOT/scripts/virt-fw-vars" -i "$1" -o "$1.new" --set-json "$2" >"$1.plant.log" 2>&1 && mv "$1.new" "$1"
}

# hb_boot DIR VARS RUN: boots OVMF on DIR/fat with user-mode networking, COM1
# and COM2 captured to DIR/com1.log and DIR/com2.log, the variable store VARS
# (the machine's flash, kept from boot to boot; a fresh copy of OVMF's when
# it does not exist yet) and QEMU's KCS interface connected to the BMC of RUN.
# Returns QEMU's status (124: time limit, HB_BOOT_TIMEOUT).
hb_boot() {
  OT_BOOT_TIMEOUT=$HB_BOOT_TIMEOUT OT_BOOT_MEMORY=512M ot_boot_bmc "$1" "$2" "$3" \
    -netdev user,id=n0 -device virtio-net-pci,netdev=n0,romfile=
}

# hb_power_on DIR VARS RUN URI: the platform build powered on as a server is,
# with nothing to boot but its flash: no FAT drive, no shell; the platform's
# HTTPS boot URI in QEMU's fw_cfg ("opt/org.tolm/https-boot-uri", from which
# the platform's boot manager makes BootOrder: that URI's option, then the
# power-off application); network and KCS as hb_boot. The machine ends by
# powering itself off. Returns QEMU's status (124: time limit).
hb_power_on() {
  local dir=$1 vars=$2 run=$3 uri=$4
  [ -n "$OT_PLATFORM_FD" ] || { echo "[https] a power-on needs the platform build (ot_use_platform)" >&2; return 1; }
  mkdir -p "$dir" && rm -rf "$dir/fat"
  OT_BOOT_TIMEOUT=$HB_BOOT_TIMEOUT OT_BOOT_MEMORY=512M ot_boot_bmc "$dir" "$vars" "$run" \
    -netdev user,id=n0 -device virtio-net-pci,netdev=n0,romfile= \
    -fw_cfg name=opt/org.tolm/https-boot-uri,string="$uri"
}
