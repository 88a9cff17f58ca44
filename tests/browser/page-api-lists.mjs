// The page API is listed in four JavaScript files that cannot share one list (the page's world,
// the extension's isolated world, the page library and the test's NPAPI shim load no common
// module). Each must name exactly the plug-in's own table of properties and methods, in its
// order: a member added to or dropped from any of them fails here.
//   node page-api-lists.mjs SOURCE_DIR
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import path from "node:path";

const source = process.argv[2];
assert.ok(source, "usage: page-api-lists.mjs SOURCE_DIR");
const read = (file) => readFileSync(path.join(source, file), "utf8");
const strings = (text) => [...text.matchAll(/"([^"]*)"/g)].map((m) => m[1]);

// The plug-in's table: the identifier names its scriptable object answers to.
function pluginTable(name) {
  const match = read("src/script/SigningScriptApi.cpp").match(
    new RegExp(`${name}\\[\\] = \\{([^}]*)\\}`));
  assert.ok(match, `no ${name} in src/script/SigningScriptApi.cpp`);
  return strings(match[1]);
}

function jsList(file, name) {
  const match = read(file).match(new RegExp(`const ${name} = (?:Object\\.freeze\\()?\\[([^\\]]*)\\]`));
  assert.ok(match, `no ${name} list in ${file}`);
  return strings(match[1]);
}

const properties = pluginTable("pluginPropertyIdentifierNames");
const methods = pluginTable("pluginMethodIdentifierNames");
assert.equal(properties.length, 7, "the plug-in's property table");
assert.equal(methods.length, 19, "the plug-in's method table");

const files = ["browser/vellum.js", "browser/extension/page-api.js", "browser/extension/protocol.js",
  "tests/browser/npapi-shim.js"];
for (const file of files) {
  assert.deepEqual(jsList(file, "PROPERTIES"), properties, `${file}: PROPERTIES differ from the plug-in's table`);
  assert.deepEqual(jsList(file, "METHODS"), methods, `${file}: METHODS differ from the plug-in's table`);
}
console.log(`page API lists: ${files.length} files name the plug-in's ${properties.length} properties and ${methods.length} methods`);
