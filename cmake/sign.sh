#!/bin/sh
# Signs a PE file or a Windows Installer package in place: sign.sh FILE CHAIN.pem KEY.pem
set -e
file=$1
chain=$2
key=$3
rm -f "$file.signing"
osslsigncode sign -certs "$chain" -key "$key" -h sha256 -n "Windows Installer Wrapper" \
  -in "$file" -out "$file.signing" >/dev/null
chmod +x "$file.signing"
mv -f "$file.signing" "$file"
