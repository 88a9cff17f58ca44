// The bare bridge's background: one native host per page port, started on the page's first
// message ({host, request}) and closed with the port; each request goes to the host as it is and
// each answer back to the page. The host's name comes from the page, so that the same extension
// measures the bare host and vellum-host.
"use strict";

const api = globalThis.browser || globalThis.chrome;

api.runtime.onConnect.addListener((port) => {
  let native = null;
  port.onMessage.addListener((message) => {
    if (!native) {
      native = api.runtime.connectNative(message.host);
      native.onMessage.addListener((answer) => port.postMessage(answer));
      native.onDisconnect.addListener(() => port.disconnect());
    }
    native.postMessage(message.request);
  });
  port.onDisconnect.addListener(() => native && native.disconnect());
});
