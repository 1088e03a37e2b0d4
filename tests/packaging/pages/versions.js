// Asks both installed hosts for their versions through the extension, with
// the page protocol alone, and posts what came back to the test's /report.
"use strict";

let nextId = 1;
const waiting = new Map();

window.addEventListener("message", (event) => {
  const m = event.data;
  if (event.source !== window || !m || m.orvane !== "reply" || !waiting.has(m.id))
    return;
  waiting.get(m.id)(m);
  waiting.delete(m.id);
});

function ask(message, ms) {
  const id = nextId++;
  return new Promise((resolve) => {
    waiting.set(id, resolve);
    window.postMessage(Object.assign({orvane: "request", id}, message), location.origin);
    setTimeout(() => {
      if (waiting.delete(id))
        resolve(null);
    }, ms);
  });
}

async function run() {
  // The content script may not listen yet when the page starts.
  let hello = null;
  for (let i = 0; i < 50 && !hello; i++)
    hello = await ask({type: "hello"}, 200);
  const report = {hello};
  for (const host of ["tandry", "sarvik"]) {
    report[host] = await ask({type: "call", host,
                              request: {function: "VURO_GetVersion", params: [], randomId: host}},
                             20000);
  }
  await fetch("/report", {method: "POST", body: JSON.stringify(report)});
}

run();
