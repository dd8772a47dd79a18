#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, only when something is missing (safe to run again).
# fonts-dejavu-extra brings DejaVu Sans Condensed, the face the windows are designed in (app/Fonts.h).
# nlohmann-json3-dev is for the tests only: they read the JSON console back with a parser of its own.
# jq too: the test of the script recipe in docs/usage.md runs it as written, and it is written with jq.
# file is what the package build (CPack, dpkg-shlibdeps) reads the programs with.
#   scripts/setup.sh          everything the builds and tests need
#   scripts/setup.sh --demo   only what the demo builds and runs: the Linux program and the simulated indicator
set -euo pipefail
# The demo's part: the compiler, the build tools, Qt (the program) and libgcrypt (SHA-256 of the payloads).
packages=(build-essential cmake ninja-build pkg-config qt6-base-dev libgcrypt20-dev)
if [ "${1:-}" != --demo ]; then
  packages+=(qt6-qpa-plugins libgtest-dev googletest nlohmann-json3-dev jq clang libclang-rt-14-dev fonts-dejavu-extra
    file)
  packages+=(mingw-w64 g++-mingw-w64-x86-64-posix wine wine64)  # the Windows build, its tests under Wine
  packages+=(xvfb xauth)  # an X display for Wine to draw the Windows window on, to photograph it
  packages+=(ser2net)  # a real device server for the remote-line tests (rfc2217://HOST:PORT)
  packages+=(osslsigncode openssl)  # signing the Windows program and a copy, in its test
  # The browser's tests: headless Chromium driven through chromedriver; Node runs the bridge from the page's
  # stand-in serial ports to the simulator's ptys, and the WebDriver client (tools/web-bridge).
  packages+=(chromium chromium-driver nodejs)
  packages+=(emscripten)  # the page's build (the web preset): WebAssembly, with its prebuilt system libraries
  # A Node from another source brings its own npm, which Debian's npm package would conflict with.
  command -v npm >/dev/null || packages+=(npm)
fi
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
# The browser tests' one npm package (ws, the bridge's WebSocket server) at the versions of their lock file, into
# tools/web-bridge/node_modules; again when the lock file is newer than what was installed.
web="$(dirname "$0")/../tools/web-bridge"
if [ "${1:-}" != --demo ] && { [ ! -f "$web/node_modules/.package-lock.json" ] ||
  [ "$web/package-lock.json" -nt "$web/node_modules/.package-lock.json" ]; }; then
  echo "Installing the web tests' npm packages"
  (cd "$web" && npm ci --no-audit --no-fund --loglevel=error)
fi
