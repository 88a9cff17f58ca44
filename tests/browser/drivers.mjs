// Chromium (through puppeteer-core) and Firefox (through Marionette) behind one small interface,
// so that one scenario runs against both:
//   open(url) -> tab          a new tab at url, loaded
//   eval(tab, expression)     the expression's value in the page, a promise awaited
//   closeTab(tab)
//   answerConsent(allow)      waits for the extension's consent window and for its buttons to
//                             answer, clicks Allow or Deny; the origin it named
//   lastConsentArmedAt        ms from that window's start to its buttons answering
//   consentWindowOpen()       whether a consent window is showing now
//   consentWindowText()       the text the consent window shows, once it names the origin
//   consentWindowCount()      how many consent windows are showing
//   closeConsentWindow()      waits for a consent window and closes it as a user would (not a
//                             button); the asking origin it named
//   frameEval(tab, i, expr)   the expression's value in the tab's i-th frame (i: an index, or
//                             a path of them into nested frames)
//   clickInFrame(tab, i, css) a trusted click on an element of the tab's i-th frame
//   click(tab, css)           a trusted click on an element of the tab's page
//   contentScriptEval(tab, expr)  the expression's value in the extension's content-script
//                             world of the tab's page, as a page's process that runs its own
//                             code there could (Chromium)
//   closeConsentWindows()     closes every consent window open (after a failed step)
//   stopBackground()          stops the extension's background (Chromium's service worker,
//                             Firefox's background page) as the browser does when it is idle
//   extensionPid()            the process id of the browser's process that runs the extension
//   consentWindowEval(expr)   the expression's value in the consent window
//   clickConsentAtOnce(allow) a trusted click on Allow or Deny as soon as the window names the
//                             origin, before its buttons answer; whether they were still
//                             waiting when it landed, or "closed" (the click decided)
//   extensionUrl(file)        the address of one of the extension's own pages
//   screenshot(tab, file, selector?)  the tab or one element of it (Chromium)
//   injectBeforeLoad(source)  script run in every new page before its own (Chromium)
//   close()
import { spawn } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { setTimeout as sleep } from "node:timers/promises";
import { Marionette } from "./marionette.mjs";
import { extensionProcess } from "./fixture.mjs";

export const CHROMIUM_EXTENSION_ID = "mjebmgbgliocagopgcnlkfnbbcoejmda";
export const GECKO_ID = "bridge@vellum.example";

// Polls until check() gives something truthy; the bound only keeps a broken run from hanging.
export async function until(what, check, { limitMs = 30000, everyMs = 50 } = {}) {
  const end = Date.now() + limitMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`gave up waiting for ${what}`);
    await sleep(everyMs);
  }
}

// In the consent window: when its buttons began to answer (the page marks it), once they do.
const ARMED_AT = () => !document.getElementById("allow")?.disabled &&
  performance.getEntriesByName("consent-armed")[0]?.startTime;

class ChromiumDriver {
  // extension: a folder to load unpacked; none: the extension the system installed, whose id
  // is extensionId (the pinned one unless it was packed with a key of its own).
  static async launch({ puppeteer, extension, extensionId = CHROMIUM_EXTENSION_ID, profile, env, resolveToLocal }) {
    const browser = await puppeteer.launch({
      executablePath: "/usr/bin/chromium",
      headless: true,
      userDataDir: profile,
      env,
      // --disable-default-apps also turns off the extensions a system installs as crx files.
      ignoreDefaultArgs: ["--disable-extensions", ...(extension ? [] : ["--disable-default-apps"])],
      args: [
        "--no-sandbox",
        // No extension given: the installed one, which Debian's launcher loads itself.
        ...(extension ? [`--load-extension=${extension}`, `--disable-extensions-except=${extension}`] : []),
        `--host-resolver-rules=MAP ${resolveToLocal} 127.0.0.1, MAP *.test 127.0.0.1`,
        // The https pages of *.test carry a self-signed certificate.
        "--ignore-certificate-errors",
        "--disable-features=HttpsUpgrades,HttpsFirstBalancedModeAutoEnable",
        "--window-size=900,700",
      ],
    });
    const driver = new ChromiumDriver(browser, extensionId);
    // The extension's background is up once its service worker target shows.
    await browser.waitForTarget((t) => t.url().startsWith(`chrome-extension://${extensionId}/`));
    return driver;
  }

  constructor(browser, extensionId) {
    this.name = "chromium";
    this.browser = browser;
    this.extensionId = extensionId;
    this.beforeLoad = [];
  }

