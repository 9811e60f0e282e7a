#!/usr/bin/env python3
"""A throw-away PKI for the signing tests, made with openssl under faketime:
  signing.py keys DIR     a CA and another, a code-signing certificate and
                          another, one that expired at the end of 2020, a
                          timestamp authority; the first key in a PKCS#12
                          file and on a SoftHSM token
  signing.py tsa DIR      serves the timestamp authority over HTTP on
                          127.0.0.1, printing its port"""

import http.server
import os
import subprocess
import sys
import tempfile
import threading

EXTENSIONS = """[ca]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign
[code]
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
[tsa]
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,timeStamping
[tsa_config]
signer_cert = tsa.pem
signer_key = tsa.key
certs = ca.pem
serial = tsa.serial
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
"""


def run(*command, when="2019-01-01 00:00:00"):
    # The faketime library preloaded as its wrapper would, without the
    # wrapper's semaphore, which one killed leaves behind for its process id.
    clock = dict(os.environ, LD_PRELOAD="/usr/$LIB/faketime/libfaketime.so.1",
                 FAKETIME="@" + when)
    subprocess.run(command, check=True, capture_output=True, env=clock)


def certificate(name, issuer, extension, days=9000, when="2019-01-01 00:00:00"):
    run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key",
        "-out", name + ".csr", "-subj", "/CN=" + name, when=when)
    signer = ["-signkey", name + ".key"] if issuer is None else [
        "-CA", issuer + ".pem", "-CAkey", issuer + ".key", "-CAcreateserial"]
    run("openssl", "x509", "-req", "-in", name + ".csr", *signer, "-out", name + ".pem",
        "-days", str(days), "-extfile", "pki.cnf", "-extensions", extension, when=when)


def keys():
    with open("pki.cnf", "w") as config:
        config.write(EXTENSIONS)
    for name in ("ca", "otherca"):
        certificate(name, None, "ca")
    certificate("leaf", "ca", "code")
    certificate("otherleaf", "ca", "code")
    certificate("expired", "ca", "code", days=365, when="2020-01-01 00:00:00")
    certificate("tsa", "ca", "tsa")
    with open("tsa.serial", "w") as serial:
        serial.write("01\n")
    with open("password", "w") as password:
        password.write("throw-away\n")
    for name in ("leaf", "expired"):
        run("openssl", "pkcs12", "-export", "-inkey", name + ".key", "-in", name + ".pem",
            "-certfile", "ca.pem", "-out", name + ".p12", "-passout", "file:password")
    os.makedirs("tokens", exist_ok=True)
    with open("softhsm2.conf", "w") as config:
        config.write("directories.tokendir = %s/tokens\nobjectstore.backend = file\n" % os.getcwd())
    os.environ["SOFTHSM2_CONF"] = os.path.join(os.getcwd(), "softhsm2.conf")
    run("softhsm2-util", "--init-token", "--free", "--label", "updater", "--pin", "throw-away",
        "--so-pin", "throw-away-so")
    run("softhsm2-util", "--import", "leaf.key", "--token", "updater", "--label", "signing",
        "--id", "01", "--pin", "throw-away")


class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        with tempfile.TemporaryDirectory() as scratch:
            with open(os.path.join(scratch, "query"), "wb") as out:
                out.write(query)
            made = subprocess.run(["openssl", "ts", "-reply", "-config", "pki.cnf", "-section",
                                   "tsa_config", "-queryfile", os.path.join(scratch, "query"),
                                   "-out", os.path.join(scratch, "reply")], capture_output=True)
            reply = b""
            if made.returncode == 0:
                with open(os.path.join(scratch, "reply"), "rb") as answer:
                    reply = answer.read()
        self.send_response(200 if reply else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *arguments):
        pass


if __name__ == "__main__":
    os.chdir(sys.argv[2])
    if sys.argv[1] == "keys":
        keys()
    else:
        # Gone with the suite, however it ends: its end closes our input.
        threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
        server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
        print(server.server_port, flush=True)
        server.serve_forever()
