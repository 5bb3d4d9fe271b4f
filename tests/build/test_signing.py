"""scripts/sign: a signed exe that verifies, is the build plus a signature and nothing else, and
still runs; and the refusals that must leave nothing where the signed file would be.

Throwaway CAs, code-signing certificates and a time-stamp server on this machine are
made with openssl for each run.

Usage: python3 tests/build/test_signing.py [--exe build/windows/VorlaLogChecker.exe]
"""

import calendar
import contextlib
import http.server
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "wine"))
import peimage  # noqa: E402
import winehost  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(HERE))
SIGN = os.path.join(ROOT, "scripts", "sign")
EXE = None  # set from the command line
SIGNING_TIME = 1767225600  # 2026-01-01 00:00:00 UTC
PASSWORD = "pw-Kd7#x 91"   # with a blank and a '#', which a shell or a config parser might eat

scratch = None
files = {}
signed_path = None


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=scratch)


def make_certificates():
    def path(name):
        files[name] = os.path.join(scratch, name)
        return files[name]

    with open(path("ext-code.cnf"), "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=codeSigning\n")
    with open(path("ext-tls.cnf"), "w") as f:
        f.write("basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
    with open(path("ext-tsa.cnf"), "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=critical,timeStamping\n")
    with open(path("password"), "w") as f:
        f.write(PASSWORD + "\n")
    with open(path("wrong-password"), "w") as f:
        f.write(PASSWORD + "x\n")
    for ca in ("ca", "other-ca"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path(ca + ".key"),
                "-out", path(ca + ".pem"), "-days", "30", "-subj", "/CN=Throwaway %s" % ca,
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign")
    for name, ext, ca in (("signer", "ext-code.cnf", "ca"), ("tls", "ext-tls.cnf", "ca"),
                          ("stranger", "ext-code.cnf", "other-ca"), ("tsa", "ext-tsa.cnf", "ca"),
                          ("other-tsa", "ext-tsa.cnf", "other-ca")):
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", path(name + ".key"),
                "-out", path(name + ".csr"), "-subj", "/CN=Vorla Test %s/O=Vorla" % name)
        openssl("x509", "-req", "-in", files[name + ".csr"], "-CA", files[ca + ".pem"],
                "-CAkey", files[ca + ".key"], "-CAcreateserial", "-days", "10",
                "-extfile", files[ext], "-out", path(name + ".pem"))
    # A signer from another CA that carries a certificate from ours along with its own.
    with open(path("stranger-chain.pem"), "wb") as f:
        f.write(read(files["stranger.pem"]) + read(files["signer.pem"]))
    with open(path("tsa.cnf"), "w") as f:
        f.write("[tsa]\ndefault_tsa = vorla\n[vorla]\nserial = %s\nsigner_digest = sha256\n"
                "default_policy = 1.2.3.4.1\ndigests = sha1, sha256, sha384, sha512\n"
                "ess_cert_id_alg = sha256\n" % path("tsa-serial"))
    openssl("pkcs12", "-export", "-inkey", files["signer.key"], "-in", files["signer.pem"],
            "-certfile", files["ca.pem"], "-passout", "file:" + files["password"],
            "-out", path("signer.p12"))


def sign(*args):
    return subprocess.run([sys.executable, SIGN] + list(args), stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def sign_p12(out):
    return sign("--pkcs12", files["signer.p12"], "--password-file", files["password"],
                "--time", str(SIGNING_TIME), "--out", out, EXE)


@contextlib.contextmanager
def time_stamp_server(tsa):
    """An RFC 3161 time-stamp server on this machine, answering with openssl ts as tsa."""
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers["Content-Length"]))
            reply = subprocess.run(["openssl", "ts", "-reply", "-config", files["tsa.cnf"],
                                    "-queryfile", "/dev/stdin", "-signer", files[tsa + ".pem"],
                                    "-inkey", files[tsa + ".key"], "-out", "/dev/stdout"],
                                   input=query, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL).stdout
            self.send_response(200 if reply else 500)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield "http://127.0.0.1:%d/" % server.server_address[1]
    finally:
        server.shutdown()
        server.server_close()


def sign_stamped(tsa, out):
    with time_stamp_server(tsa) as url:
        result = sign("--cert", files["signer.pem"], "--key", files["signer.key"],
                      "--timestamp", url, "--out", out, EXE)
    if result.returncode != 0:
        raise AssertionError("signing with a time-stamp failed:\n%s" % result.stderr)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def optional_header(data):
    return struct.unpack_from("<I", data, 0x3C)[0] + 24


def checksum_offset(data):
    return optional_header(data) + 64


