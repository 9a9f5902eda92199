# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# BMC mode of the on-target runner (sourced after ontarget-common.sh, not
# run): the Vexa as a real BMC process, OpenIPMI's ipmi_sim with the VexaBmc
# module, and OVMF under QEMU reaching it through QEMU's KCS interface
# (ipmi-bmc-extern + isa-ipmi-kcs at I/O 0xCA2/0xCA3), where IpmiKcsDxe with KivIpmiBlobDxe
# provides KIV_PROTOCOL. Used by scripts/ontarget.sh (group bmc) and
# scripts/measure-bmc.sh, both through TolmVexaPkg/Test/OnTarget/ontarget_bmc.py,
# by scripts/demo.sh and by the HTTPS boot runs (scripts/https-boot-common.sh).
#
#   ot_bmc_module                 builds the module if needed, prints its path
#   ot_bmc_start RUN STATE [ARG...] starts the BMC on free loopback ports, its state in STATE
#                                 (ARGs to vexa_sim.py start: --redfish, --startcmd CMD)
#   ot_bmc_stop RUN               stops it (also done on exit for every BMC started)
#   ot_bmc_admin RUN ARG...       one administrator command (VexaBmc/vexa-admin ARG...)
#   ot_lay_fat_bmc DIR [WORD...]  the FAT folder of a BMC boot
#   ot_boot_bmc DIR VARS RUN      boots OVMF from DIR/fat; VARS is the machine's
#                                 variable store, kept from boot to boot; RUN the
#                                 BMC (its serial port), or "" for no BMC at all

OT_BMC_SIM="$OT_ROOT/VexaBmc/Sim/vexa_sim.py"
OT_BMC_BUILD="$OT_ROOT/build"
OT_BMC_RUNS=()

# ot_bmc_module: the VexaBmc module, built into build/ with the CTest
# project's GCC configuration (as scripts/test.sh configures it) when absent
# or older than its sources.
ot_bmc_module() {
  local module="$OT_BMC_BUILD/VexaBmc/vexa_bmc.so" log="$OT_BMC_BUILD/vexa_bmc-build.log"
  if [ -n "$VEXA_BMC_MODULE" ]; then
    echo "$VEXA_BMC_MODULE"
    return 0
  fi
  if [ ! -f "$module" ] || [ -n "$(find "$OT_ROOT/VexaBmc/Source" -newer "$module" -print -quit)" ]; then
    mkdir -p "$OT_BMC_BUILD"
    if [ ! -f "$OT_BMC_BUILD/build.ninja" ]; then
      cmake -S "$OT_ROOT/TolmVexaPkg/Test" -B "$OT_BMC_BUILD" -G Ninja -DEDK2_DIR="$OT_ROOT/.deps/edk2" >"$log" 2>&1 \
        || { tail -n 20 "$log" >&2; echo "[ontarget] configuring build/ for the BMC module failed ($log)" >&2; return 1; }
    fi
    cmake --build "$OT_BMC_BUILD" --target vexa_bmc >>"$log" 2>&1 \
      || { tail -n 20 "$log" >&2; echo "[ontarget] building the BMC module failed ($log)" >&2; return 1; }
  fi
  echo "$module"
}

# ot_bmc_start RUN STATE [ARG...]: starts ipmi_sim with the module, its run
# files (configuration, log, pid, ports in RUN/vexa-sim.env) in RUN and what
# the BMC keeps across restarts in STATE; further ARGs go to vexa_sim.py
# (--redfish: the Redfish service too, its settings in RUN/redfish.env).
# Every BMC started is stopped on exit.
ot_bmc_start() {
  local run=$1 state=$2 module
  shift 2
  module=$(ot_bmc_module) || return 1
  mkdir -p "$run" "$state"
  python3 "$OT_BMC_SIM" --run-dir "$run" --state-dir "$state" --module "$module" start "$@" >/dev/null || return 1
  OT_BMC_RUNS+=("$run")
  trap ot_bmc_stop_all EXIT
}

