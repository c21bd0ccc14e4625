"""Runs Debian's OBS Studio headless with the ryvo-obs module from a build directory.

Each run gets its own X server (Xvfb), its own session bus and a throw-away home directory whose
OBS configuration skips every first-run dialog and wizard, and turns obs-websocket on without a
password on a free port. Used as a library:

    with XServer() as x, ObsSession(build_dir, display=x.display) as obs:
        obs.write_ryvo_config({...})
        obs.start()
        obs.wait_for_log(["[ryvo-obs] module loaded"])
        with obs.websocket() as ws:
            ws.request("StartStream")
        ...
        log = obs.quit()  # stops the outputs, then quits through OBS's main window

Nothing is left running when a run ends, fails or is interrupted: every child process dies with
the harness.
"""

import ctypes
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

MODULE_NAME = "ryvo-obs"
# Where the Debian package puts the module and its data, relative to the root it is installed in.
PACKAGE_MODULE_DIR = "usr/lib/x86_64-linux-gnu/obs-plugins"
PACKAGE_DATA_DIR = "usr/share/obs/obs-plugins"
# OBS 29.0.2's API version, written as the last version run so that OBS treats the throw-away home
# as an existing install (no auto-configuration wizard, no "what's new").
OBS_LAST_VERSION = (29 << 24) | (0 << 16) | 2
PROFILE = "Untitled"
SCENE_COLLECTION = "Untitled"
STARTUP_COMPLETE = "==== Startup complete"
SHUTTING_DOWN = "==== Shutting down"

_PR_SET_PDEATHSIG = 1
# obs-websocket's request status for "OBS is not ready to perform the request".
_NOT_READY = 207


class HarnessError(RuntimeError):
    pass


def _die_with_parent():
    # Runs in the child between fork and exec: a harness killed by a test timeout takes its X
    # server, bus and OBS down with it.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


def _spawn(args, **kwargs):
    return subprocess.Popen(args, preexec_fn=_die_with_parent, **kwargs)


