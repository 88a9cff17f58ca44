// The options page: the user's decisions per origin, each revocable, and the origins an
// administrator allowed through managed storage (read-only here).
"use strict";

(() => {
  const api = globalThis.browser || globalThis.chrome;
  const DECISIONS_KEY = "decisions";

  async function show() {
    const items = await api.storage.local.get(DECISIONS_KEY);
    const decisions = (items && items[DECISIONS_KEY]) || {};
    const body = document.getElementById("decisions");
    body.replaceChildren();
    const origins = Object.keys(decisions).sort();
    for (const origin of origins) {
      const row = body.insertRow();
      row.insertCell().textContent = origin;
      row.insertCell().textContent = decisions[origin] === "allow" ? "Allowed" : "Denied";
      const button = document.createElement("button");
      button.type = "button";
      button.textContent = "Revoke";
      button.dataset.origin = origin;
      button.addEventListener("click", () => revoke(origin));
      row.insertCell().append(button);
    }
    document.getElementById("none").hidden = origins.length > 0;

    let allowed = [];
    try {
      const managed = await api.storage.managed.get("allowedOrigins");
      if (Array.isArray(managed.allowedOrigins)) allowed = managed.allowedOrigins;
    } catch { /* nothing configured (Firefox says so by failing) */ }
    const list = document.getElementById("policy");
    list.replaceChildren(...allowed.map((origin) => Object.assign(document.createElement("li"), { textContent: origin })));
    document.getElementById("no-policy").hidden = allowed.length > 0;
  }

  async function revoke(origin) {
    const items = await api.storage.local.get(DECISIONS_KEY);
    const decisions = (items && items[DECISIONS_KEY]) || {};
    delete decisions[origin];
    await api.storage.local.set({ [DECISIONS_KEY]: decisions });
  }

  api.storage.onChanged.addListener(() => show());
  show();
})();
