#!/bin/sh
# The package's changelog as Debian reads it: CHANGELOG.md's newest entry is the project's version (the one
# place it is set), every line fits 80 columns, and the converter keeps each version apart, newest first,
# with semicolons and headings intact.
# check-changelog.sh CMAKE CHANGELOG.md CONVERTER VERSION WORK
set -eu
cmake=$1 changelog=$2 converter=$3 version=$4 work=$5
mkdir -p "$work"
fail() { echo "FAILED: $*"; exit 1; }
convert() { "$cmake" -DSOURCE="$1" -DOUTPUT="$2" -DPACKAGE=brae-update "-DMAINTAINER=A <a@b.invalid>" \
  -P "$converter"; }

convert "$changelog" "$work/changelog"
newest=$(dpkg-parsechangelog -l "$work/changelog" -S Version)
[ "$newest" = "$version" ] || fail "CHANGELOG.md's newest version is $newest, the project's $version"
long=$(awk 'length > 80' "$work/changelog")
[ -z "$long" ] || fail "lines over 80 columns: $long"

cat >"$work/two.md" <<'MD'
# Changelog

Preface, not an entry.

## 2.0 (ver2.0a) - 2026-03-01

### Heading

- One; two
  continued.

## 1.0 - 2025-12-24

- First.
MD
convert "$work/two.md" "$work/two"
entry() { dpkg-parsechangelog -l "$work/two" --count 1 --offset "$1" -S "$2"; }
[ "$(entry 0 Version) $(entry 1 Version)" = "2.0 1.0" ] || fail "two versions do not give two entries, newest first"
[ "$(entry 1 Date)" = "Wed, 24 Dec 2025 00:00:00 +0000" ] || fail "the older entry's date: $(entry 1 Date)"
changes=$(entry 0 Changes)
for line in '  Heading:' '  \* One; two' '    continued\.'; do
  printf "%s\n" "$changes" | grep -qx "$line" || fail "\"$line\" is not in the entry: $changes"
done
if grep -q Preface "$work/two"; then fail "the preface went into an entry"; fi
echo "changelog: $newest, as Debian reads it"
