#!/usr/bin/env bash
# sign-windows.sh: signs every module and executable of a Windows build or installation tree
# (the DLLs and EXEs under lib/ and bin/) with an Authenticode signature made by osslsigncode,
# then verifies each signature. docs/windows.md ("Signing") describes the release steps.
#
#   bash scripts/sign-windows.sh --cert CERT.pem --key KEY.pem [options] TREE
#   bash scripts/sign-windows.sh --pkcs12 CERT.p12 [options] TREE
#   bash scripts/sign-windows.sh --test-certificate [options] TREE
#
#   --cert FILE, --key FILE  the code-signing certificate (with its chain, PEM) and its key
#   --pkcs12 FILE            certificate, chain and key in one PKCS#12 file
#   --pass-file FILE         the password of the key or PKCS#12 file, read from FILE
#   --ca FILE                the CA certificates to verify against (default: the system's)
#   --timestamp URL          an RFC 3161 time-stamping service to countersign with
#   --test-certificate       a throwaway self-signed code-signing certificate, made with openssl
#                            (for CI: proves the modules can be signed and verified)
#   --output DIR             sign copies, written to DIR in the tree's layout; TREE is untouched
#
# Signing happens last: stripping or changing a module afterwards breaks its signature. Exits
# non-zero when any module cannot be signed or its signature does not verify.
# scripts/windows-msi.sh takes the same options to sign the package and the modules it packs.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/signing.sh"

usage() {
    sed -n '/^#   bash/,/^# non-zero/p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

output="" tree=""
while [ $# -gt 0 ]; do
    if kx_signing_option "$@"; then
        shift "$kx_signing_shift"
        continue
    fi
    case "$1" in
    --output) output="${2:?--output needs a directory}"; shift 2 ;;
    -h | --help) usage ;;
    -*) echo "sign-windows.sh: unknown option $1" >&2; usage ;;
    *) [ -z "$tree" ] || usage; tree="$1"; shift ;;
    esac
done
[ -n "$tree" ] || usage
[ -d "$tree" ] || kx_signing_fail "$tree is not a directory"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
kx_signing_prepare "$scratch"

destination="$tree"
if [ -n "$output" ]; then
    mkdir -p "$output"
    destination="$output"
fi
kx_sign_tree "$tree" "$destination"
