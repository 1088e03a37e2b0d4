// The extension's background (web/extension/background.js, with policy.js)
// under Node, its native ports played by this test: every page call must get
// its own host's answer, whatever frames the host sends in between and in
// whatever order, and a host that ends fails exactly its own pending calls.
//   node pairing_test.js POLICY_JS BACKGROUND_JS
"use strict";

const fs = require("fs");
const vm = require("vm");
const assert = require("assert");

function event() {
  const listeners = [];
  return {addListener: (fn) => listeners.push(fn), fire: (...args) => listeners.forEach((fn) => fn(...args))};
}

// A native port as the browser gives one: what the background posts is
// copied (as the browser serializes it), and the test answers as the host.
class NativePort {
  constructor(name) {
    this.name = name;
    this.requests = [];
    this.onMessage = event();
    this.onDisconnect = event();
  }
  postMessage(message) {
    this.requests.push(JSON.parse(JSON.stringify(message)));
  }
  answer(frame) {
    this.onMessage.fire(JSON.parse(JSON.stringify(frame)));
  }
  disconnect() {}
}

function load() {
  const natives = [];
  const warnings = [];
  let onConnect = null;
  const scope = {
    URL, crypto: require("crypto").webcrypto,
    console: {warn: (text) => warnings.push(text), log: console.log, error: console.error},
    chrome: {
      runtime: {
        onConnect: {addListener: (fn) => { onConnect = fn; }},
        connectNative: (name) => {
          const port = new NativePort(name);
          natives.push(port);
          return port;
        },
        getManifest: () => ({version: "1.0.0"}),
      },
      storage: {
        managed: {get: async () => ({allowedOrigins: ["https://bank.test"]})},
        local: {get: async () => ({}), set: async () => {}},
      },
      management: {getSelf: async () => ({installType: "normal"})},
    },
  };
  scope.globalThis = scope;
  const context = vm.createContext(scope);
  for (const file of process.argv.slice(2, 4))
    vm.runInContext(fs.readFileSync(file, "utf8"), context, {filename: file});

  // One page of an allowed origin, through its content script's port.
  const replies = [];
  const page = {
    name: "orvane-page",
    sender: {tab: {id: 1}, frameId: 0, url: "https://bank.test/pay", origin: "https://bank.test"},
    onMessage: event(),
    onDisconnect: event(),
    postMessage: (m) => replies.push(JSON.parse(JSON.stringify(m))),
    disconnect() {},
  };
  onConnect(page);
  const call = (id, host, request) => page.onMessage.fire({type: "call", id, host, request});
  return {natives, warnings, replies, call, host: (name) => natives.filter((p) => p.name === name)};
}

// Until the background has done what the page asked (it awaits its
// allow-list decision first).
async function until(condition) {
  for (let i = 0; i < 1000 && !condition(); i++)
    await new Promise((resolve) => setImmediate(resolve));
  assert.ok(condition(), "the background did not get there");
}

// The host's answer to a request: what it was asked, and its token back.
function answerOf(request) {
  return {function: request.function, errorcode: 0, result: `answer to ${request.params[0]}`,
          randomId: request.randomId};
}

function replyTo(replies, id) {
  const matching = replies.filter((r) => r.id === id);
  assert.strictEqual(matching.length, 1, `call ${id} got ${matching.length} replies`);
  return matching[0];
}

let failures = 0;
async function check(what, fn) {
  try {
    await fn();
  } catch (e) {
    failures++;
    console.log(`FAIL: ${what}: ${e.message}`);
  }
}

