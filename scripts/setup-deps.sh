#!/bin/sh
# Installs the Debian packages the build needs (or the packages named on the command line),
# only those that are missing.
set -e
PKGS="cmake g++ make pkg-config libembree-dev libtbb-dev libopenimageio-dev openimageio-tools \
libopenexr-dev openexr libimath-dev libgtest-dev libgmock-dev libbenchmark-dev libtinyobjloader-dev \
libcli11-dev libnanoflann-dev libcpp-httplib-dev"
[ $# -gt 0 ] && PKGS="$*"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
