// ESLint over the browser extension, the page library, the demo, the browser tests and the
// browser benchmark. Run by './run lint' from the top of the tree, with the packages of
// package-lock.json installed into the build tree beside a copy of this file (so patterns below
// are relative to the tree's top).
import js from "@eslint/js";
import globals from "globals";

export default [
  { ignores: ["build*/**", "**/node_modules/**"] },
  js.configs.recommended,
  {
    rules: {
      "no-unused-vars": ["error", { args: "after-used", caughtErrors: "none" }],
      eqeqeq: ["error", "always", { null: "ignore" }],
      "no-var": "off",
      "prefer-const": "error",
    },
  },
  {
    // The extension's scripts are classic scripts sharing a few globals of their own
    // (protocol.js, decisions.js) between the worlds that load them.
    files: ["browser/extension/**/*.js"],
    languageOptions: {
      sourceType: "script",
      globals: {
        ...globals.browser,
        ...globals.webextensions,
        ...globals.serviceworker,
        VellumProtocol: "readonly",
        ConsentDecisions: "readonly",
        ConsentGate: "readonly",
      },
    },
    rules: {
      "no-redeclare": ["error", { builtinGlobals: false }],
      "no-unused-vars": ["error", { caughtErrors: "none", varsIgnorePattern: "^(VellumProtocol|ConsentDecisions|ConsentGate)$" }],
    },
  },
  {
    files: ["browser/vellum.js", "browser/demo/**/*.js"],
    languageOptions: { sourceType: "module", globals: globals.browser },
  },
  {
    // The browser benchmark's bare extension: a floor, with no globals of its own.
    files: ["bench/browser/bare-extension/**/*.js"],
    languageOptions: { sourceType: "script", globals: { ...globals.browser, ...globals.webextensions, ...globals.serviceworker } },
  },
  {
    // Injected into pages before their own scripts.
    files: ["tests/browser/**/*.js"],
    languageOptions: { sourceType: "script", globals: globals.browser },
  },
  {
    // Node drivers; the functions they hand to a page run in the page.
    files: ["**/*.mjs"],
    languageOptions: { sourceType: "module", globals: { ...globals.node, ...globals.browser } },
  },
];
