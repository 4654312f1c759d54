#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds a C host against it twice:
# with find_package(TrovelSdk) and with pkg-config; and a C++ host with pkg-config. The
# installed programs must start from that prefix with nothing but their own run path to
# find the library, and come with their man pages and trovelctl's bash completion.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
libdir=$(ls -d "$work"/prefix/lib*/ | head -n 1)

cmake -S "$source_dir" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/consumer/consumer"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc "$source_dir/consumer.c" $(pkg-config --cflags --libs trovelsdk) -o "$work/pc-consumer"
LD_LIBRARY_PATH="$libdir" "$work/pc-consumer"
c++ -std=c++17 "$source_dir/consumer.cpp" $(pkg-config --cflags --libs trovelsdk) -o "$work/cpp-consumer"
LD_LIBRARY_PATH="$libdir" "$work/cpp-consumer"

for program in trovelctl trovel-sim trovel-gateway; do
  [ -x "$work/prefix/bin/$program" ] || continue
  env -u LD_LIBRARY_PATH "$work/prefix/bin/$program" --version
  [ -f "$work/prefix/share/man/man1/$program.1" ] || { echo "no man page for $program" >&2; exit 1; }
done
if [ -x "$work/prefix/bin/trovelctl" ] && [ ! -f "$work/prefix/share/bash-completion/completions/trovelctl" ]; then
  echo "no bash completion for trovelctl" >&2
  exit 1
fi
echo "install check passed"
