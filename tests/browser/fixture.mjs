// What the browser scenario and the browser demo stand on: a SoftHSM2 token behind the
// forwarding module, a temporary HOME with the bridge installed for it, a web server on
// 127.0.0.1 for the pages, native hosts found by the run they belong to, and signatures checked
// with the openssl command.
import { execFileSync, spawn } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import http from "node:http";
import https from "node:https";
import os from "node:os";
import path from "node:path";
import { createRequire } from "node:module";

// Chromium reads its policies only from system folders: a run that lays one down re-runs itself
// in a private mount namespace (with a user namespace when not root) and exits with its status.
// Returns in that second run.
export function runInPrivateMountNamespace() {
  if (process.env.VELLUM_BROWSER_NAMESPACE) return;
  const unshare = ["--mount", "--propagation", "private"];
  if (process.getuid() !== 0) unshare.unshift("--user", "--map-root-user");
  try {
    execFileSync("unshare", [...unshare, process.execPath, ...process.argv.slice(1)],
      { stdio: "inherit", env: { ...process.env, VELLUM_BROWSER_NAMESPACE: "1" } });
    process.exit(0);
  } catch (error) {
    process.exit(error.status || 1);
  }
}

export function parseArgs(argv) {
  const args = {};
  for (let i = 0; i < argv.length; i += 2) {
    if (!argv[i].startsWith("--")) throw new Error(`unexpected argument ${argv[i]}`);
    args[argv[i].slice(2)] = argv[i + 1];
  }
  return args;
}

export function loadPuppeteer(depsDir) {
  return createRequire(path.join(depsDir, "package.json"))("puppeteer-core");
}

export function temporaryDirectory(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// Provisions (or, for the demo, reuses) a token: {conf, pin, serial, subject, der, pem}.
export function provisionToken(tokenkit, dir, options = []) {
  const out = execFileSync(tokenkit, ["provision", dir, ...options], { encoding: "utf8" });
  const fields = Object.fromEntries(out.trim().split("\n").map((l) => [l.slice(0, l.indexOf("=")), l.slice(l.indexOf("=") + 1)]));
  return { conf: fields.SOFTHSM2_CONF, pin: fields.pin, serial: fields.serial, subject: fields.subject,
           der: fs.readFileSync(fields.der), pem: fields.certificate };
}

// The environment a browser (and so its native hosts) runs with: the temporary HOME and the
// forwarding module's settings, nothing of the caller's own.
// The test pinentry, which the bridge settings name: the forwarding module supplies no PIN, so
// the token is one without a PIN pad and vellum's PIN module asks for its PIN at every login.
export const FAKE_PINENTRY = path.join(path.dirname(new URL(import.meta.url).pathname), "..", "tokenkit", "fake_pinentry.py");

export function browserEnvironment({ home, token, softhsm, callLog, runId, pinentryAnswers, pinentryLog }) {
  const env = {};
  for (const [k, v] of Object.entries(process.env)) {
    if (!k.startsWith("VELLUM_P11FWD_") && !k.startsWith("VELLUM_PIN_") && !k.startsWith("FAKE_PINENTRY_") &&
        !k.startsWith("XDG_") && k !== "SOFTHSM2_CONF") env[k] = v;
  }
  Object.assign(env, {
    HOME: home,
    SOFTHSM2_CONF: token.conf,
    VELLUM_P11FWD_TARGET: softhsm,
    VELLUM_P11FWD_NO_TTY: "1",
    FAKE_PINENTRY_ANSWERS: pinentryAnswers,
    FAKE_PINENTRY_LOG: pinentryLog,
    VELLUM_P11FWD_HIDE_UNINITIALIZED: "1",
    VELLUM_P11FWD_LOG: callLog,
    VELLUM_BROWSER_RUN: runId,
  });
  env.XDG_RUNTIME_DIR = runtimeFolder(home);
  return env;
}

// A runtime folder (XDG_RUNTIME_DIR) in `parent`, for the token locks of this run's hosts: a
// test beside it on the same forwarding module would otherwise hold them and make these hosts
// wait.
export function runtimeFolder(parent) {
  const folder = path.join(parent, ".runtime");
  fs.mkdirSync(folder, { recursive: true, mode: 0o700 });
  return folder;
}

// `vellum-host bridge install` for the temporary HOME (and Chromium profile), with the
// forwarding module recorded as the token module: nothing sits at the fixed path here.
// bridge install records a token module only where nobody but root and the user can change it,
// and a run's tree may lie under /tmp, which anyone may write. Inside the run's private mount
// namespace the module's folder is reached again under a tmpfs at /mnt: the path to record.
// Elsewhere the module's own path.
export function recordableModule(module) {
  if (!process.env.VELLUM_BROWSER_NAMESPACE) return module;
  const bound = "/mnt/vellum-kit";
  if (!fs.existsSync(bound)) {
    execFileSync("mount", ["-t", "tmpfs", "-o", "mode=0755", "vellum-kit", "/mnt"]);
    fs.mkdirSync(bound, { mode: 0o755 });
    execFileSync("mount", ["--bind", path.dirname(module), bound]);
  }
  return path.join(bound, path.basename(module));
}

export function installBridge({ host, fwd, env, browser, userDataDir }) {
  const args = ["bridge", "install", "--user", "--browser", browser, "--token-module", recordableModule(fwd)];
  if (userDataDir) args.push("--user-data-dir", userDataDir);
  const out = execFileSync(host, args, { env, encoding: "utf8" });
  // The pinentry to run, named in the settings file install wrote (install keeps it).
  const settings = path.join(env.HOME, ".config", "vellum", "bridge.json");
  fs.writeFileSync(settings, JSON.stringify({ ...JSON.parse(fs.readFileSync(settings, "utf8")), pinentry: FAKE_PINENTRY }));
  return out;
}

// vellum-host processes of this run (native hosts started by the browser or the NPAPI relay),
// by process id.
export function nativeHosts(host, runId) {
  const program = fs.realpathSync(host);
  const pids = [];
  for (const entry of fs.readdirSync("/proc")) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      if (fs.readlinkSync(`/proc/${entry}/exe`) !== program) continue;
      const environ = fs.readFileSync(`/proc/${entry}/environ`, "utf8").split("\0");
      const state = fs.readFileSync(`/proc/${entry}/stat`, "utf8").split(") ")[1][0];
      if (environ.includes(`VELLUM_BROWSER_RUN=${runId}`) && state !== "Z") pids.push(Number(entry));
    } catch { /* gone meanwhile */ }
  }
  return pids;
}

