#!/usr/bin/env bash
# Installs tftpd-hpa and atftp for the TFTP row of orvex-bench-transfer: the
# transfer a user would otherwise pick, on the same link. The benchmark runs
# the server itself, in the foreground inside its own namespace; the daemon the
# package would start is kept from starting (or stopped again). Needs root.
# Neither the build nor the tests need these packages.
set -euo pipefail

packages=(tftpd-hpa atftp)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "These packages are missing: ${missing[*]}; run this script as root to install them." >&2
  exit 1
fi

# No service is started by the installation: a policy that refuses every
# start, in place only while apt runs (an existing policy is left alone).
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  made_policy=1
fi
trap '[ "$made_policy" = 1 ] && rm -f "$policy"' EXIT

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# Where an init system started it anyway, the daemon is stopped again.
if command -v systemctl >/dev/null && systemctl is-active --quiet tftpd-hpa 2>/dev/null; then
  systemctl disable --now tftpd-hpa >/dev/null 2>&1 || true
elif [ -x /etc/init.d/tftpd-hpa ]; then
  /etc/init.d/tftpd-hpa stop >/dev/null 2>&1 || true
fi
