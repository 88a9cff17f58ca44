// A page's call through the browser bridge against the least a browser needs for the same trip,
// side by side in one run of each browser (headless Debian chromium and firefox-esr):
//
//   bare          the bare extension (bare-extension/) + the bare host (bare-host.c)
//   vellum-host   the bare extension + vellum-host native-messaging
//   vellum        the vellum extension + vellum-host, the page calling through vellum.js, its
//                 origin allowed by the user beforehand (through the consent window, as the
//                 browser tests do); the first call is Vellum.connect() and getVersion together
//   vellum-loaded the same, the page having called Vellum.connect() as it loaded (as vellum.js
//                 asks pages to): the extension starts an allowed site's host meanwhile
//
// Each sample is a new page (tab): its first call (getVersion: the browser starts the native
// host), then STEADY more getVersion calls on the same page, timed in the page. The pairs take
// turns, in an order that rotates, so that a busy spell of the machine falls on all of them.
//
//   node bench.mjs --host VELLUM_HOST --bare-host BARE_HOST --fwd P11FWD --softhsm MODULE
//                  --tokenkit TOKENKIT --deps NODE_DEPS_DIR --source SOURCE_DIR
//                  [--browsers chromium,firefox] [--pages 30] [--steady 10]
//
// Everything it writes is in one temporary folder. Chromium reads the administrator's policy
// only from /etc/chromium, so the run enters a private mount namespace with a tmpfs there: the
// vellum extension reads a managed list (naming another site) as it would in a managed install.
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { CHROMIUM_EXTENSION_ID, GECKO_ID, launch } from "../../tests/browser/drivers.mjs";
import {
  browserEnvironment, installBridge, loadPuppeteer, parseArgs, provisionToken, runInPrivateMountNamespace,
  temporaryDirectory,
} from "../../tests/browser/fixture.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
const args = { browsers: "chromium,firefox", pages: "30", steady: "10", ...parseArgs(process.argv.slice(2)) };
const kinds = args.browsers.split(",");
const pages = Number(args.pages);
const steady = Number(args.steady);

const BARE_EXTENSION = path.join(here, "bare-extension");
const BARE_CHROMIUM_ID = "fiiaokiapipipecibkmbnancebdgecho";
const BARE_GECKO_ID = "bare@bench.vellum.example";
const BARE_SITE = "bare.bench.test";
// vellum-host knows it was started by Firefox by its manifest's name: the bare extension is let
// into vellum's own manifest.
const HOSTS = { bare: "vellum.bench_bare", "vellum-host": "vellum.bridge" };
const PAIRS = [
  ["bare", "bare extension + bare host"],
  ["vellum-host", "bare extension + vellum-host"],
  ["vellum", "vellum extension + vellum-host (vellum.js)"],
  ["vellum-loaded", "  the same, connect() as the page loads"],
];

runInPrivateMountNamespace();

const work = temporaryDirectory("vellum-browser-bench-");
process.on("exit", () => {
  try { fs.rmSync(work, { recursive: true, force: true, maxRetries: 3 }); } catch { /* a browser still writing */ }
});

// The pages. The bare one speaks to the bare extension's relay by events; the vellum one calls
// through vellum.js, which the page imports as any site would.
const BARE_PAGE = `<!doctype html><title>bare</title><script>
  const waiting = new Map();
  let nextId = 1;
  document.addEventListener("bench-bare:reply", (event) => {
    const answer = JSON.parse(event.detail);
    const resolve = waiting.get(answer.id);
    waiting.delete(answer.id);
    if (resolve) resolve(answer.result);
  });
  const getVersion = (host) => new Promise((resolve, reject) => {
    const id = nextId++;
    waiting.set(id, resolve);
    setTimeout(() => reject(new Error("no answer from the bare extension")), 20000);
    document.dispatchEvent(new CustomEvent("bench-bare:request",
      { detail: JSON.stringify({ host, request: { id, op: "call", name: "getVersion", args: [] } }) }));
  });
  window.bench = async (host, steady) => {
    const began = performance.now();
    const version = await getVersion(host);
    const first = performance.now() - began;
    const calls = [];
    for (let i = 0; i < steady; i++) {
      const t = performance.now();
      await getVersion(host);
      calls.push(performance.now() - t);
    }
    return { first, steady: calls, version };
  };
</script>`;
// vellum.html?loaded connects as it loads.
const VELLUM_PAGE = `<!doctype html><title>vellum</title><script type="module">
  import { Vellum } from "/vellum.js";
  const connected = location.search === "?loaded" ? Vellum.connect() : null;
  window.bench = async (steady) => {
    const began = performance.now();
    const vellum = await (connected || Vellum.connect());
    const version = await vellum.getVersion();
    const first = performance.now() - began;
    const calls = [];
    for (let i = 0; i < steady; i++) {
      const t = performance.now();
      await vellum.getVersion();
      calls.push(performance.now() - t);
    }
    return { first, steady: calls, version };
  };
</script>`;

