// What a page may ask for, checked by the relay (isolated world) and again by the background
// before anything reaches the native host. Shared as one global in those two worlds only; the
// page's own world never sees it.
"use strict";

var VellumProtocol = (() => {
  // The embed's script API: 7 properties and 19 methods.
  const PROPERTIES = ["CN", "SignData", "IssuerCN", "Signature", "SignFile", "HashAlgorithm", "JSCB"];
  const METHODS = [
    "PKCS7Data", "VerifyPKCS7", "VerifySignature", "LastError", "SignCert", "getCertList",
    "getProviderName", "getVersion", "saGetTokenCount", "saGetTokenSN", "saGetTokenMOVAId",
    "SetUKeyVendor", "GetUKeyCount", "GetUKeySN", "GetUKeyCertCount", "ChangeUKeyPIN",
    "CreateX509ReqData", "ImportCertData", "getProviderCertList",
  ];
  // The native host takes frames up to 64 MiB; a request holds its texts plus a few dozen bytes.
  const MAX_REQUEST_BYTES = 64 * 1024 * 1024;
  // What the requests waiting for consent or for a native host may hold, all frames of one tab
  // together and the whole extension together: one tab can still send the largest request,
  // and a few tabs at once cannot take the extension's process past a few hundred MiB.
  const MAX_TAB_BYTES = MAX_REQUEST_BYTES;
  const MAX_WAITING_BYTES = 4 * MAX_REQUEST_BYTES;
  // What a waiting request costs the extension besides its texts (measured: about 900 bytes).
  const REQUEST_OVERHEAD_BYTES = 1024;
  const MAX_ARGUMENTS = 8;
  // The numbers JSON cannot carry (it writes NaN and the infinities as null, -0 as 0) go as
  // {number: TAG}, which the native host turns into the same double, both ways.
  const NUMBER_TAGS = ["NaN", "Infinity", "-Infinity", "-0"];

  const isTaggedNumber = (v) =>
    v !== null && typeof v === "object" && !Array.isArray(v) && Object.keys(v).length === 1 &&
    NUMBER_TAGS.includes(v.number);
  const isValue = (v) =>
    v === null || typeof v === "string" || typeof v === "boolean" ||
    (typeof v === "number" && Number.isFinite(v) && !Object.is(v, -0)) || isTaggedNumber(v);
  const isPageId = (id) => Number.isSafeInteger(id) && id > 0;
  const hasOnly = (object, keys) => Object.keys(object).every((k) => keys.includes(k));

  // A request as a page sends it: {id, op, name?, value?, args?}. Returns null when sound,
  // else why not.
  function problemWith(message) {
    if (message === null || typeof message !== "object" || Array.isArray(message)) return "not an object";
    if (!isPageId(message.id)) return "id must be a positive integer";
    switch (message.op) {
      case "hello":
        return hasOnly(message, ["id", "op"]) ? null : "hello takes no other members";
      case "get":
        if (!hasOnly(message, ["id", "op", "name"])) return "get takes id, op and name";
        return PROPERTIES.includes(message.name) ? null : `no property '${String(message.name)}'`;
      case "set":
        if (!hasOnly(message, ["id", "op", "name", "value"])) return "set takes id, op, name and value";
        if (!PROPERTIES.includes(message.name)) return `no property '${String(message.name)}'`;
        return isValue(message.value) ? null : "a value is a string, a number, a boolean or null";
      case "call":
        if (!hasOnly(message, ["id", "op", "name", "args"])) return "call takes id, op, name and args";
        if (!METHODS.includes(message.name)) return `no method '${String(message.name)}'`;
        if (!Array.isArray(message.args) || message.args.length > MAX_ARGUMENTS) return "args must be a short array";
        return message.args.every(isValue) ? null : "an argument is a string, a number, a boolean or null";
      default:
        return "op must be hello, get, set or call";
    }
  }

  // UTF-8 length of a text without encoding it (lone surrogates count as U+FFFD, 3 bytes).
  function utf8Length(text) {
    let bytes = 0;
    for (let i = 0; i < text.length; i++) {
      const c = text.charCodeAt(i);
      if (c < 0x80) bytes += 1;
      else if (c < 0x800) bytes += 2;
      else if (c >= 0xd800 && c <= 0xdbff && i + 1 < text.length &&
               (text.charCodeAt(i + 1) & 0xfc00) === 0xdc00) { bytes += 4; i++; }
      else bytes += 3;
    }
    return bytes;
  }

  // Whether the request, as JSON, fits the native host's frame limit (with room for the
  // envelope). Short texts are counted at the worst case of 6 bytes a character (\u0000).
  function fits(message) {
    let total = 256;
    for (const v of [message.value, ...(message.args || [])]) {
      if (typeof v !== "string") continue;
      total += v.length * 6 <= MAX_REQUEST_BYTES ? v.length * 6 : utf8Length(JSON.stringify(v));
      if (total > MAX_REQUEST_BYTES) return false;
    }
    return true;
  }

  // The bytes a request holds in the extension while it waits (for consent, for the native
  // host): each text as the script engine keeps it (a byte a character when every character is
  // below U+0100, else two) and the request's own cost.
  function heldBytes(message) {
    let total = REQUEST_OVERHEAD_BYTES;
    for (const v of [message.value, ...(message.args || [])]) {
      if (typeof v === "string") total += /[\u0100-\uffff]/.test(v) ? 2 * v.length : v.length;
    }
    return total;
  }

  // Pages that may reach the bridge: https anywhere, plain http on this machine only.
  function isBridgeOrigin(origin) {
    let url;
    try { url = new URL(origin); } catch { return false; }
    if (url.origin !== origin) return false;
    if (url.protocol === "https:") return true;
    return url.protocol === "http:" && (url.hostname === "localhost" || url.hostname === "127.0.0.1");
  }

  return Object.freeze({
    PROPERTIES, METHODS, MAX_REQUEST_BYTES, MAX_TAB_BYTES, MAX_WAITING_BYTES, problemWith, fits, heldBytes,
    isBridgeOrigin, isTaggedNumber,
  });
})();
