#!/usr/bin/env python3
"""The token module that bridge install records, as the native host and doctor take it.

Run through hostsuite.main(), which names its arguments.
"""
import ctypes
import json
import os
import shutil
import stat
import struct
import subprocess
import tempfile

from hostsuite import (
    ARGS,
    Bridge,
    CHROMIUM_ID,
    FIREFOX_ID,
    FIXED_MODULE_PATH,
    HostCase,
    SERIAL,
    SUBJECT_NAME,
    become,
    folder_closed_to_others,
    normal_user_folder,
    run,
    run_as,
    softhsm_conf,
    token_dirs,
    token_env,
    main)


class RecordedTokenModuleTest(HostCase):
    """bridge install --token-module, and the host started as a browser starts it, as root and
    as a normal user, also where no user namespace can be entered."""
    maxDiff = None

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


if __name__ == "__main__":
    main()
