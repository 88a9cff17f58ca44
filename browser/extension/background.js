// The extension's background: one native host (vellum-host native-messaging) per page, opened on
// the page's first call and closed when the page goes away, and the user's consent (ConsentGate)
// in front of it. Runs as Chromium's service worker and as Firefox's background script.
"use strict";

if (typeof VellumProtocol === "undefined") importScripts("protocol.js", "decisions.js", "consent-gate.js");

const api = globalThis.browser || globalThis.chrome;
const HOST_NAME = "vellum.bridge";
// Native hosts one tab may hold at once: a page cannot start one per frame without end.
const MAX_HOSTS_PER_TAB = 4;

// Where earlier versions kept the decisions, which content scripts can rewrite in Firefox: not
// trusted, and gone.
api.storage.local.remove("decisions").catch(() => {});

// Content scripts have no use for the extension's storage; where the browser can (Chromium),
// they do not even see it.
try {
  const restricted = api.storage.local.setAccessLevel?.({ accessLevel: "TRUSTED_CONTEXTS" });
  if (restricted && restricted.catch) restricted.catch(() => {});
} catch { /* not offered */ }

// `reason` and `until` go with code "consent" only (see REFUSALS).
function bridgeError(code, message, reason, until) {
  const error = { code, message };
  if (reason) error.reason = reason;
  if (until !== undefined) error.until = until;
  return error;
}

// Read and written by the background only; the consent window and the options page ask it.
const gate = new ConsentGate(api, { onRevoked: (top, origin, why) => closeRefused(top, origin, why) });

// Why a call did not get consent, as the page reads it: the message, and the reason a page can
// act on (denied: ask the user to allow the site in the options; needs-gesture: call again from
// a click or key handler; paused: not before `until`; dismissed: the window went unanswered).
const REFUSALS = {
  deny: ["denied", "the user denied this site the token"],
  unanswered: ["dismissed", "the user did not allow this site the token"],
  left: ["dismissed", "the user did not allow this site the token"],
  failed: ["dismissed", "the consent window could not be shown"],
  embargoed: ["paused", "the consent window for this site was closed unanswered too often: it is not shown again for 7 days (the extension's options lift this)"],
  "no-gesture": ["needs-gesture", "a consent window was closed or denied in this tab: the next one opens only on a click or key in the asking page"],
  "no-top": ["denied", "the browser does not say which site this tab shows"],
};

// The bytes of requests waiting for consent or for a native host, by tab and in all: a page
// cannot fill the extension's memory with requests parked behind a consent window or a slow
// host, from one frame or from many.
const waiting = {
  byTab: new Map(),
  total: 0,
  // Why `bytes` more do not fit for `tabId`, or null (and then they are taken).
  take(tabId, bytes) {
    const tab = this.byTab.get(tabId) || 0;
    if (tab + bytes > VellumProtocol.MAX_TAB_BYTES) {
      return `the request, with the others waiting in this tab, exceeds the bridge's ${VellumProtocol.MAX_TAB_BYTES / 1048576} MiB per tab`;
    }
    if (this.total + bytes > VellumProtocol.MAX_WAITING_BYTES) {
      return `the request, with all others waiting, exceeds the bridge's ${VellumProtocol.MAX_WAITING_BYTES / 1048576} MiB in all`;
    }
    this.byTab.set(tabId, tab + bytes);
    this.total += bytes;
    return null;
  },
  give(tabId, bytes) {
    const left = (this.byTab.get(tabId) || 0) - bytes;
    if (left > 0) this.byTab.set(tabId, left); else this.byTab.delete(tabId);
    this.total = Math.max(0, this.total - bytes);
  },
};

// ---------------------------------------------------------------------------------------------
// Pages and their native hosts

class PageSession {
  constructor(port, origin, top) {
    this.port = port;
    this.origin = origin;
    this.top = top;            // the tab's top-level origin, as the browser recorded it (or null)
    this.tabId = port.sender.tab.id;
    this.liveDecision = null;  // a loopback pair's decision, for this page's life only
    this.native = null;
    this.heardFromHost = false;
    this.nextNativeId = 1;
    this.pending = new Map();  // native id -> {pageId, op, bytes}, in the order sent
    this.parts = null;         // {id, parts, pieces} of an answer arriving in parts
    this.queue = Promise.resolve();
    this.heldBytes = 0;        // of this page's requests waiting for consent or for the host
    this.reserved = new Map(); // page id -> bytes taken for a large request on its way
    this.closed = false;
  }

