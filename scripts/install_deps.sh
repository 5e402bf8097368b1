#!/usr/bin/env bash
# Installs everything Quoralith needs to build, test and benchmark on Debian 12:
# compilers with the sanitizer and fuzzer runtimes, the lld linker, CMake and Ninja, GoogleTest, Google Benchmark, CLI11, xxHash, Python,
# libzstd and liblzma (the compact delta format's compressors), Qt 6, OpenSSL (the mail client's encryption), QtKeychain (the mail password in the desktop's secret store),
# the SMTP server (aiosmtpd) that the mail tests send to on loopback, and the tools that make and check
# the Debian package and its desktop files. Runs apt-get as root, through sudo when started by another user.
set -euo pipefail

packages=(
  build-essential cmake ninja-build clang libclang-rt-dev pkg-config
  lld libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libxxhash-dev python3
  qt6-base-dev qt6-multimedia-dev python3-aiosmtpd libssl-dev qtkeychain-qt6-dev
  dpkg-dev appstream desktop-file-utils libxml2-utils
  libzstd-dev liblzma-dev
)

if [ "$(id -u)" -ne 0 ]; then
  exec sudo "$0" "$@"
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# With recommended packages: clang's sanitizer runtimes and Qt's fonts come that way.
apt-get install -y -q "${packages[@]}"
