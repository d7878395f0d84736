#!/usr/bin/env bash
# Makes a small certificate authority and the certificates the TLS tests
# use, with the openssl command, in DIR (which must exist):
#   ca.pem                     the root the test clients trust
#   intermediate.pem           the authority that issues the server's certificates
#   server.pem  server.key     localhost and 127.0.0.1, as a full chain (the
#                              certificate, then the intermediate)
#   leaf.pem                   the same certificate without its chain
#   renewed.pem renewed.key    the same names with another key: a renewal
#   wronghost.pem wronghost.key   other.example only
#   expired.pem expired.key    localhost, valid in January 2020 only
#   selfsigned.pem selfsigned.key  localhost, signed by itself
# Usage: make_test_certs.sh DIR
set -euo pipefail
dir=${1:?usage: make_test_certs.sh DIR}
cd "$dir"

cat > openssl.cnf <<'EOF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[root]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical,CA:TRUE,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[server]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[otherhost]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.example
authorityKeyIdentifier = keyid:always
[selfsigned]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1
[ca]
default_ca = expiring
[expiring]
database = index.txt
new_certs_dir = .
serial = serial.txt
default_md = sha256
policy = anything
unique_subject = no
[anything]
commonName = supplied
EOF

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1"; }
request() { openssl req -new -config openssl.cnf -key "$1" -subj "/CN=$2" -out "$3"; }
# issue CSR SERIAL EXTENSIONS OUT: a certificate from the intermediate, valid for a month.
issue() {
  openssl x509 -req -in "$1" -CA intermediate.pem -CAkey intermediate.key -set_serial "$2" \
    -days 30 -sha256 -extfile openssl.cnf -extensions "$3" -out "$4" 2>/dev/null
}

key ca.key
openssl req -x509 -new -config openssl.cnf -key ca.key -subj "/CN=Zanth Test Root" -days 30 \
  -sha256 -extensions root -out ca.pem

key intermediate.key
request intermediate.key "Zanth Test Intermediate" intermediate.csr
openssl x509 -req -in intermediate.csr -CA ca.pem -CAkey ca.key -set_serial 2 -days 30 -sha256 \
  -extfile openssl.cnf -extensions intermediate -out intermediate.pem 2>/dev/null

key server.key
request server.key localhost server.csr
issue server.csr 3 server leaf.pem
cat leaf.pem intermediate.pem > server.pem

key renewed.key
request renewed.key localhost renewed.csr
issue renewed.csr 4 server renewed-leaf.pem
cat renewed-leaf.pem intermediate.pem > renewed.pem

key wronghost.key
request wronghost.key other.example wronghost.csr
issue wronghost.csr 5 otherhost wronghost-leaf.pem
cat wronghost-leaf.pem intermediate.pem > wronghost.pem

# openssl x509 only counts days from now; the ca command takes any dates.
key expired.key
request expired.key localhost expired.csr
: > index.txt
echo 06 > serial.txt
openssl ca -config openssl.cnf -batch -notext -in expired.csr -cert intermediate.pem \
  -keyfile intermediate.key -startdate 20200101000000Z -enddate 20200201000000Z \
  -extfile openssl.cnf -extensions server -out expired-leaf.pem 2>/dev/null
cat expired-leaf.pem intermediate.pem > expired.pem

key selfsigned.key
openssl req -x509 -new -config openssl.cnf -key selfsigned.key -subj "/CN=localhost" -days 30 \
  -sha256 -extensions selfsigned -out selfsigned.pem
