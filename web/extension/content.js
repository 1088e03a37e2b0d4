// The bridge between a page and the extension's background. It listens for
// the page's window.postMessage requests, forwards them over one port per
// page to the background, and posts the answers back to the page. It decides
// nothing itself: the background checks the page's origin and starts hosts.
//
// Only messages the page posts to itself count: another window or frame
// (event.source) or another origin (event.origin) is ignored, and answers
// go to the page's own origin only.
"use strict";

(function () {
  const api = globalThis.browser ?? globalThis.chrome;
  const TAG = "orvane";

  let port = null;
  // Ids forwarded and not yet answered, so a lost background still answers.
  const pending = new Set();

  function toPage(message) {
    if (message && "id" in message)
      pending.delete(message.id);
    window.postMessage(Object.assign({[TAG]: "reply"}, message), window.location.origin);
  }

  function connect() {
    if (port)
      return port;
    port = api.runtime.connect({name: "orvane-page"});
    port.onMessage.addListener(toPage);
    port.onDisconnect.addListener(() => {
      port = null;
      for (const id of [...pending])
        toPage({type: "error", id, code: "EXTENSION_DISCONNECTED",
                message: "The extension's background went away; try again."});
    });
    return port;
  }

  window.addEventListener("message", (event) => {
    if (event.source !== window || event.origin !== window.location.origin)
      return;
    const data = event.data;
    if (data === null || typeof data !== "object" || data[TAG] !== "request")
      return;
    // Ids are the page's own; they only pair answers with questions.
    if (typeof data.id !== "number" && typeof data.id !== "string")
      return;
    // A ping is answered here, without the background: which of the page's
    // requests this script still holds. A page whose request is held by no
    // script (the extension was reloaded or removed under it) knows that its
    // answer will never come.
    if (data.type === "ping") {
      window.postMessage({[TAG]: "reply", id: data.id, type: "pong", holding: [...pending]},
                         window.location.origin);
      return;
    }
    const kind = data.type === "hello" || data.type === "status" ? data.type : "call";
    const message = {type: kind, id: data.id};
    if (message.type === "call") {
      message.host = data.host;
      message.request = data.request;
    }
    pending.add(data.id);
    try {
      connect().postMessage(message);
    } catch (e) {
      port = null;
      toPage({type: "error", id: data.id, code: "EXTENSION_DISCONNECTED", message: String(e)});
    }
  });
})();
