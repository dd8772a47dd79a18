#!/bin/sh
# The documents say what the build made of brae-update.exe: "about N.N MB" (within 0.1 MB, 10^6 bytes) and,
# after "imports only system DLLs:", exactly the DLLs it imports.   exe_docs_test.sh OBJDUMP EXE DOC...
set -eu
objdump=$1 exe=$2 status=0
shift 2
size=$(wc -c <"$exe")
built=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: \(.*\)\.dll$/\1/ip' | tr a-z A-Z | sort | xargs)
for doc; do
  text=$(tr '\n' ' ' <"$doc")
  mb=$(printf %s "$text" | grep -oE 'about [0-9]+\.[0-9] MB' | head -1 | cut -d' ' -f2)
  said=$(printf %s "$text" | sed -n 's/.*imports only system DLLs: \([A-Za-z0-9_, ]*\)[).].*/\1/p' |
    sed 's/ and /,/' | tr -d ' ' | tr , '\n' | tr a-z A-Z | sort | xargs)
  awk -v s="$size" -v mb="${mb:-0}" 'BEGIN { d = s / 1e6 - mb; exit !(d <= 0.1 && d >= -0.1) }' &&
    [ "$said" = "$built" ] || { echo "FAILED: $doc: about ${mb:-?} MB, imports ${said:-?}"; status=1; }
done
echo "$exe: $size bytes, imports $built"
exit $status
