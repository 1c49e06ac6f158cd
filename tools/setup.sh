#!/usr/bin/env bash
# Installs what this project needs on a Debian machine, only what is missing.
# Safe to run again and again.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
          mingw-w64 g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
          wine wine64 wine32:i386 fonts-wine xvfb xdotool imagemagick python3 procps
          libctapimkt1:amd64 libctapimkt1:i386
          osslsigncode openssl unzip libengine-pkcs11-openssl
          python3-pefile python3-asn1crypto python3-cryptography)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
elif [[ ${need_update:-0} == 1 ]]; then
  apt-get update -qq
fi
