"""Fails a test when a secret shows up where it must not be: in a file or folder (symbolic links
not followed) or a (name, text) pair, raw, URL-encoded (either hex case, "+" or "%20" for a space)
or JSON-escaped. A failure names the file and the secret's label and form, never the secret."""

import json
import os
import re
import urllib.parse
from pathlib import Path


def secret_forms(secret):
    """Every byte string the secret may appear as, each with the name of its form."""
    if not secret:
        raise ValueError("an empty secret matches everything")
    url = {urllib.parse.quote(secret, safe=""), urllib.parse.quote_plus(secret, safe="")}
    url |= {re.sub(r"%[0-9A-F]{2}", lambda m: m.group(0).lower(), form) for form in url}
    escaped = {json.dumps(secret)[1:-1], json.dumps(secret, ensure_ascii=False)[1:-1]}
    escaped |= {form.replace("/", "\\/") for form in escaped}
    forms = {secret.encode(): "raw"}
    for name, texts in (("url-encoded", url), ("json-escaped", escaped)):
        forms.update({text.encode(): name for text in texts if text.encode() not in forms})
    return forms


def _contents(sources):
    for source in sources:
        if isinstance(source, tuple):
            name, content = source
            yield name, content.encode() if isinstance(content, str) else bytes(content)
        elif not Path(source).exists():
            raise FileNotFoundError(f"nothing to audit at {source}")
        else:
            files = [Path(root, name) for root, _, names in os.walk(source) for name in names]
            for path in files or [Path(source)]:
                if path.is_file() and not path.is_symlink():
                    yield str(path), path.read_bytes()


def assert_no_secrets(sources, secrets, exclude=()):
    """`exclude` lists files that must hold a secret (a manual-mode configuration file)."""
    skipped = {os.path.realpath(path) for path in exclude}
    labelled = [(label, secret_forms(value)) for label, value in secrets.items()]
    found = []
    for where, data in _contents(sources):
        for label, forms in labelled:
            form = next((name for text, name in forms.items() if text in data), None)
            if form and os.path.realpath(where) not in skipped:
                found.append(f"  {where} holds the {label} ({form})")
    if found:
        raise AssertionError("secrets written where they must not be:\n" + "\n".join(found))