  injectBeforeLoad(source) { this.beforeLoad.push(source); }

  async open(url) {
    const page = await this.browser.newPage();
    await page.setViewport({ width: 820, height: 640 });
    for (const source of this.beforeLoad) await page.evaluateOnNewDocument(source);
    await page.goto(url, { waitUntil: "load" });
    return page;
  }

  eval(page, expression) { return page.evaluate(expression); }

  closeTab(page) { return page.close(); }

  consentTargets() {
    return this.browser.targets().filter((t) => t.url().startsWith(`chrome-extension://${this.extensionId}/consent.html`));
  }

  async consentWindowOpen() { return this.consentTargets().length > 0; }

  async consentWindowCount() { return this.consentTargets().length; }

  async consentWindowText() {
    const page = await this.consentTargets()[0].asPage();
    return (await page.waitForFunction(() => document.getElementById("origin")?.textContent && document.body.innerText)).jsonValue();
  }

  async extensionUrl(file) { return `chrome-extension://${this.extensionId}/${file}`; }

  async answerConsent(allow) {
    const target = await this.browser.waitForTarget(
      (t) => t.url().startsWith(`chrome-extension://${this.extensionId}/consent.html`), { timeout: 30000 });
    const page = await target.asPage();
    const origin = await (await page.waitForFunction(() => document.getElementById("origin")?.dataset.origin)).jsonValue();
    this.lastConsentArmedAt = await (await page.waitForFunction(ARMED_AT)).jsonValue();
    // The extension closes the window as soon as the decision arrives.
    await page.click(allow ? "#allow" : "#deny").catch((error) => {
      if (!/closed|detached/i.test(String(error))) throw error;
    });
    await until("the consent window to close", () => this.consentTargets().length === 0);
    return origin;
  }

  async consentWindowEval(expression) {
    const page = await this.consentTargets()[0].asPage();
    return page.evaluate(expression);
  }

  async clickConsentAtOnce(allow) {
    const target = await this.browser.waitForTarget(
      (t) => t.url().startsWith(`chrome-extension://${CHROMIUM_EXTENSION_ID}/consent.html`), { timeout: 30000 });
    const page = await target.asPage();
    await page.waitForFunction(() => document.getElementById("origin")?.dataset.origin);
    await page.click(allow ? "#allow" : "#deny");
    // A window that decided closes at once.
    return page.evaluate(() => performance.getEntriesByName("consent-armed").length === 0)
      .catch((error) => { if (/closed|destroyed|detached/i.test(String(error))) return "closed"; throw error; });
  }

  async closeConsentWindow() {
    const target = await this.browser.waitForTarget(
      (t) => t.url().startsWith(`chrome-extension://${CHROMIUM_EXTENSION_ID}/consent.html`), { timeout: 30000 });
    const page = await target.asPage();
    const origin = await (await page.waitForFunction(() => document.getElementById("origin")?.dataset.origin)).jsonValue();
    await page.close();
    await until("the consent window to close", () => this.consentTargets().length === 0);
    return origin;
  }

  async extensionPid() { return extensionProcess(this.browser.process().pid); }

  async contentScriptEval(page, expression) {
    const client = await page.createCDPSession();
    try {
      const contexts = [];
      client.on("Runtime.executionContextCreated", ({ context }) => contexts.push(context));
      const { frameTree } = await client.send("Page.getFrameTree");
      await client.send("Runtime.enable");
      const world = await until("the extension's content-script world", () => contexts.find((c) =>
        c.auxData && c.auxData.type === "isolated" && c.auxData.frameId === frameTree.frame.id && c.name === "vellum bridge"));
      const { result, exceptionDetails } = await client.send("Runtime.evaluate",
        { expression, contextId: world.id, awaitPromise: true, returnByValue: true });
      if (exceptionDetails) throw new Error(exceptionDetails.exception?.description || exceptionDetails.text);
      return result.value;
    } finally {
      await client.detach().catch(() => {});
    }
  }

  async closeConsentWindows() {
    for (const target of this.consentTargets()) await (await target.asPage()).close().catch(() => {});
    await until("the consent windows to close", () => this.consentTargets().length === 0);
  }

  frame(page, path) {
    let frame = page.mainFrame();
    for (const index of [path].flat()) {
      frame = frame.childFrames()[index];
      if (!frame) throw new Error(`no frame ${path}`);
    }
    return frame;
  }

