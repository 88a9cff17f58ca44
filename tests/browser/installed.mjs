// The Debian package as a person gets it (label "package"): installed with dpkg in a private
// mount namespace whose /usr, /etc, /opt and /var/lib are overlays over the machine's (so
// the machine is left as it was), SoftHSM2's module recorded as it is with `vellum-host bridge
// install --system`, doctor as a normal user, what a person meets with only pinentry-curses,
// then the demo page in Chromium started through Debian's /usr/bin/chromium
// and in Firefox ESR, each with a fresh profile and no extension of the test's own: the
// installed extension lists the token's certificate and signs through the installed host, and
// openssl verifies. Last, removing and purging the package leave nothing of it, and every
// folder that was there before (/etc/opt and /etc/chromium among them, made empty where
// missing) is still there.
//
//   node installed.mjs --deb-dir DIR --softhsm MODULE --deps NODE_DIR
//                      --source SOURCE_DIR [--browsers chromium,firefox] [--key PACKING_KEY]
import { execFileSync, spawnSync } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { CHROMIUM_EXTENSION_ID, GECKO_ID, launch, until } from "./drivers.mjs";
import {
  FAKE_PINENTRY, browserEnvironment, loadPuppeteer, nativeHosts, opensslVerify, parseArgs, runtimeFolder, signatureBytes, startServer,
  temporaryDirectory,
} from "./fixture.mjs";

const SKIP = 77;
const args = Object.fromEntries(Object.entries(parseArgs(process.argv.slice(2)))
  .map(([k, v]) => [k, k === "browsers" ? v : path.resolve(v)]));
const browsers = (args.browsers || "chromium,firefox").split(",");
// --key PEM: the package was built with that packing key, so the Chromium extension is a crx
// whose id is the key's: the first 32 hex digits of SHA-256 of the DER public key, 0-f as a-p.
const extensionId = !args.key ? CHROMIUM_EXTENSION_ID : crypto.createHash("sha256")
  .update(crypto.createPublicKey(fs.readFileSync(args.key)).export({ type: "spki", format: "der" }))
  .digest("hex").slice(0, 32).replace(/[0-9a-f]/g, (c) => String.fromCharCode(97 + parseInt(c, 16)));

// The machine conditions this needs, checked before anything of the package: root (dpkg and the
// mounts) and overlayfs.
if (!process.env.VELLUM_PACKAGE_NAMESPACE) {
  if (process.getuid() !== 0) {
    console.log("SKIP: installing a package in a private mount namespace needs root");
    process.exit(SKIP);
  }
  if (!fs.readFileSync("/proc/filesystems", "utf8").split("\n").some((l) => l.endsWith("\toverlay"))) {
    console.log("SKIP: the kernel offers no overlay filesystem");
    process.exit(SKIP);
  }
  const run = spawnSync("unshare", ["--mount", "--propagation", "private", process.execPath, fileURLToPath(import.meta.url),
    ...process.argv.slice(2)], { stdio: "inherit", env: { ...process.env, VELLUM_PACKAGE_NAMESPACE: "1" } });
  process.exit(run.status ?? 1);
}

const failures = [];
function check(condition, what) {
  console.log(`${condition ? "ok  " : "FAIL"} ${what}`);
  if (!condition) failures.push(what);
}
const run = (program, argv, options = {}) => execFileSync(program, argv, { encoding: "utf8", ...options });
const exists = (file) => { try { fs.lstatSync(file); return true; } catch { return false; } };

const HOST = "/usr/bin/vellum-host";
const CHROMIUM_MANIFESTS = ["/etc/chromium/native-messaging-hosts", "/etc/opt/chrome/native-messaging-hosts",
  "/etc/opt/edge/native-messaging-hosts"].map((d) => path.join(d, "vellum.bridge.json"));
