#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, skipping what is there.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    zlib1g-dev libsystemd-dev libssl-dev
    libgtest-dev libgmock-dev
    clang libclang-rt-14-dev
    iproute2 nftables curl python3 python3-pytest python3-h11 python3-websockets util-linux procps
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if ((${#missing[@]} > 0)); then
    echo "Installing: ${missing[*]}"
    SUDO=""
    if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
