// What a page sees of a failure, for the test's checks: the error's stable
// name and code, and every Orvane error class it is an instance of.
"use strict";

const ERROR_CLASSES = ["OrvaneError", "ExtensionMissingError", "ExtensionDisconnectedError",
                       "OriginNotAllowedError", "HostMissingError", "HostExitedError",
                       "VersionMismatchError", "TimeoutError", "HostError", "CancelledError"];

function seen(e) {
  if (!(e instanceof Error))
    return {name: null, value: e === undefined ? null : e};
  const out = {name: e.name, code: e.code ?? null, message: e.message,
               classes: ERROR_CLASSES.filter((c) => e instanceof Orvane[c])};
  for (const key of ["host", "part", "version", "minimum", "description", "timeoutMs"])
    if (e[key] !== undefined)
      out[key] = e[key];
  return out;
}

// outcome: what a promise came to: {value} or the error as seen().
function outcome(promise) {
  return promise.then((value) => ({value}), seen);
}
