#!/usr/bin/env bash
# Debian packages that building and testing vexil needs. Only those that are missing are installed, so
# that a user without root or sudo runs the README's commands on a machine that has them all.
set -euo pipefail
# The USB tests: umockdev emulates the USB devices for the real libusb; dfu-util is the reference DFU
# host, and its dfu-suffix makes the suffixed files of the DFU tests. The tests of a read's output
# rights set and show POSIX ACLs with acl's setfacl and getfacl.
packages=(cmake make g++ pkg-config libtinyxml2-dev libusb-1.0-0-dev libgtest-dev libgmock-dev
          umockdev libumockdev-dev dfu-util acl)
missing=()
for package in "${packages[@]}"; do
    status="$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)"
    case "$status" in
        *" ok installed") ;;
        *) missing+=("$package") ;;
    esac
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: every package vexil needs is installed"
    exit 0
fi
# Whatever stops the install (no root and no sudo, sudo refused or wanting a password nobody can type,
# apt-get failing), the last line says what is missing and how to install it.
cannot_install() {
    echo "install-deps: missing packages: ${missing[*]}; install them as root with: apt-get install ${missing[*]}" >&2
    exit 1
}
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || cannot_install
    # sudo may ask for a password only of a user at a terminal; elsewhere it must not wait for one.
    SUDO="sudo -n"
    if [ -t 0 ]; then
        SUDO=sudo
    fi
fi
export DEBIAN_FRONTEND=noninteractive
{ $SUDO apt-get update && $SUDO apt-get install -y "${missing[@]}"; } || cannot_install
