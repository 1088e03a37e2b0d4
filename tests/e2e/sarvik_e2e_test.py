#!/usr/bin/env python3
"""Sarvik, the signing host, spoken to as a browser does (length-prefixed
JSON on its standard streams) after enrolments through Tandry in fresh hives:
the selection lasts for the process, messages verify with OpenSSL, a
response over the browser's 1 MiB limit becomes an error response after which
the same process still signs, and every call the host refuses itself is
explained by the next VURO_GetLastErrorDesc (a refused selection leaves
nothing selected). Runs in every POSIX build, the sanitizer one included,
unlike the browser tests.

    sarvik_e2e_test.py --tandry PATH --sarvik PATH --enrol PATH --verifier PATH --source-dir DIR
"""
import argparse
import json
import os
import struct
import subprocess
import sys
import tempfile

SM2 = "Orvane Soft SM2 Token CSP v1.0"
RSA = "Microsoft Enhanced Cryptographic Provider v1.0"
NOT_READY = 0xA0072001 - (1 << 32)
CAP_ERROR = 0xA0071101 - (1 << 32)
INVALID_ARG = 0x80070057 - (1 << 32)
ARG_TYPE = 0xA0073204 - (1 << 32)
FIXED_TEXT = 0x8009002D - (1 << 32)
TOKEN_BOUND = 256


class Host:
    def __init__(self, program, env):
        self.process = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        env=env)

    def call(self, function, *params, random_id=None):
        request = {"function": function, "params": list(params)}
        if random_id is not None:
            request["randomId"] = random_id
        body = json.dumps(request).encode()
        self.process.stdin.write(struct.pack("<I", len(body)) + body)
        self.process.stdin.flush()
        header = self.process.stdout.read(4)
        if len(header) != 4:
            raise RuntimeError(f"{function}: the host ended")
        (length,) = struct.unpack("<I", header)
        if length > 1024 * 1024:
            raise RuntimeError(f"{function}: a frame of {length} bytes, over the browser's limit")
        return json.loads(self.process.stdout.read(length))

    def close(self):
        self.process.stdin.close()
        return self.process.wait(timeout=30)


def described(host, code):
    """Whether VURO_GetLastErrorDesc now ends with the number of code."""
    r = host.call("VURO_GetLastErrorDesc")
    return r.get("result", "").endswith(f"\n(0x{code & 0xFFFFFFFF:08x})"), r


def refusals_are_explained(host, check):
    """Each call the host refuses before the agent runs: the answer's code,
    then the description of exactly that refusal (a -1 answer is described
    as the bad argument list it was), and a refused selection leaves nothing
    to sign with. Every case starts from a good selection and a last result
    of 0, so an answer about an earlier call shows."""
    rsa = "Sarvik RSA"
    cases = (
        # (what, function, params, randomId, errorcode, described code, selection)
        ("a selection with four arguments", "VURO_SelectUserCert", [rsa, "", "", ""], None,
         -1, INVALID_ARG, True),
        ("a selection whose flag is text", "VURO_SelectUserCert", [rsa, "", "", "", "false"],
         None, ARG_TYPE, ARG_TYPE, True),
        ("a selection whose subject holds a NUL", "VURO_SelectUserCert",
         [rsa + "\0x", "", "", "", False], None, INVALID_ARG, INVALID_ARG, True),
        ("a selection with an oversized randomId", "VURO_SelectUserCert",
         [rsa, "", "", "", False], "s" * 300, CAP_ERROR, CAP_ERROR, True),
        ("a text holding a NUL", "VURO_SignData", ["a\0b", "SHA-1"], None, INVALID_ARG,
         INVALID_ARG, False),
        ("signing with one argument", "VURO_SignData", ["a"], None, -1, INVALID_ARG, False),
        ("a question that is no text", "VURO_GetCertInfo", [1], None, ARG_TYPE, ARG_TYPE, False),
        ("an unknown method", "VURO_SignEverything", [], None, FIXED_TEXT, FIXED_TEXT, False),
    )
    for what, function, params, random_id, code, described_code, selection in cases:
        r = host.call("VURO_SelectUserCert", rsa, "", "", "", False)
        check(r["errorcode"] == 0, f"{what}: the selection before it: {r}")
        r = host.call(function, *params, random_id=random_id)
        check(r["errorcode"] == code, f"{what} was answered {json.dumps(r)[:200]}")
        check(len(r.get("randomId", "")) <= TOKEN_BOUND, f"{what}: the answer echoes the token")
        ok, desc = described(host, described_code)
        check(ok, f"{what}: the last error then is {desc}")
        if selection:
            r = host.call("VURO_SignData", "after a refused selection", "SHA-1")
            check(r["errorcode"] == NOT_READY and not r["result"],
                  f"{what}: signing afterwards gave {json.dumps(r)[:200]}")