  toPage(message) {
    if (!this.closed) {
      try { this.port.postMessage(message); } catch { /* the page is gone */ }
    }
  }

  // Takes a request's bytes while it waits; or why not, when its tab's waiting requests or
  // everyone's already hold too much.
  admit(bytes) {
    const refused = waiting.take(this.tabId, bytes);
    if (!refused) this.heldBytes += bytes;
    return refused;
  }

  // Each request's bytes are given back once: what a closed page held went with it.
  release(bytes) {
    const taken = Math.min(bytes, this.heldBytes);
    this.heldBytes -= taken;
    waiting.give(this.tabId, taken);
  }

  // Calls leave in the order the page made them: each waits for the one before to be sent.
  enqueue(message, bytes, gestureAt) {
    this.queue = this.queue.then(() => this.send(message, bytes, gestureAt)).catch(() => this.release(bytes));
  }

  // Refused for want of consent, with the reason a page can act on.
  refusal(outcome) {
    const [reason, text] = REFUSALS[outcome] || REFUSALS.unanswered;
    if (outcome !== "embargoed") return Promise.resolve(bridgeError("consent", text, reason));
    return gate.pauseEnd(this).then((until) => bridgeError("consent", text, reason, until));
  }

  hostsInTab() {
    let count = 0;
    for (const session of sessions) if (session.tabId === this.tabId && session.native) count++;
    return count;
  }

