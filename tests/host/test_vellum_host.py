#!/usr/bin/env python3
"""vellum-host end to end: each command on a SoftHSM2 token reached through the forwarding
module mapped at the plug-in's fixed path, failures of the token module, bad input, bad usage,
and the installed layout.

The browser bridge: the native messaging host driven through its frames as a browser drives
it, bridge install/uninstall/status in a temporary home, and the token module the bridge
records, as root and as a normal user.

usage: test_vellum_host.py --host PATH --tokenkit PATH --fwd PATH --softhsm PATH
                           --work DIR --build DIR [--wrap COMMAND] [unittest arguments]
--wrap: a command (split at spaces) the native messaging host runs under, e.g. valgrind; the
cases marked not_under_memcheck are left out (and listed).
Exit status 0 all passed, 1 a case failed, 77 none failed and some were skipped (each is listed
with its reason), which ctest shows as skipped (SKIP_RETURN_CODE).
"""
import argparse
import base64
import ctypes
import fcntl
import hashlib
import json
import re
import os
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ARGS = None
TOKEN = {}
OTHER_TOKEN = {}
EMPTY_TOKEN = {}
# A token whose PIN is asked through pinentry; its PIN's digits appear nowhere by chance.
PIN_TOKEN = {}
PIN_SERIAL = "9D1A1065"
FAKE_PINENTRY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tokenkit",
                             "fake_pinentry.py")

SUBJECT_NAME = "CLI Test, Signer"  # a comma, as names may hold one
SERIAL = "7E57C11A"
OTHER_SERIAL = "0DDC0FFE"
FIXED_MODULE_PATH = "/usr/local/lib/libMOVA_XAN_P11.dylib"


def not_under_memcheck(why):
    """Leaves a case out of the run whose native hosts run under memcheck (--wrap): the run
    lists it and why, and it is not counted as skipped."""
    def mark(test):
        test.not_under_memcheck = why
        return test
    return mark


def run(cmd, env=None, timeout=60):
    return subprocess.run(cmd, capture_output=True, env=env, timeout=timeout)


def token_env(**extra):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("VELLUM_P11FWD_", "VELLUM_PIN_")) and k != "XDG_CONFIG_HOME"}
    env.update({
        # Never the real home: doctor and the bridge read and write there.
        "HOME": os.path.join(ARGS.work, "home"),
        "SOFTHSM2_CONF": TOKEN["SOFTHSM2_CONF"],
        "VELLUM_P11FWD_TARGET": ARGS.softhsm,
        "VELLUM_P11FWD_HIDE_UNINITIALIZED": "1",
        "VELLUM_P11FWD_PIN": TOKEN["pin"],
        "VELLUM_P11FWD_NO_TTY": "1",
        # The forwarding module plays a PIN pad: each signature's confirmation gets OK.
        "VELLUM_PIN_PINENTRY": FAKE_PINENTRY,
        "FAKE_PINENTRY_ANSWERS": os.path.join(ARGS.work, "confirm-every-signature"),
    })
    for key, value in extra.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def provision_token(name, subject, serial, *more):
    directory = os.path.join(ARGS.work, name)
    result = run([ARGS.tokenkit, "provision", directory, "--bits", "1024", "--label", name,
                  "--subject", subject, "--serial", serial] + list(more))
    if result.returncode != 0:
        raise RuntimeError("provisioning failed: " + result.stderr.decode(errors="replace"))
    return dict(line.partition("=")[::2] for line in result.stdout.decode().splitlines())


def provision():
    TOKEN.update(provision_token("token", "/CN=%s/O=vellum" % SUBJECT_NAME, SERIAL))
    OTHER_TOKEN.update(provision_token("other", "/CN=Other Signer", OTHER_SERIAL))
    PIN_TOKEN.update(provision_token("pintoken", "/CN=Card Holder", PIN_SERIAL,
                                     "--pin", "73915428"))
    # A token without certificates.
    empty = os.path.join(ARGS.work, "empty")
    if not os.path.isdir(os.path.join(empty, "tokens")):
        os.makedirs(os.path.join(empty, "tokens"))
        result = run(["softhsm2-util", "--init-token", "--free", "--label", "empty", "--pin",
                      TOKEN["pin"], "--so-pin", "87654321"],
                     env=dict(os.environ, SOFTHSM2_CONF=softhsm_conf(empty, [])))
        if result.returncode != 0:
            shutil.rmtree(empty)
            raise RuntimeError("softhsm2-util failed: " + result.stderr.decode(errors="replace"))
    EMPTY_TOKEN["dir"] = empty


def token_dirs(provisioned):
    """The token directories below a provisioned directory."""
    tokens = os.path.join(provisioned, "tokens")
    return [os.path.join(tokens, name) for name in os.listdir(tokens)]


def softhsm_conf(directory, tokens):
    """A SoftHSM2 configuration in directory whose token directory holds copies of tokens."""
    tokendir = os.path.join(directory, "tokens")
    os.makedirs(tokendir, exist_ok=True)
    for token in tokens:
        shutil.copytree(token, os.path.join(tokendir, os.path.basename(token)))
    conf = os.path.join(directory, "softhsm2.conf")
    with open(conf, "w") as f:
        f.write("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n"
                "slots.removable = false\n" % tokendir)
    return conf