export function callLogLines(file) {
  try { return fs.readFileSync(file, "utf8").split("\n").filter(Boolean); } catch { return []; }
}

// "US65001:" + 8-digit count N + N hexadecimal digits -> the signature's bytes.
export function signatureBytes(envelope) {
  const match = /^US65001:(\d{8})([0-9A-F]*)$/.exec(envelope);
  if (!match || Number(match[1]) !== match[2].length) throw new Error(`not a signature envelope: ${envelope}`);
  return Buffer.from(match[2], "hex");
}

// openssl dgst -HASH -verify on the certificate's public key; returns the command's output.
export function opensslVerify({ dir, certificateDer, hash, data, signature }) {
  const stem = path.join(dir, `verify-${crypto.randomUUID()}`);
  fs.writeFileSync(`${stem}.der`, certificateDer);
  fs.writeFileSync(`${stem}.txt`, data);
  fs.writeFileSync(`${stem}.sig`, signature);
  execFileSync("openssl", ["x509", "-inform", "DER", "-in", `${stem}.der`, "-pubkey", "-noout", "-out", `${stem}.pub`]);
  return execFileSync("openssl", ["dgst", `-${hash}`, "-verify", `${stem}.pub`, "-signature", `${stem}.sig`, `${stem}.txt`],
    { encoding: "utf8" }).trim();
}

// One native host process spoken to directly (the NPAPI relay below), framed as browsers do.
class HostConnection {
  constructor(host, env) {
    this.child = spawn(host, ["native-messaging"], { env, stdio: ["pipe", "pipe", "inherit"] });
    this.buffer = Buffer.alloc(0);
    this.waiting = [];
    this.nextId = 1;
    this.child.stdout.on("data", (chunk) => this.receive(chunk));
    this.child.on("exit", () => { for (const w of this.waiting) w.reject(new Error("native host exited")); this.waiting = []; });
  }

  receive(chunk) {
    this.buffer = Buffer.concat([this.buffer, chunk]);
    while (this.buffer.length >= 4 && this.buffer.length >= 4 + this.buffer.readUInt32LE(0)) {
      const length = this.buffer.readUInt32LE(0);
      const frame = JSON.parse(this.buffer.subarray(4, 4 + length).toString("utf8"));
      this.buffer = this.buffer.subarray(4 + length);
      if ("part" in frame) {
        this.pieces = frame.part === 1 ? [frame.data] : [...this.pieces, frame.data];
        if (frame.part < frame.parts) continue;
        this.deliver(JSON.parse(this.pieces.join("")));
      } else {
        this.deliver(frame);
      }
    }
  }

