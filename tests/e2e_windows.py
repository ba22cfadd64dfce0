"""End-to-end tests of Quorwind.exe under Wine, on a private X display.

Usage: e2e_windows.py WINDOWS_BUILD_DIR NATIVE_BUILD_DIR

WINDOWS_BUILD_DIR holds bin/Quorwind.exe, bin/launch.exe and standin/winmm.dll;
NATIVE_BUILD_DIR holds tools/make_tone. The executable's architecture picks
32-bit or 64-bit Wine.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soundlab  # noqa: E402

WINDOWS_BUILD = NATIVE_BUILD = None
SCREENSHOTS = None


def is_64_bit(exe):
    with open(exe, "rb") as f:
        head = f.read(0x400)
    offset = int.from_bytes(head[0x3C:0x40], "little")
    return head[offset + 4:offset + 6] == b"\x64\x86"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def strip_quotes(text):
    return text.replace('"', "")


class Desktop:
    """A private Xvfb display, stopped by its process id."""

    def __enter__(self):
        read, write = os.pipe()
        self._process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            self.display = ":" + f.readline().strip()
        return self

    def __exit__(self, *exc):
        self._process.terminate()
        self._process.wait()

    def visible_windows(self):
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "."],
                               env=dict(os.environ, DISPLAY=self.display),
                               capture_output=True, text=True).stdout.split()
        titles = {}
        for window in found:
            titles[window] = subprocess.run(
                ["xdotool", "getwindowname", window], env=dict(os.environ, DISPLAY=self.display),
                capture_output=True, text=True).stdout.strip()
        return titles

    def screenshot(self, window, path):
        subprocess.run(["import", "-window", "root", path],
                       env=dict(os.environ, DISPLAY=self.display), capture_output=True)

    def press_return(self, window):
        env = dict(os.environ, DISPLAY=self.display)
        subprocess.run(["xdotool", "windowfocus", "--sync", window], env=env, capture_output=True)
        subprocess.run(["xdotool", "key", "--window", window, "Return"], env=env,
                       capture_output=True)
        subprocess.run(["xdotool", "key", "Return"], env=env, capture_output=True)


class Run:
    """One launch of Quorwind.exe: exit code, lifetime and what was on screen."""

    def __init__(self, status, lifetime_ms, windows, calls):
        self.status = status
        self.lifetime_ms = lifetime_ms
        self.windows = windows
        self.calls = calls


class WindowsEndToEndTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.exe = os.path.join(WINDOWS_BUILD, "bin", "Quorwind.exe")
        cls.launcher = os.path.join(WINDOWS_BUILD, "bin", "launch.exe")
        cls.standin = os.path.join(WINDOWS_BUILD, "standin", "winmm.dll")
        cls.wine = "/usr/lib/wine/wine64" if is_64_bit(cls.exe) else "/usr/lib/wine/wine"
        cls.wineserver = ("/usr/lib/wine/wineserver64" if is_64_bit(cls.exe)
                          else "/usr/lib/wine/wineserver32")
        cls.dir = tempfile.mkdtemp(prefix="quorwind-wine-")
        cls.desktop = Desktop().__enter__()
        cls.prefix = os.path.join(WINDOWS_BUILD, "wine-e2e-prefix")
        cls.env = dict(os.environ, WINEPREFIX=cls.prefix, WINEDEBUG="-all",
                       DISPLAY=cls.desktop.display)
        if not is_64_bit(cls.exe):
            cls.env["WINEARCH"] = "win32"
        if not os.path.exists(os.path.join(cls.prefix, "system.reg")):
            cls.wine_quietly(["wineboot", "-i"], {"WINEDLLOVERRIDES": "mscoree,mshtml="})
        cls.system_winmm = os.path.join(cls.prefix, "drive_c", "windows", "system32", "winmm.dll")
        cls.builtin_winmm = cls.system_winmm + ".builtin"
        if not os.path.exists(cls.builtin_winmm):
            shutil.copy(cls.system_winmm, cls.builtin_winmm)

    @classmethod
    def tearDownClass(cls):
        shutil.copy(cls.builtin_winmm, cls.system_winmm)
        subprocess.run([cls.wineserver, "-k"], env=cls.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        cls.desktop.__exit__(None, None, None)
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def wine_quietly(cls, args, extra_env=None, cwd=None):
        # Wine's output goes to a file: the Wine server inherits it and outlives us.
        with open(os.path.join(cls.dir, "wine.log"), "ab") as log:
            return subprocess.run([cls.wine] + args, env=dict(cls.env, **(extra_env or {})),
                                  stdout=log, stderr=log, stdin=subprocess.DEVNULL, cwd=cwd,
                                  timeout=120).returncode

    def launch(self, arguments, reply="", overrides="winmm=n", exe=None, cwd=None, env=None,
               dismiss_errors=True):
        """Runs Quorwind.exe with 'Quorwind.exe ' + arguments as its command line
        (None: the name alone) and returns what happened."""
        log = os.path.join(self.dir, "calls-%d.log" % time.monotonic_ns())
        result = os.path.join(self.dir, "result-%d.txt" % time.monotonic_ns())
        extra = dict(env or {})
        extra.update({"QUORWIND_STANDIN_LOG": windows_path(log), "QUORWIND_STANDIN_REPLY": reply,
                      "WINEDLLOVERRIDES": overrides})
        if arguments is None:
            extra["QUORWIND_NO_ARGUMENTS"] = "1"
        else:
            extra["QUORWIND_ARGUMENTS"] = arguments

        windows = {}
        done = threading.Event()

        def watch():
            while not done.is_set():
                for window, title in self.desktop.visible_windows().items():
                    if window not in windows:
                        windows[window] = title
                        if title == "Quorwind" and dismiss_errors:
                            shot = os.path.join(SCREENSHOTS, self.id().split(".")[-1] + ".png")
                            self.desktop.screenshot(window, shot)
                    if title == "Quorwind" and dismiss_errors:
                        self.desktop.press_return(window)
                time.sleep(0.05)

        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            self.wine_quietly([self.launcher, windows_path(exe or self.exe), windows_path(result)],
                              extra, cwd=cwd)
        finally:
            done.set()
            watcher.join()
        with open(result) as f:
            status, lifetime = (int(x) for x in f.read().split())
        calls = []
        if os.path.exists(log):
            with open(log, "rb") as f:
                for line in f.read().decode().splitlines():
                    module, command, capacity, callback, reply_bytes = line.split("\t")
                    calls.append((module, bytes.fromhex(command), int(capacity), int(callback),
                                  bytes.fromhex(reply_bytes)))
        return Run(status, lifetime, sorted(windows.values()), calls)

    def assert_sequence(self, run, media_path):
        path = media_path.encode("utf-8")
        self.assertEqual([c[1] for c in run.calls], [
            b'open "' + path + b'"', b'status "' + path + b'" length', b'close "' + path + b'"',
            b'play "' + path + b'"'])
        self.assertEqual([c[2] for c in run.calls], [0, 20, 0, 0])
        self.assertEqual([c[3] for c in run.calls], [0, 0, 0, 0])
        self.assertEqual(run.calls[1][4], bytes(20))  # the reply buffer: 20 NUL bytes
        for module, *_ in run.calls:
            self.assertEqual(module.lower(), "c:\\windows\\system32\\winmm.dll")

    def use_standin(self):
        shutil.copy(self.standin, self.system_winmm)

    def use_builtin(self):
        shutil.copy(self.builtin_winmm, self.system_winmm)

    def test_the_four_calls_carry_the_unquoted_path(self):
        self.use_standin()
        cases = [
            "C:\\My Music\\a b.wav",
            '"C:\\My Music\\a b.wav"',
            'C:\\in"ner" quo"tes.wav',
            '\uff02full\uff02 width \u201ctypo\u201d.wav',
            "C:\\Musik\\\u00c4rger \u65e5\u672c \u266b.wav",
            '"two.wav" "files.wav"   ',
        ]
        for arguments in cases:
            with self.subTest(arguments=arguments):
                run = self.launch(arguments)
                self.assert_sequence(run, strip_quotes(arguments))
                self.assertEqual(run.status, 1)
                self.assertEqual(run.windows, [])

    def test_the_wait_is_the_reported_length(self):
        self.use_standin()
        run = self.launch("C:\\a.wav", reply="1500")
        self.assert_sequence(run, "C:\\a.wav")
        self.assertEqual(run.status, 0)
        self.assertGreaterEqual(run.lifetime_ms, 1500)
        self.assertLess(run.lifetime_ms, 1500 + 1000)
        self.assertEqual(run.windows, [])

    def test_no_argument_ends_at_once(self):
        self.use_standin()
        run = self.launch(None, reply="")
        self.assert_sequence(run, "")
        self.assertEqual(run.status, 1)
        self.assertLess(run.lifetime_ms, 2000)  # no wait: Wine's process start only
        self.assertEqual(run.windows, [])

    def test_overflow_is_reported_after_play_without_a_wait(self):
        self.use_standin()
        run = self.launch("C:\\a.wav", reply="2147483648")
        self.assert_sequence(run, "C:\\a.wav")
        self.assertEqual(run.status, 2)
        self.assertEqual(run.windows, ["Quorwind"])  # the error report, and nothing else

    def test_missing_winmm_is_reported(self):
        self.use_builtin()
        run = self.launch("C:\\a.wav", overrides="winmm=")
        self.assertEqual(run.status, 2)
        self.assertEqual(run.calls, [])
        self.assertEqual(run.windows, ["Quorwind"])

    def test_a_planted_winmm_is_never_loaded(self):
        self.use_builtin()
        planted = os.path.join(self.dir, "planted")
        os.makedirs(planted, exist_ok=True)
        shutil.copy(self.exe, os.path.join(planted, "Quorwind.exe"))
        shutil.copy(self.standin, os.path.join(planted, "winmm.dll"))
        run = self.launch(windows_path(os.path.join(self.dir, "missing.wav")),
                          overrides="winmm=n,b", exe=os.path.join(planted, "Quorwind.exe"),
                          cwd=planted)
        self.assertEqual(run.calls, [])
        self.assertEqual(run.status, 1)

    def test_real_playback_through_wines_winmm(self):
        self.use_builtin()
        with soundlab.PulseAudioServer() as server:
            # Wine's first use of sound in a session sets up its audio devices,
            # which takes seconds; that is Wine's, not the program's.
            warm_up = os.path.join(self.dir, "warm-up.wav")
            soundlab.make_tone(NATIVE_BUILD, warm_up, "wav", 0.2)
            self.launch(windows_path(warm_up), overrides="winmm=b",
                        env={"PULSE_SERVER": server.env["PULSE_SERVER"]})
            for fmt in ["wav", "mp3"]:
                with self.subTest(fmt=fmt):
                    path = os.path.join(self.dir, "tone3s." + fmt)
                    soundlab.make_tone(NATIVE_BUILD, path, fmt, 3, 44100, 2)
                    recording = server.record()
                    run = self.launch(windows_path(path), overrides="winmm=b",
                                      env={"PULSE_SERVER": server.env["PULSE_SERVER"]})
                    heard = soundlab.heard_ms(recording.stop().samples)
                    print("%s: lifetime %d ms, heard %d ms of 3000, exit %d"
                          % (fmt, run.lifetime_ms, heard, run.status), file=sys.stderr)
                    self.assertGreaterEqual(heard, 1000)
                    self.assertGreaterEqual(run.lifetime_ms, 3000)
                    # Wine starts its MP3 decoder (GStreamer) at play: on a
                    # loaded machine that alone takes a second or two.
                    self.assertLess(run.lifetime_ms, 3000 + 3000)
                    self.assertEqual(run.windows, [])


if __name__ == "__main__":
    WINDOWS_BUILD = os.path.abspath(sys.argv.pop(1))
    NATIVE_BUILD = os.path.abspath(sys.argv.pop(1))
    SCREENSHOTS = os.path.join(WINDOWS_BUILD, "screenshots")
    shutil.rmtree(SCREENSHOTS, ignore_errors=True)
    os.makedirs(SCREENSHOTS)
    unittest.main(verbosity=2)
