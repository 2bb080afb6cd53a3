#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and those named as arguments (the
# Windows build adds its cross compiler and Wine); does nothing when all are present.
set -euo pipefail

packages=(build-essential cmake ninja-build nlohmann-json3-dev libgtest-dev libgmock-dev)
# The schema agreement test validates with Debian's jsonschema.
packages+=(python3-jsonschema)
# The station serves its page with cpp-httplib, found through pkg-config.
packages+=(pkg-config libcpp-httplib-dev)
# Delivery of datalogs to URLs (libcurl) and their export as compressed tables (zlib).
packages+=(libcurl4-openssl-dev zlib1g-dev)
# Password hashes, digests and random session ids (libgcrypt); the station's TLS (OpenSSL), whose
# command line makes the TLS test's certificate.
packages+=(libgcrypt20-dev libssl-dev openssl)
packages+=("$@")

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
