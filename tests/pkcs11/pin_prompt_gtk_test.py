"""orvane-pin driven as a person would, under Xvfb: keys and clicks go through
the X server (xdotool), and what the window says is read from outside the
program through the accessibility tree (AT-SPI), the window's title through
the X server. Screenshots of each layout go to $ORVANE_SCREENSHOT_DIR.

Run as: dbus-run-session -- xvfb-run -a python3 pin_prompt_gtk_test.py ORVANE_PIN
(the session bus carries the accessibility bus the toolkit reports to).
"""
import os
import subprocess
import sys
import time
import unittest

try:
    import gi

    gi.require_version("Atspi", "2.0")
    gi.require_version("Gdk", "3.0")
    from gi.repository import Atspi, Gdk
except (ImportError, ValueError) as missing:
    print(f"SKIP: the GObject bindings for AT-SPI and GDK are missing ({missing}); "
          "scripts/bootstrap.sh installs them")
    sys.exit(77)

PROGRAM = ""
SHOTS = os.environ.get("ORVANE_SCREENSHOT_DIR", "")

ENGLISH = {
    "prompt": "Enter the PIN of the token “{}”:",
    "ok": "OK",
    "cancel": "Cancel",
    "notice": "Enter the PIN of the token “{}” on the reader's keypad.",
}
CHINESE = {
    "prompt": "请输入令牌“{}”的 PIN 码：",
    "ok": "确定",
    "cancel": "取消",
    "notice": "请在读卡器的键盘上输入令牌“{}”的 PIN 码。",
}


def xdo(*args, timeout=20):
    r = subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=timeout)
    if r.returncode != 0:
        raise AssertionError(f"xdotool {' '.join(args)}: {r.stderr}")
    return r.stdout.strip()


def wait_until(check, seconds=10.0):
    end = time.monotonic() + seconds
    while True:
        value = check()
        if value or time.monotonic() > end:
            return value
        time.sleep(0.05)


