"""docs/host-guide.md kept in step with the code: every export of the header in the table of
return values, every code the download and the upload can send (and every code the header
names) in the table of codes, every message kind with its number, every diagnostic line the
library prints, the temporary name's prefix, and each message of the sequence diagrams saying
what to free and whether it is final. Reads files only: no Wine."""

import re

import pytest

from conftest import ROOT

GUIDE = (ROOT / "docs" / "host-guide.md").read_text()
HEADER = (ROOT / "include" / "velmora_sync.h").read_text()


def section(number):
    """The text of the guide's section `## number. ...` up to the next one."""
    match = re.search(rf"^## {number}\. .*?(?=^## \d+\. |\Z)", GUIDE, re.M | re.S)
    assert match, number
    return match[0]


def table_rows(text):
    """The rows of the Markdown tables in text, as lists of stripped cells (no header or rule rows)."""
    rows = []
    for line in text.splitlines():
        if line.startswith("|") and not re.match(r"^\|[-| ]+\|$", line):
            rows.append([cell.strip() for cell in line.strip("|").split("|")])
    return rows


def enum_codes(path, enum):
    """{name: value} of a C++ enum of numeric codes in a source file."""
    body = re.search(rf"enum {enum}\b[^{{]*\{{(.*?)\}};", (ROOT / path).read_text(), re.S)
    assert body, (path, enum)
    return {name: int(value) for name, value in re.findall(r"(k\w+)\s*=\s*(\d+)", body[1])}


def test_every_export_has_its_row_in_the_return_table():
    declared = set(re.findall(r"VELMORA_API\s+[\w\s*]+?\s+VELMORA_CALL\s+(\w+)\s*\(", HEADER))
    defined = {line.split()[0] for line in (ROOT / "src" / "exports.def").read_text().splitlines()
               if line.strip() and not re.match(r"\s*(EXPORTS|LIBRARY|;)", line)}
    assert declared == defined, declared ^ defined
    rows = [row for row in table_rows(section(2)) if row[0].startswith("`")]
    listed = [row[0].strip("`") for row in rows]
    assert sorted(listed) == sorted(declared), set(listed) ^ declared
    for row in rows:
        assert row[1] and row[2], row


@pytest.mark.parametrize("operation,path,enum", [
    pytest.param("download", "src/download/download_win32.cpp", "DownloadCode", id="download"),
    pytest.param("upload", "src/upload/upload_win32.cpp", "UploadCode", id="upload"),
])
def test_every_code_the_library_sends_is_in_the_codes_table(operation, path, enum):
    sent = enum_codes(path, enum)
    assert sent, enum
    rows = table_rows(section(4))
    documented = {row[2] for row in rows if row[0] == operation and row[1] == "2"}
    for name, code in sent.items():
        assert str(code) in documented, (name, code)
        (row,) = [row for row in rows if row[0] == operation and row[2] == str(code)]
        assert row[3] and not row[3].startswith("(not sent"), row
    # Codes the table says are never sent are indeed absent from the source.
    for row in rows:
        if row[0] == operation and row[3].startswith("(not sent"):
            assert int(row[2]) not in sent.values(), row


def test_every_code_the_header_names_is_in_the_codes_table():
    named = set(re.findall(r"\b(4\d{3}|5\d{3}|12\d{3})\b", HEADER))
    assert named
    cells = " ".join(" ".join(row[:3]) for row in table_rows(section(4)))
    for code in sorted(named):
        assert re.search(rf"\b{code}\b", cells), code


def test_every_message_kind_is_named_with_its_number():
    kinds = dict(re.findall(r"\b(Msg\w+)\s*=\s*(\d+)", HEADER))
    assert len(kinds) == 10, kinds
    listing = section(4)
    for name, number in kinds.items():
        assert f"{number} `{name}`" in listing, (name, number)


def test_every_diagnostic_line_is_described():
    lines = []
    for source in (ROOT / "src").rglob("*.cpp"):
        if "testhook" in source.name:
            continue
        text = source.read_text()
        # Lines go out only through DiagnosticLine: the toolchain's printf holds a lock of the
        # whole runtime while it waits on stdout.
        assert "printf(" not in re.sub(r"\b(sn|sw|wsn|ws|_sn)printf[AW]?\(", "", text), source
        for literal in re.findall(r'DiagnosticLine\(\)\s*<<\s*"((?:[^"\\]|\\.)*)"', text):
            lines.append(literal.replace("\\n", "").replace("\\r", "").strip())
    assert len(lines) == 3, lines
    described = section(10)
    for start in lines:
        assert f"`{start}" in described, start


def test_the_temporary_name_is_the_one_the_download_makes():
    source = (ROOT / "src" / "download" / "download_win32.cpp").read_text()
    prefix = re.search(r'kPartPrefix\[\] = L"([^"]+)"', source)[1]
    digits = re.search(r'L"%ls%0(\d)lx"', source)[1]
    assert f"named `{prefix}` and {digits}\nhexadecimal digits" in section(9)
    assert "FILE_ATTRIBUTE_HIDDEN" in source and "`FILE_ATTRIBUTE_HIDDEN`" in section(9)
    assert "CREATE_NEW" in source and "`CREATE_NEW`" in section(9)


def test_every_diagram_message_says_what_to_free_and_whether_it_is_final():
    diagrams = re.findall(r"```mermaid\n(.*?)```", GUIDE, re.S)
    assert diagrams
    for diagram in diagrams:
        assert diagram.startswith("sequenceDiagram\n"), diagram
        for line in diagram.splitlines():
            message = re.match(r"\s*W->>H: (.*)", line)
            if message:
                text = message[1]
                assert re.search(r"\(free [RMP][^)]*\)", text), line
                assert text.endswith(("FINAL", "not final")), line
                kind = re.match(r"kind (\d+|K) ", text)
                assert kind, line
                if text.endswith("FINAL"):
                    assert kind[1] in ("K", "19", "20", "21", "22", "23"), line
                else:
                    assert kind[1] in ("K", "16", "24"), line