const FIREFOX_MANIFEST = "/usr/lib/mozilla/native-messaging-hosts/vellum.bridge.json";
const SETTINGS = "/etc/vellum/bridge.json";
// The browsers' folders the package links into; folders of theirs it must never remove.
const SHARED_FOLDERS = ["/etc/opt", "/etc/chromium"];

const work = temporaryDirectory("vellum-package-");
process.env.XDG_RUNTIME_DIR = runtimeFolder(work);
// The overlays' upper layers live on a tmpfs of this namespace: an overlay's upper layer cannot
// be on another overlay, which the temporary folder may be on.
const layers = path.join(work, "layers");
fs.mkdirSync(layers);
run("mount", ["-t", "tmpfs", "vellum-layers", layers]);
for (const folder of ["/usr", "/etc", "/opt", "/var/lib"]) {
  if (!fs.existsSync(folder)) continue;
  const name = folder.slice(1).replaceAll("/", "-");
  const upper = path.join(layers, name, "upper");
  const scratch = path.join(layers, name, "work");
  fs.mkdirSync(upper, { recursive: true });
  fs.mkdirSync(scratch, { recursive: true });
  run("mount", ["-t", "overlay", `overlay-${name}`, "-o", `lowerdir=${folder},upperdir=${upper},workdir=${scratch}`, folder]);
}

const deb = fs.readdirSync(args["deb-dir"]).filter((f) => /^vellum_.*\.deb$/.test(f)).map((f) => path.join(args["deb-dir"], f));
if (deb.length !== 1) throw new Error(`expected one vellum_*.deb in ${args["deb-dir"]}, found ${deb.length}`);
const dpkg = (...argv) => run("dpkg", ["--log=/dev/null", ...argv]);

