#!/usr/bin/env bash
# The demo behind './run demo', on a built tree: provisions a SoftHSM2 token (kept in
# BUILD/demo-token and reused), then, through vellum-host and the plug-in module, lists the
# token's certificate, fetches it, signs a text with sha256, and has the openssl command verify
# the signature against the certificate the plug-in returned.
#
#   host/demo.sh BUILD_DIR
set -euo pipefail

build=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
host=$build/host/vellum-host
tokenkit=$build/tests/kit/tokenkit/vellum-tokenkit
fwd=$build/tests/kit/tokenkit/libvellum_p11fwd.so
softhsm=$(sed -n 's/^VELLUM_SOFTHSM2_MODULE:[A-Z]*=//p' "$build/CMakeCache.txt")
token_dir=$build/demo-token
fixed_path=/usr/local/lib/libMOVA_XAN_P11.dylib
# The files the shown commands read and write, kept after the run so that they work when copied
# into a shell; replaced by the next run.
work=$build/demo-output
rm -rf "$work"
mkdir -p "$work"

heading() { printf '\n== %s\n' "$*"; }
indent() { sed 's/^/   /'; }
verdict_failed() {
    printf '\nVERDICT: FAILED - %s\n' "$*"
    exit 1
}

for f in "$host" "$tokenkit" "$fwd" "$softhsm"; do
    [ -e "$f" ] || verdict_failed "$f is missing; build the tree first"
done

# Only the demo's own settings of the forwarding module count.
while read -r name; do unset "$name"; done < <(compgen -e | grep '^VELLUM_P11FWD_' || true)

echo "vellum demo: the plug-in module run by vellum-host, a command-line NPAPI host, with"
echo "the forwarding PKCS#11 module over SoftHSM2 ($softhsm) loaded where the"
echo "plug-in loads its fixed token module path $fixed_path,"
echo "in vellum-host's own process only (nothing is installed there, no privilege is needed)."

heading "1. Demo token (SoftHSM2, RSA-2048) in ${token_dir#"$PWD"/}"
"$tokenkit" provision "$token_dir" --label demo --bits 2048 >"$work/token.txt" ||
    verdict_failed "could not provision the demo token"
while IFS='=' read -r key value; do
    case $key in
    SOFTHSM2_CONF) conf=$value ;;
    pin) pin=$value ;;
    serial) serial=$value ;;
    subject) subject=$value ;;
    certificate) token_cert=$value ;;
    reused) reused=$value ;;
    esac
done <"$work/token.txt"
if [ "$reused" = yes ]; then
    echo "   reusing the token made by an earlier run"
else
    echo "   made a new token with a key pair and a certificate"
fi
echo "   subject $subject, serial $serial, user PIN $pin"

export SOFTHSM2_CONF=$conf
export VELLUM_P11FWD_TARGET=$softhsm
export VELLUM_P11FWD_HIDE_UNINITIALIZED=1
export VELLUM_P11FWD_PIN=$pin
# Every signature is confirmed in the PIN module's dialog, which shows the text; the demo's
# token plays a PIN pad, so that dialog is a confirmation. The tests' pinentry answers it with OK
# and keeps what it showed, which the demo prints.
export VELLUM_PIN_PINENTRY=$(cd "$(dirname "$0")/.." && pwd)/tests/tokenkit/fake_pinentry.py
export FAKE_PINENTRY_ANSWERS=$work/pinentry-answers
export FAKE_PINENTRY_DIALOGS=$work/dialogs.jsonl
echo "every ok" >"$FAKE_PINENTRY_ANSWERS"
# A word as a shell reads it back: bare when that is safe, else in single quotes.
shell_word() {
    if [[ $1 =~ ^[A-Za-z0-9_./:=@%+-]+$ ]]; then
        printf '%s' "$1"
    else
        printf "'%s'" "${1//\'/\'\\\'\'}"
    fi
}
# Shows a command as a line that runs as it stands when copied into a shell: absolute paths,
# and in front of vellum-host the settings the forwarding module needs (the SoftHSM2 token, its
# spare uninitialised token hidden, the PIN a PIN pad would give).
show() {
    local line="   \$" word
    for word in "$@"; do
        line+=" $(shell_word "$word")"
    done
    echo "$line" >&2
}
module_settings="SOFTHSM2_CONF=$(shell_word "$SOFTHSM2_CONF")"
module_settings+=" VELLUM_P11FWD_TARGET=$(shell_word "$VELLUM_P11FWD_TARGET")"
module_settings+=" VELLUM_P11FWD_HIDE_UNINITIALIZED=1"
module_settings+=" VELLUM_P11FWD_PIN=$(shell_word "$VELLUM_P11FWD_PIN")"
module_settings+=" VELLUM_PIN_PINENTRY=$(shell_word "$VELLUM_PIN_PINENTRY")"
module_settings+=" FAKE_PINENTRY_ANSWERS=$(shell_word "$FAKE_PINENTRY_ANSWERS")"
module_settings+=" FAKE_PINENTRY_DIALOGS=$(shell_word "$FAKE_PINENTRY_DIALOGS")"
# Shows the command on standard error, so that standard output stays the program's own.
vellum_host() {
    local line="   \$ $module_settings" word
    for word in "$host" --token-module "$fwd" "$@"; do
        line+=" $(shell_word "$word")"
    done
    echo "$line" >&2
    "$host" --token-module "$fwd" "$@"
}