ot_bmc_stop() {
  python3 "$OT_BMC_SIM" --run-dir "$1" stop
}

ot_bmc_stop_all() {
  local run
  for run in "${OT_BMC_RUNS[@]}"; do
    ot_bmc_stop "$run"
  done
}

# ot_bmc_port RUN NAME: a port of the running BMC (LAN, SERIAL or CONSOLE).
ot_bmc_port() {
  sed -n "s/^VEXA_$2_PORT=//p" "$1/vexa-sim.env"
}

# ot_bmc_redfish RUN: the administrator's settings for the BMC's Redfish
# service: RF (its URL), CA (the certificate to trust) and PW (the password of
# the account "admin"), exported for the commands the scripts show as typed.
ot_bmc_redfish() {
  local port
  port=$(sed -n 's/^VEXA_REDFISH_PORT=//p' "$1/redfish.env") || return 1
  export RF="https://127.0.0.1:$port" CA="$1/redfish-ca.pem"
  PW=$(cat "$1/redfish-password") && export PW
}

# ot_typed COMMAND: one administrator command (curl, jq, redfishtool), shown
# as typed and run in a shell with RF, CA and PW (ot_bmc_redfish); its output
# indented. Returns the command's status.
ot_typed() {
  printf '    $ %s\n' "$1"
  (eval "$1") 2>&1 | sed 's/^/      /'
}

ot_bmc_admin() {
  local run=$1
  shift
  python3 "$OT_ROOT/VexaBmc/vexa-admin" --port "$(ot_bmc_port "$run" CONSOLE)" "$@"
}

# ot_lay_fat_bmc DIR [WORD...]: the FAT folder of a BMC boot: the test
# application (group bmc), the stand-ins, IpmiKcsDxe, KivIpmiBlobDxe and the driver; in the
# platform build (ot_use_platform) the application alone, with the word
# "platform", since the rest was dispatched from the firmware volume.
ot_lay_fat_bmc() {
  local dir=$1 bin="$(edk2_build_dir "$OT_EDK2" "$OT_TAG" DEBUG)" f images=(TolmVexaOnTargetTest) words=(bmc)
  shift
  if [ -n "$OT_PLATFORM_FD" ]; then
    words+=(platform)
  else
    images+=(PlatformInfoSim VariablePolicySim IpmiKcsDxe KivIpmiBlobDxe TolmVexaHttpsBootCertMgmt)
  fi
  rm -rf "$dir" && mkdir -p "$dir"
  for f in "${images[@]}"; do
    cp "$bin/$f.efi" "$dir/" || return 1
  done
  printf '@echo -off\r\nfs0:\r\n%s\r\nreset -s\r\n' "TolmVexaOnTargetTest.efi ${words[*]} $*" >"$dir/startup.nsh"
}

# ot_boot_bmc DIR VARS RUN [QEMU-ARG...]: boots DIR/fat with COM1/COM2 in
# DIR/com1.log and com2.log, the variable store VARS (a fresh copy of OVMF's
# when it does not exist yet), QEMU's KCS interface connected to the BMC of
# RUN, or to a port where nothing listens when RUN is "" (the BMC not
# running), and the further QEMU arguments given. Returns QEMU's status (124:
# time limit).
ot_boot_bmc() {
  local dir=$1 vars=$2 run=$3 port
  shift 3
  if [ -n "$run" ]; then
    port=$(ot_bmc_port "$run" SERIAL)
  else
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  fi
  [ -f "$vars" ] || cp "$OVMF_VARS" "$vars"
  OT_VARS="$vars" ot_boot "$dir" \
    -chardev socket,id=ipmi0,host=127.0.0.1,port="$port",reconnect=1 \
    -device ipmi-bmc-extern,id=bmc0,chardev=ipmi0 \
    -device isa-ipmi-kcs,bmc=bmc0 "$@"
}