  deliver(answer) {
    const index = this.waiting.findIndex((w) => w.id === answer.id);
    if (index >= 0) this.waiting.splice(index, 1)[0].resolve(answer);
  }

  request(fields) {
    const id = this.nextId++;
    const body = Buffer.from(JSON.stringify({ id, ...fields }), "utf8");
    const header = Buffer.alloc(4);
    header.writeUInt32LE(body.length, 0);
    return new Promise((resolve, reject) => {
      this.waiting.push({ id, resolve, reject });
      this.child.stdin.write(Buffer.concat([header, body]));
    });
  }

  close() { this.child.stdin.end(); }
}

// A self-signed certificate for the https pages (names under .test, which both browsers are
// told to resolve here and whose certificate errors they are told to accept).
export function testCertificate(dir) {
  const key = path.join(dir, "server-key.pem");
  const cert = path.join(dir, "server-cert.pem");
  execFileSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=vellum test pages",
    "-addext", "subjectAltName=DNS:*.test", "-keyout", key, "-out", cert], { stdio: "ignore" });
  return { key: fs.readFileSync(key), cert: fs.readFileSync(cert) };
}

// The web server of the pages: the browser/ folder of the source tree (vellum.js, the demo),
// a blank page (sandboxed.html: the same, sandboxed by its header), a page that calls the
// bridge as it loads (asking.html; with ?click, when its button is clicked instead; with ?lib,
// through vellum.js; it reports
// its calls to GET /asked, which stats.asked counts, and their outcomes, which stats.outcomes
// lists as {page: its query, outcome, activation: its activationStart}), a page that frames other pages
// (framing.html?src=URL&src=URL...[&ask-on-activation]), and POST /npapi-relay, which carries the NPAPI emulation's synchronous calls
// to one native host per embed (see npapi-shim.js).
// asking.html's call: through window.vellumBridge, or through vellum.js (`lib`). Its outcome is
// "ok", the code, or "code:reason" (and window.until, a pause's end).
function asking(lib) {
  const call = lib ? "import('/vellum.js').then(({ Vellum }) => Vellum.connect()).then((v) => v.getVersion())" : "vellumBridge.getVersion()";
  return "fetch('/asked', { cache: 'no-store' }); window.asked = 'waiting'; " +
    "const told = (outcome) => { window.asked = outcome; fetch('/asked?' + new URLSearchParams({ page: location.search, outcome, " +
    "activation: performance.getEntriesByType('navigation')[0].activationStart }), { cache: 'no-store' }); }; " +
    `${call}.then(() => told('ok'), (e) => { window.until = e.until; told(e.reason ? e.code + ':' + e.reason : e.code); });`;
}

