// The extension's background (web/extension/background.js, with policy.js)
// under Node, its native ports played by this test: every page call must get
// its own host's answer, whatever frames the host sends in between and in
// whatever order, a host that ends fails exactly its own pending calls, and
// no page call reaches a host before it has told a version the extension
// takes.
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
// The version request that opens every port is kept apart (handshakes) and,
// when the test gives the host a version, answered at once.
class NativePort {
  constructor(name, version) {
    this.name = name;
    this.version = version;
    this.requests = [];
    this.handshakes = [];
    this.disconnected = false;
    this.onMessage = event();
    this.onDisconnect = event();
  }
  postMessage(message) {
    const copy = JSON.parse(JSON.stringify(message));
    if (this.handshakes.length === 0 && copy.function === "VURO_GetVersion" && copy.params.length === 0) {
      this.handshakes.push(copy);
      if (this.version !== undefined)
        queueMicrotask(() => this.answerVersion(this.version));
      return;
    }
    this.requests.push(copy);
  }
  answerVersion(version) {
    this.answer({function: "VURO_GetVersion", errorcode: version === null ? 0x80004005 | 0 : 0,
                 result: version ?? false, randomId: this.handshakes[0].randomId});
  }
  answer(frame) {
    this.onMessage.fire(JSON.parse(JSON.stringify(frame)));
  }
  disconnect() {
    this.disconnected = true;
  }
}

// The hosts' versions as this test plays them (undefined: the test answers
// the version request itself).
const CURRENT = {"com.orvane.tandry": "3.2.0.1", "com.orvane.sarvik": "3.4.0.3"};

function load(versions = CURRENT) {
  const natives = [];
  const warnings = [];
  let onConnect = null;
  const scope = {
    URL, crypto: require("crypto").webcrypto, setTimeout, clearTimeout, queueMicrotask,
    console: {warn: (text) => warnings.push(text), log: console.log, error: console.error},
    chrome: {
      runtime: {
        onConnect: {addListener: (fn) => { onConnect = fn; }},
        connectNative: (name) => {
          const port = new NativePort(name, versions[name]);
          natives.push(port);
          return port;
        },
        getManifest: () => ({version: "1.1.0"}),
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
  const status = (id) => page.onMessage.fire({type: "status", id});
  return {natives, warnings, replies, call, status, host: (name) => natives.filter((p) => p.name === name)};
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

  await check("no call reaches a host before its version, and only a version it takes", async () => {
    // The version each host tells, and whether the extension takes it:
    // numbers compare as numbers, missing ones count as 0, anything that is
    // not a version (or an error answer, null) is refused.
    const table = [
      ["3.4.0.3", true], ["3.4.0.10", true], ["3.10.0.0", true], ["10.0.0.0", true], ["3.4.1", true],
      ["3.4.0.2", false], ["3.4", false], ["3.3.99.99", false], ["3.4.0.3-beta", false],
      ["", false], [null, false],
    ];
    for (const [version, takes] of table) {
      const what = `Sarvik ${JSON.stringify(version)}`;
      const b = load({"com.orvane.tandry": "3.2.0.1"});
      b.call("s1", "sarvik", {function: "VURO_SignData", params: ["s1"]});
      b.call("s2", "sarvik", {function: "VURO_SignData", params: ["s2"]});
      await until(() => b.natives.length === 1 && b.natives[0].handshakes.length === 1);
      const [port] = b.natives;
      const token = port.handshakes[0].randomId;
      assert.ok(/^[0-9a-f]{8}\./.test(token), `${what}: the handshake's token ${token} is not the port's own`);
      for (let i = 0; i < 20; i++)
        await new Promise((resolve) => setImmediate(resolve));
      assert.strictEqual(port.requests.length, 0, `${what}: a call went out before the version came`);
      assert.strictEqual(b.replies.length, 0, `${what}: a call was answered before the version came`);
      port.answerVersion(version);
      b.call("s3", "sarvik", {function: "VURO_SignData", params: ["s3"]});
      b.status("st");
      await until(() => b.replies.some((r) => r.id === "st") && (takes ? port.requests.length === 3
                                                                        : b.replies.length === 4));
      const state = replyTo(b.replies, "st").hosts.sarvik;
      assert.deepStrictEqual(state, {state: takes ? "ok" : "too-old", version: version === null ? null : version,
                                     minimum: "3.4.0.3", message: state.message}, what);
      assert.strictEqual(replyTo(b.replies, "st").hosts.tandry.state, "ok", what);
      if (takes) {
        assert.deepStrictEqual(port.requests.map((r) => r.params[0]), ["s1", "s2", "s3"], what);
        port.requests.forEach((request) => port.answer(answerOf(request)));
        for (const id of ["s1", "s2", "s3"])
          assert.strictEqual(replyTo(b.replies, id).response.result, `answer to ${id}`, what);
      } else {
        // Refused: the calls before and after the answer alike, the host is
        // ended, and nothing is sent to it or started again.
        for (const id of ["s1", "s2", "s3"]) {
          const r = replyTo(b.replies, id);
          assert.strictEqual(r.code, "VERSION_MISMATCH", `${what}: ${id} got ${JSON.stringify(r)}`);
          assert.strictEqual(r.host, "sarvik");
          assert.strictEqual(r.minimum, "3.4.0.3");
          assert.strictEqual(r.version, version === null ? null : version);
          assert.ok(r.message.includes("3.4.0.3"), `${what}: the message does not name the minimum`);
        }
        assert.ok(port.disconnected, `${what}: the refused host was left running`);
        assert.strictEqual(port.requests.length, 0, `${what}: a call reached the refused host`);
        assert.strictEqual(b.host("com.orvane.sarvik").length, 1, `${what}: the refused host was started again`);
      }
    }
  });

  await check("a host that ends before its version fails the waiting calls as unavailable", async () => {
    const b = load({});
    b.call("t1", "tandry", {function: "VURO_GetCSPInfo", params: []});
    b.status("st");
    await until(() => b.natives.length === 2);
    for (const port of b.natives)
      port.onDisconnect.fire();
    await until(() => b.replies.length === 2);
    const t1 = replyTo(b.replies, "t1");
    assert.strictEqual(t1.code, "HOST_UNAVAILABLE", JSON.stringify(t1));
    assert.strictEqual(t1.host, "tandry");
    const st = replyTo(b.replies, "st");
    assert.deepStrictEqual([st.hosts.tandry.state, st.hosts.sarvik.state], ["missing", "missing"]);
    assert.strictEqual(b.natives.some((p) => p.requests.length > 0), false, "a call reached a host");
    // The next call starts the host afresh and, once it tells its version, reaches it.
    b.call("t2", "tandry", {function: "VURO_GetCSPInfo", params: ["t2"]});
    await until(() => b.host("com.orvane.tandry").length === 2);
    const again = b.host("com.orvane.tandry")[1];
    again.answerVersion("3.2.0.1");
    await until(() => again.requests.length === 1);
    again.answer(answerOf(again.requests[0]));
    assert.strictEqual(replyTo(b.replies, "t2").response.result, "answer to t2");
  });

  console.log(`pairing: ${failures ? failures + " case(s) failed" : "every case as expected"}`);
  process.exit(failures ? 1 : 0);
})();
