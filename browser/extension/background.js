// The extension's background: one native host (vellum-host native-messaging) per page, opened on
// the page's first call and closed when the page goes away, and the user's consent per origin in
// front of it. Runs as Chromium's service worker and as Firefox's background script.
"use strict";

if (typeof VellumProtocol === "undefined") importScripts("protocol.js", "decisions.js");

const api = globalThis.browser || globalThis.chrome;
const HOST_NAME = "vellum.bridge";
const CONSENT_PAGE = api.runtime.getURL("consent.html");
const OPTIONS_PAGE = api.runtime.getURL("options.html");
const POLICY_KEY = "allowedOrigins";       // storage.managed: [origin, ...]
// A consent window left alone this long counts as unanswered: the page's calls do not wait
// forever, and the window goes.
const CONSENT_WAIT_MS = 5 * 60 * 1000;

// Read and written by the background only; the options page asks it.
const decisions = new ConsentDecisions();
// Where earlier versions kept the decisions, which content scripts can rewrite in Firefox: not
// trusted, and gone.
api.storage.local.remove("decisions").catch(() => {});

// Content scripts have no use for the extension's storage; where the browser can (Chromium),
// they do not even see it.
try {
  const restricted = api.storage.local.setAccessLevel?.({ accessLevel: "TRUSTED_CONTEXTS" });
  if (restricted && restricted.catch) restricted.catch(() => {});
} catch { /* not offered */ }

function bridgeError(code, message) {
  return { code, message };
}

// ---------------------------------------------------------------------------------------------
// Consent

// The managed (administrator) list is read once per background life and kept: its first read
// after the browser starts can take seconds in Chromium. A change replaces it with the new value
// the change carries, so no call ever waits on a second read. Firefox rejects the read when
// nothing is configured; that is an empty list.
const policyList = (value) => (Array.isArray(value) ? value.filter((o) => typeof o === "string") : []);
let policyOrigins = null;
function allowedByPolicy() {
  if (!policyOrigins) {
    policyOrigins = Promise.resolve()
      .then(() => api.storage.managed.get(POLICY_KEY))
      .then((items) => policyList(items && items[POLICY_KEY]))
      .catch(() => []);
  }
  return policyOrigins;
}

// Started at once, so that a page's first call does not wait for it.
allowedByPolicy();

// Consent windows waiting for a click, by a random token that only the window's URL carries.
// A window asks for the pages waiting on it: when the last of them goes (closed, navigated
// away), so does the window, and no decision is taken for a page nobody is looking at.
const prompts = new Map();        // token -> {origin, windowId, askers, outcome, settle(outcome)}
const promptsByOrigin = new Map();  // origin -> that same prompt

function randomToken() {
  const bytes = new Uint8Array(16);
  crypto.getRandomValues(bytes);
  return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
}

function ask(origin, session) {
  const open = promptsByOrigin.get(origin);
  if (open) {
    open.askers.add(session);
    return open.outcome;
  }
  const prompt = { origin, windowId: null, decision: null, askers: new Set([session]), outcome: null, settle: null };
  prompt.outcome = new Promise((resolve) => {
    const token = randomToken();
    const timer = setTimeout(() => { if (!prompt.decision) prompt.settle("unanswered"); }, CONSENT_WAIT_MS);
    prompt.settle = (outcome) => {
      if (!prompts.has(token)) return;
      clearTimeout(timer);
      prompts.delete(token);
      promptsByOrigin.delete(origin);
      if (prompt.windowId !== null) api.windows.remove(prompt.windowId).catch(() => {});
      resolve(outcome);
    };
    prompts.set(token, prompt);
    // A frame inside another site's page says so: the user is looking at that page, and might
    // otherwise take the question for its own.
    const embedded = session.embedded ? "&embedded=1" : "";
    const url = `${CONSENT_PAGE}?token=${token}&origin=${encodeURIComponent(origin)}${embedded}`;
    api.windows.create({ url, type: "popup", width: 460, height: 300 })
      .then((window) => {
        prompt.windowId = window.id;
        if (!prompts.has(token)) api.windows.remove(window.id).catch(() => {});
      })
      .catch(() => prompt.settle("unanswered"));
  });
  promptsByOrigin.set(origin, prompt);
  return prompt.outcome;
}

