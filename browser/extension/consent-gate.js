// The user's consent in front of the native host, as strong as the browser's own permission
// prompts: a decision belongs to the pair (site the user is on, site asking), never to the
// asking site alone; a pair whose window is closed unanswered 3 times is embargoed for 7 days;
// after a Deny or a closing in a tab, that tab's next window needs the user's gesture in the
// asking frame, and a window whose asking pages went away before the answer counts as closed;
// a gesture opens at most one window in its tab; loopback decisions last only while the page
// that got them stays open. What must outlive the background (Chromium stops an idle service
// worker, Firefox suspends an idle background) is kept in the extension's session storage, which
// no content script reads: the tabs that need a gesture, when each tab last had a window, the
// windows open (a window left open by the background's last life counts as closed unanswered
// when the next one starts, as its askers went with it). The background asks
// consentFor(session, gestureAt) before a page's call goes on; the consent window and the
// options page talk to this class only. A session gives: tabId, top (the tab's top-level origin
// as the browser recorded it, or null), origin (the calling frame's), closed, and
// holds liveDecision (a loopback pair's decision) itself.
"use strict";

class ConsentGate {
  constructor(api, { onRevoked }) {
    this.api = api;
    this.onRevoked = onRevoked;           // (top?, origin?) -> closes hosts no longer allowed
    this.decisions = new ConsentDecisions(api);
    this.consentPage = api.runtime.getURL("consent.html");
    this.optionsPage = api.runtime.getURL("options.html");
    this.prompts = new Map();             // token -> prompt
    this.promptsByPair = new Map();       // pair key -> that same prompt
    this.gestureTabs = new Set();         // tabs whose next window needs a gesture in the asking frame
    this.windowOpenedAt = new Map();      // tab -> when a window last opened for it: gestures before are spent
    this.policyOrigins = null;
    this.allowedByPolicy();               // started at once: its first read can take seconds
    this.ready = this.restore();

    api.windows.onRemoved.addListener((windowId) => {
      for (const prompt of this.prompts.values()) {
        // A window closed by its own button has a decision on its way.
        if (prompt.windowId === windowId && !prompt.decision) prompt.settle("unanswered");
      }
    });
    api.tabs.onRemoved.addListener((tabId) => {
      this.gestureTabs.delete(tabId);
      this.windowOpenedAt.delete(tabId);
      this.persist();
    });
    api.runtime.onMessage.addListener((message, sender, sendResponse) => this.fromOptions(message, sender, sendResponse));
    api.runtime.onMessage.addListener((message, sender, sendResponse) => this.fromConsentPage(message, sender, sendResponse));
    api.storage.onChanged.addListener((changes, area) => {
      if (area !== "managed") return;
      // The change carries the new list: no call waits on reading it again.
      if ("allowedOrigins" in changes) this.policyOrigins = Promise.resolve(ConsentGate.listed(changes.allowedOrigins.newValue));
      this.onRevoked(undefined, undefined, "the administrator no longer allows this site the token");
    });
  }

  static get CLOSINGS_BEFORE_EMBARGO() { return 3; }
  static get EMBARGO_MS() { return 7 * 24 * 60 * 60 * 1000; }
  // A window left alone this long counts as closed: the page's calls do not wait forever.
  static get CONSENT_WAIT_MS() { return 5 * 60 * 1000; }

  static get STATE_KEY() { return "consentState"; }

  // The state of an earlier life of the background, if any; its open windows count as closed.
  async restore() {
    let state;
    try {
      state = (await this.api.storage.session.get(ConsentGate.STATE_KEY))[ConsentGate.STATE_KEY];
    } catch { return; /* no session storage: nothing outlives the background */ }
    if (!state || typeof state !== "object") return;
    const tabs = (list) => (Array.isArray(list) ? list.filter(Number.isSafeInteger) : []);
    for (const tab of tabs(state.gestureTabs)) this.gestureTabs.add(tab);
    for (const [tab, at] of Array.isArray(state.windowOpenedAt) ? state.windowOpenedAt : []) {
      if (Number.isSafeInteger(tab) && Number.isFinite(at)) this.windowOpenedAt.set(tab, at);
    }
    for (const prompt of Array.isArray(state.prompts) ? state.prompts : []) {
      if (!prompt || typeof prompt.top !== "string" || typeof prompt.origin !== "string") continue;
      if (Number.isSafeInteger(prompt.windowId)) this.api.windows.remove(prompt.windowId).catch(() => {});
      await this.decisions.closed(prompt.top, prompt.origin, ConsentGate.CLOSINGS_BEFORE_EMBARGO,
        Date.now() + ConsentGate.EMBARGO_MS).catch(() => {});
      for (const tab of tabs(prompt.tabs)) this.gestureTabs.add(tab);
    }
    await this.writeState();
  }

