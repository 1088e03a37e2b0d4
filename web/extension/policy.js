// Which pages may reach the hosts: origins on the allow-list, from three
// sources. An administrator's list (managed storage, from browser policy)
// always counts; the user's list (the options page, local storage) counts
// unless policy says "userOriginsAllowed": false; the demo origin (any port
// on 127.0.0.1, plain http) counts only in a development install (loaded
// unpacked in Chromium, a temporary add-on in Firefox) or where policy says
// "demoOriginAllowed": true, and never where it says false. Any local
// program can serve a page on 127.0.0.1, so an installed extension must not
// trust that origin unasked. Used by the background and by the options page.
"use strict";

(function (scope) {
  const api = scope.browser ?? scope.chrome;

  // The demo server listens on 127.0.0.1 only; its port is the user's choice.
  const DEMO_ORIGIN = "http://127.0.0.1:*";

  // An entry is "scheme://host", "scheme://host:port" or "scheme://host:*"
  // (any port), where scheme is http or https and host may start with "*."
  // (the domain and every subdomain). Anything else is not an entry: a list
  // entry is never a substring or a regular expression, so "example.com"
  // cannot admit "example.com.evil.test".
  const ENTRY = /^(https?):\/\/(\*\.)?([a-z0-9-]+(?:\.[a-z0-9-]+)*|\[[0-9a-f:.]+\])(?::(\*|[0-9]{1,5}))?$/;

  // parseEntry: the entry as {scheme, wildcardHost, host, port} (port: a
  // number, or "*"), or null when it is not one. The default port is written
  // out so that "https://a.test" and "https://a.test:443" are one entry.
  function parseEntry(text) {
    if (typeof text !== "string")
      return null;
    const m = ENTRY.exec(text.trim().toLowerCase().replace(/\/$/, ""));
    if (!m)
      return null;
    const scheme = m[1];
    let port = m[4] ?? (scheme === "https" ? "443" : "80");
    if (port !== "*") {
      port = Number(port);
      if (port < 1 || port > 65535)
        return null;
    }
    return {scheme, wildcardHost: m[2] !== undefined, host: m[3], port};
  }

  // canonicalEntry: the entry written one way, or null.
  function canonicalEntry(text) {
    const e = parseEntry(text);
    if (!e)
      return null;
    return `${e.scheme}://${e.wildcardHost ? "*." : ""}${e.host}:${e.port}`;
  }

  // matches: whether the page origin (as the browser reports it) is admitted
  // by the parsed entry.
  function matches(entry, origin) {
    let url;
    try {
      url = new URL(origin);
    } catch (e) {
      return false;
    }
    const scheme = url.protocol.replace(/:$/, "");
    if (scheme !== entry.scheme)
      return false;
    const port = url.port !== "" ? Number(url.port) : scheme === "https" ? 443 : 80;
    if (entry.port !== "*" && entry.port !== port)
      return false;
    const host = url.hostname.toLowerCase();
    if (entry.wildcardHost)
      return host === entry.host || host.endsWith("." + entry.host);
    return host === entry.host;
  }

  // Managed storage throws in Firefox when no policy names the extension, and
  // may be missing altogether on some builds: both mean "no policy".
  async function readManaged() {
    try {
      return (await api.storage.managed.get(null)) ?? {};
    } catch (e) {
      return {};
    }
  }

  // Both browsers answer management.getSelf() without the "management"
  // permission: "development" for an extension loaded unpacked (Chromium) or
  // as a temporary add-on (Firefox). Anything else, a failure included, is
  // an ordinary install. The answer cannot change while the extension runs.
  let development = null;
  function isDevelopmentInstall() {
    if (development === null)
      development = (async () => {
        try {
          return (await api.management.getSelf()).installType === "development";
        } catch (e) {
          return false;
        }
      })();
    return development;
  }

  async function readUserOrigins() {
    const stored = await api.storage.local.get("allowedOrigins");
    return Array.isArray(stored.allowedOrigins) ? stored.allowedOrigins : [];
  }

  async function writeUserOrigins(list) {
    await api.storage.local.set({allowedOrigins: list});
  }

  // effectiveList: every entry that counts now, each with where it comes
  // from ("policy", "user" or "demo"), plus what policy says about the rest.
  async function effectiveList() {
    const managed = await readManaged();
    const userAllowed = managed.userOriginsAllowed !== false;
    const demoAllowed = managed.demoOriginAllowed === true ||
        (managed.demoOriginAllowed !== false && await isDevelopmentInstall());
    const entries = [];
    const add = (text, source) => {
      const e = parseEntry(text);
      if (e)
        entries.push({text: canonicalEntry(text), source, entry: e});
    };
    for (const text of Array.isArray(managed.allowedOrigins) ? managed.allowedOrigins : [])
      add(text, "policy");
    if (userAllowed)
      for (const text of await readUserOrigins())
        add(text, "user");
    if (demoAllowed)
      add(DEMO_ORIGIN, "demo");
    return {entries, userAllowed, demoAllowed};
  }

  // isAllowed: whether a page of this origin may reach the hosts.
  async function isAllowed(origin) {
    const {entries} = await effectiveList();
    return entries.some((e) => matches(e.entry, origin));
  }

  scope.OrvanePolicy = {
    DEMO_ORIGIN,
    parseEntry,
    canonicalEntry,
    matches,
    effectiveList,
    isAllowed,
    isDevelopmentInstall,
    readUserOrigins,
    writeUserOrigins,
  };
})(globalThis);
