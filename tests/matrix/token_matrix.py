#!/usr/bin/env python3
"""The plug-in's main job on independently written PKCS#11 modules from Debian.

For each module: list the certificates, fetch one with SignCert, and sign a text with md5, sha1
and sha256, all through vellum-host and the shipping plug-in, with our forwarding module at the
plug-in's fixed path in front of the module under test (it supplies the PIN on the plug-in's
PIN-less login and logs every call). A cell reads "verified" when the answer was checked (the
list names exactly the expected certificate, the certificate is the token's DER, the signature
verifies with `openssl dgst -verify`), or else the plug-in's LastError text. The run fails when a
cell differs from what the module is known to answer, when a call log shows a session or a login
left behind or a module unloaded while initialised, or when a signature does not verify.

Everything happens in private mount, IPC and PID namespaces entered at the start (through a user
namespace when not root): tmpfs over /etc/pkcs11, /usr/share/p11-kit/modules,
/var/lib/opencryptoki, /run and /dev/shm, so that neither p11-kit's module configuration nor
opencryptoki's daemon, its token store, socket and shared memory touch the machine's own. The
daemon is started and stopped here; leaving the PID namespace ends whatever is left.

usage: token_matrix.py --host PATH --plugin PATH --fwd PATH --softhsm PATH --work DIR
                       [--rows KEY,...] [--markdown FILE]
Exit status 0 all as expected, 1 a difference or a row this machine can run that did not run
(see ROW_NEEDS), 77 the namespaces cannot be had or no row could run (skipped).
"""
import argparse
import base64
import datetime
import json
import os
import shutil
import signal
import subprocess
import sys
import time

SKIPPED = 77
VERIFIED = "verified"
# "no PIN": sha1 again, with the null login passed through to the module as it stands.
# "flow in one process": a page's whole flow in one vellum-host run (Matrix.flow).
FLOW = "flow in one process"
COLUMNS = ("list", "certificate", "md5", "sha1", "sha256", "no PIN", FLOW)
AS_ALONE = "as alone"
HASHES = ("md5", "sha1", "sha256")
DATA = "Pay 100 to Bob, ünïcødé"
PIN = "24681357"
SO_PIN = "76543210"
OPENCRYPTOKI_FIRST_SO_PIN = "87654321"  # what a new opencryptoki token starts with
INSIDE = "VELLUM_MATRIX_NAMESPACE"
PKCSSLOTD_PID_FILE = "/run/pkcsslotd.pid"
PKCSSLOTD_SOCKET = "/run/pkcsslotd.socket"
DAEMON_READY_SECONDS = 120

# Debian packages whose versions the table is measured against.
PACKAGES = ("softhsm2", "opencryptoki", "p11-kit-modules", "libnss3", "opensc-pkcs11")


# What each row needs of the machine: the Debian packages (./run installs them all) and whether
# it needs to be run as root (opencryptoki's state belongs to group pkcs11, which a user namespace
# does not map). A row whose needs this machine meets must run: its not running fails the matrix.
ROW_NEEDS = {
    "softhsm2": (("softhsm2", "opensc"), False),
    "opencryptoki": (("opencryptoki", "opensc"), True),
    "p11-kit": (("p11-kit-modules", "softhsm2", "opensc"), False),
    "softokn": (("libnss3",), False),
    "softokn-p11-kit": (("libnss3", "libnss3-tools", "p11-kit-modules"), False),
    "pkcs11-spy": (("opensc-pkcs11", "softhsm2", "opensc"), False),
    "opensc": (("opensc-pkcs11",), False),
}


def runs_as_root():
    """Whether this process is root outside any user namespace it was started in."""
    with open("/proc/self/uid_map") as f:
        return any(line.split()[:2] == ["0", "0"] for line in f)


def unmet_needs(key):
    """Why this machine cannot run the row `key` (packages missing, not root), or None."""
    packages, needs_root = ROW_NEEDS.get(key, ((), False))
    missing = [p for p in packages if package_version(p) == "not installed"]
    if missing:
        return "not installed: " + ", ".join(missing)
    if needs_root and not runs_as_root():
        return "it needs root"
    return None


class Unavailable(Exception):
    """The row cannot be set up on this machine without breaking its isolation."""