class VellumHostTest(unittest.TestCase):
    maxDiff = None

    def host(self, *args, token_module=True, **env_extra):
        cmd = [ARGS.host] + (["--token-module", ARGS.fwd] if token_module else []) + list(args)
        return run(cmd, env=token_env(**env_extra))

    def assertSucceeded(self, result):
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        # A warning from the host's end check (memory or objects left) would show here.
        self.assertEqual(result.stderr, b"")

    def assertFailedWith(self, result, code, *fragments):
        self.assertEqual(result.returncode, code, result)
        lines = result.stderr.decode().splitlines()
        self.assertGreaterEqual(len(lines), 1, result)
        self.assertTrue(lines[0].startswith("vellum-host: "), lines)
        for fragment in fragments:
            self.assertIn(fragment, lines[0])
        return lines

    def json_lines(self, result):
        return [json.loads(line) for line in result.stdout.decode().splitlines()]

    def verify(self, digest, data, signature, certificate=None):
        """openssl's verdict on a raw signature over data with the certificate's key (by
        default the main token's)."""
        with tempfile.TemporaryDirectory() as d:
            pub, dat, sig = (os.path.join(d, n) for n in ("pub.pem", "data", "sig"))
            key = run(["openssl", "x509", "-in", certificate or TOKEN["certificate"], "-pubkey",
                       "-noout"])
            self.assertEqual(key.returncode, 0, key)
            for path, content in ((pub, key.stdout), (dat, data), (sig, signature)):
                with open(path, "wb") as f:
                    f.write(content)
            return run(["openssl", "dgst", "-" + digest, "-verify", pub, "-signature", sig, dat])

    # --- the commands ------------------------------------------------------------------------

    def test_info_names_the_module(self):
        result = self.host("info", token_module=False)
        self.assertSucceeded(result)
        lines = dict(line.split(": ", 1) for line in result.stdout.decode().splitlines())
        self.assertEqual(lines["name"], "vellum Plug-in for DEMO")
        self.assertEqual(lines["MIME description"],
                         "application/x-vnd-vellum-demo::vellum Plug-in for DEMO")
        self.assertEqual(lines["version"], "1.0.0.49")
        self.assertTrue(lines["provider"])
        self.assertTrue(os.path.samefile(lines["module"], ARGS.plugin))

    def test_list_shows_serial_and_name(self):
        result = self.host("list")
        self.assertSucceeded(result)
        self.assertEqual(result.stdout.decode(), "%s  %s\n" % (SERIAL, SUBJECT_NAME))

        result = self.host("--json", "list")
        self.assertSucceeded(result)
        (step,) = self.json_lines(result)
        self.assertEqual(step["step"], "list")
        self.assertTrue(step["ok"])
        self.assertEqual(step["result"], "CN=%s,%s;" % (SUBJECT_NAME, SERIAL))
        self.assertEqual(step["certificates"], [{"name": SUBJECT_NAME, "serial": SERIAL}])

    def test_cert_gives_the_certificate(self):
        with open(TOKEN["der"], "rb") as f:
            der = f.read()
        result = self.host("cert", SERIAL.lower())
        self.assertSucceeded(result)
        self.assertEqual(result.stdout, base64.b64encode(der) + b"\n")

        result = self.host("cert", SERIAL, "--pem")
        self.assertSucceeded(result)
        parsed = subprocess.run(["openssl", "x509", "-outform", "DER"], input=result.stdout,
                                capture_output=True)
        self.assertEqual(parsed.returncode, 0, parsed.stderr)
        self.assertEqual(parsed.stdout, der)
        self.assertTrue(all(len(line) <= 64 for line in result.stdout.splitlines()))

    def test_sign_raw_signature_verifies_with_openssl(self):
        data = "Pay 100 to Bob, ünïcødé".encode()
        with tempfile.TemporaryDirectory() as d:
            for digest in ("sha256", "sha1", "md5"):
                raw = os.path.join(d, digest + ".sig")
                result = self.host("sign", SERIAL, "--hash", digest, "--data", data.decode(),
                                   "--raw", raw)
                self.assertSucceeded(result)
                self.assertEqual(result.stdout.decode(),
                                 "signature: 128 bytes written to %s\n" % raw)
                with open(raw, "rb") as f:
                    signature = f.read()
                verdict = self.verify(digest, data, signature)
                self.assertEqual(verdict.stdout, b"Verified OK\n", (digest, verdict))
            # A different hash than the one signed with must not verify.
            self.assertNotEqual(self.verify("sha256", data, signature).returncode, 0)

    def test_a_folder_another_user_made_first_neither_unlocks_nor_stops_signing(self):
        # Without a runtime folder, with /tmp/vellum-UID made first by another user (in a private
        # /tmp of this test's own): 48 hosts signing at once, as 48 pages would, take turns.
        count = 48
        home = tempfile.mkdtemp(dir=ARGS.work)
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        out = os.path.join(home, "out")
        os.mkdir(out)
        script = """set -e
            mount -t tmpfs vellum-tmp /tmp
            mkdir -m 0777 /tmp/vellum-$(id -u)
            chown 65534:65534 /tmp/vellum-$(id -u)
            for i in $(seq %d); do
                "$0" --json --token-module "$1" sign "$2" --hash sha256 --data "page $i" \\
                    > "$3/$i.out" 2> "$3/$i.err" &
            done
            wait""" % count
        result = subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, ARGS.host,
             ARGS.fwd, SERIAL, out], capture_output=True,
            env=token_env(HOME=home, XDG_RUNTIME_DIR=None, XDG_CACHE_HOME=None), timeout=600)
        self.assertEqual(result.returncode, 0, result)
        results = []
        for i in range(1, count + 1):
            with open(os.path.join(out, "%d.err" % i)) as f:
                self.assertEqual(f.read(), "", i)
            with open(os.path.join(out, "%d.out" % i)) as f:
                (step,) = [json.loads(line) for line in f.read().splitlines()]
            results.append(step["result"])
            if step["ok"]:
                verdict = self.verify("sha256", b"page %d" % i, bytes.fromhex(step["signature"]))
                self.assertEqual(verdict.stdout, b"Verified OK\n", (i, verdict))
        self.assertEqual(sum(r == "E:1000" for r in results), 0, results)
        # The lock was the user's own, in the home's cache folder.
        lock = os.path.join(home, ".cache", "vellum")
        self.assertEqual(os.stat(lock).st_mode & 0o777, 0o700)
        self.assertEqual(len(os.listdir(lock)), 1)

    def test_a_held_token_lock_makes_others_wait_and_doctor_names_it(self):
        report = self.doctor()
        self.assertIsNone(report["tokenLock"]["heldBy"])
        self.assertFalse(any("token operation on this module" in w for w in report["warnings"]))
        path = report["tokenLock"]["path"]
        self.assertEqual(os.stat(os.path.dirname(path)).st_mode & 0o777, 0o700)
        with tempfile.TemporaryDirectory() as d:
            log = os.path.join(d, "calls.log")
            # Held as a host holds it: the holder's process id in the file.
            with open(path, "r+") as lock:
                fcntl.flock(lock, fcntl.LOCK_EX)
                lock.truncate()
                lock.write("%d\n" % os.getpid())
                lock.flush()
                report = self.doctor()
                self.assertEqual(report["tokenLock"]["heldBy"], os.getpid())
                (warning,) = [w for w in report["warnings"] if path in w]
                self.assertIn("(process %d) is in a token operation" % os.getpid(), warning)
                signer = subprocess.Popen(
                    [ARGS.host, "--token-module", ARGS.fwd, "sign", SERIAL, "--hash", "sha1",
                     "--data", "x"],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                    env=token_env(VELLUM_P11FWD_LOG=log))
                # Waiting, not refused: it has not touched the token while the lock is held.
                self.assertTrue(wait_until_someone_waits_for(path, signer),
                                "the signer ended (%s) instead of waiting for the token lock"
                                % signer.returncode)
                calls = call_log(log) if os.path.exists(log) else []
                self.assertEqual([l for l in calls if not l.startswith("@")], [])
            stdout, stderr = signer.communicate(timeout=120)
            self.assertEqual((signer.returncode, stderr), (0, b""))
            self.assertTrue(stdout.startswith(b"US65001:"), stdout)
            self.assertIn("C_Login rv=0x0", "\n".join(call_log(log)))

    def test_sign_envelopes_and_file_input(self):
        text = "12345 begins with digits"
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "in.txt")
            with open(path, "w") as f:
                f.write(text)
            result = self.host("--json", "sign", SERIAL, "--hash", "sha256", "--file", path,
                               "--envelope", "data", "--", "sign", SERIAL, "--hash", "sha256",
                               "--data", text)
        self.assertSucceeded(result)
        data_step, signature_step = self.json_lines(result)
        self.assertEqual(data_step["envelope"], "data")
        self.assertEqual(data_step["result"],
                         "UD65001:%08d%s%08d%s" % (len(text), text, 256, data_step["signature"]))
        self.assertEqual(signature_step["result"], "US65001:00000256" + signature_step["signature"])
        # PKCS#1 v1.5 signatures are deterministic: both steps signed the same bytes.
        self.assertEqual(data_step["signature"], signature_step["signature"])
        self.assertEqual(signature_step["signatureBytes"], 128)
        verdict = self.verify("sha256", text.encode(), bytes.fromhex(data_step["signature"]))
        self.assertEqual(verdict.returncode, 0, verdict)

    def test_sign_refuses_a_file_with_a_zero_byte(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "bin")
            with open(path, "wb") as f:
                f.write(b"abc\0def")
            result = self.host("sign", SERIAL, "--hash", "sha1", "--file", path)
            self.assertFailedWith(result, 1, "zero byte at offset 3")
            self.assertEqual(result.stdout, b"")
            result = self.host("sign", SERIAL, "--hash", "sha1", "--file", path + ".missing")
            self.assertFailedWith(result, 3, "cannot read")

    def test_steps_share_one_instance(self):
        data = "one instance"
        result = self.host("set", "CN", SERIAL.lower(), "--", "set", "SignData", data, "--",
                           "set", "HashAlgorithm", "sha256", "--", "get", "Signature", "--",
                           "call", "LastError")
        self.assertSucceeded(result)
        envelope, status = result.stdout.decode().splitlines()
        self.assertTrue(envelope.startswith("US65001:00000256"), envelope)
        self.assertEqual(status, "OK")
        verdict = self.verify("sha256", data.encode(), bytes.fromhex(envelope[16:]))
        self.assertEqual(verdict.returncode, 0, verdict)

    def test_integer_looking_arguments_go_as_int32(self):
        result = self.host("--json", "call", "saGetTokenCount", "--", "call", "GetUKeySN", "0",
                           "--", "set", "CN", "str:12", "--", "call", "getVersion",
                           token_module=False)
        self.assertSucceeded(result)
        count, sn, set_cn, version = self.json_lines(result)
        self.assertEqual((count["type"], count["value"]), ("int32", 1))
        self.assertEqual(sn["value"], "getUKeySN:not supported")
        self.assertEqual((set_cn["type"], set_cn["value"]), ("string", "12"))
        self.assertEqual(version["value"], "1.0.0.49")

    def test_refused_script_access(self):
        cases = [
            (("get", "JSCB"), "get JSCB failed: the property is not readable"),
            (("get", "Nothing"), "get Nothing failed: the script object has no such property"),
            (("set", "Signature", "x"), "set Signature failed: the property refused the value"),
            (("call", "VerifyPKCS7"), "call VerifyPKCS7 failed: the method refused the call"),
            (("call", "Nothing", "1"), "call Nothing failed: the script object has no such"),
        ]
        for args, message in cases:
            result = self.host(*args, token_module=False)
            self.assertFailedWith(result, 1, message)

    def test_run_stops_at_the_first_failure(self):
        result = self.host("--json", "call", "getVersion", "--", "get", "JSCB", "--", "call",
                           "getVersion", token_module=False)
        self.assertEqual(result.returncode, 1)
        steps = self.json_lines(result)
        self.assertEqual([(s["step"], s["ok"]) for s in steps], [("call", True), ("get", False)])
        self.assertEqual(steps[1]["error"], "the property is not readable")

        # As a page goes on after a failure; the status is still the first failure's.
        result = self.host("--json", "--keep-going", "call", "getVersion", "--", "get", "JSCB",
                           "--", "cert", "00", "--", "call", "getVersion")
        self.assertEqual(result.returncode, 1)
        steps = self.json_lines(result)
        self.assertEqual([(s["step"], s["ok"]) for s in steps],
                         [("call", True), ("get", False), ("cert", False), ("call", True)])

    # --- failures of the token and of the input ----------------------------------------------

    def test_failing_token_module(self):
        result = self.host("sign", SERIAL, "--hash", "sha256", "--data", "x",
                           VELLUM_P11FWD_FAIL="C_Login=0xA0")
        lines = self.assertFailedWith(result, 1, "sign %s failed: E:1000" % SERIAL,
                                      'LastError "C_Login failed:Pin incorrect(0x00A0)"')
        self.assertEqual(len(lines), 2)
        self.assertTrue(lines[1].startswith("vellum-host: hint: the token refused the login"))
        self.assertEqual(result.stdout, b"")

        result = self.host("--json", "list", VELLUM_P11FWD_FAIL="C_GetSlotList=0x30")
        self.assertEqual(result.returncode, 1)
        (step,) = self.json_lines(result)
        self.assertEqual((step["ok"], step["result"]), (False, "E:1000"))
        self.assertIn("Device error(0x0030)", step["lastError"])
        self.assertIn(step["lastError"], result.stderr.decode())

    def test_bad_serial(self):
        for command in (["cert", "00" + SERIAL], ["sign", SERIAL + ":", "--hash", "sha1",
                                                  "--data", "x"]):
            result = self.host(*command)
            self.assertFailedWith(result, 1, "E:1000", 'LastError "CN not matched"')
            self.assertEqual(result.stdout, b"")

    @unittest.skipIf(os.path.lexists(FIXED_MODULE_PATH), "a token module is installed there")
    def test_no_token_module_at_the_fixed_path(self):
        # Without --token-module the fixed path is used as it stands; nothing is there here.
        result = self.host("list", token_module=False)
        self.assertFailedWith(result, 1, "list failed: E:1000, LastError")

    def test_missing_files(self):
        result = run([ARGS.host, "--plugin", "/nonexistent/libvellum.so", "--json", "info"])
        lines = self.assertFailedWith(result, 3, "/nonexistent/libvellum.so")
        self.assertEqual(len(lines), 1)
        (step,) = self.json_lines(result)
        self.assertEqual((step["step"], step["ok"]), ("start", False))

        result = run([ARGS.host, "--plugin", TOKEN["certificate"], "info"])
        self.assertFailedWith(result, 3, "cannot start the plug-in")

        result = run([ARGS.host, "--token-module", "/nonexistent/p11.so", "list"])
        self.assertFailedWith(result, 3, "token module /nonexistent/p11.so")

    def test_bad_usage(self):
        # No word at all, typed at a terminal (on a pipe it serves the bridge, as a desktop
        # portal starts it).
        primary, secondary = os.openpty()
        try:
            result = subprocess.run([ARGS.host], stdin=secondary, capture_output=True, timeout=60)
        finally:
            os.close(primary)
            os.close(secondary)
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (2, b"", b"vellum-host: no command given (try 'vellum-host --help')\n"))
        for args in (["bogus"], ["--frob", "info"], ["sign", SERIAL, "--data", "x"],
                     ["sign", SERIAL, "--hash", "sha512", "--data", "x"], ["get"],
                     ["info", "--"], ["cert", SERIAL, "extra"], ["doctor", "--frob"]):
            result = run([ARGS.host] + args)
            self.assertEqual(result.returncode, 2, args)
            # One line with the reason, not the whole usage.
            (line,) = result.stderr.decode().splitlines()
            self.assertTrue(line.startswith("vellum-host: "), line)
            self.assertTrue(line.endswith("(try 'vellum-host --help')"), line)
            self.assertEqual(result.stdout, b"", args)
        result = run([ARGS.host, "--help"])
        self.assertEqual(result.returncode, 0)
        self.assertIn(b"usage: vellum-host", result.stdout)

    def test_hints_explain_puzzling_failures(self):
        with tempfile.TemporaryDirectory() as d:
            no_token = softhsm_conf(d, [])
            cases = [
                (("list",), {"SOFTHSM2_CONF": no_token}, "C_Initialize failed:OK(0x0000)",
                 "no token is present"),
                (("sign", SERIAL, "--hash", "sm3", "--data", "x"), {},
                 "C_SignInit failed:Mechanism invalid(0x0070)",
                 "the token does not offer the hash sm3"),
                (("--token-module", TOKEN["certificate"], "cert", SERIAL), {},
                 "Load pkcs11 lib fail", "does not load; 'vellum-host doctor' shows"),
            ]
            for args, env, status, hint in cases:
                token_module = args[0] != "--token-module"
                result = self.host(*args, token_module=token_module, **env)
                lines = self.assertFailedWith(result, 1, 'E:1000, LastError "%s"' % status)
                self.assertEqual(len(lines), 2, lines)
                self.assertTrue(lines[1].startswith("vellum-host: hint: "), lines)
                self.assertIn(hint, lines[1])

    # --- doctor ------------------------------------------------------------------------------

    def doctor(self, *args, conf=None, code=None, **env):
        """doctor's JSON object, checked against its exit status and its text run."""
        if conf is not None:
            env["SOFTHSM2_CONF"] = conf
        own_module = "--token-module" in args
        result = self.host("doctor", "--json", *args, token_module=not own_module, **env)
        (report,) = self.json_lines(result)
        self.assertEqual(result.returncode, 1 if report["problems"] else 0, result)
        if code is not None:
            self.assertEqual(result.returncode, code, result)
        self.assertEqual(report["ok"], result.returncode == 0)
        text = self.host("doctor", *args, token_module=not own_module, **env)
        self.assertEqual(text.returncode, result.returncode)
        report["text"] = text.stdout.decode()
        for sentence in report["problems"] + report["warnings"]:
            self.assertIn(sentence, report["text"])
        # The browser bridge's findings are counted with the rest and judged by their own tests.
        for key in ("problems", "warnings"):
            for sentence in report["bridge"][key]:
                self.assertIn(sentence, report[key])
            report[key] = [s for s in report[key] if s not in report["bridge"][key]]
        return report

    def test_doctor_on_a_healthy_token(self):
        report = self.doctor(code=0)
        module = report["module"]
        self.assertEqual(module["path"], FIXED_MODULE_PATH)
        self.assertIs(module["loaded"], True)
        self.assertIsNone(module["error"])
        for key in ("manufacturer", "description", "libraryVersion", "cryptokiVersion"):
            self.assertIsInstance(module[key], str, key)
        self.assertRegex(module["cryptokiVersion"], r"^\d+\.\d+$")
        self.assertEqual(report["initialize"], "OK")
        (slot,) = report["slots"]
        self.assertIsInstance(slot["slot"], int)
        self.assertEqual(slot["label"], "token")
        for key in ("manufacturer", "model", "serial"):
            self.assertIsInstance(slot[key], str, key)
        self.assertEqual(set(slot["flags"]), {
            "protectedAuthenticationPath", "loginRequired", "userPinCountLow",
            "userPinFinalTry", "userPinLocked", "tokenInitialized"})
        self.assertTrue(all(isinstance(v, bool) for v in slot["flags"].values()))
        self.assertTrue(slot["flags"]["tokenInitialized"])
        self.assertEqual(slot["rsaPkcs"], {"sign": True, "verify": True})
        # SoftHSM2 signs with these three; the vendor's sm3 mechanism it does not know.
        self.assertEqual(slot["hashes"], {"md5": True, "sha1": True, "sha256": True,
                                          "sm3": False})
        (certificate,) = slot["certificates"]
        self.assertEqual((certificate["serial"], certificate["name"]), (SERIAL, SUBJECT_NAME))
        self.assertRegex(certificate["notAfter"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertIsInstance(certificate["publicKey"], bool)
        self.assertIs(slot["listed"], True)
        self.assertEqual(report["getCertList"],
                         {"result": "CN=%s,%s;" % (SUBJECT_NAME, SERIAL), "lastError": "OK"})
        self.assertEqual(report["problems"], [])
        self.assertIsNone(report["crash"])
        self.assertIn("a second operation in the same process: works", report["text"])
        (warning,) = report["warnings"]
        self.assertIn("sm3 (mechanism 0x10003)", warning)

        # A module that does not supply the PIN has no protected authentication path; the PIN
        # module in front of it asks through pinentry, so that is nothing to warn of.
        report = self.doctor(code=0, VELLUM_P11FWD_PIN=None, VELLUM_PIN_PINENTRY=FAKE_PINENTRY)
        self.assertFalse(report["slots"][0]["flags"]["protectedAuthenticationPath"])
        self.assertEqual(report["module"]["pinentry"], FAKE_PINENTRY)
        self.assertFalse(any("protected authentication path" in w for w in report["warnings"]))

    def test_doctor_without_a_module(self):
        nosym = os.path.join(os.path.dirname(ARGS.fwd), "libvellum_p11nosym.so")
        for module, loaded, problem in ((TOKEN["certificate"], False, "No token module loads"),
                                        (nosym, True, "C_GetFunctionList load failed")):
            report = self.doctor("--token-module", module, code=1)
            self.assertIs(report["module"]["loaded"], loaded)
            self.assertEqual(report["module"]["error"] is None, loaded)
            self.assertIsNone(report["initialize"])
            self.assertEqual(report["slots"], [])
            self.assertEqual(report["getCertList"]["result"], "E:1000")
            (sentence,) = report["problems"]
            self.assertIn(problem, sentence)
        # For the browser the module is recorded by bridge install; doctor's own option only
        # inspects: both said, the browser's way first.
        report = self.doctor("--token-module", TOKEN["certificate"], code=1)
        (sentence,) = report["problems"]
        browser = sentence.find("'vellum-host bridge install --token-module PATH'")
        inspect = sentence.find("'vellum-host doctor --token-module PATH' only inspects")
        self.assertTrue(0 <= browser < inspect, sentence)
        # A list lacking a function the plug-in calls (and doctor's inspection too): nothing is
        # called through it. One only doctor asks for is skipped.
        report = self.doctor(code=1, VELLUM_P11FWD_NULL_FUNCTIONS="C_GetMechanismInfo")
        self.assertIsNone(report["crash"])
        self.assertIsNone(report["initialize"])
        self.assertEqual(report["getCertList"],
                         {"result": "E:1000", "lastError": "Function list of pkcs11 is null"})
        (sentence,) = report["problems"]
        self.assertIn("C_GetMechanismInfo is missing from the function list, so the plug-in "
                      "answers \"Function list of pkcs11 is null\"", sentence)
        # (Without token flags the token may want a PIN: the test's pinentry, not the machine's.)
        report = self.doctor(code=0, VELLUM_P11FWD_NULL_FUNCTIONS="C_GetInfo;C_GetTokenInfo",
                             VELLUM_PIN_PINENTRY=FAKE_PINENTRY)
        self.assertIsNone(report["module"]["manufacturer"])
        self.assertEqual(report["getCertList"]["result"], "CN=%s,%s;" % (SUBJECT_NAME, SERIAL))
        # vellum-host itself cannot set up: the mapping has nothing to map.
        result = self.host("doctor", "--token-module", "/nonexistent/p11.so", token_module=False)
        self.assertFailedWith(result, 3, "token module /nonexistent/p11.so")

    @unittest.skipIf(os.path.lexists(FIXED_MODULE_PATH), "a token module is installed there")
    def test_doctor_with_nothing_at_the_fixed_path(self):
        result = self.host("doctor", token_module=False)
        self.assertEqual(result.returncode, 1)
        self.assertIn("loads: no: ", result.stdout.decode())
        self.assertIn('LastError "Load pkcs11 lib fail"', result.stdout.decode())

    def test_doctor_without_a_token(self):
        with tempfile.TemporaryDirectory() as d:
            report = self.doctor(conf=softhsm_conf(d, []), code=1)
        self.assertEqual(report["initialize"], "OK")
        self.assertEqual(report["slots"], [])
        self.assertEqual(report["getCertList"],
                         {"result": "E:1000", "lastError": "C_Initialize failed:OK(0x0000)"})
        (problem,) = report["problems"]
        self.assertIn("No token is present", problem)

    def test_doctor_on_a_token_without_certificates(self):
        with tempfile.TemporaryDirectory() as d:
            report = self.doctor(conf=softhsm_conf(d, token_dirs(EMPTY_TOKEN["dir"])), code=1)
        (slot,) = report["slots"]
        self.assertEqual((slot["label"], slot["certificates"], slot["listed"]), ("empty", [], True))
        self.assertEqual(report["getCertList"],
                         {"result": "", "lastError": "C_FindObjects failed:OK(0x0000)"})
        (problem,) = report["problems"]
        self.assertIn("shows no certificate without login", problem)

    def test_doctor_leaves_out_softhsm2s_uninitialised_spare_token_as_pages_do(self):
        # Unhidden, SoftHSM2's spare token comes last; the PIN module in front of the module
        # leaves it out, so the token with the certificate is the one listed.
        report = self.doctor(code=0, VELLUM_P11FWD_HIDE_UNINITIALIZED=None)
        (token,) = report["slots"]
        self.assertEqual((token["label"], token["listed"]), ("token", True))
        self.assertEqual(report["getCertList"]["lastError"], "OK")
        self.assertIn(SERIAL + ";", report["getCertList"]["result"])
        self.assertEqual(report["problems"], [])
        listed = self.host("list", VELLUM_P11FWD_HIDE_UNINITIALIZED=None)
        self.assertIn(SERIAL, listed.stdout.decode())

    def test_doctor_two_tokens_lists_only_the_last(self):
        with tempfile.TemporaryDirectory() as d:
            conf = softhsm_conf(d, token_dirs(os.path.join(ARGS.work, "token")) +
                                token_dirs(os.path.join(ARGS.work, "other")))
            report = self.doctor(conf=conf, code=0)
            listed = self.host("list", SOFTHSM2_CONF=conf)
        first, last = report["slots"]
        self.assertEqual((first["listed"], last["listed"]), (False, True))
        self.assertEqual({first["label"], last["label"]}, {"token", "other"})
        (listed_certificate,) = last["certificates"]
        self.assertEqual(report["getCertList"]["result"],
                         "CN=%s,%s;" % (listed_certificate["name"], listed_certificate["serial"]))
        self.assertEqual(listed.stdout.decode(), "%s  %s\n" % (listed_certificate["serial"],
                                                              listed_certificate["name"]))
        unlisted = [w for w in report["warnings"] if "does not show" in w]
        self.assertEqual(len(unlisted), 1, report["warnings"])
        self.assertIn("Slot %d (\"%s\")" % (first["slot"], first["label"]), unlisted[0])
        self.assertIn("getCertList lists slot %d, the last of 2" % last["slot"], report["text"])

    def test_doctor_with_mechanism_flags_cleared(self):
        report = self.doctor(code=1, VELLUM_P11FWD_CLEAR_MECH_FLAGS="*:0x2000")
        (slot,) = report["slots"]
        self.assertEqual(slot["rsaPkcs"], {"sign": True, "verify": False})
        self.assertEqual(report["getCertList"], {"result": "", "lastError": "OK"})
        (problem,) = report["problems"]
        self.assertIn("offers CKM_RSA_PKCS without verify", problem)

        # Without CKF_SIGN no hash can sign either.
        report = self.doctor(code=1, VELLUM_P11FWD_CLEAR_MECH_FLAGS="*:0x800")
        (slot,) = report["slots"]
        self.assertEqual(slot["rsaPkcs"], {"sign": False, "verify": True})
        self.assertFalse(any(slot["hashes"].values()), slot["hashes"])

    def test_doctor_survives_a_module_that_crashes_when_loaded_again(self):
        crashing = {"VELLUM_P11FWD_CRASH_ON_REINITIALIZE": "1"}
        # What a page's second operation does to the browser.
        result = self.host("list", "--", "list", **crashing)
        self.assertEqual(result.returncode, -signal.SIGSEGV, result)
        self.assertEqual(result.stdout.decode(), "%s  %s\n" % (SERIAL, SUBJECT_NAME))

        report = self.doctor(code=1, **crashing)
        death = "signal %d, %s" % (signal.SIGSEGV, signal.strsignal(signal.SIGSEGV))
        self.assertEqual(report["crash"], {"death": death, "firstLoad": False})
        (problem,) = report["problems"]
        self.assertTrue(problem.startswith(
            "the module crashes when loaded a second time in one process: a page's second "
            "operation would crash the browser (doctor's process died of %s)" % death), problem)
        # Still the whole report: the token as the first load saw it, and what a page's first
        # operation gets.
        (slot,) = report["slots"]
        self.assertEqual([c["serial"] for c in slot["certificates"]], [SERIAL])
        self.assertEqual(report["getCertList"],
                         {"result": "CN=%s,%s;" % (SUBJECT_NAME, SERIAL), "lastError": "OK"})
        self.assertIn("a second operation in the same process: crashes (%s)" % death,
                      report["text"])

    # --- the installed layout ----------------------------------------------------------------

    def test_tokenkit_reuses_only_the_token_asked_for(self):
        directory = os.path.join(ARGS.work, "token")
        same = run([ARGS.tokenkit, "provision", directory, "--bits", "1024", "--label", "token",
                    "--subject", "/CN=%s/O=vellum" % SUBJECT_NAME, "--serial", SERIAL.lower()])
        self.assertEqual(same.returncode, 0, same.stderr)
        self.assertIn(b"reused=yes", same.stdout)
        self.assertIn(("serial=" + SERIAL).encode(), same.stdout)
        other = run([ARGS.tokenkit, "provision", directory, "--label", "other"])
        self.assertEqual(other.returncode, 1)
        self.assertEqual(other.stdout, b"")
        self.assertIn(b"made with other settings (label 'token', not 'other')", other.stderr)
        # Left as it was: the list still shows the certificate.
        result = self.host("list")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(SERIAL, result.stdout.decode())

    def test_installed_host_finds_installed_module(self):
        with tempfile.TemporaryDirectory() as prefix:
            install = run(["cmake", "--install", ARGS.build, "--prefix", prefix], timeout=120)
            self.assertEqual(install.returncode, 0, install.stderr)
            host = os.path.join(prefix, "bin", "vellum-host")
            result = run([host, "info"])
            self.assertSucceeded(result)
            module = result.stdout.decode().splitlines()[0]
            self.assertTrue(module.startswith("module: " + os.path.realpath(prefix) + "/"),
                            module)
            self.assertTrue(module.endswith("/vellum/libvellum.so"), module)


    def test_installed_copy_never_loads_a_build_tree_module(self):
        # A copy of the program away from the build tree, with no plug-in module beside it:
        # the build tree's module (there, and loadable) is not looked at.
        with tempfile.TemporaryDirectory() as prefix:
            copy = os.path.join(prefix, "bin", "vellum-host")
            os.makedirs(os.path.dirname(copy))
            shutil.copy(ARGS.host, copy)
            result = run([copy, "--token-module", ARGS.fwd, "info"], env=token_env())
            (line,) = self.assertFailedWith(result, 3, "no plug-in module at " + prefix)
            self.assertIn("/bin/../lib/vellum/libvellum.so (beside this program)", line)
            # Started by a browser: every request is told so, and nothing is loaded.
            hello = b'{"id": 1, "op": "hello"}'
            result = subprocess.run([copy, "native-messaging"], env=token_env(), timeout=60,
                                    input=struct.pack("=I", len(hello)) + hello,
                                    capture_output=True)
            self.assertEqual(result.returncode, 0, result)
            answer = json.loads(result.stdout[4:])
            self.assertEqual(answer["error"]["code"], "setup", answer)
            self.assertIn("no plug-in module at " + prefix, answer["error"]["message"])
            # The build tree's own program still finds its module.
            self.assertIn("module: " + os.path.realpath(ARGS.plugin),
                          self.host("info").stdout.decode())


# --- the browser bridge ----------------------------------------------------------------------

CHROMIUM_ID = "mjebmgbgliocagopgcnlkfnbbcoejmda"
FIREFOX_ID = "bridge@vellum.example"
# The public key in the extension's manifest, which fixes its Chromium-family id.
EXTENSION_KEY = (
    "MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEAvuOqYMoQ4KOy8UDkqNCgQMgr9ZN46/jQ7c02ax2F/YVNjI74"
    "885/7ny44RPf4n/SVjq5UkdBDFZ9wgTZ9IGs9I//1OkL5YCiE8t9i4eQ0Q1mtPWIqfP4fWBCuXjcy8Gv+hrdd8pf2o"
    "PLmd8pELVNvxPis6VVdCD/WpQL8G9f74xamJD4sqpzA7RWy0pQXdPXI0y++bSv8bEswrBkSgAErnO/dmnKXcDJTmX9"
    "OEyrd0prkco71VlMtbl3Jy4mGtLUE96Va5JVp4rhmPQd5FrQCx8AClM8fGxFwiVtTDwgpPFOpdUm7mt/P407SvL7H1"
    "XoFtHzQHzFaGK9lt8Q7Fm+MQIDAQAB")
MAX_OUT = 1048576
MAX_IN = 64 * 1024 * 1024


class Bridge:
    """vellum-host as a browser runs it for one port: frames on its standard input and output."""

    def __init__(self, args=("native-messaging",), env=None, token_module=True, wrap=True,
                 cwd=None, preexec=None, host=None):
        self.stderr = tempfile.TemporaryFile()
        cmd = (ARGS.wrap.split() if wrap and ARGS.wrap else []) + [host or ARGS.host]
        cmd += (["--token-module", ARGS.fwd] if token_module else []) + list(args)
        self.process = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.stderr, env=env or token_env(), cwd=cwd,
                                        preexec_fn=preexec)

    def send_raw(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def send(self, request):
        body = request if isinstance(request, bytes) else json.dumps(request).encode()
        self.send_raw(struct.pack("=I", len(body)) + body)

    def frame(self):
        """The next frame's bytes, or None at a clean end; a cut frame fails the test."""
        header = self.process.stdout.read(4)
        if not header:
            return None
        assert len(header) == 4, "half a length on stdout: %r" % header
        (length,) = struct.unpack("=I", header)
        assert length <= MAX_OUT, "a frame of %d bytes" % length
        body = self.process.stdout.read(length)
        assert len(body) == length, "a frame cut short on stdout"
        return body

    def answer(self, request_id, parts=None):
        """The next answer, its parts joined; every part must carry `request_id`, the id of the
        request it answers (a whole answer is compared by the caller). `parts` collects the part
        frames' sizes."""
        first = json.loads(self.frame())
        if "part" not in first:
            return first
        pieces = [first]
        while len(pieces) < first["parts"]:
            pieces.append(json.loads(self.frame()))
        assert [p["part"] for p in pieces] == list(range(1, first["parts"] + 1))
        assert all(p["parts"] == first["parts"] for p in pieces)
        ids = sorted({json.dumps(p["id"]) for p in pieces})
        assert ids == [json.dumps(request_id)], \
            "part frames carry the id %s, not the request's %s" % (
                " and ".join(ids), json.dumps(request_id))
        if parts is not None:
            parts.extend(len(json.dumps(p, ensure_ascii=False).encode()) for p in pieces)
        return json.loads("".join(p["data"] for p in pieces))

    def request(self, request):
        self.send(request)
        return self.answer(request.get("id") if isinstance(request, dict) else None)

    def finish(self, timeout=120):
        """Closes the port; the exit status, what stdout still carried, and stderr."""
        self.process.stdin.close()
        rest = self.process.stdout.read()
        status = self.process.wait(timeout=timeout)
        return status, rest, self.close()

    def close(self):
        """Ends the process if it still runs; what it wrote on stderr."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdin, self.process.stdout):
            stream.close()
        self.stderr.seek(0)
        text = self.stderr.read().decode(errors="replace")
        self.stderr.close()
        return text


def wait_until_someone_waits_for(path, process):
    """Waits until the kernel lists a process blocked on the flock of the file at `path`
    (/proc/locks marks a waiter with "->"); False when `process` ends first."""
    info = os.stat(path)
    # /proc/locks names the file as MAJOR:MINOR:INODE, the device numbers in hexadecimal.
    file_id = "%02x:%02x:%d" % (os.major(info.st_dev), os.minor(info.st_dev), info.st_ino)
    while process.poll() is None:
        with open("/proc/locks") as f:
            for line in f:
                words = line.split()
                if len(words) > 6 and words[1] == "->" and words[2] == "FLOCK" and \
                        words[6] == file_id:
                    return True
        time.sleep(0.01)
    return False


def call_log(path):
    with open(path) as f:
        return f.read().splitlines()


class NativeMessagingTest(unittest.TestCase):
    maxDiff = None
    host = VellumHostTest.host
    json_lines = VellumHostTest.json_lines
    verify = VellumHostTest.verify

    def bridge(self, *args, **kwargs):
        bridge = Bridge(*args, **kwargs)
        self.addCleanup(lambda: bridge.stderr.closed or bridge.close())
        return bridge

    def assertClosedCleanly(self, bridge, log=None):
        status, rest, stderr = bridge.finish()
        self.assertEqual((status, rest), (0, b""), stderr)
        self.assertNotIn("did not leave the host clean", stderr)
        if log is not None:
            self.assertFinalised(log)
        return stderr

    def assertFinalised(self, log):
        lines = call_log(log)
        self.assertTrue(lines, "no call was logged")
        # Every load of the module ends in C_Finalize and an unload with nothing initialised.
        loads = [l for l in lines if l.startswith("@load")]
        unloads = [l for l in lines if l.startswith("@unload")]
        self.assertEqual(len(loads), len(unloads), lines)
        self.assertTrue(lines[-1].startswith("@unload") and "initialized=no" in lines[-1],
                        lines[-3:])
        self.assertTrue(lines[-2].startswith("C_Finalize rv=0x0"), lines[-3:])

    def sign(self, bridge, digest, data, envelope="Signature"):
        for name, value in (("CN", SERIAL), ("HashAlgorithm", digest), ("SignData", data)):
            self.assertEqual(bridge.request({"id": name, "op": "set", "name": name,
                                             "value": value}), {"id": name, "result": None})
        return bridge.request({"id": envelope, "op": "get", "name": envelope})

    def test_hello_list_cert_and_signatures_that_verify(self):
        with tempfile.TemporaryDirectory() as d:
            log = os.path.join(d, "calls.log")
            bridge = self.bridge(["chrome-extension://%s/" % CHROMIUM_ID],
                                 env=token_env(VELLUM_P11FWD_LOG=log))
            self.assertEqual(bridge.request({"id": 1, "op": "hello"}), {"id": 1, "result": {
                "protocol": 1, "name": "vellum Plug-in for DEMO", "version": "1.0.0.49",
                "mimeType": "application/x-vnd-vellum-demo"}})
            self.assertEqual(bridge.request({"id": "l", "op": "call", "name": "getCertList"}),
                             {"id": "l", "result": "CN=%s,%s;" % (SUBJECT_NAME, SERIAL)})
            bridge.request({"id": 2, "op": "set", "name": "CN", "value": SERIAL.lower()})
            with open(TOKEN["der"], "rb") as f:
                der = base64.b64encode(f.read()).decode()
            self.assertEqual(bridge.request({"id": 3, "op": "call", "name": "SignCert",
                                             "args": []}), {"id": 3, "result": der})
            data = "Pay 100 to Bob, ünïcødé"
            for digest in ("md5", "sha1", "sha256"):
                answer = self.sign(bridge, digest, data)
                envelope = answer["result"]
                self.assertTrue(envelope.startswith("US65001:00000256"), answer)
                verdict = self.verify(digest, data.encode(), bytes.fromhex(envelope[16:]))
                self.assertEqual(verdict.stdout, b"Verified OK\n", (digest, verdict))
                # The data envelope of the same operation carries the text and the signature.
                answer = bridge.request({"id": 4, "op": "get", "name": "SignData"})
                prefix = "UD65001:%08d%s00000256" % (len(data.encode()), data)
                self.assertEqual(answer["result"], prefix + envelope[16:])
            self.assertEqual(bridge.request({"id": 5, "op": "call", "name": "LastError"}),
                             {"id": 5, "result": "OK"})
            self.assertEqual(self.assertClosedCleanly(bridge, log), "")

    @not_under_memcheck("the overlap it looks for needs hosts at full speed")
    def test_native_hosts_and_a_command_line_host_signing_at_once_take_turns(self):
        # Two pages' native hosts and a command-line host sign on one token at once, each
        # logging in and out per signature. The token keeps one login for every process, as a
        # card does, so without the token lock in either path (a bridge's reads of Signature and
        # SignData, a command-line step) their logins overlap and signatures answer E:1000.
        count = 30
        shared = os.path.join(tempfile.mkdtemp(dir=ARGS.work), "card-login")
        env = token_env(VELLUM_P11FWD_SHARED_LOGIN=shared)
        steps = []
        for i in range(count):
            steps += ["--"] if steps else []
            steps += ["sign", SERIAL, "--hash", "sha256", "--data", "command line, %d" % i]
        command_line = subprocess.Popen(
            [ARGS.host, "--json", "--keep-going", "--token-module", ARGS.fwd] + steps,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        bridges = [self.bridge(["chrome-extension://%s/" % CHROMIUM_ID], env=env)
                   for _ in range(2)]
        signed = {}  # (signer, i): (data, the answer)

        def sign_through(number, bridge):
            origin = "https://page%d.example" % number
            for name, value in (("CN", SERIAL), ("HashAlgorithm", "sha256")):
                bridge.request({"id": name, "op": "set", "name": name, "value": value,
                                "origin": origin})
            for i in range(count):
                data = "bridge %d, %d" % (number, i)
                bridge.request({"id": i, "op": "set", "name": "SignData", "value": data,
                                "origin": origin})
                # Both reads sign.
                name = ("Signature", "SignData")[i % 2]
                signed[("bridge %d" % number, i)] = data, name, bridge.request(
                    {"id": i, "op": "get", "name": name, "origin": origin})

        threads = [threading.Thread(target=sign_through, args=(n, b))
                   for n, b in enumerate(bridges)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        stdout, stderr = command_line.communicate(timeout=600)
        for i, step in enumerate(json.loads(line) for line in stdout.decode().splitlines()):
            signed[("command line", i)] = "command line, %d" % i, "step", step
        refused = sorted("%s, %d: %s" % (signer, i, json.dumps(answer))
                         for (signer, i), (_, _, answer) in signed.items()
                         if "E:1000" in json.dumps(answer))
        if refused:
            self.fail("the token lock let operations of two hosts overlap on the token: %d of %d "
                      "signatures answered E:1000, the first %s"
                      % (len(refused), len(signed), refused[0]))
        # No overlap, and not because the token took overlapping logins: one held elsewhere
        # refuses a host's.
        with open(shared, "a") as card:
            fcntl.flock(card, fcntl.LOCK_EX)
            busy = run([ARGS.host, "--token-module", ARGS.fwd, "sign", SERIAL, "--hash",
                        "sha256", "--data", "x"], env=env)
        self.assertEqual(busy.returncode, 1, busy)
        self.assertIn("C_Login failed:", busy.stderr.decode())
        self.assertIn("(0x0104)", busy.stderr.decode())
        self.assertEqual((command_line.returncode, stderr), (0, b""), stdout[-2000:])
        for bridge in bridges:
            self.assertEqual(self.assertClosedCleanly(bridge), "")
        self.assertEqual(len(signed), 3 * count)
        with tempfile.TemporaryDirectory() as d:
            key = run(["openssl", "x509", "-in", TOKEN["certificate"], "-pubkey", "-noout"])
            pub, data_file, sig_file = (os.path.join(d, n) for n in ("pub.pem", "data", "sig"))
            with open(pub, "wb") as f:
                f.write(key.stdout)
            for (signer, i), (data, how, answer) in sorted(signed.items()):
                if how == "step":
                    self.assertTrue(answer["ok"], answer)
                    signature = answer["signature"]
                else:
                    envelope = answer["result"]
                    prefix = ("US65001:00000256" if how == "Signature" else
                              "UD65001:%08d%s00000256" % (len(data.encode()), data))
                    self.assertTrue(envelope.startswith(prefix), (signer, i, answer))
                    signature = envelope[len(prefix):]
                with open(data_file, "wb") as f:
                    f.write(data.encode())
                with open(sig_file, "wb") as f:
                    f.write(bytes.fromhex(signature))
                verdict = run(["openssl", "dgst", "-sha256", "-verify", pub, "-signature",
                               sig_file, data_file])
                self.assertEqual(verdict.stdout, b"Verified OK\n", (signer, i, verdict))

    def test_every_start_a_browser_makes_answers_hello(self):
        # Chromium (and Chromium in a desktop portal): the caller's origin, on some systems a
        # window handle after it; Firefox (and the WebExtensions portal, in the versions that
        # pass anything): the manifest's path and the add-on id; the portal otherwise: nothing.
        manifest = "/usr/lib/mozilla/native-messaging-hosts/vellum.bridge.json"
        with tempfile.TemporaryDirectory(dir=ARGS.work) as home:
            for args in ([], [manifest, FIREFOX_ID], ["chrome-extension://%s/" % CHROMIUM_ID],
                         ["chrome-extension://%s/" % CHROMIUM_ID, "--parent-window=0"]):
                bridge = self.bridge(args, env=token_env(HOME=home), token_module=False)
                answer = bridge.request({"id": 1, "op": "hello"})
                self.assertEqual(answer["result"]["protocol"], 1, (args, answer))
                self.assertClosedCleanly(bridge)

    def test_a_failing_operation_answers_as_the_plugin_does(self):
        fail = {"VELLUM_P11FWD_FAIL": "C_Login=0xA0"}
        cli = self.host("--json", "sign", SERIAL, "--hash", "sha256", "--data", "x", **fail)
        (step,) = self.json_lines(cli)
        self.assertEqual((step["result"], step["lastError"]),
                         ("E:1000", "C_Login failed:Pin incorrect(0x00A0)"))
        bridge = self.bridge(env=token_env(**fail))
        self.assertEqual(self.sign(bridge, "sha256", "x"), {"id": "Signature", "result": "E:1000"})
        self.assertEqual(bridge.request({"id": 1, "op": "call", "name": "LastError"}),
                         {"id": 1, "result": step["lastError"]})
        self.assertClosedCleanly(bridge)

    # Every method and property, with the arguments vellum-host passes for its words.
    SCRIPT_API = [
        ("get", "CN", []), ("get", "SignData", []), ("get", "IssuerCN", []),
        ("get", "Signature", []), ("get", "SignFile", []), ("get", "HashAlgorithm", []),
        ("get", "JSCB", []),
        ("set", "CN", [SERIAL]), ("set", "SignData", ["text"]), ("set", "IssuerCN", ["x"]),
        ("set", "Signature", ["x"]), ("set", "SignFile", ["/nonexistent"]),
        ("set", "HashAlgorithm", ["sha1"]), ("set", "JSCB", ["cb"]), ("set", "CN", [42]),
        ("call", "PKCS7Data", ["abc"]), ("call", "VerifyPKCS7", ["abc"]),
        ("call", "VerifySignature", ["a", "b", "c"]), ("call", "LastError", []),
        ("call", "SignCert", []), ("call", "getCertList", []), ("call", "getProviderName", []),
        ("call", "getVersion", []), ("call", "saGetTokenCount", []),
        ("call", "saGetTokenSN", [0]), ("call", "saGetTokenMOVAId", [0]),
        ("call", "SetUKeyVendor", ["v"]), ("call", "GetUKeyCount", []),
        ("call", "GetUKeySN", [0]), ("call", "GetUKeyCertCount", [0]),
        ("call", "ChangeUKeyPIN", ["1", "2"]), ("call", "CreateX509ReqData", ["CN=x"]),
        ("call", "ImportCertData", ["abc"]), ("call", "getProviderCertList", ["p"]),
        ("call", "VerifyPKCS7", []), ("get", "Nothing", []), ("call", "Nothing", []),
    ]

    @not_under_memcheck("a host per row; the other tests reach the same code")
    def test_every_method_and_property_answers_as_vellum_host_does(self):
        def word(value):
            return str(value) if isinstance(value, int) else "str:" + value

        bridge = self.bridge()
        for number, (op, name, args) in enumerate(self.SCRIPT_API):
            with self.subTest(op=op, name=name, args=args):
                # A fresh vellum-host run and the same request on the one bridge instance: both
                # start from an instance that has seen no earlier request of this table.
                cli = self.host("--json", op, name, *map(word, args))
                (step,) = self.json_lines(cli)
                request = {"id": number, "op": op, "name": name}
                if op == "set":
                    request["value"] = args[0]
                elif op == "call":
                    request["args"] = args
                answer = bridge.request(request)
                self.assertEqual(answer["id"], number)
                if step["ok"] and op == "set":
                    self.assertEqual(answer, {"id": number, "result": None})
                elif step["ok"] and step["type"] == "void":
                    self.assertEqual(answer, {"id": number})
                elif step["ok"] or step.get("result") == "E:1000":
                    self.assertEqual(answer, {"id": number, "result": step.get("value",
                                                                             step.get("result"))})
                else:
                    code = "unknown-name" if "no such" in step["error"] else "refused"
                    self.assertEqual(answer["error"]["code"], code, (step, answer))
                # Each row starts over as the command line does: a fresh instance.
                bridge.finish()
                bridge = self.bridge()
        self.assertClosedCleanly(bridge)

    @not_under_memcheck("the split is checked at 64 MiB without memcheck")
    def test_a_64_mib_sign_data_is_split_and_joins(self):
        data = "x" * (MAX_IN - 100)
        bridge = self.bridge(wrap=False)
        answer = self.sign(bridge, "sha256", data, envelope="SignData")
        # The request frame itself was at the limit.
        self.assertLessEqual(len(json.dumps({"id": "SignData", "op": "set", "name": "SignData",
                                             "value": data})), MAX_IN)
        parts = []
        bridge.send({"id": 9, "op": "get", "name": "SignData"})
        answer = bridge.answer(9, parts)
        self.assertGreater(len(parts), 64)
        self.assertLessEqual(max(parts), MAX_OUT)
        envelope = answer["result"]
        self.assertEqual(envelope[:16], "UD65001:%08d" % len(data))
        self.assertEqual(envelope[16:16 + len(data)], data)
        signature = bytes.fromhex(envelope[16 + len(data) + 8:])
        verdict = self.verify("sha256", data.encode(), signature)
        self.assertEqual(verdict.stdout, b"Verified OK\n", verdict)
        self.assertClosedCleanly(bridge)

    def test_malformed_requests_are_answered_and_the_stream_goes_on(self):
        cases = [
            (b"", None, "bad-json"),
            (b'{"id": 1, "op": "hello"', None, "bad-json"),
            (b'{"id": 1, "op": "\xff"}', None, "bad-json"),
            # Refused where the nesting passes the limit, before the end is read.
            (b"[" * 100000, None, "bad-request"),
            (b'{"id": 0, "op": "call", "name": "x", "args": [%s]}' % (b"[" * 500000 +
                                                                     b"]" * 500000),
             None, "bad-request"),
            (b"[1]", None, "bad-request"),
            ({"op": "hello"}, None, "bad-request"),
            ({"id": None, "op": "hello"}, None, "bad-request"),
            ({"id": [1], "op": "hello"}, None, "bad-request"),
            ({"id": "x" * 2000, "op": "hello"}, None, "bad-request"),
            ({"id": 1}, 1, "bad-request"),
            ({"id": 2, "op": "frob"}, 2, "bad-request"),
            ({"id": 3, "op": "hello", "extra": 1}, 3, "bad-request"),
            ({"id": 4, "op": "get"}, 4, "bad-request"),
            ({"id": 5, "op": "get", "name": 7}, 5, "bad-request"),
            ({"id": 6, "op": "set", "name": "CN"}, 6, "bad-request"),
            ({"id": 7, "op": "call", "name": "getVersion", "args": "x"}, 7, "bad-request"),
            ({"id": 8, "op": "get", "name": "Frob"}, 8, "unknown-name"),
            ({"id": 9, "op": "set", "name": "Frob", "value": 1}, 9, "unknown-name"),
            ({"id": 10, "op": "call", "name": "Frob"}, 10, "unknown-name"),
            ({"id": 11, "op": "set", "name": "CN", "value": [SERIAL]}, 11, "bad-arguments"),
            ({"id": 12, "op": "call", "name": "GetUKeySN", "args": [{}]}, 12, "bad-arguments"),
            ({"id": 13, "op": "set", "name": "Signature", "value": "x"}, 13, "refused"),
            ({"id": 14, "op": "get", "name": "JSCB"}, 14, "refused"),
        ]
        bridge = self.bridge(token_module=False)
        for request, id_, code in cases:
            with self.subTest(request=str(request)[:60]):
                answer = bridge.request(request)
                self.assertEqual(set(answer), {"id", "error"}, answer)
                self.assertEqual((answer["id"], answer["error"]["code"]), (id_, code), answer)
                self.assertTrue(answer["error"]["message"])
        # Numbers go by their value: 1.0 is an int32 as in script; 1.5 a double the method
        # takes as a number.
        self.assertEqual(bridge.request({"id": "n", "op": "call", "name": "GetUKeySN",
                                         "args": [0.0]}),
                         bridge.request({"id": "n", "op": "call", "name": "GetUKeySN",
                                         "args": [0]}))
        self.assertEqual(bridge.request({"id": 0, "op": "hello"})["result"]["protocol"], 1)
        self.assertClosedCleanly(bridge)

    def test_numbers_out_of_range_and_deep_nesting_are_answered(self):
        bridge = self.bridge(token_module=False)
        for frame, fragment in (
                (b'{"id": 1e400, "op": "hello"}', "a number no double can hold ends at byte "),
                (b'{"id": 1, "op": "set", "name": "CN", "value": -1e400}', "no double"),
                (b'{"id": 2, "op": "call", "name": "GetUKeySN", "args": [1E+999]}', "no double"),
                (b'{"id": 3, "op": "call", "name": "x", "args": ' + b"[" * 8 + b"1" +
                 b"]" * 8 + b"}", "nested deeper than 8 levels")):
            answer = bridge.request(frame)
            self.assertEqual((answer["id"], answer["error"]["code"]), (None, "bad-request"),
                             frame[:60])
            self.assertIn(fragment, answer["error"]["message"])
        # Eight levels in all are JSON the host reads (and refuses as an argument).
        answer = bridge.request(b'{"id": 4, "op": "call", "name": "x", "args": ' + b"[" * 7 +
                                b"1" + b"]" * 7 + b"}")
        self.assertEqual(answer["error"]["code"], "bad-arguments", answer)
        if ARGS.wrap:
            self.assertClosedCleanly(bridge)
            return
        # 60 MB of nesting: refused before it is built, so the host's peak memory stays near
        # the frame's own size (building it cost 3.6 GiB).
        frame = b"[" * (60 * 1000 * 1000)
        answer = bridge.request(frame)
        self.assertEqual(answer["error"]["code"], "bad-request")
        with open("/proc/%d/status" % bridge.process.pid) as f:
            peak = [l for l in f if l.startswith("VmHWM:")][0]
        self.assertLess(int(peak.split()[1]) * 1024, 4 * len(frame), peak)
        self.assertEqual(bridge.request({"id": 5, "op": "hello"})["result"]["protocol"], 1)
        self.assertClosedCleanly(bridge)

    def test_a_stream_that_cannot_be_followed_ends_with_status_1(self):
        hello = json.dumps({"id": 1, "op": "hello"}).encode()
        cases = [
            (struct.pack("=I", MAX_IN + 1), "exceeds the limit"),
            (struct.pack("=I", 0xFFFFFFFF), "exceeds the limit"),
            (b"\x05\x00", "ended inside a frame's length"),
            (struct.pack("=I", len(hello) + 10) + hello, "ended inside a frame"),
        ]
        for data, message in cases:
            with self.subTest(data=data[:8]):
                with tempfile.TemporaryDirectory() as d:
                    log = os.path.join(d, "calls.log")
                    bridge = self.bridge(env=token_env(VELLUM_P11FWD_LOG=log))
                    # A request answered first: the module is loaded and used once.
                    self.assertIn("result", bridge.request({"id": 0, "op": "call",
                                                            "name": "getCertList"}))
                    bridge.send_raw(data)
                    status, rest, stderr = bridge.finish()
                    self.assertEqual((status, rest), (1, b""), stderr)
                    (line,) = [l for l in stderr.splitlines() if l.startswith("vellum-host: ")]
                    self.assertIn(message, line)
                    self.assertFinalised(log)

    def test_end_of_input_at_rest_and_mid_operation_finalises_the_module(self):
        with tempfile.TemporaryDirectory() as d:
            log = os.path.join(d, "calls.log")
            env = token_env(VELLUM_P11FWD_LOG=log)
            # At rest: nothing asked at all, then after an operation.
            bridge = self.bridge(env=env)
            self.assertClosedCleanly(bridge)
            bridge = self.bridge(env=env)
            bridge.request({"id": 1, "op": "call", "name": "getCertList"})
            self.assertClosedCleanly(bridge, log)
            # Mid-operation: the port closes while a signing runs; the answer still comes.
            bridge = self.bridge(env=env)
            for name, value in (("CN", SERIAL), ("HashAlgorithm", "sha1"), ("SignData", "y")):
                bridge.request({"id": name, "op": "set", "name": name, "value": value})
            bridge.send({"id": 2, "op": "get", "name": "Signature"})
            bridge.process.stdin.close()
            self.assertTrue(bridge.answer(2)["result"].startswith("US65001:"))
            self.assertClosedCleanly(bridge, log)
            # The reader is gone as well: the answer cannot be written, and the instance still
            # goes down in order.
            os.remove(log)
            bridge = self.bridge(env=env)
            for name, value in (("CN", SERIAL), ("HashAlgorithm", "sha1"), ("SignData", "y")):
                bridge.request({"id": name, "op": "set", "name": name, "value": value})
            bridge.process.stdout.close()
            bridge.send({"id": 3, "op": "get", "name": "Signature"})
            bridge.process.stdin.close()
            self.assertEqual(bridge.process.wait(timeout=120), 1)
            self.assertIn("cannot write standard output", bridge.close())
            self.assertFinalised(log)

    def test_setup_failures_answer_every_request(self):
        bridge = self.bridge(["--plugin", "/nonexistent/libvellum.so", "native-messaging"],
                             token_module=False)
        for request in ({"id": 1, "op": "hello"}, {"id": 2, "op": "call", "name": "getVersion"}):
            answer = bridge.request(request)
            self.assertEqual(answer["error"]["code"], "setup", answer)
            self.assertIn("/nonexistent/libvellum.so", answer["error"]["message"])
        self.assertEqual(bridge.request(b"{")["error"]["code"], "bad-json")
        self.assertIn("/nonexistent/libvellum.so", self.assertClosedCleanly(bridge))


class BridgeInstallTest(unittest.TestCase):
    """bridge install/uninstall/status and doctor's section, in a temporary home."""
    maxDiff = None

    def setUp(self):
        self.home = tempfile.mkdtemp(dir=ARGS.work)
        self.addCleanup(shutil.rmtree, self.home)
        self.program = os.path.realpath(ARGS.host)

    def env(self, **extra):
        env = token_env(HOME=self.home)
        env.update(extra)
        return env

    def bridge(self, *args, code=0, **env):
        result = run([ARGS.host, "bridge"] + list(args), env=self.env(**env))
        self.assertEqual(result.returncode, code, result)
        return result

    def status(self, *args, **env):
        """status's JSON object; it exits 1 when the token module a browser would get does not
        load, which depends on what is at the fixed path here."""
        result = run([ARGS.host, "bridge", "status", "--json"] + list(args), env=self.env(**env))
        self.assertIn(result.returncode, (0, 1), result)
        report = json.loads(result.stdout)
        self.assertIs(report["ok"], result.returncode == 0)
        return report

    def browsers_on_path(self, *programs):
        """A PATH holding only stand-ins for the given browser programs."""
        folder = tempfile.mkdtemp(dir=ARGS.work)
        self.addCleanup(shutil.rmtree, folder)
        for program in programs:
            path = os.path.join(folder, program)
            with open(path, "w") as f:
                f.write("#!/bin/sh\nexit 0\n")
            os.chmod(path, 0o755)
        return folder

    def user_paths(self, config):
        return {
            "chromium": os.path.join(config, "chromium/NativeMessagingHosts/vellum.bridge.json"),
            "chrome": os.path.join(config,
                                   "google-chrome/NativeMessagingHosts/vellum.bridge.json"),
            "edge": os.path.join(config, "microsoft-edge/NativeMessagingHosts/vellum.bridge.json"),
            "brave": os.path.join(
                config, "BraveSoftware/Brave-Browser/NativeMessagingHosts/vellum.bridge.json"),
            "vivaldi": os.path.join(config, "vivaldi/NativeMessagingHosts/vellum.bridge.json"),
            "firefox": os.path.join(self.home, ".mozilla/native-messaging-hosts/vellum.bridge.json"),
        }

    def assertManifest(self, path, browser):
        with open(path) as f:
            manifest = json.load(f)
        expected = {"name": "vellum.bridge", "description": "vellum token bridge",
                    "path": self.program, "type": "stdio"}
        if browser == "firefox":
            expected["allowed_extensions"] = [FIREFOX_ID]
        else:
            expected["allowed_origins"] = ["chrome-extension://%s/" % CHROMIUM_ID]
        self.assertEqual(manifest, expected)

    def test_the_extension_id_is_the_one_its_key_fixes(self):
        digest = hashlib.sha256(base64.b64decode(EXTENSION_KEY)).hexdigest()[:32]
        self.assertEqual("".join(chr(ord("a") + int(c, 16)) for c in digest), CHROMIUM_ID)

    def test_install_status_uninstall_for_every_browser(self):
        paths = self.user_paths(os.path.join(self.home, ".config"))
        every = self.browsers_on_path("chromium", "google-chrome", "microsoft-edge",
                                      "brave-browser", "vivaldi-stable", "firefox")
        result = self.bridge("install", PATH=every)
        for browser, path in paths.items():
            self.assertIn("installed %s (%s, user)" % (path, browser), result.stdout.decode())
            self.assertManifest(path, browser)
            self.assertEqual(os.stat(path).st_mode & 0o777, 0o644)
        report = self.status("--user")
        self.assertEqual({m["browser"]: m["path"] for m in report["manifests"]}, paths)
        for manifest in report["manifests"]:
            self.assertEqual((manifest["installed"], manifest["program"], manifest["programRuns"],
                              manifest["error"]), (True, self.program, True, None))
        self.assertIsNone(report["tokenModule"])
        # Without a scope, status shows the system's folders as well (read, never written);
        # Brave and Vivaldi read Chromium's, shown once.
        system = [m for m in self.status()["manifests"] if m["scope"] == "system"]
        self.assertEqual({m["browser"]: m["path"] for m in system}, {
            "chromium": "/etc/chromium/native-messaging-hosts/vellum.bridge.json",
            "chrome": "/etc/opt/chrome/native-messaging-hosts/vellum.bridge.json",
            "edge": "/etc/opt/edge/native-messaging-hosts/vellum.bridge.json",
            "firefox": "/usr/lib/mozilla/native-messaging-hosts/vellum.bridge.json"})

        self.bridge("uninstall", "--browser", "chrome")
        self.assertFalse(os.path.exists(paths["chrome"]))
        self.assertTrue(os.path.exists(paths["edge"]))
        result = self.bridge("uninstall")
        self.assertFalse(any(os.path.exists(p) for p in paths.values()))
        # The folders install made on the way go too; the home's own .config stays.
        self.assertEqual(os.listdir(self.home), [".config"])
        self.assertEqual(os.listdir(os.path.join(self.home, ".config")), [])
        self.assertEqual(self.bridge("uninstall").stdout, b"nothing to remove\n")
        self.assertFalse(any(m["installed"] for m in self.status("--user")["manifests"]))

    def test_install_writes_only_for_browsers_found(self):
        paths = self.user_paths(os.path.join(self.home, ".config"))
        # Chromium has run here (its folder exists), and Firefox, with only the layout Firefox
        # 153 makes (~/.config/mozilla, no ~/.mozilla), which still reads the user's manifests
        # from ~/.mozilla; Vivaldi is installed (its program is on PATH); neither Chrome, Edge
        # nor Brave is anywhere.
        chromium = os.path.dirname(os.path.dirname(paths["chromium"]))
        os.makedirs(chromium)
        with open(os.path.join(chromium, "Local State"), "w") as f:
            f.write("{}")
        os.makedirs(os.path.join(self.home, ".config/mozilla/firefox"))
        found = self.browsers_on_path("vivaldi-stable")
        result = self.bridge("install", PATH=found)
        self.assertIn("not installed for chrome, edge, brave: not found on this machine",
                      result.stdout.decode())
        for browser in ("chromium", "vivaldi", "firefox"):
            self.assertManifest(paths[browser], browser)
        self.assertEqual(sorted(os.listdir(os.path.join(self.home, ".config"))),
                         ["chromium", "mozilla", "vivaldi"])
        # A named browser is written for whether it is found or not.
        self.bridge("install", "--browser", "edge", PATH=found)
        self.assertManifest(paths["edge"], "edge")

        # Brave's manifest folder is two deep in a folder of its vendor's, which uninstall
        # removes too when install made it.
        self.bridge("install", "--browser", "brave", PATH=found)
        self.assertManifest(paths["brave"], "brave")

        result = self.bridge("uninstall", PATH=found)
        for folder in (os.path.dirname(paths["edge"]), os.path.dirname(paths["firefox"]),
                       os.path.join(self.home, ".config/BraveSoftware")):
            self.assertIn("removed %s/\n" % folder, result.stdout.decode())
        self.assertEqual(sorted(os.listdir(self.home)), [".config"])
        self.assertEqual(sorted(os.listdir(os.path.join(self.home, ".config"))),
                         ["chromium", "mozilla"])
        self.assertEqual(os.listdir(chromium), ["Local State"])

        # No browser at all: nothing is written, and the reason says how to name one.
        shutil.rmtree(chromium)
        shutil.rmtree(os.path.join(self.home, ".config/mozilla"))
        result = self.bridge("install", PATH=self.browsers_on_path(), code=1)
        (line,) = result.stderr.decode().splitlines()
        self.assertIn("no browser found", line)
        self.assertIn("--browser", line)
        self.assertEqual(result.stdout, b"")
        self.assertEqual(os.listdir(os.path.join(self.home, ".config")), [])

    @unittest.skipIf(os.path.lexists(FIXED_MODULE_PATH), "a token module is installed there")
    def test_without_a_loadable_module_install_warns_and_status_fails(self):
        result = self.bridge("install", "--browser", "firefox")
        (warning,) = result.stderr.decode().splitlines()
        self.assertTrue(warning.startswith(
            "vellum-host: bridge: warning: no token module is recorded and none loads at the "
            "plug-in's fixed path %s" % FIXED_MODULE_PATH), warning)
        self.assertIn("'vellum-host bridge install --token-module PATH'", warning)
        self.assertManifest(self.user_paths("")["firefox"], "firefox")

        result = self.bridge("status", code=1)
        self.assertIn("plug-in's fixed path %s: does not load: " % FIXED_MODULE_PATH,
                      result.stdout.decode())
        (line,) = result.stderr.decode().splitlines()
        self.assertIn("vellum-host: bridge: no token module is recorded", line)
        report = self.status()
        self.assertIs(report["ok"], False)
        self.assertIsNone(report["tokenModule"])
        self.assertEqual((report["fixedPath"]["path"], report["fixedPath"]["loads"]),
                         (FIXED_MODULE_PATH, False))

        # Recorded, the module loads: no warning, and status is content, also after a plain
        # install again.
        module = os.path.join(self.home, "token-module.so")
        shutil.copy(ARGS.fwd, module)
        self.assertEqual(self.bridge("install", "--browser", "firefox", "--token-module",
                                     module).stderr, b"")
        result = self.bridge("install", "--browser", "firefox")
        self.assertEqual(result.stderr, b"")
        self.assertIn("token module %s (recorded in " % module, result.stdout.decode())
        report = self.status()
        self.assertIs(report["ok"], True)
        self.assertIsNone(report["fixedPath"])
        # Gone since: a problem again.
        os.remove(module)
        result = self.bridge("status", code=1)
        self.assertIn("the recorded token module %s does not load" % module,
                      result.stderr.decode())

    def test_config_home_and_user_data_dir(self):
        config = os.path.join(self.home, "xdg")
        self.bridge("install", "--browser", "chromium", XDG_CONFIG_HOME=config)
        self.assertManifest(self.user_paths(config)["chromium"], "chromium")
        profile = os.path.join(self.home, "profile")
        self.bridge("install", "--user-data-dir", profile, "--browser", "edge")
        path = os.path.join(profile, "NativeMessagingHosts", "vellum.bridge.json")
        self.assertManifest(path, "edge")
        (manifest,) = self.status("--user-data-dir", profile)["manifests"]
        self.assertEqual((manifest["path"], manifest["installed"]), (path, True))
        self.bridge("uninstall", "--user-data-dir", profile)
        self.assertFalse(os.path.exists(path))
        # The profile folder is the browser's: only the manifest folder goes.
        self.assertEqual(os.listdir(profile), [])
        self.assertFalse(os.path.exists(os.path.join(self.home, ".mozilla")))

    def test_bad_bridge_usage(self):
        for args in (["frob"], ["install", "--browser", "opera"], ["install", "--user",
                     "--system"], ["install", "--user-data-dir", "d", "--browser", "firefox"],
                     ["install", "--user-data-dir", "d", "--system"], ["status",
                     "--token-module", ARGS.fwd], ["install", "--token-module"]):
            result = run([ARGS.host, "bridge"] + args, env=self.env())
            self.assertEqual(result.returncode, 2, args)
            (line,) = result.stderr.decode().splitlines()
            self.assertTrue(line.startswith("vellum-host: "), line)
        result = self.bridge("install", "--token-module", "/nonexistent/p11.so", code=3)
        self.assertIn("/nonexistent/p11.so", result.stderr.decode())
        self.assertEqual(os.listdir(self.home), [])

    def test_doctor_shows_the_bridge(self):
        def doctor():
            result = run([ARGS.host, "--token-module", ARGS.fwd, "doctor", "--json"],
                         env=self.env())
            (report,) = [json.loads(l) for l in result.stdout.decode().splitlines()]
            text = run([ARGS.host, "--token-module", ARGS.fwd, "doctor"], env=self.env())
            return result.returncode, report["bridge"], text.stdout.decode()

        status, bridge, text = doctor()
        self.assertEqual((status, bridge["manifests"], bridge["problems"]), (0, [], []))
        (warning,) = bridge["warnings"]
        self.assertIn("No browser bridge manifest is installed", warning)
        self.assertIn("Browser bridge\n  no host manifest installed\n", text)

        self.bridge("install", "--browser", "firefox")
        status, bridge, text = doctor()
        self.assertEqual((status, bridge["problems"], bridge["warnings"]), (0, [], []))
        (manifest,) = bridge["manifests"]
        self.assertEqual((manifest["browser"], manifest["allowed"]), ("firefox", [FIREFOX_ID]))
        self.assertIn("starts " + self.program, text)

        # A manifest left behind by a vellum-host that is gone.
        path = self.user_paths("")["firefox"]
        with open(path) as f:
            manifest = json.load(f)
        manifest["path"] = "/nonexistent/vellum-host"
        with open(path, "w") as f:
            json.dump(manifest, f)
        status, bridge, text = doctor()
        self.assertEqual(status, 1)
        (problem,) = bridge["problems"]
        self.assertIn(path, problem)
        self.assertIn("/nonexistent/vellum-host, which is missing or not executable", problem)
        self.assertIn(problem, text)


    def installed_copy(self, root):
        """vellum-host, its plug-in module and the PIN module as installed under `root`; the
        program's path."""
        program = os.path.join(root, "bin", "vellum-host")
        plugin = os.path.join(root, "lib", "vellum", "libvellum.so")
        pin = os.path.join(root, "lib", "vellum", "libvellum_pin.so")
        for path, source in ((program, ARGS.host), (plugin, ARGS.plugin),
                             (pin, os.path.join(ARGS.build, "pin", "libvellum_pin.so"))):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            shutil.copy(source, path)
        for folder in (root, os.path.dirname(program), os.path.dirname(plugin),
                       os.path.dirname(os.path.dirname(plugin))):
            os.chmod(folder, 0o755)
        return program

    def test_install_writes_new_files_only_and_refuses_links(self):
        # A file of root's that a planted link would have the install overwrite.
        victim = os.path.join(self.home, "victim")
        with open(victim, "w") as f:
            f.write("secret")
        os.chmod(victim, 0o600)
        manifest = self.user_paths("")["firefox"]
        os.makedirs(os.path.dirname(manifest))
        # At the name a temporary file once had: written around, never through.
        os.symlink(victim, manifest + ".new")
        # Under umask 000, new folders are 0755 and files 0644 all the same.
        result = subprocess.run([ARGS.host, "bridge", "install", "--browser", "chromium",
                                 "--browser", "firefox"], env=self.env(), capture_output=True,
                                preexec_fn=lambda: os.umask(0), timeout=60)
        self.assertEqual(result.returncode, 0, result)
        chromium = self.user_paths(os.path.join(self.home, ".config"))["chromium"]
        for path in (manifest, chromium):
            self.assertFalse(os.path.islink(path))
            self.assertEqual(os.stat(path).st_mode & 0o777, 0o644)
        for folder in (os.path.join(self.home, ".config"), os.path.dirname(chromium)):
            self.assertEqual(os.stat(folder).st_mode & 0o777, 0o755, folder)
        self.assertEqual(sorted(os.listdir(os.path.dirname(manifest))),
                         ["vellum.bridge.json", "vellum.bridge.json.new"])
        # A link at the manifest itself is refused and left alone.
        os.remove(manifest)
        os.symlink(victim, manifest)
        result = self.bridge("install", "--browser", "firefox", code=3)
        self.assertIn("refusing to write %s: it is a symbolic link" % manifest,
                      result.stderr.decode())
        self.assertTrue(os.path.islink(manifest))
        with open(victim) as f:
            self.assertEqual(f.read(), "secret")
        self.assertEqual(os.stat(victim).st_mode & 0o777, 0o600)

    def test_root_does_not_install_or_uninstall_in_another_users_home(self):
        if os.geteuid() != 0:
            self.skipTest("needs root (euid 0) to install into a home another user owns")
        os.chown(self.home, 4242, 4242)
        victim = os.path.join(self.home, "victim")
        with open(victim, "w") as f:
            f.write("secret")
        manifest = self.user_paths(os.path.join(self.home, ".config"))["chromium"]
        os.makedirs(os.path.dirname(manifest))
        os.symlink(victim, manifest)
        for args in (["--user"], ["--user-data-dir", os.path.join(self.home, "profile")]):
            result = self.bridge("install", "--browser", "chromium", *args, code=1)
            (line,) = result.stderr.decode().splitlines()
            # The home, or for a profile folder still to be made, the folder it would be in.
            self.assertIn("refusing to install as root into %s, which uid 4242 owns" % self.home,
                          line)
            # Uninstall would be led the same way: a planted link to root's own files.
            result = self.bridge("uninstall", "--browser", "chromium", *args, code=1)
            (line,) = result.stderr.decode().splitlines()
            self.assertIn("refusing to uninstall as root in %s, which uid 4242 owns" % self.home,
                          line)
        self.assertTrue(os.path.islink(manifest))
        with open(victim) as f:
            self.assertEqual(f.read(), "secret")
        self.assertFalse(os.path.exists(os.path.join(self.home, "profile")))

        # Root's own home, but XDG_CONFIG_HOME in the other user's folder, where that user
        # linked vellum/ to root's settings folder (standing for /etc/vellum here).
        root_home = tempfile.mkdtemp(dir=ARGS.work)
        self.addCleanup(shutil.rmtree, root_home)
        system = os.path.join(root_home, "etc-vellum")
        os.mkdir(system)
        with open(os.path.join(system, "bridge.json"), "w") as f:
            f.write('{"tokenModule": "/usr/lib/token.so"}\n')
        config = os.path.join(self.home, "config")
        os.mkdir(config)
        os.chown(config, 4242, 4242)
        os.symlink(system, os.path.join(config, "vellum"))
        os.lchown(os.path.join(config, "vellum"), 4242, 4242)
        for action in ("install", "uninstall"):
            result = self.bridge(action, "--user", "--browser", "chromium", code=1,
                                 HOME=root_home, XDG_CONFIG_HOME=config)
            self.assertIn("refusing to %s %s" % (action, config), result.stderr.decode())
            self.assertIn("owned by uid 4242", result.stderr.decode())
        self.assertEqual(os.listdir(system), ["bridge.json"])

    def test_a_user_installing_refuses_a_planted_link(self):
        if os.geteuid() != 0:
            self.skipTest("not root (euid %d): becoming another user needs root" % os.geteuid())
        uid = 4242
        home = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, home)
        os.chown(home, uid, uid)
        # The user's own copy of the host and the plug-in, where it can reach them.
        prefix = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, prefix)
        program = self.installed_copy(prefix)
        closed = folder_closed_to_others(prefix)
        if closed:
            self.skipTest("uid %d cannot enter the folder made for it: %s is mode %o" % (
                uid, closed, stat.S_IMODE(os.stat(closed).st_mode)))
        victim = os.path.join(home, "victim")
        manifest = os.path.join(home, ".mozilla/native-messaging-hosts/vellum.bridge.json")
        env = self.env(HOME=home)
        preexec = become(uid)
        result = run_as([program, "bridge", "install", "--browser", "firefox"], env, preexec)
        self.assertEqual(result.returncode, 0, result)
        # A link to the very text install writes (a package's link to its own copy) is left as
        # it is, and the install goes on.
        with open(manifest) as f:
            written = f.read()
        packaged = os.path.join(home, "packaged.json")
        os.rename(manifest, packaged)
        os.symlink(packaged, manifest)
        result = run_as([program, "bridge", "install", "--browser", "firefox"], env, preexec)
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(os.readlink(manifest), packaged)
        with open(packaged) as f:
            self.assertEqual(f.read(), written)
        os.remove(manifest)
        with open(victim, "w") as f:
            f.write("secret")
        os.symlink(victim, manifest)
        for path in (victim, manifest):
            os.lchown(path, uid, uid)
        result = run_as([program, "bridge", "install", "--browser", "firefox"], env, preexec)
        self.assertEqual(result.returncode, 3, result)
        self.assertIn(b"is a symbolic link", result.stderr)
        with open(victim) as f:
            self.assertEqual(f.read(), "secret")

    def test_install_refuses_what_others_can_change(self):
        root = tempfile.mkdtemp(dir=ARGS.work)
        self.addCleanup(shutil.rmtree, root)
        program = self.installed_copy(root)
        module = os.path.join(root, "p11", "token-module.so")
        os.makedirs(os.path.dirname(module))
        os.chmod(os.path.dirname(module), 0o755)
        shutil.copy(ARGS.fwd, module)
        install = [program, "bridge", "install", "--browser", "firefox", "--token-module", module]
        folders = {"the program": os.path.dirname(program),
                   "its plug-in module": os.path.join(root, "lib", "vellum"),
                   "the token module": os.path.dirname(module)}
        for what, folder in folders.items():
            os.chmod(folder, 0o777)
            for scope in ("--user", "--system"):
                result = run(install + [scope], env=self.env())
                self.assertEqual(result.returncode, 1, (what, scope, result))
                (line,) = result.stderr.decode().splitlines()
                self.assertIn("refusing to install: %s " % what, line)
                self.assertIn("%s (mode 0777, writable by everyone)" % folder, line)
            os.chmod(folder, 0o755)
        self.assertEqual(os.listdir(self.home), [])
        # A folder of another user's, not writable by others: still not root's alone.
        if os.geteuid() == 0:
            for path in (root, os.path.dirname(program)):
                os.chown(path, 4242, 4242)
            result = run(install + ["--system"], env=self.env())
            self.assertEqual(result.returncode, 1, result)
            self.assertIn("%s (owned by uid 4242)" % root, result.stderr.decode())
            for path in (root, os.path.dirname(program)):
                os.chown(path, 0, 0)
        result = run(install, env=self.env())
        self.assertEqual(result.returncode, 0, result)

        # An install made before: status and doctor name what has become unsafe since, and a
        # manifest that starts another program.
        os.chmod(os.path.dirname(module), 0o777)
        os.chmod(os.path.join(root, "lib", "vellum"), 0o775)
        os.chown(os.path.join(root, "lib", "vellum"), 0, 4242)
        status = run([program, "bridge", "status", "--user", "--json"], env=self.env())
        report = json.loads(status.stdout)
        self.assertEqual(report["plugin"], os.path.join(root, "lib", "vellum", "libvellum.so"))
        firefox = [m for m in report["manifests"] if m["browser"] == "firefox"][0]
        self.assertEqual(firefox["unsafe"], "%s/lib/vellum (mode 0775, writable by group 4242)"
                         % root)
        self.assertEqual(report["tokenModule"]["unsafe"],
                         "%s (mode 0777, writable by everyone)" % os.path.dirname(module))
        text = run([program, "bridge", "status", "--user"], env=self.env()).stdout.decode()
        self.assertIn("plug-in module: %s/lib/vellum/libvellum.so\n" % root, text)
        self.assertIn("unsafe: others can change %s/lib/vellum" % root, text)
        doctor = run([program, "--token-module", ARGS.fwd, "doctor", "--json"], env=self.env())
        (found,) = [json.loads(l) for l in doctor.stdout.decode().splitlines()]
        self.assertEqual(doctor.returncode, 1)
        self.assertEqual(found["plugin"], report["plugin"])
        problems = found["bridge"]["problems"]
        self.assertEqual(len(problems), 2, problems)
        self.assertIn("is unsafe: others can change %s/lib/vellum" % root, problems[0])
        self.assertIn("%s, is unsafe: others can change %s" % (module, os.path.dirname(module)),
                      problems[1])
        os.chmod(os.path.join(root, "lib", "vellum"), 0o755)
        manifest = self.user_paths("")["firefox"]
        with open(manifest) as f:
            content = json.load(f)
        content["path"] = "/bin/true"
        with open(manifest, "w") as f:
            json.dump(content, f)
        doctor = run([program, "--token-module", ARGS.fwd, "doctor", "--json"], env=self.env())
        (found,) = [json.loads(l) for l in doctor.stdout.decode().splitlines()]
        self.assertTrue(any("starts /bin/true, not this vellum-host" in p
                            for p in found["bridge"]["problems"]), found["bridge"])

    def test_a_token_module_another_user_can_swap_is_refused(self):
        if os.geteuid() != 0:
            self.skipTest("not root (euid %d): a link another user owns is made by root" %
                          os.geteuid())
        # A link another user owns, in /tmp or in a folder only root can write: its owner can
        # point it at their own module whenever they like, and every native host would run it.
        safe = tempfile.mkdtemp(dir=ARGS.work)
        self.addCleanup(shutil.rmtree, safe)
        os.chmod(safe, 0o755)
        in_tmp = tempfile.mktemp(prefix="vellum-module-", dir="/tmp")
        links = [in_tmp, os.path.join(safe, "module.so")]
        for link in links:
            os.symlink(ARGS.fwd, link)
            os.lchown(link, 4242, 4242)
        self.addCleanup(os.remove, in_tmp)
        # A link of root's in a folder others may write, even with the sticky bit: once it is
        # gone, anyone may put theirs under its name. (A link another user owns is named as
        # such, before the folder it is in.)
        rooted = tempfile.mktemp(prefix="vellum-module-", dir="/tmp")
        os.symlink(ARGS.fwd, rooted)
        self.addCleanup(os.remove, rooted)
        expected = {links[0]: "%s (a symbolic link owned by uid 4242)" % links[0],
                    links[1]: "%s (a symbolic link owned by uid 4242)" % links[1],
                    rooted: "/tmp (mode 1777, writable by everyone)"}
        for module, why in expected.items():
            for scope in ("--user", "--system"):
                result = self.bridge("install", scope, "--browser", "firefox", "--token-module",
                                     module, code=1)
                (line,) = result.stderr.decode().splitlines()
                self.assertIn("refusing to install: the token module %s can be changed" % module,
                              line)
                self.assertTrue(line.endswith(": " + why), line)
        self.assertEqual(os.listdir(self.home), [])

        # Recorded while it was root's, then given away: status names it and fails, doctor
        # names it, and the native host maps nothing and tells each request why. None of them
        # loads it (the forwarding module logs every load): its code could be anyone's.
        os.lchown(links[1], 0, 0)
        self.bridge("install", "--browser", "firefox", "--token-module", links[1])
        os.lchown(links[1], 4242, 4242)
        log = os.path.join(safe, "calls.log")
        env = self.env(VELLUM_P11FWD_LOG=log)
        result = run([ARGS.host, "bridge", "status", "--json"], env=env)
        self.assertEqual(result.returncode, 1, result)
        report = json.loads(result.stdout)
        self.assertEqual((report["tokenModule"]["unsafe"], report["tokenModule"]["loads"]),
                         (expected[links[1]], False))
        self.assertIn("recorded in %s is not mapped: others can change %s" % (
            os.path.join(self.home, ".config/vellum/bridge.json"), expected[links[1]]),
            report["error"])
        text = run([ARGS.host, "bridge", "status"], env=env).stdout.decode()
        self.assertIn("(recorded in %s): not loaded\n  unsafe: others can change %s" % (
            os.path.join(self.home, ".config/vellum/bridge.json"), expected[links[1]]), text)
        doctor = run([ARGS.host, "doctor", "--json"], env=env)
        (found,) = [json.loads(l) for l in doctor.stdout.decode().splitlines()]
        self.assertEqual(doctor.returncode, 1, doctor)
        self.assertEqual([p for p in found["bridge"]["problems"] if links[1] in p], [
            "The token module recorded for the browser bridge in %s, %s, is unsafe: others can "
            "change %s." % (os.path.join(self.home, ".config/vellum/bridge.json"), links[1],
                            expected[links[1]])])
        bridge = Bridge(["chrome-extension://%s/" % CHROMIUM_ID], env=env, token_module=False)
        for request_id in (1, 2):
            answer = bridge.request({"id": request_id, "op": "call", "name": "getCertList"})
            self.assertEqual(answer["error"]["code"], "setup", answer)
            self.assertIn(expected[links[1]], answer["error"]["message"])
        self.assertEqual(bridge.finish()[0], 0)
        self.assertEqual([l for l in call_log(log) if l.startswith("@load")]
                         if os.path.exists(log) else [], [])


