#!/usr/bin/env python3
"""Sarvik, the signing host, spoken to as a browser does (length-prefixed
JSON on its standard streams) after enrolments through Tandry in fresh hives:
the selection lasts for the process, messages verify with OpenSSL, and a
response over the browser's 1 MiB limit becomes an error response after which
the same process still signs. Runs in every POSIX build, the sanitizer one
included, unlike the browser tests.

    sarvik_e2e_test.py --tandry PATH --sarvik PATH --enrol PATH --source-dir DIR
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


class Host:
    def __init__(self, program, env):
        self.process = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        env=env)

    def call(self, function, *params):
        body = json.dumps({"function": function, "params": list(params)}).encode()
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


def main():
    parser = argparse.ArgumentParser()
    for option in ("--tandry", "--sarvik", "--enrol", "--source-dir"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(args.source_dir, "web", "demo"))
    import server  # the demo's verifier: OpenSSL's CMS for RSA, its SM2 for SM2

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
        verifier = server.Issuer("", "")
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
        check(host.close() == 0, "Sarvik did not end cleanly when its input ended")
    print(f"sarvik: {len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
