#!/usr/bin/env bash
# Builds a host project that embeds the SDK with add_subdirectory() and links
# TrovelSdk::trovelsdk, with GoogleTest and CLI11 out of reach: an embedding host must not
# need them. Usage: check_subproject.sh SOURCE-DIR
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S "$(dirname "$0")/subproject" -B "$work" -G Ninja -DTROVELSDK_SOURCE_DIR="$source_dir" \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON >/dev/null
cmake --build "$work" -j 2 >/dev/null
"$work/consumer"
for target in trovelctl trovel-sim unit_tests; do
  if cmake --build "$work" --target "$target" >/dev/null 2>&1; then
    echo "the embedded build made $target" >&2
    exit 1
  fi
done
echo "subproject check passed"