def run(cmd, env=None, input=None, timeout=60, check=True):
    result = subprocess.run(cmd, capture_output=True, env=env, input=input, timeout=timeout)
    if check and result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(cmd), result.returncode,
                                                    result.stderr.decode(errors="replace").strip()))
    return result


def installed_file(package, name):
    """The file that the Debian package installed whose path ends in /name (the first)."""
    listing = run(["dpkg", "-L", package], check=False)
    if listing.returncode != 0:
        raise RuntimeError("package %s is not installed (./run installs it)" % package)
    for path in listing.stdout.decode().splitlines():
        if path.endswith("/" + name) and os.path.isfile(path):
            return path
    raise RuntimeError("package %s has no file %s" % (package, name))


def package_version(package):
    result = run(["dpkg-query", "-W", "-f=${Version}", package], check=False)
    return result.stdout.decode() if result.returncode == 0 else "not installed"


# --- namespaces and mounts ----------------------------------------------------------------------

def skip(args, reason):
    print("SKIPPED: " + reason)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write("The token matrix was skipped: %s\n" % reason)
    return SKIPPED


def enter_namespaces(args, argv):
    """Re-runs this script as PID 1 of private mount, IPC and PID namespaces."""
    if os.environ.get(INSIDE) == "1":
        return
    cmd = ["unshare", "--mount", "--ipc", "--pid", "--fork", "--kill-child", "--mount-proc",
           "--propagation", "private"]
    if os.geteuid() != 0:
        cmd[1:1] = ["--user", "--map-root-user"]
    probe = subprocess.run(cmd + ["true"], capture_output=True)
    if probe.returncode != 0:
        sys.exit(skip(args, "the matrix needs private mount, IPC and PID namespaces to isolate "
                      "p11-kit's configuration and opencryptoki's daemon, and `%s` failed: %s"
                      % (" ".join(cmd), probe.stderr.decode(errors="replace").strip())))
    os.environ[INSIDE] = "1"
    os.execvp(cmd[0], cmd + [sys.executable, os.path.abspath(__file__)] + argv)


def mount_tmpfs(path, mode="0755"):
    run(["mount", "-t", "tmpfs", "-o", "mode=" + mode, "tmpfs", path])


def private_directory(path, scratch):
    """An empty tmpfs at path, seen only in this namespace. A missing path gets made in an
    overlay of its parent whose writes go to a tmpfs, so the machine's own tree is left as it
    is."""
    if not os.path.isdir(path):
        parent = os.path.dirname(path)
        layer = os.path.join(scratch, "overlay" + parent.replace("/", "-"))
        os.makedirs(layer)
        mount_tmpfs(layer)
        os.makedirs(os.path.join(layer, "upper"))
        os.makedirs(os.path.join(layer, "work"))
        run(["mount", "-t", "overlay", "overlay", "-o",
             "lowerdir=%s,upperdir=%s/upper,workdir=%s/work" % (parent, layer, layer), parent])
        os.mkdir(path)
    mount_tmpfs(path)


# --- certificates and tokens --------------------------------------------------------------------

class Certificate:
    """A key and a self-signed certificate made with openssl, as files in a directory."""

    def __init__(self, directory, name, serial):
        self.name, self.serial = name, serial
        os.makedirs(directory, exist_ok=True)
        self.key_pem, self.cert_pem, self.key_der, self.cert_der, self.pub_pem = (
            os.path.join(directory, f) for f in
            ("key.pem", "cert.pem", "key.der", "cert.der", "pub.pem"))
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650",
             "-subj", "/CN=%s/O=vellum" % name, "-set_serial", "0x" + serial,
             "-keyout", self.key_pem, "-out", self.cert_pem])
        run(["openssl", "pkey", "-in", self.key_pem, "-outform", "DER", "-out", self.key_der])
        run(["openssl", "x509", "-in", self.cert_pem, "-outform", "DER", "-out", self.cert_der])
        run(["openssl", "x509", "-in", self.cert_pem, "-pubkey", "-noout", "-out", self.pub_pem])
        with open(self.cert_der, "rb") as f:
            self.der = f.read()

    @property
    def entry(self):
        return "CN=%s,%s;" % (self.name, self.serial)