  click(page, selector) { return page.click(selector); }

  async stopBackground() {
    const target = await this.browser.waitForTarget(
      (t) => t.type() === "service_worker" && t.url().startsWith(`chrome-extension://${this.extensionId}/`));
    await (await target.worker()).close();
    await until("the service worker to stop", () => !this.browser.targets().includes(target));
  }

  async frameEval(page, index, expression) { return this.frame(page, index).evaluate(expression); }

  async clickInFrame(page, index, selector) { return this.frame(page, index).click(selector); }

  async screenshot(page, file, selector) {
    return selector ? (await page.$(selector)).screenshot({ path: file }) : page.screenshot({ path: file });
  }

  get pid() { return this.browser.process().pid; }

  close() { return this.browser.close(); }
}

class FirefoxDriver {
  static async launch({ extension, profile, env, resolveToLocal }) {
    fs.mkdirSync(profile, { recursive: true });
    const prefs = {
      "marionette.port": 0,
      // Every name resolves to this machine: the test's non-local host is served here too.
      "network.dns.forceResolve": "127.0.0.1",
      "network.dns.disablePrefetch": true,
      "dom.security.https_first": false,
      "dom.security.https_first_pbm": false,
      "browser.shell.checkDefaultBrowser": false,
      "browser.startup.homepage_override.mstone": "ignore",
      "browser.aboutwelcome.enabled": false,
      "datareporting.policy.dataSubmissionEnabled": false,
      "toolkit.telemetry.reportingpolicy.firstRun": false,
    };
    fs.writeFileSync(path.join(profile, "user.js"),
      Object.entries(prefs).map(([k, v]) => `user_pref(${JSON.stringify(k)}, ${JSON.stringify(v)});\n`).join(""));
    void resolveToLocal;
    const child = spawn("/usr/bin/firefox-esr", ["--headless", "--marionette", "--remote-allow-system-access", "--no-remote", "--profile", profile],
      { env, stdio: ["ignore", "ignore", "pipe"] });
    child.stderr.on("data", () => {});
    // A run that dies leaves no browser behind.
    process.once("exit", () => child.exitCode === null && child.kill("SIGKILL"));
    const portFile = path.join(profile, "MarionetteActivePort");
    const port = await until("Firefox's Marionette port", () => {
      if (child.exitCode !== null) throw new Error(`firefox-esr exited with ${child.exitCode}`);
      try { return Number(fs.readFileSync(portFile, "utf8").trim()) || null; } catch { return null; }
    }, { limitMs: 60000 });
    const client = await Marionette.connect(port);
    await client.send("WebDriver:NewSession", { capabilities: { alwaysMatch: { pageLoadStrategy: "normal" } } });
    // The https pages of *.test carry a self-signed certificate (Marionette leaves the
    // acceptInsecureCerts capability off whatever it is asked, so it is set on the browser's side).
    await client.send("Marionette:SetContext", { value: "chrome" });
    await client.send("WebDriver:ExecuteScript", { script: `Cc["@mozilla.org/security/certoverride;1"].getService(Ci.nsICertOverrideService).setDisableAllSecurityChecksAndLetAttackersInterceptMyData(true)`, args: [] });
    await client.send("Marionette:SetContext", { value: "content" });
    // No extension given: the one installed for every profile of the system.
    if (extension) await client.send("Addon:Install", { path: extension, temporary: true });
    const driver = new FirefoxDriver(child, client);
    // The first tab stays open: Marionette needs a current window to open others from.
    driver.home = (await client.send("WebDriver:GetWindowHandle")).value;
    driver.tabs.add(driver.home);
    return driver;
  }

  constructor(child, client) {
    this.name = "firefox";
    this.child = child;
    this.client = client;
    this.current = null;
    this.tabs = new Set();   // our page tabs; any other handle is an extension window
  }

  injectBeforeLoad() { throw new Error("not offered for Firefox"); }

  async switchTo(handle) {
    if (this.current === handle) return;
    await this.client.send("WebDriver:SwitchToWindow", { handle, focus: false });
    this.current = handle;
  }

  async open(url) {
    const { handle } = await this.client.send("WebDriver:NewWindow", { type: "tab", focus: false });
    this.tabs.add(handle);
    await this.switchTo(handle);
    await this.client.send("WebDriver:Navigate", { url });
    return handle;
  }

  async eval(handle, expression) {
    await this.switchTo(handle);
    const { value } = await this.client.send("WebDriver:ExecuteScript", { script: `return (${expression});`, args: [] });
    return value;
  }

