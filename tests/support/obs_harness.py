"""Runs OBS headless with the ryvo-obs module, each run with its own session bus and a throw-away
home that skips first-run dialogs and serves obs-websocket on a free port. Every child process
dies with the harness; `quit()` goes through OBS's main window, as OBS 29 quits cleanly only so."""

import contextlib
import ctypes
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

# OBS 29.0.2's API version, written as the last version run so that OBS treats the throw-away home
# as an existing install (no auto-configuration wizard, no "what's new").
OBS_LAST_VERSION = (29 << 24) | (0 << 16) | 2
PROFILE = "Untitled"
STARTUP_COMPLETE = "==== Startup complete"
SHUTTING_DOWN = "==== Shutting down"


class HarnessError(RuntimeError):
    def __init__(self, message, code=None):
        super().__init__(message)
        self.code = code


def poll(check, timeout, failure):
    """What `check` returns once it is true; HarnessError(`failure`) after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not (result := check()):
        if time.monotonic() > deadline:
            raise HarnessError(f"{failure} (waited {timeout:g} s)")
        time.sleep(0.1)
    return result


def _spawn(args, **kwargs):
    # PR_SET_PDEATHSIG in the child: a harness killed by a test timeout takes its X server, bus
    # and OBS down with it.
    return subprocess.Popen(args, preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL),
                            **kwargs)


def _stop(process):
    if process is not None and process.poll() is None:
        process.kill()
        process.wait()


def exit_on_sigterm():
    """Turns SIGTERM (a test runner's timeout) into SystemExit, so that cleanup code runs."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))


class XServer:
    """A private Xvfb on the first free display number."""

    def __init__(self, size="1280x800x24"):
        self.size = size

    def start(self):
        # -displayfd: Xvfb picks a free display and reports it once it accepts connections.
        read_fd, write_fd = os.pipe()
        with os.fdopen(read_fd, "rb") as reader:
            self._process = _spawn(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", self.size,
                                    "-nolisten", "tcp", "-noreset"], pass_fds=(write_fd,),
                                   stderr=subprocess.DEVNULL)
            os.close(write_fd)
            line = reader.readline() if select.select([reader], [], [], 20)[0] else b""
        if not line.strip().isdigit():
            self.stop()
            raise HarnessError("Xvfb reported no display")
        self.display = f":{int(line)}"
        return self

    def stop(self):
        _stop(self._process)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class ObsWebSocket:
    """A minimal obs-websocket 5 client. With no events subscribed, every message that comes is
    the answer to the last one sent."""

    def __init__(self, port, timeout=10.0):
        import websocket  # python3-websocket

        self._ws = websocket.create_connection(f"ws://127.0.0.1:{port}", timeout=timeout)
        self._ws.recv()
        self._ws.send(json.dumps({"op": 1, "d": {"rpcVersion": 1, "eventSubscriptions": 0}}))
        self._ws.recv()

    def request(self, request_type, data=None):
        """Sends one request and returns its response data; raises HarnessError on failure."""
        self._ws.send(json.dumps({"op": 6, "d": {"requestType": request_type, "requestId": "r",
                                                 "requestData": data or {}}}))
        response = json.loads(self._ws.recv())["d"]
        status = response["requestStatus"]
        if not status["result"]:
            raise HarnessError(f"{request_type} failed: {status['code']} "
                               f"{status.get('comment', '')}", status["code"])
        return response.get("responseData", {})

    def ready(self):
        """False while OBS is still loading: obs-websocket 5.5+ (OBS 31+) answers 207 till then."""
        try:
            return bool(self.request("GetStreamStatus"))
        except HarnessError as error:
            if error.code != 207:
                raise
            return False


