"""Formatting helpers: sizes, dates, revs, types, JSON layout."""

import pytest

from service import wire


@pytest.mark.parametrize("n, text", [
    (0, "0 bytes"), (14, "14 bytes"), (1023, "1023 bytes"), (1024, "1 KB"), (1072, "1 KB"),
    (1268, "1.2 KB"), (56311222, "53.7 MB"), (1048576, "1 MB"), (5 * 1024 ** 3 + 1024 ** 3 // 2, "5.5 GB"),
])
def test_human_size(n, text):
    assert wire.human_size(n) == text


@pytest.mark.parametrize("ts, text", [
    (1414610999 + 20, "Wed, 29 Oct 2014 19:30:19 +0000"),
    (0, "Thu, 01 Jan 1970 00:00:00 +0000"),
    (1709164800, "Thu, 29 Feb 2024 00:00:00 +0000"),
])
def test_http_date_round_trip(ts, text):
    assert wire.http_date(ts) == text
    assert wire.parse_date(text) == ts


def test_rev_is_hex_revision_then_namespace():
    assert wire.rev(1, 0x0B31176A) == "10b31176a"
    assert wire.rev(255, 0x0B31176A) == "ff0b31176a"
    assert wire.rev(7, 5) == "700000005"


@pytest.mark.parametrize("name, mime, icon", [
    ("/a/notes.txt", "text/plain", "page_white_text"),
    ("/a/Photo.JPG", "image/jpeg", "page_white_picture"),
    ("/a/book.pdf", "application/pdf", "page_white_acrobat"),
    ("/a/no_extension", "application/octet-stream", "page_white"),
    ("/a.b/data.unknownext", "application/octet-stream", "page_white"),
])
def test_file_type(name, mime, icon):
    assert wire.file_type(name) == (mime, icon)


def test_dumps_escapes_non_ascii_and_keeps_slash():
    assert wire.dumps({"path": "/Caf\u00e9/\U0001F600", "ok": True, "n": None}) == \
        '{"path": "/Caf\\u00e9/\\ud83d\\ude00", "ok": true, "n": null}'