  async closeTab(handle) {
    await this.switchTo(handle);
    await this.client.send("WebDriver:CloseWindow");
    this.tabs.delete(handle);
    this.current = null;
    await this.switchTo(this.home);
  }

  // What a script on the browser's own side (its chrome context) returns.
  async chromeEval(script) {
    await this.client.send("Marionette:SetContext", { value: "chrome" });
    try {
      const { value } = await this.client.send("WebDriver:ExecuteScript", { script, args: [] });
      return value;
    } finally {
      await this.client.send("Marionette:SetContext", { value: "content" });
    }
  }

  // The add-on's pages live under a per-profile UUID, which only the browser's own side knows.
  async extensionUrl(file) {
    const uuids = await this.chromeEval(`return Services.prefs.getStringPref("extensions.webextensions.uuids")`);
    return `moz-extension://${JSON.parse(uuids)[GECKO_ID]}/${file}`;
  }

  async extensionWindows() {
    const handles = await this.client.send("WebDriver:GetWindowHandles");
    return handles.filter((h) => !this.tabs.has(h));
  }

  async consentHandles() {
    const found = [];
    try {
      for (const handle of await this.extensionWindows()) {
        try {
          await this.switchTo(handle);
          const { value } = await this.client.send("WebDriver:GetCurrentURL");
          if (/^moz-extension:\/\/[^/]+\/consent\.html/.test(value)) found.push(handle);
        } catch (error) {
          // A window that closed meanwhile is no window.
          this.current = null;
          if (!/no such window|discarded/i.test(String(error))) throw error;
        }
      }
    } finally {
      // Not left in a window that may close under the next command.
      await this.switchTo(this.home);
    }
    return found;
  }

  async consentWindowOpen() { return (await this.consentHandles())[0] || null; }

  async consentWindowCount() { return (await this.consentHandles()).length; }

  async consentWindowText() {
    await this.switchTo(await this.consentWindowOpen());
    return until("the consent window's origin", async () => (await this.client.send("WebDriver:ExecuteScript",
      { script: `return document.getElementById("origin")?.textContent && document.body.innerText`, args: [] })).value);
  }

  async answerConsent(allow) {
    const handle = await until("the consent window", () => this.consentWindowOpen().catch(() => null));
    await this.switchTo(handle);
    // The page's script fills in the origin after the window shows.
    const origin = await until("the consent window's origin", async () =>
      (await this.client.send("WebDriver:ExecuteScript", { script: `return document.getElementById("origin")?.dataset.origin`, args: [] })).value);
    this.lastConsentArmedAt = await until("the consent window's buttons to answer", async () =>
      (await this.client.send("WebDriver:ExecuteScript", { script: `return (${ARMED_AT})()`, args: [] })).value);
    const { value: button } = await this.client.send("WebDriver:FindElement", { using: "css selector", value: allow ? "#allow" : "#deny" });
    await this.client.send("WebDriver:ElementClick", { id: Object.values(button)[0] }).catch((error) => {
      if (!/no such window|discarded|closed/i.test(String(error))) throw error;
    });
    this.current = null;
    await until("the consent window to close", async () => !(await this.extensionWindows()).includes(handle));
    await this.switchTo(this.home);
    return origin;
  }

  async consentWindowEval(expression) {
    await this.switchTo(await this.consentWindowOpen());
    return (await this.client.send("WebDriver:ExecuteScript", { script: `return (${expression});`, args: [] })).value;
  }

  async clickConsentAtOnce(allow) {
    const handle = await until("the consent window", () => this.consentWindowOpen().catch(() => null));
    await this.switchTo(handle);
    await until("the consent window's origin", async () =>
      (await this.client.send("WebDriver:ExecuteScript", { script: `return document.getElementById("origin")?.dataset.origin`, args: [] })).value);
    const { value: button } = await this.client.send("WebDriver:FindElement", { using: "css selector", value: allow ? "#allow" : "#deny" });
    await this.client.send("WebDriver:ElementClick", { id: Object.values(button)[0] });
    // A window that decided closes at once.
    const value = await this.client.send("WebDriver:ExecuteScript",
      { script: `return performance.getEntriesByName("consent-armed").length === 0`, args: [] })
      .then((answer) => answer.value, (error) => { if (/no such window|discarded|closed/i.test(String(error))) return "closed"; throw error; });
    this.current = null;
    await this.switchTo(this.home);
    return value;
  }

