#!/usr/bin/env python3
"""vellum-host's command line end to end: each command on a SoftHSM2 token reached through
the forwarding module at the plug-in's fixed path, failures of the token module, bad
input, bad usage, and the installed layout.

Run through hostsuite.main(), which names its arguments.
"""
import base64
import fcntl
import json
import os
import shutil
import signal
import struct
import subprocess
import tempfile
import unittest

from hostsuite import (
    ARGS,
    EMPTY_TOKEN,
    FAKE_PINENTRY,
    FIXED_MODULE_PATH,
    HostCase,
    SERIAL,
    SUBJECT_NAME,
    TOKEN,
    call_log,
    run,
    softhsm_conf,
    token_dirs,
    token_env,
    wait_until_someone_waits_for,
    main)


class VellumHostTest(HostCase):
    maxDiff = None

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
        # A tree that lies under /tmp is put back into the private /tmp, through a mount of the
        # outer /tmp made before.
        tree = os.path.realpath(ARGS.host).split(os.sep)
        keep = tree[2] if tree[1] == "tmp" else ""
        script = """set -e
            if [ -n "$4" ]; then
                mkdir -p /mnt/outer-tmp && mount --bind /tmp /mnt/outer-tmp
            fi
            mount -t tmpfs vellum-tmp /tmp
            if [ -n "$4" ]; then
                mkdir "/tmp/$4" && mount --bind "/mnt/outer-tmp/$4" "/tmp/$4"
            fi
            mkdir -m 0777 /tmp/vellum-$(id -u)
            chown 65534:65534 /tmp/vellum-$(id -u)
            for i in $(seq %d); do
                "$0" --json --token-module "$1" sign "$2" --hash sha256 --data "page $i" \\
                    > "$3/$i.out" 2> "$3/$i.err" &
            done
            wait""" % count
        result = subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, ARGS.host,
             ARGS.fwd, SERIAL, out, keep], capture_output=True,
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


if __name__ == "__main__":
    main()
