// Runs on an origin that is not on the extension's list: the extension must
// refuse the greeting, status() and a call sent straight to it, without
// starting a host.
"use strict";

function raw(message) {
  return new Promise((resolve) => {
    const id = "raw-" + Math.random();
    const timer = setTimeout(() => resolve(null), 5000);
    window.addEventListener("message", function listen(event) {
      if (event.source === window && event.data && event.data.orvane === "reply" && event.data.id === id) {
        clearTimeout(timer);
        window.removeEventListener("message", listen);
        resolve(event.data);
      }
    });
    window.postMessage(Object.assign({orvane: "request", id}, message), location.origin);
  });
}

(async () => {
  const result = {case: "refused-origin", origin: location.origin};
  result.connect = await outcome(Orvane.connect());
  result.status = await Orvane.status().catch(seen);
  for (const host of ["tandry", "sarvik"]) {
    const reply = await raw({type: "call", host, request: {function: "VURO_GetVersion", params: []}});
    result[host] = reply ? {type: reply.type, code: reply.code ?? null, response: reply.response ?? null} : null;
  }
  const answer = await (await fetch("/report", {method: "POST", body: JSON.stringify(result)})).json();
  if (answer.next)
    location.href = answer.next;
})();
