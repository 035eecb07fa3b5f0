#!/usr/bin/env bash
# Installs the Debian packages the project needs to build, test and run,
# when any of them is missing.
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config clang-format clang-tidy libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev sqlite3 libpq-dev postgresql libsystemd-dev systemd libssl-dev libcli11-dev nlohmann-json3-dev
  libutfcpp-dev libmicrohttpd-dev libcurl4-openssl-dev curl python3 libnet-smpp-perl abigail-tools clang libclang-rt-14-dev openssl gammu)
# Kannel (bearerbox, smsbox) binds to velquor-smppd in its tests, and is the
# peer of bench/kannel_compare.sh.
packages+=(kannel)
# Building and checking the Debian packages (scripts/package.sh).
packages+=(debhelper lintian scdoc man-db)
# The web console's browser tests drive Debian's chromium (tests/console).
packages+=(chromium)
# Gammu is an AT client the modem emulator's tests talk through.
# Node.js runs the test SMS centre (tests/smsc) and the modem emulator
# (tests/modem): the machine's own when there is one, else Debian's (whose
# npm is a package of its own).
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
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

# The npm package smpp of the test SMS centre, exactly as locked.
smsc_dir="$(cd "$(dirname "$0")/.." && pwd)/tests/smsc"
smpp_version=$(node -p "require('$smsc_dir/node_modules/smpp/package.json').version" 2>/dev/null || true)
if [ "$smpp_version" != "0.5.1" ]; then
  echo "installing the npm package smpp into tests/smsc"
  (cd "$smsc_dir" && npm ci --no-audit --no-fund --loglevel=error)
fi

# The npm package node-pdu of the modem emulator, exactly as locked.
modem_dir="$(cd "$(dirname "$0")/.." && pwd)/tests/modem"
pdu_version=$(node -p "require('$modem_dir/node_modules/node-pdu/package.json').version" 2>/dev/null || true)
if [ "$pdu_version" != "2.1.1" ]; then
  echo "installing the npm package node-pdu into tests/modem"
  (cd "$modem_dir" && npm ci --no-audit --no-fund --loglevel=error)
fi

# The OpenAPI parser and JSON Schema validator of velquor-http's document
# check, exactly as locked.
http_dir="$(cd "$(dirname "$0")/.." && pwd)/tests/http"
parser_version=$(node -p "require('$http_dir/node_modules/@apidevtools/swagger-parser/package.json').version" 2>/dev/null || true)
if [ "$parser_version" != "12.1.0" ]; then
  echo "installing the npm packages of the OpenAPI check into tests/http"
  (cd "$http_dir" && npm ci --no-audit --no-fund --loglevel=error)
fi

# playwright-core of the web console's browser tests, exactly as locked. It
# drives Debian's chromium (/usr/bin/chromium) and downloads no browser.
console_dir="$(cd "$(dirname "$0")/.." && pwd)/tests/console"
playwright_version=$(node -p "require('$console_dir/node_modules/playwright-core/package.json').version" 2>/dev/null || true)
if [ "$playwright_version" != "1.65.1" ]; then
  echo "installing the npm package playwright-core into tests/console"
  (cd "$console_dir" && npm ci --no-audit --no-fund --loglevel=error)
fi