class RecordedTokenModuleTest(unittest.TestCase):
    """bridge install --token-module, and the host started as a browser starts it, as root and
    as a normal user, also where no user namespace can be entered."""
    maxDiff = None
    verify = VellumHostTest.verify

    def check_bridge(self, home, env, module, preexec=None, host=None):
        """Records `module`, then signs through `host` (the build's by default) as a browser
        starts it; then removes the module and expects the plug-in's own failure."""
        host = host or ARGS.host
        result = run_as([host, "bridge", "install", "--browser", "firefox",
                         "--token-module", module], env, preexec, cwd=home)
        self.assertEqual(result.returncode, 0, result)
        status = run_as([host, "bridge", "status", "--json"], env, preexec, cwd=home)
        recorded = json.loads(status.stdout)["tokenModule"]
        self.assertEqual((recorded["path"], recorded["loads"]), (module, True))
        self.assertEqual(recorded["file"], os.path.join(home, ".config/vellum/bridge.json"))

        manifest = os.path.join(home, ".mozilla/native-messaging-hosts/vellum.bridge.json")
        bridge = Bridge([manifest, FIREFOX_ID], env=env, token_module=False, preexec=preexec,
                        host=host, cwd=home)
        self.assertEqual(bridge.request({"id": 1, "op": "call", "name": "getCertList"}),
                         {"id": 1, "result": "CN=%s,%s;" % (SUBJECT_NAME, SERIAL)})
        for name, value in (("CN", SERIAL), ("HashAlgorithm", "sha256"), ("SignData", "z")):
            bridge.request({"id": 2, "op": "set", "name": name, "value": value})
        envelope = bridge.request({"id": 3, "op": "get", "name": "Signature"})["result"]
        verdict = self.verify("sha256", b"z", bytes.fromhex(envelope[16:]))
        self.assertEqual(verdict.stdout, b"Verified OK\n", (envelope, verdict))
        status, rest, stderr = bridge.finish()
        self.assertEqual((status, rest, stderr), (0, b"", ""))

        os.remove(module)
        bridge = Bridge(["chrome-extension://%s/" % CHROMIUM_ID], env=env, token_module=False,
                        preexec=preexec, host=host, cwd=home)
        self.assertEqual(bridge.request({"id": 1, "op": "call", "name": "getCertList"}),
                         {"id": 1, "result": "E:1000"})
        self.assertEqual(bridge.request({"id": 2, "op": "call", "name": "LastError"}),
                         {"id": 2, "result": "Load pkcs11 lib fail"})
        self.assertEqual(bridge.finish()[0], 0)
        with self.subTest("doctor names the recorded module"):
            if os.path.lexists(FIXED_MODULE_PATH):
                # Doctor would look at the machine's own module there instead.
                self.skipTest("this machine has a module at %s" % FIXED_MODULE_PATH)
            doctor = run_as([host, "doctor", "--json"], env, preexec, cwd=home)
            (report,) = [json.loads(l) for l in doctor.stdout.decode().splitlines()]
            self.assertEqual(doctor.returncode, 1)
            self.assertEqual((report["module"]["mappedFrom"], report["module"]["loaded"]),
                             (module, False))
            self.assertTrue(any(module in p and "does not load" in p
                                for p in report["bridge"]["problems"]), report["bridge"])
            # Whoever runs it, doctor sees each file's real owner: nothing here is anyone
            # else's to change.
            self.assertEqual([p for p in report["bridge"]["problems"] + report["problems"]
                              if "owned by" in p or "others can change" in p], [], report)

    def test_as_root(self):
        if os.geteuid() != 0:
            self.skipTest("not root (euid %d): the test records a module as root" % os.geteuid())
        with tempfile.TemporaryDirectory(dir=ARGS.work) as home:
            module = os.path.join(home, "token-module.so")
            shutil.copy(ARGS.fwd, module)
            self.check_bridge(home, token_env(HOME=home), module)

    def normal_user(self, top, uid):
        """A normal user's own copy of the host and the plug-in in `top`, installed as a package
        installs them, and its own home with a copy of the token and the token module: the build
        tree may sit in a folder only its owner can enter. Returns (host, home, env, module)."""
        os.chmod(top, 0o755)
        closed = folder_closed_to_others(top)
        if closed:
            self.skipTest("uid %d cannot enter the folder made for it: %s is mode %o" % (
                uid, closed, stat.S_IMODE(os.stat(closed).st_mode)))
        prefix = os.path.join(top, "prefix")
        install = run(["cmake", "--install", ARGS.build, "--prefix", prefix], timeout=120)
        self.assertEqual(install.returncode, 0, install.stderr)
        host = os.path.join(prefix, "bin", "vellum-host")
        home = os.path.join(top, "home")
        os.mkdir(home)
        conf = softhsm_conf(home, token_dirs(os.path.join(ARGS.work, "token")))
        module = os.path.join(home, "token-module.so")
        shutil.copy(ARGS.fwd, module)
        for root, dirs, files in os.walk(home):
            for name in dirs + files + [""]:
                os.chown(os.path.join(root, name), uid, uid)
        return host, home, token_env(HOME=home, SOFTHSM2_CONF=conf), module

    def test_as_a_normal_user(self):
        if os.geteuid() != 0:
            self.skipTest("not root (euid %d): becoming another user needs root" % os.geteuid())
        uid = 4242
        with normal_user_folder() as top:
            host, home, env, module = self.normal_user(top, uid)
            preexec = become(uid)
            # It is that copy the user's host runs, not the build's.
            info = run_as([host, "info"], env, preexec, cwd=home)
            self.assertEqual(info.returncode, 0, info)
            self.assertIn("module: %s/" % os.path.realpath(top), info.stdout.decode())
            self.check_bridge(home, env, module, preexec, host)

    # Shell words run first in each enclosure below: the enclosure must keep a normal user out
    # of any further user namespace, or a host that signs there proves nothing.
    USER_NAMESPACE_PROBE = ("if unshare --user true 2>/dev/null; then "
                            "echo a user namespace could still be entered >&2; exit 97; fi; ")

    def run_without_user_namespaces(self, enclosure, uid, cmd, env, cwd, frames=b""):
        """`cmd` run as `uid` where it cannot enter a user namespace, with `frames` on its
        standard input. "bubblewrap": in bwrap with --disable-userns, as Flatpak runs its apps.
        "limit": in a user namespace of root's whose user.max_user_namespaces is 0."""
        if enclosure == "bubblewrap":
            if shutil.which("bwrap") is None:
                self.skipTest("no bwrap (Debian's bubblewrap)")
            wrapped = ["bwrap", "--dev-bind", "/", "/", "--unshare-user", "--disable-userns",
                       "--", "sh", "-c", self.USER_NAMESPACE_PROBE + 'exec "$@"', "sh"] + cmd
            return subprocess.run(wrapped, input=frames, capture_output=True, env=env, cwd=cwd,
                                  timeout=120, preexec_fn=become(uid))
        # The namespace maps the machine's ids one to one. Its maps are written from outside, by
        # this process (root), while the first shell waits; the second, started once root is
        # root there, sets the limit and becomes the user, who keeps no capability; the third
        # probes, then runs `cmd`.
        libc = ctypes.CDLL(None, use_errno=True)

        def enter():
            if libc.unshare(0x10000000) != 0:  # CLONE_NEWUSER
                os._exit(96)
        ready_read, ready_write = os.pipe()
        stages = ['read ready <&%d; exec sh -c "$1" "$@" %d<&-' % (ready_read, ready_read),
                  "echo 0 > /proc/sys/user/max_user_namespaces && exec setpriv --reuid=%d "
                  '--regid=%d --clear-groups sh -c "$1" "$@"' % (uid, uid),
                  self.USER_NAMESPACE_PROBE + 'exec "$@"']
        process = subprocess.Popen(["sh", "-c", stages[0], "sh"] + stages[1:] + cmd, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                                   cwd=cwd, preexec_fn=enter, pass_fds=(ready_read,))
        os.close(ready_read)
        try:
            for name in ("uid_map", "gid_map"):
                with open("/proc/%d/%s" % (process.pid, name), "w") as f:
                    f.write("0 0 65536\n")
        finally:
            os.write(ready_write, b"ready\n")
            os.close(ready_write)
        stdout, stderr = process.communicate(frames, timeout=120)
        return subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr)

    def test_as_a_normal_user_without_user_namespaces(self):
        """The host needs no namespace: where a normal user can enter none, vellum-host
        --token-module and the native host, started as a browser starts it, sign."""
        if os.geteuid() != 0 or shutil.which("unshare") is None:
            self.skipTest("not root or no unshare command: the user is made, and the user "
                          "namespaces are limited, by root")
        uid = 4242
        with normal_user_folder() as top:
            host, home, env, module = self.normal_user(top, uid)
            result = run_as([host, "bridge", "install", "--browser", "chromium",
                             "--token-module", module], env, become(uid), cwd=home)
            self.assertEqual(result.returncode, 0, result)
            requests = [{"id": 1, "op": "hello"}]
            requests += [{"id": 2 + i, "op": "set", "name": name, "value": value}
                         for i, (name, value) in enumerate(
                             (("CN", SERIAL), ("HashAlgorithm", "sha256"), ("SignData", "z")))]
            requests.append({"id": 5, "op": "get", "name": "Signature"})
            frames = b"".join(struct.pack("=I", len(body)) + body
                              for body in (json.dumps(r).encode() for r in requests))
            for enclosure in ("bubblewrap", "limit"):
                with self.subTest(enclosure):
                    raw = os.path.join(home, "%s.sig" % enclosure)
                    signed = self.run_without_user_namespaces(
                        enclosure, uid, [host, "--token-module", module, "sign", SERIAL,
                                         "--hash", "sha256", "--data", "z", "--raw", raw],
                        env, home)
                    self.assertEqual(signed.returncode, 0, signed)
                    with open(raw, "rb") as f:
                        verdict = self.verify("sha256", b"z", f.read())
                    self.assertEqual(verdict.stdout, b"Verified OK\n", verdict)

                    served = self.run_without_user_namespaces(
                        enclosure, uid, [host, "chrome-extension://%s/" % CHROMIUM_ID], env,
                        home, frames)
                    self.assertEqual(served.returncode, 0, served)
                    answers = []
                    data = served.stdout
                    while data:
                        (length,) = struct.unpack("=I", data[:4])
                        answers.append(json.loads(data[4:4 + length]))
                        data = data[4 + length:]
                    self.assertEqual([a["id"] for a in answers], [1, 2, 3, 4, 5], served.stderr)
                    self.assertNotIn("error", answers[0], answers[0])
                    envelope = answers[-1]["result"]
                    verdict = self.verify("sha256", b"z", bytes.fromhex(envelope[16:]))
                    self.assertEqual(verdict.stdout, b"Verified OK\n", (envelope, verdict))
            # The sandbox shows root's folders with the owner it shows for other users': the
            # host it starts takes what bridge install judged outside, but install inside cannot
            # judge, and says so.
            refused = self.run_without_user_namespaces(
                "bubblewrap", uid, [host, "bridge", "install", "--browser", "chromium",
                                    "--token-module", module], env, home)
            self.assertEqual(refused.returncode, 1, refused)
            self.assertIn("run it outside the sandbox", refused.stderr.decode())


