// The bare bridge's content script: a page's request event goes to the background over one port
// per page, opened on the first request; answers come back as events. No checks: a floor.
"use strict";

(() => {
  const api = globalThis.browser || globalThis.chrome;
  let port = null;
  document.addEventListener("bench-bare:request", (event) => {
    if (!port) {
      port = api.runtime.connect({ name: "bench-bare" });
      port.onMessage.addListener((answer) =>
        document.dispatchEvent(new CustomEvent("bench-bare:reply", { detail: JSON.stringify(answer) })));
    }
    port.postMessage(JSON.parse(event.detail));
  });
})();
