// The extension's background: the only part that may start the native hosts.
// Each page's content script holds one port to it ("orvane-page"); for that
// page the background opens at most one native port per host, on the page's
// first call to it (or its status request), asks the host its version before
// anything of the page's reaches it, and closes them when the page goes (its port
// disconnects), so a host process and its agent state last exactly as long
// as the page. A page whose origin is not on the allow-list never gets a
// native port.
//
// Chromium runs this file as the service worker; Firefox as a background
// script after policy.js (manifest "background.scripts").
"use strict";

if (typeof importScripts === "function" && typeof OrvanePolicy === "undefined")
  importScripts("policy.js");

const api = globalThis.browser ?? globalThis.chrome;

// The names pages use, the host manifests they stand for, and the oldest
// version of each host this extension works with (the one place these
// minimums are written). A page can only choose among these names: its text
// is never handed to connectNative.
const HOSTS = {
  tandry: {manifest: "com.orvane.tandry", minimum: "3.2.0.1"},
  sarvik: {manifest: "com.orvane.sarvik", minimum: "3.4.0.3"},
};

// How long a newly started host may take to tell its version before it
// counts as unavailable. A host answers at once; this only bounds one that
// starts and then hangs, so that no page call waits on it for ever.
const HANDSHAKE_MS = 20000;

// Largest request a page may send: the host reads one frame into memory, and
// nothing a page legitimately sends comes near this.
const MAX_REQUEST_CHARS = 64 * 1024 * 1024;

// tokenPrefix: a few random characters that set one native port's tokens
// apart from any other port's. Tokens stay short: the hosts echo at most a
// few hundred characters of one.
function tokenPrefix() {
  const bytes = new Uint8Array(4);
  crypto.getRandomValues(bytes);
  return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
}

// pageError: the reply for a call that did not reach a host (extra: more
// facts for the page, such as the versions behind a mismatch).
function pageError(id, code, message, extra) {
  return Object.assign({type: "error", id, code, message}, extra);
}

// versionParts: a version text's numbers ("3.4.0.3" -> [3, 4, 0, 3]), or
// null when it is not one to four dot-separated numbers.
function versionParts(text) {
  if (typeof text !== "string" || !/^[0-9]{1,9}(\.[0-9]{1,9}){0,3}$/.test(text))
    return null;
  const parts = text.split(".").map(Number);
  while (parts.length < 4)
    parts.push(0);
  return parts;
}

// atLeast: whether version is a version text no older than minimum.
function atLeast(version, minimum) {
  const have = versionParts(version);
  const need = versionParts(minimum);
  if (have === null || need === null)
    return false;
  for (let i = 0; i < 4; i++)
    if (have[i] !== need[i])
      return have[i] > need[i];
  return true;
}

// pageOrigin: the origin of the page behind a content script's port, as the
// browser (not the page) reports it.
function pageOrigin(sender) {
  if (typeof sender.origin === "string" && sender.origin !== "null")
    return sender.origin;
  try {
    return new URL(sender.url).origin;
  } catch (e) {
    return "null";
  }
}

// validRequest: a request object as the hosts read it: "function" a text,
// "params" an array, "randomId" (optional) a text.
function validRequest(request) {
  if (request === null || typeof request !== "object" || Array.isArray(request))
    return false;
  if (typeof request.function !== "string" || request.function.length === 0)
    return false;
  if (!Array.isArray(request.params))
    return false;
  if ("randomId" in request && typeof request.randomId !== "string")
    return false;
  return true;
}

// PageSession: one page's calls: its port, its allow-list decision and its
// native ports.
class PageSession {
  constructor(port) {
    this.port = port;
    this.origin = pageOrigin(port.sender);
    // Decided once per page, on its first message; a page that lives on
    // keeps the answer it was given. Every message waits for the same
    // promise, so messages reach the hosts in the order the page sent them.
    this.decision = null;
    this.natives = new Map(); // host name -> its native port and handshake (native())
    port.onMessage.addListener((message) => this.onPageMessage(message));
    port.onDisconnect.addListener(() => this.close());
  }

  decide() {
    if (this.decision === null) {
      // Only the top frame of an http(s) page runs the content script.
      const topFrame = this.port.sender.frameId === undefined || this.port.sender.frameId === 0;
      this.decision = topFrame ? OrvanePolicy.isAllowed(this.origin).catch(() => false)
                               : Promise.resolve(false);
    }
    return this.decision;
  }

  post(message) {
    try {
      this.port.postMessage(message);
    } catch (e) {
      // The page has gone; its close() follows.
    }
  }

