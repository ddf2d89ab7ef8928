#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the local services need.
# Idempotent: does nothing (no apt-get update either) when all packages are present.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache
  qtbase5-dev qtbase5-dev-tools libqt5websockets5-dev
  libqt5sql5-mysql libqt5sql5-sqlite
  mariadb-server mariadb-client
  p7zip-full unzip zip
  xvfb xauth x11-utils x11-apps imagemagick fonts-dejavu-core
  iproute2 util-linux procps openssl xdotool
  g++-mingw-w64-x86-64-posix wine64
  libssl-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: done"