(async () => {
  await check("every call gets its own answer despite stray frames and any order", async () => {
    const b = load();
    const count = 40;
    for (let i = 0; i < count; i++)
      b.call(`p${i}`, "sarvik", {function: "VURO_SignData", params: [`text ${i}`],
                                 ...(i % 2 ? {randomId: `page-${i}`} : {})});
    await until(() => b.natives.length === 1 && b.natives[0].requests.length === count);
    const port = b.natives[0];
    const tokens = new Set(port.requests.map((r) => r.randomId));
    assert.strictEqual(tokens.size, count, "the background's tokens are not unique");
    for (const t of tokens)
      assert.ok(t.length <= 32, `token ${t} is long`);
    // Frames that answer no call: an unknown token, a success without one, no object.
    port.answer({function: "VURO_SignData", errorcode: 0, result: "stray", randomId: "not ours"});
    port.answer({function: "VURO_SignData", errorcode: 0, result: "stray"});
    port.answer("stray");
    // The answers, last request first, with another stray in the middle.
    const order = [...port.requests].reverse();
    order.splice(count / 2, 0, null);
    for (const request of order)
      if (request === null)
        port.answer({function: "VURO_GetVersion", errorcode: 0, result: "stray", randomId: "p3"});
      else
        port.answer(answerOf(request));
    assert.strictEqual(b.replies.length, count, `${b.replies.length} replies to ${count} calls`);
    for (let i = 0; i < count; i++) {
      const r = replyTo(b.replies, `p${i}`);
      assert.strictEqual(r.type, "response");
      assert.strictEqual(r.response.result, `answer to text ${i}`, `call p${i} got another's answer`);
      // The page sees its own token, or none when it sent none.
      assert.strictEqual(r.response.randomId, i % 2 ? `page-${i}` : undefined);
    }
    assert.strictEqual(b.warnings.length, 4, `warnings: ${JSON.stringify(b.warnings)}`);
  });

  await check("a page's token in any spelling does not replace the background's", async () => {
    const b = load();
    b.call(1, "tandry", {RandomID: "mine", function: "VURO_GetVersion", params: ["x"]});
    await until(() => b.natives.length === 1 && b.natives[0].requests.length === 1);
    const sent = b.natives[0].requests[0];
    assert.deepStrictEqual(Object.keys(sent).filter((k) => k.toLowerCase() === "randomid"), ["randomId"]);
    b.natives[0].answer(answerOf(sent));
    assert.strictEqual(replyTo(b.replies, 1).response.result, "answer to x");
  });

  await check("a request the host refuses unread gets the refusal, the next its answer", async () => {
    const b = load();
    b.call(1, "tandry", {function: "VURO_SetCSPInfo", params: ["too many values"]});
    b.call(2, "tandry", {function: "VURO_GetVersion", params: ["after"]});
    await until(() => b.natives.length === 1 && b.natives[0].requests.length === 2);
    const port = b.natives[0];
    // The host could not read the first request, so its refusal has no token.
    port.answer({function: "", errorcode: 0xA0071101 | 0, result: false});
    port.answer(answerOf(port.requests[1]));
    assert.strictEqual(replyTo(b.replies, 1).response.errorcode, 0xA0071101 | 0);
    assert.strictEqual(replyTo(b.replies, 2).response.result, "answer to after");
  });

  await check("a host that ends fails its own pending calls only", async () => {
    const b = load();
    b.call("t1", "tandry", {function: "VURO_GetVersion", params: ["t1"]});
    b.call("t2", "tandry", {function: "VURO_GetVersion", params: ["t2"]});
    b.call("t3", "tandry", {function: "VURO_GetVersion", params: ["t3"]});
    b.call("s1", "sarvik", {function: "VURO_GetVersion", params: ["s1"]});
    await until(() => b.host("com.orvane.tandry").length === 1 &&
                      b.host("com.orvane.tandry")[0].requests.length === 3 &&
                      b.host("com.orvane.sarvik").length === 1);
    const [tandry] = b.host("com.orvane.tandry");
    const [sarvik] = b.host("com.orvane.sarvik");
    tandry.answer(answerOf(tandry.requests[1]));
    // A stray frame, then the process ends with t1 and t3 unanswered.
    tandry.answer({function: "VURO_GetVersion", errorcode: 0, result: "stray", randomId: "x"});
    tandry.onDisconnect.fire();
    assert.strictEqual(replyTo(b.replies, "t2").response.result, "answer to t2");
    for (const id of ["t1", "t3"]) {
      const r = replyTo(b.replies, id);
      assert.strictEqual(r.type, "error", `${id} got ${JSON.stringify(r)}`);
      assert.strictEqual(r.code, "HOST_DISCONNECTED");
    }
    // The other host goes on, and the next call starts the ended one afresh.
    assert.strictEqual(b.replies.filter((r) => r.id === "s1").length, 0, "s1 was answered early");
    sarvik.answer(answerOf(sarvik.requests[0]));
    assert.strictEqual(replyTo(b.replies, "s1").response.result, "answer to s1");
    b.call("t4", "tandry", {function: "VURO_GetVersion", params: ["t4"]});
    await until(() => b.host("com.orvane.tandry").length === 2 &&
                      b.host("com.orvane.tandry")[1].requests.length === 1);
    const again = b.host("com.orvane.tandry")[1];
    again.answer(answerOf(again.requests[0]));
    assert.strictEqual(replyTo(b.replies, "t4").response.result, "answer to t4");
    assert.strictEqual(b.replies.length, 5);
  });

  console.log(`pairing: ${failures ? failures + " case(s) failed" : "every case as expected"}`);
  process.exit(failures ? 1 : 0);
})();
