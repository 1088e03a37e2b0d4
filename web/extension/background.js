// The extension's background: the only part that may start the native hosts.
// Each page's content script holds one port to it ("orvane-page"); for that
// page the background opens at most one native port per host, on the page's
// first call to it, and closes them when the page goes (its port
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

// The names pages use and the host manifests they stand for. A page can only
// choose among these: its text is never handed to connectNative.
const HOSTS = {
  tandry: "com.orvane.tandry",
  sarvik: "com.orvane.sarvik",
};

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

// pageError: the reply for a call that did not reach a host.
function pageError(id, code, message) {
  return {type: "error", id, code, message};
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
    this.natives = new Map(); // host name -> {port, prefix, next, pending, answered}
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

  native(host) {
    let native = this.natives.get(host);
    if (native)
      return native;
    const port = api.runtime.connectNative(HOSTS[host]);
    // pending: our token -> the page's call, oldest first. The token is ours,
    // not the page's: tokens unique per port pair every answer with its
    // call whatever the order, and a frame that carries none of them pairs
    // with nothing.
    native = {port, prefix: tokenPrefix(), next: 0, pending: new Map(), answered: false};
    this.natives.set(host, native);
    port.onMessage.addListener((response) => {
      native.answered = true;
      const call = this.callFor(native, response);
      if (call === undefined) {
        console.warn(`Orvane: dropped a frame from the ${host} host that answers no call ` +
                     `(randomId ${JSON.stringify(response && response.randomId)})`);
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
      if (this.natives.get(host) === native)
        this.natives.delete(host);
      // Exactly the calls this process had not answered fail. A host that
      // never answered was most likely not installed; one that had answered
      // before ended or was cut off (a response the browser refused, for
      // instance). The next call starts it afresh.
      const calls = [...native.pending.values()];
      native.pending.clear();
      for (const call of calls)
        this.post(pageError(call.id, native.answered ? "HOST_DISCONNECTED" : "HOST_UNAVAILABLE",
                            `The ${host} host is not available: ${why}`));
    });
    return native;
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
    const native = this.native(host);
    const token = `${native.prefix}.${(native.next++).toString(36)}`;
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
      this.post(pageError(id, "HOST_UNAVAILABLE", `The ${host} host is not available: ${e.message}`));
    }
  }

  close() {
    for (const native of this.natives.values()) {
      native.pending.clear();
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
