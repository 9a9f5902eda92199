# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# Sourced by scripts/build.sh and scripts/ontarget-common.sh: where each EDK II
# version and its build output live, and the environment of EDK II's build.
#
#   version   tree                 workspace                 tool chain tags
#   2022.11   .deps/edk2           .deps/workspace           GCC5
#   2025.02   .deps/edk2-2025.02   .deps/workspace-2025.02   GCC, CLANGDWARF
#
# CLANGDWARF builds with Debian's clang 16 and lld (clang 14 builds C++14 by
# default; TolmVexaPkg/Include/TolmVexaCxx.h refuses that).

EDK2_ENV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
EDK2_DEFAULT_VERSION=2022.11
EDK2_CLANG_BIN=${EDK2_CLANG_BIN:-/usr/lib/llvm-16/bin/}

# edk2_tree VERSION: the EDK II source tree of VERSION.
edk2_tree() {
  case "$1" in
    2022.11) echo "$EDK2_ENV_ROOT/.deps/edk2" ;;
    *) echo "$EDK2_ENV_ROOT/.deps/edk2-$1" ;;
  esac
}

# edk2_workspace VERSION: the build workspace of VERSION.
edk2_workspace() {
  case "$1" in
    2022.11) echo "$EDK2_ENV_ROOT/.deps/workspace" ;;
    *) echo "$EDK2_ENV_ROOT/.deps/workspace-$1" ;;
  esac
}

# edk2_default_tag VERSION: the tool chain tag VERSION recommends for GCC.
edk2_default_tag() {
  case "$1" in
    2022.11) echo GCC5 ;;
    *) echo GCC ;;
  esac
}

# edk2_build_dir VERSION TAG TARGET: the package's X64 output folder.
edk2_build_dir() {
  echo "$(edk2_workspace "$1")/Build/TolmVexaPkg/${3}_$2/X64"
}

# edk2_enter VERSION TAG: sets up EDK II's build environment (WORKSPACE,
# PACKAGES_PATH, Conf, BaseTools on PATH) in this shell, with EDK2_TREE and
# EDK2_WS naming the tree and the workspace.
edk2_enter() {
  EDK2_TREE=$(edk2_tree "$1")
  EDK2_WS=$(edk2_workspace "$1")
  if [ ! -f "$EDK2_TREE/edksetup.sh" ] || [ ! -x "$EDK2_TREE/BaseTools/Source/C/bin/GenFw" ]; then
    echo "[build] EDK II $1 missing at $EDK2_TREE: run scripts/setup.sh" >&2
    return 1
  fi
  case "$1/$2" in
    2022.11/GCC5) ;;
    2022.11/*) echo "[build] EDK II 2022.11 is built with GCC5 here, not $2" >&2; return 1 ;;
    */GCC|*/GCC5) ;;
    */CLANGDWARF)
      [ -x "${EDK2_CLANG_BIN}clang" ] || { echo "[build] clang 16 missing at $EDK2_CLANG_BIN: run scripts/setup.sh" >&2; return 1; }
      export CLANG_BIN="$EDK2_CLANG_BIN" CLANG_HOST_BIN=/usr/bin/ ;;
    *) echo "[build] tool chain $2 is not built here (GCC5, GCC or CLANGDWARF)" >&2; return 1 ;;
  esac
  mkdir -p "$EDK2_WS/Conf"
  export WORKSPACE="$EDK2_WS"
  export PACKAGES_PATH="$EDK2_TREE:$EDK2_ENV_ROOT"
  export EDK_TOOLS_PATH="$EDK2_TREE/BaseTools"
  export CONF_PATH="$EDK2_WS/Conf"
  # edksetup.sh reads the caller's positional parameters and fails under set -u.
  set --
  # shellcheck disable=SC1091
  . "$EDK2_TREE/edksetup.sh" >/dev/null
}
