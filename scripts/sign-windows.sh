#!/usr/bin/env bash
# Signs Windows programs in place with a code-signing certificate and its key (PEM files), by osslsigncode:
# the program first, then every copy built for the field (a copy comes unsigned from the builder, whoever
# signed the program it was built from, and must be signed by whoever builds it).
#   scripts/sign-windows.sh CERT KEY FILE...
# Each file is verified against CERT after signing; the first failure ends the script with exit code 1.
set -uo pipefail
if [ $# -lt 3 ]; then
  echo "usage: $0 CERT KEY FILE..." >&2
  exit 2
fi
cert=$1 key=$2
shift 2
command -v osslsigncode >/dev/null || { echo "osslsigncode is not installed (apt-get install osslsigncode)" >&2; exit 1; }
for file in "$@"; do
  [ -f "$file" ] || { echo "$file: no such file" >&2; exit 1; }
  signed=$(mktemp "$file.XXXXXX")
  # The file's own modes stay: the signed bytes replace its contents.
  if ! osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "Brae firmware update" -in "$file" \
    -out "$signed.exe" >"$signed.log" 2>&1; then
    echo "$file: signing failed:" >&2
    cat "$signed.log" >&2
    rm -f "$signed" "$signed.exe" "$signed.log"
    exit 1
  fi
  cat "$signed.exe" >"$file"
  rm -f "$signed" "$signed.exe" "$signed.log"
  if ! osslsigncode verify -CAfile "$cert" -in "$file" >/dev/null 2>&1; then
    echo "$file: signed, but its signature does not verify against $cert" >&2
    exit 1
  fi
  echo "signed $file"
done
