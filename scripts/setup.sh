#!/usr/bin/env bash
# Installs what building, running and testing OrvexTerm need on a Debian machine.
# Only missing packages are installed; that needs root.
set -euo pipefail

packages=(build-essential cmake libpcap-dev libgtest-dev libgmock-dev iproute2 procps
          python3 python3-pytest python3-pexpect tshark
          dpkg-dev libcap2-bin man-db mandoc bash-completion  # the package, its manual pages and completion
          clang-14 libclang-rt-14-dev llvm-14)  # the fuzz targets: libFuzzer, and symbols in its reports

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "These packages are missing: ${missing[*]}" >&2
    echo "Run this script as root to install them." >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
