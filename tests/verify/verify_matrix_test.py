#!/usr/bin/env python3
"""orvane-verify against messages it did not make: RSA messages from
`openssl cms -sign` (attached and detached, with and without signed
attributes, SHA-1 and SHA-256) and SM2 messages assembled here, in the layout
Orvane's SM2 signer writes, around signatures from `openssl pkeyutl -sign
-rawin -digest sm3` (with and without signed attributes). Each message must
verify, and each fault must be refused by exactly the check that owns it:
changed content, a wrong anchor, an expired signer, a signer whose key may
not sign, a wrong SM2 identity. Then bad input: each refused with a reason
and exit status 1, never a crash. Certificates come from the openssl command
line: a root, an intermediate (carried in the RSA messages, given with
--untrusted for SM2) and signers.

    verify_matrix_test.py --verifier PATH [--runner PROGRAM] [--openssl PATH]

--runner runs the verifier through another program (Wine for the Windows
build); paths are then handed over as they are.
"""
import argparse
import base64
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import time

SM2_ID = "1234567812345678"
OTHER_ID = "ALICE123@YAHOO.COM"
DAY = 86400


def der(tag, content):
    n = len(content)
    if n < 0x80:
        head = bytes([n])
    else:
        octets = n.to_bytes((n.bit_length() + 7) // 8, "big")
        head = bytes([0x80 | len(octets)]) + octets
    return bytes([tag]) + head + content


def oid(dotted):
    arcs = [int(a) for a in dotted.split(".")]
    out = bytes([40 * arcs[0] + arcs[1]])
    for arc in arcs[2:]:
        chunk = [arc & 0x7F]
        arc >>= 7
        while arc:
            chunk.insert(0, 0x80 | (arc & 0x7F))
            arc >>= 7
        out += bytes(chunk)
    return der(0x06, out)


def seq(*parts):
    return der(0x30, b"".join(parts))


def set_of(*parts):
    return der(0x31, b"".join(sorted(parts)))


def algorithm(dotted):
    return seq(oid(dotted), b"\x05\x00")


def elements(data):
    """The top-level elements of DER bytes, whole."""
    out, at = [], 0
    while at < len(data):
        n, head = data[at + 1], 2
        if n & 0x80:
            head += n & 0x7F
            n = int.from_bytes(data[at + 2:at + head], "big")
        out.append(data[at:at + head + n])
        at += head + n
    return out


def contents(element):
    n, head = element[1], 2
    if n & 0x80:
        head += n & 0x7F
    return element[head:]


class Maker:
    def __init__(self, work, openssl):
        self.work, self.openssl = work, openssl

    def path(self, name):
        return os.path.join(self.work, name)

    def run(self, *args, data=None):
        r = subprocess.run([self.openssl, *args], input=data, capture_output=True, timeout=60)
        if r.returncode != 0:
            raise RuntimeError(f"openssl {' '.join(args)}: {r.stderr.decode(errors='replace')}")
        return r.stdout

    def key(self, name, sm2):
        key = self.path(name + ".key")
        if sm2:
            self.run("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:SM2", "-out", key)
        else:
            self.run("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", key)
        return key

    def sm2_opts(self, sm2, flag):
        return [flag, "distid:" + SM2_ID] if sm2 else []

    def cert(self, name, sm2, issuer=None, ca=False, usage="digitalSignature", days=30):
        """name.pem and name.key; issuer is (pem, key) or None for a root."""
        key = self.key(name, sm2)
        pem, csr, ext = self.path(name + ".pem"), self.path(name + ".csr"), self.path(name + ".ext")
        md = ["-sm3"] if sm2 else ["-sha256"]
        with open(ext, "w") as f:
            if ca:
                f.write("basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n")
            else:
                f.write(f"keyUsage=critical,{usage}\n")
            f.write("subjectKeyIdentifier=hash\n")
        self.run("req", "-new", "-key", key, "-subj", f"/CN={name}/O=Orvane Verify Tests", *md,
                 *self.sm2_opts(sm2, "-sigopt"), "-out", csr)
        serial = ["-set_serial", str(int.from_bytes(os.urandom(8), "big"))]
        if issuer is None:
            self.run("x509", "-req", "-in", csr, "-key", key, *md, *self.sm2_opts(sm2, "-sigopt"),
                     *self.sm2_opts(sm2, "-vfyopt"), "-days", str(days), "-extfile", ext,
                     *serial, "-out", pem)
        else:
            self.run("x509", "-req", "-in", csr, "-CA", issuer[0], "-CAkey", issuer[1], *md,
                     *self.sm2_opts(sm2, "-sigopt"), *self.sm2_opts(sm2, "-vfyopt"), "-days",
                     str(days), "-extfile", ext, *serial, "-out", pem)
        return pem, key

    def cert_der(self, pem):
        return self.run("x509", "-in", pem, "-outform", "DER")

    def sm3(self, data):
        return self.run("dgst", "-sm3", "-binary", data=data)

    def sm2_sign(self, key, data, ident=SM2_ID):
        return self.run("pkeyutl", "-sign", "-inkey", key, "-rawin", "-digest", "sm3", "-pkeyopt",
                        "distid:" + ident, data=data)

    def cms(self, signer, content_file, attached, attrs, md, intermediate):
        out = self.path("cms.der")
        args = ["cms", "-sign", "-binary", "-in", content_file, "-signer", signer[0], "-inkey",
                signer[1], "-md", md, "-certfile", intermediate, "-outform", "DER", "-out", out]
        if attached:
            args.append("-nodetach")
        if not attrs:
            args.append("-noattr")
        self.run(*args)
        with open(out, "rb") as f:
            return f.read()

    def sm2_message(self, signer, content, attached, attrs, ident=SM2_ID):
        """SM2 signed data as Orvane lays it out (version 1, SM2 content types,
        the signer's certificate alone), signed with OpenSSL's SM2."""
        cert = self.cert_der(signer[0])
        tbs = elements(contents(cert))[0]
        # TBSCertificate: [0] version, serial, signature, issuer, ...
        serial, issuer = elements(contents(tbs))[1], elements(contents(tbs))[3]
        data_oid = "1.2.156.10197.6.1.4.2.1"
        signer_info = [der(0x02, b"\x01"), seq(issuer, serial), algorithm("1.2.156.10197.1.401")]
        if attrs:
            attributes = [seq(oid("1.2.840.113549.1.9.3"), set_of(oid(data_oid))),
                          seq(oid("1.2.840.113549.1.9.4"), set_of(der(0x04, self.sm3(content))))]
            signed = set_of(*attributes)
            signature = self.sm2_sign(signer[1], signed, ident)
            signer_info.append(b"\xa0" + signed[1:])
        else:
            signature = self.sm2_sign(signer[1], content, ident)
        signer_info += [algorithm("1.2.156.10197.1.301.1"), der(0x04, signature)]
        inner = [oid(data_oid)]
        if attached:
            inner.append(der(0xA0, der(0x04, content)))
        signed_data = seq(der(0x02, b"\x01"), set_of(algorithm("1.2.156.10197.1.401")),
                          seq(*inner), der(0xA0, cert), set_of(seq(*signer_info)))
        return seq(oid("1.2.156.10197.6.1.4.2.2"), der(0xA0, signed_data))


def forms(message, i):
    """The message in one of the forms a page or a file hands over."""
    b64 = base64.b64encode(message)
    form = i % 4
    if form == 0:
        return message, "DER"
    if form == 1:
        return b64, "Base64 on one line"
    lines = [b64[k:k + 76] for k in range(0, len(b64), 76)]
    if form == 2:
        return b"\r\n".join(lines), "Base64 in CR LF lines of 76"
    return b"-----BEGIN PKCS7-----\n" + b"\n".join(lines) + b"\n-----END PKCS7-----\n", "PEM"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--verifier", required=True)
    parser.add_argument("--runner", default=None)
    parser.add_argument("--openssl", default="openssl")
    args = parser.parse_args()
    failures = []

    with tempfile.TemporaryDirectory(prefix="orvane-verify-matrix-") as work:
        mk = Maker(work, args.openssl)

        def verify(message, content=None, ca=None, untrusted=None, at=None, sm2_id=None,
                   stdin=False):
            msg_path = os.path.join(work, "message")
            with open(msg_path, "wb") as f:
                f.write(message)
            cmd = ([args.runner] if args.runner else []) + [args.verifier, "--json"]
            for c in ca or []:
                cmd += ["--ca", c]
            for u in untrusted or []:
                cmd += ["--untrusted", u]
            if at:
                cmd += ["--at", at]
            if sm2_id:
                cmd += ["--sm2-id", sm2_id]
            cmd.append("-" if stdin else msg_path)
            if content is not None:
                cmd.append(content)
            r = subprocess.run(cmd, input=message if stdin else None, capture_output=True,
                               timeout=300)
            try:
                report = json.loads(r.stdout.decode())
            except ValueError:
                report = None
            return r.returncode, report, r.stderr.decode(errors="replace")

        def expect(label, outcome, failed, check=None):
            code, report, err = outcome
            if report is None:
                failures.append(f"{label}: no JSON report (exit {code}) {err}")
                return None
            fails = {c["name"] for c in report["checks"] if c["result"] == "fail"}
            if failed:
                ok = code == 1 and fails == set(failed) and not report["verified"]
            else:
                ok = code == 0 and report["verified"] and all(
                    c["result"] == "pass" for c in report["checks"])
            if ok and check:
                problem = check(report)
                if problem:
                    failures.append(f"{label}: {problem}")
                    return report
            if not ok:
                failures.append(f"{label}: exit {code}, failed {sorted(fails)}, wanted "
                                f"{sorted(failed)}: {report['verdict']}")
            return report

        now = int(time.time())
        later = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(now + 60 * DAY))

        content = os.urandom(1000) + b"signed text \xe4\xb8\xad"
        content_file = os.path.join(work, "content.bin")
        changed_file = os.path.join(work, "changed.bin")
        with open(content_file, "wb") as f:
            f.write(content)
        changed = content[:500] + bytes([content[500] ^ 1]) + content[501:]
        with open(changed_file, "wb") as f:
            f.write(changed)

        pki = {}
        for family, sm2 in (("RSA", False), ("SM2", True)):
            root = mk.cert(f"{family} Root", sm2, ca=True, days=3650)
            inter = mk.cert(f"{family} Intermediate", sm2, issuer=root, ca=True, days=3650)
            other = mk.cert(f"{family} Other Root", sm2, ca=True, days=3650)
            good = mk.cert(f"{family} Signer", sm2, issuer=inter)
            nosign = mk.cert(f"{family} Encipherer", sm2, issuer=inter,
                             usage="keyEncipherment,dataEncipherment" if not sm2 else "keyAgreement")
            pki[family] = dict(root=root[0], inter=inter[0], other=other[0], good=good,
                               nosign=nosign, digest=None)

        # A folder of anchors as a trust store keeps them: both roots, and a
        # file that is no certificate.
        anchors_dir = os.path.join(work, "anchors")
        os.makedirs(anchors_dir)
        for family in pki:
            with open(pki[family]["root"], "rb") as f, \
                    open(os.path.join(anchors_dir, family + ".pem"), "wb") as out:
                out.write(f.read())
        with open(os.path.join(anchors_dir, "notes.txt"), "w") as f:
            f.write("not a certificate\n")

        # (label, family, make(signer) -> DER, attached, tampered check)
        variants = []
        for attached in (True, False):
            for attrs in (True, False):
                for md in ("sha1", "sha256"):
                    variants.append((f"RSA cms {'attached' if attached else 'detached'} "
                                     f"{'attrs' if attrs else 'noattr'} {md}", "RSA", attached,
                                     "content-digest", md,
                                     lambda s, a=attached, t=attrs, m=md: mk.cms(
                                         s, content_file, a, t, m, pki["RSA"]["inter"])))
        for attached in (True, False):
            for attrs in (True, False):
                variants.append((f"SM2 assembled {'attached' if attached else 'detached'} "
                                 f"{'attrs' if attrs else 'noattr'}", "SM2", attached,
                                 "content-digest" if attrs else "signature", "sm3",
                                 lambda s, a=attached, t=attrs: mk.sm2_message(s, content, a, t)))

        digests = {"sha1": hashlib.sha1(content).hexdigest(),
                   "sha256": hashlib.sha256(content).hexdigest(),
                   "sm3": mk.sm3(content).hex()}
        for i, (label, family, attached, tamper_check, md, make) in enumerate(variants):
            p = pki[family]
            trust = dict(ca=[p["root"]], untrusted=[p["inter"]] if family == "SM2" else None)
            message = make(p["good"])
            text, form = forms(message, i)
            label = f"{label} ({form})"
            detached_content = None if attached else content_file

            def fields(report, md=md, family=family):
                want = {"contentLength": len(content), "digest": digests[md]}
                got = {k: report[k] for k in want}
                if got != want:
                    return f"report says {got}, OpenSSL and hashlib say {want}"
                if f"CN={family} Signer" not in report["signer"]["subject"].split(","):
                    return f"signer {report['signer']['subject']}"
                return None

            good_trust = dict(trust, ca=[anchors_dir]) if i % 2 else trust
            expect(label, verify(text, detached_content, stdin=(i == 5), **good_trust), [], fields)
            if attached:
                assert message.count(content) == 1
                tampered = message.replace(content, changed)
                expect(label + ": changed content", verify(forms(tampered, i)[0], **trust),
                       [tamper_check])
                # A content file named with an attached message must be its content.
                expect(label + ": with its content file", verify(text, content_file, **trust), [])
                expect(label + ": with another content file", verify(text, changed_file, **trust),
                       ["content-digest"])
            else:
                expect(label + ": changed content", verify(text, changed_file, **trust),
                       [tamper_check])
            expect(label + ": wrong anchor",
                   verify(text, detached_content, ca=[p["other"]], untrusted=trust["untrusted"]),
                   ["chain"])
            expect(label + ": expired signer",
                   verify(text, detached_content, at=later, **trust), ["validity"])
            expect(label + ": signer may not sign",
                   verify(forms(make(p["nosign"]), i)[0], detached_content, **trust),
                   ["key-usage"])
            if family == "SM2":
                expect(label + ": wrong identity",
                       verify(text, detached_content, sm2_id=OTHER_ID, **trust), ["signature"])
        # An SM2 message whose signer used another identity verifies when told it.
        p = pki["SM2"]
        with_other = mk.sm2_message(p["good"], content, True, False, OTHER_ID)
        trust = dict(ca=[p["root"]], untrusted=[p["inter"]])
        expect("SM2 signed with another identity, told it",
               verify(with_other, sm2_id=OTHER_ID, **trust), [])
        expect("SM2 signed with another identity, default identity", verify(with_other, **trust),
               ["signature"])

        # Bad input: each refused by the structure check (or, for a detached
        # message without its content, by the content check).
        good = mk.cms(pki["RSA"]["good"], content_file, True, True, "sha256", pki["RSA"]["inter"])
        no_signer = mk.run("crl2pkcs7", "-nocrl", "-certfile", pki["RSA"]["good"][0], "-outform",
                           "DER")
        trust = dict(ca=[pki["RSA"]["root"]])
        bad = [
            ("truncated DER", good[: len(good) // 2], "structure"),
            ("truncated by one byte", good[:-1], "structure"),
            ("trailing garbage", good + b"\x00\x01", "structure"),
            ("trailing garbage in Base64", base64.b64encode(good + b"junk"), "structure"),
            ("wrong Base64", b"MII" + b"!" * 40, "structure"),
            ("Base64 with a stray last character", base64.b64encode(good) + b"Q", "structure"),
            ("no signer", no_signer, "structure"),
            ("empty", b"", "structure"),
            ("not a message", base64.b64encode(seq(oid("1.2.840.113549.1.7.1"))), "structure"),
            ("indefinite length", b"\x30\x80" + good[4:] + b"\x00\x00", "structure"),
            ("detached without its content",
             mk.cms(pki["RSA"]["good"], content_file, False, True, "sha256", pki["RSA"]["inter"]),
             "content-digest"),
        ]
        for label, message, check in bad:
            code, report, err = verify(message, **trust)
            if code != 1 or report is None:
                failures.append(f"bad input {label}: exit {code} {err}")
                continue
            fails = [c["name"] for c in report["checks"] if c["result"] == "fail"]
            reason = next((c["reason"] for c in report["checks"] if c["name"] == check), "")
            if fails[:1] != [check] or not reason:
                failures.append(f"bad input {label}: failed {fails}, wanted {check} first")

        # A 2 GiB message (sparse): refused from its size, quickly, without
        # reading it into memory.
        huge = os.path.join(work, "huge.p7s")
        with open(huge, "wb") as f:
            f.write(good)
            f.truncate(2 * 1024 ** 3)
        cmd = ([args.runner] if args.runner else []) + [args.verifier, "--ca", trust["ca"][0], huge]
        started = time.monotonic()
        r = subprocess.run(cmd, capture_output=True, timeout=120)
        if r.returncode != 1 or b"larger than" not in r.stdout:
            failures.append(f"2 GiB message: exit {r.returncode}: {r.stdout!r}")
        print(f"2 GiB message refused in {time.monotonic() - started:.2f} s")

        # Usage errors are status 2, apart from verdicts.
        for label, extra in (("no message", []), ("bad time", ["--at", "2031-13-01T00:00:00Z", "x"]),
                             ("unknown option", ["--frobnicate", "x"])):
            r = subprocess.run(([args.runner] if args.runner else []) + [args.verifier, *extra],
                               capture_output=True, timeout=60)
            if r.returncode != 2:
                failures.append(f"usage error {label}: exit {r.returncode}, "
                                f"said {r.stdout[-200:]!r} {r.stderr[-200:]!r}")

    cases = len(variants) * 5 + 6 * 2 + 4 * 1 + 2 + len(bad) + 1 + 3
    for f in failures:
        print("FAIL", f)
    print(f"verify matrix: {cases} cases, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
