// The page library (web/orvane.js) under Node, the content script played by
// this test: what each of the extension's answers becomes for the page
// (result, or which error class), that a call the extension no longer holds
// settles instead of waiting for ever, and that a timed-out call waiting for
// its turn is never sent. The library's timers run twenty times faster.
//   node library_test.js ORVANE_JS
"use strict";

const fs = require("fs");
const vm = require("vm");
const assert = require("assert");

const ORIGIN = "https://bank.test";
const SPEED = 20;

// A window with the library in it. script(request) plays the content script:
// it returns the reply to post, "hold" (kept, answered later with answer()),
// or "drop" (lost, as when the extension is reloaded under the page).
function load(script) {
  const listeners = [];
  const held = new Map();
  const seen = [];
  const win = {
    location: {origin: ORIGIN},
    addEventListener: (type, fn) => type === "message" && listeners.push(fn),
    postMessage: (data) => {
      const copy = JSON.parse(JSON.stringify(data));
      setImmediate(() => listeners.forEach((fn) => fn({source: win, origin: ORIGIN, data: copy})));
    },
  };
  const toPage = (reply) => win.postMessage(Object.assign({orvane: "reply"}, reply));
  listeners.push((event) => {
    const data = event.data;
    if (data.orvane !== "request")
      return;
    if (data.type === "ping")
      return toPage({id: data.id, type: "pong", holding: [...held.keys()]});
    seen.push(data);
    const reply = script(data);
    if (reply === "hold")
      held.set(data.id, data);
    else if (reply !== "drop")
      toPage(Object.assign({id: data.id}, reply));
  });
  const scope = {
    window: win, console, Error, Promise, Map, Set, Object, Array, String, Number, JSON, Date,
    setTimeout: (fn, ms) => setTimeout(fn, ms / SPEED), clearTimeout,
    setInterval: (fn, ms) => setInterval(fn, ms / SPEED), clearInterval,
  };
  vm.runInContext(fs.readFileSync(process.argv[2], "utf8"), vm.createContext(scope));
  const answer = (method, reply) => {
    const [id] = [...held].find(([, r]) => r.request && r.request.function === method);
    held.delete(id);
    toPage(Object.assign({id}, reply));
  };
  return {Orvane: win.Orvane, seen, answer};
}

const hello = (version = "1.1.0", allowed = true) =>
  ({type: "hello", allowed, origin: ORIGIN, version, hosts: ["tandry", "sarvik"]});
const response = (request, errorcode, result) =>
  ({type: "response", host: "sarvik", response: {function: request.function, errorcode, result}});

// outcome: what a promise came to: its value, or the error's class name.
async function outcome(Orvane, promise) {
  try {
    return {value: await promise};
  } catch (e) {
    const kinds = ["CancelledError", "HostError", "ExtensionMissingError", "ExtensionDisconnectedError",
                   "OriginNotAllowedError", "HostMissingError", "HostExitedError",
                   "VersionMismatchError", "TimeoutError"];
    assert.ok(e instanceof Orvane.OrvaneError, `${e} is no OrvaneError`);
    assert.strictEqual(e.constructor.name, e.name, "the class and the error name differ");
    assert.strictEqual(Orvane[e.name], e.constructor, `Orvane.${e.name} is not the error's class`);
    return {error: kinds.find((k) => e instanceof Orvane[k]) ?? "OrvaneError", name: e.name, code: e.code,
            description: e.description, hex: e.hex, part: e.part, version: e.version};
  }
}

let failures = 0;
async function check(what, fn) {
  let timer;
  try {
    // A promise that never settles is the fault this file looks for most.
    await Promise.race([fn(), new Promise((resolve, reject) => {
      timer = setTimeout(() => reject(new Error("still pending after 10 s")), 10000);
    })]);
  } catch (e) {
    failures++;
    console.log(`FAIL: ${what}: ${e.message}`);
  } finally {
    clearTimeout(timer);
  }
}

