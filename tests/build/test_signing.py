"""scripts/sign: a signed exe that verifies, is the build plus a signature and nothing else, and
still runs; and the refusals that must leave nothing where the signed file would be.

Throwaway CAs, code-signing certificates and a time-stamp server on this machine are
made with openssl for each run; faketime makes the ones that are out of date now.

Usage: /usr/bin/python3 tests/build/test_signing.py [--exe build/windows/VorlaLogChecker.exe]
"""

import calendar
import contextlib
import hashlib
import http.server
import os
import re
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import pefile
from asn1crypto import cms, core, crl, parser, pem, x509

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "wine"))
import winehost  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(HERE))
# The mutation check (tests/mutation/) runs these tests against mutated copies of sign, and
# has them take the certificates and the signed file from one folder instead of making them
# for each copy.
SIGN = os.environ.get("SIGNING_TEST_SIGN") or os.path.join(ROOT, "scripts", "sign")
FIXTURES = os.environ.get("SIGNING_TEST_FIXTURES")
EXE = None  # set from the command line
SIGNING_TIME = 1767225600  # 2026-01-01 00:00:00 UTC
PASSWORD = "pw-Kd7#x 91"   # with a blank and a '#', which a shell or a config parser might eat
# A world that has aged since: its CA, signer and time-stamp server are made, and its files
# signed, this many days ago; the signer's certificate expired ten days after it was made.
AGED = -100
SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt"

scratch = None
files = {}
signed_path = None


def clock(days):
    """The command prefix that runs a program as if it were so many days from now."""
    return ["faketime", "-f", "%+dd" % days] if days else []


def openssl(*args, days=0):
    subprocess.run(clock(days) + ["openssl"] + list(args), check=True, stdin=subprocess.DEVNULL,
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
    with open(path("ext-ocsp.cnf"), "w") as f:
        f.write("basicConstraints=CA:FALSE\nextendedKeyUsage=OCSPSigning\n")
    with open(path("ext-ca.cnf"), "w") as f:
        f.write("basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n")
    with open(path("ext-tsa.cnf"), "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=critical,timeStamping\n")
    for name, end in (("password", "\n"), ("password-crlf", "\r\n")):
        with open(path(name), "w", newline="") as f:
            f.write(PASSWORD + end)
    with open(path("wrong-password"), "w") as f:
        f.write(PASSWORD + "x\n")
    with open(path("two-line-password"), "w") as f:
        f.write(PASSWORD + "\n" + PASSWORD + "\n")
    # The CAs may sign revocation lists, as real ones may: a list that one signs passes
    # osslsigncode's own checks, so that only verify's refusal of such lists keeps it out.
    for ca, days in (("ca", 0), ("other-ca", 0), ("aged-ca", AGED)):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path(ca + ".key"),
                "-out", path(ca + ".pem"), "-days", "1000", "-subj", "/CN=Throwaway %s" % ca,
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign", days=days)
    open(path("ca-index"), "w").close()
    with open(path("ca.cnf"), "w") as f:
        f.write("[ca]\ndefault_ca = vorla\n[vorla]\ndatabase = %s\ndefault_md = sha256\n"
                "default_crl_days = 30\n" % files["ca-index"])
    openssl("ca", "-gencrl", "-config", files["ca.cnf"], "-cert", files["ca.pem"],
            "-keyfile", files["ca.key"], "-out", path("ca-crl.pem"))
    for name, ext, ca, days in (
            ("signer", "ext-code.cnf", "ca", 0), ("tls", "ext-tls.cnf", "ca", 0),
            ("ocsp", "ext-ocsp.cnf", "ca", 0), ("future", "ext-code.cnf", "ca", 100),
            ("intermediate", "ext-ca.cnf", "ca", 0),
            ("deep", "ext-code.cnf", "intermediate", 0),
            ("stranger", "ext-code.cnf", "other-ca", 0), ("tsa", "ext-tsa.cnf", "ca", 0),
            ("other-tsa", "ext-tsa.cnf", "other-ca", 0),
            ("aged-signer", "ext-code.cnf", "aged-ca", AGED),
            ("aged-tsa", "ext-tsa.cnf", "aged-ca", AGED)):
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", path(name + ".key"),
                "-out", path(name + ".csr"), "-subj", "/CN=Vorla Test %s/O=Vorla" % name)
        openssl("x509", "-req", "-in", files[name + ".csr"], "-CA", files[ca + ".pem"],
                "-CAkey", files[ca + ".key"], "-CAcreateserial", "-days", "10",
                "-extfile", files[ext], "-out", path(name + ".pem"), days=days)
    for chain, names in (
            # A signer from another CA that carries a certificate from ours along with its own.
            ("stranger-chain.pem", ("stranger", "signer")),
            # The maker's usual chain: the signer's certificate, then the CA's below the root.
            ("deep-chain.pem", ("deep", "intermediate")),
            # The same, as a file that lists the CA first.
            ("deep-chain-reversed.pem", ("intermediate", "deep")),
            # A chain file with a root that has nothing to do with the signer.
            ("foreign-chain.pem", ("signer", "other-ca")),
            ("stranger-carried-chain.pem", ("signer", "stranger")),
            ("aged-foreign-chain.pem", ("aged-signer", "other-ca"))):
        with open(path(chain), "wb") as f:
            f.write(b"".join(read(files[name + ".pem"]) for name in names))
    openssl("pkey", "-in", files["signer.key"], "-aes256", "-passout", "file:" + files["password"],
            "-out", path("signer-locked.key"))
    write_tsa_config()
    openssl("pkcs12", "-export", "-inkey", files["signer.key"], "-in", files["signer.pem"],
            "-certfile", files["ca.pem"], "-passout", "file:" + files["password"],
            "-out", path("signer.p12"))
    # A PKCS#12 file holds a key and certificates, each of which may be missing.
    openssl("pkcs12", "-export", "-inkey", files["signer.key"], "-nocerts",
            "-passout", "file:" + files["password"], "-out", path("key-only.p12"))
    openssl("pkcs12", "-export", "-in", files["signer.pem"], "-nokeys",
            "-passout", "file:" + files["password"], "-out", path("certificate-only.p12"))


