#!/bin/sh
# Builds the Debian package: configures and builds a tree of its own with
# Debian's layout and flags (no tests), then runs CPack. The packages land in
# OUT_DIR: orv_VERSION_ARCH.deb and orv-dbgsym_VERSION_ARCH.ddeb.
# Usage: scripts/package.sh [--build-only | --pack-only] [OUT_DIR] (default: build)
# ORV_PACKAGE_BUILD_DIR chooses the packaging tree (default: build-package).
# ORV_BUILD_TESTS=ON builds the test suite in it too: scripts/test.sh runs
# the suite there with --build-only, and the suite's package test packs
# the programs it tested with --pack-only.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
steps="build pack"
case ${1:-} in
    --build-only) steps=build; shift ;;
    --pack-only) steps=pack; shift ;;
esac
out=${1:-"$root/build"}
tree=${ORV_PACKAGE_BUILD_DIR:-"$root/build-package"}

case $steps in *build*)
    # From the source root, so that the debug information names files
    # relative to it (dpkg-buildflags maps the current directory to ".").
    cd "$root"
    # Debian's hardening flags: stack protector, fortified functions, full RELRO.
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    flags() { dpkg-buildflags --get "$1"; }
    cmake -S "$root" -B "$tree" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_BUILD_TESTS="${ORV_BUILD_TESTS:-OFF}" \
        -DORV_DEB_PACKAGE=ON -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBEXECDIR=lib \
        -DORV_SYSTEMD_UNIT_DIR=/lib/systemd/system \
        -DCMAKE_C_FLAGS="$(flags CPPFLAGS) $(flags CFLAGS)" \
        -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
        -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
    cmake --build "$tree" -j "$(nproc)"
esac
case $steps in *pack*) ;; *) exit 0 ;; esac

# A file left from an earlier build would look like this build's.
rm -f "$tree"/orv_*.deb "$tree"/orv-dbgsym_*.ddeb
(cd "$tree" && cpack -G DEB >/dev/null)

# CPack writes the dbgsym package's md5sums with the staging directory's
# absolute paths, and gives it no documentation directory: rebuild it with
# its own md5sums, /usr/share/doc/orv-dbgsym linked to orv's, and the debug
# files not executable.
for ddeb in "$tree"/orv-dbgsym_*.ddeb; do
    [ -e "$ddeb" ] || continue
    unpacked="$tree/dbgsym-unpacked"
    rm -rf "$unpacked"
    dpkg-deb -R "$ddeb" "$unpacked"
    mkdir -p "$unpacked/usr/share/doc"
    ln -s orv "$unpacked/usr/share/doc/orv-dbgsym"
    find "$unpacked/usr/lib/debug" -type f -exec chmod 0644 {} +
    (cd "$unpacked" && find usr -type f -print0 | sort -z | xargs -0 md5sum > DEBIAN/md5sums)
    dpkg-deb --root-owner-group -Zxz -b "$unpacked" "$ddeb" >/dev/null
    rm -rf "$unpacked"
done

mkdir -p "$out"
for package in "$tree"/orv_*.deb "$tree"/orv-dbgsym_*.ddeb; do
    [ -e "$package" ] || continue
    [ "$out/$(basename "$package")" -ef "$package" ] || cp "$package" "$out/"
    echo "$out/$(basename "$package")"
done
