# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# Shared by scripts/ontarget-https.sh and scripts/demo-https.sh (sourced, not
# run): the certificates of a run, the HTTPS boot server, the FAT folder of an
# HTTPS boot and one QEMU boot of OVMF with a network.
#
# The guest reaches the host's 127.0.0.1 through QEMU's user-mode network at
# 10.0.2.2; the servers listen on 127.0.0.1 only, on free ports. The NIC is a
# virtio-net device without option ROM (no iPXE) and the FAT folder carries
# EFI/BOOT/BOOTX64.EFI, which OVMF starts before any network boot option: the
# firmware never wanders through PXE.

. "$(dirname "${BASH_SOURCE[0]}")/ontarget-common.sh"

HB_PY="$OT_ROOT/TolmVexaPkg/Test/OnTarget/https_boot.py"
# An HTTPS boot group takes 15-30 s under TCG (DHCP and a TLS handshake in the
# firmware per attempt); a hung firmware is cut off here.
HB_BOOT_TIMEOUT=${HB_BOOT_TIMEOUT:-180}
HB_SERVER_PIDS=()
# Extra QEMU arguments of a boot (a BMC transport, for instance).
HB_QEMU_EXTRA=()

# hb_start_server DIR CERTDIR: the two boot servers (the CA's, the other
# CA's) serving the boot image, logging to DIR/server.log. Sets HB_GOOD_URI
# and HB_OTHER_URI, the URIs under which the guest reaches them.
hb_start_server() {
  local dir=$1 certs=$2 i good other
  mkdir -p "$dir/www"
  cp "$(edk2_build_dir "$OT_EDK2" "$OT_TAG" DEBUG)/TolmVexaHttpsBootImage.efi" "$dir/www/boot.efi" || return 1
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

# hb_stop_servers: stops every boot server this shell started.
hb_stop_servers() {
  local pid
  for pid in "${HB_SERVER_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  HB_SERVER_PIDS=()
}

# hb_lay_fat DIR CERTDIR COMMANDLINE: the FAT folder of an HTTPS boot. The
# test application is the removable-media boot file and reads its command
# line from ontarget.cmd.
hb_lay_fat() {
  local dir=$1 certs=$2 cmdline=$3 bin="$(edk2_build_dir "$OT_EDK2" "$OT_TAG" DEBUG)" f
  rm -rf "$dir" && mkdir -p "$dir/EFI/BOOT"
  cp "$bin/TolmVexaOnTargetTest.efi" "$dir/EFI/BOOT/BOOTX64.EFI" || return 1
  for f in VexaKivSim PlatformInfoSim VariablePolicySim TolmVexaHttpsBootCertMgmt TolmVexaHttpsBootTrust; do
    cp "$bin/$f.efi" "$dir/" || return 1
  done
  cp "$certs/ca.der" "$certs/other-ca.der" "$certs/unrelated.der" "$dir/"
  printf '%s\r\n' "$cmdline" >"$dir/ontarget.cmd"
}

# hb_boot DIR: boots OVMF on DIR/fat with user-mode networking, COM1 and COM2
# captured to DIR/com1.log and DIR/com2.log. Returns QEMU's status (124: time
# limit, HB_BOOT_TIMEOUT).
hb_boot() {
  local dir=$1
  cp "$OVMF_VARS" "$dir/vars.fd"
  rm -f "$dir/com1.log" "$dir/com2.log"
  timeout "$HB_BOOT_TIMEOUT" qemu-system-x86_64 \
    -machine pc -m 512M -accel tcg -display none -vga none -no-reboot -monitor none \
    -drive if=pflash,format=raw,unit=0,readonly=on,file="$OVMF_CODE" \
    -drive if=pflash,format=raw,unit=1,file="$dir/vars.fd" \
    -drive format=raw,file=fat:rw:"$dir/fat" \
    -netdev user,id=n0 -device virtio-net-pci,netdev=n0,romfile= \
    -serial file:"$dir/com1.log" -serial file:"$dir/com2.log" \
    "${HB_QEMU_EXTRA[@]}" >"$dir/qemu.log" 2>&1
}
