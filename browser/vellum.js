// vellum page library: one asynchronous API for the vellum signing plug-in, whether the browser
// still runs the NPAPI plug-in or has the vellum bridge extension.
//
//   import { Vellum } from "./vellum.js";
//   const vellum = await Vellum.connect();
//   const list = await vellum.getCertList();
//   await vellum.set({ CN: "01A2B3", HashAlgorithm: "sha256", SignData: "text" });
//   const signature = await vellum.get("Signature");
//
// Plain ES module, no dependencies. Failures of the way to the plug-in (no plug-in and no
// extension, consent refused, native host gone, ...) reject with a VellumError whose `code` says
// which; the plug-in's own answers, "E:1000" included, are results. Numbers pass as they are,
// NaN, ±Infinity and -0 included, over both backends.

export const MIME_TYPE = "application/x-vnd-vellum-demo";

export const PROPERTIES = Object.freeze(["CN", "SignData", "IssuerCN", "Signature", "SignFile", "HashAlgorithm", "JSCB"]);
export const METHODS = Object.freeze([
  "PKCS7Data", "VerifyPKCS7", "VerifySignature", "LastError", "SignCert", "getCertList",
  "getProviderName", "getVersion", "saGetTokenCount", "saGetTokenSN", "saGetTokenMOVAId",
  "SetUKeyVendor", "GetUKeyCount", "GetUKeySN", "GetUKeyCertCount", "ChangeUKeyPIN",
  "CreateX509ReqData", "ImportCertData", "getProviderCertList",
]);

/**
 * Why a call did not reach the plug-in.
 *
 * `code`: "unavailable", "no-plugin", "refused", "bad-request", "consent", "no-host",
 * "host-exited", "host-limit", "too-large", "lost-answer", "disconnected", ...
 *
 * `reason`, with code "consent" (over the extension): what the page can do about it.
 *   - "denied": the user denied this site the token (or revoked it); asking again changes
 *     nothing until the user allows the site in the extension's options.
 *   - "needs-gesture": a consent window would open only from a click or a key press: call again
 *     from a click or key handler of the asking page (or frame).
 *   - "paused": windows for this site were closed unanswered too often; none opens before
 *     `until` (ms since the epoch), unless the user lifts the pause in the extension's options.
 *   - "dismissed": the consent window was closed unanswered, or left alone; the next call from a
 *     click or key handler asks again.
 */
export class VellumError extends Error {
  constructor(code, message, { reason, until } = {}) {
    super(message || code);
    this.name = "VellumError";
    this.code = code;
    if (reason !== undefined) this.reason = reason;
    if (until !== undefined) this.until = until;
  }
}

// Names neither backend knows, refused the same over both.
function refusal(op, name) {
  if (op === "hello") return null;
  const names = op === "call" ? METHODS : PROPERTIES;
  if (!names.includes(name)) return new VellumError("bad-request", `no ${op === "call" ? "method" : "property"} '${name}' on the plug-in`);
  return null;
}

// The API both backends give: info, get, set, call and one function per method.
function makeApi(backend, send) {
  const request = (op, name, payload) => {
    const refused = refusal(op, name);
    return refused ? Promise.reject(refused) : send(op, name, payload);
  };
  const api = {
    backend,
    info: () => request("hello"),
    get: (name) => request("get", name),
    set(nameOrValues, value) {
      if (typeof nameOrValues === "string") return request("set", nameOrValues, value);
      if (!nameOrValues || typeof nameOrValues !== "object") {
        return Promise.reject(new VellumError("bad-request", "set takes a name and a value, or an object"));
      }
      return Object.keys(nameOrValues).reduce(
        (previous, name) => previous.then(() => request("set", name, nameOrValues[name])), Promise.resolve())
        .then(() => undefined);
    },
    call: (name, ...args) => request("call", name, args),
  };
  for (const name of METHODS) api[name] = (...args) => request("call", name, args);
  return Object.freeze(api);
}

function hasPlugin() {
  const types = globalThis.navigator && navigator.mimeTypes;
  const type = types && (typeof types.namedItem === "function" ? types.namedItem(MIME_TYPE) : types[MIME_TYPE]);
  return Boolean(type && type.enabledPlugin);
}

async function bodyReady() {
  if (document.body) return;
  await new Promise((resolve) => document.addEventListener("DOMContentLoaded", resolve, { once: true }));
}

// The NPAPI backend: an <embed> of the plug-in, its synchronous script API called in order.
async function connectPlugin() {
  await bodyReady();
  const embed = document.createElement("embed");
  embed.type = MIME_TYPE;
  embed.width = 1;
  embed.height = 1;
  // Kept out of sight but laid out: a plug-in that is not displayed is not started.
  embed.style.cssText = "position:absolute;left:-10000px;top:0;width:1px;height:1px";
  document.body.appendChild(embed);
  // Browsers start the plug-in when the element is laid out; give it a few frames.
  for (let i = 0; i < 50 && typeof embed.getVersion !== "function"; i++) {
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  if (typeof embed.getVersion !== "function") {
    embed.remove();
    throw new VellumError("no-plugin", "the vellum plug-in did not start");
  }
  const run = (what, action) => {
    try {
      return action();
    } catch (error) {
      // The browser throws when the plug-in's hook refuses (a read-only property, a wrong count).
      throw new VellumError("refused", `the plug-in refused ${what}: ${error && error.message || error}`);
    }
  };
  const request = async (op, name, payload) => {
    if (op === "hello") {
      const plugin = navigator.mimeTypes.namedItem(MIME_TYPE).enabledPlugin;
      return { name: plugin.name, version: run("getVersion", () => embed.getVersion()), mimeType: MIME_TYPE };
    }
    // Names and values were checked before (refusal).
    if (op === "get") return run(`reading ${name}`, () => embed[name]);
    if (op === "set") {
      run(`writing ${name}`, () => { embed[name] = payload; });
      return null;
    }
    return run(name, () => embed[name](...payload));
  };
  return makeApi("npapi", request);
}

// The extension backend: window.vellumBridge, which the bridge extension puts into pages it serves.
// A page connects before it calls, so the extension gets the native host of an allowed site
// going meanwhile (older versions of the extension have no prepare).
function connectExtension(bridge) {
  if (typeof bridge.prepare === "function") bridge.prepare();
  const request = (op, name, payload) => {
    const call = op === "hello" ? bridge.info() : op === "get" ? bridge.get(name)
      : op === "set" ? bridge.set(name, payload) : bridge.call(name, ...payload);
    return call.then((value) => (op === "set" ? null : value), (error) => {
      throw new VellumError(error && error.code ? String(error.code) : "bridge", error && error.message,
        { reason: error && error.reason, until: error && error.until });
    });
  };
  return makeApi("extension", request);
}

export const Vellum = Object.freeze({
  // Resolves with the API over the plug-in where the browser has it, else over the extension;
  // rejects with code "unavailable" when there is neither. Makes no call to the token: the
  // extension asks the user for consent on the page's first call, and starts the native host
  // now only for a site the user or the administrator already allowed; connecting early, as
  // the page loads, takes the host's start out of the first call.
  async connect() {
    if (hasPlugin()) return connectPlugin();
    const bridge = globalThis.vellumBridge;
    if (bridge && typeof bridge.call === "function") return connectExtension(bridge);
    throw new VellumError("unavailable",
      "neither the vellum plug-in nor the vellum bridge extension is available on this page");
  },
});
