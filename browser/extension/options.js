// The options page: the user's decisions per origin, each revocable, and the origins an
// administrator allowed through managed storage (read-only here). The background holds both;
// this page only shows what it answers and asks it to revoke.
"use strict";

(() => {
  const api = globalThis.browser || globalThis.chrome;

  async function show() {
    const { decisions, policy } = await api.runtime.sendMessage({ type: "decisions-list" });
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

    const list = document.getElementById("policy");
    list.replaceChildren(...policy.map((origin) => Object.assign(document.createElement("li"), { textContent: origin })));
    document.getElementById("no-policy").hidden = policy.length > 0;
  }

  function revoke(origin) {
    return api.runtime.sendMessage({ type: "decision-revoke", origin });
  }

  api.runtime.onMessage.addListener((message) => {
    if (message && message.type === "decisions-changed") show();
  });
  api.storage.onChanged.addListener((changes, area) => {
    if (area === "managed") show();
  });
  show();
})();
