#!/usr/bin/env python3
"""A PKCS#11 token (SoftHSM2) through the real hosts, as a browser drives them.

Tandry lists the token after the built-in providers and enrols into it
twice (a signing certificate alone, then signing plus encryption); OpenSSL
verifies each request, the test issuer answers, and OpenSC's pkcs11-tool
and GnuTLS's p11tool then find on the token each certificate the issuer
made, beside its key pair (one CKA_ID), with private keys that are private,
sensitive and not extractable. Sarvik selects the new certificates and signs
(text attached and detached, a file), every message verified by OpenSSL's
cms and by orvane-verify; two Sarvik processes sign on the one token at the
same time; and a token taken away between two calls is reported as such
(0x80100069, described) while the host lives on. The PIN comes from the
scripted prompt, whose runs are counted: one login per process and token.

    token_e2e_test.py --tandry PATH --sarvik PATH --testca PATH --verifier PATH --source-dir DIR
                      [--case all|login-race]

--case login-race is apart: Sarvik signing while another program logs in to
the token again and again.
"""
import argparse
import base64
import os
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# AlgorithmIdentifier contents start: the OBJECT IDENTIFIER of the signature.
SHA1_RSA = bytes.fromhex("06092a864886f70d010105")
SHA256_RSA = bytes.fromhex("06092a864886f70d01010b")
REMOVED = 0x80100069 - (1 << 32)
LABEL = "E2E Token"
SIGNERS = 2  # Sarvik processes signing at once
MESSAGES = 4  # messages each of them signs
LOGINS = 100  # logins of another program while Sarvik signs


def element(der, at, limit=None):
    """One DER element at offset at: (start, tag, content start, end)."""
    limit = len(der) if limit is None else limit
    if at + 2 > limit:
        raise ValueError(f"no element at {at}")
    tag, first = der[at], der[at + 1]
    if first < 0x80:
        length, header = first, 2
    else:
        count = first & 0x7F
        if count == 0 or count > 4 or at + 2 + count > limit:
            raise ValueError(f"a bad length at {at}")
        length, header = int.from_bytes(der[at + 2:at + 2 + count], "big"), 2 + count
    if at + header + length > limit:
        raise ValueError(f"the element at {at} runs past its parent")
    return at, tag, at + header, at + header + length


def children(der, parent):
    """The elements inside a constructed one."""
    out, at = [], parent[2]
    while at < parent[3]:
        out.append(element(der, at, parent[3]))
        at = out[-1][3]
    return out


def main():
    parser = argparse.ArgumentParser()
    for option in ("--tandry", "--sarvik", "--testca", "--verifier", "--source-dir"):
        parser.add_argument(option, required=True)
    parser.add_argument("--case", choices=["all", "login-race"], default="all")
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(args.source_dir, "tests", "pkcs11"))
    sys.path.insert(0, os.path.join(args.source_dir, "web", "demo"))
    sys.path.insert(0, HERE)
    import softhsm
    import server  # the demo's issuer and verifier: testca and orvane-verify
    from sarvik_e2e_test import Host

    reason = softhsm.missing()
    if reason:
        print(f"skipped: {reason}")
        return 0
    with tempfile.TemporaryDirectory(prefix="token-e2e-") as work:
        return Run(args, work, softhsm, server, Host).main()


