"""Reply texts in the service's own style: JSON layout, key orders, dates, sizes, revs, types."""

import json
import time

_DAYS = ("Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun")
_MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")

# extension -> (mime_type, icon); anything else is application/octet-stream with page_white
_TYPES = {
    "txt": ("text/plain", "page_white_text"),
    "csv": ("text/csv", "page_white_text"),
    "md": ("text/plain", "page_white_text"),
    "json": ("application/json", "page_white_code"),
    "xml": ("application/xml", "page_white_code"),
    "html": ("text/html", "page_white_code"),
    "htm": ("text/html", "page_white_code"),
    "js": ("application/javascript", "page_white_code"),
    "css": ("text/css", "page_white_code"),
    "jpg": ("image/jpeg", "page_white_picture"),
    "jpeg": ("image/jpeg", "page_white_picture"),
    "png": ("image/png", "page_white_picture"),
    "gif": ("image/gif", "page_white_picture"),
    "bmp": ("image/bmp", "page_white_picture"),
    "tif": ("image/tiff", "page_white_picture"),
    "tiff": ("image/tiff", "page_white_picture"),
    "pdf": ("application/pdf", "page_white_acrobat"),
    "zip": ("application/zip", "page_white_compressed"),
    "gz": ("application/x-gzip", "page_white_compressed"),
    "doc": ("application/msword", "page_white_word"),
    "docx": ("application/vnd.openxmlformats-officedocument.wordprocessingml.document", "page_white_word"),
    "xls": ("application/vnd.ms-excel", "page_white_excel"),
    "mp3": ("audio/mpeg", "page_white_sound"),
    "epub": ("application/epub+zip", "page_white_book"),
}

FILE_KEYS = ("revision", "rev", "thumb_exists", "bytes", "modified", "client_mtime", "path", "is_dir",
             "icon", "root", "mime_type", "size")
FOLDER_KEYS = ("revision", "rev", "thumb_exists", "bytes", "modified", "path", "is_dir", "icon", "root", "size")
LISTING_KEYS = ("hash", "revision", "rev", "thumb_exists", "bytes", "modified", "path", "is_dir", "icon", "root",
                "contents", "size")
ROOT_KEYS = ("hash", "thumb_exists", "bytes", "path", "is_dir", "size", "root", "contents", "icon")
CHUNK_KEYS = ("expires", "upload_id", "offset")


def dumps(obj):
    """One-line JSON with the default separators; non-ASCII as \\uXXXX, '/' left alone."""
    return json.dumps(obj)


def ordered(values, keys):
    """A dict holding `values` in the order of `keys`, keys missing from `values` left out."""
    return {k: values[k] for k in keys if k in values}


def http_date(ts):
    """`Wed, 29 Oct 2014 19:30:19 +0000` for a POSIX time, independent of the locale."""
    t = time.gmtime(ts)
    return "%s, %02d %s %04d %02d:%02d:%02d +0000" % (
        _DAYS[t.tm_wday], t.tm_mday, _MONTHS[t.tm_mon - 1], t.tm_year, t.tm_hour, t.tm_min, t.tm_sec)


def parse_date(text):
    """POSIX time of a date in the service's format; ValueError when it is not one."""
    import calendar
    parts = text.replace(",", "").split()
    if len(parts) != 6 or parts[5] != "+0000" or parts[2] not in _MONTHS:
        raise ValueError("not a service date: %r" % text)
    h, m, s = (int(x) for x in parts[4].split(":"))
    return calendar.timegm((int(parts[3]), _MONTHS.index(parts[2]) + 1, int(parts[1]), h, m, s))


def human_size(n):
    """`14 bytes`, `1 KB`, `1.2 KB`, `53.7 MB`: one decimal with a trailing `.0` dropped."""
    if n < 1024:
        return "%d bytes" % n
    value = float(n)
    for unit in ("KB", "MB", "GB", "TB", "PB"):
        value /= 1024.0
        if value < 1024 or unit == "PB":
            break
    text = "%.1f" % value
    if text.endswith(".0"):
        text = text[:-2]
    return "%s %s" % (text, unit)


def rev(revision, namespace):
    """Lower-case hex revision followed by the 8-hex-digit namespace id."""
    return "%x%08x" % (revision, namespace)


def file_type(name):
    """(mime_type, icon) of a file name by its extension."""
    base = name.rsplit("/", 1)[-1]
    ext = base.rsplit(".", 1)[-1].lower() if "." in base else ""
    return _TYPES.get(ext, ("application/octet-stream", "page_white"))