def _stop(process, grace=5.0):
    """Terminates a child if it still runs, and kills it if it ignores that."""
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def free_tcp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def exit_on_sigterm():
    """Turns SIGTERM (a test runner's timeout) into SystemExit, so that cleanup code runs."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))


class XServer:
    """A private Xvfb on the first free display number."""

    def __init__(self, size="1280x800x24", timeout=20.0):
        self.size = size
        self.timeout = timeout
        self.display = None
        self._process = None

    def start(self):
        read_fd, write_fd = os.pipe()
        try:
            # -displayfd makes Xvfb pick a free display itself and report it once it accepts
            # connections, which avoids racing other X servers for a number.
            self._process = _spawn(
                ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", self.size, "-nolisten",
                 "tcp", "-noreset"],
                pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write_fd)
            write_fd = None
            number = self._read_display_number(read_fd)
        except BaseException:
            self.stop()
            raise
        finally:
            if write_fd is not None:
                os.close(write_fd)
            os.close(read_fd)
        self.display = f":{number}"
        return self

    def _read_display_number(self, fd):
        deadline = time.monotonic() + self.timeout
        data = b""
        os.set_blocking(fd, False)
        while not data.endswith(b"\n"):
            if time.monotonic() > deadline:
                raise HarnessError("Xvfb did not report a display in time")
            if self._process.poll() is not None:
                raise HarnessError(f"Xvfb exited with status {self._process.returncode}")
            try:
                chunk = os.read(fd, 64)
            except BlockingIOError:
                time.sleep(0.05)
                continue
            if not chunk:
                raise HarnessError("Xvfb closed its display pipe without a display number")
            data += chunk
        return int(data.strip())

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.display, "-window", "root", str(path)],
                       check=True, timeout=30)

    def stop(self):
        _stop(self._process)
        self._process = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class ObsWebSocket:
    """A minimal obs-websocket 5 client: identify without authentication, send requests."""

    def __init__(self, port, timeout=10.0):
        import websocket  # python3-websocket

        self._ws = websocket.create_connection(f"ws://127.0.0.1:{port}", timeout=timeout)
        self._next_id = 0
        self._receive(op=0)
        self._ws.send(json.dumps({"op": 1, "d": {"rpcVersion": 1, "eventSubscriptions": 0}}))
        self._receive(op=2)

    def _receive(self, op, request_id=None):
        # No events are subscribed, so few other messages can come first; the count and the
        # socket's timeout both bound the wait.
        for _ in range(100):
            message = json.loads(self._ws.recv())
            if message.get("op") == op and (
                    request_id is None or message["d"].get("requestId") == request_id):
                return message["d"]
        raise HarnessError(f"obs-websocket sent no message with op {op}")

    def request(self, request_type, data=None):
        """Sends one request and returns its response data; raises HarnessError on failure."""
        self._next_id += 1
        request_id = str(self._next_id)
        payload = {"requestType": request_type, "requestId": request_id}
        if data is not None:
            payload["requestData"] = data
        self._ws.send(json.dumps({"op": 6, "d": payload}))
        response = self._receive(op=7, request_id=request_id)
        status = response.get("requestStatus", {})
        if not status.get("result"):
            error = HarnessError(f"{request_type} failed: {status.get('code')} "
                                 f"{status.get('comment', '')}".rstrip())
            error.code = status.get("code")
            raise error
        return response.get("responseData", {})

    def wait_until_ready(self, timeout):
        """Waits until OBS answers requests: obs-websocket 5.5 and newer (OBS 31+) answer every
        request with 207 "not ready" until OBS has finished loading, although the server runs."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.request("GetStreamStatus")
                return
            except HarnessError as error:
                if getattr(error, "code", None) != _NOT_READY or time.monotonic() > deadline:
                    raise
            time.sleep(0.1)

    def close(self):
        self._ws.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class ObsSession:
    """One OBS process in a throw-away home, with the module of `build_dir` installed."""

    def __init__(self, build_dir, display, source_dir=None, extra_env=None, video=(640, 360),
                 fps=30, package_root=None):
        """`package_root`: OBS loads the module from an installed package's system paths under
        this folder ("/" for a package installed with dpkg) instead of the build's module."""
        self.build_dir = Path(build_dir).resolve()
        self.package_root = Path(package_root) if package_root else None
        self.source_dir = Path(source_dir or Path(__file__).resolve().parents[2])
        self.display = display
        self.extra_env = dict(extra_env or {})
        self.video = video
        self.fps = fps
        self.home = Path(tempfile.mkdtemp(prefix="ryvo-obs-home-"))
        self.config_home = self.home / ".config"
        self.obs_config = self.config_home / "obs-studio"
        self.websocket_port = free_tcp_port()
        self._obs = None
        self._console = None
        self._bus = None
        self._bus_address = None
        self._log_file = None
        self._known_logs = set()
        self._prepare_home()

    # -- the throw-away home ---------------------------------------------------------------

    @property
    def ryvo_config_path(self):
        return self.config_home / "Ryvo" / "obs-plugin.json"

    @property
    def plugin_dir(self):
        return self.obs_config / "plugins" / MODULE_NAME

    @property
    def logs_dir(self):
        return self.obs_config / "logs"

    def write_ryvo_config(self, config):
        """Writes the plug-in's configuration file; `config` is a dict or the file's text."""
        text = config if isinstance(config, str) else json.dumps(config, indent=2) + "\n"
        self.ryvo_config_path.parent.mkdir(parents=True, exist_ok=True)
        self.ryvo_config_path.write_text(text)
        self.ryvo_config_path.chmod(0o600)

    def _prepare_home(self):
        for d in ("basic/profiles/" + PROFILE, "basic/scenes", "logs"):
            (self.obs_config / d).mkdir(parents=True, exist_ok=True)
        (self.home / "Videos").mkdir()
        runtime_dir = self.home / "runtime"
        runtime_dir.mkdir(mode=0o700)
        _write_ini(self.obs_config / "global.ini", {
            "General": {
                "FirstRun": "true",
                "LastVersion": str(OBS_LAST_VERSION),
                "InfoLastVersion": str(OBS_LAST_VERSION << 16),
            },
            "Basic": {
                "Profile": PROFILE,
                "ProfileDir": PROFILE,
                "SceneCollection": SCENE_COLLECTION,
                "SceneCollectionFile": SCENE_COLLECTION,
                "ConfigOnNewProfile": "false",
            },
            "OBSWebSocket": {
                "FirstLoad": "false",
                "ServerEnabled": "true",
                "ServerPort": str(self.websocket_port),
                "AlertsEnabled": "false",
                "AuthRequired": "false",
            },
        })
        width, height = self.video
        _write_ini(self.obs_config / "basic/profiles" / PROFILE / "basic.ini", {
            "General": {"Name": PROFILE},
            "Video": {
                "BaseCX": str(width), "BaseCY": str(height),
                "OutputCX": str(width), "OutputCY": str(height),
                "FPSType": "0", "FPSCommon": str(self.fps),
            },
            "Audio": {"SampleRate": "48000", "ChannelSetup": "Stereo"},
            "Output": {"Mode": "Simple"},
            "SimpleOutput": {
                "FilePath": str(self.home / "Videos"),
                "RecFormat": "mkv",
                # OBS 30.2 and newer read this key and add it when it is missing, which would
                # make OBS itself change the profile files.
                "RecFormat2": "mkv",
                "StreamEncoder": "x264",
                "RecEncoder": "x264",
                "RecQuality": "Stream",
            },
        })
        scene = {
            "id": "scene", "versioned_id": "scene", "name": "Scene", "uuid": "",
            "settings": {"id_counter": 0, "custom_size": False, "items": []},
        }
        (self.obs_config / "basic/scenes" / f"{SCENE_COLLECTION}.json").write_text(json.dumps({
            "name": SCENE_COLLECTION,
            "current_scene": "Scene",
            "current_program_scene": "Scene",
            "scene_order": [{"name": "Scene"}],
            "sources": [scene],
            "groups": [],
            "transitions": [],
            "current_transition": "Fade",
            "transition_duration": 300,
        }))

    def install_module(self):
        module = self.build_dir / f"{MODULE_NAME}.so"
        if not module.is_file():
            raise HarnessError(f"no built module at {module}")
        binaries = self.plugin_dir / "bin" / "64bit"
        binaries.mkdir(parents=True, exist_ok=True)
        # A copy rather than a link: a rebuild during the run must not change the loaded module.
        shutil.copy2(module, binaries / module.name)
        data = self.plugin_dir / "data"
        shutil.rmtree(data, ignore_errors=True)
        shutil.copytree(self.source_dir / "data", data)

    # -- the OBS process ---------------------------------------------------------------------

    def environment(self):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("DBUS_", "XDG_", "WAYLAND_", "QT_"))}
        env.update({
            "HOME": str(self.home),
            "XDG_CONFIG_HOME": str(self.config_home),
            "XDG_RUNTIME_DIR": str(self.home / "runtime"),
            "DISPLAY": self.display,
            "QT_QPA_PLATFORM": "xcb",
            "LIBGL_ALWAYS_SOFTWARE": "1",
            # OBS's own update checks would reach for the internet; a proxy that refuses every
            # connection keeps them local, while loopback servers of the tests stay reachable.
            "http_proxy": "http://127.0.0.1:9",
            "https_proxy": "http://127.0.0.1:9",
            "all_proxy": "http://127.0.0.1:9",
            "no_proxy": "127.0.0.1,localhost,::1",
        })
        if self.package_root is not None and self.package_root != Path("/"):
            env["OBS_PLUGINS_PATH"] = str(self.package_root / PACKAGE_MODULE_DIR)
            env["OBS_PLUGINS_DATA_PATH"] = str(self.package_root / PACKAGE_DATA_DIR)
        if self._bus_address:
            env["DBUS_SESSION_BUS_ADDRESS"] = self._bus_address
        env.update(self.extra_env)
        return env

    def _start_bus(self):
        # A private session bus: OBS and later the credential store talk to it, never to the
        # bus of whoever runs the tests.
        self._bus = _spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                           env=self.environment())
        address = self._bus.stdout.readline().strip()
        if not address:
            raise HarnessError("dbus-daemon did not print an address")
        self._bus_address = address

    def start(self, args=()):
        if self.package_root is None:
            self.install_module()
        self._start_bus()
        self._known_logs = set(self.logs_dir.glob("*.txt"))
        self._console = open(self.home / "obs-console.txt", "ab")
        self._obs = _spawn(
            ["obs", "--multi", "--disable-updater", "--disable-missing-files-check", *args],
            cwd=self.home, env=self.environment(), stdin=subprocess.DEVNULL,
            stdout=self._console, stderr=subprocess.STDOUT, start_new_session=True)
        return self

    @property
    def pid(self):
        return self._obs.pid if self._obs else None

    def running(self):
        return self._obs is not None and self._obs.poll() is None

    def log_path(self):
        if self._log_file is None:
            new = sorted(set(self.logs_dir.glob("*.txt")) - self._known_logs)
            if new:
                self._log_file = new[-1]
        return self._log_file

    def log_text(self):
        path = self.log_path()
        return path.read_text(errors="replace") if path else ""

    def ryvo_lines(self):
        return [line for line in self.log_text().splitlines() if "[ryvo-obs] " in line]

    def wait_for_log(self, patterns, timeout=30.0):
        """Waits until every pattern (text or compiled regex) is in the log; returns the log."""
        deadline = time.monotonic() + timeout
        while True:
            text = self.log_text()
            missing = [p for p in patterns if not _found(p, text)]
            if not missing:
                return text
            if not self.running():
                raise HarnessError(f"OBS exited before logging {_describe(missing)}")
            if time.monotonic() > deadline:
                raise HarnessError(f"OBS did not log {_describe(missing)} within {timeout} s")
            time.sleep(0.1)

    def websocket(self, timeout=30.0):
        """Connects to OBS's obs-websocket server once it has started and OBS takes requests."""
        deadline = time.monotonic() + timeout
        self.wait_for_log(["[WebSocketServer::Start] Server started successfully"], timeout)
        ws = ObsWebSocket(self.websocket_port)
        try:
            ws.wait_until_ready(max(1.0, deadline - time.monotonic()))
        except BaseException:
            ws.close()
            raise
        return ws

    def stop_outputs(self, timeout=30.0):
        """Stops streaming and recording, as a user does before quitting, and waits until OBS
        reports them stopped."""
        with self.websocket(timeout) as ws:
            checks = (("GetStreamStatus", "StopStream"), ("GetRecordStatus", "StopRecord"))
            pending = [(status, stop) for status, stop in checks
                       if ws.request(status).get("outputActive")]
            for _, stop in pending:
                try:
                    ws.request(stop)
                except HarnessError as error:
                    # 501 "output not running": OBS's frontend already counts the output as
                    # stopped while the output itself is still winding down; the wait below
                    # covers it.
                    if " 501" not in str(error):
                        raise
            deadline = time.monotonic() + timeout
            while pending:
                pending = [(status, stop) for status, stop in pending
                           if ws.request(status).get("outputActive")]
                if pending and time.monotonic() > deadline:
                    raise HarnessError(f"OBS outputs still active after {timeout} s")
                time.sleep(0.1)

    def main_window(self):
        out = subprocess.run(
            ["xdotool", "search", "--all", "--onlyvisible", "--pid", str(self.pid), "--name",
             "^OBS "], env=self._xenv(), capture_output=True, text=True, timeout=10)
        ids = out.stdout.split()
        return ids[0] if ids else None

    def wait_for_main_window(self, timeout=30.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not self.running():
                raise HarnessError("OBS exited before showing its main window")
            window = self.main_window()
            if window:
                return window
            time.sleep(0.2)
        raise HarnessError(f"OBS showed no main window within {timeout} s")

    def _xenv(self):
        return {**os.environ, "DISPLAY": self.display}

    def _xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self._xenv(), capture_output=True, timeout=10)

    def quit(self, timeout=60.0, stop_outputs=True):
        """Quits OBS as a user does: stops its outputs, then Ctrl+Q in its main window, confirming
        a question if one comes up. Returns the log; raises HarnessError when OBS had to be
        killed."""
        if self._obs is None:
            raise HarnessError("OBS was not started")
        deadline = time.monotonic() + timeout
        if self.running():
            # A key press that arrives before OBS has finished starting can get lost.
            self.wait_for_log([STARTUP_COMPLETE], timeout=max(1.0, deadline - time.monotonic()))
        if stop_outputs and self.running():
            self.stop_outputs(timeout=max(1.0, deadline - time.monotonic()))
        pressed_at = None
        while self.running() and time.monotonic() < deadline:
            # Once OBS logs its shutdown it needs no more input; until then a lost key press is
            # repeated now and then, and a question that the press raised is answered.
            if SHUTTING_DOWN not in self.log_text():
                answered = pressed_at is not None and self._confirm_dialog()
                due = pressed_at is None or time.monotonic() - pressed_at > 5.0
                if not answered and due and self._press_quit():
                    pressed_at = time.monotonic()
            time.sleep(0.2)
        if self.running():
            os.killpg(self._obs.pid, signal.SIGKILL)
            self._obs.wait()
            raise HarnessError(f"OBS did not quit within {timeout} s and was killed")
        return self.log_text()

    def _press_quit(self):
        window = self.main_window()
        if window is None:
            return False
        self._xdotool("windowfocus", "--sync", window)
        self._xdotool("key", "--clearmodifiers", "ctrl+q")
        return True

    def _confirm_dialog(self):
        # A question such as "exit while recording?" is a visible dialog-type window of the
        # process; Return presses its accepting button.
        for window in self._visible_windows():
            props = subprocess.run(["xprop", "-display", self.display, "-id", window,
                                    "_NET_WM_WINDOW_TYPE"], capture_output=True, text=True,
                                   timeout=10).stdout
            if "_NET_WM_WINDOW_TYPE_DIALOG" in props:
                self._xdotool("windowfocus", "--sync", window)
                self._xdotool("key", "Return")
                return True
        return False

    def _visible_windows(self):
        out = subprocess.run(["xdotool", "search", "--all", "--onlyvisible", "--pid",
                              str(self.pid), ""], env=self._xenv(), capture_output=True,
                             text=True, timeout=10)
        return out.stdout.split()

    def returncode(self):
        return self._obs.returncode if self._obs else None

    def close(self):
        if self._obs is not None and self._obs.poll() is None:
            os.killpg(self._obs.pid, signal.SIGKILL)
            self._obs.wait()
        if self._console is not None:
            self._console.close()
            self._console = None
        if self._bus is not None:
            _stop(self._bus)
            self._bus.stdout.close()
            self._bus = None
        shutil.rmtree(self.home, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _write_ini(path, sections):
    lines = []
    for section, values in sections.items():
        lines.append(f"[{section}]")
        lines.extend(f"{k}={v}" for k, v in values.items())
        lines.append("")
    Path(path).write_text("\n".join(lines))


def _found(pattern, text):
    if isinstance(pattern, re.Pattern):
        return pattern.search(text) is not None
    return pattern in text


def _describe(patterns):
    return ", ".join(repr(p.pattern if isinstance(p, re.Pattern) else p) for p in patterns)