def import_objects(module, token_label, cert, env=None):
    """Writes the key and the certificate with one CKA_ID, as a vendor's tool would."""
    for path, kind in ((cert.key_der, "privkey"), (cert.cert_der, "cert")):
        run(["pkcs11-tool", "--module", module, "--token-label", token_label, "--login",
             "--pin", PIN, "--write-object", path, "--type", kind, "--id", cert.serial,
             "--label", cert.name], env=env)


def softhsm_store(directory, softhsm, labels_and_certs):
    """A SoftHSM2 token store in directory with one token per (label, certificate)."""
    tokens = os.path.join(directory, "tokens")
    os.makedirs(tokens)
    conf = os.path.join(directory, "softhsm2.conf")
    with open(conf, "w") as f:
        f.write("directories.tokendir = %s\nobjectstore.backend = file\n"
                "log.level = ERROR\n" % tokens)
    env = dict(os.environ, SOFTHSM2_CONF=conf)
    for label, cert in labels_and_certs:
        run(["softhsm2-util", "--init-token", "--free", "--label", label, "--pin", PIN,
             "--so-pin", SO_PIN], env=env)
        import_objects(softhsm, label, cert, env)
    return conf


class Opencryptoki:
    """opencryptoki's software token and its slot daemon, in this namespace's own state."""

    def __init__(self):
        self.module = installed_file("opencryptoki", "libopencryptoki.so")
        self.daemon = None

    def start(self, cert):
        try:
            mount_tmpfs("/var/lib/opencryptoki", "0770")
            if os.path.isdir("/var/log/opencryptoki"):  # its trace files, when tracing is on
                mount_tmpfs("/var/log/opencryptoki", "0770")
        except RuntimeError as e:
            raise Unavailable("cannot lay a tmpfs over its token store: %s" % e)
        for d in ("/var/lib/opencryptoki/swtok/TOK_OBJ", "/run/lock/opencryptoki/swtok"):
            os.makedirs(d)
        try:
            for d in ("/var/lib/opencryptoki", "/run/lock/opencryptoki"):
                run(["chgrp", "-R", "pkcs11", d])
        except RuntimeError as e:
            raise Unavailable("its state must belong to group pkcs11, which a user namespace "
                              "(run as root to have it) does not map: %s"
                              % str(e).splitlines()[0])
        pkcsslotd = installed_file("opencryptoki", "sbin/pkcsslotd")
        run([pkcsslotd])  # forks the daemon, which, orphaned, becomes our child as PID 1
        self.daemon = self.wait_until_ready()
        slot = self.software_slot()
        run(["pkcsconf", "-c", slot, "-I", "-S", OPENCRYPTOKI_FIRST_SO_PIN],
            input=b"vellum-matrix\n")  # the label
        run(["pkcsconf", "-c", slot, "-P", "-S", OPENCRYPTOKI_FIRST_SO_PIN, "-n", SO_PIN])
        run(["pkcsconf", "-c", slot, "-u", "-S", SO_PIN, "-n", PIN])
        import_objects(self.module, "vellum-matrix", cert)

    @staticmethod
    def wait_until_ready():
        """The daemon's PID once it has written its pid file and opened its socket. The forked
        daemon does both after its launcher has returned, late on a busy machine: this is a
        wait for readiness, bounded only so that a daemon that never comes is reported."""
        deadline = time.monotonic() + DAEMON_READY_SECONDS
        while True:
            pid = None
            try:
                with open(PKCSSLOTD_PID_FILE) as f:
                    pid = int(f.read().split()[0])
            except (OSError, ValueError, IndexError):
                pass  # not written yet, or half written
            if pid is not None and os.path.exists(PKCSSLOTD_SOCKET):
                return pid
            if time.monotonic() > deadline:
                raise RuntimeError(
                    "pkcsslotd did not become ready within %d s: %s; see its messages in the "
                    "system log" % (DAEMON_READY_SECONDS,
                                    "no PID in " + PKCSSLOTD_PID_FILE if pid is None else
                                    "PID %d but no socket %s" % (pid, PKCSSLOTD_SOCKET)))
            time.sleep(0.05)

    @staticmethod
    def software_slot():
        for line in open("/etc/opencryptoki/opencryptoki.conf"):
            words = line.split()
            if len(words) == 2 and words[0] == "slot":
                slot = words[1]
            elif "libpkcs11_sw.so" in line:
                return slot
        raise RuntimeError("opencryptoki.conf has no slot for the software token")

    def stop(self):
        if self.daemon is None:
            return
        os.kill(self.daemon, signal.SIGTERM)
        deadline = time.monotonic() + DAEMON_READY_SECONDS
        while time.monotonic() < deadline:
            if os.waitpid(self.daemon, os.WNOHANG)[0] == self.daemon:
                self.daemon = None
                return
            time.sleep(0.05)
        raise RuntimeError("pkcsslotd (pid %d) did not stop within %d s of SIGTERM"
                           % (self.daemon, DAEMON_READY_SECONDS))