  async onPageMessage(message) {
    if (message === null || typeof message !== "object")
      return;
    const allowed = await this.decide();
    if (message.type === "hello") {
      this.post({
        type: "hello",
        id: message.id,
        allowed,
        origin: this.origin,
        version: api.runtime.getManifest().version,
        hosts: Object.keys(HOSTS),
      });
      return;
    }
    if (message.type === "status") {
      this.post(Object.assign({type: "status", id: message.id, allowed, origin: this.origin,
                               version: api.runtime.getManifest().version},
                              {hosts: allowed ? await this.hostStates() : {}}));
      return;
    }
    if (message.type !== "call")
      return;
    if (!allowed) {
      this.post(pageError(message.id, "ORIGIN_NOT_ALLOWED",
                          `This page's origin (${this.origin}) is not allowed to use Orvane. ` +
                          "Add it in the extension's options, or ask your administrator."));
      return;
    }
    if (!Object.hasOwn(HOSTS, message.host)) {
      this.post(pageError(message.id, "UNKNOWN_HOST", `There is no host "${message.host}".`));
      return;
    }
    if (!validRequest(message.request)) {
      this.post(pageError(message.id, "BAD_REQUEST",
                          'A request is an object with "function" (text) and "params" (array).'));
      return;
    }
    const text = JSON.stringify(message.request);
    if (text.length > MAX_REQUEST_CHARS) {
      this.post(pageError(message.id, "BAD_REQUEST", "The request is too large."));
      return;
    }
    this.send(message.host, message.id, message.request);
  }

  // hostStates: each host's state for a status request: "ok", "missing" (it
  // could not be started or did not tell its version) or "too-old", with the
  // version it told and the least this extension takes. Starts a host that
  // is not running yet; it then serves the page's later calls.
  async hostStates() {
    const states = {};
    await Promise.all(Object.keys(HOSTS).map(async (host) => {
      const native = this.native(host);
      const verdict = native.state === "asking"
                          ? await new Promise((resolve) => native.waiters.push(resolve))
                          : native.state;
      states[host] = {
        state: verdict === "ready" ? "ok" : verdict === "incompatible" ? "too-old" : "missing",
        version: native.version,
        minimum: HOSTS[host].minimum,
        message: native.why ?? null,
      };
    }));
    return states;
  }

  // native: the host's native port for this page, started on first use. Its
  // first request is ours: the host's version, under a token the page never
  // sees. Until the answer comes the page's calls wait in "queued"; a host
  // too old for this extension (or one that does not say) refuses them all
  // with VERSION_MISMATCH for the rest of the page's life, and is ended.
  native(host) {
    let native = this.natives.get(host);
    if (native)
      return native;
    const port = api.runtime.connectNative(HOSTS[host].manifest);
    // pending: our token -> the page's call (or the handshake), oldest
    // first. The token is ours, not the page's: tokens unique per port pair
    // every answer with its call whatever the order, and a frame that
    // carries none of them pairs with nothing.
    native = {port, prefix: tokenPrefix(), next: 0, pending: new Map(), answered: false,
              state: "asking", version: null, why: null, queued: [], waiters: [], timer: null};
    this.natives.set(host, native);
    port.onMessage.addListener((response) => {
      native.answered = true;
      const call = this.callFor(native, response);
      if (call === undefined) {
        console.warn(`Orvane: dropped a frame from the ${host} host that answers no call ` +
                     `(randomId ${JSON.stringify(response && response.randomId)})`);
        return;
      }
      if (call.handshake) {
        this.settleHandshake(host, native, response);
        return;
      }
      // The page sees its own token (or none) echoed, as if it spoke to the
      // host itself.
      if (call.pageToken !== undefined)
        response.randomId = call.pageToken;
      else
        delete response.randomId;
      this.post({type: "response", id: call.id, host, response});
    });
    port.onDisconnect.addListener(() => {
      const why = (api.runtime.lastError && api.runtime.lastError.message) ||
                  (port.error && port.error.message) || "the host ended";
      // A host refused for its version stays refused for the page's life.
      if (native.state === "incompatible")
        return;
      if (this.natives.get(host) === native)
        this.natives.delete(host);
      // A host that never answered was most likely not installed; one that
      // had answered before ended or was cut off (a response the browser
      // refused, for instance). Exactly the calls this process had not
      // answered fail, and the next call starts it afresh.
      if (native.state === "asking") {
        this.endHandshake(host, native, "unavailable", `The ${host} host is not available: ${why}`);
        return;
      }
      const calls = [...native.pending.values()].filter((call) => !call.handshake);
      native.pending.clear();
      for (const call of calls)
        this.post(pageError(call.id, native.answered ? "HOST_DISCONNECTED" : "HOST_UNAVAILABLE",
                            `The ${host} host is not available: ${why}`, {host}));
    });
    const token = this.token(native);
    native.pending.set(token, {handshake: true});
    native.timer = setTimeout(() => {
      if (native.state !== "asking")
        return;
      if (this.natives.get(host) === native)
        this.natives.delete(host);
      native.port.disconnect();
      this.endHandshake(host, native, "unavailable",
                        `The ${host} host started but did not tell its version within ` +
                        `${HANDSHAKE_MS / 1000} s.`);
    }, HANDSHAKE_MS);
    try {
      port.postMessage({function: "VURO_GetVersion", params: [], randomId: token});
    } catch (e) {
      // The port is already gone; its onDisconnect tells the queued calls.
    }
    return native;
  }