(async () => {
  await check("connect() takes an extension no older than the library needs", async () => {
    for (const [version, takes] of [["1.1.0", true], ["1.1", true], ["1.10.0", true], ["2.0.0", true],
                                    ["1.0.9", false], ["1.0.0", false], [null, false]]) {
      const {Orvane} = load(() => hello(version));
      const o = await outcome(Orvane, Orvane.connect({timeoutMs: 1e6}));
      if (takes)
        assert.ok(o.value, `${version}: ${JSON.stringify(o)}`);
      else
        assert.deepStrictEqual([o.error, o.code, o.part, o.version],
                               ["VersionMismatchError", "VERSION_MISMATCH", "extension", version ?? null],
                               `${version}: ${JSON.stringify(o)}`);
    }
  });

  await check("each answer becomes the result or its error class, with the host's words", async () => {
    const cancelled = 0xA0071002 | 0;
    const table = [
      [response({function: "VURO_SignData"}, 0, "MIIB"), {value: "MIIB"}],
      [response({function: "VURO_SignData"}, cancelled, false),
       {error: "CancelledError", name: "CancelledError", code: cancelled, hex: "0xA0071002", description: "said"}],
      [response({function: "VURO_SignData"}, 0xA0071101 | 0, false),
       {error: "HostError", name: "HostError", code: 0xA0071101 | 0, hex: "0xA0071101", description: "said"}],
      [{type: "error", code: "HOST_UNAVAILABLE", message: "m", host: "sarvik"},
       {error: "HostMissingError", name: "HostMissingError", code: "HOST_UNAVAILABLE"}],
      [{type: "error", code: "HOST_DISCONNECTED", message: "m", host: "sarvik"},
       {error: "HostExitedError", name: "HostExitedError", code: "HOST_DISCONNECTED"}],
      [{type: "error", code: "ORIGIN_NOT_ALLOWED", message: "m"},
       {error: "OriginNotAllowedError", name: "OriginNotAllowedError", code: "ORIGIN_NOT_ALLOWED"}],
      [{type: "error", code: "EXTENSION_DISCONNECTED", message: "m"},
       {error: "ExtensionDisconnectedError", name: "ExtensionDisconnectedError", code: "EXTENSION_DISCONNECTED"}],
      [{type: "error", code: "VERSION_MISMATCH", message: "m", host: "sarvik", version: "3.0.0.0",
        minimum: "3.4.0.3"},
       {error: "VersionMismatchError", name: "VersionMismatchError", code: "VERSION_MISMATCH",
        part: "sarvik", version: "3.0.0.0"}],
      [{type: "error", code: "BAD_REQUEST", message: "m"}, {error: "OrvaneError", name: "OrvaneError",
                                                            code: "BAD_REQUEST"}],
    ];
    for (const [reply, want] of table) {
      const {Orvane, seen} = load((m) => m.type === "hello" ? hello()
          : m.request.function === "VURO_GetLastErrorDesc" ? response(m.request, 0, "said") : reply);
      const o = await Orvane.connect({timeoutMs: 1e6});
      const got = await outcome(Orvane, o.sign("VURO_SignData", "text", "SHA-1"));
      for (const [key, value] of Object.entries(want))
        assert.deepStrictEqual(got[key], value, `${JSON.stringify(reply)}: ${key} is ${JSON.stringify(got[key])}`);
      // The description is asked only after a host's own failure.
      const asked = seen.some((m) => m.request && m.request.function === "VURO_GetLastErrorDesc");
      assert.strictEqual(asked, typeof got.code === "number", `${JSON.stringify(reply)}: description asked ${asked}`);
    }
  });

  await check("a call the extension lost settles; one it holds waits for its answer", async () => {
    const {Orvane, answer} = load((m) => m.type === "hello" ? hello()
        : m.request.function === "VURO_SelectUserCert" ? "hold" : "drop");
    const o = await Orvane.connect({timeoutMs: 1e6});
    const lost = outcome(Orvane, o.enrol("VURO_GetCSPInfo"));
    const kept = outcome(Orvane, o.sign("VURO_SelectUserCert", "", "", "", "", true));
    assert.deepStrictEqual((await lost).error, "ExtensionDisconnectedError");
    // Several pings later the held call is still waiting, then gets its answer.
    await new Promise((resolve) => setTimeout(resolve, 4 * 4000 / SPEED));
    answer("VURO_SelectUserCert", response({function: "VURO_SelectUserCert"}, 0, "CSP"));
    assert.deepStrictEqual(await kept, {value: "CSP"});
  });

  await check("a timeout rejects when due, and a call timed out in the queue is never sent", async () => {
    const {Orvane, seen, answer} = load((m) => m.type === "hello" ? hello()
        : m.request.function === "VURO_SelectUserCert" ? "hold" : response(m.request, 0, m.request.function));
    const o = await Orvane.connect({timeoutMs: 1e6, callTimeoutMs: 0});
    const first = outcome(Orvane, o.withOptions({timeoutMs: 2000}).sign("VURO_SelectUserCert", "", "", "", "", true));
    const queued = outcome(Orvane, o.withOptions({timeoutMs: 1000}).sign("VURO_GetCertInfo", "CertType"));
    const other = outcome(Orvane, o.enrol("VURO_GetCSPInfo"));
    assert.deepStrictEqual([(await queued).error, (await first).error], ["TimeoutError", "TimeoutError"]);
    assert.deepStrictEqual(await other, {value: "VURO_GetCSPInfo"}, "a call to the other host waited");
    // The late answer to the timed-out call is not the next call's.
    const next = outcome(Orvane, o.sign("VURO_GetVersion"));
    answer("VURO_SelectUserCert", response({function: "VURO_SelectUserCert"}, 0xA0071002 | 0, false));
    assert.deepStrictEqual(await next, {value: "VURO_GetVersion"});
    const sent = seen.filter((m) => m.request).map((m) => m.request.function);
    assert.deepStrictEqual(sent, ["VURO_SelectUserCert", "VURO_GetCSPInfo", "VURO_GetVersion"]);
  });

  console.log(`library: ${failures ? failures + " case(s) failed" : "every case as expected"}`);
  process.exit(failures ? 1 : 0);
})();
