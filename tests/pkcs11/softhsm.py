"""A scratch SoftHSM2 token for host- and browser-level tests.

Each SoftHsm has a folder of its own with its own SOFTHSM2_CONF and one
token initialised in it with softhsm2-util; env() is the environment a host
needs to find that token (the module through ORVANE_PKCS11_MODULES, the PIN
through the scripted prompt), and the helpers read the token back with the
independent tools (OpenSC's pkcs11-tool, GnuTLS's p11tool, softhsm2-util).
A module reads SOFTHSM2_CONF once, when a process first initialises it, so
every process started with env() sees this token and no other.

    token = SoftHsm(work, label="Test Token")
    subprocess.run([host], env=token.env(os.environ))
    for obj in token.objects(): ...

missing() names what is not installed, so a test can skip with that reason.
"""
import os
import re
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
PIN_PROMPT = os.path.join(HERE, "fixed_pin_prompt.sh")

# Where Debian's softhsm2 puts its module (the multiarch path first; the
# other is a link to it on the releases that have both).
MODULE_CANDIDATES = (
    "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so",
    "/usr/lib/aarch64-linux-gnu/softhsm/libsofthsm2.so",
    "/usr/lib/softhsm/libsofthsm2.so",
)
TOOLS = ("softhsm2-util", "pkcs11-tool", "p11tool")
TOOL_TIMEOUT = 60


def module_path():
    """The SoftHSM2 module of this machine, or None."""
    for path in MODULE_CANDIDATES:
        if os.path.exists(path):
            return os.path.realpath(path)
    return None


def missing():
    """What the tests need and this machine lacks, as a sentence, or None."""
    absent = [tool for tool in TOOLS if not shutil.which(tool)]
    if module_path() is None:
        absent.append("the SoftHSM2 module")
    if not os.access(PIN_PROMPT, os.X_OK):
        absent.append(os.path.relpath(PIN_PROMPT, os.path.dirname(os.path.dirname(HERE))))
    if absent:
        return f"no {', '.join(absent)} (scripts/bootstrap.sh installs softhsm2, opensc, gnutls-bin)"
    return None


def parse_objects(text):
    """pkcs11-tool --list-objects output as a list of dicts: kind ("Private
    Key Object", "Public Key Object", "Certificate Object", ...), detail
    (what follows the kind on its line), and each indented "name: value"
    field by its lower-case name (label, id, usage, access, subject, ...)."""
    objects = []
    for line in text.splitlines():
        head = re.match(r"^(\w[\w ]* Object)(?:; *(.*))?$", line)
        if head:
            objects.append({"kind": head.group(1), "detail": (head.group(2) or "").strip()})
            continue
        field = re.match(r"^\s+([A-Za-z][A-Za-z ]*?):\s*(.*)$", line)
        if field and objects:
            objects[-1][field.group(1).strip().lower()] = field.group(2).strip()
    return objects


def parse_p11tool(text):
    """p11tool --list-all output as a list of dicts (url, type, label, id,
    flags as a list)."""
    objects = []
    for line in text.splitlines():
        if re.match(r"^Object \d+:", line):
            objects.append({})
            continue
        field = re.match(r"^\s+([A-Za-z]+):\s*(.*)$", line)
        if field and objects:
            name, value = field.group(1).lower(), field.group(2).strip()
            if name == "flags":
                objects[-1][name] = [f.strip() for f in value.split(";") if f.strip()]
            else:
                objects[-1][name] = value
    return objects


