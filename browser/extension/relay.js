// Relay between this page's world (page-api.js) and the extension's background, in the
// extension's isolated world. Requests arrive as JSON text in a DOM event of this document only;
// each one is checked before it goes on. The background learns who is asking from the browser's
// own record of this script's port (tab, frame, origin), never from what the page says.
"use strict";

(() => {
  const api = globalThis.browser || globalThis.chrome;
  const REQUEST_EVENT = "vellum-bridge:request";
  const REPLY_EVENT = "vellum-bridge:reply";
  const PREPARE_EVENT = "vellum-bridge:prepare";
  // While this page holds a native host, tell the background now and then that we are here:
  // Firefox suspends an idle background and its ports with it.
  const KEEPALIVE_MS = 20000;

  let port = null;
  let keepalive = 0;
  // Bytes of this page's requests not answered yet, by id: past the bridge's bound per page a
  // request is refused here, in the page's own process, before it reaches the extension's.
  const held = new Map();
  let heldBytes = 0;
  const settle = (id) => {
    heldBytes -= held.get(id) || 0;
    held.delete(id);
    reserving.delete(id);
  };
  // A large request of a frame asks the background for its room first and goes only once it has
  // it: one refused for its tab's or everyone's bound never reaches the extension's process at
  // all (a dozen frames' 60 MiB each would otherwise all arrive there before being refused). A
  // tab's own page, one to a tab and bounded by the check here, saves itself the round trip.
  const RESERVE_ABOVE = window.top === window ? Infinity : 1024 * 1024;
  const reserving = new Map();  // id -> the request waiting for its room
  // When the user last clicked, touched or pressed a key in this very frame (the browser's own
  // events, which page script cannot make). A frame that got the user's activation only because
  // the user clicked in a frame inside it saw no such event: its calls carry no gesture.
  let gestureAt = 0;
  for (const type of ["pointerdown", "mousedown", "touchend", "keydown"]) {
    addEventListener(type, (event) => { if (event.isTrusted) gestureAt = Date.now(); }, { capture: true });
  }
  // A prerendered page, which the user has not seen, asks nothing until it is shown: its
  // requests wait here.
  let shown = !document.prerendering;
  const waiting = [];
  if (!shown) {
    document.addEventListener("prerenderingchange", () => {
      shown = true;
      for (const message of waiting.splice(0)) post(message);
    }, { once: true });
  }

  function reply(message) {
    document.dispatchEvent(new CustomEvent(REPLY_EVENT, { detail: JSON.stringify(message) }));
  }

  function fail(id, code, text) {
    reply({ id, error: { code, message: text } });
  }

  function connect() {
    port = api.runtime.connect({ name: "vellum-page" });
    port.onMessage.addListener((message) => {
      if (message && typeof message === "object" && Number.isSafeInteger(message.reserved)) {
        const request = reserving.get(message.reserved);
        reserving.delete(message.reserved);
        if (request && port) port.postMessage(request);
        return;
      }
      if (message && typeof message === "object" && Number.isSafeInteger(message.id)) {
        settle(message.id);
        reply(message);
      }
    });
    // The background went away with calls in flight (it answers every pending call itself
    // before it closes a page's port on purpose).
    port.onDisconnect.addListener(closed);
    keepalive = setInterval(() => port && port.postMessage({ op: "keepalive" }), KEEPALIVE_MS);
  }

  function closed() {
    port = null;
    held.clear();
    reserving.clear();
    heldBytes = 0;
    clearInterval(keepalive);
    reply({ disconnected: true });
  }

  // A page the user left (for another page, or by reloading it) has gone for the extension,
  // whether or not the browser keeps it to come back to: its port closes, and with it a consent
  // window only it waited on (which counts as closed unanswered). Its next call, if it is shown
  // again, connects anew.
  addEventListener("pagehide", () => {
    if (!port) return;
    const leaving = port;
    closed();
    leaving.disconnect();
  });

  // The page will call soon: the port opens now, and with it the background starts the native
  // host if this site is already allowed.
  document.addEventListener(PREPARE_EVENT, () => {
    try {
      if (!port) connect();
    } catch { /* the extension was reloaded or removed: the first call says so */ }
  });

  document.addEventListener(REQUEST_EVENT, (event) => {
    if (typeof event.detail !== "string") return;
    let message;
    try { message = JSON.parse(event.detail); } catch { return; }
    const id = message && typeof message === "object" && Number.isSafeInteger(message.id) ? message.id : null;
    if (id === null || id <= 0) return;  // nothing to answer to
    const problem = VellumProtocol.problemWith(message);
    if (problem) return fail(id, "bad-request", problem);
    const bytes = VellumProtocol.fits(message) ? VellumProtocol.heldBytes(message) : Infinity;
    if (heldBytes + bytes > VellumProtocol.MAX_REQUEST_BYTES) {
      return fail(id, "too-large", "the request, with this page's others still waiting, exceeds the bridge's 64 MiB per page");
    }
    held.set(id, (held.get(id) || 0) + bytes);
    heldBytes += bytes;
    // The user's gesture in this frame, while it is still the user's activation (a click, a
    // key): the extension opens a consent window after a refusal in this tab only on one, and
    // on each one once. Read here, in the extension's world, where the page cannot redefine it.
    const active = Boolean(navigator.userActivation && navigator.userActivation.isActive);
    const outgoing = { ...message, gestureAt: active ? gestureAt : 0 };
    if (shown) post(outgoing);
    else waiting.push(outgoing);
  });

  function post(message) {
    try {
      if (!port) connect();
      const bytes = held.get(message.id) || 0;
      if (bytes > RESERVE_ABOVE) {
        reserving.set(message.id, message);
        port.postMessage({ op: "reserve", id: message.id, bytes });
      } else {
        port.postMessage(message);
      }
    } catch (error) {
      // The extension was reloaded or removed under this page.
      settle(message.id);
      fail(message.id, "disconnected", String(error && error.message || error));
    }
  }
})();
