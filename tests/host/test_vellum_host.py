#!/usr/bin/env python3
"""vellum-host end to end: each command on a SoftHSM2 token reached through the forwarding
module mapped at the plug-in's fixed path, failures of the token module, bad input, bad usage,
and the installed layout.

The browser bridge: the native messaging host driven through its frames as a browser drives
it, bridge install/uninstall/status in a temporary home, and the token module the bridge
records, as root and as a normal user.

usage: test_vellum_host.py --host PATH --tokenkit PATH --fwd PATH --softhsm PATH
                           --work DIR --build DIR [--wrap COMMAND] [unittest arguments]
--wrap: a command (split at spaces) the native messaging host runs under, e.g. valgrind.
"""
import argparse
import base64
import fcntl
import hashlib
import json
import os
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
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

    def test_two_hosts_signing_at_once_on_one_token_take_turns(self):
        # Each host logs in, signs and logs out per signature; without the token lock the two
        # interleave on the token and some signatures answer E:1000.
        count = 100
        runs = []
        for host in range(2):
            steps = []
            for i in range(count):
                steps += ["--"] if steps else []
                steps += ["sign", SERIAL, "--hash", "sha256", "--data", "host %d, %d" % (host, i)]
            cmd = [ARGS.host, "--json", "--keep-going", "--token-module", ARGS.fwd] + steps
            runs.append(subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         env=token_env()))
        outputs = [process.communicate(timeout=600) for process in runs]
        with tempfile.TemporaryDirectory() as d:
            key = run(["openssl", "x509", "-in", TOKEN["certificate"], "-pubkey", "-noout"])
            pub = os.path.join(d, "pub.pem")
            with open(pub, "wb") as f:
                f.write(key.stdout)
            for host, (process, (stdout, stderr)) in enumerate(zip(runs, outputs)):
                self.assertEqual((process.returncode, stderr), (0, b""), stdout[-2000:])
                steps = [json.loads(line) for line in stdout.decode().splitlines()]
                self.assertEqual(len(steps), count)
                for i, step in enumerate(steps):
                    self.assertTrue(step["ok"], step)
                    self.assertNotIn("E:1000", step["result"])
                    paths = [os.path.join(d, n) for n in ("data", "sig")]
                    for path, content in zip(paths, (("host %d, %d" % (host, i)).encode(),
                                                     bytes.fromhex(step["signature"]))):
                        with open(path, "wb") as f:
                            f.write(content)
                    verdict = run(["openssl", "dgst", "-sha256", "-verify", pub, "-signature",
                                   paths[1], paths[0]])
                    self.assertEqual(verdict.stdout, b"Verified OK\n", (host, i, verdict))

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
                with self.assertRaises(subprocess.TimeoutExpired):
                    signer.wait(timeout=1)
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
        for args in ([], ["bogus"], ["--frob", "info"], ["sign", SERIAL, "--data", "x"],
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
        report = self.doctor(code=0, VELLUM_P11FWD_NULL_FUNCTIONS="C_GetInfo;C_GetTokenInfo")
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

    def test_doctor_names_softhsm2s_uninitialised_spare_token(self):
        # Unhidden, SoftHSM2's spare token comes last, so it is the one listed.
        report = self.doctor(code=1, VELLUM_P11FWD_HIDE_UNINITIALIZED=None)
        token, spare = report["slots"]
        self.assertEqual((token["listed"], spare["listed"]), (False, True))
        self.assertFalse(spare["flags"]["tokenInitialized"])
        (problem,) = report["problems"]
        self.assertIn("holds a token that was never initialised (CKF_TOKEN_INITIALIZED is not "
                      "set)", problem)
        self.assertNotIn("reconnect", problem)

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


def memory_of(pid):
    """A process's VmRSS and VmHWM (its peak), in bytes."""
    with open("/proc/%d/status" % pid) as f:
        fields = dict(line.split(":", 1) for line in f)
    return {k: int(fields[k].split()[0]) * 1024 for k in ("VmRSS", "VmHWM")}


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

    def skipUnderMemcheck(self, why):
        if ARGS.wrap:
            self.skipTest(why)

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

    def test_every_method_and_property_answers_as_vellum_host_does(self):
        self.skipUnderMemcheck("a host per row; the other tests reach the same code")
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

    def test_a_64_mib_sign_data_is_split_and_joins(self):
        self.skipUnderMemcheck("the split is checked at 64 MiB without memcheck")
        data = "x" * (MAX_IN - 100)
        bridge = self.bridge(wrap=False)
        for name, value in (("CN", SERIAL), ("HashAlgorithm", "sha256")):
            bridge.request({"id": name, "op": "set", "name": name, "value": value})
        before = memory_of(bridge.process.pid)
        frame = json.dumps({"id": "SignData", "op": "set", "name": "SignData", "value": data})
        self.assertEqual(bridge.request(frame.encode()), {"id": "SignData", "result": None})
        # The request frame itself was at the limit.
        self.assertLessEqual(len(frame), MAX_IN)
        # The frame, the value the plug-in is handed and the plug-in's own copy: the host holds
        # no other (reading it as a library does cost 6 times the frame).
        peak = memory_of(bridge.process.pid)["VmHWM"] - before["VmRSS"]
        print("64 MiB SignData: the host's peak grew by %.2f times the frame" % (peak / len(frame)),
              file=sys.stderr)
        self.assertLessEqual(peak, 3.05 * len(frame), (before, peak))
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
            # Names are C strings to the plug-in and the PIN dialog: not cut at a NUL.
            ({"id": 15, "op": "set", "name": "SignData\u0000x", "value": "v"}, 15, "bad-request"),
            ({"id": 16, "op": "get", "name": "CN", "origin": "https://a.example\u0000.b"}, 16,
             "bad-request"),
            # Which one would count? Neither: the request is refused whole.
            (b'{"id": 17, "op": "get", "name": "JSCB", "id": 18}', None, "bad-request"),
            (b'{"id": 19, "op": "get", "op": "set", "name": "CN", "value": "x"}', None,
             "bad-request"),
            ({"id": 20, "op": "call", "name": "GetUKeySN", "args": [{"number": "nan"}]}, 20,
             "bad-arguments"),
        ]
        bridge = self.bridge(token_module=False)
        for request, id_, code in cases:
            with self.subTest(request=str(request)[:60]):
                answer = bridge.request(request)
                self.assertEqual(set(answer), {"id", "error"}, answer)
                self.assertEqual((answer["id"], answer["error"]["code"]), (id_, code), answer)
                self.assertTrue(answer["error"]["message"])
        # Numbers go by their value: 1.0 is an int32 as in script, -0 a double the method takes
        # as the number 0 (plain or tagged), NaN and the infinities doubles it refuses.
        zero = bridge.request({"id": "n", "op": "call", "name": "GetUKeySN", "args": [0]})
        for same in (0.0, -0.0, {"number": "-0"}):
            self.assertEqual(bridge.request({"id": "n", "op": "call", "name": "GetUKeySN",
                                             "args": [same]}), zero, same)
        for tag in ("NaN", "Infinity", "-Infinity"):
            answer = bridge.request({"id": tag, "op": "call", "name": "GetUKeySN",
                                     "args": [{"number": tag}]})
            self.assertEqual(answer["error"], {"code": "refused", "message":
                             "the plug-in refused the call of 'GetUKeySN' with double"}, tag)
        self.assertEqual(bridge.request({"id": "s", "op": "set", "name": "SignData",
                                         "value": {"number": "-Infinity"}})["error"]["message"],
                         "the plug-in refused a value of kind double for 'SignData'")
        self.assertEqual(bridge.request({"id": 0, "op": "hello"})["result"]["protocol"], 1)
        self.assertClosedCleanly(bridge)

    def test_numbers_out_of_range_and_deep_nesting_are_answered(self):
        bridge = self.bridge(token_module=False)
        for frame, fragment in (
                (b'{"id": 1e400, "op": "hello"}', "a number no double can hold ends at byte "),
                (b'{"id": 1, "op": "set", "name": "CN", "value": -1e400}', "no double"),
                (b'{"id": 2, "op": "call", "name": "GetUKeySN", "args": [1E+999]}', "no double"),
                # Too small for a double: not read as 0.
                (b'{"id": 2, "op": "call", "name": "GetUKeySN", "args": [1e-400]}', "no double"),
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
        # 4 million arguments: refused past the request's 64 values, before they are built
        # (building them peaked at 429 MiB).
        frame = b'{"id": 6, "op": "call", "name": "GetUKeySN", "args": [' + b"0," * 4000000 + b"0]}"
        before = memory_of(bridge.process.pid)
        answer = bridge.request(frame)
        self.assertEqual(answer["error"], {"code": "bad-request",
                                           "message": "the request holds more than 64 values"})
        peak = memory_of(bridge.process.pid)["VmHWM"] - before["VmRSS"]
        print("4 million arguments: the host's peak grew by %.2f times the frame" %
              (peak / len(frame)), file=sys.stderr)
        self.assertLessEqual(peak, 3 * len(frame), (before, peak))
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
        every = self.browsers_on_path("chromium", "google-chrome", "microsoft-edge", "firefox")
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
        # Without a scope, status shows the system's folders as well (read, never written).
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
        # Chromium has run here (its folder exists), Firefox is installed (its program is on
        # PATH); neither Chrome nor Edge is anywhere.
        chromium = os.path.dirname(os.path.dirname(paths["chromium"]))
        os.makedirs(chromium)
        with open(os.path.join(chromium, "Local State"), "w") as f:
            f.write("{}")
        found = self.browsers_on_path("firefox-esr")
        result = self.bridge("install", PATH=found)
        self.assertIn("not installed for chrome, edge: not found on this machine",
                      result.stdout.decode())
        for browser in ("chromium", "firefox"):
            self.assertManifest(paths[browser], browser)
        self.assertEqual(sorted(os.listdir(os.path.join(self.home, ".config"))), ["chromium"])
        # A named browser is written for whether it is found or not.
        self.bridge("install", "--browser", "edge", PATH=found)
        self.assertManifest(paths["edge"], "edge")

        result = self.bridge("uninstall", PATH=found)
        for folder in (os.path.dirname(paths["edge"]), os.path.dirname(paths["firefox"])):
            self.assertIn("removed %s/\n" % folder, result.stdout.decode())
        self.assertEqual(sorted(os.listdir(self.home)), [".config"])
        self.assertEqual(os.listdir(os.path.join(self.home, ".config")), ["chromium"])
        self.assertEqual(os.listdir(chromium), ["Local State"])

        # No browser at all: nothing is written, and the reason says how to name one.
        shutil.rmtree(chromium)
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
        """vellum-host and its plug-in module as installed under `root`; the program's path."""
        program = os.path.join(root, "bin", "vellum-host")
        plugin = os.path.join(root, "lib", "vellum", "libvellum.so")
        for path, source in ((program, ARGS.host), (plugin, ARGS.plugin)):
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
            self.skipTest("uid %d cannot enter the temporary folder: %s is mode %o" % (
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


class RecordedTokenModuleTest(unittest.TestCase):
    """bridge install --token-module, and the host started as a browser starts it, as root and
    as a normal user: one who is not root reaches the fixed path through a user namespace."""
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

    def test_as_root(self):
        if os.geteuid() != 0:
            self.skipTest("not root (euid %d): the test records a module as root" % os.geteuid())
        with tempfile.TemporaryDirectory(dir=ARGS.work) as home:
            module = os.path.join(home, "token-module.so")
            shutil.copy(ARGS.fwd, module)
            self.check_bridge(home, token_env(HOME=home), module)

    def test_as_a_normal_user(self):
        if os.geteuid() != 0:
            self.skipTest("not root (euid %d): becoming another user needs root" % os.geteuid())
        uid = 4242
        with tempfile.TemporaryDirectory() as top:
            os.chmod(top, 0o755)
            closed = folder_closed_to_others(top)
            if closed:
                self.skipTest("uid %d cannot enter the temporary folder: %s is mode %o" % (
                    uid, closed, stat.S_IMODE(os.stat(closed).st_mode)))
            # The user runs its own copy of the host and the plug-in, installed as a package
            # installs them, and of the token module: the build tree may sit in a folder only
            # its owner can enter.
            prefix = os.path.join(top, "prefix")
            install = run(["cmake", "--install", ARGS.build, "--prefix", prefix], timeout=120)
            self.assertEqual(install.returncode, 0, install.stderr)
            host = os.path.join(prefix, "bin", "vellum-host")
            # Its own home with its own copy of the token.
            home = os.path.join(top, "home")
            os.mkdir(home)
            conf = softhsm_conf(home, token_dirs(os.path.join(ARGS.work, "token")))
            module = os.path.join(home, "token-module.so")
            shutil.copy(ARGS.fwd, module)
            for root, dirs, files in os.walk(home):
                for name in dirs + files + [""]:
                    os.chown(os.path.join(root, name), uid, uid)
            env = token_env(HOME=home, SOFTHSM2_CONF=conf)
            preexec = become(uid)
            # It is that copy the user's host runs, not the build's.
            info = run_as([host, "info"], env, preexec, cwd=home)
            self.assertEqual(info.returncode, 0, info)
            self.assertIn("module: %s/" % os.path.realpath(prefix), info.stdout.decode())
            self.check_bridge(home, env, module, preexec, host)

    # A user namespace whose own limit allows no further one: inside it, a process that is not
    # root there cannot enter the user namespace the mapping needs. `command` runs there.
    LIMITED_USER_NAMESPACES = ("echo 1 > /proc/sys/user/max_user_namespaces && "
                               "exec unshare --user %s")

    def test_without_user_namespaces_every_request_names_the_setting(self):
        if os.geteuid() != 0 or shutil.which("unshare") is None:
            self.skipTest("not root or no unshare command: the user namespaces are limited "
                          "from inside one of root's")
        # The machine's side first: the limit can be set, and then keeps a process out of a
        # further user namespace. Only then is a failure below the host's own.
        probe = subprocess.run(
            ["unshare", "--user", "--map-root-user", "sh", "-c",
             self.LIMITED_USER_NAMESPACES % "sh -c 'unshare --user true 2>/dev/null || "
                                            "echo refused'"],
            capture_output=True, timeout=60)
        if probe.stdout != b"refused\n":
            self.skipTest("this machine does not let a user namespace's limit keep a process "
                          "out of a further one (status %d, %r, %r)" % (
                              probe.returncode, probe.stdout, probe.stderr))
        with tempfile.TemporaryDirectory(dir=ARGS.work) as home:
            os.chmod(home, 0o755)
            env = token_env(HOME=home)
            result = run([ARGS.host, "bridge", "install", "--browser", "chromium",
                          "--token-module", ARGS.fwd], env=env)
            self.assertEqual(result.returncode, 0, result)
            script = self.LIMITED_USER_NAMESPACES % (
                "%s chrome-extension://%s/" % (ARGS.host, CHROMIUM_ID))
            cmd = ["unshare", "--user", "--map-root-user", "sh", "-c", script]
            process = subprocess.run(
                cmd, env=env, capture_output=True, timeout=60,
                input=b"".join(struct.pack("=I", len(r)) + r for r in (
                    b'{"id": 1, "op": "hello"}', b'{"id": 2, "op": "call", "name": "x"}')))
            # Ends as at any end of its input, every request answered.
            self.assertEqual(process.returncode, 0, "the native host %s; stderr: %s" % (
                "was killed by %s" % signal.Signals(-process.returncode).name
                if process.returncode < 0 else "ended with status %d" % process.returncode,
                process.stderr.decode(errors="replace")))
            answers = []
            data = process.stdout
            while data:
                (length,) = struct.unpack("=I", data[:4])
                answers.append(json.loads(data[4:4 + length]))
                data = data[4 + length:]
            self.assertEqual([a["id"] for a in answers], [1, 2], process.stderr)
            for answer in answers:
                self.assertEqual(answer["error"]["code"], "setup", answer)
                self.assertIn("user.max_user_namespaces", answer["error"]["message"])


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
        # pinentry on PATH, as GnuPG finds it.
        self.bin = os.path.join(self.dir, "bin")
        os.makedirs(self.bin)
        os.symlink(FAKE_PINENTRY, os.path.join(self.bin, "pinentry"))

    def env(self, *answers, **extra):
        with open(os.path.join(self.dir, "answers"), "w") as f:
            f.write("".join(a + "\n" for a in answers))
        settings = dict(SOFTHSM2_CONF=PIN_TOKEN["SOFTHSM2_CONF"], VELLUM_P11FWD_PIN=None,
                        VELLUM_P11FWD_LOG=self.log, PATH=self.bin + ":/usr/bin:/bin",
                        FAKE_PINENTRY_ANSWERS=os.path.join(self.dir, "answers"),
                        FAKE_PINENTRY_LOG=self.dialogs_log)
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
            if line == "@start":
                runs.append([])
            elif runs and line != "@end":
                runs[-1].append(line)
        return runs

    def logins(self):
        return [l for l in call_log(self.log) if l.startswith("C_Login ")]

    def assertNoPin(self, *texts):
        for text in texts:
            self.assertNotIn(PIN_TOKEN["pin"], text if isinstance(text, str) else
                             text.decode(errors="replace"))

    def sign_raw(self, env, *more):
        signature = os.path.join(self.dir, "sig.bin")
        result = self.host("sign", PIN_SERIAL, "--hash", "sha256", "--data", "pay 5",
                           "--raw", signature, *more, env=env)
        return result, signature

    def test_the_typed_pin_signs_and_the_dialog_names_token_and_site(self):
        result, signature = self.sign_raw(self.env("pin " + PIN_TOKEN["pin"]))
        self.assertEqual((result.returncode, result.stderr), (0, b""), result)
        with open(signature, "rb") as f:
            verdict = VellumHostTest.verify(self, "sha256", b"pay 5", f.read(),
                                            PIN_TOKEN["certificate"])
        self.assertEqual(verdict.stdout, b"Verified OK\n", verdict)
        (login,) = self.logins()
        self.assertIn("rv=0x0 ", login)
        self.assertIn("pin=set pinLength=%d pinSupplied=no" % len(PIN_TOKEN["pin"]), login)
        (dialog,) = self.dialogs()
        self.assertIn('SETDESC vellum-host asks to sign with the token "pintoken".'
                      "%0A%0AEnter the token's PIN to sign this once.", dialog)
        self.assertEqual(dialog[-2:], ["GETPIN", "BYE"])
        self.assertFalse([l for l in dialog if l.startswith("SETERROR")], dialog)
        self.assertNoPin(result.stdout, result.stderr, "\n".join(call_log(self.log)),
                         "\n".join(dialog))

    def test_a_wrong_pin_fails_at_login_and_the_next_dialog_says_so(self):
        env = self.env("pin 00000000", "pin " + PIN_TOKEN["pin"])
        result = self.host("--keep-going", "sign", PIN_SERIAL, "--hash", "sha1", "--data", "a",
                           "--", "sign", PIN_SERIAL, "--hash", "sha1", "--data", "a", env=env)
        self.assertEqual(result.returncode, 1, result)
        lines = result.stderr.decode().splitlines()
        self.assertIn('LastError "C_Login failed:Pin incorrect(0x00A0)"', lines[0])
        self.assertEqual(len(result.stdout.decode().splitlines()), 1, result)  # the second signed
        first, second = self.dialogs()
        self.assertFalse([l for l in first if l.startswith("SETERROR")], first)
        self.assertIn("SETERROR Wrong PIN (Pin incorrect). Try again.", second)
        self.assertEqual([("rv=0xA0" in l, "rv=0x0 " in l) for l in self.logins()],
                         [(True, False), (False, True)])

    def test_cancel_makes_no_login_on_the_token(self):
        result, _ = self.sign_raw(self.env("cancel"))
        self.assertEqual(result.returncode, 1, result)
        self.assertIn('LastError "C_Login failed:Function canceled(0x0050)"',
                      result.stderr.decode())
        self.assertIn("hint: the PIN dialog was cancelled", result.stderr.decode())
        self.assertEqual(len(self.dialogs()), 1)
        self.assertEqual(self.logins(), [])

    def test_a_pin_pad_token_gets_the_null_pin_and_no_dialog(self):
        # With a PIN to supply, the forwarding module reports a protected authentication path.
        result, _ = self.sign_raw(self.env("pin 00000000", VELLUM_P11FWD_PIN=PIN_TOKEN["pin"]))
        self.assertEqual((result.returncode, result.stderr), (0, b""), result)
        self.assertEqual(self.dialogs(), [])
        (login,) = self.logins()
        self.assertIn("pin=null pinLength=0 pinSupplied=yes", login)

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
        self.assertIn("SETERROR Wrong PIN (Pin incorrect). Try again.", second)
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
    provision()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