def nss_database(directory, cert):
    """An NSS key and certificate database holding cert and its key; the DB password is PIN."""
    db = "sql:" + directory
    password = os.path.join(directory, "..", "nss-password")
    with open(password, "w") as f:
        f.write(PIN + "\n")
    p12 = os.path.join(directory, "..", "signer.p12")
    run(["openssl", "pkcs12", "-export", "-inkey", cert.key_pem, "-in", cert.cert_pem,
         "-name", cert.name, "-passout", "pass:" + PIN, "-out", p12])
    run(["certutil", "-N", "-d", db, "-f", password])
    run(["pk12util", "-i", p12, "-d", db, "-k", password, "-W", PIN])
    return db


def p11kit_modules(text):
    """Makes text the proxy's only module configuration."""
    for name in os.listdir("/etc/pkcs11/modules"):
        os.remove(os.path.join("/etc/pkcs11/modules", name))
    with open("/etc/pkcs11/modules/vellum-matrix.module", "w") as f:
        f.write(text)


# --- one row ------------------------------------------------------------------------------------

class Row:
    """A module under test: what the forwarding module forwards to, its settings, the
    certificates it holds, and the answer expected in each column."""

    def __init__(self, name, target, certs, expected, env=None, pin=PIN, check=None,
                 module_leaks=False):
        self.name, self.target, self.certs, self.expected = name, target, certs, expected
        self.env, self.pin, self.check = env or {}, pin, check
        self.cells, self.problems = {}, []
        if module_leaks:
            # In the sanitizer build LeakSanitizer reports what the module itself leaves
            # allocated when it is unloaded; the SoftHSM2 rows and the rest of the suite
            # watch the plug-in's own memory on the same paths.
            self.env["ASAN_OPTIONS"] = ":".join(
                filter(None, (os.environ.get("ASAN_OPTIONS"), "detect_leaks=0")))


def all_verified(no_pin):
    """Every answer checked; no_pin is the module's answer to a login without a PIN."""
    return {**{column: VERIFIED for column in COLUMNS}, "no PIN": no_pin, FLOW: AS_ALONE}


def failing_before_login(list_text, sign_text):
    return {"list": list_text, "certificate": list_text,
            **{h: sign_text for h in HASHES + ("no PIN",)}, FLOW: AS_ALONE}


# How the modules answer the plug-in's login without a PIN: some refuse the null PIN, others
# take it for a wrong one and count the attempt against the token's PIN tries.
NULL_PIN_REFUSED = "C_Login failed:Arguments bad(0x0007)"
NULL_PIN_WRONG = "C_Login failed:Pin incorrect(0x00A0)"


