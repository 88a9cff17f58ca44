// The user's consent decisions, origin -> "allow" | "deny", kept in the extension's own IndexedDB.
// Not in storage.local: Firefox opens that to content scripts, that is to the process of every
// page the extension runs in, and a page that took over its process could write itself an
// "allow". The extension's IndexedDB belongs to its own origin, which no page's process reaches.
// Held in memory as well, so that a check reads no storage and a revocation holds at once.
"use strict";

class ConsentDecisions {
  constructor() {
    this.byOrigin = new Map();
    this.db = null;
    // Unreadable storage remembers nothing: every site is asked again.
    this.ready = this.load().catch(() => {});
  }

  static done(request) {
    return new Promise((resolve, reject) => {
      request.onsuccess = () => resolve(request.result);
      request.onerror = () => reject(request.error);
    });
  }

  async load() {
    const opening = indexedDB.open("vellum-bridge", 1);
    opening.onupgradeneeded = () => opening.result.createObjectStore("decisions");
    this.db = await ConsentDecisions.done(opening);
    const store = this.db.transaction("decisions").objectStore("decisions");
    const [origins, values] = await Promise.all([ConsentDecisions.done(store.getAllKeys()), ConsentDecisions.done(store.getAll())]);
    origins.forEach((origin, i) => {
      if (typeof origin === "string" && (values[i] === "allow" || values[i] === "deny")) this.byOrigin.set(origin, values[i]);
    });
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

  async get(origin) {
    await this.ready;
    return this.byOrigin.get(origin);
  }

  async all() {
    await this.ready;
    return Object.fromEntries(this.byOrigin);
  }

  async set(origin, decision) {
    await this.ready;
    this.byOrigin.set(origin, decision);
    await this.write((store) => store.put(decision, origin));
  }

  async forget(origin) {
    await this.ready;
    this.byOrigin.delete(origin);
    await this.write((store) => store.delete(origin));
  }
}
