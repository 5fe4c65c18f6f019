#!/usr/bin/env bash
# Installs the Debian packages Ravelin needs to build, run and test, and only
# those that are missing, so a second run costs a dpkg query and nothing else.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config
  # run
  qt6-base-dev libpcap-dev fonts-wqy-microhei libcap2-bin
  # test and benchmark
  libgtest-dev libgmock-dev libbenchmark-dev python3 curl tshark tcpdump
  xvfb xauth iproute2 clang libclang-rt-14-dev clang-format clang-tidy
  # bench/browser_load.py
  chromium
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
# tshark asks whether non-root users may capture; answer with the default.
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
