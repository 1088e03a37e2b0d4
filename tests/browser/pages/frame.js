// Inside a frame no content script answers, as on a browser without the
// extension: connect() must fail with ExtensionMissingError and status()
// name the extension as the part to install. Tells the page above.
"use strict";

(async () => {
  const connect = await outcome(Orvane.connect({timeoutMs: 1500}));
  const status = await Orvane.status({timeoutMs: 1500}).catch(seen);
  parent.postMessage({frame: true, connect, status}, location.origin);
})();