class Prompt:
    """One run of the program: its window, its accessible tree, its result."""

    def __init__(self, *args, stdin=subprocess.DEVNULL, env=None):
        self.proc = subprocess.Popen([PROGRAM, *args], stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        self.window = None
        self.app = None

    def show(self):
        """Waits until the window is mapped and its tree is published."""
        def mapped():
            r = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid",
                                str(self.proc.pid)], capture_output=True, text=True)
            return r.stdout.split()[-1] if r.returncode == 0 and r.stdout.split() else None
        # Generous: an instrumented build on a loaded machine starts slowly.
        self.window = wait_until(mapped, 30)
        assert self.window, "no window appeared"

        def published():
            desktop = Atspi.get_desktop(0)
            for i in range(desktop.get_child_count()):
                app = desktop.get_child_at_index(i)
                if app is not None and app.get_process_id() == self.proc.pid:
                    if self.find_in(app, "push button") or self.find_in(app, "label"):
                        return app
            return None
        self.app = wait_until(published, 30)
        assert self.app, "the window's accessible tree never appeared"
        xdo("windowfocus", "--sync", self.window)
        return self

    @staticmethod
    def find_in(node, role):
        found = []
        if node is None:
            return found
        if node.get_role_name() == role:
            found.append(node)
        for i in range(node.get_child_count()):
            found += Prompt.find_in(node.get_child_at_index(i), role)
        return found

    def find(self, role):
        return self.find_in(self.app, role) if self.app is not None else []

    def labels(self):
        return [n.get_text(0, -1) for n in self.find("label")]

    def buttons(self):
        return {n.get_name(): n for n in self.find("push button")}

    def title(self):
        return xdo("getwindowname", self.window)

    def click(self, button):
        box = button.get_extents(Atspi.CoordType.SCREEN)
        xdo("mousemove", "--sync", str(box.x + box.width // 2), str(box.y + box.height // 2))
        xdo("click", "1")

    def type(self, text):
        # xdotool types a character the keyboard map lacks by remapping a
        # spare key first; a busy client can read the key before the new map,
        # so such characters go one at a time, with time for the map to land.
        plain = ""
        for ch in text + "\0":
            if ch.isascii() and ch != "\0":
                plain += ch
                continue
            if plain:
                xdo("type", "--delay", "20", plain)
                plain = ""
            if ch != "\0":
                xdo("type", "--delay", "150", ch)
                time.sleep(0.2)

    def key(self, name):
        xdo("key", name)

    def screenshot(self, name):
        """The window as the X server shows it (saved when a folder is given)."""
        geometry = dict(line.split("=") for line in
                        xdo("getwindowgeometry", "--shell", self.window).split())
        root = Gdk.get_default_root_window()
        shot = Gdk.pixbuf_get_from_window(root, int(geometry["X"]), int(geometry["Y"]),
                                          int(geometry["WIDTH"]), int(geometry["HEIGHT"]))
        if SHOTS:
            shot.savev(os.path.join(SHOTS, f"pin_prompt_{name}.png"), "png", [], [])
        return shot

    def finish(self, timeout=10):
        out, err = self.proc.communicate(timeout=timeout)
        return self.proc.returncode, out

    def running_after(self, seconds):
        time.sleep(seconds)
        return self.proc.poll() is None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def red_pixels(shot):
    """How many pixels of the tries line's colour (a dark red) a shot holds."""
    data = shot.get_pixels()
    n, stride = shot.get_n_channels(), shot.get_rowstride()
    count = 0
    for y in range(shot.get_height()):
        row = y * stride
        for x in range(shot.get_width()):
            r, g, b = data[row + x * n], data[row + x * n + 1], data[row + x * n + 2]
            if r > 140 and g < 60 and b < 60:
                count += 1
    return count


class PinPromptTest(unittest.TestCase):
    def setUp(self):
        self.prompts = []

    def tearDown(self):
        for p in self.prompts:
            p.stop()

    def start(self, *args, **kw):
        p = Prompt(*args, **kw)
        self.prompts.append(p)
        return p

    def test_typed_pin_is_printed_once_with_enter_or_ok(self):
        # Non-ASCII too: the PIN leaves as the UTF-8 the user typed.
        for pin, confirm in (("12ab", "enter"), ("4711é中", "click")):
            with self.subTest(pin=pin, confirm=confirm):
                p = self.start("--token", "Alpha", "--lang", "en").show()
                p.type(pin)
                if confirm == "enter":
                    p.key("Return")
                else:
                    p.click(p.buttons()["OK"])
                code, out = p.finish()
                self.assertEqual((code, out), (0, pin.encode() + b"\n"))

    def test_cancel_escape_and_an_empty_pin(self):
        for how in ("escape", "cancel button", "enter on an empty entry, then escape"):
            with self.subTest(how=how):
                p = self.start("--token", "Alpha", "--lang", "en").show()
                if how == "cancel button":
                    p.type("1234")
                    p.click(p.buttons()["Cancel"])
                elif how.startswith("enter"):
                    p.key("Return")
                    # An empty PIN would only cost the user a try: nothing leaves.
                    self.assertTrue(p.running_after(0.5))
                    p.key("Escape")
                else:
                    p.type("1234")
                    p.key("Escape")
                code, out = p.finish()
                self.assertEqual((code, out), (1, b""))

    def test_titles_and_tries_lines_in_both_languages(self):
        rows = [
            # lang, arguments, the tries line (None: no line)
            ("en", [], None),
            ("en", ["--retry"], "Wrong PIN."),
            ("en", ["--tries", "low"], "Few tries left."),
            ("en", ["--retry", "--tries", "final"],
             "Wrong PIN. Last try: a wrong PIN locks the token."),
            ("zh", [], None),
            ("zh", ["--retry", "--tries", "low"], "PIN 码错误。剩余尝试次数不多。"),
            ("zh", ["--retry", "--tries", "final"],
             "PIN 码错误。最后一次尝试：PIN 码再错，令牌将被锁定。"),
        ]
        # A name from a token is shown as it is, never read as markup.
        token = "<b>Bank</b> & Co 令牌"
        for lang, args, line in rows:
            with self.subTest(lang=lang, args=args):
                words = CHINESE if lang == "zh" else ENGLISH
                p = self.start("--token", token, "--lang", lang, "--tries", "unknown",
                               *args).show()
                self.assertEqual(p.title(), token)
                expected = [words["prompt"].format(token)] + ([line] if line else [])
                self.assertEqual(p.labels(), expected)
                self.assertEqual(sorted(p.buttons()), sorted([words["ok"], words["cancel"]]))
                shot = p.screenshot(f"{lang}_{'_'.join(a.strip('-') for a in args) or 'plain'}")
                # The tries line is drawn in red; the plain prompt has none.
                if line:
                    self.assertGreater(red_pixels(shot), 50)
                else:
                    self.assertEqual(red_pixels(shot), 0)
                p.key("Escape")
                self.assertEqual(p.finish()[0], 1)

    def test_pin_pad_notice_lasts_until_its_input_ends(self):
        for lang in ("en", "zh"):
            with self.subTest(lang=lang):
                words = CHINESE if lang == "zh" else ENGLISH
                p = self.start("--token", "Pad", "--lang", lang, "--pinpad",
                               stdin=subprocess.PIPE).show()
                self.assertEqual(p.title(), "Pad")
                self.assertEqual(p.labels(), [words["notice"].format("Pad")])
                self.assertEqual(p.buttons(), {})
                p.screenshot(f"{lang}_pinpad")
                self.assertTrue(p.running_after(0.5))
                p.proc.stdin.close()
                p.proc.stdin = None  # closed: communicate() has nothing to send
                start = time.monotonic()
                code, out = p.finish(timeout=5)
                self.assertEqual((code, out), (0, b""))
                self.assertLess(time.monotonic() - start, 3)

    def test_no_display_and_bad_arguments(self):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        rows = [
            (["--token", "Alpha", "--lang", "en"], env, 2),
            (["--token", "Alpha", "--pinpad"], env, 2),
            (["--token", "Alpha", "--tries", "many"], None, 3),
            (["--token", "Alpha", "--lang", "fr"], None, 3),
            (["--token"], None, 3),
        ]
        for args, environment, code in rows:
            with self.subTest(args=args, display=environment is None):
                p = self.start(*args, env=environment)
                self.assertEqual(p.finish(), (code, b""))


if __name__ == "__main__":
    PROGRAM = sys.argv.pop(1)
    unittest.main()
