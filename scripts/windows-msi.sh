#!/usr/bin/env bash
# windows-msi.sh: builds the Windows installer package of a Windows build directory with wixl
# (Debian's msitools and wixl):
#
#   bash scripts/windows-msi.sh build-mingw32     # -> build-mingw32/msi/kxevent-1.0.0-x86.msi
#   bash scripts/windows-msi.sh build-mingw64     # -> build-mingw64/msi/kxevent-1.0.0-x64.msi
#
# The build directory must be built (cmake --build). The script installs it into a staging
# directory of its own under <build>/msi (cmake --install: the stripped modules and the
# licence), runs wixl on
# <build>/msi/kxevent.wxs (configured by packaging/windows/CMakeLists.txt, the registry made
# from config/default.reg), gives the forwarding component its condition, which wixl cannot
# write, and refuses a package in which any table still holds a @PLACEHOLDER@. The package is
# put in place whole (runs at the same time do not disturb each other); the path is printed.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root="$(pwd)"
source scripts/setup.sh
kx_ensure_packages msitools wixl || exit 1

build="${1:?usage: windows-msi.sh BUILD_DIR}"
build="$(cd "$build" && pwd)"
msi_dir="$build/msi"
if [ ! -f "$msi_dir/package.env" ] || [ ! -f "$msi_dir/registry_defaults.wxi" ]; then
    echo "error: $build is not a built Windows build directory (no msi/package.env or" \
        "msi/registry_defaults.wxi); configure it with a cmake/toolchains/mingw-*.cmake and build it" >&2
    exit 1
fi
source "$msi_dir/package.env"
package="$msi_dir/kxevent-$KX_MSI_VERSION-$KX_MSI_ARCH.msi"

stage="$(mktemp -d "$msi_dir/stage.XXXXXX")"
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage/root" >"$stage/install.log" || {
    cat "$stage/install.log" >&2
    exit 1
}
cp "$build/packaging/windows/KXSetupActions.dll" "$stage/root/"
new="$stage/package.msi"
# wixl reads the files relative to the working directory; it and msibuild write scratch copies
# of the Binary table there.
cd "$stage/root"
wixl -a "$KX_MSI_ARCH" -I "$msi_dir" -o "$new" "$msi_dir/kxevent.wxs"
# What wixl cannot say: the forwarding component's condition (a syslog host given; and at
# uninstall, where the host is not given again, the component must still be taken away), and the
# public properties the installer passes on to its elevated part.
secure="$(msiinfo export "$new" Property | awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }')"
msibuild "$new" -q \
    "UPDATE \`Component\` SET \`Condition\` = 'SYSLOGHOST OR REMOVE~=\"ALL\"' WHERE \`Component\` = 'SyslogForwarding'"
msibuild "$new" -q \
    "UPDATE \`Property\` SET \`Value\` = '${secure:+$secure;}SYSLOGHOST;SYSLOGTRANSPORT;SYSLOGPORT' WHERE \`Property\` = 'SecureCustomProperties'"

for table in $(msiinfo tables "$new"); do
    case "$table" in _*) continue ;; esac
    if msiinfo export "$new" "$table" | grep -E '@[A-Za-z_]+@' >&2; then
        echo "error: table $table of the package keeps a placeholder (above)" >&2
        exit 1
    fi
done
mv -f "$new" "$package"
echo "$package"
