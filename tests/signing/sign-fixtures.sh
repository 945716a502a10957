#!/usr/bin/env bash
# Makes the signing tests' material: a certificate authority of its own and a code-signing
# certificate it issued, and with them (Authenticode, SHA-256) signed copies of fixture libraries,
# one signed copy with a byte of its code changed afterwards and one with its signer's signature
# damaged. The authority's certificate is written as ca.cer (DER) for the tests to trust.
# usage: sign-fixtures.sh OUT_DIR BASIC_PLUGIN PLUGIN_WITH_HELPER HELPER
set -euo pipefail

out="$1" basic="$2" withHelper="$3" helper="$4"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

cat >"$work/extensions.cnf" <<'CNF'
[authority]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[signer]
basicConstraints = critical,CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF

openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -subj "/CN=Varnel Test Authority" \
  -config "$work/extensions.cnf" -extensions authority -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -sha256 -subj "/CN=Varnel Test Publisher" \
  -keyout "$work/signer.key" -out "$work/signer.csr" 2>/dev/null
openssl x509 -req -sha256 -days 3650 -in "$work/signer.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -set_serial 0x5157 -extfile "$work/extensions.cnf" -extensions signer -out "$work/signer.pem" 2>/dev/null
openssl x509 -in "$work/ca.pem" -outform DER -out "$out/ca.cer"

sign() {
  rm -f "$2"
  osslsigncode sign -certs "$work/signer.pem" -ac "$work/ca.pem" -key "$work/signer.key" -h sha256 \
    -n "Varnel test fixture" -in "$1" -out "$2" >/dev/null
}

sign "$basic" "$out/SignedBasic.dll"
sign "$withHelper" "$out/SignedWithHelper.dll"
sign "$helper" "$out/SignedHelper.dll"
python3 "$here/pe_edit.py" change-code "$out/SignedBasic.dll" "$out/TamperedBasic.dll"
python3 "$here/pe_edit.py" change-code "$out/SignedHelper.dll" "$out/TamperedHelper.dll"
python3 "$here/pe_edit.py" damage-signature "$out/SignedBasic.dll" "$out/DamagedSignatureBasic.dll"

# What the tests rely on, checked here with the signing tool's own verifier.
osslsigncode verify -CAfile "$work/ca.pem" -in "$out/SignedBasic.dll" >/dev/null
for broken in TamperedBasic DamagedSignatureBasic TamperedHelper; do
  if osslsigncode verify -CAfile "$work/ca.pem" -in "$out/$broken.dll" >/dev/null 2>&1; then
    echo "sign-fixtures: $broken.dll still verifies" >&2
    exit 1
  fi
done
