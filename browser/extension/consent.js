// The consent window: shows the origins the background put in this window's address (the site
// the user is on first, then the framed site asking, when they differ) and sends
// the user's click back with the prompt's token. The background trusts this page's messages
// because of where they come from (its sender URL), and only for the token it opened it with.
"use strict";

(() => {
  const api = globalThis.browser || globalThis.chrome;
  const params = new URLSearchParams(location.search);
  const token = params.get("token") || "";
  const origin = params.get("origin") || "";
  const top = params.get("top") || origin;

  // An origin on one line, cut from its start when it must be: its end, the registrable domain,
  // is what tells a site from a lookalike, so it always stays in view.
  function showOrigin(element, text) {
    element.dataset.origin = text;
    element.title = text;
    element.textContent = text;
    for (let cut = 1; element.scrollWidth > element.clientWidth && cut < text.length; cut++) {
      element.textContent = `\u2026${text.slice(cut)}`;
    }
  }
  function showOrigins() {
    showOrigin(document.getElementById("origin"), origin);
    if (top !== origin) {
      document.getElementById("on-top").hidden = false;
      document.getElementById("embedded").hidden = false;
      showOrigin(document.getElementById("top"), top);
    }
  }
  showOrigins();
  // Cut again whenever the room for them changes: the window sized by the browser, fonts loaded.
  window.addEventListener("resize", showOrigins);
  document.fonts.ready.then(showOrigins);

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
