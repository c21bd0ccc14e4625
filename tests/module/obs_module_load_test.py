#!/usr/bin/python3
"""Loads the built module into real OBS under Xvfb and checks what it logs at load and unload."""

import re
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import obs_harness  # noqa: E402
from obs_e2e import ObsTestCase  # noqa: E402
from ryvo_configs import manual_config  # noqa: E402
from secrets_audit import assert_no_secrets  # noqa: E402

TIMESTAMP = re.compile(r"^\d\d:\d\d:\d\d\.\d{3}: ")
# The lines that report the configuration at load; other parts of the module log their own.
CONFIG_LINE = re.compile(r"runtime config|loaded config|Ryvo will reconcile|starts disabled")

MANUAL = manual_config("stream-42", "key-secret", capture_mode="either", ram_buffer_minutes=5)


class ModuleLoadTest(ObsTestCase):
    def run_obs(self, config=None):
        """One OBS run in a fresh home; returns the configuration lines and the config path."""
        with self.session() as obs:
            if config is not None:
                obs.write_ryvo_config(config)
            obs.start()
            obs.wait_for_log([re.compile(r"\[ryvo-obs\] (loaded config|no runtime config)")])
            log = obs.quit()
            path = str(obs.ryvo_config_path)
            # A manual configuration holds its key by design; nothing else may.
            assert_no_secrets([obs.home], {"API key": MANUAL["api_key"]},
                              exclude=[obs.ryvo_config_path])
            self.assertEqual(obs.returncode(), 0, "OBS did not exit cleanly")
        self.assertNotRegex(log, r"Failed to load '[^']*' text for module: '[^']*ryvo-obs",
                            "the module's locale data was not found")
        shutdown = log.find("==== Shutting down")
        self.assertGreaterEqual(shutdown, 0, "OBS did not shut down through its own exit")
        lines = [TIMESTAMP.sub("", line) for line in log.splitlines() if "[ryvo-obs] " in line]
        self.assertEqual(lines[0], "[ryvo-obs] module loaded")
        self.assertEqual(lines[-1], "[ryvo-obs] module unloaded")
        self.assertGreater(log.find("[ryvo-obs] module unloaded"), shutdown)
        return [line for line in lines if CONFIG_LINE.search(line)], path

    def test_missing_config_file_is_reported_with_its_path(self):
        lines, path = self.run_obs()
        self.assertEqual(lines, [
            f"[ryvo-obs] no runtime config loaded from {path} (config file not found: {path})"])

    def test_config_that_fails_validation_is_reported(self):
        lines, path = self.run_obs({**MANUAL, "api_endpoint": "http://ingest.invalid"})
        self.assertEqual(lines, [
            f"[ryvo-obs] no runtime config loaded from {path} (api_endpoint must use https://; "
            "plain http:// would send the API key in clear text and is allowed only to this "
            "machine (localhost, 127.0.0.0/8, ::1))"])

    def test_enabled_config_is_summarised(self):
        lines, _ = self.run_obs(MANUAL)
        self.assertEqual(lines, [
            "[ryvo-obs] loaded config for stream stream-42 with 5-minute RAM buffer "
            "(enabled=true runtime=full capture=either)",
            "[ryvo-obs] Ryvo will reconcile the OBS Stream button with capture_mode=either for "
            "this install.",
        ])

    def test_disabled_config_says_obs_runs_normally(self):
        lines, _ = self.run_obs({"enabled": False, "runtime_mode": "runtime_only",
                                 "capture_mode": "recording", "auth_mode": "manual"})
        self.assertEqual(lines, [
            "[ryvo-obs] loaded config for stream  with 10-minute RAM buffer "
            "(enabled=false runtime=runtime_only capture=recording)",
            "[ryvo-obs] Ryvo plugin starts disabled; OBS recording and streaming will run "
            "normally until Ryvo is turned back on",
        ])


if __name__ == "__main__":
    obs_harness.exit_on_sigterm()
    unittest.main(verbosity=2)
