#!/usr/bin/env bash
# Installs every Debian package that building, running and testing need.
# Idempotent: packages already present are not fetched again.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build ccache pkg-config git openssl clang-format clang
  libsqlite3-dev libssl-dev libzmq3-dev libprotobuf-dev protobuf-compiler
  libfmt-dev libasio-dev libcurl4-openssl-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libavahi-compat-libdnssd-dev avahi-daemon dbus
  iproute2 coreutils util-linux rsync python3 python3-zmq jq
  exfat-fuse exfatprogs ntfs-3g
  qt6-base-dev libgl-dev xvfb xauth trayer fonts-wqy-microhei imagemagick xdotool dbus-x11
  qt6-translations-l10n
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