function startServer() {
  const vellumJs = fs.readFileSync(path.join(args.source, "browser/vellum.js"));
  const server = http.createServer((req, res) => {
    const { pathname } = new URL(req.url, "http://127.0.0.1");
    const body = { "/bare.html": BARE_PAGE, "/vellum.html": VELLUM_PAGE, "/vellum.js": vellumJs }[pathname];
    if (body === undefined) {
      res.writeHead(404);
      return res.end();
    }
    res.writeHead(200, { "content-type": pathname.endsWith(".js") ? "text/javascript" : "text/html" });
    return res.end(body);
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve(server)));
}

// The bare extension's hosts, for the browser's profile (Chromium) or HOME (Firefox): the bare
// host, and vellum-host as `vellum-host bridge install` put it there.
function installBareHosts(kind, home, profile) {
  const dir = kind === "chromium" ? path.join(profile, "NativeMessagingHosts") : path.join(home, ".mozilla/native-messaging-hosts");
  const allowed = kind === "chromium" ? "allowed_origins" : "allowed_extensions";
  const bareId = kind === "chromium" ? `chrome-extension://${BARE_CHROMIUM_ID}/` : BARE_GECKO_ID;
  fs.writeFileSync(path.join(dir, `${HOSTS.bare}.json`), JSON.stringify(
    { name: HOSTS.bare, description: "vellum bench: bare host", path: fs.realpathSync(args["bare-host"]), type: "stdio", [allowed]: [bareId] }));
  const vellumFile = path.join(dir, `${HOSTS["vellum-host"]}.json`);
  const vellum = JSON.parse(fs.readFileSync(vellumFile, "utf8"));
  vellum[allowed] = [...vellum[allowed], bareId];
  fs.writeFileSync(vellumFile, JSON.stringify(vellum));
}

// The administrator's list of pre-allowed origins, where each browser reads managed storage.
function installPolicy(kind, home) {
  const allowedOrigins = ["https://sign.example.com"];
  if (kind === "chromium") {
    execFileSync("mount", ["-t", "tmpfs", "tmpfs", "/etc/chromium"]);
    fs.mkdirSync("/etc/chromium/policies/managed", { recursive: true });
    fs.writeFileSync("/etc/chromium/policies/managed/vellum.json",
      JSON.stringify({ "3rdparty": { extensions: { [CHROMIUM_EXTENSION_ID]: { allowedOrigins } } } }));
  } else {
    fs.mkdirSync(path.join(home, ".mozilla/managed-storage"), { recursive: true });
    fs.writeFileSync(path.join(home, `.mozilla/managed-storage/${GECKO_ID}.json`),
      JSON.stringify({ name: GECKO_ID, description: "vellum bench policy", type: "storage", data: { allowedOrigins } }));
  }
}

// Firefox coarsens performance.now() to 1 ms in pages; the figures need finer.
async function fineTimers(browser) {
  await browser.client.send("Marionette:SetContext", { value: "chrome" });
  try {
    await browser.client.send("WebDriver:ExecuteScript",
      { script: `Services.prefs.setBoolPref("privacy.reduceTimerPrecision", false)`, args: [] });
  } finally {
    await browser.client.send("Marionette:SetContext", { value: "content" });
  }
}

function summary(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = sorted.length >> 1;
  const median = sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
  return { median, min: sorted[0], max: sorted.at(-1), count: sorted.length };
}

const ms = (v) => (v >= 100 ? v.toFixed(0) : v >= 10 ? v.toFixed(1) : v.toFixed(2));
const range = (s) => `${ms(s.median)} (${ms(s.min)}-${ms(s.max)})`;

