// The page-visible API, in the page's own world: window.vellumBridge, an asynchronous twin of
// the vellum embed's script API. It only turns calls into requests for the relay and answers
// back into results; everything it is told is checked again on the extension's side, and who is
// asking is decided there, so nothing here can speak for another page or grant consent.
"use strict";

(() => {
  const REQUEST_EVENT = "vellum-bridge:request";
  const REPLY_EVENT = "vellum-bridge:reply";
  const PREPARE_EVENT = "vellum-bridge:prepare";
  const PROPERTIES = ["CN", "SignData", "IssuerCN", "Signature", "SignFile", "HashAlgorithm", "JSCB"];
  const METHODS = [
    "PKCS7Data", "VerifyPKCS7", "VerifySignature", "LastError", "SignCert", "getCertList",
    "getProviderName", "getVersion", "saGetTokenCount", "saGetTokenSN", "saGetTokenMOVAId",
    "SetUKeyVendor", "GetUKeyCount", "GetUKeySN", "GetUKeyCertCount", "ChangeUKeyPIN",
    "CreateX509ReqData", "ImportCertData", "getProviderCertList",
  ];
  // Later changes to these by page script do not reach the bridge.
  const stringify = JSON.stringify;
  const parse = JSON.parse;
  const dispatch = EventTarget.prototype.dispatchEvent.bind(document);
  const Custom = CustomEvent;

  let nextId = 1;
  const pending = new Map();

  // `reason` (for code "consent"): why the user's consent is missing, and `until` when a pause
  // ends (ms since the epoch), as the extension tells them.
  const REASONS = ["denied", "needs-gesture", "paused", "dismissed"];
  function bridgeError(code, message, reason, until) {
    const error = new Error(message || code);
    error.name = "VellumBridgeError";
    error.code = code;
    if (REASONS.includes(reason)) error.reason = reason;
    if (reason === "paused" && Number.isFinite(until)) error.until = until;
    return error;
  }

  document.addEventListener(REPLY_EVENT, (event) => {
    if (typeof event.detail !== "string") return;
    let answer;
    try { answer = parse(event.detail); } catch { return; }
    if (!answer || typeof answer !== "object") return;
    if (answer.disconnected === true) {
      for (const [, call] of pending) call.reject(bridgeError("disconnected", "the extension closed this page's connection"));
      pending.clear();
      return;
    }
    const call = pending.get(answer.id);
    if (!call) return;
    pending.delete(answer.id);
    if (answer.error && typeof answer.error === "object") {
      const { code, message, reason, until } = answer.error;
      call.reject(bridgeError(String(code), String(message || ""), reason, until));
    } else {
      call.resolve(fromWire(answer.result));  // no "result": the plug-in's void
    }
  });

  // JSON turns NaN and ±Infinity into null and -0 into 0: such a number goes as {number: TAG},
  // which the native host turns into the same double the plug-in gets from an NPAPI browser, and
  // comes back the same way.
  const isFinite = Number.isFinite;
  const is = Object.is;
  const TAGGED = { NaN: NaN, Infinity: Infinity, "-Infinity": -Infinity, "-0": -0 };
  const toWire = (v) => (typeof v !== "number" || (isFinite(v) && !is(v, -0)) ? v
    : { number: v !== v ? "NaN" : v === Infinity ? "Infinity" : v === -Infinity ? "-Infinity" : "-0" });
  const fromWire = (v) => (v !== null && typeof v === "object" && typeof v.number === "string" &&
    Object.prototype.hasOwnProperty.call(TAGGED, v.number) ? TAGGED[v.number] : v);

  function request(fields) {
    return new Promise((resolve, reject) => {
      if ("args" in fields) fields.args = Array.isArray(fields.args) ? fields.args.map(toWire) : fields.args;
      if ("value" in fields) fields.value = toWire(fields.value);
      const id = nextId++;
      let text;
      try { text = stringify({ id, ...fields }); } catch (error) { return reject(bridgeError("bad-request", String(error))); }
      pending.set(id, { resolve, reject });
      dispatch(new Custom(REQUEST_EVENT, { detail: text }));
    });
  }

  const api = {
    properties: Object.freeze(PROPERTIES.slice()),
    methods: Object.freeze(METHODS.slice()),
    // The plug-in's identity as the native host reports it: {protocol, name, version, mimeType}.
    info: () => request({ op: "hello" }),
    get: (name) => request({ op: "get", name }),
    // set("CN", "01A2B3") or set({CN: "01A2B3", HashAlgorithm: "sha256"}), written in that order.
    set(nameOrValues, value) {
      if (typeof nameOrValues === "string") return request({ op: "set", name: nameOrValues, value });
      if (!nameOrValues || typeof nameOrValues !== "object") {
        return Promise.reject(bridgeError("bad-request", "set takes a name and a value, or an object"));
      }
      const writes = Object.keys(nameOrValues).map((name) => request({ op: "set", name, value: nameOrValues[name] }));
      return Promise.all(writes).then(() => undefined);
    },
    call: (name, ...args) => request({ op: "call", name, args }),
    // Gets the way to the token ready ahead of the first call: a site the user or the
    // administrator already allowed has its native host started now. Asks nothing, sends
    // nothing to the token.
    prepare() { dispatch(new Custom(PREPARE_EVENT)); },
  };
  for (const name of METHODS) api[name] = (...args) => request({ op: "call", name, args });

  Object.defineProperty(window, "vellumBridge", {
    value: Object.freeze(api), enumerable: false, configurable: false, writable: false,
  });
})();
