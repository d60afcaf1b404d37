#!/usr/bin/env bash
# Installs the Debian 12 packages Pelloran needs to build, run and test.
# Quick no-op when everything is already present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config googletest libgtest-dev
  libwxgtk3.2-dev
  gsoap libgsoap-dev libssl-dev zlib1g-dev
  libcurl4-openssl-dev uuid-dev libacl1-dev
  xvfb xauth xdotool imagemagick xclip dbus dbus-x11 at-spi2-core python3-pyatspi
  tinyproxy postgresql-15 openssl acl attr util-linux libcap2-bin
  dpkg-dev file ccache strace
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
# tinyproxy's package starts a system daemon on port 8888; tests run their own.
if command -v systemctl >/dev/null 2>&1; then
  "${sudo_cmd[@]}" systemctl disable --now tinyproxy >/dev/null 2>&1 || true
fi
"${sudo_cmd[@]}" pkill -x tinyproxy 2>/dev/null || true
