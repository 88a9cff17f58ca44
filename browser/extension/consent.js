// The consent window: shows the origin the background put in this window's address and sends
// the user's click back with the prompt's token. The background trusts this page's messages
// because of where they come from (its sender URL), and only for the token it opened it with.
"use strict";

(() => {
  const api = globalThis.browser || globalThis.chrome;
  const params = new URLSearchParams(location.search);
  const token = params.get("token") || "";
  document.getElementById("origin").textContent = params.get("origin") || "";

  function decide(allow) {
    for (const button of document.querySelectorAll("button")) button.disabled = true;
    api.runtime.sendMessage({ type: "consent-decision", token, allow }).catch(() => {}).finally(() => window.close());
  }
  document.getElementById("allow").addEventListener("click", () => decide(true));
  document.getElementById("deny").addEventListener("click", () => decide(false));

  // Firefox suspends an idle background, and the prompt with it; a message every 10 s keeps it.
  setInterval(() => {
    api.runtime.sendMessage({ type: "consent-ping", token })
      .then((answer) => { if (!answer || !answer.waiting) window.close(); })
      .catch(() => {});
  }, 10000);
})();