class Run:
    def __init__(self, args, work, softhsm, server, host_class):
        self.args, self.work, self.Host = args, work, host_class
        self.failures = []
        self.token = softhsm.SoftHsm(os.path.join(work, "softhsm"), label=LABEL)
        self.issuer = server.Issuer(args.testca, os.path.join(work, "ca"), args.verifier)
        base = dict(os.environ, ORVANE_USER_HIVE=os.path.join(work, "user.db"),
                    ORVANE_MACHINE_HIVE=os.path.join(work, "machine.db"))
        # The provider starts a PIN prompt only where a window could show;
        # the scripted prompt draws none, so a display name that leads
        # nowhere will do. Each selection has one candidate: no dialog.
        base["DISPLAY"] = ":99.orvane-no-display"
        base.pop("WAYLAND_DISPLAY", None)
        self.base = base

    def check(self, condition, what):
        if not condition:
            self.failures.append(what)
            print(f"FAIL: {what}")
        return condition

    def host(self, program, name):
        """A host on the token, its prompt's runs noted in a log of its own."""
        log = os.path.join(self.work, f"prompts-{name}.log")
        return self.Host(program, self.token.env(self.base, prompt_log=log)), log

    def prompts_in(self, log):
        if not os.path.exists(log):
            return 0
        with open(log) as f:
            return sum(1 for line in f if line.strip())

    def openssl(self, *command, data=None):
        return subprocess.run(["openssl", *command], input=data, capture_output=True, timeout=60)

    def call_ok(self, host, function, *params):
        r = host.call(function, *params)
        if not self.check(r.get("errorcode") == 0, f"{function}{params!r:.120}: {r}"):
            d = host.call("VURO_GetLastErrorDesc")
            print(f"  described as: {d.get('result')!r}")
        return r.get("result")

    # Enrolment.
    def enrol(self, tandry, provider, cn, cert_type):
        """One enrolment into the token; the issuer's answer and the container."""
        self.call_ok(tandry, "VURO_SetCSPInfo", 2048, provider)
        self.call_ok(tandry, "VURO_SetKeyAlgorithm", "RSA")
        subject = f"CN={cn},O=Orvane Tests,C=CN"
        request = self.call_ok(tandry, "VURO_PKCS10CertRequisition", subject, cert_type, 1) or ""
        container = self.call_ok(tandry, "VURO_GetContainer") or ""
        self.check(self.request_verifies(request, cn, cert_type), f"{cn}: the request")
        issued = self.issuer.issue(request, cert_type, "new-rsa" if cert_type == 2 else None)
        if not self.check("error" not in issued, f"{cn}: the issuer refused: {issued}"):
            return None, container
        self.check(self.call_ok(tandry, "VURO_ImportSignCert", cert_type, issued["signCert"],
                                container) is True, f"{cn}: the signing certificate import")
        if cert_type == 2:
            self.check(self.call_ok(tandry, "VURO_ImportEncryptCert", issued["envelope"],
                                    issued["encCert"], container, 1) is True,
                       f"{cn}: the encryption certificate import")
        return issued, container

    def request_verifies(self, request, cn, cert_type):
        """OpenSSL's verdict on a request's signature. A single request is
        read by openssl req; a double one carries its attributes in the
        issuers' form, which OpenSSL's request parser refuses, so its parts
        are cut out of the DER here and the signature over the exact signed
        bytes is checked with openssl dgst against the request's own key."""
        if cert_type == 1:
            pem = ("-----BEGIN CERTIFICATE REQUEST-----\n" + "\n".join(request.split()) +
                   "\n-----END CERTIFICATE REQUEST-----\n")
            req = self.openssl("req", "-verify", "-noout", "-subject", data=pem.encode())
            return self.check(req.returncode == 0 and cn in req.stdout.decode(),
                              f"{cn}: openssl req -verify: {req.stderr.decode().strip()}")
        der = base64.b64decode("".join(request.split()))
        try:
            outer = children(der, element(der, 0))
            info, algorithm, signature = outer
            spki = children(der, info)[2]
        except (ValueError, IndexError) as e:
            return self.check(False, f"{cn}: the request's DER: {e}")
        digest = {SHA1_RSA: "-sha1", SHA256_RSA: "-sha256"}.get(der[algorithm[2]:algorithm[2] + len(SHA1_RSA)])
        if not self.check(digest, f"{cn}: the request is signed with "
                          f"{der[algorithm[2]:algorithm[3]].hex()}"):
            return False
        files = {}
        for name, (start, end) in (("info", (info[0], info[3])), ("spki", (spki[0], spki[3])),
                                   # the BIT STRING's bits, past its unused-bits byte
                                   ("signature", (signature[2] + 1, signature[3]))):
            files[name] = os.path.join(self.work, f"request-{name}.der")
            with open(files[name], "wb") as f:
                f.write(der[start:end])
        key = self.openssl("pkey", "-pubin", "-inform", "DER", "-in", files["spki"])
        pub = os.path.join(self.work, "request-key.pem")
        with open(pub, "wb") as f:
            f.write(key.stdout)
        done = self.openssl("dgst", digest, "-verify", pub, "-signature", files["signature"],
                            files["info"])
        return self.check(key.returncode == 0 and done.returncode == 0 and
                          cn.encode() in der[info[0]:info[3]],
                          f"{cn}: openssl dgst -verify of the request: "
                          f"{(done.stdout + done.stderr).decode().strip()}")

    def check_token(self, enrolled):
        """What the PKCS#11 tools find on the token after the enrolments:
        each issued certificate, byte for byte, with a private key of its
        CKA_ID; every private key private, sensitive and not extractable;
        nothing private without a login."""
        objects = self.token.objects(login=True)
        print("on the token:", ", ".join(f"{o['kind'].split()[0].lower()} {o.get('id')}"
                                         for o in objects))
        certs = [o for o in objects if o["kind"] == "Certificate Object"]
        keys = [o for o in objects if o["kind"] == "Private Key Object"]
        wanted = []
        for cn, (issued, container) in enrolled.items():
            wanted.append((cn, "signing", issued["signCert"], container))
            if issued.get("encCert"):
                wanted.append((cn, "encryption", issued["encCert"], None))
        self.check(len(certs) == len(wanted), f"the token holds {len(certs)} certificates, "
                   f"expected {len(wanted)}: {[c.get('label') for c in certs]}")
        for cn, what, b64, container in wanted:
            der = base64.b64decode(b64)
            found = next((c for c in certs if self.token.read_certificate(c["id"]) == der), None)
            if not self.check(found is not None, f"{cn}: the {what} certificate is not on the token"):
                continue
            pair = [k for k in keys if k.get("id") == found["id"]]
            self.check(len(pair) == 1, f"{cn}: the {what} certificate's ID {found['id']} has "
                       f"{len(pair)} private keys")
            if pair and container:
                self.check(pair[0].get("label") == container,
                           f"{cn}: the key is labelled {pair[0].get('label')!r}, "
                           f"the container is {container!r}")
            if pair and what == "signing":
                # Made on the token: never was extractable.
                self.check("never extractable" in pair[0].get("access", ""),
                           f"{cn}: the signing key's access is {pair[0].get('access')!r}")
        for k in keys:
            access = [a.strip() for a in k.get("access", "").split(",")]
            self.check("sensitive" in access and "extractable" not in access,
                       f"private key {k.get('label')!r}: access {k.get('access')!r}")
        self.check(len(keys) == len(wanted), f"{len(keys)} private keys for {len(wanted)} "
                   "certificates")
        # GnuTLS's view: the same, and nothing private before a login.
        public = self.token.p11tool_objects(login=False)
        self.check(not any("private" in o.get("type", "").lower() for o in public),
                   "p11tool lists a private key without a login")
        self.check(sum(1 for o in public if o.get("type", "").startswith("X.509 Certificate"))
                   == len(wanted), f"p11tool lists {[o.get('type') for o in public]} without a login")
        for o in self.token.p11tool_objects(login=True):
            if "private" in o.get("type", "").lower():
                flags = o.get("flags", [])
                self.check("CKA_SENSITIVE" in flags and "CKA_PRIVATE" in flags and
                           "CKA_EXTRACTABLE" not in flags,
                           f"p11tool: private key {o.get('label')!r} has flags {flags}")

    # Signing.
    def verify(self, b64, content, detached, cn, what):
        """orvane-verify and OpenSSL's cms on one message."""
        v = self.issuer.verify(b64, content, detached)
        self.check(v["verified"] and v["contentMatches"] and cn in v["signer"],
                   f"{what}: orvane-verify: {v['detail']} (signer {v['signer']!r})")
        self.cms_verify(base64.b64decode(b64), content.encode(), detached, what)

    def cms_verify(self, der, content, detached, what):
        path = os.path.join(self.work, "message.p7s")
        with open(path, "wb") as f:
            f.write(der)
        command = ["cms", "-verify", "-binary", "-inform", "DER", "-in", path,
                   "-CAfile", os.path.join(self.issuer.ca_dir, "rsa-ca.cert.pem"),
                   "-purpose", "any"]
        if detached:
            data = os.path.join(self.work, "content.bin")
            with open(data, "wb") as f:
                f.write(content)
            command += ["-content", data]
        done = self.openssl(*command)
        self.check(done.returncode == 0 and done.stdout == content,
                   f"{what}: openssl cms -verify: {done.stderr.decode().strip()[:300]}")

    def sign_all_ways(self, sarvik, cn):
        provider = self.call_ok(sarvik, "VURO_SelectUserCert", cn, "", "", "", False) or ""
        self.check(provider in (self.token.provider_name(), self.token.provider_name(long=True)),
                   f"{cn} was selected in {provider!r}, not the token")
        self.check(self.call_ok(sarvik, "VURO_GetCertInfo", "CertType") == "RSA",
                   f"{cn}: not an RSA certificate")
        text = f"signed on the token by {cn}, 令牌"
        self.verify(self.call_ok(sarvik, "VURO_SignData", text, "SHA-1") or "", text, False, cn,
                    f"{cn}: attached")
        self.verify(self.call_ok(sarvik, "VURO_SignDataDetached", text, "SHA-1") or "", text,
                    True, cn, f"{cn}: detached")
        source = os.path.join(self.work, f"{cn.replace(' ', '-')}.txt")
        with open(source, "wb") as f:
            f.write(os.urandom(3000) + b"a contract\n")
        self.call_ok(sarvik, "VURO_SignFile", source, "SHA-1")
        if self.check(os.path.exists(source + ".p7s"), f"{cn}: no {source}.p7s"):
            with open(source, "rb") as f:
                content = f.read()
            with open(source + ".p7s", "rb") as f:
                der = f.read()
            v = subprocess.run([self.args.verifier, "--ca",
                                os.path.join(self.issuer.ca_dir, "rsa-ca.cert.pem"),
                                source + ".p7s"], capture_output=True, timeout=60)
            self.check(v.returncode == 0, f"{cn}: orvane-verify of the file: {v.stdout!r}")
            path = os.path.join(self.work, "file.p7s")
            with open(path, "wb") as f:
                f.write(der)
            done = self.openssl("cms", "-verify", "-binary", "-inform", "DER", "-in", path,
                                "-CAfile", os.path.join(self.issuer.ca_dir, "rsa-ca.cert.pem"),
                                "-purpose", "any")
            self.check(done.returncode == 0 and done.stdout == content,
                       f"{cn}: openssl cms -verify of the file: {done.stderr.decode()[:300]}")

    def concurrent(self, cn):
        """Several Sarvik processes signing on the one token at the same
        time. Their logins (each process's first signature) come one after
        the other: SoftHSM2 rewrites its token file at a login, which another
        process reading it then sees fail (login_race is that case)."""
        results = [[] for _ in range(SIGNERS)]
        hosts = [self.host(self.args.sarvik, f"together-{i}") for i in range(SIGNERS)]
        start = threading.Barrier(SIGNERS)
        turn = threading.Lock()

        def sign(i):
            host = hosts[i][0]
            try:
                r = host.call("VURO_SelectUserCert", cn, "", "", "", False)
                results[i].append(("select", r))
                with turn:
                    text = f"process {i}, message 0"
                    results[i].append((text, host.call("VURO_SignData", text, "SHA-1")))
                start.wait(timeout=60)
                for n in range(1, MESSAGES):
                    text = f"process {i}, message {n}"
                    results[i].append((text, host.call("VURO_SignData", text, "SHA-1")))
            except Exception as e:  # noqa: BLE001 - reported as a failure below
                results[i].append(("error", {"errorcode": None, "error": str(e)}))

        threads = [threading.Thread(target=sign, args=(i,)) for i in range(SIGNERS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=240)
        for i, (host, log) in enumerate(hosts):
            self.check(len(results[i]) == MESSAGES + 1, f"signer {i} did {len(results[i])} calls")
            for what, r in results[i]:
                if self.check(r.get("errorcode") == 0, f"signer {i}, {what}: {r}") and what != "select":
                    v = self.issuer.verify(r["result"], what, False)
                    self.check(v["verified"] and v["contentMatches"],
                               f"signer {i}, {what}: {v['detail']}")
            self.check(host.close() == 0, f"signer {i} did not end cleanly")
            if not self.check(self.prompts_in(log) == 1,
                              f"signer {i} asked for the PIN {self.prompts_in(log)} times"):
                with open(log) as f:
                    print(f"  the prompt's arguments: {f.read().splitlines()}")

    def login_race(self, cn):
        """Another program logs in to the token again and again while Sarvik
        signs with it. SoftHSM2 then fails some of Sarvik's calls for a
        moment (it rewrites its token file at each login); the token never
        left, so no answer may say it was removed, and once the other
        program is done Sarvik must sign again."""
        sarvik, _ = self.host(self.args.sarvik, "race")
        self.call_ok(sarvik, "VURO_SelectUserCert", cn, "", "", "", False)
        self.call_ok(sarvik, "VURO_SignData", "logged in", "SHA-1")
        done = threading.Event()

        def other_program():
            for _ in range(LOGINS):
                self.token.pkcs11_tool("-O", "--type", "privkey", login=True, check=False)
            done.set()

        other = threading.Thread(target=other_program)
        other.start()
        codes = []
        while not done.is_set() or len(codes) < 20:
            codes.append(sarvik.call("VURO_SignData", "meanwhile", "SHA-1").get("errorcode"))
            if codes[-1] != 0:
                time.sleep(0.01)  # a failure comes back at once: do not spin
        other.join()
        failed = [c & 0xFFFFFFFF for c in codes if c != 0]
        print(f"while another program logged in {LOGINS} times: {len(codes)} signatures, "
              f"{len(failed)} failed {sorted(set(f'{c:#010x}' for c in failed))}")
        self.check(REMOVED not in codes, "a token that never left was reported removed while "
                   "another program logged in")
        for n in range(3):
            r = sarvik.call("VURO_SignData", f"afterwards {n}", "SHA-1")
            self.check(r.get("errorcode") == 0, f"signing after the other program ended: {r}")
        self.check(sarvik.close() == 0, "Sarvik did not end cleanly")

    def removed(self, cn):
        """The token taken away between two calls of one process."""
        sarvik, log = self.host(self.args.sarvik, "removed")
        self.call_ok(sarvik, "VURO_SelectUserCert", cn, "", "", "", False)
        r = sarvik.call("VURO_SignData", "before", "SHA-1")
        self.check(r.get("errorcode") == 0, f"signing before the token went: {r}")
        self.token.remove()
        r = sarvik.call("VURO_SignData", "after", "SHA-1")
        self.check(r.get("errorcode") == REMOVED and not r.get("result"),
                   f"signing after the token went was answered {r}")
        d = sarvik.call("VURO_GetLastErrorDesc").get("result", "")
        print(f"the token gone: {r.get('errorcode', 0) & 0xFFFFFFFF:#010x}, {d!r}")
        first = d.split("\n")[0]
        self.check(d.endswith("(0x80100069)") and len(first) > 10 and "0x" not in first,
                   f"the token's going is described as {d!r}")
        self.check(sarvik.call("VURO_GetVersion").get("errorcode") == 0,
                   "the host stopped answering after the token went")
        self.check(sarvik.close() == 0, "Sarvik did not end cleanly after the token went")

    def main(self):
        if self.args.case == "login-race":
            tandry, _ = self.host(self.args.tandry, "tandry")
            issued, _ = self.enrol(tandry, self.token.provider_name(), "Token Racer", 1)
            self.check(tandry.close() == 0, "Tandry did not end cleanly")
            if issued is not None:
                self.login_race("Token Racer")
            return self.finish()
        tandry, tandry_log = self.host(self.args.tandry, "tandry")
        listed = (self.call_ok(tandry, "VURO_GetCSPInfo") or "").split("||")
        name = self.token.provider_name()
        ours = [i for i, p in enumerate(listed) if p.startswith("Orvane PKCS#11: ")]
        print("providers:", listed)
        self.check(name in listed, f"{name!r} is not among the providers {listed}")
        self.check(ours and ours == list(range(len(listed) - len(ours), len(listed))),
                   f"the tokens are not listed after the built-in providers: {listed}")
        enrolled = {}
        for cn, cert_type in (("Token Single", 1), ("Token Double", 2)):
            issued, container = self.enrol(tandry, name, cn, cert_type)
            if issued is None:
                return self.finish()
            enrolled[cn] = (issued, container)
        self.check(tandry.close() == 0, "Tandry did not end cleanly")
        self.check(self.prompts_in(tandry_log) == 1,
                   f"Tandry asked for the PIN {self.prompts_in(tandry_log)} times")
        self.check_token(enrolled)

        sarvik, sarvik_log = self.host(self.args.sarvik, "sarvik")
        for cn in enrolled:
            self.sign_all_ways(sarvik, cn)
        self.check(sarvik.close() == 0, "Sarvik did not end cleanly")
        self.check(self.prompts_in(sarvik_log) == 1,
                   f"Sarvik asked for the PIN {self.prompts_in(sarvik_log)} times for "
                   f"{3 * len(enrolled)} signatures")
        self.concurrent("Token Double")
        self.removed("Token Single")
        return self.finish()

    def finish(self):
        print(f"token e2e: {len(self.failures)} failure(s)")
        return 1 if self.failures else 0


if __name__ == "__main__":
    sys.exit(main())
