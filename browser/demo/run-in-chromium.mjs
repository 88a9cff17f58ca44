// The browser half of './run demo': the demo page, served from 127.0.0.1, in headless Chromium
// with the bridge extension, through `vellum-host native-messaging` and the plug-in to the demo
// token. Clicks Allow in the consent window, picks sha256, signs, has openssl verify the
// signature the page got, saves a screenshot, and ends with a VERDICT line.
//
//   node browser/demo/run-in-chromium.mjs BUILD_DIR
//
// Writes only a temporary folder (HOME with the bridge installed, the browser profile) and
// BUILD_DIR/browser-demo.png; the token is BUILD_DIR/demo-token, as for the command-line demo.
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { launch, until } from "../../tests/browser/drivers.mjs";
import {
  browserEnvironment, installBridge, loadPuppeteer, opensslVerify, provisionToken, signatureBytes, startServer,
  temporaryDirectory,
} from "../../tests/browser/fixture.mjs";

const source = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
const build = path.resolve(process.argv[2] || path.join(source, "build"));
const host = path.join(build, "host/vellum-host");
const fwd = path.join(build, "tests/kit/tokenkit/libvellum_p11fwd.so");
const tokenkit = path.join(build, "tests/kit/tokenkit/vellum-tokenkit");
const deps = path.join(build, "tests/browser/node");
const screenshot = path.join(build, "browser-demo.png");
const softhsm = /^VELLUM_SOFTHSM2_MODULE:[A-Z]*=(.*)$/m.exec(fs.readFileSync(path.join(build, "CMakeCache.txt"), "utf8"))[1];

const say = (text) => console.log(`   ${text}`);
function verdictFailed(why) {
  console.log(`\nVERDICT: FAILED - ${why}`);
  process.exit(1);
}

const work = temporaryDirectory("vellum-demo-");
const home = path.join(work, "home");
const profile = path.join(work, "profile");
fs.mkdirSync(home);
let browser = null;
let server = null;
try {
  console.log("\n== 7. The same token from a web page: headless Chromium, the vellum bridge extension,");
  console.log("==    vellum-host as its native messaging host");
  const token = provisionToken(tokenkit, path.join(build, "demo-token"), ["--label", "demo", "--bits", "2048"]);
  // The forwarding module supplies no PIN: vellum's PIN module asks it through the test
  // pinentry that installBridge names, which answers with the demo token's PIN.
  const pinentryAnswers = path.join(work, "pinentry-answers");
  fs.writeFileSync(pinentryAnswers, `every pin ${token.pin}\n`);
  const env = browserEnvironment({ home, token, softhsm, callLog: path.join(work, "calls.log"), runId: path.basename(work),
    pinentryAnswers, pinentryLog: path.join(work, "pinentry.log") });
  installBridge({ host, fwd, env, browser: "chromium", userDataDir: profile });
  say(`$ vellum-host bridge install --user --browser chromium --user-data-dir PROFILE --token-module ${path.relative(process.cwd(), fwd)}`);
  server = await startServer({ root: path.join(source, "browser"), host, hostEnv: env, ports: 1 });
  const url = `http://127.0.0.1:${server.ports[0]}/demo/index.html`;
  browser = await launch("chromium", {
    puppeteer: loadPuppeteer(deps), extension: path.join(source, "browser/extension"), profile, env,
    resolveToLocal: "vellum-bridge.test",
  });
  const page = await browser.open(url);
  say(`page: ${url}`);
  const origin = await browser.answerConsent(true);
  say(`consent window for ${origin}: Allow`);
  const stateIs = (...states) => async () => states.includes(await browser.eval(page, "document.body.dataset.state"));
  await until("the page to list the certificates", stateIs("ready", "failed", "unavailable"));
  const options = await browser.eval(page, `[...document.getElementById("certificate").options].map((o) => o.textContent)`);
  say(`certificates listed by the page: ${options.join(", ") || "none"}`);
  if (!options.some((o) => o.includes(token.serial))) verdictFailed(`the page did not list the token's certificate ${token.serial}`);

  await browser.eval(page, `(document.getElementById("hash").value = "sha256", document.getElementById("sign").click(), true)`);
  await until("the page to sign", stateIs("signed", "failed"));
  const [envelope, lastError, text] = await browser.eval(page, `["envelope", "last-error", "text"].map((id) => document.getElementById(id).value)`);
  say(`text: "${text}"`);
  say(`envelope: ${envelope.slice(0, 48)}... (${envelope.length} characters), LastError "${lastError}"`);
  await browser.screenshot(page, screenshot, "main");
  say(`screenshot: ${path.relative(process.cwd(), screenshot)}`);

  let signature;
  try { signature = signatureBytes(envelope); } catch { verdictFailed(`the page got no signature (LastError "${lastError}")`); }
  say("$ openssl dgst -sha256 -verify pubkey.pem -signature signature.bin text.txt");
  let verified;
  try {
    verified = opensslVerify({ dir: work, certificateDer: token.der, hash: "sha256", data: text, signature });
  } catch (error) {
    verdictFailed(`OpenSSL did not verify the signature the page got: ${String(error.stdout || error.message).trim()}`);
  }
  say(verified);
  console.log("\nVERDICT: OK - OpenSSL verified the signature a web page got from the token through the extension and the native host.");
} catch (error) {
  verdictFailed(String(error && error.message || error));
} finally {
  if (browser) await browser.close().catch(() => {});
  if (server) server.close();
  fs.rmSync(work, { recursive: true, force: true });
}
