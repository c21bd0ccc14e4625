"""scripts/bench.sh over stand-in benchmark programs: what reaches the table and the results file,
and how a benchmark that fails or is missing shows."""

import os
import subprocess
import tempfile
import textwrap
import unittest

ROOT = os.environ.get("RYVO_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(ROOT, "scripts", "bench.sh")


class BenchScriptTest(unittest.TestCase):
    def setUp(self):
        self.temp = tempfile.TemporaryDirectory()
        self.build = self.temp.name
        os.makedirs(os.path.join(self.build, "bench"))
        with open(os.path.join(self.build, "CMakeCache.txt"), "w") as cache:
            cache.write("CMAKE_CXX_COMPILER:FILEPATH=/usr/bin/c++\n"
                        "CMAKE_BUILD_TYPE:STRING=Release\n")
        self.results = os.path.join(self.build, "results.md")

    def tearDown(self):
        self.temp.cleanup()

    def bench(self, name, body):
        path = os.path.join(self.build, "bench", name)
        with open(path, "w") as program:
            program.write("#!/bin/sh\n" + textwrap.dedent(body))
        os.chmod(path, 0o755)

    def run_script(self):
        env = dict(os.environ, RYVO_BENCH_RESULTS=self.results)
        return subprocess.run([SCRIPT, self.build], env=env, capture_output=True, text=True,
                              timeout=120)

    def test_rows_of_every_benchmark_reach_table_and_file(self):
        self.bench("core_throughput_bench", """\
            echo "core: 3 rounds"
            printf 'RESULT\\tCore\\t100 MB/s\\tdigest: 200 MB/s\\t2.00x (CPU time)'
            printf '\\t<= 1.50x\\tmissed\\n'
            """)
        self.bench("upload_throughput_bench", """\
            printf 'RESULT\\tUpload\\t5 MB/s\\tcurl: 5 MB/s\\t1.00x (wall time)\\t<= 1.00x\\tmet\\n'
            """)
        self.bench("send_clip_bench", """\
            case "$*" in *--clip*/bench-media/*) ;; *) echo "no clip given" >&2; exit 1;; esac
            printf 'RESULT\\tSend\\t9 s\\tffmpeg: 1 s\\t9.00x (CPU time)\\t<= 1.50x\\tmissed\\n'
            printf 'RESULT\\tLive\\t0.5%%\\tone core\\t0.0050x (CPU time)\\t<= 0.0100x\\tmet\\n'
            """)
        run = self.run_script()
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        rows = ["| Core | 100 MB/s | digest: 200 MB/s | 2.00x (CPU time) | <= 1.50x | missed |",
                "| Upload | 5 MB/s | curl: 5 MB/s | 1.00x (wall time) | <= 1.00x | met |",
                "| Send | 9 s | ffmpeg: 1 s | 9.00x (CPU time) | <= 1.50x | missed |",
                "| Live | 0.5% | one core | 0.0050x (CPU time) | <= 0.0100x | met |"]
        with open(self.results) as results:
            text = results.read()
        for row in rows:
            self.assertIn(row, run.stdout)
            self.assertIn(row, text)
        self.assertIn("- CPU: ", text)
        self.assertIn("- Compiler: ", text)
        # The figures each benchmark printed are kept as its log, without the raw rows.
        self.assertIn("core: 3 rounds", text)
        self.assertNotIn("RESULT", text)

    def test_failed_and_missing_benchmarks_are_rows_and_fail_the_run(self):
        # A log of an earlier run of a benchmark that is missing now must not reach the results.
        os.makedirs(os.path.join(self.build, "bench-logs"))
        with open(os.path.join(self.build, "bench-logs", "send_clip_bench.log"), "w") as log:
            log.write("stale figures\n")
        self.bench("core_throughput_bench", """\
            echo "core: expected 300 segments, got 299" >&2
            exit 1
            """)
        self.bench("upload_throughput_bench", """\
            printf 'RESULT\\tUpload\\t5 MB/s\\tcurl: 5 MB/s\\t1.00x (wall time)\\t<= 1.00x\\tmet\\n'
            """)
        run = self.run_script()
        self.assertEqual(run.returncode, 1)
        with open(self.results) as results:
            text = results.read()
        self.assertRegex(text,
                         r"\| core_throughput_bench \| failed, see .*core_throughput_bench.log")
        self.assertIn("| send_clip_bench | not built |", text)
        self.assertIn("| Upload | 5 MB/s |", text)
        self.assertIn("expected 300 segments, got 299", text)
        self.assertNotIn("stale figures", text)


if __name__ == "__main__":
    unittest.main()
