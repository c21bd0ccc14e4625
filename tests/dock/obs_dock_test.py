#!/usr/bin/python3
"""The status dock in real OBS, started with a fresh home: a portal-linked install (key in the
Secret Service) streams through the plug-in's own service to the development server while the
dock sits docked and visible in OBS's main window. Checked from outside OBS:

- the module logs that it installed the dock;
- no top-level X window of OBS carries the dock's title (a floating dock would be one);
- on a screenshot of the main window, moved to fill the screen, the dock's own background colour
  covers a sizeable area;
- after a clean quit, the dock layout OBS saved (QMainWindow::saveState, base64 in global.ini or
  user.ini) names "ryvoObsStatusDock" with its visible flag set and its floating flag clear.

The screenshot is kept as <build>/artifacts/dock.png; with RYVO_UPDATE_DOCS=1 a copy
replaces docs/dock.png. Runs inside tests/support/with-keyring.sh."""

import base64
import configparser
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import obs_harness  # noqa: E402
from obs_e2e import BUILD_DIR, ObsTestCase, primary_agent, wait_until  # noqa: E402
from ryvo_configs import QUICK_DELIVERY, portal_config  # noqa: E402
from dev_server import DevServer  # noqa: E402

SOURCE_DIR = Path(os.environ.get("RYVO_SOURCE_DIR") or Path(__file__).resolve().parents[2])
DOCK_ID = "ryvoObsStatusDock"
DOCK_TITLE = "Ryvo Stream Status"
SCREEN = (1600, 900)
# The dock root's background (#20242f), a colour OBS's own theme does not paint.
DOCK_BACKGROUND = bytes((0x20, 0x24, 0x2F))
CONVERT = "/usr/bin/convert"  # ImageMagick's own, whatever else is first on PATH

# QMainWindow::saveState's record of one dock widget: a widget marker, the object name as a
# QString (byte length, UTF-16BE) and a flags byte.
_WIDGET_MARKER = 0xFB
_FLAG_VISIBLE = 1
_FLAG_FLOATING = 2


def dock_flags(state, name):
    """Every flags byte that a saved main-window state records for the dock named `name`."""
    encoded = name.encode("utf-16-be")
    record = bytes([_WIDGET_MARKER]) + struct.pack(">I", len(encoded)) + encoded
    flags, start = [], 0
    while (at := state.find(record, start)) >= 0:
        flags.append(state[at + len(record)])
        start = at + 1
    return flags


def saved_dock_state(obs_config):
    """The main window's dock layout that OBS wrote on quitting (global.ini up to OBS 30,
    user.ini from OBS 31 on)."""
    for name in ("user.ini", "global.ini"):
        parser = configparser.RawConfigParser(strict=False)
        parser.optionxform = str
        parser.read(obs_config / name)
        if parser.has_option("BasicWindow", "DockState"):
            return base64.b64decode(parser.get("BasicWindow", "DockState"))
    return None


def colour_box(png, colour):
    """The bounding box (left, top, right, bottom) of the pixels of exactly `colour`, or None."""
    width, height = SCREEN
    pixels = subprocess.run([CONVERT, str(png), "-depth", "8", "-resize", f"{width}x{height}!",
                             "rgb:-"], capture_output=True, check=True, timeout=60).stdout
    box = None
    for y in range(height):
        row = pixels[y * width * 3:(y + 1) * width * 3]
        xs = [x for x in range(width) if row[3 * x:3 * x + 3] == colour]
        if xs:
            box = (min(xs), y, max(xs), y) if box is None else (
                min(box[0], xs[0]), box[1], max(box[2], xs[-1]), y)
    return box


def xdotool(display, *args):
    return subprocess.run(["xdotool", *args], env={**os.environ, "DISPLAY": display},
                          capture_output=True, text=True, timeout=10).stdout


def fill_screen(display, window):
    """Moves OBS's main window over the whole screen; with no window manager on the X server, the
    window takes the size it is given."""
    xdotool(display, "windowmove", "--sync", window, "0", "0")
    xdotool(display, "windowsize", "--sync", window, *map(str, SCREEN))