class Matrix:
    def __init__(self, args):
        self.args = args
        self.work = args.work

    def host_env(self, row, log, pin):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("VELLUM_P11FWD_") and k != "SOFTHSM2_CONF"}
        env.update({"HOME": os.path.join(self.work, "home"), "VELLUM_P11FWD_NO_TTY": "1",
                    "VELLUM_P11FWD_TARGET": row.target, "VELLUM_P11FWD_LOG": log})
        if pin is not None:
            env["VELLUM_P11FWD_PIN"] = pin
        # A PIN pad's signature is confirmed in the PIN module's dialog: the tests' pinentry
        # presses OK.
        answers = os.path.join(self.work, "confirm-every-signature")
        with open(answers, "w") as f:
            f.write("every ok\n")
        env.update({"VELLUM_PIN_PINENTRY": os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                        "..", "tokenkit", "fake_pinentry.py"),
                    "FAKE_PINENTRY_ANSWERS": answers})
        env.update(row.env)
        return env

    def run_host(self, row, cell, args, pin=True):
        """One vellum-host run with --json; (result, call log path). pin=False: the forwarding
        module supplies none."""
        log = os.path.join(self.work, "logs",
                           "%s-%s.log" % ("-".join(row.name.replace(",", "").split()), cell))
        if os.path.exists(log):
            os.remove(log)
        # Without a PIN, the module's own answer to the login without one: no PIN dialog.
        result = run([self.args.host, "--plugin", self.args.plugin, "--token-module",
                      self.args.fwd, "--json"] + ([] if pin else ["--no-pin-dialog"]) + list(args),
                     env=self.host_env(row, log, row.pin if pin else None), check=False,
                     timeout=120)
        return result, log

    def host(self, row, cell, *args, pin=True):
        """One vellum-host run of one step; (step, call log problem or None)."""
        result, log = self.run_host(row, cell, args, pin)
        lines = result.stdout.decode(errors="replace").splitlines()
        errors = result.stderr.decode(errors="replace").strip()
        if result.returncode not in (0, 1) or len(lines) != 1:
            return {"ok": False, "lastError": "vellum-host %s: %s" % (
                ended(result.returncode), errors)}, None
        step = json.loads(lines[0])
        # One line naming the failure (and perhaps one of hint), or nothing: anything else is a
        # warning of the host's end check (memory or script objects left) or of a sanitizer.
        failure_lines = [line for line in errors.splitlines()
                         if not line.startswith("vellum-host: hint: ")]
        if len(failure_lines) != (0 if step["ok"] else 1):
            return step, "vellum-host wrote on standard error: " + errors
        return step, call_log_problem(log)

    def verify(self, cert, digest, signature_file):
        data = os.path.join(self.work, "data.txt")
        result = run(["openssl", "dgst", "-" + digest, "-verify", cert.pub_pem, "-signature",
                      signature_file, data], check=False)
        return result.returncode == 0 and result.stdout == b"Verified OK\n"

    def answer(self, row, column, step, cert, raw=None):
        """The cell text of one step's JSON answer."""
        if not step["ok"]:
            return step.get("lastError", "")
        if column == "list":
            return VERIFIED if step["result"] in [c.entry for c in row.certs] else \
                "listed %r" % step["result"]
        if column == "certificate":
            return VERIFIED if base64.b64decode(step["certificate"]) == cert.der else \
                "another certificate"
        return VERIFIED if self.verify(cert, column, raw) else "signature does not verify"

    def measure(self, row):
        def record(column, text, problem):
            # Every certificate of the row must give the same answer; the first different one
            # is what the cell shows.
            if column not in row.cells or row.cells[column] == row.expected[column]:
                row.cells[column] = text
            if problem:
                row.problems.append("%s: %s" % (column, problem))

        step, problem = self.host(row, "list", "list")
        record("list", self.answer(row, "list", step, None), problem)
        for cert in row.certs:
            step, problem = self.host(row, "cert", "cert", cert.serial)
            record("certificate", self.answer(row, "certificate", step, cert), problem)
            for digest in HASHES:
                raw = os.path.join(self.work, "signature.bin")
                if os.path.exists(raw):
                    os.remove(raw)
                step, problem = self.host(row, digest, "sign", cert.serial, "--hash", digest,
                                          "--data", DATA, "--raw", raw)
                record(digest, self.answer(row, digest, step, cert, raw), problem)
        record(FLOW, *self.flow(row))
        # Last, as a wrong PIN counts against the token's tries.
        for cert in row.certs:
            step, problem = self.host(row, "nopin", "sign", cert.serial, "--hash", "sha1",
                                      "--data", DATA, pin=False)
            record("no PIN", "signed" if step["ok"] else step.get("lastError", ""), problem)
        if row.check:
            problem = row.check()
            if problem:
                row.problems.append(problem)

    def flow(self, row):
        """A page's whole flow in one vellum-host process, as a browser runs it: list, SignCert,
        a signature with each hash, list again, the plug-in loading and unloading the module
        for each. (cell text, call log problem or None): AS_ALONE when every step answers as
        its own run did; otherwise the first step that differs, or how the process died."""
        cert = row.certs[0]
        raws = {d: os.path.join(self.work, "flow-%s.bin" % d) for d in HASHES}
        steps = [("list", "list", ["list"]), ("certificate", "cert", ["cert", cert.serial])]
        steps += [(d, "sign " + d, ["sign", cert.serial, "--hash", d, "--data", DATA,
                                    "--raw", raws[d]]) for d in HASHES]
        steps += [("list", "list again", ["list"])]
        words = ["--keep-going"]
        for _, _, step in steps:
            words += (["--"] if len(words) > 1 else []) + step
        for raw in raws.values():
            if os.path.exists(raw):
                os.remove(raw)
        result, log = self.run_host(row, "flow", words)
        answers = [json.loads(line) for line in
                   result.stdout.decode(errors="replace").splitlines()]
        for (column, name, _), step in zip(steps, answers):
            text = self.answer(row, column, step, cert, raws.get(column))
            if text != row.cells[column]:
                return "%s: %s" % (name, text), None
        if len(answers) < len(steps) or result.returncode not in (0, 1):
            where = steps[len(answers)][1] if len(answers) < len(steps) else "the end"
            return "%s at %s" % (ended(result.returncode), where), None
        errors = result.stderr.decode(errors="replace").strip()
        failure_lines = [line for line in errors.splitlines()
                         if not line.startswith("vellum-host: hint: ")]
        if len(failure_lines) != len([a for a in answers if not a["ok"]]):
            return AS_ALONE, "vellum-host wrote on standard error: " + errors
        return AS_ALONE, call_log_problem(log)

    # --- the rows ---------------------------------------------------------------------------

    def rows(self):
        """(key, function that sets the row up and returns it); teardown(key) ends it."""
        return [
            ("softhsm2", self.softhsm_row),
            ("opencryptoki", self.opencryptoki_row),
            ("p11-kit", self.p11kit_row),
            ("softokn", self.softokn_row),
            ("softokn-p11-kit", self.softokn_p11kit_row),
            ("pkcs11-spy", self.spy_row),
            ("opensc", self.opensc_row),
        ]

    def cert(self, name, serial):
        return Certificate(os.path.join(self.work, "certs", serial), name, serial)

    def softhsm_row(self):
        cert = self.cert("Matrix SoftHSM2 Signer", "5A0001")
        conf = softhsm_store(os.path.join(self.work, "softhsm2"), self.args.softhsm,
                             [("matrix-softhsm2", cert)])
        # SoftHSM2 always adds an empty, uninitialised token after the others; a reader shows
        # no such thing, and as the last slot it would leave the list empty.
        return Row("softhsm2", self.args.softhsm, [cert], all_verified(NULL_PIN_REFUSED),
                   {"SOFTHSM2_CONF": conf, "VELLUM_P11FWD_HIDE_UNINITIALIZED": "1"})

    def spy_row(self):
        cert = self.cert("Matrix Spied Signer", "5A0006")
        conf = softhsm_store(os.path.join(self.work, "spy"), self.args.softhsm,
                             [("matrix-spy", cert)])
        spy_log = os.path.join(self.work, "pkcs11-spy.log")

        def spy_saw_the_signing():
            # Proof that the interposer was really in the path.
            try:
                with open(spy_log, errors="replace") as f:
                    text = f.read()
            except OSError as e:
                return "pkcs11-spy wrote no log: %s" % e
            if "C_SignFinal" not in text:
                return "pkcs11-spy's log shows no C_SignFinal"
            return None

        return Row("pkcs11-spy over softhsm2", installed_file("opensc-pkcs11", "pkcs11-spy.so"),
                   [cert], all_verified(NULL_PIN_REFUSED),
                   {"SOFTHSM2_CONF": conf, "VELLUM_P11FWD_HIDE_UNINITIALIZED": "1",
                    "PKCS11SPY": self.args.softhsm, "PKCS11SPY_OUTPUT": spy_log},
                   check=spy_saw_the_signing, module_leaks=True)

    def p11kit_row(self):
        # Which token p11-kit lists last differs from one provisioning to the next: the list
        # may name either, and both must be found for SignCert and signing.
        certs = [self.cert("Matrix Proxy Signer A", "5A0003"),
                 self.cert("Matrix Proxy Signer B", "5A0004")]
        conf = softhsm_store(os.path.join(self.work, "p11-kit"), self.args.softhsm,
                             [("matrix-proxy-a", certs[0]), ("matrix-proxy-b", certs[1])])
        p11kit_modules("module: %s\n" % self.args.softhsm)
        return Row("p11-kit proxy over 2 softhsm2 tokens", self.proxy(), certs,
                   all_verified(NULL_PIN_REFUSED),
                   {"SOFTHSM2_CONF": conf, "VELLUM_P11FWD_HIDE_UNINITIALIZED": "1"})

    def softokn_row(self):
        # Its C_Initialize needs the database parameters in the reserved argument, which the
        # plug-in, like any generic caller, does not give.
        return Row("NSS softokn, direct", installed_file("libnss3", "libsoftokn3.so"), [
            self.cert("Matrix Direct Softokn Signer", "5A0007")],
            failing_before_login("C_Initialize failed:Arguments bad(0x0007)",
                                 "initialize failed:"), pin=None, module_leaks=True)

    def softokn_p11kit_row(self):
        cert = self.cert("Matrix Softokn Signer", "5A0005")
        directory = os.path.join(self.work, "nss", "db")
        os.makedirs(directory)
        db = nss_database(directory, cert)
        p11kit_modules("module: %s\nx-init-reserved: configdir='%s' certPrefix='' keyPrefix='' "
                       "secmod='secmod.db' flags=\n"
                       % (installed_file("libnss3", "libsoftokn3.so"), db))
        return Row("NSS softokn through p11-kit", self.proxy(), [cert],
                   all_verified(NULL_PIN_WRONG))

    def opencryptoki_row(self):
        cert = self.cert("Matrix Opencryptoki Signer", "5A0002")
        self.ock = Opencryptoki()
        self.ock.start(cert)
        expected = all_verified(NULL_PIN_WRONG)
        # Its software token has no CKM_SHA256_RSA_PKCS.
        expected["sha256"] = "C_SignInit failed:Mechanism invalid(0x0070)"
        return Row("opencryptoki software token", self.ock.module, [cert], expected,
                   module_leaks=True)

    def opensc_row(self):
        # /run is a fresh tmpfs here: no PC/SC daemon, hence no reader, can be reached.
        return Row("OpenSC, no reader", installed_file("opensc-pkcs11", "opensc-pkcs11.so"),
                   [self.cert("Matrix Absent Signer", "5A0008")],
                   failing_before_login("C_Initialize failed:OK(0x0000)", "initialize failed:"),
                   pin=None)

    def proxy(self):
        return installed_file("p11-kit-modules", "p11-kit-proxy.so")

    def teardown(self, key):
        if key == "opencryptoki" and getattr(self, "ock", None):
            self.ock.stop()
            self.ock = None


