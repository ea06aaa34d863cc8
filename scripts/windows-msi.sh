#!/usr/bin/env bash
# windows-msi.sh: builds the Windows installer package of a Windows build directory with wixl
# (Debian's msitools and wixl), signed when a certificate is given:
#
#   bash scripts/windows-msi.sh --test-certificate build-mingw32  # build-mingw32/msi/*-x86.msi
#   bash scripts/windows-msi.sh --test-certificate build-mingw64  # build-mingw64/msi/*-x64.msi
#   bash scripts/windows-msi.sh --cert CERT.pem --key KEY.pem [options] build-mingw32
#   bash scripts/windows-msi.sh build-mingw32                     # unsigned (said on stderr)
#
# The signing options are those of scripts/sign-windows.sh (--cert and --key, --pkcs12,
# --pass-file, --ca, --timestamp, --test-certificate), handled by the same code
# (scripts/signing.sh). The build directory must be built (cmake --build). The script installs
# it into a staging directory of its own under <build>/msi (cmake --install: the stripped
# modules and the licence). Given a certificate, it signs and verifies the staged modules and
# the custom actions' DLL there, so that the package carries signed modules. (Not the copies in
# <build>/signed: those are of the build tree's modules, which keep their symbol table and so
# differ from the installed ones; a module must not change once signed.) It runs wixl on
# <build>/msi/kxevent.wxs (configured by packaging/windows/CMakeLists.txt, the registry made
# from config/default.reg), gives the forwarding component its condition, which wixl cannot
# write, and refuses a package in which any table still holds a @PLACEHOLDER@. Last, it signs
# the package itself with the same certificate and verifies that signature. The package is
# put in place whole (runs at the same time do not disturb each other); the path is printed.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root="$(pwd)"
source scripts/setup.sh
source scripts/signing.sh

build=""
while [ $# -gt 0 ]; do
    if kx_signing_option "$@"; then
        shift "$kx_signing_shift"
        continue
    fi
    case "$1" in
    -*) kx_signing_fail "unknown option $1 (usage: windows-msi.sh [signing options] BUILD_DIR)" ;;
    *) [ -z "$build" ] || kx_signing_fail "one build directory only"; build="$1"; shift ;;
    esac
done
[ -n "$build" ] || kx_signing_fail "usage: windows-msi.sh [signing options] BUILD_DIR"
tools=(msitools wixl)
if kx_signing_requested; then tools+=(osslsigncode openssl); fi
kx_ensure_packages "${tools[@]}" || exit 1
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
signing="$(mktemp -d)"  # the test certificate and osslsigncode's output, private to this run
trap 'rm -rf "$stage" "$signing"' EXIT
cmake --install "$build" --prefix "$stage/root" >"$stage/install.log" || {
    cat "$stage/install.log" >&2
    exit 1
}
cp "$build/packaging/windows/KXSetupActions.dll" "$stage/root/"
if kx_signing_requested; then
    kx_signing_prepare "$signing"
    kx_sign_tree "$stage/root" "$stage/root" >&2
    kx_sign_file "$stage/root/KXSetupActions.dll" "$stage/KXSetupActions.dll" KXSetupActions.dll
    mv -f "$stage/KXSetupActions.dll" "$stage/root/KXSetupActions.dll"
else
    echo "windows-msi.sh: no certificate given: the package and its modules are not signed" \
        "(--test-certificate, or --cert and --key, --pkcs12: docs/windows.md, \"Signing\")" >&2
fi
new="$stage/package.msi"
# wixl reads the files relative to the working directory; it and msibuild write scratch copies
# of the Binary table there.
cd "$stage/root"
wixl -a "$KX_MSI_ARCH" -I "$msi_dir" -o "$new" "$msi_dir/kxevent.wxs"
# What wixl cannot say: the forwarding component's condition (a syslog host given; and at
# uninstall, where the host is not given again, the component must still be taken away), the
# alerting service's components' conditions, and the public properties the installer passes on
# to its elevated part.
secure="$(msiinfo export "$new" Property | awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }')"
msibuild "$new" -q \
    "UPDATE \`Component\` SET \`Condition\` = 'SYSLOGHOST OR REMOVE~=\"ALL\"' WHERE \`Component\` = 'SyslogForwarding'"
# The alerting service's two components: one of them is installed, by STARTCOLLECTOR; at
# uninstall both are taken away (the one installed stops and removes the service).
msibuild "$new" -q \
    "UPDATE \`Component\` SET \`Condition\` = 'NOT STARTCOLLECTOR OR REMOVE~=\"ALL\"' WHERE \`Component\` = 'Collector'"
msibuild "$new" -q \
    "UPDATE \`Component\` SET \`Condition\` = 'STARTCOLLECTOR OR REMOVE~=\"ALL\"' WHERE \`Component\` = 'CollectorAuto'"
msibuild "$new" -q \
    "UPDATE \`Property\` SET \`Value\` = '${secure:+$secure;}SYSLOGHOST;SYSLOGTRANSPORT;SYSLOGPORT;STARTCOLLECTOR' WHERE \`Property\` = 'SecureCustomProperties'"

for table in $(msiinfo tables "$new"); do
    case "$table" in _*) continue ;; esac
    if msiinfo export "$new" "$table" | grep -E '@[A-Za-z_]+@' >&2; then
        echo "error: table $table of the package keeps a placeholder (above)" >&2
        exit 1
    fi
done
if kx_signing_requested; then
    kx_sign_file "$new" "$stage/signed.msi" "${package##*/}"
    mv -f "$stage/signed.msi" "$new"
    echo "signed and verified: ${package##*/}" >&2
fi
mv -f "$new" "$package"
echo "$package"