let browser = null;
let server = null;
try {
  // --- Installed as a person would: the package, then the token module line of the README.
  // Folders a browser's package or an administrator made before: dpkg removes an empty folder
  // a removed package listed unless another package lists it too, so these stay only if the
  // package neither lists them nor leaves postrm to remove them.
  for (const folder of SHARED_FOLDERS) fs.mkdirSync(folder, { recursive: true });
  const listed = run("tar", ["-t"], { input: run("dpkg-deb", ["--fsys-tarfile", deb[0]], { encoding: "buffer", maxBuffer: 1 << 30 }) })
    .split("\n").filter(Boolean).map((p) => path.posix.join("/", p).replace(/\/$/, "")).filter((p) => p !== "");
  // What postinst links, read from the script itself: "LINK TARGET" lines.
  const control = path.join(work, "control");
  run("dpkg-deb", ["--control", deb[0], control]);
  const links = [...fs.readFileSync(path.join(control, "postinst"), "utf8").matchAll(/^(\/\S+) (\/usr\/share\/vellum\/\S+)$/gm)]
    .map(([, link, target]) => ({ link, target }));
  const above = (p) => { const all = []; for (let at = path.dirname(p); at !== "/"; at = path.dirname(at)) all.push(at); return all; };
  const named = [...new Set([...listed, ...links.flatMap(({ link }) => [link, ...above(link)])])];
  const before = named.filter((p) => fs.statSync(p, { throwIfNoEntry: false })?.isDirectory());
  const fresh = named.filter((p) => !exists(p));
  const baseFolders = ["/usr", "/usr/bin", "/usr/lib", "/usr/share", "/usr/share/doc", "/usr/share/man", "/usr/share/man/man1"];
  const outside = listed.filter((p) => !baseFolders.includes(p) &&
    !/^\/usr\/(bin\/vellum-host|lib\/vellum|share\/vellum|share\/doc\/vellum|share\/man\/man1\/vellum-host\.1\.gz)(\/|$)/.test(p));
  check(outside.length === 0, `the package lists nothing outside its own folders but ${baseFolders.join(", ")} (${outside.join(", ") || "none"})`);
  check(links.length >= 5, `postinst names the links it makes (${links.length})`);
  dpkg("-i", deb[0]);
  check(links.every(({ link, target }) => fs.readlinkSync(link) === target && fs.existsSync(link)),
        "postinst links the manifests and extensions into the browsers' folders");
  check(!exists("/etc/apparmor.d/vellum-host") && !listed.some((p) => /apparmor/.test(p)), "the package holds no AppArmor profile");
  const files = run("dpkg-query", ["-L", "vellum"]).split("\n").filter((f) => f && !fs.statSync(f, { throwIfNoEntry: false })?.isDirectory());
  check(files.includes(HOST) && files.includes("/usr/lib/vellum/libvellum.so"), "the package installs the host and its plug-in module");
  check(fs.existsSync(`/usr/lib/mozilla/extensions/{ec8030f7-c20a-464f-9b0e-13a3a9e97384}/${GECKO_ID}.xpi`),
        "the package installs the extension for Firefox (xpi)");
  if (!args.key) {
    check(fs.existsSync("/usr/share/chromium/extensions/vellum/manifest.json"), "the package installs the extension for Chromium, unpacked");
  } else {
    // The crx, named by an external-extension file per browser, instead of the unpacked folder.
    const named = ["/usr/share/chromium/extensions", "/usr/share/google-chrome/extensions"].map((d) => {
      try { return JSON.parse(fs.readFileSync(path.join(d, `${extensionId}.json`), "utf8")); } catch { return null; }
    });
    check(named.every((n) => n && fs.existsSync(n.external_crx) && n.external_version) && !exists("/usr/share/chromium/extensions/vellum"),
          `the package installs the crx for Chromium and Chrome under the key's id ${extensionId}, and no unpacked copy`);
  }
  const packaged = {
    chromium: fs.readFileSync("/usr/share/vellum/native-messaging-hosts/chromium.json", "utf8"),
    firefox: fs.readFileSync(FIREFOX_MANIFEST, "utf8"),
  };
  check(JSON.stringify(JSON.parse(packaged.chromium).allowed_origins) === JSON.stringify([`chrome-extension://${extensionId}/`]),
        `the Chromium-family manifest allows the extension's id ${extensionId}`);
  // The dynamic loader names every object it loads: the module must be the installed one.
  const loaded = spawnSync(HOST, ["info"], { encoding: "utf8", env: { ...process.env, LD_DEBUG: "files" } });
  check(loaded.status === 0 && /file=\/usr\/lib\/vellum\/libvellum\.so \[/.test(loaded.stderr),
        "the installed host loads the installed plug-in module");
  // Before a module is recorded status says so (and exits 1 where nothing loads at the fixed path).
  const status = spawnSync(HOST, ["bridge", "status", "--system"], { encoding: "utf8" }).stdout;
  check(!status.includes("not installed") && status.includes("token module: none recorded"),
        "bridge status: the package's manifests are installed, and it says no token module is recorded");

  // --- "Try it with a software token", the README's lines as they stand, right after the
  // package: the administrator's block (as root, `sudo` running its command, `apt install`
  // checking that the packages it names are installed: the test installs nothing), then the
  // person's block as that person, a new account in this namespace's /etc. It records SoftHSM2
  // as it is, with nothing in front but the package's PIN module.
  const readme = fs.readFileSync(path.join(args.source, "README.md"), "utf8");
  const tryIt = readme.slice(readme.indexOf("### Try it with a software token"));
  const [adminLines, personLines] = [...tryIt.slice(0, tryIt.indexOf("\n## ")).matchAll(/```sh\n([\s\S]*?)```/g)].map((m) => m[1]);
  const shims = path.join(work, "shims");
  fs.mkdirSync(shims);
  fs.writeFileSync(path.join(shims, "sudo"), "#!/bin/sh\nexec \"$@\"\n", { mode: 0o755 });
  fs.writeFileSync(path.join(shims, "apt"), "#!/bin/sh\n[ \"$1\" = install ] && shift && exec dpkg-query -W \"$@\"\n", { mode: 0o755 });
  const PERSON = "vellumtry";
  const personHome = path.join(work, "person-home");
  run("useradd", ["--create-home", "--home-dir", personHome, "--user-group", PERSON]);
  fs.chmodSync(work, 0o711);
  const recorded = run("sh", ["-e", "-c", adminLines], { env: { ...process.env, USER: PERSON, PATH: `${shims}:/usr/sbin:/usr/bin:/sbin:/bin` } });
  const personEnv = { PATH: "/usr/bin:/bin", HOME: personHome, USER: PERSON, LOGNAME: PERSON };
  const made = spawnSync("setpriv", ["--reuid", PERSON, "--regid", PERSON, "--init-groups", "sh", "-e", "-c", personLines],
    { encoding: "utf8", cwd: personHome, env: personEnv });
  const listing = made.stdout.trim().split("\n").pop().match(/^([0-9A-F]+) {2}Try Signer$/);
  check(made.status === 0 && listing, `the README's lines make a token, and vellum-host lists its certificate (${made.stdout.trim().split("\n").pop()} ${made.stderr.slice(-300)})`);
  const token = { conf: "/etc/softhsm/softhsm2.conf", pin: personLines.match(/--pin (\d+)/)[1], serial: listing?.[1] ?? "none",
                  der: fs.readFileSync(path.join(personHome, "try-cert.der")) };
  check(recorded.includes(SETTINGS), `bridge install --system records the token module in ${SETTINGS}`);
  check(CHROMIUM_MANIFESTS.every((m) => recorded.includes(`unchanged ${m} (`)) && !/^installed \/etc\//m.test(recorded),
        `bridge install --system says it left the package's links unchanged (${recorded.trim().replaceAll("\n", " | ")})`);
  // A user's view: the system-wide manifests serve them, no per-user one is wanted.
  const userStatus = run(HOST, ["bridge", "status"], { env: { ...process.env, HOME: path.join(work, "status-home") } });
  const userLines = userStatus.split("\n").filter((l) => / \(user\): /.test(l));
  const everyBrowser = ["chromium", "chrome", "edge", "brave", "vivaldi", "firefox"];
  check(everyBrowser.every((b) => userLines.some((l) => l.startsWith(`${b} (user): `))) &&
        userLines.every((l) => l.endsWith("serves every user")) && !userStatus.includes("not installed"),
        `bridge status: per-user manifests are not needed beside the system-wide ones (${userLines.join(" | ")})`);
  // What bridge install writes is what the package ships, so recording leaves the package intact.
  check(CHROMIUM_MANIFESTS.every((m) => fs.readFileSync(m, "utf8") === packaged.chromium) &&
        fs.readFileSync(FIREFOX_MANIFEST, "utf8") === packaged.firefox,
        "the manifests bridge install writes are the package's, byte for byte");
  check(run("dpkg", ["--verify", "vellum"]).trim() === "", "dpkg --verify finds the package's files unchanged");
  check(run(HOST, ["bridge", "status", "--system"]).includes(`token module: ${args.softhsm}`), "bridge status names the recorded module");

  const rootHome = path.join(work, "root-home");
  fs.mkdirSync(rootHome);
  const tokenEnv = (home) => ({ PATH: "/usr/bin:/bin", HOME: home, SOFTHSM2_CONF: token.conf });

  // Only pinentry-curses, Debian's `pinentry` pointing at it (as on most systems; made so in
  // this namespace's /usr and /etc), and no terminal, as when a browser starts the host: doctor
  // names the problem, and the failed signature's hint a graphical pinentry.
  for (const name of ["pinentry-gnome3", "pinentry-gtk-2", "pinentry-gtk2", "pinentry-qt", "pinentry-fltk"]) {
    fs.rmSync(path.join("/usr/bin", name), { force: true });
  }
  fs.rmSync("/etc/alternatives/pinentry", { force: true });
  fs.symlinkSync("/usr/bin/pinentry-curses", "/etc/alternatives/pinentry");
  const terminalOnly = spawnSync("setsid", ["-w", HOST, "doctor", "--json"],
    { encoding: "utf8", stdio: ["ignore", "pipe", "pipe"], env: tokenEnv(rootHome) });
  const curses = (JSON.parse(terminalOnly.stdout || "{}").problems || []).filter((p) => p.includes("asks in a terminal"));
  check(fs.existsSync("/usr/bin/pinentry") && curses.length === 1 && curses[0].includes("pinentry-gnome3"),
        `with only pinentry-curses, doctor names it as a problem for browsers (${curses.join(" | ") || terminalOnly.stdout.slice(0, 300)})`);
  const unsigned = spawnSync("setsid", ["-w", HOST, "--token-module", args.softhsm, "sign", token.serial, "--hash", "sha256", "--data", "x"],
    { encoding: "utf8", stdio: ["ignore", "pipe", "pipe"], env: tokenEnv(rootHome) });
  const hint = unsigned.stderr.split("\n").filter((l) => l.includes("hint:")).join(" ");
  check(unsigned.status !== 0 && unsigned.stderr.includes("Function not suppored(0x0054)") && hint.includes("pinentry-gnome3") &&
        !hint.includes("curses"), `without a terminal the signature fails and the hint names a graphical pinentry (${hint})`);

  // The package's PIN module asks the PIN through the pinentry the settings name from here on,
  // the test's, which answers from a file. The person runs it too, and the tree may lie in a
  // folder only root can enter: it is reached through a mount of this namespace's own.
  run("mount", ["-t", "tmpfs", "-o", "mode=0755", "vellum-pinentry", "/mnt"]);
  fs.mkdirSync("/mnt/tokenkit", { mode: 0o755 });
  run("mount", ["--bind", path.dirname(FAKE_PINENTRY), "/mnt/tokenkit"]);
  const pinentry = path.join("/mnt/tokenkit", path.basename(FAKE_PINENTRY));
  fs.writeFileSync(SETTINGS, JSON.stringify({ ...JSON.parse(fs.readFileSync(SETTINGS, "utf8")), pinentry }));

  // doctor as the README says, as that person, on the installed package: nothing to report.
  const asUser = spawnSync("setpriv", ["--reuid", PERSON, "--regid", PERSON, "--init-groups", HOST, "doctor", "--json"],
    { encoding: "utf8", cwd: personHome, env: personEnv });
  const userReport = JSON.parse(asUser.stdout || "{}");
  check(asUser.status === 0 && JSON.stringify(userReport.problems) === "[]",
        `doctor run as a normal user reports no problem (exit ${asUser.status}, problems ${JSON.stringify(userReport.problems)} ${asUser.stderr.slice(0, 300)})`);

  // --- The demo page in each browser, fresh profile, nothing of the test's own installed.
  const pinentryAnswers = path.join(work, "pinentry-answers");
  fs.writeFileSync(pinentryAnswers, `every pin ${token.pin}\n`);
  server = await startServer({ root: path.join(args.source, "browser"), host: HOST, hostEnv: {}, ports: 1 });
  const url = `http://127.0.0.1:${server.ports[0]}/demo/index.html`;
  for (const kind of browsers) {
    const home = path.join(work, `home-${kind}`);
    fs.mkdirSync(home);
    const runId = `${path.basename(work)}-${kind}`;
    const pinentryLog = path.join(work, `pinentry-${kind}.log`);
    const env = browserEnvironment({ home, token, softhsm: args.softhsm, callLog: path.join(work, `calls-${kind}.log`), runId,
      pinentryAnswers, pinentryLog });
    browser = await launch(kind, {
      puppeteer: kind === "chromium" ? loadPuppeteer(args.deps) : null, extension: null, extensionId,
      profile: path.join(work, `profile-${kind}`), env, resolveToLocal: "vellum-bridge.test",
    });
    const page = await browser.open(url);
    const origin = await browser.answerConsent(true);
    check(origin === `http://127.0.0.1:${server.ports[0]}`, `${kind}: the installed extension asks consent for the page's origin`);
    const stateIs = (...states) => async () => states.includes(await browser.eval(page, "document.body.dataset.state"));
    await until("the page to list the certificates", stateIs("ready", "failed", "unavailable"));
    const options = await browser.eval(page, `[...document.getElementById("certificate").options].map((o) => o.textContent)`);
    check(options.some((o) => o.includes(token.serial)), `${kind}: the demo page lists the token's certificate (${options.join(", ")})`);
    check(nativeHosts(HOST, runId).length > 0, `${kind}: the native host the browser started is the installed ${HOST}`);
    await browser.eval(page, `(document.getElementById("hash").value = "sha256", document.getElementById("sign").click(), true)`);
    await until("the page to sign", stateIs("signed", "failed"));
    const [envelope, lastError, text] = await browser.eval(page, `["envelope", "last-error", "text"].map((id) => document.getElementById(id).value)`);
    let verified = "";
    try {
      verified = opensslVerify({ dir: work, certificateDer: token.der, hash: "sha256", data: text, signature: signatureBytes(envelope) });
    } catch (error) {
      verified = `${error.message} (envelope ${envelope.slice(0, 40)}, LastError "${lastError}")`;
    }
    check(verified === "Verified OK", `${kind}: openssl verifies the signature the page got: ${verified}`);
    check(fs.existsSync(pinentryLog) && fs.readFileSync(pinentryLog, "utf8").trim() !== "",
          `${kind}: the PIN was asked through the pinentry the settings name`);
    await browser.close();
    browser = null;
    if (kind === "chromium") {
      // What the profile kept: the extension on, and developer mode never switched on.
      const prefs = JSON.parse(fs.readFileSync(path.join(work, `profile-${kind}`, "Default/Preferences"), "utf8"));
      const entry = prefs.extensions?.settings?.[extensionId];
      const reasons = entry?.disable_reasons;
      const disabled = Array.isArray(reasons) ? reasons.length > 0 : Boolean(reasons);
      check(entry && !disabled && prefs.extensions?.ui?.developer_mode !== true,
            `chromium: the profile has the extension enabled and developer mode off (${JSON.stringify({ location: entry?.location, disable_reasons: reasons, developer_mode: prefs.extensions?.ui?.developer_mode })})`);
    }
  }

  // --- Removed: every file of the package goes; the recorded module stays until purge.
  dpkg("-r", "vellum");
  const left = [...files, ...links.map(({ link }) => link)].filter(exists);
  check(left.length === 0, `removing leaves no file of the package (left: ${left.join(", ") || "none"})`);
  check(![...CHROMIUM_MANIFESTS, FIREFOX_MANIFEST, HOST].some(exists) && !exists("/usr/share/chromium/extensions/vellum") &&
        !exists(`/usr/share/chromium/extensions/${extensionId}.json`) && !exists("/var/lib/vellum"),
        "removing takes the host, its manifests, the extension and postinst's notes of its links");
  check(exists(SETTINGS), "removing keeps the recorded token module");
  dpkg("--purge", "vellum");
  check(!exists("/etc/vellum"), "purging takes /etc/vellum");
  const stayed = fresh.filter(exists);
  check(fresh.length > 0 && stayed.length === 0, `purging leaves nothing the package made (left: ${stayed.join(", ") || "none"})`);
  const gone = before.filter((p) => !exists(p));
  check(SHARED_FOLDERS.every((f) => before.includes(f)) && gone.length === 0,
        `every folder the package names that was there before is there after purging (gone: ${gone.join(", ") || "none"})`);
} finally {
  if (browser) await browser.close().catch(() => {});
  if (server) server.close();
  // The overlays and the tmpfs go with this namespace; the temporary folder is the machine's.
  spawnSync("umount", ["--lazy", layers]);
  fs.rmSync(work, { recursive: true, force: true });
}
if (failures.length) {
  console.log(`${failures.length} check(s) failed`);
  process.exit(1);
}