  writeState() {
    const state = {
      gestureTabs: [...this.gestureTabs],
      windowOpenedAt: [...this.windowOpenedAt],
      prompts: [...this.prompts.values()].map((p) => ({
        top: p.top, origin: p.origin, windowId: p.windowId, tabs: [...p.tabs] })),
    };
    return Promise.resolve().then(() => this.api.storage.session.set({ [ConsentGate.STATE_KEY]: state })).catch(() => {});
  }

  // Written after every change, once what an earlier life left is read.
  persist() {
    return this.ready.then(() => this.writeState());
  }

  static listed(value) {
    return Array.isArray(value) ? value.filter((o) => typeof o === "string") : [];
  }

  // The managed (administrator) list, read once per background life and kept: its first read
  // after the browser starts can take seconds in Chromium. Firefox rejects the read
  // when nothing is configured; that is an empty list.
  allowedByPolicy() {
    if (!this.policyOrigins) {
      const key = "allowedOrigins";
      this.policyOrigins = Promise.resolve()
        .then(() => this.api.storage.managed.get(key))
        .then((items) => ConsentGate.listed(items && items[key]))
        .catch(() => []);
    }
    return this.policyOrigins;
  }

  // A listed origin is allowed as the page the user is on, and framed by a page whose origin is
  // listed too; not framed by anyone else.
  async policyAllows(top, origin) {
    const listed = await this.allowedByPolicy();
    return listed.includes(origin) && (top === origin || listed.includes(top));
  }

  // The decision that holds without asking: "allow", "deny" or undefined.
  async standing(session) {
    if (session.top === null) return "deny";
    const record = await this.decisions.get(session.top, session.origin);
    if (record && record.decision) return record.decision;
    if (session.liveDecision) return session.liveDecision;
    return (await this.policyAllows(session.top, session.origin)) ? "allow" : undefined;
  }

  async allowedWithoutAsking(session) {
    return (await this.standing(session)) === "allow";
  }

  // When the pair's pause ends (ms since the epoch), or undefined.
  async pauseEnd(session) {
    const record = await this.decisions.get(session.top, session.origin);
    return record && record.embargoUntil > Date.now() ? record.embargoUntil : undefined;
  }

  // "allow", or why not: "deny", "unanswered" (window closed or left alone), "left" (its pages
  // went away before the answer), "failed" (no window could be shown), "embargoed" (closed too
  // often), "no-gesture" (a window would need the user's gesture), "no-top" (the browser does not
  // say which site the tab shows). `gestureAt`: when the user last clicked or pressed a key in
  // the asking frame, while that is still the user's activation (0: no gesture now).
  async consentFor(session, gestureAt) {
    await this.ready;
    for (;;) {
      const standing = await this.standing(session);
      if (standing) return session.top === null ? "no-top" : standing;
      const record = await this.decisions.get(session.top, session.origin);
      if (record && record.embargoUntil > Date.now()) return "embargoed";
      if (session.closed) return "unanswered";
      const key = ConsentDecisions.pairKey(session.top, session.origin);
      const open = this.promptsByPair.get(key);
      if (open) {
        open.askers.add(session);
        open.tabs.add(session.tabId);
        return open.outcome;
      }
      // One tab asks one question at a time: a page cannot bury the user in windows from frames
      // of many origins of its own, hoping for a tired Allow.
      const busy = [...this.prompts.values()].find((p) => [...p.askers].some((s) => s.tabId === session.tabId));
      if (busy) {
        await busy.outcome;
        continue;
      }
      // A gesture counts once in its tab: a window opened there since has spent it (one click
      // in a nested frame activates every frame around it too).
      const gesture = gestureAt > (this.windowOpenedAt.get(session.tabId) || 0);
      if (this.gestureTabs.has(session.tabId) && !gesture) return "no-gesture";
      this.gestureTabs.delete(session.tabId);
      this.windowOpenedAt.set(session.tabId, Date.now());
      return this.ask(session, key);
    }
  }

  static randomToken() {
    const bytes = new Uint8Array(16);
    crypto.getRandomValues(bytes);
    return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
  }