def add_demo_sources(ws, display):
    """Something to look at in the preview of the screenshot: a backdrop and a centred title,
    with nothing selected (a click on the preview's empty margin)."""
    ws.request("CreateInput", {"sceneName": "Scene", "inputName": "Backdrop",
                               "inputKind": "color_source_v3",
                               "inputSettings": {"color": 0xFF5A3A1E, "width": 1280,
                                                 "height": 720}})
    title = ws.request("CreateInput", {
        "sceneName": "Scene", "inputName": "Title", "inputKind": "text_ft2_source_v2",
        "inputSettings": {"text": "Live with a Ryvo safety delay",
                          "font": {"face": "Sans", "size": 64, "style": "Bold", "flags": 1}}})
    ws.request("SetSceneItemTransform", {
        "sceneName": "Scene", "sceneItemId": title["sceneItemId"],
        "sceneItemTransform": {"positionX": 640, "positionY": 360, "alignment": 0}})
    xdotool(display, "mousemove", "--sync", "12", str(SCREEN[1] // 4), "click", "1")


class ObsDockTest(ObsTestCase):
    screen = "{}x{}x24".format(*SCREEN)
    needs_keyring = True

    def test_dock_is_docked_and_visible_in_the_main_window(self):
        artifacts = Path(BUILD_DIR, "artifacts")
        artifacts.mkdir(exist_ok=True)
        screenshot = artifacts / "dock.png"
        with tempfile.TemporaryDirectory() as segments, \
                DevServer(data_dir=segments) as server, \
                self.portal_session(server, video=(1280, 720)) as obs:
            _, linked = self.link_through_portal(server)
            obs.write_ryvo_config(portal_config(linked, **QUICK_DELIVERY))
            obs.start()
            log = obs.wait_for_log([obs_harness.STARTUP_COMPLETE,
                                    "[ryvo-obs] installed Ryvo settings UI and status dock"])
            fill_screen(self.x.display, obs.wait_for_main_window())
            # Without a window manager a top-level window is a child of the root window; the
            # docked dock may be a native child window deeper down that carries the same title.
            floating = xdotool(self.x.display, "search", "--all", "--onlyvisible", "--maxdepth",
                               "1", "--pid", str(obs.pid), "--name", f"^{DOCK_TITLE}$").split()

            def delivered():
                return primary_agent(server).get("segments", 0) >= 20

            with obs.websocket() as ws:
                add_demo_sources(ws, self.x.display)
                ws.request("StartStream")
                obs.wait_for_log(["[ryvo-obs] attached Ryvo ingest to OBS ryvo_stream output"])
                self.assertTrue(wait_until(delivered, timeout=120),
                                "no delivery with the linked key")
                self.x.screenshot(screenshot)
                ws.request("StopStream")
                obs.wait_for_log(["[ryvo-obs] finishing complete: "])
            obs.quit()
            returncode = obs.returncode()
            state = saved_dock_state(obs.obs_config)

        self.assertNotIn("[ryvo-obs] failed to install Ryvo status dock", log)
        self.assertEqual(floating, [], "the dock is a window of its own")
        box = colour_box(screenshot, DOCK_BACKGROUND)
        self.assertIsNotNone(box, "no part of the dock is on screen")
        left, top, right, bottom = box
        self.assertGreater(right - left, 200, f"the dock shows only a sliver: {box}")
        self.assertGreater(bottom - top, 300, f"the dock shows only a sliver: {box}")

        self.assertEqual(returncode, 0, "OBS did not exit cleanly")
        self.assertIsNotNone(state, "OBS saved no dock layout")
        (flags,) = dock_flags(state, DOCK_ID)
        self.assertTrue(flags & _FLAG_VISIBLE, "saved as hidden")
        self.assertFalse(flags & _FLAG_FLOATING, "saved as floating")

        if os.environ.get("RYVO_UPDATE_DOCS") == "1":
            publish(screenshot, SOURCE_DIR / "docs" / "dock.png")


def publish(screenshot, target):
    """The README's copy: the full-size picture on a palette of 256 colours, which the flat
    colours of OBS's theme and the dock survive unchanged at about half the file size."""
    with tempfile.TemporaryDirectory() as work:
        reduced = Path(work, "dock.png")
        subprocess.run([CONVERT, str(screenshot), "-colors", "256", "-strip", f"PNG8:{reduced}"],
                       check=True, timeout=60)
        shutil.copyfile(reduced, target)


if __name__ == "__main__":
    obs_harness.exit_on_sigterm()
    unittest.main()