def ended(returncode):
    """How a vellum-host run ended: "exited 3", or "crashed: signal 11, Segmentation fault"."""
    if returncode >= 0:
        return "exited %d" % returncode
    return "crashed: signal %d, %s" % (-returncode, signal.strsignal(-returncode))


def call_log_problem(path):
    """What the forwarding module's log shows left behind, or None. The same rules as the
    C++ CallLog::balanced: sessions and logins ended by C_Finalize, every load unloaded, and
    never unloaded while initialised."""
    try:
        with open(path) as f:
            lines = f.read().splitlines()
    except OSError:
        return "the forwarding module wrote no call log (was it loaded?)"
    loaded, initialized = 0, False
    for number, line in enumerate(lines, 1):
        where = "line %d (%s)" % (number, line)
        words = dict(w.split("=", 1) for w in line.split()[1:] if "=" in w)
        name = line.split()[0] if line else ""
        if name == "@load":
            loaded += 1
        elif name == "@unload":
            if initialized or words.get("initialized") == "yes":
                return "unloaded while still initialised at " + where
            loaded -= 1
        elif name == "C_Initialize" and words.get("rv") in ("0x0", "0x191"):
            initialized = True
        elif name == "C_Finalize":
            if words.get("openSessions") != "0":
                return "sessions still open at " + where
            if words.get("loggedIn") != "no":
                return "login still active at " + where
            if words.get("rv") == "0x0":
                initialized = False
    if not lines:
        return "empty call log"
    if initialized:
        return "the last C_Initialize was never finalised"
    if loaded != 0:
        return "loads and unloads differ by %d" % loaded
    return None


