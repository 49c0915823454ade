#!/usr/bin/env bash
# make_cert.sh DIR NODEID: an Ed25519 key and a self-signed certificate naming NODEID (UTF8String CN), as Vesk makes.
set -e
openssl genpkey -algorithm ed25519 -out "$1/key.pem"
openssl req -new -x509 -key "$1/key.pem" -out "$1/cert.pem" -days 3650 -utf8 -subj "/CN=$2" \
    -config <(printf '[req]\ndistinguished_name=dn\nstring_mask=utf8only\nprompt=no\n[dn]\n') 2>/dev/null
