#!/usr/bin/env bash
# Installs the Debian 12 packages Pelloran needs. Quick no-op when everything is present.
#
#   install-deps.sh run      what building and running the wizard and the service need
#   install-deps.sh          that, and what the tests need (a PostgreSQL server, a proxy, ...)
#   ... --list               prints the packages instead of installing them
#   ... PACKAGE...           further packages (the Windows cross build names its own)
set -euo pipefail

run_packages=(
  build-essential cmake pkg-config
  libwxgtk3.2-dev libx11-dev libgtk-3-dev
  gsoap libgsoap-dev libssl-dev zlib1g-dev
  libcurl4-openssl-dev uuid-dev libacl1-dev libhiredis-dev
  imagemagick openssl util-linux xdotool
)
test_packages=(
  googletest libgtest-dev
  xvfb xauth xclip dbus dbus-x11 at-spi2-core python3-pyatspi
  tinyproxy postgresql-15 acl attr libcap2-bin pkexec polkitd
  dpkg-dev file ccache strace nginx-light wrk redis-server haproxy tmux mmdebstrap
  clang libclang-rt-14-dev
)

packages=("${run_packages[@]}" "${test_packages[@]}")
further=()
list=false
for argument in "$@"; do
  case "$argument" in
    run) packages=("${run_packages[@]}") ;;
    --list) list=true ;;
    -*) echo "install-deps.sh: unknown option '$argument'" >&2; exit 2 ;;
    *) further+=("$argument") ;;
  esac
done
packages+=("${further[@]}")
if $list; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

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
# tinyproxy's package starts a system daemon on port 8888, nginx's one on port 80,
# redis-server's one on port 6379 and haproxy's one, which the tests and benchmarks do not want
# (they run their own). Only a daemon this step brought is stopped: one the user already ran
# stays as it is.
for daemon in tinyproxy nginx redis-server haproxy; do
  [[ " ${missing[*]} " == *" $daemon"* ]] || continue
  if [[ -d /run/systemd/system ]]; then
    "${sudo_cmd[@]}" systemctl disable --now "$daemon" >/dev/null 2>&1 || true
  else
    "${sudo_cmd[@]}" invoke-rc.d "$daemon" stop >/dev/null 2>&1 || true
    "${sudo_cmd[@]}" update-rc.d "$daemon" disable >/dev/null 2>&1 || true
  fi
done
