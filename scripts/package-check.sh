#!/usr/bin/env bash
# The package on a bare machine: in a bare Debian 12 root (made by debootstrap), lintian finds no error and no
# warning in it (a tag is overridden only with its reason, in the package's lintian overrides file),
# `apt-get install ./DEB` pulls
# what the package needs; the installed brae-update writes a demo updater that updates the installed simulated
# indicator byte-exact in the console; `man brae-update` shows its page; removing the package (and purging
# what it pulled in) leaves the root's files as they were.
#
# Usage: scripts/package-check.sh [--base CACHED_ROOT] [--again DEB2] ROOT DEB
#   ROOT  a scratch root that this check changes (with --base: made as a copy of CACHED_ROOT, which stays
#         untouched, so one debootstrap serves many runs)
#   DEB   brae-update_<version>_amd64.deb (cmake --build build --target package)
#   DEB2  the same commit's package built a second time, in another folder: it must be DEB byte for byte
# Needs root (chroot, mounts). Every mount is undone on every exit. Ends with "package check: passed" or
# "package check: FAILED: <what>" and exit code 0 or 1.
#
# As a case of scripts/fresh-check.sh it runs on the host, after the package is built twice in the bare root,
# with that script's cached bare root as the base:
#   scripts/package-check.sh --base "${BRAE_FRESH_CACHE:-/var/cache/brae-fresh-check}/bookworm" \
#     --again build-package-again/brae-update_*_amd64.deb \
#     "$scratch/package-root" build-package/brae-update_*_amd64.deb   # summary: ^package check: (passed|FAILED)
set -euo pipefail

base=
again=
while [ "${1:-}" = "--base" ] || [ "${1:-}" = "--again" ]; do
  case $1 in --base) base=${2:?--base needs a directory} ;; *) again=${2:?--again needs a package} ;; esac
  shift 2
done
root=${1:?usage: package-check.sh [--base CACHED_ROOT] [--again DEB2] ROOT DEB}
deb=${2:?usage: package-check.sh [--base CACHED_ROOT] [--again DEB2] ROOT DEB}
here=$(cd "$(dirname "$0")" && pwd)
deb=$(readlink -f "$deb")
[ -f "$deb" ] || { echo "package check: FAILED: no package at $deb"; exit 1; }
if [ -n "$again" ]; then  # before anything else: it needs no root
  cmp "$deb" "$again" || { echo "package check: FAILED: $again, built again, differs from $deb"; exit 1; }
  echo "== two builds of one commit: the same package, $(wc -c <"$deb") bytes =="
fi
[ "$(id -u)" = 0 ] || { echo "package check: FAILED: needs root (chroot and mounts)"; exit 1; }

case $(readlink -m "$root") in / | /usr | /var | /tmp | /root | /home) fail_early=1 ;; *) fail_early= ;; esac
[ -z "$fail_early" ] || { echo "package check: FAILED: $root is no scratch root"; exit 1; }
if [ -n "$base" ]; then
  [ -x "$base/bin/sh" ] || { echo "package check: FAILED: $base is no root"; exit 1; }
  rm -rf "$root"
  cp -a "$base" "$root"
fi
root=$(readlink -f "$root")
[ -x "$root/bin/sh" ] || { echo "package check: FAILED: $root is no root"; exit 1; }

mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM
bind() {
  mkdir -p "$root$1"
  mount --bind "$1" "$root$1"
  mounted+=("$root$1")
}
mkdir -p "$root/proc" "$root/sys"
mount -t proc proc "$root/proc" && mounted+=("$root/proc")
mount -t sysfs sysfs "$root/sys" && mounted+=("$root/sys")
bind /dev
bind /dev/pts

fail() {
  echo "package check: FAILED: $*"
  exit 1
}
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
  DEBIAN_FRONTEND=noninteractive "$@"; }
# Every file of the root but what changes by itself (package lists and caches, logs, the package database,
# and ucf's: lintian's libraries keep ucf installed, and it keeps a backup of its hash list at every change).
snapshot() {
  in_root find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp \
    -o -path /var/cache -o -path /var/lib/apt -o -path /var/lib/dpkg -o -path /var/lib/ucf -o -path /var/log \
    -o -path /var/lib/systemd/deb-systemd-helper-enabled -o -path /root \) -prune -o -print | LC_ALL=C sort
}

cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
work=/tmp/package-check
rm -rf "${root:?}$work"
mkdir -p "$root$work"
cp "$deb" "$root$work/"
debname=$(basename "$deb")
version=$(dpkg-deb -f "$deb" Version)

echo "== the root's own tools: package lists, man-db (to read the pages) and lintian =="
in_root apt-get update -qq || fail "apt-get update in the root"
in_root apt-get install -y -qq --no-install-recommends man-db lintian >/dev/null || fail "installing man-db and lintian"
snapshot >"$root$work/../files-before"

echo "== lintian $debname: no error, no warning =="
# As an ordinary user, as a packager runs it (lintian warns about root). Its note on stderr stays out of the
# tag list.
lint=$(in_root setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME=/tmp \
  lintian --fail-on error,warning "$work/$debname" 2>/dev/null) || lint_status=$?
[ -z "$lint" ] || echo "$lint"
[ "${lint_status:-0}" = 0 ] || fail "lintian reports errors or warnings on $debname"

