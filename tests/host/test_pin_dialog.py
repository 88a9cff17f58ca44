#!/usr/bin/env python3
"""The PIN module in front of the token module: the PIN asked through pinentry.

Run through hostsuite.main(), which names its arguments.
"""
import hashlib
import json
import os
import re
import shutil
import subprocess
import tempfile
import time

from hostsuite import (
    ARGS,
    Bridge,
    CHROMIUM_ID,
    FAKE_PINENTRY,
    HostCase,
    PIN_SERIAL,
    PIN_TOKEN,
    call_log,
    run,
    token_env,
    main)


class PinDialogTest(HostCase):
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
            verdict = self.verify(hash_name, data, f.read(),
                                            PIN_TOKEN["certificate"])
        self.assertEqual(verdict.stdout, b"Verified OK\n", verdict)

    def test_the_typed_pin_signs_and_the_dialog_shows_token_site_hash_and_text(self):
        text = "pay 5 EUR\nto: Bob\n\nref 7\n"
        result, signature = self.sign_raw(self.env("pin " + PIN_TOKEN["pin"]), data=text)
        self.assertEqual((result.returncode, result.stderr), (0, b""), result)
        with open(signature, "rb") as f:
            verdict = self.verify("sha256", text.encode(), f.read(),
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
        verdict = self.verify("sha256", b"pay 9", bytes.fromhex(envelope[16:]),
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
            verdict = self.verify("sha256", b"pay 5", f.read(),
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
        verdict = self.verify("sha256", b"pay 7", bytes.fromhex(envelope[16:]),
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


if __name__ == "__main__":
    main()
