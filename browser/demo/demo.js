// The demo page: lists the token's certificates, signs a text with the one and the hash chosen,
// shows the envelope and LastError. Works unchanged over the NPAPI plug-in and the extension.
// When the extension has no consent for this site, the page says what the user can do, by the
// error's `reason`.
import { Vellum } from "../vellum.js";

const $ = (id) => document.getElementById(id);

// "CN=<name>,<serial>;" per certificate.
function parseCertList(list) {
  return list.split(";").filter(Boolean).map((entry) => {
    const comma = entry.lastIndexOf(",");
    return { name: entry.slice(0, comma).replace(/^CN=/, ""), serial: entry.slice(comma + 1) };
  });
}

// What to do about a call refused for want of consent; `retry`: a click may ask again.
function advice(error) {
  switch (error.reason) {
    case "denied":
      return { text: "You denied this site your token. To use it here, allow this site in the vellum bridge extension's options.", retry: false };
    case "needs-gesture":
      return { text: "The extension asks for your consent only when you click. Click “Use my token” to be asked.", retry: true };
    case "paused":
      return { text: `Consent windows for this site were closed too often: none is shown until ${new Date(error.until).toLocaleString()}. The extension's options can lift the pause.`, retry: false };
    case "dismissed":
      return { text: "The consent window was closed without an answer. Click “Use my token” to be asked again.", retry: true };
    default:
      return { text: "", retry: false };
  }
}

function failed(error) {
  $("last-error").value = `${error.code}: ${error.message}`;
  const { text, retry } = error.code === "consent" ? advice(error) : { text: "", retry: false };
  $("advice").textContent = text;
  $("advice").hidden = !text;
  $("retry").hidden = !retry;
  document.body.dataset.state = "failed";
  if (error.reason) document.body.dataset.reason = error.reason;
}

async function listCertificates(vellum) {
  $("advice").hidden = true;
  $("retry").hidden = true;
  delete document.body.dataset.reason;
  try {
    const list = await vellum.getCertList();
    $("last-error").value = await vellum.LastError();
    $("certificate").replaceChildren();
    if (list !== "E:1000") {
      for (const { name, serial } of parseCertList(list)) {
        $("certificate").add(new Option(`${name} (${serial})`, serial));
      }
    }
    $("sign").disabled = $("certificate").options.length === 0;
    document.body.dataset.state = "ready";
  } catch (error) {
    failed(error);
  }
}

async function main() {
  let vellum;
  try {
    vellum = await Vellum.connect();
  } catch (error) {
    $("backend").textContent = `Not available: ${error.message}`;
    document.body.dataset.state = "unavailable";
    return;
  }
  $("backend").textContent = vellum.backend === "npapi" ? "Through the vellum plug-in" : "Through the vellum bridge extension";
  // A call from a click handler carries the user's gesture: the extension may ask again.
  $("retry").addEventListener("click", () => listCertificates(vellum));
  await listCertificates(vellum);

  $("sign").addEventListener("click", async () => {
    $("sign").disabled = true;
    document.body.dataset.state = "signing";
    try {
      await vellum.set({ CN: $("certificate").value, HashAlgorithm: $("hash").value, SignData: $("text").value });
      $("envelope").value = await vellum.get("Signature");
      $("last-error").value = await vellum.LastError();
      document.body.dataset.state = "signed";
    } catch (error) {
      failed(error);
    } finally {
      $("sign").disabled = false;
    }
  });
}

main();
