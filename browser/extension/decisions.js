// The user's consent per pair of origins: the site the user is on (the tab's top-level page) and
// the site asking (the calling frame; the same origin when it is the page itself). A record holds
// the decision ("allow" | "deny") or, for a pair whose windows were closed unanswered, the count
// of those closings and the end of its embargo. Kept in the extension's own IndexedDB, not in
// storage.local: Firefox opens that to content scripts, that is to the process of every page
// the extension runs in, and a page that took over its process could write itself an "allow".
// The extension's IndexedDB belongs to its own origin, which no page's process reaches. Held in
// memory as well, so that a check reads no storage and a revocation holds at once.
//
// A decision for a pair with a loopback origin in it is not kept here at all (the pages that got
// it hold it, see ConsentGate): whoever serves that port next (another local user, a later
// program) is not the server that earned it. Its closings and embargo are kept for the browser's
// session only, in the extension's session storage (which content scripts do not read), so that
// they outlive the background as the others do.
"use strict";

class ConsentDecisions {
  constructor(api) {
    this.api = api;
    this.byPair = new Map();   // pairKey -> {top, origin, decision?, closings?, embargoUntil?}
    this.db = null;
    // Unreadable storage remembers nothing: every site is asked again.
    this.ready = this.load().catch(() => {});
  }

  static pairKey(top, origin) {
    return `${top} ${origin}`;  // an origin holds no space
  }

  static done(request) {
    return new Promise((resolve, reject) => {
      request.onsuccess = () => resolve(request.result);
      request.onerror = () => reject(request.error);
    });
  }

  static isLoopback(origin) {
    try {
      const host = new URL(origin).hostname;
      return host === "localhost" || host === "127.0.0.1" || host === "[::1]";
    } catch { return false; }
  }

  static kept(record) {
    return !ConsentDecisions.isLoopback(record.top) && !ConsentDecisions.isLoopback(record.origin);
  }

  static sound(record) {
    return record && typeof record === "object" && typeof record.top === "string" && typeof record.origin === "string" &&
      (record.decision === undefined || record.decision === "allow" || record.decision === "deny") &&
      (record.closings === undefined || Number.isSafeInteger(record.closings)) &&
      (record.embargoUntil === undefined || Number.isFinite(record.embargoUntil));
  }

  static get SESSION_KEY() { return "sessionPairs"; }

  async load() {
    await this.loadSessionPairs();
    const opening = indexedDB.open("vellum-bridge", 1);
    opening.onupgradeneeded = () => opening.result.createObjectStore("decisions");
    this.db = await ConsentDecisions.done(opening);
    const store = this.db.transaction("decisions").objectStore("decisions");
    const [keys, values] = await Promise.all([ConsentDecisions.done(store.getAllKeys()), ConsentDecisions.done(store.getAll())]);
    const stale = [];
    keys.forEach((key, i) => {
      let record = values[i];
      // Earlier versions kept a bare origin -> decision; it was given on that origin's own site
      // at the least, so it stays for that pair only.
      if (typeof record === "string" && typeof key === "string" && !key.includes(" ")) {
        stale.push(key);
        record = { top: key, origin: key, decision: record };
      }
      if (!ConsentDecisions.sound(record) || !ConsentDecisions.kept(record)) {
        stale.push(key);
        return;
      }
      this.byPair.set(ConsentDecisions.pairKey(record.top, record.origin), record);
    });
    if (stale.length) {
      await this.write((s) => {
        for (const key of stale) s.delete(key);
        for (const record of this.byPair.values()) s.put(record, ConsentDecisions.pairKey(record.top, record.origin));
      });
    }
  }

  // The closings and embargoes of pairs not kept in IndexedDB, from an earlier life of the
  // background in this browser session.
  async loadSessionPairs() {
    try {
      const records = (await this.api.storage.session.get(ConsentDecisions.SESSION_KEY))[ConsentDecisions.SESSION_KEY];
      for (const record of Array.isArray(records) ? records : []) {
        if (ConsentDecisions.sound(record) && !ConsentDecisions.kept(record) && record.decision === undefined) {
          this.byPair.set(ConsentDecisions.pairKey(record.top, record.origin), record);
        }
      }
    } catch { /* no session storage: they last as long as the background */ }
  }

  saveSessionPairs() {
    const records = [...this.byPair.values()].filter((r) => !ConsentDecisions.kept(r) && r.decision === undefined);
    return Promise.resolve().then(() => this.api.storage.session.set({ [ConsentDecisions.SESSION_KEY]: records }))
      .catch(() => {});
  }

  async write(change) {
    if (!this.db) return;
    const transaction = this.db.transaction("decisions", "readwrite");
    change(transaction.objectStore("decisions"));
    await new Promise((resolve, reject) => {
      transaction.oncomplete = resolve;
      transaction.onerror = transaction.onabort = () => reject(transaction.error);
    });
  }

  async save(record) {
    const key = ConsentDecisions.pairKey(record.top, record.origin);
    this.byPair.set(key, record);
    if (ConsentDecisions.kept(record)) await this.write((s) => s.put(record, key));
    else await this.saveSessionPairs();
  }

  async get(top, origin) {
    await this.ready;
    return this.byPair.get(ConsentDecisions.pairKey(top, origin));
  }

  // Every record, for the options page (loopback ones included while they last).
  async all() {
    await this.ready;
    return [...this.byPair.values()].map((r) => ({ ...r }));
  }

  // A decision given replaces any count of closings. False for a pair this does not keep.
  async decide(top, origin, decision) {
    await this.ready;
    const record = { top, origin, decision };
    if (!ConsentDecisions.kept(record)) {
      this.byPair.delete(ConsentDecisions.pairKey(top, origin));
      await this.saveSessionPairs();
      return false;
    }
    await this.save(record);
    return true;
  }

  // One more window of this pair closed unanswered; at `limit` the pair is embargoed until
  // `until` and the count starts again. Returns the record.
  async closed(top, origin, limit, until) {
    await this.ready;
    const record = { ...(this.byPair.get(ConsentDecisions.pairKey(top, origin)) || { top, origin }) };
    record.closings = (record.closings || 0) + 1;
    if (record.closings >= limit) {
      record.closings = 0;
      record.embargoUntil = until;
    }
    await this.save(record);
    return record;
  }

  // Revoke and lift: the pair is asked again on its next call.
  async forget(top, origin) {
    await this.ready;
    const key = ConsentDecisions.pairKey(top, origin);
    this.byPair.delete(key);
    await this.write((s) => s.delete(key));
    await this.saveSessionPairs();
  }
}