def oversized_tokens_are_refused(host, check, work):
    """A randomId over the bound is refused before the file is signed: no
    signature file, no token in the answer, and the same call with an
    ordinary token then succeeds (nothing is left in its way)."""
    source = os.path.join(work, "contract.txt")
    with open(source, "w", encoding="utf-8") as f:
        f.write("a contract\n")
    r = host.call("VURO_SelectUserCert", "Sarvik RSA", "", "", "", False)
    check(r["errorcode"] == 0, f"selecting before the file: {r}")
    for size in (TOKEN_BOUND + 44, 2 * 1024 * 1024):
        r = host.call("VURO_SignFile", source, "SHA-1", random_id="t" * size)
        check(r["errorcode"] == CAP_ERROR and "randomId" not in r,
              f"a randomId of {size} bytes was answered {json.dumps(r)[:200]}")
        check(not os.path.exists(source + ".p7s"),
              f"a randomId of {size} bytes: the signature file was written")
        ok, desc = described(host, CAP_ERROR)
        check(ok, f"a randomId of {size} bytes: the last error then is {desc}")
    r = host.call("VURO_SignFile", source, "SHA-1", random_id="t" * TOKEN_BOUND)
    check(r["errorcode"] == 0 and r.get("randomId") == "t" * TOKEN_BOUND and
          os.path.exists(source + ".p7s"), f"a randomId at the bound: {json.dumps(r)[:200]}")


def main():
    parser = argparse.ArgumentParser()
    for option in ("--tandry", "--sarvik", "--enrol", "--verifier", "--source-dir"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(args.source_dir, "web", "demo"))
    import server  # the demo's verifier: orvane-verify, anchored at the test issuer

    failures = []

    def check(condition, what):
        if not condition:
            failures.append(what)
            print(f"FAIL: {what}")

    with tempfile.TemporaryDirectory(prefix="sarvik-e2e-") as work:
        env = dict(os.environ, ORVANE_USER_HIVE=os.path.join(work, "user.db"),
                   ORVANE_MACHINE_HIVE=os.path.join(work, "machine.db"))
        env.pop("DISPLAY", None)  # single candidates only: no dialog wanted
        env.pop("WAYLAND_DISPLAY", None)
        for provider, algorithm, cn in ((RSA, "RSA", "Sarvik RSA"), (SM2, "SM2", "Sarvik SM2")):
            enrol = subprocess.run([args.enrol, "--host", args.tandry, "--ca-dir",
                                    os.path.join(work, "ca"), "--provider", provider,
                                    "--algorithm", algorithm, "--type", "1", "--bits",
                                    "1024" if algorithm == "RSA" else "256", "--subject",
                                    f"CN={cn},O=Orvane Tests,C=CN", "--quiet"],
                                   env=env, capture_output=True, text=True)
            if enrol.returncode != 0:
                print(enrol.stdout, enrol.stderr)
                print(f"FAIL: the {algorithm} enrolment through Tandry failed")
                return 1
        verifier = server.Issuer("", os.path.join(work, "ca"), args.verifier)
        host = Host(args.sarvik, env)
        r = host.call("VURO_SignData", "too early", "SHA-1")
        check(r["errorcode"] == NOT_READY, f"signing before a selection: {r}")
        for cn, csp, kind in (("Sarvik RSA", "", "RSA"), ("Sarvik SM2", SM2, "SM2")):
            r = host.call("VURO_SelectUserCert", cn, "", "", csp, False)
            check(r["errorcode"] == 0, f"selecting {cn}: {r}")
            r = host.call("VURO_GetCertInfo", "CertType")
            check(r.get("result") == kind, f"{cn} is of type {r}")
            # The selection lasts: several messages from one selection.
            for text in ("first message", "second message, 第二"):
                r = host.call("VURO_SignData", text, "SHA-1")
                v = verifier.verify(r.get("result", ""), text, False)
                check(r["errorcode"] == 0 and v["verified"] and v["contentMatches"] and
                      cn in v["signer"], f"{cn} signing {text!r}: {v['detail']}")
            r = host.call("VURO_SignDataDetached", "detached", "SHA-1")
            v = verifier.verify(r.get("result", ""), "detached", True)
            check(r["errorcode"] == 0 and v["verified"],
                  f"{cn} signing detached: {v['detail']}")
        # Over the limit and back, on the same process with the same selection.
        r = host.call("VURO_SignData", "x" * (900 * 1024), "SHA-1")
        check(r["errorcode"] == CAP_ERROR, f"a signature over 1 MiB was answered with "
              f"{json.dumps(r)[:200]}")
        r = host.call("VURO_GetLastErrorDesc")
        check("Data length exceeds limited" in r.get("result", ""),
              f"the last error after the refusal: {r}")
        r = host.call("VURO_SignData", "after the refusal", "SHA-1")
        v = verifier.verify(r.get("result", ""), "after the refusal", False)
        check(v["verified"] and "Sarvik SM2" in v["signer"],
              f"signing after the refusal: {v['detail']}")
        refusals_are_explained(host, check)
        oversized_tokens_are_refused(host, check, work)
        check(host.close() == 0, "Sarvik did not end cleanly when its input ended")
    print(f"sarvik: {len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
