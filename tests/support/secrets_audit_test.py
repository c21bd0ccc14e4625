"""The secrets audit finds a secret in each form a program may write it in, names where and which,
and never repeats the secret in its message."""

import os
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from secrets_audit import SecretExposed, assert_no_secrets, find_secrets  # noqa: E402

KEY = "ryvo_a/b+c d\u00e9"


class SecretsAuditTest(unittest.TestCase):
    def test_every_written_form_is_found_and_the_message_names_file_and_label_only(self):
        writings = {
            "raw.log": KEY,
            "url.log": "GET /x?key=ryvo_a%2Fb%2Bc%20d%C3%A9",
            "url-lower.log": "key=ryvo_a%2fb%2bc+d%c3%a9",
            "json.json": '{"api_key": "ryvo_a\\/b+c d\\u00e9"}',
        }
        with tempfile.TemporaryDirectory() as folder:
            for name, text in writings.items():
                Path(folder, "nested", name).parent.mkdir(exist_ok=True)
                Path(folder, "nested", name).write_text(text, encoding="utf-8")
            Path(folder, "clean.txt").write_text("ryvo_a/b", encoding="utf-8")
            found = find_secrets([folder], {"api key": KEY})
            self.assertEqual(sorted(os.path.basename(where) for where, _, _ in found),
                             sorted(writings))
            with self.assertRaises(SecretExposed) as raised:
                assert_no_secrets([folder, ("server report", b"{}")], {"api key": KEY})
            message = str(raised.exception)
            self.assertIn(os.path.join(folder, "nested", "url.log"), message)
            self.assertIn("api key (url-encoded)", message)
            for form in (KEY, "ryvo_a%2Fb", "ryvo_a\\/b"):
                self.assertNotIn(form, message)

            assert_no_secrets([folder], [KEY], exclude=[os.path.join(folder, "nested", n)
                                                        for n in writings])

    def test_memory_sources_are_searched_and_an_empty_secret_is_refused(self):
        self.assertEqual(find_secrets([("server output", "token tok-1 seen")], ["tok-1"]),
                         [("server output", "secret 1", "raw")])
        with self.assertRaises(ValueError):
            find_secrets([("x", "")], {"poll token": ""})


if __name__ == "__main__":
    unittest.main()
