#!/bin/sh
# Two builds of one commit in two folders are the same byte for byte: builds TARGETS of PRESET again in a
# scratch folder and compares each FILE (a path in a build folder, or a pattern) with BUILD's; a package is
# first packed anew from BUILD's programs.   check-reproducible.sh SOURCE BUILD PRESET "TARGETS" FILE...
set -eu
source=$1 build=$2 preset=$3 targets=$4 scratch=$(mktemp -d) start=$(date +%s) status=0
shift 4
trap 'rm -rf "$scratch"' EXIT
# shellcheck disable=SC2086 # TARGETS is a list
(cd "$source" && cmake --preset "$preset" -B "$scratch/b" && cmake --build "$scratch/b" -j2 --target $targets) \
  >"$scratch/log" 2>&1 || { tail -30 "$scratch/log"; echo "FAILED: the second build"; exit 1; }
echo "the second build ($preset: $targets) took $(($(date +%s) - start)) s"
for file; do
  first=$build
  case $file in
    *.deb) cpack --config "$build/CPackConfig.cmake" -B "$scratch/a" >"$scratch/log" 2>&1 && first=$scratch/a ;;
  esac
  # shellcheck disable=SC2086 # a pattern: the package's name holds its architecture
  if cmp $first/$file "$scratch"/b/$file; then echo "$file: the same in both builds"; else status=1; fi
done
exit $status
