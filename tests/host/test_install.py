#!/usr/bin/env python3
"""bridge install, uninstall and status in a temporary home, as root and as a normal user.

Run through hostsuite.main(), which names its arguments.
"""
import base64
import hashlib
import json
import os
import shutil
import stat
import subprocess
import tempfile
import unittest

from hostsuite import (
    ARGS,
    Bridge,
    CHROMIUM_ID,
    EXTENSION_KEY,
    FIREFOX_ID,
    FIXED_MODULE_PATH,
    HostCase,
    become,
    call_log,
    folder_closed_to_others,
    run,
    run_as,
    token_env,
    main)


class BridgeInstallTest(HostCase):
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


if __name__ == "__main__":
    main()
