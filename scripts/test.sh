#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# Every test of TolmVexaPkg, from a clean clone:
#   1. scripts/setup.sh    Debian packages, EDK II source, BaseTools (needs root the first time);
#   2. scripts/build.sh    the driver with EDK II's own build, DEBUG and RELEASE;
#   3. the CTest project TolmVexaPkg/Test built twice: the sanitizer suite and
#      fuzz targets with clang into build/clang/, everything else with GCC
#      into build/;
#   4. ctest in build/: host tests (under GCC's and clang's sanitizers), a
#      short smoke run of every fuzz target, image checks and the on-target
#      suite.
# Exits non-zero on any failure; ends with ctest's summary.
set -eo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
cd "$ROOT"

stage() { printf '[test] %s\n' "$*"; }
fail()  { printf '[test] FAILED: %s\n' "$*" >&2; exit 1; }

stage "setup (scripts/setup.sh)"
bash scripts/setup.sh || fail "setup"

stage "EDK II build, DEBUG and RELEASE (scripts/build.sh)"
bash scripts/build.sh DEBUG RELEASE || fail "EDK II build"

mkdir -p "$BUILD" "$BUILD/clang"
stage "configure and build the sanitizer suite and fuzz targets (clang) into build/clang/"
CC=clang CXX=clang++ cmake -S TolmVexaPkg/Test -B "$BUILD/clang" -G Ninja -DEDK2_DIR="$ROOT/.deps/edk2" \
  -DTOLM_SANITIZER_SUITE=ON >"$BUILD/clang/configure.log" 2>&1 \
  || { tail -n 30 "$BUILD/clang/configure.log" >&2; fail "cmake configure of the sanitizer suite (see build/clang/configure.log)"; }
cmake --build "$BUILD/clang" -j"$(nproc)" >"$BUILD/clang/build.log" 2>&1 \
  || { grep -E 'error|FAILED' -A3 "$BUILD/clang/build.log" | head -n 60 >&2; fail "sanitizer suite build (see build/clang/build.log)"; }

stage "configure the test project into build/"
cmake -S TolmVexaPkg/Test -B "$BUILD" -G Ninja -DEDK2_DIR="$ROOT/.deps/edk2" \
  -DTOLM_SANITIZER_BUILD_DIR="$BUILD/clang" >"$BUILD/configure.log" 2>&1 \
  || { tail -n 30 "$BUILD/configure.log" >&2; fail "cmake configure (see build/configure.log)"; }

stage "build the tests"
cmake --build "$BUILD" -j"$(nproc)" >"$BUILD/build.log" 2>&1 \
  || { grep -E 'error|FAILED' -A3 "$BUILD/build.log" | head -n 60 >&2; fail "test build (see build/build.log)"; }

stage "run the tests (ctest): host tests (GCC and clang sanitizers), fuzz smoke runs, image checks, on-target"
# A hung test fails after ten minutes instead of holding the run.
ctest --test-dir "$BUILD" --output-on-failure --timeout 600 -j"$(nproc)"