export async function startServer({ root, host, hostEnv, ports = 2, tls = null }) {
  const relays = new Map();
  const stats = { relayedCalls: 0, asked: 0, outcomes: [] };
  const types = { ".html": "text/html", ".js": "text/javascript", ".css": "text/css", ".png": "image/png" };
  const handler = async (req, res) => {
    const url = new URL(req.url, "http://127.0.0.1");
    if (url.pathname === "/blank.html" || url.pathname === "/sandboxed.html") {
      // sandboxed.html: the same page as the site serves untrusted content, in an opaque origin.
      const sandbox = url.pathname === "/sandboxed.html" ? { "content-security-policy": "sandbox allow-scripts" } : {};
      res.writeHead(200, { "content-type": "text/html", ...sandbox });
      return res.end("<!doctype html><title>blank</title><p>blank</p>");
    }
    if (url.pathname === "/asking.html") {
      // The outcome stays in window.asked (a code, or "ok"), for tests that look into the frame.
      res.writeHead(200, { "content-type": "text/html" });
      const ask = asking(url.searchParams.has("lib"));
      return res.end(url.searchParams.has("click")
        ? `<!doctype html><title>asking</title><button id="ask" onclick="${ask}">Ask</button>`
        : `<!doctype html><title>asking</title><script>${ask}</script>`);
    }
    if (url.pathname === "/asked") {
      if (url.searchParams.has("outcome")) stats.outcomes.push(Object.fromEntries(url.searchParams));
      else stats.asked++;
      res.writeHead(204);
      return res.end();
    }
    if (url.pathname === "/framing.html") {
      const frames = url.searchParams.getAll("src").map((src) => `<iframe src="${src.replace(/[<>"]/g, "").replace(/&/g, "&amp;")}"></iframe>`).join("");
      // ?ask-on-activation: the framing page itself calls once it has the user's activation
      // (as a frame around the one the user clicked gets it).
      const asks = url.searchParams.has("ask-on-activation")
        ? `<script>const poll = setInterval(() => { if (navigator.userActivation.isActive) { clearInterval(poll); ${asking(false)} } }, 10);</script>`
        : "";
      res.writeHead(200, { "content-type": "text/html" });
      return res.end(`<!doctype html><title>framing</title>${frames}${asks}`);
    }
    if (url.pathname === "/npapi-relay" && req.method === "POST") {
      const chunks = [];
      for await (const c of req) chunks.push(c);
      const { embed, request } = JSON.parse(Buffer.concat(chunks).toString("utf8"));
      if (!relays.has(embed)) relays.set(embed, new HostConnection(host, hostEnv));
      stats.relayedCalls++;
      const answer = await relays.get(embed).request(request).catch((e) => ({ error: { code: "host-exited", message: e.message } }));
      res.writeHead(200, { "content-type": "application/json" });
      return res.end(JSON.stringify(answer));
    }
    const file = path.join(root, path.normalize(url.pathname).replace(/^(\.\.[/\\])+/, ""));
    if (!file.startsWith(root + path.sep) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      res.writeHead(404);
      return res.end();
    }
    res.writeHead(200, { "content-type": types[path.extname(file)] || "application/octet-stream" });
    fs.createReadStream(file).pipe(res);
  };
  const servers = [];
  const serve = (req, res) => handler(req, res).catch((e) => { res.writeHead(500); res.end(String(e)); });
  for (let i = 0; i < ports + (tls ? 1 : 0); i++) {
    const server = tls && i === ports ? https.createServer(tls, serve) : http.createServer(serve);
    await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
    servers.push(server);
  }
  return {
    ports: servers.slice(0, ports).map((s) => s.address().port),
    httpsPort: tls ? servers[ports].address().port : null,
    stats,
    close() {
      for (const relay of relays.values()) relay.close();
      for (const s of servers) { s.closeAllConnections(); s.close(); }
    },
  };
}

// Chromium's process that runs extensions: the one below the browser whose command line says so.
export function extensionProcess(browserPid) {
  const parents = new Map();
  const lines = new Map();
  for (const entry of fs.readdirSync("/proc")) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      parents.set(Number(entry), Number(fs.readFileSync(`/proc/${entry}/stat`, "utf8").split(") ")[1].split(" ")[1]));
      // Chromium retitles the processes it forks: their command line is one string.
      lines.set(Number(entry), fs.readFileSync(`/proc/${entry}/cmdline`, "utf8").split(/[\0 ]/).filter(Boolean));
    } catch { /* gone meanwhile */ }
  }
  const below = (pid) => { for (let p = parents.get(pid); p; p = parents.get(p)) if (p === browserPid) return true; return false; };
  const found = [...lines].filter(([pid, line]) => below(pid) &&
    line.includes("--extension-process"));
  if (found.length !== 1) throw new Error(`${found.length} extension processes below ${browserPid}`);
  return found[0][0];
}

// A process's resident memory now and at its peak (VmRSS, VmHWM), in bytes.
export function memoryOf(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, "utf8");
  const kib = (field) => Number(new RegExp(`^${field}:\\s+(\\d+) kB`, "m").exec(status)[1]) * 1024;
  return { rss: kib("VmRSS"), peak: kib("VmHWM") };
}

// Starts a process's peak (VmHWM) again from its resident memory now.
export function resetPeakMemory(pid) {
  fs.writeFileSync(`/proc/${pid}/clear_refs`, "5");
}

// Bytes written to a process's pipes and not read yet (FIONREAD on each pipe it holds, opened
// anew through /proc; Node offers no ioctl, so Python asks).
export function unreadPipeBytes(pid) {
  const script = `import array, fcntl, os, sys, termios
total = 0
for fd in os.listdir(f"/proc/{sys.argv[1]}/fd"):
    path = f"/proc/{sys.argv[1]}/fd/{fd}"
    try:
        if not os.readlink(path).startswith("pipe:"): continue
        f = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        n = array.array("i", [0]); fcntl.ioctl(f, termios.FIONREAD, n); os.close(f); total += n[0]
    except OSError: pass
print(total)`;
  return Number(execFileSync("python3", ["-c", script, String(pid)], { encoding: "utf8" }));
}
