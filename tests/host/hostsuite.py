"""What the host suites share: their tokens, the native messaging frames, running as
another user, and the runner every suite file starts with main().

usage: test_ROOM.py --host PATH --plugin PATH --tokenkit PATH --fwd PATH --softhsm PATH
                    --work DIR --build DIR [--wrap COMMAND] [unittest arguments]
--wrap: a command (split at spaces) the native messaging host runs under, e.g. valgrind.
A suite exits 0 when every case passed, 1 on a failure (or when no case ran), and SKIPPED (77)
when a case was skipped, after naming each skipped case and why."""
import argparse
import json
import os
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest

ARGS = argparse.Namespace()  # filled in by main()
TOKEN = {}
OTHER_TOKEN = {}
EMPTY_TOKEN = {}
# A token whose PIN is asked through pinentry; its PIN's digits appear nowhere by chance.
PIN_TOKEN = {}
PIN_SERIAL = "9D1A1065"
# Where every suite reaches its files. As root a suite runs in a private mount namespace of its
# own (main) with a tmpfs at /mnt, where the folders it shares with hosts run as a normal user
# are bound: the tree may lie in a folder only its owner can enter, or under /tmp, where the host
# refuses a token module (anyone may take the name once the file goes).
SUITE_MOUNTS = "/mnt"
KIT_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tokenkit")
FAKE_PINENTRY = os.path.join(os.path.join(SUITE_MOUNTS, "tokenkit") if os.geteuid() == 0
                             else KIT_SOURCE, "fake_pinentry.py")

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


def sanitized(pid):
    """Whether the process runs with AddressSanitizer, whose allocator holds freed memory back
    and so says nothing of the host's own peak: the bounds are the normal tree's."""
    with open("/proc/%d/maps" % pid) as f:
        return "libasan" in f.read()


def memory_of(pid):
    """A process's VmRSS and VmHWM (its peak), in bytes."""
    with open("/proc/%d/status" % pid) as f:
        fields = dict(line.split(":", 1) for line in f)
    return {k: int(fields[k].split()[0]) * 1024 for k in ("VmRSS", "VmHWM")}


def call_log(path):
    with open(path) as f:
        return f.read().splitlines()


class HostCase(unittest.TestCase):
    """What every suite's cases call: vellum-host run on the test token, its answers
    checked, a signature verified with openssl."""

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


def become(uid):
    def preexec():
        os.setgroups([])
        os.setgid(uid)
        os.setuid(uid)
    return preexec


def run_as(cmd, env, preexec=None, cwd=None):
    return subprocess.run(cmd, capture_output=True, env=env, timeout=120, preexec_fn=preexec,
                          cwd=cwd)


def normal_user_folder():
    """A folder for a normal user's files, which that user can reach (see SUITE_MOUNTS)."""
    return tempfile.TemporaryDirectory(dir=SUITE_MOUNTS if os.geteuid() == 0 else ARGS.work)


def bind_into_suite_mounts(folder, name):
    """`folder` reached again as SUITE_MOUNTS/name; that path."""
    bound = os.path.join(SUITE_MOUNTS, name)
    os.mkdir(bound, 0o755)
    subprocess.run(["mount", "--bind", folder, bound], check=True)
    return bound


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
    if os.geteuid() == 0 and os.environ.get("VELLUM_HOST_SUITE_MOUNTS") != str(os.getpid()):
        # Entered once: exec keeps the process id, so the suite knows it is inside.
        os.environ["VELLUM_HOST_SUITE_MOUNTS"] = str(os.getpid())
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", "--",
                              sys.executable] + sys.argv)
    if os.geteuid() == 0:
        del os.environ["VELLUM_HOST_SUITE_MOUNTS"]
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "vellum-suite",
                        SUITE_MOUNTS], check=True)
        bind_into_suite_mounts(KIT_SOURCE, "tokenkit")
    parser = argparse.ArgumentParser()
    for name in ("host", "tokenkit", "fwd", "softhsm", "work", "build", "plugin"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--wrap", default="")
    parsed, rest = parser.parse_known_args()
    vars(ARGS).update(vars(parsed))
    # Fresh tokens for every run (a fraction of a second with the cached keys): a token left by
    # an older version of this test would not be the one it describes.
    shutil.rmtree(ARGS.work, ignore_errors=True)
    os.makedirs(ARGS.work)
    if os.geteuid() == 0:
        os.chmod(ARGS.work, 0o755)
        ARGS.work = bind_into_suite_mounts(ARGS.work, "work")
        ARGS.fwd = os.path.join(bind_into_suite_mounts(os.path.dirname(ARGS.fwd), "kit"),
                                os.path.basename(ARGS.fwd))
    os.mkdir(os.path.join(ARGS.work, "home"))
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
