#!/usr/bin/env bash
# Runs a command with a throwaway CA trusted by the online solver, and by
# nothing else: inside a private mount namespace the CA is bind-mounted over
# /etc/ssl/certs/ca-certificates.crt. The machine's own trust store is never
# changed. Exports QERN_CA_DIR, a folder with:
#   ca.pem                     the trusted CA
#   server.pem, server.key     for localhost and 127.0.0.1, signed by the CA
#   wronghost.pem, wronghost.key   signed by the CA for another host name
#   untrusted.pem, untrusted.key   for localhost, signed by a CA nobody trusts
set -euo pipefail

certs=$(mktemp -d /tmp/qern-test-ca.XXXXXX)
trap 'rm -rf "$certs"' EXIT

make_ca() {  # name
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=qernx test $1" \
    -keyout "$certs/$1.key" -out "$certs/$1.pem" 2>/dev/null
}

make_leaf() {  # name ca san
  openssl req -newkey rsa:2048 -nodes -subj "/CN=qernx test $1" \
    -keyout "$certs/$2-$1.key" -out "$certs/$1.csr" 2>/dev/null
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\n' "$3" > "$certs/$1.ext"
  openssl x509 -req -in "$certs/$1.csr" -CA "$certs/$2.pem" -CAkey "$certs/$2.key" \
    -CAcreateserial -days 2 -extfile "$certs/$1.ext" -out "$certs/$1.pem" 2>/dev/null
  mv "$certs/$2-$1.key" "$certs/$1.key"
}

make_ca ca
make_ca rogue
make_leaf server ca "DNS:localhost,IP:127.0.0.1"
make_leaf wronghost ca "DNS:wrong.example"
make_leaf untrusted rogue "DNS:localhost,IP:127.0.0.1"

export QERN_CA_DIR="$certs"
# No unshare here means no online tests: fail loudly rather than skip.
unshare --mount --propagation private -- bash -c '
  set -e
  mount --bind "$QERN_CA_DIR/ca.pem" /etc/ssl/certs/ca-certificates.crt
  exec "$@"
' qern-test-ca "$@"