heading "2. The plug-in module"
vellum_host info | indent || verdict_failed "vellum-host could not run the plug-in"

heading "3. Certificates on the token (getCertList)"
vellum_host list >"$work/list.txt" || verdict_failed "listing the certificates failed"
indent <"$work/list.txt"
grep -q "^$serial " "$work/list.txt" || verdict_failed "the token's certificate $serial is not listed"

heading "4. The certificate with serial $serial (CN=$serial, SignCert)"
vellum_host cert "$serial" --pem >"$work/cert.pem" || verdict_failed "fetching the certificate failed"
openssl x509 -in "$work/cert.pem" -noout -subject -serial -enddate | indent
openssl x509 -in "$work/cert.pem" -outform DER -out "$work/cert.der"
openssl x509 -in "$token_cert" -outform DER -out "$work/token-cert.der"
cmp -s "$work/cert.der" "$work/token-cert.der" ||
    verdict_failed "the plug-in returned a different certificate than the token holds"
echo "   same bytes as the certificate written to the token"

heading "5. Sign a text with \"sha256\" (HashAlgorithm, SignData, Signature)"
text="vellum demo, signed on $(date -u '+%Y-%m-%d %H:%M:%S UTC')"
printf '%s' "$text" >"$work/data.txt"
echo "   text: \"$text\""
vellum_host sign "$serial" --hash sha256 --data "$text" -- \
    sign "$serial" --hash sha256 --data "$text" --raw "$work/signature.bin" >"$work/sign.txt" ||
    verdict_failed "signing failed"
envelope=$(sed -n 1p "$work/sign.txt")
echo "   each signature was confirmed in a dialog that said:"
python3 -c 'import json, sys; print(json.loads(open(sys.argv[1]).readline())["desc"])' \
    "$FAKE_PINENTRY_DIALOGS" | sed 's/^/   | /'
echo "   envelope: ${envelope:0:48}... (${#envelope} characters)"
echo "   raw signature: $(wc -c <"$work/signature.bin") bytes"

heading "6. Verify with OpenSSL against the certificate from step 4"
echo "   (the certificate, the text and the signature are kept in ${work#"$PWD"/}/)"
show openssl x509 -in "$work/cert.pem" -pubkey -noout -out "$work/pubkey.pem"
openssl x509 -in "$work/cert.pem" -pubkey -noout -out "$work/pubkey.pem"
show openssl dgst -sha256 -verify "$work/pubkey.pem" -signature "$work/signature.bin" \
    "$work/data.txt"
if openssl dgst -sha256 -verify "$work/pubkey.pem" -signature "$work/signature.bin" \
    "$work/data.txt" >"$work/verify.txt" 2>&1; then
    indent <"$work/verify.txt"
    printf '\nVERDICT: OK - OpenSSL verified the signature the token made through the plug-in.\n'
else
    indent <"$work/verify.txt"
    verdict_failed "OpenSSL did not verify the signature"
fi