def write_tsa_config():
    """The time-stamp server's settings, which name files in scratch."""
    files["tsa-serial"] = os.path.join(scratch, "tsa-serial")
    with open(os.path.join(scratch, "tsa.cnf"), "w") as f:
        reply = ("serial = %s\nsigner_digest = sha256\ndefault_policy = 1.2.3.4.1\n"
                 "digests = sha1, sha256, sha384, sha512\ness_cert_id_alg = sha256\n"
                 % files["tsa-serial"])
        # "carrying" also puts a certificate that is not on its chain into each token;
        # "root-copy" a copy of a root that the system trusts, which verify accepts.
        f.write("[tsa]\ndefault_tsa = vorla\n[vorla]\n%s[carrying]\n%scerts = %s\n"
                "[root-copy]\n%scerts = %s\n" % (reply, reply, files["other-ca.pem"], reply,
                                                 os.path.join(scratch, "system-root.pem")))
    files["tsa.cnf"] = f.name
    if os.path.isfile(SYSTEM_ROOTS):
        with open(os.path.join(scratch, "system-root.pem"), "wb") as f:
            f.write(pem.armor("CERTIFICATE", pem_certificates(read(SYSTEM_ROOTS))[0]))


def sign(*args, days=0, env=None):
    return subprocess.run(clock(days) + [sys.executable, SIGN] + list(args), env=env,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)


def sign_p12(out):
    return sign("--pkcs12", files["signer.p12"], "--password-file", files["password"],
                "--time", str(SIGNING_TIME), "--out", out, EXE)


