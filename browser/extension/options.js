// The options page: the user's decisions per pair (page the user was on, site asking), each
// revocable, the pairs paused after their windows were closed unanswered, each liftable, and
// the origins an administrator allowed through managed storage (read-only here). The background
// holds all of it; this page only shows what it answers and asks it to forget a pair.
"use strict";

(() => {
  const api = globalThis.browser || globalThis.chrome;

  async function show() {
    const { pairs, policy, now } = await api.runtime.sendMessage({ type: "decisions-list" });
    const body = document.getElementById("decisions");
    body.replaceChildren();
    pairs.sort((a, b) => (a.top + " " + a.origin).localeCompare(b.top + " " + b.origin));
    for (const pair of pairs) {
      const row = body.insertRow();
      row.insertCell().textContent = pair.top;
      row.insertCell().textContent = pair.top === pair.origin ? "(the same site)" : pair.origin;
      const embargoed = !pair.decision;
      row.insertCell().textContent = pair.decision === "allow" ? "Allowed" : pair.decision === "deny" ? "Denied"
        : `Not asked until ${new Date(pair.embargoUntil).toLocaleString()} (${Math.ceil((pair.embargoUntil - now) / 86400000)} days)`;
      const button = document.createElement("button");
      button.type = "button";
      button.textContent = embargoed ? "Lift" : "Revoke";
      button.dataset.top = pair.top;
      button.dataset.origin = pair.origin;
      button.addEventListener("click", () => api.runtime.sendMessage({ type: "pair-forget", top: pair.top, origin: pair.origin }));
      row.insertCell().append(button);
    }
    document.getElementById("none").hidden = pairs.length > 0;

    const list = document.getElementById("policy");
    list.replaceChildren(...policy.map((origin) => Object.assign(document.createElement("li"), { textContent: origin })));
    document.getElementById("no-policy").hidden = policy.length > 0;
  }

  api.runtime.onMessage.addListener((message) => {
    if (message && message.type === "decisions-changed") show();
  });
  api.storage.onChanged.addListener((changes, area) => {
    if (area === "managed") show();
  });
  show();
})();
