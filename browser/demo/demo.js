// The demo page: lists the token's certificates, signs a text with the one and the hash chosen,
// shows the envelope and LastError. Works unchanged over the NPAPI plug-in and the extension.
import { Vellum } from "../vellum.js";

const $ = (id) => document.getElementById(id);

// "CN=<name>,<serial>;" per certificate.
function parseCertList(list) {
  return list.split(";").filter(Boolean).map((entry) => {
    const comma = entry.lastIndexOf(",");
    return { name: entry.slice(0, comma).replace(/^CN=/, ""), serial: entry.slice(comma + 1) };
  });
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
  try {
    const list = await vellum.getCertList();
    $("last-error").value = await vellum.LastError();
    if (list !== "E:1000") {
      for (const { name, serial } of parseCertList(list)) {
        $("certificate").add(new Option(`${name} (${serial})`, serial));
      }
    }
    $("sign").disabled = $("certificate").options.length === 0;
    document.body.dataset.state = "ready";
  } catch (error) {
    $("last-error").value = `${error.code}: ${error.message}`;
    document.body.dataset.state = "failed";
    return;
  }

  $("sign").addEventListener("click", async () => {
    $("sign").disabled = true;
    document.body.dataset.state = "signing";
    try {
      await vellum.set({ CN: $("certificate").value, HashAlgorithm: $("hash").value, SignData: $("text").value });
      $("envelope").value = await vellum.get("Signature");
      $("last-error").value = await vellum.LastError();
      document.body.dataset.state = "signed";
    } catch (error) {
      $("last-error").value = `${error.code}: ${error.message}`;
      document.body.dataset.state = "failed";
    } finally {
      $("sign").disabled = false;
    }
  });
}

main();
