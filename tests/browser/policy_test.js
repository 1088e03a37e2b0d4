// The extension's allow-list (web/extension/policy.js) under Node, with the
// browser's storage replaced: which entries parse, which origins they admit,
// and how the administrator's, the user's and the demo entries combine.
//   node policy_test.js POLICY_JS
"use strict";

const fs = require("fs");
const vm = require("vm");
const assert = require("assert");

function load(managed, user) {
  const scope = {
    URL,
    chrome: {
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
  // managed policy, user entries, origin, admitted
  [{}, [], "http://127.0.0.1:8731", true],
  [{}, [], "http://localhost:8731", false],
  [{demoOriginAllowed: false}, [], "http://127.0.0.1:8731", false],
  [{}, ["https://u.test"], "https://u.test", true],
  [{userOriginsAllowed: false}, ["https://u.test"], "https://u.test", false],
  [{userOriginsAllowed: false, allowedOrigins: ["https://u.test"]}, [], "https://u.test", true],
  [{allowedOrigins: "https://u.test"}, [], "https://u.test", false], // not a list
  [{}, ["not an origin", "https://ok.test"], "https://ok.test", true],
  [new Error("no policy for this extension"), [], "http://127.0.0.1:1", true],
  [new Error("no policy for this extension"), ["https://u.test"], "https://u.test", true],
];

(async () => {
  for (const [text, want] of canonical)
    await check(`canonicalEntry(${JSON.stringify(text)})`,
                () => assert.strictEqual(P.canonicalEntry(text), want));
  for (const [entry, origin, want] of matches)
    await check(`${entry} admits ${origin}`,
                () => assert.strictEqual(P.matches(P.parseEntry(entry), origin), want));
  for (const [managed, user, origin, want] of combinations)
    await check(`${JSON.stringify(managed instanceof Error ? "throws" : managed)} + ` +
                `${JSON.stringify(user)} admits ${origin}`,
                async () => assert.strictEqual(await load(managed, user).isAllowed(origin), want));
  const total = canonical.length + matches.length + combinations.length;
  console.log(`policy: ${total - failures} of ${total} cases as expected`);
  process.exit(failures ? 1 : 0);
})();