// A page went away: the windows it alone was waiting on go too.
function forgetAsker(session) {
  for (const prompt of prompts.values()) {
    if (prompt.askers.delete(session) && prompt.askers.size === 0 && !prompt.decision) prompt.settle("unanswered");
  }
}

// "allow", or why not: "deny" (remembered) or "unanswered" (window closed without a choice).
// One tab asks one question at a time: a page cannot bury the user in windows from frames of
// many origins of its own, hoping for a tired Allow.
async function consentFor(session) {
  const origin = session.origin;
  for (;;) {
    const decision = await decisions.get(origin);
    if (decision === "allow" || decision === "deny") return decision;
    if ((await allowedByPolicy()).includes(origin)) return "allow";
    if (session.closed) return "unanswered";
    const busy = [...prompts.values()].find((p) => p.origin !== origin && [...p.askers].some((s) => s.tabId === session.tabId));
    if (!busy) return ask(origin, session);
    await busy.outcome;
  }
}

// Whether an origin is allowed right now, without asking.
async function allowedWithoutAsking(origin) {
  const decision = await decisions.get(origin);
  if (decision === "deny") return false;
  return decision === "allow" || (await allowedByPolicy()).includes(origin);
}

api.windows.onRemoved.addListener((windowId) => {
  for (const prompt of prompts.values()) {
    // A window closed by its own button has a decision on its way.
    if (prompt.windowId === windowId && !prompt.decision) prompt.settle("unanswered");
  }
});

// Whether a message comes from one of the extension's own pages (the browser's record of it).
function fromPage(sender, page) {
  if (sender.id !== api.runtime.id || typeof sender.url !== "string") return false;
  try {
    const url = new URL(sender.url);
    return url.origin + url.pathname === page;
  } catch { return false; }
}

// The options page lists the decisions and revokes them through the background, which holds
// them; it learns of changes by a message to the extension's pages.
function decisionsChanged() {
  api.runtime.sendMessage({ type: "decisions-changed" }).catch(() => {});
}

api.runtime.onMessage.addListener((message, sender, sendResponse) => {
  if (!fromPage(sender, OPTIONS_PAGE) || !message) return false;
  if (message.type === "decisions-list") {
    Promise.all([decisions.all(), allowedByPolicy()])
      .then(([byOrigin, policy]) => sendResponse({ decisions: byOrigin, policy }));
    return true;
  }
  if (message.type === "decision-revoke" && typeof message.origin === "string") {
    decisions.forget(message.origin).catch(() => {}).then(() => {
      closeRefused(message.origin, "the user revoked this site's access to the token");
      sendResponse({ ok: true });
      decisionsChanged();
    });
    return true;
  }
  return false;
});

// Only the extension's own consent page may answer a prompt, and only the one it was opened for.
api.runtime.onMessage.addListener((message, sender, sendResponse) => {
  if (!fromPage(sender, CONSENT_PAGE) || !message || typeof message.token !== "string") return false;
  const prompt = prompts.get(message.token);
  if (message.type === "consent-ping") {
    // Keeps Firefox's background awake while the window waits; says whether it still matters.
    sendResponse({ waiting: Boolean(prompt) });
    return false;
  }
  if (message.type === "consent-decision" && prompt && !prompt.decision && typeof message.allow === "boolean") {
    const decision = message.allow ? "allow" : "deny";
    prompt.decision = decision;
    decisions.set(prompt.origin, decision).catch(() => {}).finally(() => {
      prompt.settle(decision);
      decisionsChanged();
    });
    sendResponse({ ok: true });
  }
  return false;
});

// ---------------------------------------------------------------------------------------------
// Pages and their native hosts

