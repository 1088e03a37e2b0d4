// The extension's allow-list (web/extension/policy.js) under Node, with the
// browser's storage replaced: which entries parse, which origins they admit,
// and how the administrator's, the user's and the demo entries combine with
// the kind of install.
//   node policy_test.js POLICY_JS
"use strict";

const fs = require("fs");
const vm = require("vm");
const assert = require("assert");

function load(managed, user, installType = "normal") {
  const scope = {
    URL,
    chrome: {
      management: {getSelf: async () => {
        if (installType instanceof Error)
          throw installType;
        return {installType};
      }},
      storage: {
        managed: {get: async () => {
          if (managed instanceof Error)
            throw managed;
          return managed;
        }},
        local: {get: async () => ({allowedOrigins: user}), set: async () => {}},
      },
    },
  };
  scope.globalThis = scope;
  vm.runInNewContext(fs.readFileSync(process.argv[2], "utf8"), scope);
  return scope.OrvanePolicy;
}

let failures = 0;
function check(what, fn) {
  return Promise.resolve().then(fn).catch((e) => {
    failures++;
    console.log(`FAIL: ${what}: ${e.message}`);
  });
}

const P = load({}, []);

const canonical = [
  ["https://bank.example", "https://bank.example:443"],
  ["HTTPS://Bank.Example/", "https://bank.example:443"],
  ["  http://intranet.example:8080 ", "http://intranet.example:8080"],
  ["http://127.0.0.1:*", "http://127.0.0.1:*"],
  ["https://*.example.org", "https://*.example.org:443"],
  ["http://[::1]:8731", "http://[::1]:8731"],
  // Not entries: no scheme, other schemes, paths, ports out of range, bare
  // or inner wildcards, queries, other types.
  ["example.com", null], ["ftp://a.test", null], ["https://a.test/path", null],
  ["https://a.test:0", null], ["https://a.test:65536", null], ["https://*", null],
  ["https://a.*.test", null], ["javascript:alert(1)", null], ["https://a.test?x", null],
  ["https://user@a.test", null], ["", null], [42, null], [null, null],
];

const matches = [
  // entry, origin, admitted
  ["https://example.com", "https://example.com", true],
  ["https://example.com", "https://example.com:443", true],
  ["https://example.com", "https://example.com.evil.test", false],
  ["https://example.com", "https://evilexample.com", false],
  ["https://example.com", "http://example.com", false],
  ["https://example.com", "https://example.com:8443", false],
  ["https://example.com", "https://sub.example.com", false],
  ["https://*.example.org", "https://example.org", true],
  ["https://*.example.org", "https://a.b.example.org", true],
  ["https://*.example.org", "https://badexample.org", false],
  ["http://127.0.0.1:*", "http://127.0.0.1:8731", true],
  ["http://127.0.0.1:*", "http://127.0.0.1", true],
  ["http://127.0.0.1:*", "http://localhost:8731", false],
  ["http://127.0.0.1:*", "https://127.0.0.1:8731", false],
  ["http://127.0.0.1:*", "null", false],
  ["http://intranet.example:8080", "http://INTRANET.example:8080", true],
];

const combinations = [
  // install type, managed policy, user entries, origin, admitted. Only a
  // development install, or policy, or the user admits the demo origin.
  ["development", {}, [], "http://127.0.0.1:8731", true],
  ["normal", {}, [], "http://127.0.0.1:8731", false],
  ["sideload", {}, [], "http://127.0.0.1:8731", false],
  ["admin", {}, [], "http://127.0.0.1:8731", false],
  [new Error("no management API"), {}, [], "http://127.0.0.1:8731", false],
  ["development", new Error("no policy for this extension"), [], "http://127.0.0.1:1", true],
  ["normal", new Error("no policy for this extension"), [], "http://127.0.0.1:1", false],
  ["development", {demoOriginAllowed: false}, [], "http://127.0.0.1:8731", false],
  ["normal", {demoOriginAllowed: true}, [], "http://127.0.0.1:8731", true],
  ["normal", {allowedOrigins: ["http://127.0.0.1:8731"]}, [], "http://127.0.0.1:8731", true],
  ["normal", {}, ["http://127.0.0.1:*"], "http://127.0.0.1:8731", true],
  ["normal", {userOriginsAllowed: false}, ["http://127.0.0.1:*"], "http://127.0.0.1:8731", false],
  ["development", {}, [], "http://localhost:8731", false],
  // The other entries do not depend on the install.
  ["normal", {}, ["https://u.test"], "https://u.test", true],
  ["normal", {userOriginsAllowed: false}, ["https://u.test"], "https://u.test", false],
  ["normal", {userOriginsAllowed: false, allowedOrigins: ["https://u.test"]}, [], "https://u.test", true],
  ["normal", {allowedOrigins: "https://u.test"}, [], "https://u.test", false], // not a list
  ["normal", {}, ["not an origin", "https://ok.test"], "https://ok.test", true],
  ["normal", new Error("no policy for this extension"), ["https://u.test"], "https://u.test", true],
];

(async () => {
  for (const [text, want] of canonical)
    await check(`canonicalEntry(${JSON.stringify(text)})`,
                () => assert.strictEqual(P.canonicalEntry(text), want));
  for (const [entry, origin, want] of matches)
    await check(`${entry} admits ${origin}`,
                () => assert.strictEqual(P.matches(P.parseEntry(entry), origin), want));
  const shown = (v) => JSON.stringify(v instanceof Error ? "throws" : v);
  for (const [installType, managed, user, origin, want] of combinations)
    await check(`${shown(installType)} install, ${shown(managed)} + ${shown(user)} admits ${origin}`,
                async () => assert.strictEqual(
                    await load(managed, user, installType).isAllowed(origin), want));
  const total = canonical.length + matches.length + combinations.length;
  console.log(`policy: ${total - failures} of ${total} cases as expected`);
  process.exit(failures ? 1 : 0);
})();
