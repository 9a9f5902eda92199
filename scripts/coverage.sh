#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# Line coverage of the driver and its libraries by the host tests (a
# measurement, not a test). Builds the host test bed with clang's source-based
# coverage into build/coverage/ (run scripts/setup.sh once first), runs every
# host test executable, and prints llvm-cov's per-file report of the driver's
# and libraries' sources followed by each line no host test reaches.
#
#   scripts/coverage.sh
set -eo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT="$ROOT/build/coverage"
PKG="$ROOT/TolmVexaPkg"
TESTS=(platform_selftest driver_tests service_tests store_messages_tests diagnostics_tests)

say()  { printf '[coverage] %s\n' "$*"; }
fail() { printf '[coverage] FAILED: %s\n' "$*" >&2; exit 1; }

mkdir -p "$OUT"
if [ ! -f "$OUT/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$PKG/Test" -B "$OUT" -G Ninja -DEDK2_DIR="$ROOT/.deps/edk2" \
    -DTOLM_HOST_SANITIZERS=OFF -DTOLM_HOST_COVERAGE=ON >"$OUT/configure.log" 2>&1 \
    || { tail -n 20 "$OUT/configure.log" >&2; fail "configure (run scripts/setup.sh first)"; }
fi
say "build the host tests with coverage instrumentation"
cmake --build "$OUT" -j"$(nproc)" --target "${TESTS[@]}" >"$OUT/build.log" 2>&1 \
  || { grep -E 'error' -A3 "$OUT/build.log" | head -n 40 >&2; fail "build"; }

say "run the host tests"
rm -rf "$OUT/profiles"
mkdir -p "$OUT/profiles"
objects=()
for test in "${TESTS[@]}"; do
  exe="$OUT/Host/$test"
  LLVM_PROFILE_FILE="$OUT/profiles/$test-%p.profraw" "$exe" --gtest_brief=1 >"$OUT/$test.log" 2>&1 \
    || { tail -n 20 "$OUT/$test.log" >&2; fail "$test failed"; }
  objects+=(-object "$exe")
done
llvm-profdata merge -sparse -o "$OUT/host.profdata" "$OUT"/profiles/*.profraw

mapfile -t sources < <(find "$PKG/Feature" "$PKG/Library" -name '*.cpp' | sort)
say "lines of the driver and its libraries reached by the host tests"
llvm-cov report "${objects[@]:1}" -instr-profile "$OUT/host.profdata" "${sources[@]}" \
  | sed "s|$PKG/||"

say "lines no host test reaches"
llvm-cov export -format=lcov "${objects[@]:1}" -instr-profile "$OUT/host.profdata" "${sources[@]}" \
  | awk -v pkg="$PKG/" '
      /^SF:/ { file = substr($0, 4); sub(pkg, "", file) }
      /^DA:/ { split(substr($0, 4), f, ","); if (f[2] == 0) { print file ":" f[1] } }' \
  | while IFS=: read -r file line; do
      printf '  %s:%s  %s\n' "$file" "$line" "$(sed -n "${line}p" "$PKG/$file" | sed 's/^ *//')"
    done