  ask(session, key) {
    const { top, origin } = session;
    // askers: the pages waiting on it now; tabs: every tab any of them asked from.
    const prompt = { top, origin, windowId: null, decision: null, askers: new Set([session]), tabs: new Set([session.tabId]),
      outcome: null, settle: null };
    prompt.outcome = new Promise((resolve) => {
      const token = ConsentGate.randomToken();
      const timer = setTimeout(() => { if (!prompt.decision) prompt.settle("unanswered"); }, ConsentGate.CONSENT_WAIT_MS);
      prompt.settle = (outcome) => {
        if (!this.prompts.has(token)) return;
        clearTimeout(timer);
        this.prompts.delete(token);
        this.promptsByPair.delete(key);
        if (prompt.windowId !== null) this.api.windows.remove(prompt.windowId).catch(() => {});
        this.settled(prompt, outcome).finally(() => resolve(outcome));
      };
      this.prompts.set(token, prompt);
      this.persist();
      const url = `${this.consentPage}?token=${token}&top=${encodeURIComponent(top)}&origin=${encodeURIComponent(origin)}`;
      this.api.windows.create({ url, type: "popup", width: 480, height: 340 })
        .then((window) => {
          prompt.windowId = window.id;
          if (!this.prompts.has(token)) this.api.windows.remove(window.id).catch(() => {});
          else this.persist();
        })
        .catch(() => prompt.settle("failed"));
    });
    this.promptsByPair.set(key, prompt);
    return prompt.outcome;
  }

  // What an answer leaves behind: a decision (kept, or held by the pages of a loopback pair),
  // a closing counted towards the embargo, a tab that must show a gesture before its next window.
  async settled(prompt, outcome) {
    // Nobody said yes: a window closed, left alone or gone with its pages counts the same. The
    // tabs need a gesture from now on, before anything is awaited: a page may ask again at once.
    const unanswered = outcome === "unanswered" || outcome === "left";
    if (outcome === "deny" || unanswered) for (const tab of prompt.tabs) this.gestureTabs.add(tab);
    if (outcome === "allow" || outcome === "deny") {
      const kept = await this.decisions.decide(prompt.top, prompt.origin, outcome).catch(() => true);
      if (!kept) for (const session of prompt.askers) session.liveDecision = outcome;
    }
    if (unanswered) {
      await this.decisions.closed(prompt.top, prompt.origin, ConsentGate.CLOSINGS_BEFORE_EMBARGO,
        Date.now() + ConsentGate.EMBARGO_MS).catch(() => {});
    }
    await this.persist();
    if (outcome !== "failed") this.changed();
  }

  // A page went away: the windows it alone was waiting on go too, unanswered.
  forgetAsker(session) {
    for (const prompt of this.prompts.values()) {
      if (prompt.askers.delete(session) && prompt.askers.size === 0 && !prompt.decision) prompt.settle("left");
    }
  }

  // The options page learns of changes by a message to the extension's pages.
  changed() {
    this.api.runtime.sendMessage({ type: "decisions-changed" }).catch(() => {});
  }

  // Whether a message comes from one of the extension's own pages (the browser's record of it).
  fromPage(sender, page) {
    if (sender.id !== this.api.runtime.id || typeof sender.url !== "string") return false;
    try {
      const url = new URL(sender.url);
      return url.origin + url.pathname === page;
    } catch { return false; }
  }

  // The options page lists the pairs (decisions and embargoes) and forgets one on request:
  // Revoke for a decision, Lift for an embargo.
  fromOptions(message, sender, sendResponse) {
    if (!this.fromPage(sender, this.optionsPage) || !message) return false;
    if (message.type === "decisions-list") {
      Promise.all([this.decisions.all(), this.allowedByPolicy()])
        .then(([pairs, policy]) => sendResponse({
          pairs: pairs.filter((p) => p.decision || p.embargoUntil > Date.now()), policy, now: Date.now() }));
      return true;
    }
    if (message.type === "pair-forget" && typeof message.top === "string" && typeof message.origin === "string") {
      this.decisions.forget(message.top, message.origin).catch(() => {}).then(() => {
        this.onRevoked(message.top, message.origin, "the user revoked this site's access to the token");
        sendResponse({ ok: true });
        this.changed();
      });
      return true;
    }
    return false;
  }

  // Only the extension's own consent page may answer a prompt, and only the one it was opened for.
  fromConsentPage(message, sender, sendResponse) {
    if (!this.fromPage(sender, this.consentPage) || !message || typeof message.token !== "string") return false;
    const prompt = this.prompts.get(message.token);
    if (message.type === "consent-ping") {
      // Keeps Firefox's background awake while the window waits; says whether it still matters.
      sendResponse({ waiting: Boolean(prompt) });
      return false;
    }
    if (message.type === "consent-decision" && prompt && !prompt.decision && typeof message.allow === "boolean") {
      prompt.decision = message.allow ? "allow" : "deny";
      prompt.settle(prompt.decision);
      sendResponse({ ok: true });
    }
    return false;
  }
}