  // The process that runs the extension, from the browser's own list of its processes.
  async extensionPid() {
    await this.client.send("Marionette:SetContext", { value: "chrome" });
    try {
      const { value } = await this.client.send("WebDriver:ExecuteScript", { args: [],
        script: `return ChromeUtils.requestProcInfo().then((info) => info.children.filter((c) => c.type === "extension").map((c) => c.pid))` });
      if (value.length !== 1) throw new Error(`${value.length} extension processes`);
      return value[0];
    } finally {
      await this.client.send("Marionette:SetContext", { value: "content" });
    }
  }

  async closeConsentWindow() {
    const handle = await until("the consent window", () => this.consentWindowOpen().catch(() => null));
    await this.switchTo(handle);
    const origin = await until("the consent window's origin", async () =>
      (await this.client.send("WebDriver:ExecuteScript", { script: `return document.getElementById("origin")?.dataset.origin`, args: [] })).value);
    await this.client.send("WebDriver:CloseWindow").catch(() => {});
    this.current = null;
    await until("the consent window to close", async () => !(await this.extensionWindows()).includes(handle));
    await this.switchTo(this.home);
    return origin;
  }

  async inFrame(handle, path, body) {
    await this.switchTo(handle);
    const indexes = [path].flat();
    for (const index of indexes) await this.client.send("WebDriver:SwitchToFrame", { id: index });
    try {
      return await body();
    } finally {
      for (let i = 0; i < indexes.length; i++) await this.client.send("WebDriver:SwitchToParentFrame");
    }
  }

  async click(handle, selector) {
    await this.client.send("WebDriver:SwitchToWindow", { handle, focus: true });
    this.current = handle;
    const { value: element } = await this.client.send("WebDriver:FindElement", { using: "css selector", value: selector });
    await this.client.send("WebDriver:ElementClick", { id: Object.values(element)[0] });
  }

  async closeConsentWindows() {
    for (const handle of await this.consentHandles()) {
      await this.switchTo(handle).then(() => this.client.send("WebDriver:CloseWindow")).catch(() => {});
      this.current = null;
    }
    await this.switchTo(this.home);
    await until("the consent windows to close", async () => (await this.consentHandles()).length === 0);
  }

  // Firefox's own hook for its tests: the add-on's background ends as an idle one is suspended.
  async stopBackground() {
    await this.client.send("Marionette:SetContext", { value: "chrome" });
    try {
      const { value } = await this.client.send("WebDriver:ExecuteAsyncScript", { args: [], script: `const done = arguments[0];
        const { ExtensionParent } = ChromeUtils.importESModule("resource://gre/modules/ExtensionParent.sys.mjs");
        ExtensionParent.GlobalManager.getExtension(${JSON.stringify(GECKO_ID)}).terminateBackground()
          .then(() => done(true), (e) => done(String(e)));` });
      if (value !== true) throw new Error(`the background did not stop: ${value}`);
    } finally {
      await this.client.send("Marionette:SetContext", { value: "content" });
    }
  }

  frameEval(handle, index, expression) {
    return this.inFrame(handle, index, async () =>
      (await this.client.send("WebDriver:ExecuteScript", { script: `return (${expression});`, args: [] })).value);
  }

  async clickInFrame(handle, index, selector) {
    // A click goes to a tab in front (a background tab's elements count as not in view).
    await this.client.send("WebDriver:SwitchToWindow", { handle, focus: true });
    this.current = handle;
    return this.inFrame(handle, index, async () => {
      const { value: element } = await this.client.send("WebDriver:FindElement", { using: "css selector", value: selector });
      await this.client.send("WebDriver:ElementClick", { id: Object.values(element)[0] });
    });
  }

  screenshot() { throw new Error("not offered for Firefox"); }

  get pid() { return this.child.pid; }

  async close() {
    await this.client.send("Marionette:Quit", { flags: ["eForceQuit"] }).catch(() => {});
    this.client.close();
    if (this.child.exitCode === null) {
      const exited = new Promise((resolve) => this.child.once("exit", resolve));
      const timer = setTimeout(() => this.child.kill("SIGKILL"), 10000);
      await exited;
      clearTimeout(timer);
    }
  }
}

export function launch(kind, options) {
  if (kind === "chromium") return ChromiumDriver.launch(options);
  if (kind === "firefox") return FirefoxDriver.launch(options);
  throw new Error(`no driver for ${kind}`);
}
