#!/bin/sh
# Installs every Debian 12 package that building, testing and running orv needs.
# Idempotent: packages already present are left alone. Run as root.
set -eu

PACKAGES="
  cmake make g++ gcc pkg-config
  libboost-dev libboost-thread-dev libboost-filesystem-dev libboost-system-dev libboost-date-time-dev
  libboost-program-options-dev libsystemd-dev systemd
  haproxy prometheus
  libgoogle-glog-dev libmongoclient-dev libcap-dev
  libgtest-dev libgmock-dev
  clang libclang-rt-14-dev
  python3 python3-pip python3-setuptools python3-wheel git util-linux procps apache2-utils curl
  scdoc man-db groff-base lintian dpkg-dev fakeroot file binutils
"

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

if [ -n "$missing" ]; then
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
fi
