#!/usr/bin/env python3
"""The native messaging host driven through its frames as a browser drives it.

Run through hostsuite.main(), which names its arguments.
"""
import base64
import fcntl
import json
import os
import struct
import subprocess
import sys
import tempfile
import threading

from hostsuite import (
    ARGS,
    Bridge,
    CHROMIUM_ID,
    FIREFOX_ID,
    HostCase,
    MAX_IN,
    MAX_OUT,
    SERIAL,
    SUBJECT_NAME,
    TOKEN,
    call_log,
    memory_of,
    sanitized,
    not_under_memcheck,
    run,
    token_env,
    main)


class NativeMessagingTest(HostCase):
    maxDiff = None

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
        if not sanitized(bridge.process.pid):
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
        if not sanitized(bridge.process.pid):
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


if __name__ == "__main__":
    main()
