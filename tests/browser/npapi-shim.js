// An NPAPI browser, as far as a page can tell, for exercising vellum.js's plug-in backend against
// the real plug-in: injected before the page's own scripts, it announces the plug-in's MIME type
// in navigator.mimeTypes and gives every <embed> of that type, once in the document, the
// scriptable object's 7 properties and 19 methods as synchronous members, as a browser's
// scripting bridge does. Each access is a synchronous request to the test server, which hands
// it to one `vellum-host native-messaging` process per embed; that process hosts the shipping
// plug-in module through the plug-in host library (NPP_New per embed, the hooks per access).
// A hook that answers false throws, as browsers did.
(() => {
  const MIME = "application/x-vnd-vellum-demo";
  const PROPERTIES = ["CN", "SignData", "IssuerCN", "Signature", "SignFile", "HashAlgorithm", "JSCB"];
  const METHODS = [
    "PKCS7Data", "VerifyPKCS7", "VerifySignature", "LastError", "SignCert", "getCertList",
    "getProviderName", "getVersion", "saGetTokenCount", "saGetTokenSN", "saGetTokenMOVAId",
    "SetUKeyVendor", "GetUKeyCount", "GetUKeySN", "GetUKeyCertCount", "ChangeUKeyPIN",
    "CreateX509ReqData", "ImportCertData", "getProviderCertList",
  ];
  const embeds = new WeakMap();
  let nextEmbed = 1;

  // A browser hands the plug-in every number as a double: NaN, the infinities and -0 go in the
  // native host's tagged form, as JSON has no text for them.
  const TAGGED = { NaN: NaN, Infinity: Infinity, "-Infinity": -Infinity, "-0": -0 };
  const wire = (v) => (typeof v !== "number" || (Number.isFinite(v) && !Object.is(v, -0)) ? v
    : { number: Object.keys(TAGGED).find((tag) => Object.is(TAGGED[tag], v)) });
  const unwire = (v) => (v && typeof v === "object" && v.number in TAGGED ? TAGGED[v.number] : v);

  function send(embed, request) {
    const xhr = new XMLHttpRequest();
    xhr.open("POST", "/npapi-relay", false);
    if ("value" in request) request.value = wire(request.value);
    if ("args" in request) request.args = request.args.map(wire);
    xhr.send(JSON.stringify({ embed, request }));
    const answer = JSON.parse(xhr.responseText);
    if (answer.error) throw new Error(`Error calling method on NPObject (${answer.error.code}: ${answer.error.message})`);
    return unwire(answer.result);
  }

  const instance = (element) => {
    if (element.type !== MIME || !element.isConnected) return null;
    if (!embeds.has(element)) embeds.set(element, `${location.origin}#${nextEmbed++}`);
    return embeds.get(element);
  };

  let pluginName = null;
  const plugin = { get name() { return pluginName || (pluginName = send("identity", { op: "hello" }).name); } };
  const mimeType = { type: MIME, enabledPlugin: plugin };
  const mimeTypes = { length: 1, 0: mimeType, [MIME]: mimeType, namedItem: (t) => (t === MIME ? mimeType : null) };
  Object.defineProperty(Navigator.prototype, "mimeTypes", { get: () => mimeTypes, configurable: true });

  const proto = HTMLEmbedElement.prototype;
  for (const name of PROPERTIES) {
    Object.defineProperty(proto, name, {
      configurable: true,
      get() { const id = instance(this); return id ? send(id, { op: "get", name }) : undefined; },
      set(value) { const id = instance(this); if (id) send(id, { op: "set", name, value }); },
    });
  }
  for (const name of METHODS) {
    Object.defineProperty(proto, name, {
      configurable: true,
      get() {
        const id = instance(this);
        return id ? (...args) => send(id, { op: "call", name, args }) : undefined;
      },
    });
  }
})();