class ObsSession:
    """One OBS process with the module of `build_dir`, or of the package unpacked under
    `package_root` ("/": installed); `profile` adds to the profile's basic.ini."""

    def __init__(self, build_dir, display, source_dir=None, extra_env=None, video=(640, 360),
                 fps=30, package_root=None, profile=None):
        self.build_dir = Path(build_dir).resolve()
        self.package_root = Path(package_root) if package_root else None
        self.source_dir = Path(source_dir or Path(__file__).resolve().parents[2])
        self.display = display
        self.extra_env = dict(extra_env or {})
        self.home = Path(tempfile.mkdtemp(prefix="ryvo-obs-home-"))
        self.obs_config = self.home / ".config/obs-studio"
        self.profile_dir = self.obs_config / "basic/profiles" / PROFILE
        self.ryvo_config_path = self.home / ".config/Ryvo/obs-plugin.json"
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.websocket_port = s.getsockname()[1]
        self._obs = self._bus = None
        self._prepare_home(video, fps, profile or {})

    def write_ryvo_config(self, config):
        self.ryvo_config_path.parent.mkdir(parents=True, exist_ok=True)
        self.ryvo_config_path.write_text(json.dumps(config, indent=2) + "\n")
        self.ryvo_config_path.chmod(0o600)

    def _prepare_home(self, video, fps, profile):
        for d in (self.profile_dir, self.obs_config / "logs", self.home / "Videos"):
            d.mkdir(parents=True)
        (self.home / "runtime").mkdir(mode=0o700)
        _write_ini(self.obs_config / "global.ini", {
            "General": {"FirstRun": "true", "LastVersion": OBS_LAST_VERSION,
                        "InfoLastVersion": OBS_LAST_VERSION << 16},
            "Basic": {"Profile": PROFILE, "ProfileDir": PROFILE, "SceneCollection": PROFILE,
                      "SceneCollectionFile": PROFILE, "ConfigOnNewProfile": "false"},
            "OBSWebSocket": {"FirstLoad": "false", "ServerEnabled": "true",
                             "ServerPort": self.websocket_port, "AlertsEnabled": "false",
                             "AuthRequired": "false"},
        })
        width, height = video
        _write_ini(self.profile_dir / "basic.ini", {
            "General": {"Name": PROFILE},
            "Video": {"BaseCX": width, "BaseCY": height, "OutputCX": width, "OutputCY": height,
                      "FPSType": 0, "FPSCommon": fps},
            "Audio": {"SampleRate": 48000, "ChannelSetup": "Stereo"},
            "Output": {"Mode": "Simple"},
            # OBS 30.2 and newer add RecFormat2 when it is missing, changing the profile files.
            "SimpleOutput": {"FilePath": self.home / "Videos", "RecFormat": "mkv",
                             "RecFormat2": "mkv", "StreamEncoder": "x264", "RecEncoder": "x264",
                             "RecQuality": "Stream"},
            **profile,
        })

    def _environment(self):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("DBUS_", "XDG_", "WAYLAND_", "QT_"))}
        # A proxy that refuses every connection keeps OBS's update checks off the internet.
        proxy = "http://127.0.0.1:9"
        env.update({"HOME": str(self.home), "XDG_CONFIG_HOME": str(self.home / ".config"),
                    "XDG_RUNTIME_DIR": str(self.home / "runtime"), "DISPLAY": self.display,
                    "QT_QPA_PLATFORM": "xcb", "LIBGL_ALWAYS_SOFTWARE": "1", "all_proxy": proxy,
                    "http_proxy": proxy, "https_proxy": proxy, "no_proxy": "127.0.0.1,::1"})
        if self.package_root not in (None, Path("/")):
            # Where the Debian package puts the module and its data.
            usr = self.package_root / "usr"
            env["OBS_PLUGINS_PATH"] = str(usr / "lib/x86_64-linux-gnu/obs-plugins")
            env["OBS_PLUGINS_DATA_PATH"] = str(usr / "share/obs/obs-plugins")
        return env

    def start(self):
        if self.package_root is None:
            plugin = self.obs_config / "plugins/ryvo-obs"
            (plugin / "bin/64bit").mkdir(parents=True)
            # A copy rather than a link: a rebuild during the run must not change the module.
            shutil.copy2(self.build_dir / "ryvo-obs.so", plugin / "bin/64bit")
            shutil.copytree(self.source_dir / "data", plugin / "data")
        env = self._environment()
        # A private session bus, not the one of whoever runs the tests (unless extra_env names it).
        self._bus = _spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
        env["DBUS_SESSION_BUS_ADDRESS"] = self._bus.stdout.readline().strip()
        env.update(self.extra_env)
        with open(self.home / "obs-console.txt", "ab") as console:
            self._obs = _spawn(["obs", "--multi", "--disable-updater",
                                "--disable-missing-files-check"], cwd=self.home, env=env,
                               stdin=subprocess.DEVNULL, stdout=console, stderr=subprocess.STDOUT,
                               start_new_session=True)
        return self

    @property
    def pid(self):
        return self._obs.pid

    def running(self):
        return self._obs is not None and self._obs.poll() is None

    def returncode(self):
        return self._obs.returncode

    def log_text(self):
        log = max((self.obs_config / "logs").glob("*.txt"), default=None)
        return log.read_text(errors="replace") if log else ""

    def ryvo_lines(self):
        return [line for line in self.log_text().splitlines() if "[ryvo-obs] " in line]

    def poll(self, check, timeout, failure):
        """`poll` that gives up at once when OBS has exited."""
        def checked():
            if not (result := check()) and not self.running():
                raise HarnessError(f"OBS exited: {failure}")
            return result
        try:
            return poll(checked, timeout, failure)
        except HarnessError as error:
            # The home folder goes with the run: what the plug-in said last goes with the error.
            raise HarnessError("\n".join([str(error), *self.ryvo_lines()[-40:]])) from None

    def wait_for_log(self, patterns, timeout=30.0):
        """Waits until every pattern (text or compiled regex) is in the log; returns the log."""
        def found():
            text = self.log_text()
            return all(re.search(p, text) if isinstance(p, re.Pattern) else p in text
                       for p in patterns) and text
        return self.poll(found, timeout, f"OBS did not log {patterns}")

    @contextlib.contextmanager
    def websocket(self, timeout=30.0):
        """Connects to obs-websocket once OBS takes requests."""
        self.wait_for_log(["[WebSocketServer::Start] Server started successfully"], timeout)
        ws = ObsWebSocket(self.websocket_port)
        try:
            self.poll(ws.ready, timeout, "obs-websocket did not get ready")
            yield ws
        finally:
            ws._ws.close()

    def windows(self, name="", *options):
        """Visible X windows of OBS named to match `name`."""
        return self.xdotool("search", "--all", "--onlyvisible", *options, "--pid", str(self.pid),
                            "--name", name).split()

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env={**os.environ, "DISPLAY": self.display},
                              capture_output=True, text=True, timeout=10).stdout

    def quit(self, timeout=60.0):
        """Quits OBS as a user does: stops its outputs, then Ctrl+Q in its main window, repeated
        every few seconds until OBS logs its shutdown (a key press can get lost), answering any
        question. Returns the log; raises HarnessError when OBS had to be killed."""
        self.wait_for_log([STARTUP_COMPLETE], timeout)
        checks = (("GetStreamStatus", "StopStream"), ("GetRecordStatus", "StopRecord"))
        with self.websocket(timeout) as ws:
            for status, stop in checks:
                # An output that OBS already counts as stopped may still wind down: 501 "not
                # running", and the wait below.
                if ws.request(status).get("outputActive"):
                    with contextlib.suppress(HarnessError):
                        ws.request(stop)
            self.poll(lambda: not any(ws.request(s).get("outputActive") for s, _ in checks),
                      timeout, "OBS outputs still active")
        pressed_at = 0.0

        def quit_once():
            nonlocal pressed_at
            if self.running() and SHUTTING_DOWN not in self.log_text():
                answered = pressed_at and self._answer_question()
                window = self.windows("^OBS ")
                if not answered and window and time.monotonic() - pressed_at > 5.0:
                    self.xdotool("windowfocus", "--sync", window[0], "key", "--clearmodifiers",
                                 "ctrl+q")
                    pressed_at = time.monotonic()
            return not self.running()
        try:
            poll(quit_once, timeout, "OBS did not quit and was killed")
        finally:
            self.kill()
        return self.log_text()

    def _answer_question(self):
        # A question such as "exit while recording?" is a dialog-type window; Return accepts it.
        for window in self.windows():
            if "_NET_WM_WINDOW_TYPE_DIALOG" in subprocess.run(
                    ["xprop", "-display", self.display, "-id", window, "_NET_WM_WINDOW_TYPE"],
                    capture_output=True, text=True, timeout=10).stdout:
                self.xdotool("windowfocus", "--sync", window, "key", "Return")
                return True
        return False

    def kill(self):
        if self.running():
            os.killpg(self._obs.pid, signal.SIGKILL)
            self._obs.wait()

    def close(self):
        self.kill()
        if self._bus is not None:
            _stop(self._bus)
            self._bus.stdout.close()
        shutil.rmtree(self.home, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _write_ini(path, sections):
    # Laid out as OBS writes its own files, which it may rewrite unchanged.
    path.write_text("\n".join(f"[{section}]\n" + "".join(f"{k}={v}\n" for k, v in values.items())
                               for section, values in sections.items()))


class ObsTestCase(unittest.TestCase):
    """Tests on one private X server of `screen` size, against the build in RYVO_BINARY_DIR (or
    the package under RYVO_PACKAGE_ROOT)."""

    screen = "1280x800x24"
    build_dir = os.environ.get("RYVO_BINARY_DIR", "")

    @classmethod
    def setUpClass(cls):
        if not Path(cls.build_dir, "ryvo-obs.so").is_file():
            raise unittest.SkipTest(f"no ryvo-obs.so in RYVO_BINARY_DIR ({cls.build_dir!r})")
        cls.x = XServer(size=cls.screen).start()

    @classmethod
    def tearDownClass(cls):
        cls.x.stop()

    def session(self, **kwargs):
        return ObsSession(self.build_dir, self.x.display, os.environ.get("RYVO_SOURCE_DIR"),
                          package_root=os.environ.get("RYVO_PACKAGE_ROOT"), **kwargs)
