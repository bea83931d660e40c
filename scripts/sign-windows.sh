#!/usr/bin/env bash
# Signs Windows programs, libraries and installers in place (Authenticode, SHA-256) with osslsigncode.
#   scripts/sign-windows.sh FILE...
# The certificate comes from the environment, never from the repository:
#   QUOR_SIGN_PKCS12=cert.pfx [QUOR_SIGN_PASS_FILE=file holding its password]     or
#   QUOR_SIGN_CERT=cert.pem QUOR_SIGN_KEY=key.pem (PEM; intermediate certificates follow the
#       certificate in cert.pem) [QUOR_SIGN_PASS_FILE=file holding the key's password]
#   QUOR_SIGN_TIMESTAMP=URL   RFC 3161 time-stamping server of the certificate's issuer: the signature
#       then stays valid after the certificate expires. Without it the files are signed unstamped.
# Without a certificate it signs nothing and says so (exit 0). Exits non-zero when a file fails.
set -euo pipefail

if [ -n "${QUOR_SIGN_PKCS12:-}" ]; then
    key=(-pkcs12 "$QUOR_SIGN_PKCS12")
elif [ -n "${QUOR_SIGN_CERT:-}" ] && [ -n "${QUOR_SIGN_KEY:-}" ]; then
    key=(-certs "$QUOR_SIGN_CERT" -key "$QUOR_SIGN_KEY")
else
    echo "--- not signed: no certificate (QUOR_SIGN_PKCS12, or QUOR_SIGN_CERT and QUOR_SIGN_KEY)"
    exit 0
fi
command -v osslsigncode >/dev/null || {
    echo "ERROR: osslsigncode is missing (Debian package osslsigncode)" >&2
    exit 1
}
[ -n "${QUOR_SIGN_PASS_FILE:-}" ] && key+=(-readpass "$QUOR_SIGN_PASS_FILE")
stamp=()
[ -n "${QUOR_SIGN_TIMESTAMP:-}" ] && stamp=(-ts "$QUOR_SIGN_TIMESTAMP")

for file in "$@"; do
    # A file signed before (an upgrade build reusing its folder) gets a fresh signature, not a second one.
    osslsigncode remove-signature -in "$file" -out "$file.unsigned" >/dev/null 2>&1 && mv "$file.unsigned" "$file"
    rm -f "$file.unsigned"
    if ! osslsigncode sign "${key[@]}" "${stamp[@]}" -h sha256 -n "${QUOR_SIGN_NAME:-Quor Download}" \
        -in "$file" -out "$file.signed" >"$file.sign.log" 2>&1; then
        echo "ERROR: signing $file failed:" >&2
        cat "$file.sign.log" >&2
        rm -f "$file.signed" "$file.sign.log"
        exit 1
    fi
    mv "$file.signed" "$file"
    rm -f "$file.sign.log"
done
echo "--- signed $# file(s)${QUOR_SIGN_TIMESTAMP:+, time-stamped by $QUOR_SIGN_TIMESTAMP}"
