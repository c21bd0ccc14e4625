"""Fails a test when a secret (API key, poll token) shows up where it must not: a log, a state or
configuration file, a server record, a support bundle.

    from secrets_audit import assert_no_secrets
    assert_no_secrets([obs.home, server_output], {"api key": key, "poll token": token})

A source is a file or folder path (folders are searched recursively, symbolic links are not
followed) or a (name, text-or-bytes) pair for something held in memory. Each secret is looked for
raw and in the forms a program would write it in: URL-encoded (either hex case, "+" or "%20" for a
space) and JSON-escaped (with and without ASCII escapes, with and without "\\/"). A failure names
the file and the secret's label and form, never the secret itself.
"""

import json
import os
import re
import urllib.parse
from pathlib import Path


class SecretExposed(AssertionError):
    pass


def _url_forms(secret):
    forms = set()
    for encoded in (urllib.parse.quote(secret, safe=""), urllib.parse.quote_plus(secret, safe="")):
        # Percent escapes in either case: "%2F" and "%2f".
        forms |= {encoded, re.sub(r"%[0-9A-F]{2}", lambda m: m.group(0).lower(), encoded)}
    return forms


def _json_forms(secret):
    forms = {json.dumps(secret)[1:-1], json.dumps(secret, ensure_ascii=False)[1:-1]}
    return forms | {form.replace("/", "\\/") for form in forms}


def secret_forms(secret):
    """Every byte string the secret may appear as, each with the name of its form."""
    forms = {secret.encode("utf-8"): "raw"}
    for name, texts in (("url-encoded", _url_forms(secret)), ("json-escaped", _json_forms(secret))):
        for text in texts:
            forms.setdefault(text.encode("utf-8"), name)
    return forms


def _labelled(secrets):
    pairs = secrets.items() if isinstance(secrets, dict) else (
        ("secret %d" % (index + 1), value) for index, value in enumerate(secrets))
    labelled = []
    for label, value in pairs:
        if not value:
            raise ValueError("secret %r is empty: an empty secret matches everything" % label)
        labelled.append((label, secret_forms(value)))
    return labelled


def _files(path):
    path = Path(path)
    if path.is_symlink():
        return
    if path.is_dir():
        for root, _dirs, names in os.walk(path):
            for name in sorted(names):
                candidate = Path(root, name)
                if candidate.is_file() and not candidate.is_symlink():
                    yield candidate
    elif path.is_file():
        yield path
    else:
        raise FileNotFoundError("nothing to audit at %s" % path)


def _contents(sources):
    for source in sources:
        if isinstance(source, tuple):
            name, content = source
            yield name, content.encode("utf-8") if isinstance(content, str) else bytes(content)
        else:
            for path in _files(source):
                yield str(path), path.read_bytes()


def find_secrets(sources, secrets, exclude=()):
    """[(where, label, form)] for every source holding a secret; `exclude` lists files that must
    hold one (a manual-mode configuration file, say) and are therefore skipped."""
    skipped = {os.path.realpath(path) for path in exclude}
    labelled = _labelled(secrets)
    found = []
    for where, data in _contents(sources):
        if os.path.realpath(where) in skipped:
            continue
        for label, forms in labelled:
            for form, form_name in forms.items():
                if form in data:
                    found.append((where, label, form_name))
                    break
    return found


def assert_no_secrets(sources, secrets, exclude=()):
    found = find_secrets(sources, secrets, exclude)
    if found:
        raise SecretExposed("secrets written where they must not be:\n" + "\n".join(
            "  %s holds the %s (%s)" % entry for entry in found))
