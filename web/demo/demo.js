// The demo page: enrols through the enrolment host with the demo server as
// the issuing authority, then signs a text through the signing host and has
// the demo server check the signature with orvane-verify.
"use strict";

// The provider each algorithm starts in; the list offers every provider the
// enrolment host names, tokens ("Orvane PKCS#11: <label>") among them.
const PROVIDERS = {RSA: "Microsoft Enhanced Cryptographic Provider v1.0",
                   SM2: "Orvane Soft SM2 Token CSP v1.0"};
const $ = (id) => document.getElementById(id);
let connection = null;

function say(log, text) {
  $(log).textContent += text + "\n";
}

function describe(e) {
  if (e instanceof Orvane.CancelledError)
    return "cancelled: no certificate was chosen";
  return e instanceof Orvane.OrvaneError ? `${e.message}${e.hex ? ` [${e.hex}]` : ""}` : String(e);
}

async function api(path, body) {
  const response = await fetch(path, {method: "POST", headers: {"Content-Type": "application/json"},
                                      body: JSON.stringify(body)});
  const answer = await response.json();
  if (answer.error)
    throw new Error(answer.error);
  return answer;
}

function choice(name) {
  return document.querySelector(`input[name=${name}]:checked`).value;
}

async function connected() {
  if (!connection)
    connection = await Orvane.connect();
  return connection;
}

// The providers as the host lists them now: a token plugged in since the
// last look appears, one taken out goes. The choice stays when it is still
// there; otherwise the algorithm's usual provider is chosen.
async function listProviders() {
  const csps = (await (await connected()).enrol("VURO_GetCSPInfo")).split("||").filter(Boolean);
  const select = $("provider");
  const kept = select.value;
  select.textContent = "";
  for (const csp of csps)
    select.append(new Option(csp, csp));
  const preferred = PROVIDERS[choice("algorithm")];
  select.value = csps.includes(kept) ? kept : csps.includes(preferred) ? preferred : csps[0] ?? "";
  return csps;
}

async function enrol() {
  $("enrolLog").textContent = "";
  const algorithm = choice("algorithm");
  const type = Number(choice("type"));
  const cn = $("cn").value.trim() || "Demo User";
  const o = connection;
  say("enrolLog", `providers: ${(await listProviders()).join(", ")}`);
  const provider = $("provider").value || PROVIDERS[algorithm];
  await o.enrol("VURO_SetCSPInfo", algorithm === "SM2" ? 256 : 2048, provider);
  await o.enrol("VURO_SetKeyAlgorithm", algorithm);
  say("enrolLog", `making a key pair and a request in ${provider}…`);
  const subject = `CN=${cn.replace(/[,=+<>#;"\\]/g, " ")},O=Orvane Demo,C=CN`;
  const request = await o.enrol("VURO_PKCS10CertRequisition", subject, type, 1);
  const container = await o.enrol("VURO_GetContainer");
  say("enrolLog", `request for ${subject} (container ${container}) sent to the demo authority`);
  const issued = await api("/api/issue", {request, type});
  await o.enrol("VURO_ImportSignCert", type, issued.signCert, container);
  say("enrolLog", "signing certificate installed");
  if (type === 2) {
    await o.enrol("VURO_ImportEncryptCert", issued.envelope, issued.encCert, container, 1);
    say("enrolLog", "encryption certificate and its key installed");
  }
  say("enrolLog", `your certificates now:\n${await o.enrol("VURO_GetAllCertInfo") || "(kept in the token)"}`);
}

async function sign() {
  $("signLog").textContent = "";
  $("verdict").textContent = "";
  const o = connection;
  const text = $("text").value;
  // Every provider may hold the certificate: name them all, so that token
  // certificates are candidates too.
  const csps = await o.enrol("VURO_GetCSPInfo");
  const csp = await o.sign("VURO_SelectUserCert", "", "", "", csps, $("always").checked);
  const kind = await o.sign("VURO_GetCertInfo", "CertType");
  const until = await o.sign("VURO_GetCertInfo", "ValidToDate");
  say("signLog", `certificate: ${kind} in ${csp}, valid until ${until}`);
  const signature = await o.sign("VURO_SignData", text, "SHA-1");
  say("signLog", `PKCS#7 (${signature.length} characters):\n${signature}`);
  const v = await api("/api/verify", {signature, text, detached: false});
  const good = v.verified && v.contentMatches;
  $("verdict").className = good ? "ok" : "bad";
  $("verdict").textContent = good ? `orvane-verify verified the signature of ${v.signer}.`
                                  : `orvane-verify did not verify it: ${v.detail}`;
}

function button(id, action) {
  $(id).addEventListener("click", async () => {
    $(id).disabled = true;
    try {
      await connected();
      await action();
    } catch (e) {
      say(id === "sign" ? "signLog" : "enrolLog", "failed: " + describe(e));
    } finally {
      $(id).disabled = false;
    }
  });
}

button("enrol", enrol);
button("sign", sign);
button("refresh", listProviders);
for (const radio of document.querySelectorAll("input[name=algorithm]")) {
  radio.addEventListener("change", () => {
    if (PROVIDERS[radio.value] && [...$("provider").options].some((o) => o.value === PROVIDERS[radio.value]))
      $("provider").value = PROVIDERS[radio.value];
  });
}
// What is installed, and what the user must install or update first.
const PART_NAMES = {extension: "the Orvane extension", tandry: "the enrolment host (Tandry)",
                    sarvik: "the signing host (Sarvik)"};
Orvane.status().then((s) => {
  const parts = [`orvane.js ${s.library.version}`,
                 `extension ${s.extension.version ?? "missing"}`,
                 ...Object.entries(s.hosts).map(([host, h]) => `${host} ${h.version ?? h.state}`)];
  const todo = [...s.install.map((p) => `install ${PART_NAMES[p]}`),
                ...s.update.map((p) => `update ${PART_NAMES[p]}`)];
  if (!s.allowed && s.extension.state === "ok")
    todo.push(`allow ${s.origin} in the extension's options`);
  $("status").textContent = (s.ok ? `Ready for ${s.origin}: ` : `Not ready: please ${todo.join(", ")}. `) +
                            `(${parts.join(", ")})`;
  $("status").className = s.ok ? "ok" : "bad";
  if (s.ok)
    listProviders().catch((e) => say("enrolLog", "failed: " + describe(e)));
}, (e) => {
  $("status").textContent = describe(e);
  $("status").className = "bad";
});
