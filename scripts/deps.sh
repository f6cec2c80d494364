#!/usr/bin/env bash
# Installs what building (and, with --test, testing) Kinovo needs on Debian 12.
set -eu
build_pkgs=(build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-wayland libx11-dev libxfixes-dev libgl-dev
  libturbojpeg0-dev libjpeg62-turbo-dev libswscale-dev libyuv-dev libavformat-dev libavcodec-dev libavutil-dev
  libpulse-dev libgtest-dev libgmock-dev
  fonts-liberation fonts-dejavu-core)
test_pkgs=(xvfb openbox xcompmgr xdotool wmctrl imagemagick x11-utils x11-xserver-utils
  pulseaudio pulseaudio-utils ffmpeg v4l-utils desktop-file-utils appstream dbus-daemon dbus-bin python3
  weston)

pkgs=("${build_pkgs[@]}")
[ "${1:-}" = "--test" ] && pkgs+=("${test_pkgs[@]}")

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
