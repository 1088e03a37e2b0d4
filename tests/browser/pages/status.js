// One status scenario (the test has pointed the host manifests at the real
// hosts, at nothing, or at an old host): what status() says, then what a
// call to each host comes to. With ?frame, also what a frame sees.
"use strict";

function fromFrame() {
  return new Promise((resolve) => {
    const frame = document.createElement("iframe");
    window.addEventListener("message", function listen(event) {
      if (event.source === frame.contentWindow && event.data && event.data.frame) {
        window.removeEventListener("message", listen);
        resolve(event.data);
      }
    });
    frame.src = "/frame.html";
    document.body.appendChild(frame);
  });
}

(async () => {
  const params = new URLSearchParams(location.search);
  const result = {case: `status-${params.get("scenario")}`, ok: true};
  result.status = await Orvane.status({timeoutMs: 15000}).catch(seen);
  const o = await Orvane.connect({timeoutMs: 15000});
  result.tandry = await outcome(o.withOptions({timeoutMs: 30000}).enrol("VURO_GetVersion"));
  result.sarvik = await outcome(o.withOptions({timeoutMs: 30000}).sign("VURO_GetVersion"));
  // A second call meets the remembered verdict, not a new host.
  result.tandryAgain = await outcome(o.enrol("VURO_GetVersion"));
  result.again = await o.status();
  if (params.has("frame"))
    result.frame = await fromFrame();
  const answer = await (await fetch("/report", {method: "POST", body: JSON.stringify(result)})).json();
  if (answer.next)
    location.href = answer.next;
})();
