#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a bounded time,
# starting from a copy of its seed corpus. Any crash, sanitizer report, timeout
# or memory blow-up (-rss_limit_mb) makes libFuzzer exit non-zero, and so this
# script. Environment:
#   BRANTEL_FUZZ_SECONDS    seconds per target (default 30)
#   BRANTEL_FUZZ_BUILD_DIR  build folder (default <repo>/build-fuzz)
#   CXX                     the clang++ to use (default clang++)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
seconds=${BRANTEL_FUZZ_SECONDS:-30}
build=${BRANTEL_FUZZ_BUILD_DIR:-$repo/build-fuzz}
targets=(blob_decode_fuzzer label_fuzzer)

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="${CXX:-clang++}" -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
  -DBRANTEL_SANITIZE=address,undefined -DBRANTEL_BUILD_FUZZERS=ON \
  -DBRANTEL_BUILD_PYTHON=OFF -DBRANTEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}"

for target in "${targets[@]}"; do
  # Run on a scratch copy, so new inputs the fuzzer finds never land in the tree.
  corpus=$(mktemp -d)
  trap 'rm -rf "$corpus"' EXIT
  cp "$here/corpus/$target"/* "$corpus"/
  echo "== $target for ${seconds}s"
  "$build/tests/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/$target-" "$corpus"
  rm -rf "$corpus"
  trap - EXIT
done
echo "fuzzers: no findings"
