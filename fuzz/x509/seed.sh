#!/usr/bin/env bash
# seed.sh DIR: writes real DER certificates made by the openssl command into DIR, covering the
# shapes the reader cares about (CN or O or neither, repeated and multi-valued attributes, BMP and
# T61 strings, short, long and negative serials, a separate issuer).
set -euo pipefail
out=$1
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out key.pem 2>/dev/null
printf '[req]\ndistinguished_name=dn\nstring_mask=default\n[dn]\n' >default-mask.cnf

n=0
# cert SUBJECT SERIAL [req args...]
cert() {
    local subject=$1 serial=$2; shift 2
    n=$((n + 1))
    openssl req -x509 -key key.pem -days 1 -subj "$subject" -set_serial "$serial" \
        -outform DER -out "$out/seed-$n.der" "$@" 2>/dev/null
}
cert "/CN=Alice/O=Example Org" 1
cert "/O=Example Org" 0x8F3A
cert "/C=DE/L=Berlin" 0
cert "/O=First Org/CN=Named/O=Later Org" -5
cert "/CN=First/CN=Second" 0xFF0102030405060708090A0B0C0D0E0F10111213
cert "/O=Longer Organisation/O=Short" 0x0100
cert "/C=US+CN=Multi/O=Org" 42 -multivalue-rdn
cert "/CN=Ωmega Zoë" 7 -utf8 -config default-mask.cnf
cert "/O=Zoë" 8 -utf8 -config default-mask.cnf
openssl req -x509 -key key.pem -days 1 -subj "/O=Issuer Org/CN=Issuing CA" -out ca.pem 2>/dev/null
cert "/CN=Leaf" 9 -CA ca.pem -CAkey key.pem
# RSA keys, which the signature check reads: a version 3 and a version 1 certificate.
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out rsa.pem 2>/dev/null
cert "/CN=RSA Signer" 10 -key rsa.pem
openssl req -new -key rsa.pem -subj "/CN=Version 1" -out v1.csr 2>/dev/null
n=$((n + 1))
openssl x509 -req -in v1.csr -signkey rsa.pem -days 1 -outform DER -out "$out/seed-$n.der" \
    2>/dev/null
echo "seeded $n certificates into $out"
