// The extension is removed while a call waits in the selection dialog: the
// call must settle (ExtensionDisconnectedError), not wait for ever.
"use strict";

(async () => {
  const o = await Orvane.connect({timeoutMs: 15000});
  await fetch("/dialog", {method: "POST", body: JSON.stringify({remove: true})});
  const started = performance.now();
  const error = await outcome(o.sign("VURO_SelectUserCert", "Browser RSA Signer", "", "", "", true));
  const waited = Math.round(performance.now() - started);
  await fetch("/report", {method: "POST", body: JSON.stringify({case: "extension-removed", ok: true, error, waited})});
})();
