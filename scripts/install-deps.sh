#!/bin/sh
# Installs the Debian 12 packages that building, testing and screenshots need,
# and only those that are missing. Extra package names may be passed as arguments.
set -eu
PACKAGES="cmake ninja-build g++ make pkg-config qt6-base-dev qt6-qpa-plugins libqt6svg6 qt6-translations-l10n
libusb-1.0-0-dev libgtest-dev libgmock-dev fonts-wqy-microhei fonts-comic-neue xvfb xauth x11-utils desktop-file-utils $*"
missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing:$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
