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
set -euo pipefail

usage() {
    sed -n '/^#   bash/,/^# non-zero/p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
    exit 2
}
fail() {
    echo "sign-windows.sh: $*" >&2
    exit 1
}

cert="" key="" pkcs12="" pass_file="" ca="" timestamp="" test_certificate=0 output="" tree=""
while [ $# -gt 0 ]; do
    case "$1" in
    --cert) cert="${2:?--cert needs a file}"; shift 2 ;;
    --key) key="${2:?--key needs a file}"; shift 2 ;;
    --pkcs12) pkcs12="${2:?--pkcs12 needs a file}"; shift 2 ;;
    --pass-file) pass_file="${2:?--pass-file needs a file}"; shift 2 ;;
    --ca) ca="${2:?--ca needs a file}"; shift 2 ;;
    --timestamp) timestamp="${2:?--timestamp needs a URL}"; shift 2 ;;
    --test-certificate) test_certificate=1; shift ;;
    --output) output="${2:?--output needs a directory}"; shift 2 ;;
    -h | --help) usage ;;
    -*) echo "sign-windows.sh: unknown option $1" >&2; usage ;;
    *) [ -z "$tree" ] || usage; tree="$1"; shift ;;
    esac
done
[ -n "$tree" ] || usage
[ -d "$tree" ] || fail "$tree is not a directory"
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (apt-get install osslsigncode)"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

if [ "$test_certificate" -eq 1 ]; then
    [ -z "$cert$key$pkcs12" ] || fail "--test-certificate takes no certificate of the caller's"
    command -v openssl >/dev/null || fail "openssl is not installed"
    cert="$scratch/test-cert.pem" key="$scratch/test-key.pem"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=kxevent test signing" \
        -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
        -keyout "$key" -out "$cert" 2>"$scratch/openssl.log" ||
        { cat "$scratch/openssl.log" >&2; fail "could not make the test certificate"; }
    ca="$cert"
fi
if [ -n "$pkcs12" ]; then
    [ -z "$cert$key" ] || fail "give --pkcs12 or --cert and --key, not both"
    [ -r "$pkcs12" ] || fail "cannot read $pkcs12"
    credentials=(-pkcs12 "$pkcs12")
else
    if [ -z "$cert" ] || [ -z "$key" ]; then
        fail "give --cert and --key, --pkcs12 or --test-certificate"
    fi
    [ -r "$cert" ] || fail "cannot read $cert"
    [ -r "$key" ] || fail "cannot read $key"
    credentials=(-certs "$cert" -key "$key")
fi
if [ -n "$pass_file" ]; then
    [ -r "$pass_file" ] || fail "cannot read $pass_file"
    credentials+=(-readpass "$pass_file")
fi
[ -z "$timestamp" ] || credentials+=(-ts "$timestamp")
verify_options=()
[ -z "$ca" ] || verify_options+=(-CAfile "$ca")

# The modules: every PE file (MZ header) named *.dll or *.exe under lib/ and bin/ of the tree.
modules=()
while IFS= read -r -d '' file; do
    [ "$(head -c 2 "$file")" = "MZ" ] && modules+=("${file#"$tree"/}")
done < <(find "$tree/lib" "$tree/bin" -type f \( -iname '*.dll' -o -iname '*.exe' \) -print0 \
    2>/dev/null | sort -z)
[ "${#modules[@]}" -gt 0 ] || fail "no Windows modules under $tree/lib or $tree/bin"

destination="$tree"
if [ -n "$output" ]; then
    mkdir -p "$output"
    destination="$output"
fi

for module in "${modules[@]}"; do
    signed="$scratch/signed"
    rm -f "$signed"
    if ! osslsigncode sign "${credentials[@]}" -h sha256 -n kxevent \
        -in "$tree/$module" -out "$signed" >"$scratch/sign.log" 2>&1; then
        cat "$scratch/sign.log" >&2
        fail "$module: signing failed"
    fi
    if ! osslsigncode verify "${verify_options[@]}" -in "$signed" >"$scratch/verify.log" 2>&1; then
        cat "$scratch/verify.log" >&2
        fail "$module: the signature does not verify"
    fi
    mkdir -p "$(dirname "$destination/$module")"
    # Into place in one rename, so that no half-written module is ever seen.
    install -m "$(stat -c %a "$tree/$module")" "$signed" "$destination/$module.signing"
    mv -f "$destination/$module.signing" "$destination/$module"
    echo "signed and verified: $module"
done
echo "${#modules[@]} modules signed and verified in $destination"