async function measure(kind, server, token) {
  const home = path.join(work, `${kind}-home`);
  const profile = path.join(work, `${kind}-profile`);
  fs.mkdirSync(home);
  const env = browserEnvironment({ home, token, softhsm: args.softhsm, callLog: "/dev/null", runId: path.basename(work) });
  installBridge({ host: args.host, fwd: args.fwd, env, browser: kind, userDataDir: kind === "chromium" ? profile : undefined });
  installBareHosts(kind, home, profile);
  installPolicy(kind, home);

  const vellumExtension = path.join(args.source, "browser/extension");
  const browser = await launch(kind, {
    puppeteer: kind === "chromium" ? loadPuppeteer(path.resolve(args.deps)) : null,
    // Chromium takes a list of folders; Firefox's driver installs one, the bare one follows.
    extension: kind === "chromium" ? `${vellumExtension},${BARE_EXTENSION}` : vellumExtension,
    profile, env, resolveToLocal: BARE_SITE,
  });
  try {
    if (kind === "firefox") {
      await browser.client.send("Addon:Install", { path: BARE_EXTENSION, temporary: true });
      await fineTimers(browser);
    }
    const port = server.address().port;
    const urls = { bare: `http://${BARE_SITE}:${port}/bare.html`, "vellum-host": `http://${BARE_SITE}:${port}/bare.html`,
                   vellum: `http://127.0.0.1:${port}/vellum.html`, "vellum-loaded": `http://127.0.0.1:${port}/vellum.html?loaded` };
    const run = async (pair, count) => {
      const tab = await browser.open(urls[pair]);
      try {
        return await browser.eval(tab, pair in HOSTS ? `window.bench(${JSON.stringify(HOSTS[pair])}, ${count})` : `window.bench(${count})`);
      } finally {
        await browser.closeTab(tab);
      }
    };

    // The user allows the bench's origin once, in the consent window.
    const asking = await browser.open(urls.vellum);
    await browser.eval(asking, `void (window.__seed = window.bench(0))`);
    await browser.answerConsent(true);
    await browser.eval(asking, `window.__seed`);
    await browser.closeTab(asking);
    // One page of each pair before measuring (the browser's own first-use costs).
    for (const [pair] of PAIRS) await run(pair, 1);

    const samples = Object.fromEntries(PAIRS.map(([pair]) => [pair, { first: [], steady: [] }]));
    for (let i = 0; i < pages; i++) {
      for (let k = 0; k < PAIRS.length; k++) {
        const [pair] = PAIRS[(i + k) % PAIRS.length];
        const { first, steady: calls } = await run(pair, steady);
        samples[pair].first.push(first);
        samples[pair].steady.push(...calls);
      }
    }
    return samples;
  } finally {
    await browser.close().catch(() => {});
  }
}

function report(kind, samples) {
  const version = execFileSync("dpkg-query", ["-W", "-f=${Version}", kind === "chromium" ? "chromium" : "firefox-esr"], { encoding: "utf8" });
  console.log(`${kind} ${version}: ${pages} new pages per pair, ${steady} steady calls on each; ms, median (min-max)`);
  const width = Math.max(...PAIRS.map(([, label]) => label.length));
  console.log(`  ${"pair".padEnd(width)}  ${"first call".padEnd(22)}  steady call`);
  const stats = {};
  for (const [pair, label] of PAIRS) {
    stats[pair] = { first: summary(samples[pair].first), steady: summary(samples[pair].steady) };
    console.log(`  ${label.padEnd(width)}  ${range(stats[pair].first).padEnd(22)}  ${range(stats[pair].steady)}`);
  }
  // The ratio of the medians, and the median of the ratios of the same round's pages (a busy
  // spell falls on both pages of a round alike).
  const paired = (a, b) => summary(samples[a].first.map((v, i) => v / samples[b].first[i])).median.toFixed(2);
  const ratio = (a, b) => `${(stats[a].first.median / stats[b].first.median).toFixed(2)} (paired x${paired(a, b)})`;
  const plus = (a, b) => (stats[a].steady.median - stats[b].steady.median).toFixed(2);
  console.log(`  vellum / bare:      first call x${ratio("vellum", "bare")}, steady call ${plus("vellum", "bare")} ms more` +
              ` (x${(stats.vellum.steady.median / stats.bare.steady.median).toFixed(2)})`);
  console.log(`  vellum-host / bare: first call x${ratio("vellum-host", "bare")}, steady call ${plus("vellum-host", "bare")} ms more`);
  console.log(`  vellum / vellum-host (the extension's share): first call x${ratio("vellum", "vellum-host")}, steady call ${plus("vellum", "vellum-host")} ms more`);
  console.log(`  vellum connected at load / bare: first call x${ratio("vellum-loaded", "bare")}, steady call ${plus("vellum-loaded", "bare")} ms more`);
}

const load = () => os.loadavg().map((v) => v.toFixed(2)).join(", ");
const token = provisionToken(args.tokenkit, path.join(work, "token"),
  ["--bits", "1024", "--label", "bench", "--subject", "/CN=Bench Signer/O=vellum", "--cache", path.join(work, "keys")]);
const server = await startServer();
let failed = false;
try {
  for (const kind of kinds) {
    const before = load();
    try {
      const samples = await measure(kind, server, token);
      report(kind, samples);
      console.log(`  load average (1, 5, 15 min) before: ${before}; after: ${load()}; ${os.cpus().length} cores`);
    } catch (error) {
      failed = true;
      console.log(`${kind}: the benchmark failed: ${error && error.stack || error}`);
    }
  }
} finally {
  server.closeAllConnections();
  server.close();
}
process.exit(failed ? 1 : 0);