class SoftHsm:
    def __init__(self, work, label="Orvane Test Token", pin="123456", so_pin="12345678"):
        self.work = os.path.abspath(work)
        self.label, self.pin, self.so_pin = label, pin, so_pin
        self.module = module_path()
        self.tokens = os.path.join(self.work, "tokens")
        self.conf = os.path.join(self.work, "softhsm2.conf")
        os.makedirs(self.tokens, exist_ok=True)
        with open(self.conf, "w") as f:
            f.write(f"directories.tokendir = {self.tokens}\n"
                    "objectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n")
        self.serial = self.init_token(label)

    def tool_env(self, base=None):
        env = dict(os.environ if base is None else base)
        env["SOFTHSM2_CONF"] = self.conf
        return env

    def run(self, command, check=True, input=None, env=None):
        done = subprocess.run(command, env=env or self.tool_env(), capture_output=True,
                              text=True, input=input, timeout=TOOL_TIMEOUT)
        if check and done.returncode != 0:
            raise RuntimeError(f"{' '.join(command)} failed ({done.returncode}): "
                               f"{done.stdout}{done.stderr}")
        return done

    def init_token(self, label):
        """A token labelled label in the next free slot of the folder (a
        label may repeat); its serial."""
        before = set(self.tokens_present())
        self.run(["softhsm2-util", "--init-token", "--free", "--label", label,
                  "--pin", self.pin, "--so-pin", self.so_pin])
        made = [s for s in self.tokens_present() if s not in before]
        if len(made) != 1:
            raise RuntimeError(f"softhsm2-util made tokens {made}")
        return made[0]

    def tokens_present(self):
        """{serial: label} of the initialised tokens, as softhsm2-util shows them."""
        found, serial = {}, None
        for line in self.show_slots().splitlines():
            field = re.match(r"^\s+(Serial number|Label):\s*(.*?)\s*$", line)
            if field and field.group(1) == "Serial number":
                serial = field.group(2)
            elif field and serial:
                found[serial] = field.group(2)
                serial = None
        return found

    def env(self, base=None, pin=None, prompt_log=None, prompt=PIN_PROMPT):
        """The environment for a host using this token: base (default ours)
        with SOFTHSM2_CONF, the module named to the provider, and the
        scripted prompt answering pin (default the token's; pin=False: it
        cancels, as a user does) and noting each run in prompt_log."""
        env = self.tool_env(base)
        env["ORVANE_PKCS11_MODULES"] = self.module
        env["ORVANE_PIN_PROMPT"] = prompt
        env.pop("ORVANE_TEST_PIN", None)
        if pin is not False:
            env["ORVANE_TEST_PIN"] = self.pin if pin is None else pin
        if prompt_log:
            env["ORVANE_TEST_PROMPT_LOG"] = prompt_log
        return env

    def provider_name(self, long=False):
        """The provider name the system gives this token."""
        label = self.label.rstrip() or self.serial
        return f"Orvane PKCS#11: {label}" + (f" ({self.serial})" if long else "")

    # The independent readers.
    def pkcs11_tool(self, *args, login=False, check=True):
        command = ["pkcs11-tool", "--module", self.module, "--token-label", self.label]
        if login:
            command += ["--login", "--pin", self.pin]
        return self.run(command + list(args), check=check)

    def objects(self, login=False):
        """The token's objects as pkcs11-tool lists them (private keys only
        after a login)."""
        return parse_objects(self.pkcs11_tool("--list-objects", login=login).stdout)

    def read_certificate(self, object_id):
        """The DER of the certificate of CKA_ID object_id (hex), or None."""
        out = os.path.join(self.work, "read-object.der")
        if os.path.exists(out):
            os.remove(out)
        done = self.pkcs11_tool("--read-object", "--type", "cert", "--id", object_id,
                                "--output-file", out, check=False)
        if done.returncode != 0 or not os.path.exists(out):
            return None
        with open(out, "rb") as f:
            return f.read()

    def p11tool_objects(self, login=False):
        """Every object p11tool finds on the token (private keys after a login)."""
        env = self.tool_env()
        env["GNUTLS_PIN"] = self.pin
        command = ["p11tool", "--provider", self.module, "--list-all"]
        if login:
            command.append("--login")
        url = "pkcs11:token=" + "".join(c if c.isalnum() else f"%{ord(c):02X}" for c in self.label)
        return parse_p11tool(self.run(command + [url], env=env).stdout)

    def show_slots(self):
        return self.run(["softhsm2-util", "--show-slots"]).stdout

    def remove(self):
        """The token taken away: its folder deleted, as a card pulled out
        would leave the module with nothing to read."""
        shutil.rmtree(self.tokens, ignore_errors=True)
