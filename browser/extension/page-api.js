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

  function bridgeError(code, message) {
    const error = new Error(message || code);
    error.name = "VellumBridgeError";
    error.code = code;
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
      call.reject(bridgeError(String(answer.error.code), String(answer.error.message || "")));
    } else {
      call.resolve(answer.result);  // no "result": the plug-in's void
    }
  });

  // JSON turns NaN and ±Infinity into null and -0 into 0: such a value would reach the plug-in
  // as another one, so it is refused here, as vellum.js refuses it over either backend.
  const isFinite = Number.isFinite;
  const is = Object.is;
  const unfaithful = (v) => typeof v === "number" && (!isFinite(v) || is(v, -0));

  function request(fields) {
    return new Promise((resolve, reject) => {
      const values = "args" in fields ? fields.args : [fields.value];
      for (let i = 0; i < values.length; i++) {
        if (unfaithful(values[i])) return reject(bridgeError("bad-request", "a number must be finite and not -0"));
      }
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
