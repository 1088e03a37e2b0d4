// orvane.js: a page's way to the Orvane hosts through the Orvane browser
// extension. No build step: load it with <script src="orvane.js"></script>
// and use the global Orvane.
//
//   const s = await Orvane.status();      // what is installed, and whether it fits
//   const o = await Orvane.connect();
//   const csps = await o.enrol("VURO_GetCSPInfo");
//   await o.sign("VURO_SelectUserCert", "", "", "", "", false);
//   const p7 = await o.withOptions({timeoutMs: 30000}).sign("VURO_SignData", text, "SHA-1");
//
// enrol() talks to the enrolment host (Tandry), sign() to the signing host
// (Sarvik); each resolves with the method's "result" and rejects with an
// OrvaneError: one of the subclasses below (test with instanceof, or by the
// stable name and code). Calls to one host run one after another in the
// order made, and each page has its own host processes for as long as it is
// open, so a certificate selected once stays selected for later calls.
"use strict";

(function (global) {
  const TAG = "orvane";

  // This library's version, and the oldest extension it works with (the one
  // place that minimum is written): 1.1.0 is the first that checks the
  // hosts' versions, answers "status" and "ping".
  const VERSION = "1.1.0";
  const MIN_EXTENSION_VERSION = "1.1.0";

  // The hosts' code for a selection the user cancelled (Escape, or closing
  // the window), as the signed 32-bit number the hosts send.
  const CANCELLED = 0xA0071002 | 0;

  // While calls are outstanding, the page asks the content script every
  // WATCH_MS which of them it still holds; a call posted before one ask and
  // held by no script that answered it by the next can never be answered
  // (the extension was reloaded or removed) and fails instead of waiting for
  // ever. Judging at the next ask, not sooner, keeps a page whose main
  // thread was busy for a moment from taking a late answer for none.
  const WATCH_MS = 4000;

  // OrvaneError: a failed call; every error below is one. code: the host's
  // error code (a signed 32-bit number; hex gives it as 0xA0071101) or the
  // extension's or this library's code (a text, such as "ORIGIN_NOT_ALLOWED").
  // description: the host's description of the failure (its
  // VURO_GetLastErrorDesc), or the extension's message. method: the method
  // called, when there was one; host: "tandry" or "sarvik", when one is meant.
  class OrvaneError extends Error {
    constructor(code, description, method, details) {
      super(method ? `${method}: ${description}` : description);
      this.name = "OrvaneError";
      this.code = code;
      this.description = description;
      this.method = method ?? null;
      this.host = null;
      this.hex = typeof code === "number" ? "0x" + (code >>> 0).toString(16).toUpperCase().padStart(8, "0")
                                          : null;
      Object.assign(this, details);
    }
  }

  // The kinds a page tells its user apart. Each sets a stable name; the codes
  // are those the extension has always sent.
  const kind = (name, code) => {
    const Kind = class extends OrvaneError {
      constructor(description, method, details) {
        super(code, description, method, details);
        this.name = name;
      }
    };
    // The class itself carries the name too (e.constructor.name).
    Object.defineProperty(Kind, "name", {value: name});
    return Kind;
  };
  // No extension answered this page (not installed, disabled, or the page is
  // a frame, which the extension does not serve).
  const ExtensionMissingError = kind("ExtensionMissingError", "EXTENSION_MISSING");
  // The extension went away while the call was out (reloaded, updated or
  // removed); a new connect() after the page reloads reaches the new one.
  const ExtensionDisconnectedError = kind("ExtensionDisconnectedError", "EXTENSION_DISCONNECTED");
  // The page's origin is not on the extension's list. origin: as the browser
  // reports it.
  const OriginNotAllowedError = kind("OriginNotAllowedError", "ORIGIN_NOT_ALLOWED");
  // The host could not be started: not installed, or its manifest names no
  // program. host: which.
  const HostMissingError = kind("HostMissingError", "HOST_UNAVAILABLE");
  // The host ended during the call (it crashed, or was ended). The next call
  // starts it afresh, with nothing selected.
  const HostExitedError = kind("HostExitedError", "HOST_DISCONNECTED");
  // A part is older than what uses it needs. part: "extension", "tandry" or
  // "sarvik"; version: what it is (null when it did not say); minimum.
  const VersionMismatchError = kind("VersionMismatchError", "VERSION_MISMATCH");
  // The call did not settle within its timeoutMs. The host is not
  // interrupted: it finishes the call (a dialog stays until the user closes
  // it), its answer is dropped, and the next call to it waits until then.
  const TimeoutError = kind("TimeoutError", "TIMEOUT");

  // HostError: the host answered with a non-zero errorcode (code, a number)
  // and described it (description).
  class HostError extends OrvaneError {
    constructor(code, description, method, details) {
      super(code, description, method, details);
      this.name = "HostError";
    }
  }
  // The user cancelled the selection dialog (code 0xA0071002).
  class CancelledError extends HostError {
    constructor(description, method, details) {
      super(CANCELLED, description, method, details);
      this.name = "CancelledError";
    }
  }

  // The extension's codes and the kinds they stand for; any other code
  // ("UNKNOWN_HOST", "BAD_REQUEST") is a plain OrvaneError.
  const EXTENSION_ERRORS = {
    EXTENSION_DISCONNECTED: ExtensionDisconnectedError,
    ORIGIN_NOT_ALLOWED: OriginNotAllowedError,
    HOST_UNAVAILABLE: HostMissingError,
    HOST_DISCONNECTED: HostExitedError,
    VERSION_MISMATCH: VersionMismatchError,
  };

  function extensionError(reply, method) {
    const details = {};
    for (const key of ["host", "version", "minimum", "origin"])
      if (reply[key] !== undefined)
        details[key] = reply[key];
    if (reply.code === "VERSION_MISMATCH")
      details.part = reply.host;
    const Kind = EXTENSION_ERRORS[reply.code];
    return Kind ? new Kind(reply.message, method, details)
                : new OrvaneError(reply.code, reply.message, method, details);
  }

  // atLeast: whether the version text is no older than minimum (up to four
  // numbers each; missing ones count as 0, anything else as too old).
  function atLeast(version, minimum) {
    const parts = (text) => typeof text === "string" && /^[0-9]{1,9}(\.[0-9]{1,9}){0,3}$/.test(text)
                                ? [...text.split(".").map(Number), 0, 0, 0].slice(0, 4)
                                : null;
    const have = parts(version);
    const need = parts(minimum);
    if (have === null || need === null)
      return false;
    const i = have.findIndex((n, k) => n !== need[k]);
    return i < 0 || have[i] > need[i];
  }

  let nextId = 1;
  // Requests posted and not answered: id -> {resolve, reject, watched, ping}.
  const waiting = new Map();
  // Pings out: id -> the ids the answering scripts hold.
  const pings = new Map();
  let pingsSent = 0;
  let lastPing = null; // {id, serial, held}: the ask to judge at the next tick
  let watchTimer = null;

  global.addEventListener("message", (event) => {
    if (event.source !== global || event.origin !== global.location.origin)
      return;
    const data = event.data;
    if (data === null || typeof data !== "object" || data[TAG] !== "reply")
      return;
    if (data.type === "pong") {
      const held = pings.get(data.id);
      if (held && Array.isArray(data.holding))
        data.holding.forEach((id) => held.add(id));
      return;
    }
    const w = waiting.get(data.id);
    if (!w)
      return;
    waiting.delete(data.id);
    w.resolve(data);
  });

  // watch: while watched requests are outstanding, ping the content script
  // each tick, and fail those posted before the previous tick's ping that no
  // script holds.
  function watch() {
    if (watchTimer !== null)
      return;
    watchTimer = setInterval(() => {
      if (lastPing !== null) {
        const {id, serial, held} = lastPing;
        pings.delete(id);
        lastPing = null;
        for (const [wid, w] of waiting)
          if (w.watched && w.ping < serial && !held.has(wid)) {
            waiting.delete(wid);
            w.reject(new ExtensionDisconnectedError(
                "The Orvane extension went away before it answered (was it reloaded or removed?)."));
          }
      }
      if (![...waiting.values()].some((w) => w.watched)) {
        clearInterval(watchTimer);
        watchTimer = null;
        return;
      }
      const id = `ping-${Date.now().toString(36)}-${nextId++}`;
      lastPing = {id, serial: ++pingsSent, held: new Set()};
      pings.set(id, lastPing.held);
      global.postMessage({[TAG]: "request", id, type: "ping"}, global.location.origin);
    }, WATCH_MS);
  }

  // exchange: one message to the extension; resolves with its reply, or with
  // null when none came within timeoutMs (0: wait as long as it takes).
  // A watched exchange rejects with ExtensionDisconnectedError when the
  // extension loses it.
  function exchange(message, timeoutMs, watched = false) {
    const id = `${Date.now().toString(36)}-${nextId++}`;
    return new Promise((resolve, reject) => {
      let timer = null;
      const settle = (fn) => (value) => {
        if (timer !== null)
          clearTimeout(timer);
        fn(value);
      };
      waiting.set(id, {resolve: settle(resolve), reject: settle(reject), watched, ping: pingsSent});
      if (timeoutMs > 0)
        timer = setTimeout(() => {
          waiting.delete(id);
          resolve(null);
        }, timeoutMs);
      global.postMessage(Object.assign({[TAG]: "request", id}, message), global.location.origin);
      if (watched)
        watch();
    });
  }

  // hello: the extension's greeting, or an ExtensionMissingError.
  async function hello(timeoutMs) {
    const reply = await exchange({type: "hello"}, timeoutMs);
    if (reply === null)
      throw new ExtensionMissingError("The Orvane extension did not answer: is it installed and enabled?");
    if (reply.type !== "hello")
      throw extensionError(reply);
    return reply;
  }

  function extensionTooOld(version) {
    return new VersionMismatchError(
        `The Orvane extension is version ${version}; this page needs ${MIN_EXTENSION_VERSION} or later.`,
        undefined, {part: "extension", version: version ?? null, minimum: MIN_EXTENSION_VERSION});
  }

  // report: status() from the greeting (null: no extension) and the
  // extension's status answer (null: not asked).
  function report(greeting, answer) {
    const extension = {state: "missing", version: null, minimum: MIN_EXTENSION_VERSION};
    const out = {ok: false, library: {version: VERSION}, extension, allowed: false,
                 origin: global.location.origin, hosts: {}, install: [], update: []};
    if (greeting !== null) {
      extension.version = greeting.version ?? null;
      extension.state = atLeast(extension.version, MIN_EXTENSION_VERSION) ? "ok" : "too-old";
      out.allowed = greeting.allowed === true;
      out.origin = greeting.origin ?? out.origin;
      for (const host of Array.isArray(greeting.hosts) ? greeting.hosts : [])
        out.hosts[host] = {state: "unknown", version: null, minimum: null};
    }
    if (answer !== null)
      for (const [host, h] of Object.entries(answer.hosts ?? {}))
        out.hosts[host] = {state: h.state, version: h.version ?? null, minimum: h.minimum ?? null,
                           message: h.message ?? null};
    const parts = [["extension", extension], ...Object.entries(out.hosts)];
    out.install = parts.filter(([, p]) => p.state === "missing").map(([name]) => name);
    out.update = parts.filter(([, p]) => p.state === "too-old").map(([name]) => name);
    out.ok = out.allowed && parts.every(([, p]) => p.state === "ok");
    return out;
  }

  // askStatus: the extension's status answer, which starts any host not yet
  // running for this page (it then serves the page's calls).
  async function askStatus() {
    const answer = await exchange({type: "status"}, 0, true);
    if (answer.type !== "status")
      throw extensionError(answer);
    return answer;
  }

  class Connection {
    constructor(greeting, {callTimeoutMs = 0} = {}) {
      this.extensionVersion = greeting.version;
      this.origin = greeting.origin;
      this.callTimeoutMs = callTimeoutMs;
      this.queues = new Map(); // host -> the promise of its last call
    }

    // status: as Orvane.status(), over this connection.
    async status() {
      const greeting = await hello(5000);
      return report(greeting, greeting.allowed ? await askStatus() : null);
    }

    // withOptions: the same calls with options: {timeoutMs} (0: none),
    // counted from when the call is made, its wait behind earlier calls to
    // the same host included.
    withOptions(options) {
      const self = this;
      return {
        call: (host, method, ...params) => self.callWith(options, host, method, params),
        enrol: (method, ...params) => self.callWith(options, "tandry", method, params),
        sign: (method, ...params) => self.callWith(options, "sarvik", method, params),
        request: (host, method, params) => self.requestWith(options, host, method, params),
      };
    }

    // request: one request to a host, in turn with the others to it;
    // resolves with the host's whole response object. Rejects only when the
    // extension could not deliver it (or it timed out).
    request(host, method, params) {
      return this.requestWith({}, host, method, params);
    }

    // call: the method's "result"; a non-zero "errorcode" rejects with a
    // HostError (CancelledError for a cancelled selection) carrying it and
    // the host's description of it (VURO_GetLastErrorDesc, asked at once, in
    // the same turn, so no other call can come between).
    call(host, method, ...params) {
      return this.callWith({}, host, method, params);
    }

    enrol(method, ...params) {
      return this.callWith({}, "tandry", method, params);
    }

    sign(method, ...params) {
      return this.callWith({}, "sarvik", method, params);
    }

    requestWith(options, host, method, params) {
      return this.inTurn(host, method, options, () => this.requestNow(host, method, params));
    }

    callWith(options, host, method, params) {
      const run = async (turn) => {
        const response = await this.requestNow(host, method, params);
        if (response === null || typeof response !== "object")
          throw new OrvaneError("BAD_RESPONSE", "The host answered with something other than an object.",
                                method, {host});
        const code = response.errorcode;
        if (code === 0)
          return response.result;
        let description = `${method} failed`;
        // A call that timed out asks nothing more: the page has moved on.
        if (!turn.abandoned)
          try {
            const d = await this.requestNow(host, "VURO_GetLastErrorDesc", []);
            if (d && d.errorcode === 0 && typeof d.result === "string")
              description = d.result;
          } catch (e) {
            // The failure itself is what the page needs to hear about.
          }
        if (typeof code !== "number")
          throw new OrvaneError("BAD_RESPONSE", description, method, {host});
        if (code === CANCELLED)
          throw new CancelledError(description, method, {host});
        throw new HostError(code, description, method, {host});
      };
      return this.inTurn(host, method, options, run);
    }

    async requestNow(host, method, params) {
      const reply = await exchange({
        type: "call",
        host,
        request: {function: method, params, randomId: String(nextId)},
      }, 0, true);
      if (reply.type === "error")
        throw extensionError(reply, method);
      return reply.response;
    }

    // inTurn: run (given the turn's state) after every earlier call to the
    // host has settled. With a timeout the call rejects with TimeoutError
    // once it is due, and the next call's turn comes; a call still waiting
    // for its turn then is never sent.
    inTurn(host, method, options, run) {
      const timeoutMs = options.timeoutMs ?? this.callTimeoutMs;
      const turn = {abandoned: false};
      const previous = this.queues.get(host) ?? Promise.resolve();
      const work = previous.then(() => (turn.abandoned ? undefined : run(turn)));
      let result = work;
      if (timeoutMs > 0)
        result = new Promise((resolve, reject) => {
          const timer = setTimeout(() => {
            turn.abandoned = true;
            reject(new TimeoutError(`No answer within ${timeoutMs} ms.`, method, {host, timeoutMs}));
          }, timeoutMs);
          work.then((value) => {
            clearTimeout(timer);
            resolve(value);
          }, (error) => {
            clearTimeout(timer);
            reject(error);
          });
        });
      // The queue goes on whatever this call's outcome.
      this.queues.set(host, result.then(() => undefined, () => undefined));
      return result;
    }
  }

  // connect: resolves with a Connection once the extension has answered and
  // allowed this page's origin. Rejects with ExtensionMissingError when it
  // does not answer within timeoutMs, VersionMismatchError when it is older
  // than this library needs, and OriginNotAllowedError when it refuses. The
  // first answer after a browser starts can take seconds (the extension's
  // background starts on demand), hence the generous default. callTimeoutMs
  // is every call's timeout unless withOptions() sets another (default 0:
  // none, since a call may wait for the user: the selection dialog, a
  // token's PIN).
  async function connect({timeoutMs = 5000, callTimeoutMs = 0} = {}) {
    const greeting = await hello(timeoutMs);
    if (!atLeast(greeting.version, MIN_EXTENSION_VERSION))
      throw extensionTooOld(greeting.version);
    if (!greeting.allowed)
      throw new OriginNotAllowedError(`This page's origin (${greeting.origin}) is not allowed to use Orvane.`,
                                      undefined, {origin: greeting.origin});
    return new Connection(greeting, {callTimeoutMs});
  }

  // status: what this page can use. Never rejects for a missing part: it
  // resolves with {ok, library, extension, allowed, origin, hosts, install,
  // update}, where extension and each host are {state, version, minimum}
  // and state is "ok", "missing", "too-old" or (a host not asked, as for an
  // origin not allowed) "unknown"; install and update name the parts
  // ("extension", "tandry", "sarvik") the user must install or update. Asking
  // starts the hosts for this page, as its first call would.
  async function status({timeoutMs = 5000} = {}) {
    let greeting;
    try {
      greeting = await hello(timeoutMs);
    } catch (e) {
      if (e instanceof ExtensionMissingError)
        return report(null, null);
      throw e;
    }
    const usable = greeting.allowed && atLeast(greeting.version, MIN_EXTENSION_VERSION);
    return report(greeting, usable ? await askStatus() : null);
  }

  global.Orvane = {
    VERSION,
    MIN_EXTENSION_VERSION,
    CANCELLED,
    connect,
    status,
    OrvaneError,
    ExtensionMissingError,
    ExtensionDisconnectedError,
    OriginNotAllowedError,
    HostMissingError,
    HostExitedError,
    VersionMismatchError,
    TimeoutError,
    HostError,
    CancelledError,
  };
})(window);
