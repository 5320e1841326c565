#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Idempotent: does nothing when
# everything is already there. Runs as root or through sudo.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-dev pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev ffmpeg
  libimgui-dev libglfw3-dev libgl-dev libstb-dev libfontconfig-dev libicu-dev
  fonts-liberation2 fonts-dejavu-core xvfb xauth xdotool zenity xdg-utils espeak-ng sox aubio-tools
  libpipewire-0.3-dev pipewire pipewire-bin wireplumber dbus
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
