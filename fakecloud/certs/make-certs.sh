#!/bin/sh
# Makes the test certificate authority and the server certificates of the
# stand-in.  Run once; the results are committed.  Running it again replaces
# every certificate (clients that pinned the old ca.pem must be given the new one).
#
#   make-certs.sh unknown-root   only (re)makes certs/refused-unknown-root.pem
#                                with the committed server-key.pem; nothing else
#                                is touched.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

hosts="www.dropbox.com dropbox.com api.dropboxapi.com content.dropboxapi.com dl.dropboxusercontent.com accounts.google.com www.googleapis.com apis.google.com docs.google.com oauth2.googleapis.com"

cat > "$work/ca.cnf" <<CNF
[ ca ]
default_ca = fc
[ fc ]
dir = $work
database = $work/index.txt
new_certs_dir = $work/new
serial = $work/serial
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[ any ]
commonName = supplied
organizationName = optional
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = placeholder
[ v3_ca ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[ v3_leaf ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF

newca() { # name subject -> $work/name.key, $work/name.pem
    rm -rf "$work/new"; mkdir -p "$work/new"; : > "$work/index.txt"; echo 1000 > "$work/serial"
    openssl genrsa -out "$work/$1.key" 2048 2>/dev/null
    openssl req -new -key "$work/$1.key" -subj "$2" -config "$work/ca.cnf" -out "$work/$1.csr"
    openssl ca -batch -config "$work/ca.cnf" -selfsign -keyfile "$work/$1.key" -in "$work/$1.csr" \
        -extensions v3_ca -startdate 20200101000000Z -enddate 20491231235959Z -notext \
        -out "$work/$1.pem" 2>/dev/null
}

leaf() { # out cakey cacert start end cn san...
    out=$1 cakey=$2 cacert=$3 start=$4 end=$5 cn=$6; shift 6
    san=""
    for h in "$@"; do san="${san:+$san,}DNS:$h"; done
    openssl req -new -key "$top/certs/server-key.pem" -subj "/O=fakecloud test/CN=$cn" \
        -addext "subjectAltName=$san" -config "$work/ca.cnf" -out "$work/leaf.csr"
    rm -rf "$work/new"; mkdir -p "$work/new"; : > "$work/index.txt"; echo "$(od -An -N4 -tx4 /dev/urandom | tr -d ' ')" > "$work/serial"
    openssl ca -batch -config "$work/ca.cnf" -keyfile "$cakey" -cert "$cacert" -in "$work/leaf.csr" \
        -extensions v3_leaf -startdate "$start" -enddate "$end" -notext -out "$out" 2>/dev/null
}

subca() { # name subject cakey cacert -> $work/name.key, $work/name.pem (an intermediate authority)
    rm -rf "$work/new"; mkdir -p "$work/new"; : > "$work/index.txt"; echo "$(od -An -N4 -tx4 /dev/urandom | tr -d ' ')" > "$work/serial"
    openssl genrsa -out "$work/$1.key" 2048 2>/dev/null
    openssl req -new -key "$work/$1.key" -subj "$2" -config "$work/ca.cnf" -out "$work/$1.csr"
    openssl ca -batch -config "$work/ca.cnf" -keyfile "$3" -cert "$4" -in "$work/$1.csr" \
        -extensions v3_ca -startdate 20200101000000Z -enddate 20491231235959Z -notext \
        -out "$work/$1.pem" 2>/dev/null
}

# Refused on purpose: a complete chain (server certificate, then intermediate)
# under a root authority that is not ca.pem (right names). The client has the
# intermediate but cannot find the issuer of it.
unknown_root() {
    newca unknown-root "/O=fakecloud test/CN=fakecloud unknown root authority"
    subca unknown-intermediate "/O=fakecloud test/CN=fakecloud unknown intermediate authority" \
        "$work/unknown-root.key" "$work/unknown-root.pem"
    leaf "$work/unknown-leaf.pem" "$work/unknown-intermediate.key" "$work/unknown-intermediate.pem" \
        20200101000000Z 20491231235959Z "unknown-root.fakecloud.test" $hosts
    cat "$work/unknown-leaf.pem" "$work/unknown-intermediate.pem" > "$top/certs/refused-unknown-root.pem"
}

if [ "${1:-}" = "unknown-root" ]; then
    unknown_root
    echo "written: $top/certs/refused-unknown-root.pem"
    exit 0
fi

newca ca "/O=fakecloud test/CN=fakecloud test authority"
cp "$work/ca.pem" "$top/ca.pem"
cp "$work/ca.key" "$top/ca-key.pem"
openssl genrsa -out "$top/certs/server-key.pem" 2048 2>/dev/null

# One certificate per emulated host, as a real service presents.
for h in $hosts; do
    leaf "$top/certs/$h.pem" "$top/ca-key.pem" "$top/ca.pem" 20200101000000Z 20491231235959Z "$h" "$h"
done
# Refused on purpose: expired (right names, right authority).
leaf "$top/certs/refused-expired.pem" "$top/ca-key.pem" "$top/ca.pem" 20200101000000Z 20210101000000Z "expired.fakecloud.test" $hosts
# Refused on purpose: issued for another host (right authority, valid dates).
leaf "$top/certs/refused-wrong-host.pem" "$top/ca-key.pem" "$top/ca.pem" 20200101000000Z 20491231235959Z "other-host.fakecloud.test" other-host.fakecloud.test
# Refused on purpose: signed by an authority nobody trusts (right names).
newca other "/O=fakecloud test/CN=fakecloud untrusted authority"
leaf "$top/certs/refused-untrusted.pem" "$work/other.key" "$work/other.pem" 20200101000000Z 20491231235959Z "untrusted.fakecloud.test" $hosts
# (Only the server certificate is sent: the client cannot find its issuer.)
# Refused on purpose: self-signed server certificate.
openssl req -new -x509 -key "$top/certs/server-key.pem" -subj "/O=fakecloud test/CN=self-signed.fakecloud.test" \
    -addext "subjectAltName=DNS:$(echo $hosts | sed 's/ /,DNS:/g')" -days 8000 -out "$top/certs/refused-self-signed.pem"
unknown_root
echo "certificates written to $top/certs"
