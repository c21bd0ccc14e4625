"""scripts/check-obs32.sh --headers-only over hand-made libobs-dev packages: the cache serves when
the archive cannot be reached, a changed package replaces the unpacked headers, and no cache at
all fails with the reason. The archive address is a closed loopback port."""

import os
import socket
import subprocess
import tempfile
import textwrap
import unittest

ROOT = os.environ.get("RYVO_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(ROOT, "scripts", "check-obs32.sh")


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class CheckObs32ScriptTest(unittest.TestCase):
    def setUp(self):
        self.temp = tempfile.TemporaryDirectory()
        self.build = os.path.join(self.temp.name, "build-obs32")
        self.debs = os.path.join(self.build, "apt", "debs")
        os.makedirs(self.debs)
        self.headers = os.path.join(self.build, "headers", "usr", "include", "obs")
        self.archive = "http://127.0.0.1:%d/debian" % closed_port()

    def tearDown(self):
        self.temp.cleanup()

    def make_deb(self, version, config_h, extra_header=None):
        tree = os.path.join(self.temp.name, "tree-" + version)
        include = os.path.join(tree, "usr", "include", "obs")
        os.makedirs(include)
        os.makedirs(os.path.join(tree, "DEBIAN"))
        with open(os.path.join(tree, "DEBIAN", "control"), "w") as control:
            control.write(textwrap.dedent("""\
                Package: libobs-dev
                Version: %s
                Architecture: amd64
                Maintainer: nobody <nobody@localhost>
                Description: test headers
                """ % version))
        with open(os.path.join(include, "obs-config.h"), "w") as header:
            header.write(config_h)
        if extra_header:
            open(os.path.join(include, extra_header), "w").close()
        path = os.path.join(self.debs, "libobs-dev_%s_amd64.deb" % version)
        subprocess.run(["dpkg-deb", "--root-owner-group", "-b", tree, path], check=True,
                       capture_output=True, timeout=60)
        return path

    @staticmethod
    def config_h(major, minor, patch):
        return ("#define LIBOBS_API_MAJOR_VER %d\n#define LIBOBS_API_MINOR_VER %d\n"
                "#define LIBOBS_API_PATCH_VER %d\n" % (major, minor, patch))

    def mark_list_fresh(self):
        open(os.path.join(self.build, "apt", "updated.stamp"), "w").close()

    def run_script(self):
        env = dict(os.environ, RYVO_OBS32_ARCHIVE=self.archive)
        return subprocess.run([SCRIPT, "--headers-only", self.build], env=env,
                              capture_output=True, text=True, timeout=120)

    def test_without_archive_or_cache_fails_and_says_why(self):
        result = self.run_script()
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("nothing is cached", result.stderr)
        self.assertIn(self.archive, result.stderr)
        self.assertFalse(os.path.exists(self.headers))

    def test_cache_serves_offline_and_follows_the_cached_package(self):
        old = self.make_deb("32.2.2-1", self.config_h(32, 2, 2), extra_header="gone-later.h")
        result = self.run_script()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("warning: nothing could be fetched", result.stdout)
        self.assertIn("headers of OBS 32.2.2", result.stdout)
        self.assertTrue(os.path.exists(os.path.join(self.headers, "gone-later.h")))
        build_tree = os.path.join(self.build, "build")
        os.makedirs(build_tree)
        built = os.path.join(build_tree, "built-against-32.2.2")
        open(built, "w").close()

        # A newer package in the cache, with a list fresh enough that the archive is not asked:
        # its headers replace the old ones, and so does a new build tree, since the unpacked
        # headers are older than what was built against the old ones.
        os.remove(old)
        self.make_deb("32.3.0-1", self.config_h(32, 3, 0))
        self.mark_list_fresh()
        result = self.run_script()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn("warning", result.stdout)
        self.assertIn("headers of OBS 32.3.0", result.stdout)
        self.assertFalse(os.path.exists(os.path.join(self.headers, "gone-later.h")))
        self.assertFalse(os.path.exists(built))

        # The same package again keeps both.
        os.makedirs(build_tree)
        open(built, "w").close()
        result = self.run_script()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(os.path.exists(built))


if __name__ == "__main__":
    unittest.main()
