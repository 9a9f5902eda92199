#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# Every test of TolmVexaPkg, from a clean clone:
#   1. scripts/setup.sh    Debian packages, both EDK II trees (2022.11, 2025.02)
#                          with BaseTools, Debian 13's OVMF (needs root the first time);
#   2. the EDK II builds, side by side (scripts/build.sh; logs in build/edk2/):
#        EDK II 2022.11 GCC5, DEBUG and RELEASE
#        EDK II 2025.02 GCC and CLANGDWARF, DEBUG and RELEASE
#        the platform build: OVMF with the driver in its DXE volume (cached)
#      while the CTest project TolmVexaPkg/Test is built three times: the
#      sanitizer suite and fuzz targets with clang into build/clang/, the host
#      test bed against EDK II 2025.02 into build/edk2-2025.02/, everything
#      else with GCC into build/;
#   3. ctest in build/ (the other two join it): host tests (GCC and clang
#      sanitizers, both EDK II trees), a short smoke run of every fuzz target,
#      image and set-up order checks of every EDK II build, and the on-target
#      suite (2022.11 images in Debian 12's OVMF, 2025.02 GCC and clang images
#      in Debian 13's OVMF; the BMC group in both OVMFs; HTTPS boot; the
#      platform build with a BMC attached).
# Exits non-zero on any failure; ends with ctest's summary.
set -eo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
cd "$ROOT"

stage() { printf '[test %3ds] %s\n' "$SECONDS" "$*"; }
fail()  { printf '[test] FAILED: %s\n' "$*" >&2; exit 1; }

stage "setup (scripts/setup.sh)"
bash scripts/setup.sh || fail "setup"

# The EDK II builds do not depend on each other or on the CTest builds: they
# run in the background, niced, while the host tests compile (the two 2025.02
# tool chains one after the other: they share a workspace). Each runs in a
# session of its own, so that a failed run stops them all.
mkdir -p "$BUILD/edk2" "$BUILD/clang" "$BUILD/edk2-2025.02"
edk2_jobs=(2022.11 2025.02 platform)
edk2_pids=()
stop_edk2_jobs() {
  local pid
  for pid in "${edk2_pids[@]}"; do
    kill -- "-$pid" 2>/dev/null || true
  done
}
trap stop_edk2_jobs EXIT
for job in "${edk2_jobs[@]}"; do
  case "$job" in
    2022.11) cmd="bash scripts/build.sh DEBUG RELEASE" ;;
    2025.02) cmd="bash scripts/build.sh --edk2 2025.02 --tag GCC DEBUG RELEASE &&
                  bash scripts/build.sh --edk2 2025.02 --tag CLANGDWARF DEBUG RELEASE" ;;
    platform) cmd="bash scripts/build.sh platform" ;;
  esac
  setsid nice -n 10 bash -c "$cmd" >"$BUILD/edk2/$job.log" 2>&1 </dev/null &
  edk2_pids+=($!)
done
stage "EDK II builds started in the background: EDK II 2022.11 GCC5, 2025.02 GCC and CLANGDWARF, platform (logs in build/edk2/)"

# cmake_build DIR WHAT CMAKE-ARG...: one configuration of the test project,
# configured and built, its logs in DIR.
cmake_build() {
  local dir=$1 what=$2 rel=${1#"$ROOT"/}
  shift 2
  cmake -S TolmVexaPkg/Test -B "$dir" -G Ninja "$@" >"$dir/configure.log" 2>&1 \
    || { tail -n 30 "$dir/configure.log" >&2; fail "cmake configure of $what (see $rel/configure.log)"; }
  cmake --build "$dir" -j"$(nproc)" >"$dir/build.log" 2>&1 \
    || { grep -E 'error|FAILED' -A3 "$dir/build.log" | head -n 60 >&2; fail "build of $what (see $rel/build.log)"; }
}

stage "configure and build the sanitizer suite and fuzz targets (clang) into build/clang/"
CC=clang CXX=clang++ cmake_build "$BUILD/clang" "the sanitizer suite" -DEDK2_DIR="$ROOT/.deps/edk2" \
  -DTOLM_SANITIZER_SUITE=ON

stage "configure and build the host test bed against EDK II 2025.02 into build/edk2-2025.02/"
cmake_build "$BUILD/edk2-2025.02" "the 2025.02 host test bed" -DEDK2_DIR="$ROOT/.deps/edk2-2025.02" \
  -DTOLM_HOST_ONLY_PREFIX=edk2-2025.02.

stage "configure and build the test project into build/"
cmake_build "$BUILD" "the tests" -DEDK2_DIR="$ROOT/.deps/edk2" \
  -DTOLM_SANITIZER_BUILD_DIR="$BUILD/clang" -DTOLM_SUBSUITE_DIRS="$BUILD/edk2-2025.02"

stage "waiting for the EDK II builds"
for i in "${!edk2_jobs[@]}"; do
  if wait "${edk2_pids[$i]}"; then
    grep -E '^\[build\].*(bytes|cached)' "$BUILD/edk2/${edk2_jobs[$i]}.log" | sed 's/^/    /'
  else
    tail -n 40 "$BUILD/edk2/${edk2_jobs[$i]}.log" >&2
    fail "EDK II build ${edk2_jobs[$i]} (see build/edk2/${edk2_jobs[$i]}.log)"
  fi
done
edk2_pids=()

stage "run the tests (ctest): host tests (GCC and clang sanitizers, EDK II 2022.11 and 2025.02), fuzz smoke runs, image checks, on-target"
# A hung test fails after ten minutes instead of holding the run.
ctest --test-dir "$BUILD" --output-on-failure --timeout 600 -j"$(nproc)"