class PageSession {
  constructor(port, origin) {
    this.port = port;
    this.origin = origin;
    this.tabId = port.sender.tab.id;
    this.embedded = port.sender.frameId !== 0;  // a frame within the tab's page
    this.native = null;
    this.heardFromHost = false;
    this.nextNativeId = 1;
    this.pending = new Map();  // native id -> {pageId, op}, in the order sent
    this.parts = null;         // {id, parts, pieces} of an answer arriving in parts
    this.queue = Promise.resolve();
    this.closed = false;
  }

  toPage(message) {
    if (!this.closed) {
      try { this.port.postMessage(message); } catch { /* the page is gone */ }
    }
  }

  // Calls leave in the order the page made them: each waits for the one before to be sent.
  enqueue(message) {
    this.queue = this.queue.then(() => this.send(message)).catch(() => {});
  }

  async send(message) {
    const outcome = await consentFor(this);
    if (this.closed) return;
    if (outcome !== "allow") {
      const why = outcome === "deny" ? "the user denied this site the token" : "the user did not allow this site the token";
      this.toPage({ id: message.id, error: bridgeError("consent", why) });
      return;
    }
    const nativeId = this.nextNativeId++;
    const request = { id: nativeId, op: message.op };
    if (message.op !== "hello") request.name = message.name;
    if (message.op === "set") request.value = message.value;
    if (message.op === "call") request.args = message.args;
    try {
      this.openHost();
      this.pending.set(nativeId, { pageId: message.id, op: message.op });
      this.native.postMessage(request);
    } catch (error) {
      this.pending.delete(nativeId);
      this.toPage({ id: message.id, error: bridgeError("host-exited", String(error && error.message || error)) });
    }
  }

  openHost() {
    if (this.native) return;
    const native = api.runtime.connectNative(HOST_NAME);
    this.native = native;
    this.heardFromHost = false;
    native.onMessage.addListener((frame) => this.fromHost(native, frame));
    native.onDisconnect.addListener((port) => {
      if (this.native !== native) return;
      const reason = (port && port.error && port.error.message) ||
        (api.runtime.lastError && api.runtime.lastError.message) || "the native host closed the connection";
      const missing = !this.heardFromHost &&
        /not found|forbidden|no such native application/i.test(reason);
      this.hostGone(missing ? "no-host" : "host-exited", reason);
    });
  }

  // Every pending call fails at once; the next call starts a new host.
  hostGone(code, reason) {
    if (this.native) {
      const native = this.native;
      this.native = null;
      try { native.disconnect(); } catch { /* already gone */ }
    }
    this.parts = null;
    for (const { pageId } of this.pending.values()) this.toPage({ id: pageId, error: bridgeError(code, reason) });
    this.pending.clear();
  }

  fromHost(native, frame) {
    if (this.native !== native || !frame || typeof frame !== "object") return;
    this.heardFromHost = true;
    if ("part" in frame) {
      const answer = this.joinPart(frame);
      if (answer === undefined) return;
      frame = answer;
    }
    this.answer(frame);
  }

  // Parts of one answer come one after another, numbered from 1; anything else ends the host.
  joinPart(frame) {
    const sound = Number.isSafeInteger(frame.part) && Number.isSafeInteger(frame.parts) &&
      typeof frame.data === "string" && frame.parts >= 2 &&
      (this.parts ? frame.id === this.parts.id && frame.parts === this.parts.parts &&
                    frame.part === this.parts.pieces.length + 1
                  : frame.part === 1);
    if (!sound) {
      this.hostGone("host-exited", "the native host sent an answer's parts out of order");
      return undefined;
    }
    if (!this.parts) this.parts = { id: frame.id, parts: frame.parts, pieces: [] };
    this.parts.pieces.push(frame.data);
    if (this.parts.pieces.length < this.parts.parts) return undefined;
    const text = this.parts.pieces.join("");
    this.parts = null;
    try { return JSON.parse(text); } catch {
      this.hostGone("host-exited", "the native host sent parts that do not join into an answer");
      return undefined;
    }
  }

