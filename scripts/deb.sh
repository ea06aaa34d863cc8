#!/usr/bin/env bash
# deb.sh: builds the Debian packages from debian/ in build-deb, checks them with lintian (an
# error fails the step) and installs them into a scratch root to report an event from there
# (tests/packaging/deb_install_test.sh).
#
#   bash scripts/deb.sh             # build-deb under the source root
#   KX_DEB_BUILD_DIR=/tmp/deb bash scripts/deb.sh
#
# The packages are built from a copy of the sources git knows (tracked or not ignored) in build-deb/src, so the source tree
# stays clean and dpkg-buildpackage's results land in build-deb. The copy keeps the files' times
# and its CMake build directory is kept between runs, so an unchanged source is not compiled
# again.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root="$(pwd)"
out="${KX_DEB_BUILD_DIR:-$root/build-deb}"
src="$out/src"
jobs="${KX_JOBS:-2}"

mkdir -p "$src"
find "$src" -mindepth 1 -maxdepth 1 ! -name 'obj-*' -exec rm -rf {} +
git -C "$root" ls-files -z --cached --others --exclude-standard | tar -C "$root" --null --ignore-failed-read -T - -cf - | tar -xf - -C "$src"
rm -f "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo

(cd "$src" && DEB_BUILD_OPTIONS="parallel=$jobs nocheck" dpkg-buildpackage -b -nc --no-sign)

changes=("$out"/kxevent_*_"$(dpkg --print-architecture)".changes)
lintian --fail-on error --tag-display-limit 0 "${changes[@]}"

bash "$root/tests/packaging/deb_install_test.sh" "$out"
