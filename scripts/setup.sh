#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, only when something is missing (safe to run again).
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config qt6-base-dev qt6-qpa-plugins libgtest-dev googletest
  libbenchmark-dev nlohmann-json3-dev clang libclang-rt-14-dev xvfb xauth)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
