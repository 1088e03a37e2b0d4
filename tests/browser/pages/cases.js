// The browser cases: each runs through orvane.js on a page of the demo
// origin and posts what it saw to the test's server, which checks it with
// OpenSSL and the registry hive. The order matters: signing needs the
// certificates the enrolments installed.
"use strict";

const SM2_PROVIDER = "Orvane Soft SM2 Token CSP v1.0";
const RSA_PROVIDER = "Microsoft Enhanced Cryptographic Provider v1.0";
const CAP_ERROR = 0xA0071101 | 0; // as a signed 32-bit number, as the host sends it

function log(text) {
  document.getElementById("log").textContent += text + "\n";
}

async function post(path, body) {
  const response = await fetch(path, {method: "POST", body: JSON.stringify(body)});
  return response.json();
}

function failure(e) {
  return {ok: false, error: String(e && e.message || e), code: e && e.code !== undefined ? e.code : null};
}

async function run(name, fn) {
  const started = performance.now();
  let result;
  try {
    result = Object.assign({ok: true}, await fn());
  } catch (e) {
    result = failure(e);
  }
  result.case = name;
  result.ms = Math.round(performance.now() - started);
  log(`${name}: ${result.ok ? "ok" : "failed " + result.error}`);
  await post("/report", result);
}

async function enrol(o, provider, algorithm, bits, type, subject) {
  const csps = (await o.enrol("VURO_GetCSPInfo")).split("||");
  if (!csps.includes(provider))
    throw new Error(`no ${provider} among ${csps.join(", ")}`);
  await o.enrol("VURO_SetCSPInfo", bits, provider);
  await o.enrol("VURO_SetKeyAlgorithm", algorithm);
  const request = await o.enrol("VURO_PKCS10CertRequisition", subject, type, 1);
  const container = await o.enrol("VURO_GetContainer");
  const issued = await post("/api/issue", {request, type});
  if (issued.error)
    throw new Error("the issuer refused: " + issued.error);
  await o.enrol("VURO_ImportSignCert", type, issued.signCert, container);
  if (type === 2)
    await o.enrol("VURO_ImportEncryptCert", issued.envelope, issued.encCert, container, 1);
  const certList = await o.enrol("VURO_GetAllCertInfo");
  return {algorithm, type, request, container, signCert: issued.signCert,
          encCert: issued.encCert ?? "", certList};
}

async function sign(o, dn, csp, text) {
  const cspName = await o.sign("VURO_SelectUserCert", dn, "", "", csp, false);
  const certType = await o.sign("VURO_GetCertInfo", "CertType");
  const signature = await o.sign("VURO_SignData", text, "SHA-1");
  return {cspName, certType, text, signature};
}

(async () => {
  const o = await Orvane.connect({timeoutMs: 15000}).catch((e) => e);
  if (o instanceof Error) {
    await post("/report", Object.assign(failure(o), {case: "connect"}));
    return;
  }
  await run("enrol-rsa-single", () => enrol(o, RSA_PROVIDER, "RSA", 2048, 1, "CN=Browser RSA Signer,O=Orvane Tests,C=CN"));
  await run("enrol-sm2-double", () => enrol(o, SM2_PROVIDER, "SM2", 256, 2, "CN=Browser SM2 Signer,O=Orvane Tests,C=CN"));
  await run("sign-rsa", () => sign(o, "Browser RSA Signer", "", "Pay 100.00 to account 6222 (RSA)"));
  await run("sign-sm2", () => sign(o, "Browser SM2 Signer", SM2_PROVIDER, "付款 100.00 元 (SM2)"));

  // A text whose attached signature is over the browser's 1 MiB: the host
  // answers with an error instead, and the same connection still signs.
  await run("oversized-response", async () => {
    await o.sign("VURO_SelectUserCert", "Browser SM2 Signer", "", "", SM2_PROVIDER, false);
    const big = "x".repeat(900 * 1024);
    let refused = null;
    try {
      const signature = await o.sign("VURO_SignData", big, "SHA-1");
      refused = {code: 0, length: signature.length};
    } catch (e) {
      refused = {code: e.code, description: e.description};
    }
    const after = await o.sign("VURO_SignData", "after the large one", "SHA-1");
    return {refused, capError: CAP_ERROR, text: "after the large one", signature: after};
  });

  // Several candidates (both signing certificates) and the dialog on the
  // test's X server: the test presses Return, which takes the first card. The
  // dialog is not forced, so it shows only because there is a choice.
  await run("dialog", async () => {
    await post("/dialog", {});
    const cspName = await o.sign("VURO_SelectUserCert", "Browser", "", "",
                                 `${RSA_PROVIDER}||${SM2_PROVIDER}`, false);
    const certType = await o.sign("VURO_GetCertInfo", "CertType");
    const text = "chosen in the dialog";
    const signature = await o.sign("VURO_SignData", text, "SHA-1");
    return {cspName, certType, text, signature};
  });

  // The dialog forced open and left to time out: the page hears a
  // TimeoutError when due; the test then presses Escape, and the host's late
  // answer must not be taken for the next call's.
  const forced = ["Browser RSA Signer", "", "", "", true];
  await run("timeout", async () => {
    const started = performance.now();
    const error = await outcome(o.withOptions({timeoutMs: 1500}).sign("VURO_SelectUserCert", ...forced));
    const waited = Math.round(performance.now() - started);
    await post("/dialog", {key: "Escape"});
    const next = await outcome(o.withOptions({timeoutMs: 30000}).sign("VURO_GetVersion"));
    return {error, waited, next};
  });

  // Escape in the dialog: the host's cancel code, as a CancelledError.
  await run("cancel", async () => {
    await post("/dialog", {key: "Escape"});
    return {error: await outcome(o.sign("VURO_SelectUserCert", ...forced))};
  });

  // The host killed while its dialog shows: the call settles with
  // HostExitedError, and the next call reaches a new host.
  await run("host-exited", async () => {
    await post("/dialog", {kill: "Sarvik"});
    const error = await outcome(o.sign("VURO_SelectUserCert", ...forced));
    const next = await outcome(o.withOptions({timeoutMs: 30000}).sign("VURO_GetVersion"));
    return {error, next};
  });

  // Then the same browser opens a page of an origin not on the list.
  const answer = await post("/report", {case: "done", ok: true});
  if (answer.next)
    location.href = answer.next;
})();
