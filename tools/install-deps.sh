#!/usr/bin/env bash
# Installs the Debian packages that building and testing qernx need, and only
# those that are missing (so a machine that has them needs no network).
set -euo pipefail

packages=(
  g++ make binutils pkg-config
  libcurl4-openssl-dev zlib1g-dev libgtest-dev
  clang-format clang-14 libclang-rt-14-dev
  python3-dev python3-dbg python3-venv
  openssl util-linux mount
  redis-server
  nghttp2-server
  nghttp2-client
  tinyproxy
  prometheus
  nginx-light
  systemd
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages and not root: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
