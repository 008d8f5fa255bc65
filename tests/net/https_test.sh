#!/usr/bin/env bash
# HTTPS end to end: a TLS server on the loopback address (Python's ssl, on the
# Linux side) with a certificate made here for localhost. While the prefix
# does not trust the certificate the screensaver's transfer fails and leaves
# no file and says why, with WinINet's code; once the certificate is in the
# prefix's trusted roots the same transfer brings the file. Nothing ever
# goes over plain HTTP.
#   https_test.sh WORKDIR SKITSYNC.exe TRUST_CERT.exe RUNNER...
# RUNNER is how a Windows program is started (ctest's emulator: Wine with
# the build's prefix).
set -u
WORK=$1 SKITSYNC=$2 TRUST=$3
shift 3
RUN=("$@")
rm -rf "$WORK"
mkdir -p "$WORK/www"
cd "$WORK" || exit 1
fail() { echo "FAIL: $*"; [ -f server.err ] && sed 's/^/  server: /' server.err; exit 1; }

printf 'served over TLS\r\n' >www/hello.txt
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj /CN=localhost \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" >/dev/null 2>&1 || fail "openssl cannot make a certificate"
openssl x509 -in cert.pem -outform der -out cert.der || fail "openssl cannot convert the certificate"

cat >server.py <<'PY'
import functools, http.server, ssl, sys
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory="www")
httpd = http.server.HTTPServer(("127.0.0.1", 0), handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain("cert.pem", "key.pem")
httpd.socket = context.wrap_socket(httpd.socket, server_side=True)
with open("port.tmp", "w") as f:
    f.write(str(httpd.server_address[1]))
import os; os.replace("port.tmp", "port.txt")
httpd.serve_forever()
PY
python3 server.py </dev/null >/dev/null 2>server.err &
SERVER=$!
cleanup() {
  kill "$SERVER" 2>/dev/null
  timeout 30 "${RUN[@]}" "$TRUST" remove cert.der </dev/null >/dev/null 2>&1
}
trap cleanup EXIT
for _ in $(seq 100); do [ -s port.txt ] && break; sleep 0.1; done
[ -s port.txt ] || fail "the TLS server did not start"
URL="https://localhost:$(cat port.txt)/hello.txt"

fetch() { timeout 60 "${RUN[@]}" "$SKITSYNC" fetch "$URL" "$1" --log download.log </dev/null >>fetch.out 2>&1; }

fetch untrusted.txt
status=$?
[ "$status" -eq 1 ] || fail "an untrusted certificate gave exit status $status, not 1"
[ -e untrusted.txt ] && fail "an untrusted transfer left its file"
grep -q "Download failed: untrusted.txt 1 of 1" download.log || fail "no failure line in the download log"
# The user learns why, with WinINet's code (12045: the certificate
# authority is not trusted); Wine has no text for it, so it is ours.
grep -q "Unable to send request to localhost: .*certificate.* (12045)" fetch.out ||
  fail "the failure does not say the certificate is not trusted (12045): $(cat fetch.out)"

timeout 30 "${RUN[@]}" "$TRUST" add cert.der </dev/null || fail "the certificate could not be trusted"
fetch trusted.txt || { cat fetch.out; fail "a trusted certificate did not fetch the file"; }
cmp -s trusted.txt www/hello.txt || fail "the file fetched over TLS differs"
grep -q "Download success: trusted.txt 1 of 1" download.log || fail "no success line in the download log"
echo "ok: untrusted refused, trusted fetched ($URL)"
