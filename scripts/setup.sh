#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine. Needs root (or sudo).
set -euo pipefail
want_wine=1
[[ "${1:-}" == "--no-wine" ]] && want_wine=0

SUDO=""
if [[ $(id -u) -ne 0 ]]; then
    if command -v sudo >/dev/null; then SUDO=sudo; else
        echo "setup.sh: run as root (or install sudo) so that apt-get can install packages" >&2
        exit 1
    fi
fi

packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev python3 diffutils
          clang-14 libclang-rt-14-dev chromium
          pkg-config libhivex-dev libcreg-dev libbfio-dev libssl-dev reglookup libcreg-utils
          xz-utils)
if [[ $want_wine -eq 1 ]]; then
    packages+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64-win32 googletest wine wine32 wine64 xvfb xdotool
               locales)
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $SUDO dpkg --add-architecture i386
    fi
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# wine32 is an i386 package; dpkg-query needs its architecture spelled out.
if [[ $want_wine -eq 1 ]] && ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
    missing+=(wine32:i386)
fi
if [[ ${#missing[@]} -gt 0 ]]; then
    echo "setup.sh: installing ${missing[*]}"
    $SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
fi

# Wine takes a machine's ANSI code page from the locale's language: the Wine images in 1251 and
# 932 run under these, with English dialogs (en_US).
if [[ $want_wine -eq 1 ]]; then
    for l in en_US ru_RU ja_JP; do
        locale -a | grep -qix "$l.utf-\?8" || $SUDO localedef -i "$l" -f UTF-8 "$l.UTF-8"
    done
fi