@contextlib.contextmanager
def time_stamp_server(tsa, days=0, section="vorla"):
    """An RFC 3161 time-stamp server on this machine, answering with openssl ts as tsa, at the
    time so many days from now, as the section of tsa.cnf says."""
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers["Content-Length"]))
            reply = subprocess.run(clock(days) + [
                                    "openssl", "ts", "-reply", "-config", files["tsa.cnf"],
                                    "-section", section,
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


def sign_stamped(tsa, out, signer="signer", days=0, section="vorla", chain=None):
    with time_stamp_server(tsa, days, section) as url:
        result = sign("--cert", files[chain or signer + ".pem"], "--key", files[signer + ".key"],
                      "--timestamp", url, "--out", out, EXE, days=days)
    if result.returncode != 0:
        raise AssertionError("signing with a time-stamp failed:\n%s" % result.stderr)
    return read(out)


def sign_pem(chain, key, out, days=0, exe=None, at=SIGNING_TIME):
    """The signed file from the PEM files in chain and key, at the fixed signing time."""
    result = sign("--cert", files[chain], "--key", files[key], "--time", str(at),
                  "--out", out, exe or EXE, days=days)
    if result.returncode != 0:
        raise AssertionError("signing with %s failed:\n%s" % (chain, result.stderr))
    return read(out)


def verify(ca, path, unsigned, **env):
    """scripts/sign --verify, with a TMPDIR of its own that it must leave empty."""
    tmp = tempfile.mkdtemp(prefix="tmpdir-", dir=scratch)
    result = sign("--verify", "--ca", ca, path, unsigned, env=dict(os.environ, TMPDIR=tmp, **env))
    if os.listdir(tmp):
        raise AssertionError("verify left %s in TMPDIR:\n%s"
                             % (", ".join(os.listdir(tmp)), result.stdout + result.stderr))
    return result


def osslsigncode_report(path):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", files["ca.pem"], "-in", path],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True).stdout


def authenticode_digest(path):
    """The file's Authenticode SHA-256 as osslsigncode computes it."""
    return re.search(r"Calculated message digest\s*:\s*([0-9A-Fa-f]+)",
                     osslsigncode_report(path)).group(1).upper()


def pem_certificates(data):
    return [der for kind, _, der in pem.unarmor(data, multiple=True) if kind == "CERTIFICATE"]


def signing_time(report):
    when = re.search(r"Signing time: (.*) GMT", report).group(1)
    return calendar.timegm(time.strptime(" ".join(when.split()), "%b %d %H:%M:%S %Y"))


def release_record(signed):
    return os.path.splitext(signed)[0] + ".buildinfo"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def certificate_table(pe):
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]


def signature_of(data):
    """The signature in a signed file's certificate table, for asn1crypto to take apart."""
    der = data[certificate_table(pefile.PE(data=data, fast_load=True)).VirtualAddress + 8:]
    return cms.ContentInfo.load(der[:parser.peek(der)])


def with_signature(data, der, padding=b""):
    """The signed file with der as its signature, and padding after it within the table entry's
    length; zeros fill the entry to 8 bytes."""
    pe = pefile.PE(data=data, fast_load=True)
    table = certificate_table(pe)
    length = 8 + len(der) + len(padding)
    entry = struct.pack("<IHH", length, 0x0200, 0x0002) + der + padding + b"\0" * (-length % 8)
    table.Size = len(entry)
    return bytes(pe.write()[:table.VirtualAddress]) + entry


def setUpModule():
    global scratch, signed_path
    for tool in ("openssl", "osslsigncode"):
        if shutil.which(tool) is None:
            raise AssertionError("%s is not installed (scripts/setup installs it)" % tool)
    scratch = tempfile.mkdtemp(prefix="vorla-sign-")
    unittest.addModuleCleanup(shutil.rmtree, scratch, ignore_errors=True)
    signed_path = os.path.join(scratch, "signed", "VorlaLogChecker.exe")
    made = FIXTURES and os.path.join(FIXTURES, "made")
    if made and os.path.isfile(made):
        shutil.copytree(FIXTURES, scratch, dirs_exist_ok=True)
        files.update((name, os.path.join(scratch, name)) for name in os.listdir(scratch))
        write_tsa_config()
        return
    make_certificates()
    result = sign_p12(signed_path)
    if result.returncode != 0:
        raise AssertionError("signing failed:\n%s%s" % (result.stdout, result.stderr))
    print("\n" + result.stdout, file=sys.stderr)
    if made:
        shutil.copytree(scratch, FIXTURES, dirs_exist_ok=True)
        open(made, "w").close()


class SignedFile(unittest.TestCase):
    def test_verifies_and_is_the_build_plus_a_signature(self):
        result = verify(files["ca.pem"], signed_path, EXE)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        digest = authenticode_digest(signed_path)
        self.assertRegex(result.stdout, "^%s\n" % "\n".join([
            re.escape(signed_path), "  signer: CN = Vorla Test signer, O = Vorla",
            r"  issued by: CN = Throwaway ca \(serial [0-9A-F]+\)",
            "  program: Vorla PrinterDriver Log Checker for KDLX",
            "  URL: http://www\\.vorla\\.eu/", "  signing time: Jan  1 00:00:00 2026 GMT",
            r"  time-stamp: none \(valid only while the certificate is\)",
            "  Authenticode SHA-256: " + digest, re.escape(EXE),
            "  Authenticode SHA-256: " + digest,
            "verify: OK: signed by CN = Vorla Test signer, O = Vorla, chained to %s; the file is "
            "%s plus a signature and nothing else" % (re.escape(files["ca.pem"]),
                                                     re.escape(EXE))]) + "$")
        # UNSIGNED defaults to the build beside sign.
        default = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(SIGN))), "build",
                               "windows", os.path.basename(EXE))
        if os.path.isfile(default) and os.path.samefile(default, EXE):
            alone = sign("--verify", "--ca", files["ca.pem"], signed_path)
            self.assertEqual(alone.returncode, 0, alone.stdout + alone.stderr)
            self.assertIn("the file is %s plus a signature" % default, alone.stdout)
        # Independently of the script's own digest: osslsigncode's removal of the signature
        # gives back the build, but for the PE checksum, which signing may rewrite.
        stripped = os.path.join(scratch, "stripped.exe")
        subprocess.run(["osslsigncode", "remove-signature", "-in", signed_path,
                        "-out", stripped], check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        build, back = bytearray(read(EXE)), bytearray(read(stripped))
        at = pefile.PE(data=bytes(build), fast_load=True).OPTIONAL_HEADER.get_field_absolute_offset(
            "CheckSum")
        build[at:at + 4] = back[at:at + 4] = b"\0\0\0\0"
        self.assertEqual(back, build)
        # Beside it, the release's record: the build's SHA-256 and the toolchain it came from.
        record = read(release_record(signed_path)).decode()
        self.assertIn("\nUnsigned-SHA256: %s\n" % hashlib.sha256(read(EXE)).hexdigest(), record)
        toolchain = read(os.path.join(os.path.dirname(EXE), "toolchain.txt")).decode()
        self.assertIn("\nToolchain:\n" + "".join(" %s\n" % line for line in toolchain.split()),
                      record)

    def test_other_ways_of_signing_verify(self):
        # Verify takes no certificate that the signature carries on trust, but these are all
        # the signer's own or on its chain.
        alone, deep, reversed_chain, aged, odd = (
            os.path.join(scratch, name + ".exe")
            for name in ("alone", "deep", "deep-reversed", "aged-stamped", "odd"))
        sign_pem("signer.pem", "signer.key", alone)
        sign_pem("deep-chain.pem", "deep.key", deep)
        # Its release record must not take the place of a signed file named like one.
        named = os.path.join(scratch, "named.buildinfo")
        sign_pem("signer.pem", "signer.key", named)
        sign_pem("deep-chain-reversed.pem", "deep.key", reversed_chain)
        sign_stamped("aged-tsa", aged, "aged-signer", days=AGED + 1)
        # A linker that leaves a COFF string table after the sections ends the file where the
        # strings end, not on 8 bytes; Authenticode hashes it as if zeros filled it up to 8.
        build = read(EXE)
        pe = pefile.PE(data=build, fast_load=True)
        strings = b".rdata$zzz\0"
        pe.FILE_HEADER.PointerToSymbolTable = len(build)
        odd_build = os.path.join(scratch, "odd-build.exe")
        with open(odd_build, "wb") as f:
            f.write(bytes(pe.write()) + struct.pack("<I", 4 + len(strings)) + strings)
        self.assertTrue(os.path.getsize(odd_build) % 8)
        sign_pem("signer.pem", "signer.key", odd, exe=odd_build)
        root_copy = os.path.join(scratch, "root-copy.exe")
        if os.path.isfile(SYSTEM_ROOTS):
            sign_stamped("tsa", root_copy, section="root-copy")
        for label, ca, path, unsigned in (
                ("the signer's certificate alone", "ca", alone, EXE),
                ("a chain through an intermediate CA", "ca", deep, EXE),
                ("a chain file that lists the intermediate CA first", "ca", reversed_chain, EXE),
                # The time-stamp vouches that the certificate was good then; a signature
                # without one is refused (see the refusals of verify).
                ("a time-stamp, from a certificate expired since", "aged-ca", aged, EXE),
                ("a build whose length is not a multiple of 8", "ca", odd, odd_build),
                ("a signed file named .buildinfo", "ca", named, EXE),
                ("a time-stamp that carries a copy of a root the system trusts", "ca",
                 root_copy, EXE)):
            with self.subTest(label):
                if not os.path.isfile(path):
                    self.skipTest("no %s" % SYSTEM_ROOTS)
                result = verify(files[ca + ".pem"], path, unsigned)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_signature_is_sha256_with_name_address_and_fixed_time(self):
        report = osslsigncode_report(signed_path)
        description = next(table.entries[b"FileDescription"].decode()
                           for info in pefile.PE(EXE).FileInfo[0] if info.Key == b"StringFileInfo"
                           for table in info.StringTable)
        self.assertRegex(report, r"Message digest algorithm\s*:\s*SHA256")
        self.assertIn("Text description: %s\n" % description, report)
        self.assertIn("URL description: http://www.vorla.eu/\n", report)
        # A company's signature, as every build has stated, not a private person's.
        self.assertIn("Microsoft Commercial Code Signing purpose", report)
        self.assertEqual(signing_time(report), SIGNING_TIME)

    def test_same_build_key_and_time_give_same_bytes(self):
        again = os.path.join(scratch, "again", "VorlaLogChecker.exe")
        result = sign_p12(again)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(read(again), read(signed_path))
        self.assertEqual(result.stdout, "".join(line + "\n" for line in [
            "signed: " + again, "  signer: CN = Vorla Test signer, O = Vorla",
            "  size: %d bytes, the signature adds %d" % (len(read(again)),
                                                        len(read(again)) - len(read(EXE))),
            "  Authenticode SHA-256: " + authenticode_digest(again),
            "  release record: " + release_record(again),
            "  no time-stamp: the signature is valid only while the certificate is"]))
        copies = [sign_pem("signer.pem", "signer.key", os.path.join(scratch, "pem-%d.exe" % n))
                  for n in (1, 2)]
        self.assertEqual(copies[0], copies[1])

    def test_password_is_on_no_command_line(self):
        # Wrappers first on PATH record what each openssl and osslsigncode is started with.
        tools = os.path.join(scratch, "recording")
        log = os.path.join(tools, "command-lines")
        os.makedirs(tools)
        for tool in ("openssl", "osslsigncode"):
            with open(os.path.join(tools, tool), "w") as f:
                f.write('#!/bin/sh\nprintf "%%s\\n" "${0##*/} $*" >>"%s"\nexec %s "$@"\n'
                        % (log, shutil.which(tool)))
            os.chmod(os.path.join(tools, tool), 0o755)
        env = dict(os.environ, PATH=tools + os.pathsep + os.environ["PATH"])
        for label, key, password in (
                ("PKCS#12", ["--pkcs12", files["signer.p12"]], "password"),
                # A password file written on Windows.
                ("encrypted key with a password line that ends in CRLF",
                 ["--cert", files["signer.pem"], "--key", files["signer-locked.key"]],
                 "password-crlf")):
            with self.subTest(label):
                out = os.path.join(tools, label.replace(" ", "-") + ".exe")
                result = sign(*key, "--password-file", files[password], "--out", out, EXE,
                              env=env)
                self.assertEqual(result.returncode, 0, result.stderr)
        lines = read(log).decode()
        for started in ("openssl pkcs12", "openssl pkey", "osslsigncode sign"):
            self.assertIn(started, lines)
        self.assertNotIn(PASSWORD, lines)

    def test_verify_fails_unless_all_holds(self):
        data = read(signed_path)
        code = next(s for s in pefile.PE(data=data, fast_load=True).sections
                    if s.IMAGE_SCN_MEM_EXECUTE)
        other_build = bytearray(read(EXE))
        other_build[code.PointerToRawData + 16] ^= 0x01
        tampered = bytearray(data)
        tampered[code.PointerToRawData + 16] ^= 0x01
        info = signature_of(data)
        # Outside what the signer signs: the signature value (which only its check guards),
        # the table's padding, further signers and the carried certificates.
        value = info["content"]["signer_infos"][0]["signature"].native
        flipped = bytearray(data)
        flipped[data.find(value) + len(value) // 2] ^= 0x10
        alone = sign_pem("signer.pem", "signer.key", os.path.join(scratch, "alone-too.exe"))
        # A signature whose length is a multiple of 8 leaves no room for padding.
        roomy = next(f for f in (data, alone) if len(signature_of(f).dump()) % 8)
        der = signature_of(roomy).dump()
        padded = with_signature(roomy, der, b"\0" * (-len(der) % 8 - 1) + b"\x01")
        ca = pem.unarmor(read(files["ca.pem"]))[2]
        key = x509.Certificate.load(ca)["tbs_certificate"]["subject_public_key_info"].dump()
        altered = bytearray(data)
        altered[data.find(key) + len(key) // 2] ^= 0x01
        self.assertIn(ca, data)
        stranger = os.path.join(scratch, "stranger.exe")
        sign_pem("stranger-chain.pem", "stranger.key", stranger)
        signers = info["content"]["signer_infos"]
        info["content"]["signer_infos"] = cms.SignerInfos(
            [signers[0], signature_of(read(stranger))["content"]["signer_infos"][0]])
        two_signers = with_signature(data, info.dump(force=True))
        foreign = sign_pem("foreign-chain.pem", "signer.key", os.path.join(scratch, "foreign.exe"))
        aged = os.path.join(scratch, "aged.exe")
        sign_pem("aged-signer.pem", "aged-signer.key", aged, days=AGED + 1)
        other_path = os.path.join(scratch, "other-build.exe")
        with open(other_path, "wb") as f:
            f.write(other_build)
        # The same other build, beside a record of the release's toolchain or of another one.
        record = read(release_record(signed_path))
        # A release signed from a build that had no toolchain.txt beside it.
        no_toolchain = os.path.join(scratch, "no-toolchain.exe")
        sign_pem("signer.pem", "signer.key", no_toolchain, exe=other_path)
        released = [line.strip() for line in record.decode().splitlines()
                    if line.startswith(" ")]
        other_toolchain = [line.replace("12.2.0-14+deb12u1+25.2+b1", "14.2.0-19+27+b1")
                           for line in released if not line.startswith("lld-")]
        # A comment there is no package, whatever it holds.
        for name, toolchain in (("same-toolchain", ["# copied from a record: lld-14=0"] + released),
                                ("other-toolchain", other_toolchain + ["lld-19=1:19.1.7-3"])):
            os.makedirs(os.path.join(scratch, name))
            shutil.copyfile(other_path, os.path.join(scratch, name, "VorlaLogChecker.exe"))
            with open(os.path.join(scratch, name, "toolchain.txt"), "w") as f:
                f.write("".join(line + "\n" for line in toolchain))
        blob = os.path.join(scratch, "blob.exe")
        subprocess.run(["osslsigncode", "add", "-addUnauthenticatedBlob", "-in", signed_path,
                        "-out", blob], check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        strange_stamp = os.path.join(scratch, "strange-stamp.exe")
        sign_stamped("other-tsa", strange_stamp)
        carrying_stamp = os.path.join(scratch, "carrying-stamp.exe")
        sign_stamped("tsa", carrying_stamp, section="carrying")
        # Judged now, the chain of a signer expired since fails with or without any carried
        # certificate, so that none would look superfluous: the time-stamp's time must be used.
        aged_foreign = sign_stamped("aged-tsa", os.path.join(scratch, "aged-foreign.exe"),
                                    "aged-signer", days=AGED + 1,
                                    chain="aged-foreign-chain.pem")
        # The same for the time-stamp's own chain, whose certificate expired since too.
        aged_carrying = sign_stamped("aged-tsa", os.path.join(scratch, "aged-carrying.exe"),
                                     "aged-signer", days=AGED + 1, section="carrying")
        stamped = sign_stamped("tsa", os.path.join(scratch, "stamped-too.exe"))
        info = signature_of(stamped)
        attribute = info["content"]["signer_infos"][0]["unsigned_attrs"][0]
        token = attribute["values"][0]
        attribute["values"] = [token, token]
        two_tokens = with_signature(stamped, info.dump())
        info = signature_of(stamped)
        token = info["content"]["signer_infos"][0]["unsigned_attrs"][0]["values"][0]
        token["content"]["signer_infos"][0]["unsigned_attrs"] = cms.CMSAttributes([
            cms.CMSAttribute({"type": "1.2.3.4.5", "values": [core.OctetString(b"payload")]})])
        unsigned_in_stamp = with_signature(stamped, info.dump())
        info = signature_of(data)
        info["content"]["crls"] = cms.RevocationInfoChoices(
            [crl.CertificateList.load(pem.unarmor(read(files["ca-crl.pem"]))[2])])
        with_crl = with_signature(data, info.dump())
        # Parameters to the algorithms that the signature names, which are no more signed than
        # the rest: in the SignedData's list of digest algorithms ahead of all else, and the
        # signer's own digest and signature algorithms. An empty OCTET STRING for the NULL
        # keeps the length.
        sha256 = bytes.fromhex("300d06096086480165030402010500")
        rsa = bytes.fromhex("300d06092a864886f70d0101010500")
        table_at = certificate_table(pefile.PE(data=data, fast_load=True)).VirtualAddress
        pe = pefile.PE(data=data, fast_load=True)
        certificate_table(pe).Size *= 2
        two_entries = bytes(pe.write()) + data[table_at:]
        certificate_table(pe).Size = len(data) - table_at + 8
        past_the_end = bytes(pe.write())
        # The build cut short right after its certificate-table entry, and that with the
        # signature's table right there.
        entry_end = certificate_table(pe).get_file_offset() + 8
        cut = os.path.join(scratch, "cut-after-entry.exe")
        with open(cut, "wb") as f:
            f.write(read(EXE)[:entry_end])
        certificate_table(pe).VirtualAddress = entry_end
        certificate_table(pe).Size = len(data) - table_at
        table_after_entry = bytes(pe.write())[:entry_end] + data[table_at:]
        info = signature_of(stamped)
        attributes = info["content"]["signer_infos"][0]["unsigned_attrs"]
        info["content"]["signer_infos"][0]["unsigned_attrs"] = cms.CMSAttributes(
            [attributes[0], attributes[0]])
        two_stamps = with_signature(stamped, info.dump(force=True))
        info = signature_of(data)
        info["content"]["certificates"] = cms.CertificateSet(
            [c for c in info["content"]["certificates"]
             if c.chosen.subject.native["common_name"] != "Vorla Test signer"])
        no_signer = with_signature(data, info.dump(force=True))
        info = signature_of(stamped)
        token = info["content"]["signer_infos"][0]["unsigned_attrs"][0]["values"][0]
        token["content"]["encap_content_info"]["content_type"] = "data"
        stamp_of_data = with_signature(stamped, info.dump(force=True))
        stranger_carried = sign_pem("stranger-carried-chain.pem", "signer.key",
                                    os.path.join(scratch, "stranger-carried.exe"))
        signer_at = data.index(signature_of(data)["content"]["signer_infos"][0].dump())

        def with_parameters(algorithm, start):
            at = data.index(algorithm, start) + len(algorithm) - 2
            return data[:at] + b"\x04" + data[at + 1:]

        ca_pem = files["ca.pem"]
        cases = [  # label, CA, file, unsigned build, what the refusal must say[, its record]
            ("a byte of code changed after signing", ca_pem, bytes(tampered), EXE,
             "the signature is over %s, not over this file" % authenticode_digest(signed_path)),
            ("a certificate table that reaches past the end of the file", ca_pem, past_the_end,
             EXE, "certificate table lies outside the file"),
            ("a certificate table of the entry's header alone", ca_pem, with_signature(data, b""),
             EXE, "not a PKCS#7 signature that can be read"),
            ("a signature that is no PKCS#7", ca_pem,
             with_signature(data, core.OctetString(b"payload!").dump()), EXE,
             "not a PKCS#7 signature that can be read"),
            ("an unsigned build that ends with its certificate-table entry", ca_pem, data, cut,
             "digests differ"),
            ("a certificate table right after its entry", ca_pem, table_after_entry, cut,
             "not over this file"),
            ("bytes after the certificate table", ca_pem, data + b"payload!", EXE,
             "has 8 bytes after its signature"),
            ("a signature without its signer's certificate", ca_pem, no_signer, EXE,
             "does not carry its signer's certificate"),
            ("a time-stamp over data that is no time-stamp", ca_pem, stamp_of_data, EXE,
             "time-stamp does not verify against the system's trusted roots or %s (it cannot be "
             "read)" % ca_pem),
            ("two time-stamps", ca_pem, two_stamps, EXE,
             "unsigned attributes besides one time-stamp"),
            ("a certificate from another CA carried that is not on the chain", ca_pem,
             stranger_carried, EXE,
             "signature carries a certificate of CN = Vorla Test stranger, O = Vorla that is"),
            ("one bit of the signature value changed", ca_pem, bytes(flipped), EXE,
             "signature does not verify"),
            ("another CA", files["other-ca.pem"], data, EXE, "does not lead to"),
            ("a signer from another CA, carrying a certificate from this one", ca_pem,
             read(stranger), EXE, "does not lead to"),
            ("a signer besides the one from this CA", ca_pem, two_signers, EXE, "2 signers"),
            ("a certificate carried that is not on the chain", ca_pem, foreign, EXE,
             "signature carries a certificate of CN = Throwaway other-ca that is not on"),
            ("the carried copy of the CA changed in its key", ca_pem, bytes(altered), EXE,
             "signature carries a certificate of CN = Throwaway ca that is not on"),
            ("a certificate in the time-stamp that is not on its chain", ca_pem,
             read(carrying_stamp), EXE,
             "time-stamp carries a certificate of CN = Throwaway other-ca that is not on"),
            ("a time-stamp, from a certificate expired since, and a certificate off its "
             "chain", files["aged-ca.pem"], aged_foreign, EXE,
             "signature carries a certificate of CN = Throwaway other-ca that is not on"),
            ("a time-stamp, from a certificate expired since, that carries a certificate off "
             "its chain", files["aged-ca.pem"], aged_carrying, EXE,
             "time-stamp carries a certificate of CN = Throwaway other-ca that is not on"),
            ("a revocation list, good and from the CA", ca_pem, with_crl, EXE,
             "signature carries revocation lists"),
            ("parameters to the digest algorithm", ca_pem, with_parameters(sha256, table_at),
             EXE, "parameters to sha256"),
            ("parameters to the signer's digest algorithm", ca_pem,
             with_parameters(sha256, signer_at), EXE, "parameters to sha256"),
            ("parameters to the signer's signature algorithm", ca_pem,
             with_parameters(rsa, signer_at), EXE, "parameters to rsassa_pkcs1v15"),
            ("no time-stamp, from a certificate expired since", files["aged-ca.pem"],
             read(aged), EXE, "certificate has expired"),
            ("a time-stamp from a server that neither the system nor the CA knows",
             ca_pem, read(strange_stamp), EXE, "time-stamp does not verify"),
            ("data added to the signature, outside what it signs", ca_pem, read(blob),
             EXE, "unsigned attributes"),
            ("a time-stamp attribute that holds two tokens", ca_pem, two_tokens, EXE,
             "unsigned attributes besides one time-stamp"),
            ("data added to the time-stamp, outside what its server signs", ca_pem,
             unsigned_in_stamp, EXE, "time-stamp carries unsigned attributes"),
            ("another build as the unsigned one", ca_pem, data, other_path,
             "digests differ"),
            ("another build, from the release's toolchain", ca_pem, data,
             os.path.join(scratch, "same-toolchain", "VorlaLogChecker.exe"),
             "built with the release's toolchain (%s): the signed file is not that build"
             % os.path.join(scratch, "candidate.buildinfo"), record),
            ("another build, from another toolchain", ca_pem, data,
             os.path.join(scratch, "other-toolchain", "VorlaLogChecker.exe"),
             "differ:\n"
             "    g++-mingw-w64-i686-win32 12.2.0-14+deb12u1+25.2+b1 in the release, "
             "14.2.0-19+27+b1 in the build\n"
             "    gcc-mingw-w64-i686-win32 12.2.0-14+deb12u1+25.2+b1 in the release, "
             "14.2.0-19+27+b1 in the build\n"
             "    lld-14 1:14.0.6-12 in the release, not in the build\n"
             "    lld-19 1:19.1.7-3 in the build, not in the release\n", record),
            ("another build, without the release's record", ca_pem, data,
             os.path.join(scratch, "other-toolchain", "VorlaLogChecker.exe"),
             "a build made with another toolchain than the release's gives other bytes"),
            ("another build, without a toolchain.txt beside it", ca_pem, data, other_path,
             "there is no toolchain.txt beside %s" % other_path, record),
            ("another build, and a release record that names no toolchain", ca_pem, data,
             os.path.join(scratch, "other-toolchain", "VorlaLogChecker.exe"),
             "names no toolchain", read(release_record(no_toolchain))),
            ("another build, and a release record without a toolchain field", ca_pem, data,
             os.path.join(scratch, "other-toolchain", "VorlaLogChecker.exe"),
             "names no toolchain", b"Format: 1.0\n"),
            ("the signed file as the unsigned one", ca_pem, data, signed_path,
             "is signed itself"),
            ("bytes hidden in the certificate table", ca_pem,
             with_signature(data, signature_of(data).dump(), b"payload!"), EXE,
             "more than the signature"),
            ("a byte other than zero in the padding", ca_pem, padded, EXE, "other than zeros"),
            ("a byte other than zero first in the padding", ca_pem,
             with_signature(roomy, der, b"\x01" + b"\0" * (-len(der) % 8 - 1)), EXE,
             "other than zeros"),
            ("a second signature in the certificate table", ca_pem, two_entries, EXE,
             "more than one signature"),
            ("the unsigned build itself", ca_pem, read(EXE), EXE, "carries no signature"),
        ]
        for label, ca, candidate, unsigned, message, *record in cases:
            with self.subTest(label):
                path = os.path.join(scratch, "candidate.exe")
                with open(path, "wb") as f:
                    f.write(candidate)
                with open(release_record(path), "wb") as f:
                    f.write(record[0] if record else b"")
                if not record:
                    os.remove(release_record(path))
                result = verify(ca, path, unsigned)
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn(message, result.stderr)

    def test_time_stamped_signature_verifies_and_shows_the_time(self):
        stamped = os.path.join(scratch, "stamped", "VorlaLogChecker.exe")
        start = time.time()
        sign_stamped("tsa", stamped)
        end = time.time()
        # In UTC, as it says, on a machine whose clock is set to a zone far from it.
        result = verify(files["ca.pem"], stamped, EXE, TZ="VLT-14")
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
    """Each bad input: a message naming the fault, exit 1, and an older signed file where the
    new one would go left exactly as it was, with nothing beside it."""

    def test_bad_certificate_key_password_or_server(self):
        with socket.socket() as s:  # a port nothing listens on
            s.bind(("127.0.0.1", 0))
            closed_port = s.getsockname()[1]
        signer = ["--cert", files["signer.pem"], "--key", files["signer.key"]]
        user, password = "ts-user", "ts-Pw91"  # of the time-stamp server
        # The build with its optional header's magic neither PE32's nor PE32+'s, and cut short
        # within its certificate-table entry.
        build = read(EXE)
        header = pefile.PE(data=build, fast_load=True).OPTIONAL_HEADER
        magic_at = header.get_field_absolute_offset("Magic")
        no_pe32, cut = os.path.join(scratch, "no-pe32.exe"), os.path.join(scratch, "cut.exe")
        with open(no_pe32, "wb") as f:
            f.write(build[:magic_at] + struct.pack("<H", 0x107) + build[magic_at + 2:])
        with open(cut, "wb") as f:
            f.write(build[:header.DATA_DIRECTORY[4].get_file_offset() + 4])
        cases = [  # label, options, what the refusal must say[, the file to sign[, --out]]
            ("missing certificate", ["--cert", files["signer.pem"] + ".gone", "--key",
                                     files["signer.key"]], "no certificate file"),
            ("a key as certificate", ["--cert", files["signer.key"], "--key",
                                      files["signer.key"]], "no PEM certificate"),
            ("missing PKCS#12", ["--pkcs12", files["signer.p12"] + ".gone"], "no PKCS#12 file"),
            ("missing key", ["--cert", files["signer.pem"], "--key", files["signer.key"] + ".gone"],
             "no key file at"),
            ("a certificate as key", ["--cert", files["signer.pem"], "--key", files["signer.pem"]],
             "is not a private key in PEM form"),
            ("an encrypted key and no password", ["--cert", files["signer.pem"], "--key",
                                                  files["signer-locked.key"]],
             "is encrypted, and no --password-file was given"),
            ("an encrypted key and a wrong password",
             ["--cert", files["signer.pem"], "--key", files["signer-locked.key"],
              "--password-file", files["wrong-password"]],
             "is encrypted, and the password is wrong"),
            ("a folder as certificate", ["--cert", scratch, "--key", files["signer.key"]],
             "certificate file %s cannot be read" % scratch),
            ("a PEM certificate as PKCS#12", ["--pkcs12", files["signer.pem"]],
             "is not a PKCS#12 file that openssl can read"),
            ("wrong password", ["--pkcs12", files["signer.p12"], "--password-file",
                                files["wrong-password"]],
             "wrong password for %s\n" % files["signer.p12"]),
            ("no password", ["--pkcs12", files["signer.p12"]], "(none given: --password-file)"),
            ("missing password file", ["--pkcs12", files["signer.p12"], "--password-file",
                                       files["password"] + ".gone"], "no password file at"),
            ("a folder as password file", ["--pkcs12", files["signer.p12"], "--password-file",
                                           scratch], "cannot be read (Is a directory)"),
            ("PKCS#12 without a certificate", ["--pkcs12", files["key-only.p12"],
                                               "--password-file", files["password"]],
             "holds no certificate"),
            ("PKCS#12 without a key", ["--pkcs12", files["certificate-only.p12"],
                                       "--password-file", files["password"]],
             "holds no private key"),
            ("a password file of two lines", ["--pkcs12", files["signer.p12"], "--password-file",
                                              files["two-line-password"]], "more than one line"),
            ("key of another certificate", ["--cert", files["signer.pem"], "--key",
                                            files["tls.key"]],
             "does not belong to the certificate in"),
            ("key of no certificate in a chain file", ["--cert", files["deep-chain.pem"], "--key",
                                                      files["signer.key"]],
             "does not belong to any certificate in"),
            ("certificate for TLS servers", ["--cert", files["tls.pem"], "--key",
                                             files["tls.key"]],
             "not for code signing (extended key usage: TLS Web Server Authentication)"),
            ("certificate for OCSP responses", ["--cert", files["ocsp.pem"], "--key",
                                                files["ocsp.key"]], "not for code signing"),
            ("certificate expired", ["--cert", files["aged-signer.pem"], "--key",
                                     files["aged-signer.key"]], "expired on"),
            ("certificate not valid yet", ["--cert", files["future.pem"], "--key",
                                           files["future.key"]], "is not valid before"),
            ("time-stamp server out of reach",
             signer + ["--timestamp", "http://127.0.0.1:%d/" % closed_port], "time-stamp"),
            ("time-stamp server out of reach, its address with a user and password",
             signer + ["--timestamp", "http://%s:%s@127.0.0.1:%d/" % (user, password, closed_port)],
             "time-stamp server http://127.0.0.1:%d/ gave no" % closed_port),
            ("the same, without http://",
             signer + ["--timestamp", "%s:%s@127.0.0.1:%d/" % (user, password, closed_port)],
             "time-stamp server 127.0.0.1:%d/ gave no" % closed_port),
            ("the same, with a port that is no number",
             signer + ["--timestamp", "http://%s:%s@127.0.0.1:x/" % (user, password)],
             "time-stamp server http://127.0.0.1:x/ gave no"),
            ("a file signed already", signer, "signed already", signed_path),
            ("a file that is no program", signer, "not a Windows program", files["ca.pem"]),
            ("a folder as program", signer, "is a folder, not a program to sign", scratch),
            ("--out inside a file", signer, "cannot write into", EXE,
             "VorlaLogChecker.exe/signed.exe"),
            ("--out that names a folder", signer, "cannot put the signed file at", EXE, "."),
            ("a program that is neither PE32 nor PE32+", signer, "not a Windows program",
             no_pe32),
            ("a program cut short in its header", signer, "not a Windows program", cut),
            ("no program at the path given", signer, "no program to sign at",
             os.path.join(scratch, "gone.exe")),
        ]
        for label, args, message, *exe in cases:
            with self.subTest(label):
                folder = os.path.join(scratch, "refused-" + label.replace(" ", "-"))
                out = os.path.join(folder, "VorlaLogChecker.exe")
                os.makedirs(folder)
                shutil.copyfile(signed_path, out)
                # The signed file goes where the row's second file says, if it names one.
                target = os.path.join(folder, exe[1]) if len(exe) > 1 else out
                result = sign(*(args + ["--out", target] + (exe[:1] or [EXE])))
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn(message, result.stderr)
                for secret in (PASSWORD, user, password):
                    self.assertNotIn(secret, result.stdout + result.stderr)
                self.assertEqual(os.listdir(folder), ["VorlaLogChecker.exe"])
                self.assertEqual(read(out), read(signed_path))

    def test_bad_command_line(self):
        ca, p12, cert, key = (files[name] for name in ("ca.pem", "signer.p12", "signer.pem",
                                                       "signer.key"))
        cases = [  # label, arguments, what the refusal must say
            ("--verify with a signing option", ["--verify", "--ca", ca, "--time", "5",
                                                signed_path], "--verify takes no --time\n"),
            ("--verify without --ca", ["--verify", signed_path], "--verify needs --ca"),
            ("--verify without a file", ["--verify", "--ca", ca], "at most one UNSIGNED"),
            ("--verify with three files", ["--verify", "--ca", ca, signed_path, EXE, EXE],
             "at most one UNSIGNED"),
            ("--ca when signing", ["--ca", ca, "--pkcs12", p12, EXE], "--ca is for --verify"),
            ("neither --pkcs12 nor --cert and --key", [EXE], "give either"),
            ("both --pkcs12 and --cert and --key", ["--pkcs12", p12, "--cert", cert, "--key",
                                                    key, EXE], "give either"),
            ("--cert without --key", ["--cert", cert, EXE], "go together"),
            ("--key without --cert", ["--key", key, EXE], "go together"),
            ("two programs", ["--pkcs12", p12, EXE, EXE], "one EXE at a time"),
            ("a signing time that is no whole number", ["--pkcs12", p12, "--time", "1e9", EXE],
             "not whole seconds"),
        ]
        for label, args, message in cases:
            with self.subTest(label):
                result = sign(*args)
                self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
                self.assertIn(message, result.stderr)

    def test_osslsigncode_that_misbehaves(self):
        # Stand-ins first on PATH run the real osslsigncode, then spoil what it wrote: data,
        # the file signed; report, what it printed; code, its exit status.
        tools = os.path.join(scratch, "misbehaving")
        code = next(s for s in pefile.PE(EXE, fast_load=True).sections if s.IMAGE_SCN_MEM_EXECUTE)
        cases = [  # label, --verify or not, what the stand-in does, what the refusal must say
            ("a byte of code changed", False, "data[%d] ^= 1" % (code.PointerToRawData + 16),
             "digest is not the build's"),
            ("the build left unsigned", False,
             "data[:] = open(args[args.index('-in') + 1], 'rb').read()",
             "digest is not the build's"),
            # Outside the digest, but not an Authenticode signature.
            ("a certificate table of another revision", False, "import pefile; data[pefile.PE("
             "data=bytes(data)).OPTIONAL_HEADER.DATA_DIRECTORY[4].VirtualAddress + 4] = 1",
             "does not start with an Authenticode signature"),
            # Without --timestamp no time-stamp server is to blame; six lines of it are shown.
            ("no file written, and ten lines about curl", False,
             "os.remove(out); code = 1; report = ''.join('curl %d\\n' % n for n in range(10))",
             "osslsigncode could not sign %s:\n" % EXE
             + "".join("    curl %d\n" % n for n in range(4, 10))),
            ("no file written, yet success", False, "os.remove(out)",
             "osslsigncode could not sign"),
            ("a good file written, yet failure", False, "code = 1", "osslsigncode could not sign"),
            ("not installed", False, None, "osslsigncode is not installed"),
            ("verify fails, but says the signature is good", True, "code = 1",
             "signature does not verify"),
            ("verify does not say the signature is good", True,
             "report = report.replace('Signature verification: ok', '')",
             "signature does not verify"),
            ("verify computes another digest", True,
             "report = re.sub('(Calculated message digest *: *)[0-9A-F]+', r'\\g<1>' + '0' * 64,"
             " report)", "osslsigncode computes the file's digest as " + "0" * 64),
            ("verify names another digest algorithm", True,
             "report = report.replace('Message digest algorithm  : SHA256', "
             "'Message digest algorithm  : SHA1')", "signature's digest is SHA1, not SHA-256"),
        ]
        for n, (label, verifying, spoil, message) in enumerate(cases):
            with self.subTest(label):
                bin_dir = os.path.join(tools, str(n))
                os.makedirs(bin_dir)
                if spoil is None:
                    # PATH then leads to openssl only.
                    os.symlink(shutil.which("openssl"), os.path.join(bin_dir, "openssl"))
                else:
                    with open(os.path.join(bin_dir, "osslsigncode"), "w") as f:
                        f.write("#!%s\nimport os, re, subprocess, sys\nargs = sys.argv[1:]\n"
                                "run = subprocess.run([%r] + args, stdout=subprocess.PIPE, "
                                "text=True)\ncode, report = run.returncode, run.stdout\n"
                                "out = args[args.index('-out') + 1] if '-out' in args else None\n"
                                "data = bytearray(open(out, 'rb').read()) if out else None\n"
                                "%s\nif out and os.path.exists(out):\n"
                                "    open(out, 'wb').write(data)\n"
                                "sys.stdout.write(report)\nsys.exit(code)\n"
                                % (sys.executable, shutil.which("osslsigncode"), spoil))
                    os.chmod(os.path.join(bin_dir, "osslsigncode"), 0o755)
                env = dict(os.environ, PATH=bin_dir + ("" if spoil is None else
                                                       os.pathsep + os.environ["PATH"]))
                folder = os.path.join(tools, "out-%d" % n)
                os.makedirs(folder)
                if verifying:
                    result = verify(files["ca.pem"], signed_path, EXE, PATH=env["PATH"])
                else:
                    result = sign("--cert", files["signer.pem"], "--key", files["signer.key"],
                                  "--out", os.path.join(folder, "signed.exe"), EXE, env=env)
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(os.listdir(folder), [])

    def test_stopped_while_signing(self):
        # A time-stamp server that takes the request and never answers: the signal then.
        for stop in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(stop.name):
                folder = os.path.join(scratch, "stopped-" + stop.name)
                out = os.path.join(folder, "VorlaLogChecker.exe")
                os.makedirs(folder)
                shutil.copyfile(signed_path, out)
                with socket.socket() as server:
                    server.bind(("127.0.0.1", 0))
                    server.listen()
                    server.settimeout(0.1)
                    proc = subprocess.Popen(
                        [sys.executable, SIGN, "--cert", files["signer.pem"], "--key",
                         files["signer.key"], "--timestamp",
                         "http://127.0.0.1:%d/" % server.getsockname()[1], "--out", out, EXE],
                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                        text=True)
                    try:
                        connection = None
                        while connection is None and proc.poll() is None:
                            with contextlib.suppress(socket.timeout):
                                connection, _ = server.accept()
                        proc.send_signal(stop)
                        stdout, stderr = proc.communicate(timeout=60)
                        if connection is None:
                            self.fail("sign ended before it asked for a time-stamp:\n" + stderr)
                        connection.close()
                    finally:
                        proc.kill()
                        proc.wait()
                self.assertEqual(proc.returncode, 1, stdout + stderr)
                self.assertEqual(os.listdir(folder), ["VorlaLogChecker.exe"])
                self.assertEqual(read(out), read(signed_path))

    def test_signing_time_ends_with_2049(self):
        folder = os.path.join(scratch, "end-of-2049")
        last, later = os.path.join(folder, "last.exe"), os.path.join(folder, "later.exe")
        os.makedirs(folder)
        last_second = calendar.timegm((2049, 12, 31, 23, 59, 59))
        sign_pem("signer.pem", "signer.key", last, at=last_second)
        self.assertEqual(signing_time(osslsigncode_report(last)), last_second)
        result = sign("--cert", files["signer.pem"], "--key", files["signer.key"],
                      "--time", str(last_second + 1), "--out", later, EXE)
        self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
        self.assertIn("after 2049", result.stderr)
        self.assertEqual(sorted(os.listdir(folder)), ["last.buildinfo", "last.exe"])

    def test_signed_file_has_the_builds_mode_and_never_replaces_it(self):
        folder = os.path.join(scratch, "own-mode")
        build = os.path.join(folder, "VorlaLogChecker.exe")
        os.makedirs(folder)
        shutil.copyfile(EXE, build)
        os.chmod(build, 0o751)  # neither a new file's mode nor the build's usual one
        sign_pem("signer.pem", "signer.key", os.path.join(folder, "signed.exe"), exe=build)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(folder, "signed.exe")).st_mode), 0o751)
        os.link(build, os.path.join(folder, "link.exe"))
        for out in ("VorlaLogChecker.exe", "link.exe"):
            with self.subTest(out):
                result = sign("--cert", files["signer.pem"], "--key", files["signer.key"],
                              "--out", os.path.join(folder, out), build)
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn("would replace", result.stderr)
                self.assertEqual(sorted(os.listdir(folder)), ["VorlaLogChecker.exe", "link.exe",
                                                              "signed.buildinfo", "signed.exe"])
                self.assertEqual(read(build), read(EXE))
                self.assertEqual(stat.S_IMODE(os.stat(build).st_mode), 0o751)


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