  // settleHandshake: the host's answer to our version request.
  settleHandshake(host, native, response) {
    const {minimum} = HOSTS[host];
    const version = response.errorcode === 0 && typeof response.result === "string" ? response.result
                                                                                    : null;
    native.version = version;
    if (version !== null && atLeast(version, minimum)) {
      this.endHandshake(host, native, "ready", null);
      return;
    }
    const told = version === null ? "does not tell its version" : `is version ${version}`;
    this.endHandshake(host, native, "incompatible",
                      `The ${host} host ${told}; this extension needs ${minimum} or later.`);
    // Nothing more goes to it; the page hears the mismatch on every call.
    native.pending.clear();
    native.port.disconnect();
  }

  // endHandshake: the handshake's outcome ("ready", "incompatible" or
  // "unavailable"): the waiting calls go to the host, or fail with the reason.
  endHandshake(host, native, state, why) {
    clearTimeout(native.timer);
    native.state = state;
    native.why = why;
    const queued = native.queued;
    native.queued = [];
    for (const {id, request} of queued)
      this.dispatch(host, native, id, request);
    for (const resolve of native.waiters.splice(0))
      resolve(state);
  }

  // dispatch: one page call to a host whose handshake has ended.
  dispatch(host, native, id, request) {
    if (native.state === "asking") {
      native.queued.push({id, request});
    } else if (native.state === "incompatible") {
      this.post(pageError(id, "VERSION_MISMATCH", native.why,
                          {host, version: native.version, minimum: HOSTS[host].minimum}));
    } else if (native.state === "unavailable") {
      this.post(pageError(id, "HOST_UNAVAILABLE", native.why, {host}));
    } else {
      this.forward(host, native, id, request);
    }
  }

  token(native) {
    return `${native.prefix}.${(native.next++).toString(36)}`;
  }

  // callFor: the pending call a host's frame answers (taken off the list), or
  // undefined. A frame with our token answers that call. The hosts echo every
  // token they could read; a request they refuse unread (a frame over their
  // size limit, too many values) comes back as an error without one, and
  // since a host answers in order, that refusal is the oldest call's. Any
  // other frame answers nothing.
  callFor(native, response) {
    if (response === null || typeof response !== "object" || Array.isArray(response))
      return undefined;
    let token;
    if (typeof response.randomId === "string") {
      token = response.randomId;
    } else if (!("randomId" in response) && response.result === false &&
               typeof response.errorcode === "number" && response.errorcode !== 0) {
      token = native.pending.keys().next().value;
    }
    const call = token === undefined ? undefined : native.pending.get(token);
    if (call !== undefined)
      native.pending.delete(token);
    return call;
  }

  send(host, id, request) {
    this.dispatch(host, this.native(host), id, request);
  }

  forward(host, native, id, request) {
    const token = this.token(native);
    // The hosts read keys without regard to case and take the first: any
    // spelling of the page's token goes, so that ours is the one echoed.
    const forwarded = {};
    for (const [key, value] of Object.entries(request))
      if (key.toLowerCase() !== "randomid")
        forwarded[key] = value;
    forwarded.randomId = token;
    native.pending.set(token, {id, pageToken: request.randomId});
    try {
      native.port.postMessage(forwarded);
    } catch (e) {
      native.pending.delete(token);
      this.post(pageError(id, "HOST_UNAVAILABLE", `The ${host} host is not available: ${e.message}`,
                          {host}));
    }
  }

  close() {
    for (const native of this.natives.values()) {
      clearTimeout(native.timer);
      native.pending.clear();
      native.queued = [];
      native.port.disconnect();
    }
    this.natives.clear();
  }
}

api.runtime.onConnect.addListener((port) => {
  // Only our own content scripts connect: runtime.onConnect does not see
  // other extensions (that would be onConnectExternal), and pages cannot
  // connect without "externally_connectable".
  if (port.name !== "orvane-page" || !port.sender || !port.sender.tab) {
    port.disconnect();
    return;
  }
  new PageSession(port);
});
