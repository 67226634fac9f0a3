# shellcheck shell=bash
# SPDX-License-Identifier: Zlib
# A throw-away code-signing PKI for the release's tests: a CA and a signer
# certificate issued by it, made afresh in a temporary folder and never
# kept. Their validity starts a year back, so that it covers the commit's
# time, which osslsigncode checks the certificate against.

# Writes DIR/ca.pem, DIR/signer.p12 and DIR/password (random).
make_test_pki() {
  local dir=$1 start
  start=$(date -u -d '1 year ago' +%Y%m%d%H%M%SZ)
  (
    cd "$dir" || exit
    umask 077
    openssl rand -hex 16 > password
    openssl req -newkey rsa:2048 -nodes -keyout ca.key -out ca.csr \
      -subj "/CN=kiv throw-away test CA" 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr \
      -subj "/CN=kiv throw-away test signer" 2>/dev/null
    printf '%s\n' basicConstraints=critical,CA:TRUE keyUsage=critical,keyCertSign,cRLSign \
      subjectKeyIdentifier=hash > ca.ext
    printf '%s\n' basicConstraints=CA:FALSE keyUsage=critical,digitalSignature \
      extendedKeyUsage=codeSigning authorityKeyIdentifier=keyid > signer.ext
    # "openssl ca" is the tool that sets a start date; it wants a database.
    mkdir db
    touch db/index
    cat > ca.cnf <<CNF
[ca]
default_ca = test
[test]
database = db/index
new_certs_dir = db
serial = db/serial
default_md = sha256
policy = any
copy_extensions = none
[any]
commonName = supplied
CNF
    openssl rand -hex 8 > db/serial
    openssl ca -batch -config ca.cnf -selfsign -keyfile ca.key -in ca.csr -out ca.pem \
      -startdate "$start" -days 3650 -extfile ca.ext -notext 2>/dev/null
    openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in signer.csr -out signer.pem \
      -startdate "$start" -days 3650 -extfile signer.ext -notext 2>/dev/null
    openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -out signer.p12 \
      -passout "file:password"
  )
}