  async send(message, bytes, gestureAt) {
    const outcome = await gate.consentFor(this, gestureAt);
    if (this.closed) return;
    if (outcome !== "allow") {
      this.release(bytes);
      this.toPage({ id: message.id, error: await this.refusal(outcome) });
      return;
    }
    if (!this.native && this.hostsInTab() >= MAX_HOSTS_PER_TAB) {
      this.release(bytes);
      this.toPage({ id: message.id, error: bridgeError("host-limit",
        `the pages of this tab already hold ${MAX_HOSTS_PER_TAB} native hosts`) });
      return;
    }
    const nativeId = this.nextNativeId++;
    // The origin is the browser's record of the calling frame, top its tab's top-level page: the
    // native host names both in the token's dialog of a signature. Neither comes from the page.
    const request = { id: nativeId, op: message.op, origin: this.origin };
    if (this.top !== null && this.top !== this.origin) request.top = this.top;
    if (message.op !== "hello") request.name = message.name;
    if (message.op === "set") request.value = message.value;
    if (message.op === "call") request.args = message.args;
    try {
      this.openHost();
      this.pending.set(nativeId, { pageId: message.id, op: message.op, bytes });
      this.native.postMessage(request);
    } catch (error) {
      this.pending.delete(nativeId);
      this.release(bytes);
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
  hostGone(code, reason, consentReason) {
    if (this.native) {
      const native = this.native;
      this.native = null;
      try { native.disconnect(); } catch { /* already gone */ }
    }
    this.parts = null;
    for (const { pageId, bytes } of this.pending.values()) {
      this.release(bytes);
      this.toPage({ id: pageId, error: bridgeError(code, reason, consentReason) });
    }
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
    for (const [nativeId, { pageId, bytes }] of this.pending) {
      if (nativeId === frame.id) break;
      this.pending.delete(nativeId);
      this.release(bytes);
      this.toPage({ id: pageId, error: bridgeError("lost-answer", "the native host's answer to this call was lost") });
    }
    const { pageId, op, bytes } = this.pending.get(frame.id);
    this.pending.delete(frame.id);
    this.release(bytes);
    if (frame.error && typeof frame.error === "object") {
      this.toPage({ id: pageId, error: bridgeError(String(frame.error.code), String(frame.error.message || "")) });
    } else if ("result" in frame) {
      // The plug-in answers strings, numbers, booleans or null; hello a flat record of them.
      const result = frame.result;
      const plain = (v) => v === null || ["string", "number", "boolean"].includes(typeof v) || VellumProtocol.isTaggedNumber(v);
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
    gate.forgetAsker(this);
    if (this.native) {
      const native = this.native;
      this.native = null;
      try { native.disconnect(); } catch { /* already gone */ }
    }
    this.pending.clear();
    this.release(this.heldBytes);
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

// The site the user is on: the origin of the tab's top-level page in the browser's own record of
// the tab (its URL, given for the sites the extension serves), never what a page says. Null
// when the browser does not say (a top-level page the extension has no access to).
function topOriginOf(sender, origin) {
  if (sender.frameId === 0) return origin;
  if (typeof sender.tab.url !== "string") return null;
  const top = originOf({ url: sender.tab.url });
  return top && top !== "null" ? top : null;
}

api.runtime.onConnect.addListener((port) => {
  const sender = port.sender || {};
  const origin = originOf(sender);
  // Our own content script in a web page's tab, on a page the bridge serves, which the user can
  // see (a prerendered page connects once shown; one that does not is refused).
  if (port.name !== "vellum-page" || sender.id !== api.runtime.id || !sender.tab ||
      origin === null || !VellumProtocol.isBridgeOrigin(origin) || sender.documentLifecycle === "prerender") {
    port.disconnect();
    return;
  }
  const session = new PageSession(port, origin, topOriginOf(sender, origin));
  sessions.add(session);
  port.onDisconnect.addListener(() => {
    session.close();
    sessions.delete(session);
  });
  // A page opens its port on its first call, or before it when it gets ready to call: the host
  // of a pair already allowed starts now, while the call is still on its way, as its start is
  // most of a first call's time. Any other page gets none before it has consent, and a tab
  // already at its cap of hosts none at all (its first call then says so).
  gate.allowedWithoutAsking(session).then((allowed) => {
    if (allowed && !session.closed && session.hostsInTab() < MAX_HOSTS_PER_TAB) session.openHost();
  }).catch(() => {});
  port.onMessage.addListener((received) => {
    if (received && received.op === "keepalive" && Object.keys(received).length === 1) return;
    // Room for a large request, asked before it is sent: refused here, it is never sent.
    if (received && received.op === "reserve" && Object.keys(received).length === 3) {
      const { id, bytes } = received;
      if (!Number.isSafeInteger(id) || id <= 0 || session.reserved.has(id) || !Number.isSafeInteger(bytes) || bytes <= 0) return;
      const refused = bytes > VellumProtocol.MAX_REQUEST_BYTES + 1024 * 1024
        ? "the request exceeds the bridge's 64 MiB per request" : session.admit(bytes);
      if (refused) {
        session.toPage({ id, error: bridgeError("too-large", refused) });
      } else {
        session.reserved.set(id, bytes);
        session.toPage({ reserved: id });
      }
      return;
    }
    // The relay adds when the user last made a gesture in the calling frame (0: none now).
    const { gestureAt, ...message } = received && typeof received === "object" ? received : { message: received };
    // Its room, when it asked for it first, is given back and taken again at what it holds.
    if (message && session.reserved.has(message.id)) {
      session.release(session.reserved.get(message.id));
      session.reserved.delete(message.id);
    }
    const problem = VellumProtocol.problemWith(message);
    if (problem) {
      if (message && Number.isSafeInteger(message.id)) session.toPage({ id: message.id, error: bridgeError("bad-request", problem) });
      return;
    }
    const bytes = VellumProtocol.heldBytes(message);
    const refused = VellumProtocol.fits(message) ? session.admit(bytes)
      : "the request exceeds the bridge's 64 MiB per request";
    if (refused) {
      session.toPage({ id: message.id, error: bridgeError("too-large", refused) });
      return;
    }
    session.enqueue(message, bytes, Number.isFinite(gestureAt) ? gestureAt : 0);
  });
});

// A revoked decision takes effect at once: the hosts of the pages no longer allowed close and
// their pending calls fail (top and origin: one pair; none: every pair).
function closeRefused(top, origin, why) {
  for (const session of sessions) {
    if (!session.native || (origin !== undefined && (session.origin !== origin || session.top !== top))) continue;
    gate.allowedWithoutAsking(session).then((allowed) => {
      if (!allowed) session.hostGone("consent", why, "denied");
    });
  }
}