echo "== apt-get install ./$debname =="
in_root sh -c "cd $work && apt-get install -y -qq --no-install-recommends ./$debname" >"$root$work/install.log" 2>&1 ||
  { tail -20 "$root$work/install.log"; fail "apt-get install ./$debname"; }
in_root dpkg -L brae-update >"$root$work/../package-files"
for f in /usr/bin/brae-update /usr/bin/brae-ports /usr/bin/brae-indicator-sim \
  /usr/share/man/man1/brae-update.1.gz /usr/share/man/man1/brae-ports.1.gz \
  /usr/share/man/man1/brae-indicator-sim.1.gz /usr/share/applications/brae-update.desktop \
  /usr/share/icons/hicolor/scalable/apps/brae-update.svg /usr/share/doc/brae-update/README.md \
  /usr/share/doc/brae-update/changelog.gz /usr/share/doc/brae-update/copyright; do
  [ -e "$root$f" ] || fail "$f is not installed"
done
programs=$(grep '^/usr/bin/.' "$root/tmp/package-files" | sort | tr '\n' ' ')
[ "$programs" = "/usr/bin/brae-indicator-sim /usr/bin/brae-ports /usr/bin/brae-update " ] ||
  fail "the package's programs are $programs, not the three"
in_root dpkg-query -W -f='${Version}' brae-update | grep -qx "$version" || fail "installed version is not $version"

echo "== brae-update --version says $version =="
# An empty port directory: a program that took --version for an unknown argument must not reach a real port.
mkdir -p "$root$work/noports"
out=$(in_root env BRAE_CONSOLE=1 BRAE_PORT_DIR=$work/noports BRAE_LOG_DIR=$work/logs timeout 20 \
  brae-update --version 2>&1 | head -1) || true
case "$out" in
  "brae-update $version" | "brae-update $version "*) echo "$out" ;;
  "brae-update "[0-9]*) fail "brae-update --version printed \"$out\", not the package version $version" ;;
  *) echo "note: this brae-update does not print its version yet (\"$out\")" ;;
esac

echo "== the installed brae-update writes a demo updater; it updates the installed simulated indicator =="
"$here/make-demo-payloads.sh" "$root$work" >/dev/null
in_root sh -c "cd $work && BRAE_CONSOLE=1 BRAE_LOG_DIR=$work/logs brae-update /u Demo demo.bin /l demo.s19" \
  >"$root$work/build.log" 2>&1 || { cat "$root$work/build.log"; fail "brae-update /u"; }
[ -x "$root$work/Demo.exe" ] || fail "brae-update /u wrote no Demo.exe"
status=0
in_root sh -c "
  cd $work && mkdir -p ports
  brae-indicator-sim --link $work/ports/com1 --image-out $work/received.bin --exit-after-update \
    --timeout 120000 --transcript $work/indicator.txt &
  sim=\$!
  i=0; while [ ! -L $work/ports/com1 ] && [ \$i -lt 100 ]; do sleep 0.05; i=\$((i + 1)); done
  BRAE_PORT_DIR=$work/ports BRAE_CONSOLE=1 BRAE_LOG_DIR=$work/logs timeout 150 ./Demo.exe >update.log 2>&1
  rc=\$?
  wait \$sim
  exit \$rc" || status=$?
if [ "$status" != 0 ] || ! cmp -s "$root$work/received.bin" "$root$work/demo.bin"; then
  tail -15 "$root$work/update.log" || true
  fail "the update ended with $status, or the indicator's image differs from demo.bin"
fi
echo "updated: $(wc -c <"$root$work/received.bin") bytes, byte-exact"

echo "== man pages =="
for page in brae-update brae-ports brae-indicator-sim; do
  in_root env MANPAGER=cat MANWIDTH=80 man "$page" 2>/dev/null | grep -q "^NAME" || fail "man $page shows no page"
done
in_root env MANPAGER=cat MANWIDTH=80 man brae-update | grep -q "VeltronaUpdateBraeError.TXT" ||
  fail "man brae-update does not tell the log file's place"
in_root brae-ports --json | grep -q '"ports": \[' || fail "brae-ports --json"

echo "== apt-get remove, then purge with what it pulled in: nothing left behind =="
rm -rf "${root:?}$work"
in_root apt-get remove -y -qq brae-update >/dev/null || fail "apt-get remove"
left=$(while read -r f; do if [ -f "$root$f" ] || [ -L "$root$f" ]; then echo "$f"; fi; done <"$root/tmp/package-files")
[ -z "$left" ] || fail "apt-get remove left files behind: $left"
# Nothing of it is left for a purge (no configuration files), so apt no longer knows the name: purge through
# dpkg, then let apt take back what it pulled in.
in_root dpkg --purge brae-update >/dev/null 2>&1 || fail "dpkg --purge"
in_root dpkg-query -W brae-update >/dev/null 2>&1 && fail "brae-update is still known to dpkg after the purge"
in_root apt-get autoremove --purge -y -qq >/dev/null || fail "apt-get autoremove --purge"
snapshot >"$root/tmp/files-after"
if ! diff -u "$root/tmp/files-before" "$root/tmp/files-after" >"$root/tmp/files-diff"; then
  head -40 "$root/tmp/files-diff"
  fail "the root's files differ from before the install"
fi
echo "package check: passed"
