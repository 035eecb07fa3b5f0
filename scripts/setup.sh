#!/usr/bin/env bash
# Installs the Debian packages the project needs to build, test and run,
# when any of them is missing.
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config clang-format libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev sqlite3 libpq-dev postgresql libsystemd-dev systemd libssl-dev libcli11-dev nlohmann-json3-dev
  libutfcpp-dev abigail-tools)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
