#!/usr/bin/env bash
# Debian packages that building and testing vexil needs.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y cmake make g++ pkg-config libtinyxml2-dev libusb-1.0-0-dev libgtest-dev libgmock-dev
# The USB tests: umockdev emulates the USB devices for the real libusb; dfu-util is the reference DFU
# host, and its dfu-suffix makes the suffixed files of the DFU tests.
$SUDO apt-get install -y umockdev libumockdev-dev dfu-util
# The tests of a read's output rights set and show POSIX ACLs with setfacl and getfacl.
$SUDO apt-get install -y acl