  answer(frame) {
    if (!this.pending.has(frame.id)) return;  // id null (unreadable request) or not ours
    // The host answers in order: calls sent before this one whose answers never came were
    // dropped on the way (Chromium drops a frame that is not JSON) and will not be answered.
    for (const [nativeId, { pageId }] of this.pending) {
      if (nativeId === frame.id) break;
      this.pending.delete(nativeId);
      this.toPage({ id: pageId, error: bridgeError("lost-answer", "the native host's answer to this call was lost") });
    }
    const { pageId, op } = this.pending.get(frame.id);
    this.pending.delete(frame.id);
    if (frame.error && typeof frame.error === "object") {
      this.toPage({ id: pageId, error: bridgeError(String(frame.error.code), String(frame.error.message || "")) });
    } else if ("result" in frame) {
      // The plug-in answers strings, numbers, booleans or null; hello a flat record of them.
      const result = frame.result;
      const plain = (v) => v === null || ["string", "number", "boolean"].includes(typeof v);
      const sound = op === "hello"
        ? result !== null && typeof result === "object" && !Array.isArray(result) && Object.values(result).every(plain)
        : plain(result);
      this.toPage(sound ? { id: pageId, result } : { id: pageId, error: bridgeError("bad-answer", "the native host answered something the plug-in cannot give") });
    } else {
      this.toPage({ id: pageId });
    }
  }

  close() {
    this.closed = true;
    forgetAsker(this);
    if (this.native) {
      const native = this.native;
      this.native = null;
      try { native.disconnect(); } catch { /* already gone */ }
    }
    this.pending.clear();
  }
}

const sessions = new Set();

// The calling frame's origin as the browser recorded it. An opaque origin ("null": a sandboxed
// frame, a data: URL) is nobody's, whatever its URL says; the URL is asked only where the
// browser gives no origin at all.
function originOf(sender) {
  if (typeof sender.origin === "string") return sender.origin === "null" ? null : sender.origin;
  try { return new URL(sender.url).origin; } catch { return null; }
}

api.runtime.onConnect.addListener((port) => {
  const sender = port.sender || {};
  const origin = originOf(sender);
  // Our own content script in a web page's tab, on a page the bridge serves.
  if (port.name !== "vellum-page" || sender.id !== api.runtime.id || !sender.tab ||
      origin === null || !VellumProtocol.isBridgeOrigin(origin)) {
    port.disconnect();
    return;
  }
  const session = new PageSession(port, origin);
  sessions.add(session);
  port.onDisconnect.addListener(() => {
    session.close();
    sessions.delete(session);
  });
  // A page opens its port on its first call, or before it when it gets ready to call: the host
  // of a site already allowed starts now, while the call is still on its way, as its start is
  // most of a first call's time. Any other site's page gets none before it has consent.
  allowedWithoutAsking(origin).then((allowed) => {
    if (allowed && !session.closed) session.openHost();
  }).catch(() => {});
  port.onMessage.addListener((message) => {
    if (message && message.op === "keepalive" && Object.keys(message).length === 1) return;
    const problem = VellumProtocol.problemWith(message);
    if (problem) {
      if (message && Number.isSafeInteger(message.id)) session.toPage({ id: message.id, error: bridgeError("bad-request", problem) });
      return;
    }
    if (!VellumProtocol.fits(message)) {
      session.toPage({ id: message.id, error: bridgeError("too-large", "the request exceeds the native host's 64 MiB limit") });
      return;
    }
    session.enqueue(message);
  });
});

// A revoked decision takes effect at once: the hosts of the sites no longer allowed close and
// their pending calls fail (origin: one site; none: every site).
function closeRefused(origin, why) {
  for (const session of sessions) {
    if (!session.native || (origin !== undefined && session.origin !== origin)) continue;
    allowedWithoutAsking(session.origin).then((allowed) => {
      if (!allowed) session.hostGone("consent", why);
    });
  }
}

api.storage.onChanged.addListener((changes, area) => {
  if (area !== "managed") return;
  if (POLICY_KEY in changes) policyOrigins = Promise.resolve(policyList(changes[POLICY_KEY].newValue));
  closeRefused(undefined, "the administrator no longer allows this site the token");
});