class PinDialogTest(unittest.TestCase):
    """The PIN module in front of a token module without a PIN pad: the plug-in's login without
    a PIN gets the PIN typed into pinentry (the tests' fake one), through vellum-host and
    through the native host. The forwarding module behind it logs what reaches the token."""
    maxDiff = None

    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=ARGS.work)
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.log = os.path.join(self.dir, "calls.log")
        self.dialogs_log = os.path.join(self.dir, "pinentry.log")
        self.recorded_log = os.path.join(self.dir, "dialogs.jsonl")
        # pinentry on PATH, as GnuPG finds it.
        self.bin = os.path.join(self.dir, "bin")
        os.makedirs(self.bin)
        os.symlink(FAKE_PINENTRY, os.path.join(self.bin, "pinentry"))

    def env(self, *answers, **extra):
        with open(os.path.join(self.dir, "answers"), "w") as f:
            f.write("".join(a + "\n" for a in answers))
        settings = dict(SOFTHSM2_CONF=PIN_TOKEN["SOFTHSM2_CONF"], VELLUM_P11FWD_PIN=None,
                        VELLUM_P11FWD_LOG=self.log, PATH=self.bin + ":/usr/bin:/bin",
                        VELLUM_PIN_PINENTRY=None,
                        FAKE_PINENTRY_ANSWERS=os.path.join(self.dir, "answers"),
                        FAKE_PINENTRY_LOG=self.dialogs_log,
                        FAKE_PINENTRY_DIALOGS=self.recorded_log)
        settings.update(extra)
        return token_env(**settings)

    def host(self, *args, env):
        return run([ARGS.host, "--token-module", ARGS.fwd] + list(args), env=env)

    def dialogs(self):
        """The commands of each pinentry run."""
        if not os.path.exists(self.dialogs_log):
            return []
        runs = []
        for line in call_log(self.dialogs_log):
            if line.startswith("@start"):
                runs.append([])
            elif runs and line != "@end":
                runs[-1].append(line)
        return runs

    def logins(self):
        return [l for l in call_log(self.log) if l.startswith("C_Login ")]

    def recorded(self):
        """Each dialog as the pinentry showed it, its texts decoded."""
        if not os.path.exists(self.recorded_log):
            return []
        with open(self.recorded_log, encoding="utf-8", errors="surrogateescape") as f:
            return [json.loads(line) for line in f]

    @staticmethod
    def shown(description):
        """What a signature's dialog shows of the text: ("whole", bytes), or ("start", the bytes
        of its start, its length, the SHA-256 as shown without spaces)."""
        lines = description.split("\n")
        begin = next(i for i, l in enumerate(lines) if l.startswith("Hash ")) + 1
        end = begin
        while end < len(lines) and lines[end].startswith("> "):
            end += 1
        text = PinDialogTest.unescaped("\n".join(l[2:] for l in lines[begin:end]))
        whole = re.search(r"The text to sign \((\d+) bytes\):$", lines[begin - 1])
        if whole:
            return "whole", text
        length = int(re.search(r"is (\d+) bytes, too long", lines[begin - 1]).group(1))
        assert lines[end] == "[...]", lines[end]
        assert lines[end + 1] == "SHA-256 of the whole text:", lines[end + 1]
        return "start", text, length, (lines[end + 2] + lines[end + 3]).replace(" ", "")

    @staticmethod
    def unescaped(visible):
        """The bytes a dialog's text shows: \\\\, \\xHH and \\u{HHHH} undone."""
        out = bytearray()
        i = 0
        while i < len(visible):
            if visible.startswith("\\\\", i):
                out += b"\\"
                i += 2
            elif visible.startswith("\\x", i):
                out.append(int(visible[i + 2:i + 4], 16))
                i += 4
            elif visible.startswith("\\u{", i):
                close = visible.index("}", i)
                out += chr(int(visible[i + 3:close], 16)).encode()
                i = close + 1
            else:
                out += visible[i].encode("utf-8", "surrogateescape")
                i += 1
        return bytes(out)

    def signed_digests(self):
        """The SHA-256 of the bytes each C_SignUpdate gave the token."""
        return [re.search(r" sha256=(\w+)", l).group(1) for l in call_log(self.log)
                if l.startswith("C_SignUpdate ")]

    def assertNoPin(self, *texts):
        for text in texts:
            self.assertNotIn(PIN_TOKEN["pin"], text if isinstance(text, str) else
                             text.decode(errors="replace"))

    def sign_raw(self, env, *more, data="pay 5"):
        signature = os.path.join(self.dir, "sig.bin")
        result = self.host("sign", PIN_SERIAL, "--hash", "sha256", "--data", data,
                           "--raw", signature, *more, env=env)
        return result, signature

    def sign_file(self, env, data, hash_name="sha256"):
        """Signs the bytes `data` (from a file) and verifies the signature with openssl."""
        path = os.path.join(self.dir, "text")
        with open(path, "wb") as f:
            f.write(data)
        signature = os.path.join(self.dir, "sig.bin")
        result = self.host("sign", PIN_SERIAL, "--hash", hash_name, "--file", path,
                           "--raw", signature, env=env)
        self.assertEqual((result.returncode, result.stderr), (0, b""), result)
        with open(signature, "rb") as f:
            verdict = VellumHostTest.verify(self, hash_name, data, f.read(),
                                            PIN_TOKEN["certificate"])
        self.assertEqual(verdict.stdout, b"Verified OK\n", verdict)

    def test_the_typed_pin_signs_and_the_dialog_shows_token_site_hash_and_text(self):
        text = "pay 5 EUR\nto: Bob\n\nref 7\n"
        result, signature = self.sign_raw(self.env("pin " + PIN_TOKEN["pin"]), data=text)
        self.assertEqual((result.returncode, result.stderr), (0, b""), result)
        with open(signature, "rb") as f:
            verdict = VellumHostTest.verify(self, "sha256", text.encode(), f.read(),
                                            PIN_TOKEN["certificate"])
        self.assertEqual(verdict.stdout, b"Verified OK\n", verdict)
        (login,) = self.logins()
        self.assertIn("rv=0x0 ", login)
        self.assertIn("pin=set pinLength=%d pinSupplied=no" % len(PIN_TOKEN["pin"]), login)
        (dialog,) = self.dialogs()
        self.assertEqual(dialog[-3:], ["SETTIMEOUT 120", "GETPIN", "BYE"])
        self.assertFalse([l for l in dialog if l.startswith("SETERROR")], dialog)
        (shown,) = self.recorded()
        self.assertEqual((shown["command"], shown["title"]), ("GETPIN", "Token PIN"))
        self.assertEqual(shown["desc"],
                         'vellum-host asks to sign with the token "pintoken".\n\n'
                         "Hash sha256. The text to sign (25 bytes):\n"
                         "> pay 5 EUR\n> to: Bob\n> \n> ref 7\n> \n\n"
                         "Enter the token's PIN to sign this text once.")
        self.assertEqual(self.shown(shown["desc"]), ("whole", text.encode()))
        self.assertEqual(self.signed_digests(), [hashlib.sha256(text.encode()).hexdigest()])
        self.assertNoPin(result.stdout, result.stderr, "\n".join(call_log(self.log)),
                         "\n".join(dialog))

    def test_a_long_text_shows_its_start_length_and_sha256(self):
        lines = ["%04d pay %s to account %d" % (i, "9" * (i % 40), i * 7) for i in range(400)]
        text = "\n".join(lines).encode()[:10240]
        self.sign_file(self.env("pin " + PIN_TOKEN["pin"]), text)
        (shown,) = self.recorded()
        kind, start, length, digest = self.shown(shown["desc"])
        self.assertEqual((kind, length), ("start", 10240))
        self.assertGreater(len(start.split(b"\n")), 3, shown["desc"])
        self.assertTrue(text.startswith(start), (start, shown["desc"]))
        path = os.path.join(self.dir, "text")
        dgst = run(["openssl", "dgst", "-sha256", "-r", path])
        self.assertEqual(digest, dgst.stdout.decode().split()[0], shown["desc"])
        self.assertEqual(self.signed_digests(), [digest])
        # What pinentry reads in one line.
        (line,) = [l for l in self.dialogs()[0] if l.startswith("SETDESC ")]
        self.assertLessEqual(len(line.encode()), 990)

    def test_what_could_mislead_is_shown_as_its_code(self):
        # Bidirectional overrides and isolates, zero-width characters, a byte order mark, C0
        # and C1 controls, DEL, a backslash, bytes that are not UTF-8 (a lone continuation, a
        # cut sequence, an overlong form, a surrogate).
        text = ("pay 5\u202e01 EUR\u202c to \u2067Bob\u2069\u200b\u200d\ufeff\t\r\x1b[2J"
                "\x7f\u0085\\x41 ok ").encode() + b"\x80 \xe2\x82 \xc0\xaf \xed\xa0\x80 end"
        self.sign_file(self.env("pin " + PIN_TOKEN["pin"]), text)
        (shown,) = self.recorded()
        desc = shown["desc"]
        for code in ("\\u{202E}", "\\u{202C}", "\\u{2067}", "\\u{2069}", "\\u{200B}",
                     "\\u{200D}", "\\u{FEFF}", "\\x09", "\\x0D", "\\x1B[2J", "\\x7F",
                     "\\u{0085}", "\\\\x41", "\\x80", "\\xE2\\x82", "\\xC0\\xAF",
                     "\\xED\\xA0\\x80"):
            self.assertIn(code, desc)
        self.assertFalse(re.search("[\u0000-\u0009\u000b-\u001f\u007f-\u009f\u200b-\u200f"
                                   "\u202a-\u202e\u2066-\u2069\ufeff\udc80-\udcff]", desc),
                         ascii(desc))
        self.assertEqual(self.shown(desc), ("whole", text))

    def test_cancel_makes_no_login_on_the_token(self):
        result, _ = self.sign_raw(self.env("cancel"))
        self.assertEqual(result.returncode, 1, result)
        self.assertIn('LastError "C_Login failed:Function canceled(0x0050)"',
                      result.stderr.decode())
        self.assertIn("hint: the PIN dialog was cancelled", result.stderr.decode())
        self.assertEqual(len(self.dialogs()), 1)
        self.assertEqual(self.logins(), [])

    def test_a_pin_pad_token_confirms_each_signature_and_cancel_signs_nothing(self):
        # With a PIN to supply, the forwarding module reports a protected authentication path.
        env = self.env("ok", "ok", "cancel", VELLUM_P11FWD_PIN=PIN_TOKEN["pin"])
        sign = ["sign", PIN_SERIAL, "--hash", "sha1", "--data", "pay 6"]
        result = self.host("--keep-going", *sign, "--", *sign, "--envelope", "data", "--",
                           *sign, env=env)
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual(len(result.stdout.decode().splitlines()), 2, result)
        self.assertIn('LastError "C_Login failed:Function canceled(0x0050)"',
                      result.stderr.decode())
        dialogs = self.recorded()
        self.assertEqual([(d["command"], d["title"], d["answer"]) for d in dialogs],
                         [("CONFIRM", "Confirm the signature", a) for a in ("ok", "ok", "cancel")])
        for dialog in dialogs:
            self.assertEqual(self.shown(dialog["desc"]), ("whole", b"pay 6"))
            self.assertIn("Hash sha1. ", dialog["desc"])
        # The token's PIN pad gets the null PIN, after the confirmation only.
        self.assertEqual([("pin=null pinLength=0 pinSupplied=yes" in l) for l in self.logins()],
                         [True, True])
        self.assertEqual(self.signed_digests(), [hashlib.sha256(b"pay 6").hexdigest()] * 2)

    def test_a_token_that_cannot_tell_its_state_gets_no_login(self):
        for function in ("C_GetSessionInfo", "C_GetTokenInfo"):
            with self.subTest(function=function):
                if os.path.exists(self.log):
                    os.remove(self.log)
                result, _ = self.sign_raw(self.env("pin " + PIN_TOKEN["pin"],
                                                   VELLUM_P11FWD_FAIL=function + "=0x30"))
                self.assertEqual(result.returncode, 1, result)
                self.assertIn('LastError "C_Login failed:Device error(0x0030)"',
                              result.stderr.decode())
                self.assertEqual(self.logins(), [])
        self.assertEqual(self.dialogs(), [])

    def bridge_signing(self, env, text="pay 9", **sites):
        """A native host with the PIN token's certificate and `text` set, and a Signature read
        sent with `sites` (origin, top) as the extension sends them."""
        bridge = Bridge(env=env)
        for name, value in (("CN", PIN_SERIAL), ("HashAlgorithm", "sha256"), ("SignData", text)):
            self.assertEqual(bridge.request(dict({"id": name, "op": "set", "name": name,
                                                  "value": value}, **sites)),
                             {"id": name, "result": None})
        bridge.send(dict({"id": 1, "op": "get", "name": "Signature"}, **sites))
        return bridge

    def wait_for_dialog(self, count=1):
        """Waits until the pinentry shows its `count`-th dialog; its process id."""
        deadline = time.monotonic() + 60
        while len(self.recorded()) < count:
            self.assertLess(time.monotonic(), deadline, "no dialog came up")
            time.sleep(0.05)
        starts = [l for l in call_log(self.dialogs_log) if l.startswith("@start pid=")]
        return int(starts[count - 1].split("=")[1])

    def test_through_the_native_host_frames_long_origins_and_changed_text(self):
        env = self.env(*["pin " + PIN_TOKEN["pin"]] * 3)
        # A frame on another page: both sites, the asker first.
        bridge = self.bridge_signing(env, origin="https://pay.example", top="https://shop.example")
        envelope = bridge.answer(1)["result"]
        verdict = VellumHostTest.verify(self, "sha256", b"pay 9", bytes.fromhex(envelope[16:]),
                                        PIN_TOKEN["certificate"])
        self.assertEqual(verdict.stdout, b"Verified OK\n", (envelope, verdict))
        # An origin of 300 characters keeps its end, where its registrable domain stands.
        origin = "https://sign.bank.example.com." + "x" * 260 + ".evil.test"
        self.assertEqual(len(origin), 300)
        self.assertEqual(bridge.request({"id": 2, "op": "get", "name": "Signature",
                                         "origin": origin})["result"][:8], "US65001:")
        # The plug-in signs a text up to its first zero byte: what the token would get is not
        # what the dialog showed, and no signature is made.
        self.assertEqual(bridge.request({"id": 3, "op": "set", "name": "SignData",
                                         "value": "pay 9\u0000 to Eve"})["result"], None)
        self.assertEqual(bridge.request({"id": 4, "op": "get", "name": "Signature"}),
                         {"id": 4, "result": "E:1000"})
        self.assertEqual(bridge.request({"id": 5, "op": "call", "name": "LastError"}),
                         {"id": 5, "result": "C_SignUpdate failed:Function canceled(0x0050)"})
        status, rest, stderr = bridge.finish()
        self.assertEqual((status, rest), (0, b""), stderr)
        self.assertIn("vellum-pin: no signature: the bytes to sign are not the text the dialog "
                      "showed", stderr)
        framed, long_origin, changed = [d["desc"] for d in self.recorded()]
        self.assertTrue(framed.startswith('https://pay.example in https://shop.example asks to '
                                          'sign with the token "pintoken".'), framed)
        first_line = long_origin.split("\n")[0]
        self.assertTrue(first_line.startswith("..."), first_line)
        self.assertIn(".evil.test asks to sign", first_line)
        self.assertNotIn("https://sign.bank", first_line)
        self.assertEqual(self.shown(changed), ("whole", b"pay 9\x00 to Eve"))
        self.assertIn("> pay 9\\x00 to Eve", changed)
        # Two signatures reached the token; the changed text never did.
        self.assertEqual(self.signed_digests(), [hashlib.sha256(b"pay 9").hexdigest()] * 2)
        self.assertEqual(len([l for l in call_log(self.log) if l.startswith("C_Login ")]), 3)

    def test_an_unanswered_dialog_ends_as_a_cancel_and_holds_up_no_other_host(self):
        release = os.path.join(self.dir, "timeout-now")
        env = self.env("hang", FAKE_PINENTRY_RELEASE=release)
        bridge = self.bridge_signing(env, origin="https://slow.example")
        self.wait_for_dialog()
        # Another host on the same token module, while the dialog waits: what does not touch
        # the token answers at once, from the command line and from a native host alike.
        version = self.host("call", "getVersion", env=env)
        self.assertEqual(version.returncode, 0, version)
        other = Bridge(env=env)
        self.assertEqual(other.request({"id": 1, "op": "call", "name": "getVersion"}),
                         {"id": 1, "result": version.stdout.decode().strip()})
        self.assertEqual(other.finish()[0], 0)
        self.assertNotIn("@end", call_log(self.dialogs_log), "the dialog ended before")
        # The pinentry's timeout: the operation ends as a cancel and lets go of the token.
        with open(release, "w"):
            pass
        self.assertEqual(bridge.answer(1), {"id": 1, "result": "E:1000"})
        self.assertEqual(bridge.request({"id": 2, "op": "call", "name": "LastError"}),
                         {"id": 2, "result": "C_Login failed:Function canceled(0x0050)"})
        self.assertEqual(self.recorded()[0]["timeout"], 120)
        listed = self.host("list", env=env)
        self.assertEqual(listed.returncode, 0, listed)
        status, _, stderr = bridge.finish()
        self.assertEqual(status, 0, stderr)
        self.assertIn("nobody answered the dialog in time", stderr)
        self.assertEqual(self.logins(), [])

    def test_a_dialog_ends_with_its_host(self):
        process = subprocess.Popen([ARGS.host, "--token-module", ARGS.fwd, "sign", PIN_SERIAL,
                                    "--hash", "sha256", "--data", "pay 10"],
                                   env=self.env("hang"),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        pinentry = self.wait_for_dialog()
        process.kill()
        process.wait()
        deadline = time.monotonic() + 60
        while os.path.exists("/proc/%d" % pinentry):
            with open("/proc/%d/stat" % pinentry) as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    break
            self.assertLess(time.monotonic(), deadline, "the pinentry outlived its host")
            time.sleep(0.05)
        self.assertEqual(self.logins(), [])

    def test_without_a_terminal_a_graphical_pinentry_goes_before_a_text_mode_one(self):
        # Debian's `pinentry` alternative pointing at pinentry-curses, as on most systems, and
        # a PATH of only the stand-ins (the machine's own pinentries stay out of it). Each
        # stand-in notes its name, then answers as the fake does.
        ran = os.path.join(self.dir, "ran")
        os.unlink(os.path.join(self.bin, "pinentry"))
        def stand_in(name):
            path = os.path.join(self.bin, name)
            with open(path, "w") as f:
                f.write("#!/bin/sh\necho %s >> '%s'\nexec '%s' \"$@\"\n"
                        % (name, ran, FAKE_PINENTRY))
            os.chmod(path, 0o755)
        stand_in("pinentry-curses")
        os.symlink("pinentry-curses", os.path.join(self.bin, "pinentry"))

        def sign(env):
            signature = os.path.join(self.dir, "sig.bin")
            result = subprocess.run(
                [ARGS.host, "--token-module", ARGS.fwd, "sign", PIN_SERIAL, "--hash", "sha256",
                 "--data", "pay 5", "--raw", signature], capture_output=True, env=env,
                stdin=subprocess.DEVNULL, timeout=60)
            names = []
            if os.path.exists(ran):
                with open(ran) as f:
                    names = f.read().split()
                os.unlink(ran)
            return result, names

        # Only the text-mode one, no terminal: it is what there is (and fails, as it would);
        # the hint and doctor name graphical ones only, and doctor calls it a problem.
        result, names = sign(self.env("fail", GPG_TTY="", PATH=self.bin))
        self.assertEqual((result.returncode, names), (1, ["pinentry-curses"]), result)
        hint = [l for l in result.stderr.decode().splitlines() if "hint:" in l]
        self.assertIn("pinentry-gnome3", hint[0])
        self.assertNotIn("curses", "\n".join(hint))
        doctor = self.host("doctor", "--json", env=self.env(PATH=self.bin))
        (report,) = [json.loads(l) for l in doctor.stdout.decode().splitlines()]
        self.assertEqual(doctor.returncode, 1, doctor)
        (problem,) = [p for p in report["problems"] if "pinentry" in p]
        self.assertIn("asks in a terminal", problem)
        self.assertIn("pinentry-gnome3", problem)

        # A graphical one installed beside it: without a terminal it is the one asked, and the
        # signature is good; with one (GnuPG's GPG_TTY), `pinentry` is asked as before.
        stand_in("pinentry-gnome3")
        result, names = sign(self.env("pin " + PIN_TOKEN["pin"], GPG_TTY="", PATH=self.bin))
        self.assertEqual((result.returncode, names), (0, ["pinentry-gnome3"]), result)
        with open(os.path.join(self.dir, "sig.bin"), "rb") as f:
            verdict = VellumHostTest.verify(self, "sha256", b"pay 5", f.read(),
                                            PIN_TOKEN["certificate"])
        self.assertEqual(verdict.stdout, b"Verified OK\n", verdict)
        result, names = sign(self.env("pin " + PIN_TOKEN["pin"], GPG_TTY="/dev/tty",
                                      PATH=self.bin))
        self.assertEqual((result.returncode, names), (0, ["pinentry-curses"]), result)
        doctor = self.host("doctor", "--json", env=self.env(PATH=self.bin))
        (report,) = [json.loads(l) for l in doctor.stdout.decode().splitlines()]
        self.assertEqual((doctor.returncode, report["problems"]), (0, []), report)
        self.assertTrue(report["module"]["pinentry"].endswith("/pinentry-gnome3"), report)

    def test_without_pinentry_no_login_and_doctor_names_the_package(self):
        env = self.env("pin " + PIN_TOKEN["pin"], PATH=os.path.join(self.dir, "empty"))
        result, _ = self.sign_raw(env)
        self.assertEqual(result.returncode, 1, result)
        stderr = result.stderr.decode()
        self.assertIn('LastError "C_Login failed:Function not suppored(0x0054)"', stderr)
        self.assertIn("hint: no PIN dialog could be shown", stderr)
        self.assertIn("pinentry", stderr.splitlines()[-1])
        self.assertEqual((self.dialogs(), self.logins()), ([], []))

        doctor = self.host("doctor", "--json", env=env)
        (report,) = [json.loads(l) for l in doctor.stdout.decode().splitlines()]
        self.assertEqual(doctor.returncode, 1, doctor)
        self.assertTrue(any("pinentry-gnome3" in p for p in report["problems"]), report)
        healthy = self.host("doctor", "--json", env=self.env())
        (report,) = [json.loads(l) for l in healthy.stdout.decode().splitlines()]
        self.assertEqual(report["problems"], [], report)
        self.assertEqual(report["module"]["pinentry"], os.path.join(self.bin, "pinentry"))

    def test_through_the_native_host_the_dialog_names_the_pages_origin(self):
        # The bridge settings name the pinentry (bridge install keeps it); none is on PATH.
        home = os.path.join(self.dir, "home")
        os.makedirs(os.path.join(home, ".config", "vellum"))
        with open(os.path.join(home, ".config", "vellum", "bridge.json"), "w") as f:
            json.dump({"pinentry": FAKE_PINENTRY}, f)
        env = self.env("pin 00000000", "pin " + PIN_TOKEN["pin"], HOME=home,
                       PATH=os.path.join(self.dir, "empty"))
        install = run([ARGS.host, "bridge", "install", "--browser", "firefox", "--token-module",
                       ARGS.fwd], env=env)
        self.assertEqual(install.returncode, 0, install)
        bridge = Bridge(["chrome-extension://%s/" % CHROMIUM_ID], env=env, token_module=False)
        origin = "https://sign.example.com"
        frames = []

        def request(message):
            answer = bridge.request(dict(message, origin=origin))
            frames.append(json.dumps(answer))
            return answer

        for name, value in (("CN", PIN_SERIAL), ("HashAlgorithm", "sha256"),
                            ("SignData", "pay 7")):
            self.assertEqual(request({"id": name, "op": "set", "name": name, "value": value}),
                             {"id": name, "result": None})
        self.assertEqual(request({"id": 1, "op": "get", "name": "Signature"}),
                         {"id": 1, "result": "E:1000"})
        self.assertEqual(request({"id": 2, "op": "call", "name": "LastError", "args": []}),
                         {"id": 2, "result": "C_Login failed:Pin incorrect(0x00A0)"})
        envelope = request({"id": 3, "op": "get", "name": "Signature"})["result"]
        verdict = VellumHostTest.verify(self, "sha256", b"pay 7", bytes.fromhex(envelope[16:]),
                                        PIN_TOKEN["certificate"])
        self.assertEqual(verdict.stdout, b"Verified OK\n", (envelope, verdict))
        status, rest, stderr = bridge.finish()
        self.assertEqual((status, rest, stderr), (0, b"", ""))
        first, second = self.dialogs()
        for dialog in (first, second):
            self.assertTrue(any(l.startswith(
                'SETDESC https://sign.example.com asks to sign with the token "pintoken".')
                for l in dialog), dialog)
        # The wrong PIN fails at the token's login, and the next dialog, not the first, says so.
        self.assertFalse([l for l in first if l.startswith("SETERROR")], first)
        self.assertIn("SETERROR Wrong PIN (Pin incorrect). Try again.", second)
        self.assertEqual([("rv=0xA0" in l, "rv=0x0 " in l) for l in self.logins()],
                         [(True, False), (False, True)])
        # SoftHSM2 counts the wrong PIN, and the dialog passes its warning on.
        self.assertIn("Few tries are left before the token locks its PIN.",
                      [l for l in second if l.startswith("SETDESC")][0])
        self.assertNoPin("\n".join(frames), stderr, "\n".join(call_log(self.log)),
                         "\n".join(first + second))


def become(uid):
    def preexec():
        os.setgroups([])
        os.setgid(uid)
        os.setuid(uid)
    return preexec


def run_as(cmd, env, preexec=None, cwd=None):
    return subprocess.run(cmd, capture_output=True, env=env, timeout=120, preexec_fn=preexec,
                          cwd=cwd)


# Where the cases run as a normal user keep that user's files: a folder the user can reach with
# no folder above it that others can write, since the host refuses a token module under /tmp. The
# build tree may lie in a folder only its owner can enter, so as root the suite runs in a private
# mount namespace of its own (main) with a tmpfs here; nothing outside the suite sees it.
NORMAL_USER_ROOT = "/mnt"


def normal_user_folder():
    return tempfile.TemporaryDirectory(dir=NORMAL_USER_ROOT if os.geteuid() == 0 else ARGS.work)


def folder_closed_to_others(path):
    """The first folder on the way to `path` that a user neither owning it nor in its group
    cannot pass through, or None."""
    path = os.path.realpath(path)
    while True:
        if not os.stat(path).st_mode & stat.S_IXOTH:
            return path
        parent = os.path.dirname(path)
        if parent == path:
            return None
        path = parent


def main():
    global ARGS
    if os.geteuid() == 0 and os.environ.get("VELLUM_HOST_SUITE_MOUNTS") != str(os.getpid()):
        # Entered once: exec keeps the process id, so the suite knows it is inside.
        os.environ["VELLUM_HOST_SUITE_MOUNTS"] = str(os.getpid())
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", "--",
                              sys.executable] + sys.argv)
    if os.geteuid() == 0:
        del os.environ["VELLUM_HOST_SUITE_MOUNTS"]
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "vellum-users",
                        NORMAL_USER_ROOT], check=True)
    parser = argparse.ArgumentParser()
    for name in ("host", "tokenkit", "fwd", "softhsm", "work", "build", "plugin"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--wrap", default="")
    ARGS, rest = parser.parse_known_args()
    # Fresh tokens for every run (a fraction of a second with the cached keys): a token left by
    # an older version of this test would not be the one it describes.
    shutil.rmtree(ARGS.work, ignore_errors=True)
    os.makedirs(os.path.join(ARGS.work, "home"))
    # The hosts' token locks, this run's own: the token matrix and the browser tests run hosts
    # on the same forwarding module beside this test, and a lock one of them holds would make
    # these hosts wait and doctor report it.
    runtime = os.path.join(ARGS.work, "runtime")
    os.mkdir(runtime, 0o700)
    os.environ["XDG_RUNTIME_DIR"] = runtime
    with open(os.path.join(ARGS.work, "confirm-every-signature"), "w") as f:
        f.write("every ok\n")
    provision()
    sys.exit(run_suite(rest))


class SuiteLoader(unittest.TestLoader):
    """Leaves out the cases marked not_under_memcheck when the hosts run wrapped."""
    left_out = []

    def getTestCaseNames(self, testCaseClass):
        names = super().getTestCaseNames(testCaseClass)
        if not ARGS.wrap:
            return names
        kept = []
        for name in names:
            why = getattr(getattr(testCaseClass, name), "not_under_memcheck", None)
            if why is None:
                kept.append(name)
            else:
                self.left_out.append("%s.%s: %s" % (testCaseClass.__name__, name, why))
        return kept


# ctest's SKIP_RETURN_CODE for the suites: a run with no failure and a skipped case.
SKIPPED = 77


def run_suite(argv):
    """Runs the cases named in argv (all by default); the exit status for ctest: 1 on a failure,
    SKIPPED when a case was skipped (each named with its reason), otherwise 0."""
    program = unittest.main(argv=[sys.argv[0]] + argv, verbosity=2, exit=False,
                            testLoader=SuiteLoader())
    result = program.result
    for line in SuiteLoader.left_out:
        print("LEFT OUT under memcheck: " + line)
    for case, why in result.skipped:
        print("SKIPPED %s: %s" % (case.id().split(".", 1)[-1], why))
    if not result.wasSuccessful() or result.testsRun == 0:
        return 1
    return SKIPPED if result.skipped else 0


if __name__ == "__main__":
    main()
