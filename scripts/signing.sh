# shellcheck shell=bash
# signing.sh: the code-signing options and steps that scripts/sign-windows.sh and
# scripts/windows-msi.sh share, sourced by both so that a module and the package that carries it
# are signed with one certificate, handled in one place. osslsigncode signs PE modules and
# Windows Installer packages alike (Authenticode, SHA-256) and verifies what it signed.
#
#   kx_signing_option "$@"     takes a signing option (and its argument) off the front of the
#                              arguments: returns 0 and sets kx_signing_shift, or returns 1
#   kx_signing_requested       whether any signing option was given
#   kx_signing_prepare SCRATCH checks the tools and files, makes the test certificate in SCRATCH
#                              (a private directory the caller removes)
#   kx_sign_file IN OUT NAME   signs IN into OUT and verifies OUT (NAME in messages)
#   kx_sign_tree TREE DEST     signs and verifies every DLL and EXE under lib/ and bin/ of TREE,
#                              each put into DEST (TREE itself, or a copy) in one rename
#
# The options (scripts/sign-windows.sh lists them) fill kx_signing_cert, _key, _pkcs12,
# _pass_file, _ca, _timestamp and _test; errors stop the script with its own name in front.

kx_signing_cert="" kx_signing_key="" kx_signing_pkcs12="" kx_signing_pass_file=""
kx_signing_ca="" kx_signing_timestamp="" kx_signing_test=0 kx_signing_shift=0
kx_signing_scratch="" kx_signing_credentials=() kx_signing_verify=()

kx_signing_fail() {
    echo "${0##*/}: $*" >&2
    exit 1
}

kx_signing_option() {
    kx_signing_shift=2
    case "$1" in
    --cert) kx_signing_cert="${2:?--cert needs a file}" ;;
    --key) kx_signing_key="${2:?--key needs a file}" ;;
    --pkcs12) kx_signing_pkcs12="${2:?--pkcs12 needs a file}" ;;
    --pass-file) kx_signing_pass_file="${2:?--pass-file needs a file}" ;;
    --ca) kx_signing_ca="${2:?--ca needs a file}" ;;
    --timestamp) kx_signing_timestamp="${2:?--timestamp needs a URL}" ;;
    --test-certificate) kx_signing_test=1 kx_signing_shift=1 ;;
    *)
        kx_signing_shift=0
        return 1
        ;;
    esac
}

kx_signing_requested() {
    [ -n "$kx_signing_cert$kx_signing_key$kx_signing_pkcs12$kx_signing_pass_file" ] ||
        [ -n "$kx_signing_ca$kx_signing_timestamp" ] || [ "$kx_signing_test" -eq 1 ]
}

kx_signing_prepare() {
    kx_signing_scratch="${1:?kx_signing_prepare needs a scratch directory}"
    command -v osslsigncode >/dev/null ||
        kx_signing_fail "osslsigncode is not installed (apt-get install osslsigncode)"
    local cert="$kx_signing_cert" key="$kx_signing_key" ca="$kx_signing_ca"
    if [ "$kx_signing_test" -eq 1 ]; then
        [ -z "$cert$key$kx_signing_pkcs12" ] ||
            kx_signing_fail "--test-certificate takes no certificate of the caller's"
        command -v openssl >/dev/null || kx_signing_fail "openssl is not installed"
        cert="$kx_signing_scratch/test-cert.pem" key="$kx_signing_scratch/test-key.pem"
        openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=kxevent test signing" \
            -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
            -keyout "$key" -out "$cert" 2>"$kx_signing_scratch/openssl.log" || {
            cat "$kx_signing_scratch/openssl.log" >&2
            kx_signing_fail "could not make the test certificate"
        }
        ca="$cert"
    fi
    if [ -n "$kx_signing_pkcs12" ]; then
        [ -z "$cert$key" ] || kx_signing_fail "give --pkcs12 or --cert and --key, not both"
        [ -r "$kx_signing_pkcs12" ] || kx_signing_fail "cannot read $kx_signing_pkcs12"
        kx_signing_credentials=(-pkcs12 "$kx_signing_pkcs12")
    else
        if [ -z "$cert" ] || [ -z "$key" ]; then
            kx_signing_fail "give --cert and --key, --pkcs12 or --test-certificate"
        fi
        [ -r "$cert" ] || kx_signing_fail "cannot read $cert"
        [ -r "$key" ] || kx_signing_fail "cannot read $key"
        kx_signing_credentials=(-certs "$cert" -key "$key")
    fi
    if [ -n "$kx_signing_pass_file" ]; then
        [ -r "$kx_signing_pass_file" ] || kx_signing_fail "cannot read $kx_signing_pass_file"
        kx_signing_credentials+=(-readpass "$kx_signing_pass_file")
    fi
    [ -z "$kx_signing_timestamp" ] || kx_signing_credentials+=(-ts "$kx_signing_timestamp")
    kx_signing_verify=()
    [ -z "$ca" ] || kx_signing_verify+=(-CAfile "$ca")
}

kx_sign_file() {
    local in="$1" out="$2" name="$3" log="$kx_signing_scratch/osslsigncode.log"
    rm -f "$out"
    if ! osslsigncode sign "${kx_signing_credentials[@]}" -h sha256 -n kxevent \
        -in "$in" -out "$out" >"$log" 2>&1; then
        cat "$log" >&2
        kx_signing_fail "$name: signing failed"
    fi
    if ! osslsigncode verify "${kx_signing_verify[@]}" -in "$out" >"$log" 2>&1; then
        cat "$log" >&2
        kx_signing_fail "$name: the signature does not verify"
    fi
}

kx_sign_tree() {
    local tree="$1" destination="$2" file module signed="$kx_signing_scratch/signed"
    # The modules: every PE file (MZ header) named *.dll or *.exe under lib/ and bin/ of the tree.
    local modules=()
    while IFS= read -r -d '' file; do
        if [ "$(head -c 2 "$file")" = "MZ" ]; then modules+=("${file#"$tree"/}"); fi
    done < <(find "$tree/lib" "$tree/bin" -type f \( -iname '*.dll' -o -iname '*.exe' \) \
        -print0 2>/dev/null | sort -z)
    [ "${#modules[@]}" -gt 0 ] || kx_signing_fail "no Windows modules under $tree/lib or $tree/bin"
    for module in "${modules[@]}"; do
        kx_sign_file "$tree/$module" "$signed" "$module"
        mkdir -p "$(dirname "$destination/$module")"
        # Into place in one rename, so that no half-written module is ever seen.
        install -m "$(stat -c %a "$tree/$module")" "$signed" "$destination/$module.signing"
        mv -f "$destination/$module.signing" "$destination/$module"
        echo "signed and verified: $module"
    done
    echo "${#modules[@]} modules signed and verified in $destination"
}
