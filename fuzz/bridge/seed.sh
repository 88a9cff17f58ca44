#!/usr/bin/env bash
# seed.sh DIR: writes the bridge protocol's own examples into DIR as inputs of the bridge fuzzer
# (frames separated by NUL bytes): each kind of request, answers' ids of both kinds, values of
# every kind a page passes, and the malformed requests the host answers with errors.
set -euo pipefail
out=$1
mkdir -p "$out"
n=0
# seed FRAME...: one input of these frames.
seed() {
    n=$((n + 1))
    local first=1
    : >"$out/seed-$n"
    for frame in "$@"; do
        [ "$first" = 1 ] || printf '\0' >>"$out/seed-$n"
        printf '%s' "$frame" >>"$out/seed-$n"
        first=0
    done
}
seed '{"id": 1, "op": "hello"}'
seed '{"id": 2, "op": "set",  "name": "CN", "value": "01A2B3"}' \
     '{"id": 3, "op": "get",  "name": "Signature"}' \
     '{"id": "l", "op": "call", "name": "LastError"}'
seed '{"id": 4, "op": "call", "name": "getCertList", "args": []}'
seed '{"id": 4, "op": "call", "name": "getCertLis"}'
seed '{"id": "x", "op": "set", "name": "HashAlgorithm", "value": "sha256"}' \
     '{"id": "y", "op": "set", "name": "SignData", "value": "text to sign"}' \
     '{"id": "z", "op": "get", "name": "SignData"}'
seed '{"id": 5, "op": "call", "name": "GetUKeySN", "args": [0]}' \
     '{"id": 6, "op": "call", "name": "GetUKeySN", "args": [1.0]}' \
     '{"id": 7, "op": "call", "name": "VerifySignature", "args": ["a", -0, 2.5, true, null]}'
seed '{"id": 8, "op": "set", "name": "IssuerCN", "value": null}' \
     '{"id": 9, "op": "set", "name": "JSCB", "value": false}' \
     '{"id": 10, "op": "get", "name": "CN"}' \
     '{"id": 11, "op": "call", "name": "SetUKeyVendor", "args": ["v"]}'
seed '{"id": 12, "op": "call", "name": "SignCert", "args": [[1], {"a": 1}]}' \
     '{"id": 13, "op": "set", "name": "CN", "value": {"x": [1]}}'
seed '{' '[]' '{"op": "hello"}' '{"id": [1], "op": "hello"}' '{"id": 1}' \
     '{"id": 1, "op": "frob"}' '{"id": 1, "op": "get"}' '{"id": 1, "op": "get", "name": 5}' \
     '{"id": 1, "op": "hello", "extra": 1}' '{"id": 1e400, "op": "hello"}' \
     '{"id": 1, "op": "set", "name": "CN", "value": 1e400}' '[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]' \
     '{"id": "\ud800", "op": "hello"}' $'{"id": "\xff", "op": "hello"}'
echo "seeded $n inputs into $out"
