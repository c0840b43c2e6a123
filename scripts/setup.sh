#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing, the demo and the
# benchmarks need. Installs only what is missing, so a second run is quick.
# The desktop presenter's tests start their own Xvfb, dbus-daemon and dunst;
# scripts/screenshot.sh also uses busctl and imagemagick. The gateway's tests drive it
# with curl, h2load and @parse/node-apn (npm ci installs it into the build tree).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-14 libclang-rt-14-dev
  clang-format-14 clang-tools-14 binutils file
  libcurl4-openssl-dev nettle-dev liburiparser-dev nlohmann-json3-dev
  libplist-dev libplist-utils libblocksruntime-dev
  libgtest-dev libcpp-httplib-dev libbenchmark-dev zlib1g-dev
  imagemagick webp ffmpeg sox
  python3 curl
  nginx-light tinyproxy openssl
  libsystemd-dev libffmpegthumbnailer-dev
  libnghttp2-dev libssl-dev nghttp2-client nghttp2-server nodejs
  dbus-daemon dbus-bin xvfb dunst imagemagick fonts-dejavu-core systemd
)
# Node's own build (20, from its vendor) carries npm; Debian's nodejs has it as a package.
command -v npm >/dev/null 2>&1 || packages+=(npm)
if [ "${1:-}" = "--bench" ]; then
  packages+=(gnuplot-nox hyperfine time)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]}; run as root to install them" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