def setUpModule():
    global scratch, signed_path
    for tool in ("openssl", "osslsigncode"):
        if shutil.which(tool) is None:
            raise AssertionError("%s is not installed (scripts/setup installs it)" % tool)
    scratch = tempfile.mkdtemp(prefix="vorla-sign-")
    unittest.addModuleCleanup(shutil.rmtree, scratch, ignore_errors=True)
    make_certificates()
    signed_path = os.path.join(scratch, "signed", "VorlaLogChecker.exe")
    result = sign_p12(signed_path)
    if result.returncode != 0:
        raise AssertionError("signing failed:\n%s%s" % (result.stdout, result.stderr))
    print("\n" + result.stdout, file=sys.stderr)


class SignedFile(unittest.TestCase):
    def test_verifies_and_is_the_build_plus_a_signature(self):
        result = sign("--verify", "--ca", files["ca.pem"], signed_path, EXE)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("Vorla Test signer", result.stdout)
        # Independently of the script's own digest: osslsigncode's removal of the signature
        # gives back the build, but for the PE checksum, which signing may rewrite.
        stripped = os.path.join(scratch, "stripped.exe")
        subprocess.run(["osslsigncode", "remove-signature", "-in", signed_path,
                        "-out", stripped], check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        build, back = bytearray(read(EXE)), bytearray(read(stripped))
        at = checksum_offset(build)
        build[at:at + 4] = back[at:at + 4] = b"\0\0\0\0"
        self.assertEqual(back, build)

    def test_signature_is_sha256_with_name_address_and_fixed_time(self):
        report = subprocess.run(["osslsigncode", "verify", "-CAfile", files["ca.pem"],
                                 "-in", signed_path], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True).stdout
        strings = peimage.VersionInfo(peimage.load(EXE).resource(peimage.RT_VERSION, 1))
        description = strings.string_tables["040904B0"]["FileDescription"]
        self.assertRegex(report, r"Message digest algorithm\s*:\s*SHA256")
        self.assertIn("Text description: %s\n" % description, report)
        self.assertIn("URL description: http://www.vorla.eu/\n", report)
        when = re.search(r"Signing time: (.*) GMT", report).group(1)
        self.assertEqual(calendar.timegm(time.strptime(" ".join(when.split()),
                                                       "%b %d %H:%M:%S %Y")), SIGNING_TIME)

    def test_same_build_key_and_time_give_same_bytes(self):
        again = os.path.join(scratch, "again", "VorlaLogChecker.exe")
        self.assertEqual(sign_p12(again).returncode, 0)
        self.assertEqual(read(again), read(signed_path))
        pem = [os.path.join(scratch, "pem-%d.exe" % n) for n in (1, 2)]
        for out in pem:
            result = sign("--cert", files["signer.pem"], "--key", files["signer.key"],
                          "--time", str(SIGNING_TIME), "--out", out, EXE)
            self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(read(pem[0]), read(pem[1]))

    def test_verify_fails_unless_all_holds(self):
        data = read(signed_path)
        pe = peimage.PeImage(data)
        code = next(s for s in pe.sections if s.flags & peimage.SECTION_EXECUTE)
        other_build = bytearray(read(EXE))
        other_build[code.raw_offset + 16] ^= 0x01
        tampered = bytearray(data)
        tampered[code.raw_offset + 16] ^= 0x01
        # Bytes added inside the certificate table are in no digest, and osslsigncode still
        # calls the signature good.
        hidden = bytearray(data)
        directory = pe.directory(peimage.DIRECTORY_SECURITY)
        at = optional_header(data) + 96 + 8 * peimage.DIRECTORY_SECURITY  # PE32's entry
        struct.pack_into("<II", hidden, at, directory[0], directory[1] + 8)
        struct.pack_into("<I", hidden, directory[0],
                         struct.unpack_from("<I", data, directory[0])[0] + 8)
        other_path = os.path.join(scratch, "other-build.exe")
        with open(other_path, "wb") as f:
            f.write(other_build)
        stranger = os.path.join(scratch, "stranger.exe")
        result = sign("--cert", files["stranger-chain.pem"], "--key", files["stranger.key"],
                      "--out", stranger, EXE)
        self.assertEqual(result.returncode, 0, result.stderr)
        blob = os.path.join(scratch, "blob.exe")
        subprocess.run(["osslsigncode", "add", "-addUnauthenticatedBlob", "-in", signed_path,
                        "-out", blob], check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        strange_stamp = os.path.join(scratch, "strange-stamp.exe")
        sign_stamped("other-tsa", strange_stamp)
        cases = [  # label, CA, file, unsigned build, what the refusal must say
            ("a byte of code changed after signing", files["ca.pem"], bytes(tampered), EXE,
             "not over this file"),
            ("another CA", files["other-ca.pem"], data, EXE, "does not lead to"),
            ("a signer from another CA, carrying a certificate from this one", files["ca.pem"],
             read(stranger), EXE, "does not lead to"),
            ("a time-stamp from a server that neither the system nor the CA knows",
             files["ca.pem"], read(strange_stamp), EXE, "time-stamp does not verify"),
            ("data added to the signature, outside what it signs", files["ca.pem"], read(blob),
             EXE, "unsigned attributes"),
            ("another build as the unsigned one", files["ca.pem"], data, other_path,
             "digests differ"),
            ("bytes hidden in the certificate table", files["ca.pem"],
             bytes(hidden) + b"payload!", EXE, "more than the signature"),
            ("the unsigned build itself", files["ca.pem"], read(EXE), EXE, "no signature"),
        ]
        for label, ca, candidate, unsigned, message in cases:
            with self.subTest(label):
                path = os.path.join(scratch, "candidate.exe")
                with open(path, "wb") as f:
                    f.write(candidate)
                result = sign("--verify", "--ca", ca, path, unsigned)
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn(message, result.stderr)

    def test_time_stamped_signature_verifies_and_shows_the_time(self):
        stamped = os.path.join(scratch, "stamped", "VorlaLogChecker.exe")
        start = time.time()
        sign_stamped("tsa", stamped)
        end = time.time()
        result = sign("--verify", "--ca", files["ca.pem"], stamped, EXE)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        shown = re.search(r"time-stamp: (\w+ +\d+ [\d:]+ \d+) GMT\n", result.stdout)
        self.assertIsNotNone(shown, result.stdout)
        when = calendar.timegm(time.strptime(" ".join(shown.group(1).split()),
                                             "%b %d %H:%M:%S %Y"))
        self.assertTrue(int(start) - 2 <= when <= end + 2, shown.group(1))

    def test_exe_facts_hold_for_the_signed_file(self):
        result = subprocess.run([sys.executable, os.path.join(HERE, "test_exe_facts.py"),
                                 "--exe", signed_path], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertEqual(result.returncode, 0, result.stdout)


class Refusals(unittest.TestCase):
    """Each bad input: a message naming the fault, exit 1, and nothing where the file goes."""

    def test_bad_certificate_key_password_or_server(self):
        with socket.socket() as s:  # a port nothing listens on
            s.bind(("127.0.0.1", 0))
            closed_port = s.getsockname()[1]
        signer = ["--cert", files["signer.pem"], "--key", files["signer.key"]]
        cases = [
            ("missing certificate", ["--cert", files["signer.pem"] + ".gone", "--key",
                                     files["signer.key"]], "no certificate file"),
            ("a key as certificate", ["--cert", files["signer.key"], "--key",
                                      files["signer.key"]], "no PEM certificate"),
            ("missing PKCS#12", ["--pkcs12", files["signer.p12"] + ".gone"], "no PKCS#12 file"),
            ("wrong password", ["--pkcs12", files["signer.p12"], "--password-file",
                                files["wrong-password"]], "wrong password"),
            ("no password", ["--pkcs12", files["signer.p12"]], "wrong password"),
            ("key of another certificate", ["--cert", files["signer.pem"], "--key",
                                            files["tls.key"]], "does not belong"),
            ("certificate not for code signing", ["--cert", files["tls.pem"], "--key",
                                                  files["tls.key"]], "not for code signing"),
            ("time-stamp server out of reach",
             signer + ["--timestamp", "http://127.0.0.1:%d/" % closed_port], "time-stamp"),
        ]
        for label, args, message in cases:
            with self.subTest(label):
                folder = os.path.join(scratch, "refused-" + label.replace(" ", "-"))
                out = os.path.join(folder, "VorlaLogChecker.exe")
                result = sign(*(args + ["--out", out, EXE]))
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn(message, result.stderr)
                self.assertNotIn(PASSWORD, result.stdout + result.stderr)
                self.assertEqual(os.listdir(folder) if os.path.isdir(folder) else [], [])


class SignedUnderWine(unittest.TestCase):
    """Wine ignores signatures: this shows the signed file still does its job."""

    def test_show_now_then_check_not_due(self):
        with winehost.WinePrefix() as prefix:
            prefix.install_exe(signed_path)
            prefix.install_browser_recorder()
            start = time.time()
            self.assertEqual(prefix.run("/INV"), 0)
            end = time.time()
            self.assertEqual(prefix.pages(), [winehost.OFFERS_PAGE])
            stamp = prefix.reg_read_key()["LastCheckDate"]
            self.assertTrue(int(start) - winehost.STAMP_SLACK <= stamp
                            <= int(end) + winehost.STAMP_SLACK, stamp)
            prefix.clear_pages()
            self.assertEqual(prefix.run("/CHK"), 0)
            self.assertEqual(prefix.pages(), [])
            self.assertEqual(prefix.reg_read_key()["LastCheckDate"], stamp)


if __name__ == "__main__":
    EXE, argv = winehost.parse_test_args()
    unittest.main(argv=argv, verbosity=2)
