// orvane.js: a page's way to the Orvane hosts through the Orvane browser
// extension. No build step: load it with <script src="orvane.js"></script>
// and use the global Orvane.
//
//   const o = await Orvane.connect();
//   const csps = await o.enrol("VURO_GetCSPInfo");
//   await o.sign("VURO_SelectUserCert", "", "", "", "", false);
//   const p7 = await o.sign("VURO_SignData", text, "SHA-1");
//
// enrol() talks to the enrolment host (Tandry), sign() to the signing host
// (Sarvik); each resolves with the method's "result" and rejects with an
// OrvaneError whose code is the host's error code (a number) or the
// extension's (a text such as "ORIGIN_NOT_ALLOWED") and whose description
// says why. Calls to one host run one after another in the order made, and
// each page has its own host processes for as long as it is open, so a
// certificate selected once stays selected for later calls.
"use strict";

(function (global) {
  const TAG = "orvane";

  // OrvaneError: a failed call. code: the host's error code (a signed 32-bit
  // number; hex gives it as 0xA0071101) or the extension's code (a text).
  // description: the host's description of the failure, or the extension's
  // message. method: the method called, when there was one.
  class OrvaneError extends Error {
    constructor(code, description, method) {
      super(method ? `${method}: ${description}` : description);
      this.name = "OrvaneError";
      this.code = code;
      this.description = description;
      this.method = method ?? null;
      this.hex = typeof code === "number" ? "0x" + (code >>> 0).toString(16).toUpperCase().padStart(8, "0")
                                          : null;
    }
  }

  let nextId = 1;
  const waiting = new Map(); // id -> {resolve}

  global.addEventListener("message", (event) => {
    if (event.source !== global || event.origin !== global.location.origin)
      return;
    const data = event.data;
    if (data === null || typeof data !== "object" || data[TAG] !== "reply")
      return;
    const w = waiting.get(data.id);
    if (!w)
      return;
    waiting.delete(data.id);
    w.resolve(data);
  });

  // exchange: one message to the extension; resolves with its reply, or with
  // null when none came within timeoutMs (0: wait as long as it takes).
  function exchange(message, timeoutMs) {
    const id = `${Date.now().toString(36)}-${nextId++}`;
    return new Promise((resolve) => {
      let timer = null;
      waiting.set(id, {
        resolve: (reply) => {
          if (timer !== null)
            clearTimeout(timer);
          resolve(reply);
        },
      });
      if (timeoutMs > 0)
        timer = setTimeout(() => {
          waiting.delete(id);
          resolve(null);
        }, timeoutMs);
      global.postMessage(Object.assign({[TAG]: "request", id}, message), global.location.origin);
    });
  }

  class Connection {
    constructor(hello) {
      this.extensionVersion = hello.version;
      this.origin = hello.origin;
      this.queues = new Map(); // host -> the promise of its last call
    }

    // request: one request to a host, in turn with the others to it;
    // resolves with the host's whole response object. Rejects only when the
    // extension could not deliver it.
    request(host, method, params) {
      return this.inTurn(host, () => this.requestNow(host, method, params));
    }

    // call: the method's "result"; a non-zero "errorcode" rejects with it and
    // the host's description of it (VURO_GetLastErrorDesc, asked at once, in
    // the same turn, so no other call can come between).
    call(host, method, ...params) {
      const run = async () => {
        const response = await this.requestNow(host, method, params);
        if (response === null || typeof response !== "object")
          throw new OrvaneError("BAD_RESPONSE", "The host answered with something other than an object.",
                                method);
        const code = response.errorcode;
        if (code === 0)
          return response.result;
        let description = `${method} failed`;
        try {
          const d = await this.requestNow(host, "VURO_GetLastErrorDesc", []);
          if (d && d.errorcode === 0 && typeof d.result === "string")
            description = d.result;
        } catch (e) {
          // The failure itself is what the page needs to hear about.
        }
        throw new OrvaneError(typeof code === "number" ? code : "BAD_RESPONSE", description, method);
      };
      return this.inTurn(host, run);
    }

    enrol(method, ...params) {
      return this.call("tandry", method, ...params);
    }

    sign(method, ...params) {
      return this.call("sarvik", method, ...params);
    }

    async requestNow(host, method, params) {
      const reply = await exchange({
        type: "call",
        host,
        request: {function: method, params, randomId: String(nextId)},
      }, 0);
      if (reply.type === "error")
        throw new OrvaneError(reply.code, reply.message, method);
      return reply.response;
    }

    inTurn(host, run) {
      const previous = this.queues.get(host) ?? Promise.resolve();
      const result = previous.then(run, run);
      // The queue goes on whatever this call's outcome.
      this.queues.set(host, result.then(() => undefined, () => undefined));
      return result;
    }
  }

  // connect: resolves with a Connection once the extension has answered and
  // allowed this page's origin; rejects with "EXTENSION_MISSING" when it does
  // not answer within timeoutMs, and "ORIGIN_NOT_ALLOWED" when it refuses.
  // The first answer after a browser starts can take seconds (the extension's
  // background starts on demand), hence the generous default.
  async function connect({timeoutMs = 5000} = {}) {
    const hello = await exchange({type: "hello"}, timeoutMs);
    if (hello === null)
      throw new OrvaneError("EXTENSION_MISSING",
                            "The Orvane extension did not answer: is it installed and enabled?");
    if (hello.type !== "hello")
      throw new OrvaneError(hello.code ?? "EXTENSION_MISSING", hello.message ?? "No answer.");
    if (!hello.allowed)
      throw new OrvaneError("ORIGIN_NOT_ALLOWED",
                            `This page's origin (${hello.origin}) is not allowed to use Orvane.`);
    return new Connection(hello);
  }

  global.Orvane = {connect, OrvaneError};
})(window);