# --- output -------------------------------------------------------------------------------------

def text_table(rows):
    header = ("module",) + COLUMNS
    lines = [header] + [(r.name,) + tuple(r.cells.get(c, "") for c in COLUMNS) for r in rows]
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    return "\n".join("  ".join(cell.ljust(w) for cell, w in zip(line, widths)).rstrip()
                     for line in lines)


def markdown_table(rows):
    out = ["| module | " + " | ".join(COLUMNS) + " |", "|---" * (len(COLUMNS) + 1) + "|"]
    for r in rows:
        out.append("| %s | %s |" % (r.name, " | ".join(r.cells.get(c, "") for c in COLUMNS)))
    return "\n".join(out)


def versions():
    return ", ".join("%s %s" % (p, package_version(p)) for p in PACKAGES)


def main():
    parser = argparse.ArgumentParser()
    for name in ("host", "plugin", "fwd", "softhsm", "work"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--rows", help="comma-separated row keys (default: all)")
    parser.add_argument("--markdown", help="also write the table as Markdown to this file")
    args = parser.parse_args()
    enter_namespaces(args, sys.argv[1:])

    started = time.monotonic()
    args.work = os.path.abspath(args.work)
    shutil.rmtree(args.work, ignore_errors=True)
    for d in ("logs", "home", "certs"):
        os.makedirs(os.path.join(args.work, d))
    # The hosts' token locks, this run's own, apart from those of the tests beside it.
    os.mkdir(os.path.join(args.work, "runtime"), 0o700)
    os.environ["XDG_RUNTIME_DIR"] = os.path.join(args.work, "runtime")
    with open(os.path.join(args.work, "data.txt"), "w") as f:
        f.write(DATA)
    try:
        # /run first: mount(8) may note things there. It holds opencryptoki's socket and pid
        # file (and /var/lock), and a PC/SC daemon's socket, so no reader is reachable.
        mount_tmpfs("/run")
        mount_tmpfs("/dev/shm", "1777")
        # The proxy reads only these two folders when run as root; nothing of the machine's.
        scratch = os.path.join(args.work, "mounts")
        os.makedirs(scratch)
        private_directory("/etc/pkcs11", scratch)
        os.mkdir("/etc/pkcs11/modules")
        private_directory("/usr/share/p11-kit/modules", scratch)
    except (RuntimeError, OSError) as e:
        return skip(args, "cannot lay private folders over the machine's: %s" % e)

    matrix = Matrix(args)
    wanted = args.rows.split(",") if args.rows else None
    measured, skipped, broken = [], [], []
    for key, setup in matrix.rows():
        if wanted and key not in wanted:
            continue
        try:
            row = setup()
            matrix.measure(row)
        except Unavailable as e:
            unmet = unmet_needs(key)
            if unmet is None:
                as_root = " and it runs as root" if ROW_NEEDS.get(key, ((), False))[1] else ""
                broken.append("FAILED %s did not run, yet this machine can run it (its packages "
                              "are installed%s): %s" % (key, as_root, e))
            else:
                skipped.append("%s (%s): %s" % (key, unmet, e))
            continue
        except (RuntimeError, OSError, subprocess.TimeoutExpired) as e:
            broken.append("FAILED to set up or run %s: %s" % (key, e))
            continue
        finally:
            matrix.teardown(key)
        measured.append(row)
        for column in COLUMNS:
            if row.cells.get(column) != row.expected[column]:
                row.problems.append("%s: expected %r" % (column, row.expected[column]))
    # A row dropped from the list does not run either.
    for key in sorted(set(ROW_NEEDS) - {key for key, _ in matrix.rows()}):
        if (not wanted or key in wanted) and unmet_needs(key) is None:
            broken.append("FAILED %s did not run, yet this machine can run it: the matrix has "
                          "no such row" % key)
    seconds = time.monotonic() - started

    footer = ["Measured %s with %s; the run took %.1f s."
              % (datetime.date.today().isoformat(), versions(), seconds)]
    footer += ["SKIPPED " + line for line in skipped] + broken
    footer += ["FAILED %s: %s" % (row.name, p) for row in measured for p in row.problems]
    failed = bool(broken) or any(row.problems for row in measured)
    print(text_table(measured) + "\n\n" + "\n".join(footer))
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(markdown_table(measured) + "\n\n" + "\n".join(footer) + "\n")
    if wanted and not measured:
        print("FAILED: no row named %s" % args.rows)
        return 1
    if failed:
        return 1
    # Nothing measured is no pass: ctest shows the matrix skipped.
    return 0 if measured else SKIPPED


if __name__ == "__main__":
    sys.exit(main())
