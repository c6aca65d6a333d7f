#!/usr/bin/env bash
# Installs what building and testing the bootstrapper needs on a Debian 12 machine:
# the mingw-w64 cross compilers, Wine (32- and 64-bit) with its Windows Installer, wixl and
# msitools for packages, osslsigncode and openssl for Authenticode (with SoftHSM2 and OpenSSL's
# PKCS#11 engine, to sign with a key in a token), Xvfb for windows, and the host tools (cmake,
# g++, clang, GoogleTest). Quick when everything is already there.
set -euo pipefail

packages=(
  cmake g++ make python3 clang libclang-rt-14-dev llvm googletest libgtest-dev
  g++-mingw-w64-i686 mingw-w64-tools
  wine wine32:i386 wine64
  wixl msitools osslsigncode openssl softhsm2 libengine-pkcs11-openssl
  xvfb xauth x11-utils
)

missing=()
for p in "${packages[@]}"; do
  name=${p%%:*}
  arch=${p#*:}; [ "$arch" = "$p" ] && arch=""
  query=$name; [ -n "$arch" ] && query="$name:$arch"
  if ! dpkg-query -W -f='${Status}' "$query" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "setup-machine: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
