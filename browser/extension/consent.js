// The consent window: shows the origin the background put in this window's address and sends
// the user's click back with the prompt's token. The background trusts this page's messages
// because of where they come from (its sender URL), and only for the token it opened it with.
"use strict";

(() => {
  const api = globalThis.browser || globalThis.chrome;
  const params = new URLSearchParams(location.search);
  const token = params.get("token") || "";
  document.getElementById("origin").textContent = params.get("origin") || "";
  document.getElementById("embedded").hidden = params.get("embedded") !== "1";

  const buttons = [...document.querySelectorAll("button")];
  let decided = false;

  // A page can open this window at a moment of its choosing: right under a click or a key the
  // user meant for the page ("double-click here"). The buttons therefore answer only once the
  // window has been in front for a second, counted again whenever it comes back to the front.
  const ARM_DELAY_MS = 1000;
  let arming = 0;
  function disarm() {
    clearTimeout(arming);
    for (const button of buttons) button.disabled = true;
  }
  function arm() {
    disarm();
    arming = setTimeout(() => {
      if (decided) return;
      for (const button of buttons) button.disabled = false;
      performance.mark("consent-armed");  // when, for the tests
    }, ARM_DELAY_MS);
  }
  window.addEventListener("blur", disarm);
  window.addEventListener("focus", arm);
  arm();

  function decide(allow) {
    if (decided) return;
    decided = true;
    disarm();
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
