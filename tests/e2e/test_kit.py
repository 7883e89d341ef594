"""The kit for host developers. The two zips that scripts/package writes are made here by cpack
from the win32 and win64 builds, into a temporary folder; each is unzipped and checked for what it
holds, its binaries for their version resource, their debug link and their imports; from its
contents alone the sample host is built with the matching mingw toolchain and a small C host is
linked against each import library (the MSVC one with lld-link); those of the build under test
(scripts/e2e --arch) run under its Wine against the stand-in. Also: the version check of the header, the guide's install rule, the host's
--version and scripts/with-standin."""

import dataclasses
import json
import os
import pathlib
import re
import shutil
import subprocess
import zipfile
import zlib

import pytest

from conftest import ARCH, DLL_NAMES, ROOT, TEST_USER, build_dir, run_wine, windows_path

KIT_SOURCES = pathlib.Path(__file__).resolve().parent / "kit"
VERSION = re.search(r"project\(VelmoraSync VERSION (\d+\.\d+\.\d+)", (ROOT / "CMakeLists.txt").read_text())[1]
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "crypt32.dll", "wininet.dll", "shell32.dll",
               "msvcrt.dll"}
# What only the test build may contain (as tests/abi checks for the build's DLL).
TEST_BUILD_MARKERS = (b"VELMORA_FAULTS", b"VELMORA_WATCH_SECRET", b"VelmoraDebug", b"faults_on", b"testhook")
# The exports the import host calls.
IMPORT_HOST_EXPORTS = {"ConvertToFILETIME", "GetAccessCreds", "DBFolderInitialization", "GetNumberOfRemoteFiles",
                       "FreeDropBoxMemory", "KillDropBoxThread"}
TRIP_NOTES = bytes(i * 31 % 251 for i in range(700_000))  # three upload chunks, many download pieces


@dataclasses.dataclass
class Arch:
    name: str
    dll: str            # the DLL's name without .dll
    triplet: str        # of the mingw toolchain
    image_format: str   # as objdump -f names it
    entry: str          # the import host's entry symbol for the linkers
    clang_flags: tuple  # for the MSVC-style object of the import host
    lld_flags: tuple

    def tool(self, name):
        return f"{self.triplet}-{name}"


# clang in MSVC mode with mingw's Windows headers (the only ones on the machine): they need
# __GNUC__ for their attributes, and _X86_ to pick the 32-bit definitions.
ARCHS = {
    "win32": Arch("win32", "VelmoraSync", "i686-w64-mingw32", "pei-i386", "_HostMain",
                  ("--target=i686-pc-windows-msvc", "-D_X86_"), ("/safeseh:no",)),
    "win64": Arch("win64", "VelmoraSync64", "x86_64-w64-mingw32", "pei-x86-64", "HostMain",
                  ("--target=x86_64-pc-windows-msvc",), ()),
}


@dataclasses.dataclass
class Package:
    arch: Arch
    zip: pathlib.Path
    root: pathlib.Path  # the unzipped top folder
    names: list         # the files of the zip, relative to its top folder

    @property
    def dll(self):
        return self.root / "bin" / f"{self.arch.dll}.dll"

    @property
    def host(self):
        return self.root / "bin" / "velmora-sync.exe"

    def debug_file(self, binary):
        """The debug file cpack puts beside the zip for a binary of bin/."""
        name = f"{self.arch.dll}.dll.debug" if binary.suffix == ".dll" else f"velmora-sync-{self.arch.name}.exe.debug"
        return self.zip.parent / name


def run(args, timeout=300, **kwargs):
    done = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=timeout, **kwargs)
    assert done.returncode == 0, f"{' '.join(map(str, args))}\n{done.stdout}\n{done.stderr}"
    return done.stdout


def arch_build_dir(arch):
    return build_dir() if arch == ARCH else ROOT / "build" / arch


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    """Both packages, made by cpack from the builds (which it brings up to date first) into a
    temporary folder, and unzipped."""
    dist = tmp_path_factory.mktemp("dist")
    made = {}
    for name, arch in ARCHS.items():
        config = arch_build_dir(name) / "CPackConfig.cmake"
        if not config.exists():
            pytest.fail(f"{config.parent} is not configured: cmake --preset {name} && cmake --build --preset {name}")
        run(["cpack", "--config", config, "-B", dist], timeout=1800)
        archive = dist / f"velmora-sync-{VERSION}-{name}.zip"
        unzipped = tmp_path_factory.mktemp(f"unzipped-{name}")
        with zipfile.ZipFile(archive) as opened:
            opened.extractall(unzipped)
            top = f"velmora-sync-{VERSION}-{name}/"
            assert all(n.startswith(top) for n in opened.namelist()), opened.namelist()
            names = sorted(n[len(top):] for n in opened.namelist() if not n.endswith("/"))
        made[name] = Package(arch, archive, unzipped / top, names)
    return made


def section_names(arch, binary):
    headers = run([arch.tool("objdump"), "-h", binary])
    return re.findall(r"^\s*\d+\s+(\S+)", headers, re.M)


def imports(arch, binary):
    """{DLL name (lower case): [imported names]} of a PE image."""
    found, current = {}, None
    for line in run([arch.tool("objdump"), "-p", binary]).splitlines():
        dll = re.match(r"\s*DLL Name: (\S+)", line)
        if dll:
            current = found.setdefault(dll[1].lower(), [])
            continue
        entry = re.match(r"\s*[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if current is not None and entry:
            current.append(entry[1])
        elif current is not None and not line.strip():
            current = None
    return found


def exported_names(arch, binary):
    table = run([arch.tool("objdump"), "-p", binary]).split("[Ordinal/Name Pointer] Table", 1)[1]
    return re.findall(r"^\s+\[\s*\d+\]\s+(\S+)\s*$", table, re.M)


def def_exports(text):
    return [line.split(";")[0].split()[0] for line in text.splitlines()
            if line.split(";")[0].strip() and line.split()[0] not in ("EXPORTS", "LIBRARY")]


def header_version(header_text):
    parts = {part: re.search(rf"#define VELMORA_SYNC_VERSION_{part} +(\S+)", header_text)[1]
             for part in ("MAJOR", "MINOR", "PATCH", "STRING")}
    return f"{parts['MAJOR']}.{parts['MINOR']}.{parts['PATCH']}", parts["STRING"].strip('"')


# ---- what each zip holds ----

@pytest.mark.parametrize("arch", ARCHS)
def test_zip_holds_the_kit(packages, arch):
    package = packages[arch]
    dll = package.arch.dll
    expected = {f"bin/{dll}.dll", "bin/velmora-sync.exe", "include/velmora_sync.h", f"lib/{dll}.def",
                f"lib/lib{dll}.dll.a", f"lib/{dll}.lib", "examples/minimal-host.c", "docs/host-guide.md", "README.md",
                "CHANGELOG.md"}
    assert set(package.names) == expected
    for source, packaged in (("include/velmora_sync.h", "include/velmora_sync.h"),
                             ("examples/minimal-host.c", "examples/minimal-host.c"),
                             ("docs/host-guide.md", "docs/host-guide.md"), ("CHANGELOG.md", "CHANGELOG.md")):
        assert (package.root / packaged).read_bytes() == (ROOT / source).read_bytes(), packaged
    definition = (package.root / "lib" / f"{dll}.def").read_text()
    assert definition.splitlines()[0] == f"LIBRARY {dll}.dll"
    assert def_exports(definition) == def_exports((ROOT / "src" / "exports.def").read_text())
    readme = (package.root / "README.md").read_text()
    assert "@" not in readme, readme
    listed = set(re.findall(r"^\| `([^`]+)` \|", readme, re.M))
    assert listed == expected - {"README.md"}, listed
    assert f"## {VERSION}" in (package.root / "CHANGELOG.md").read_text()


@pytest.mark.parametrize("guide", [pytest.param(True, id="guide-present"), pytest.param(False, id="no-guide")])
def test_install_takes_the_guide_only_when_there_is_one(tmp_path, guide):
    """The install rule reads the guide at install time: a package without one has neither the file
    nor a line about it."""
    source = tmp_path / "guide.md"
    if guide:
        source.write_text("# Host guide\nevery message of every operation\n")
    prefix = tmp_path / "installed"
    run(["cmake", f"-DCMAKE_INSTALL_PREFIX={prefix}", f"-DVELMORA_HOST_GUIDE={source}", "-P",
         build_dir() / "cmake_install.cmake"])
    readme = (prefix / "README.md").read_text()
    table = [line for line in readme.splitlines() if line.startswith("| `")]
    if guide:
        assert (prefix / "docs" / "host-guide.md").read_text() == source.read_text()
        assert [line for line in table if "`docs/host-guide.md`" in line], readme
    else:
        assert not (prefix / "docs").exists()
        assert "guide" not in readme
    # The table stays one table: no blank line where the guide's row would be.
    start = readme.index("| path |")
    rows = readme[start:].split("\n\n", 1)[0].splitlines()
    assert len(rows) == len(table) + 2, rows


@pytest.mark.parametrize("stated, accepted", [
    pytest.param(VERSION, True, id="header-in-step"),
    pytest.param("9.8.7", False, id="header-behind"),
])
def test_configuring_checks_the_header_version(tmp_path, stated, accepted):
    """The header's macros must state the project's version: a tree whose header says another
    version does not configure."""
    tree = tmp_path / "tree"
    tree.mkdir()
    for part in ("CMakeLists.txt", "cmake", "include", "src", "host", "tests/unit"):
        (shutil.copytree if (ROOT / part).is_dir() else shutil.copy)(ROOT / part, tree / part)
    header = tree / "include" / "velmora_sync.h"
    major, minor, patch = stated.split(".")
    text = header.read_text()
    for part, value in (("MAJOR", major), ("MINOR", minor), ("PATCH", patch), ("STRING", f'"{stated}"')):
        text = re.sub(rf"(#define VELMORA_SYNC_VERSION_{part} +)\S+", lambda m: m[1] + value, text)
    header.write_text(text)
    done = subprocess.run(["cmake", "-S", tree, "-B", tmp_path / "build", "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug"],
                          capture_output=True, text=True, timeout=300)
    assert (done.returncode == 0) == accepted, done.stdout + done.stderr
    assert ("states version 9.8.7" in done.stderr) == (not accepted), done.stderr


# ---- the binaries ----

BINARIES = [pytest.param(arch, binary, id=f"{arch}-{binary}") for arch in ARCHS for binary in ("dll", "host")]


def binary_of(package, binary):
    return package.dll if binary == "dll" else package.host


@pytest.mark.parametrize("arch, binary", BINARIES)
def test_binaries_are_stripped_and_link_their_debug_file(packages, tmp_path, arch, binary):
    package = packages[arch]
    image = binary_of(package, binary)
    sections = section_names(package.arch, image)
    assert not [s for s in sections if s.startswith(".debug") or s.startswith(".zdebug")], sections
    assert ".gnu_debuglink" in sections
    link = tmp_path / "debuglink"
    run([package.arch.tool("objcopy"), f"--dump-section=.gnu_debuglink={link}", image, tmp_path / "ignored"])
    raw = link.read_bytes()
    name = raw[:raw.index(b"\0")].decode()
    debug_file = package.debug_file(image)
    assert name == debug_file.name
    assert int.from_bytes(raw[-4:], "little") == zlib.crc32(debug_file.read_bytes())
    assert ".debug_info" in section_names(package.arch, debug_file)


@pytest.mark.parametrize("arch, binary", BINARIES)
def test_binaries_carry_the_version_resource(packages, arch, binary):
    package = packages[arch]
    image = binary_of(package, binary)
    script = run([package.arch.tool("windres"), "-i", image, "-O", "rc"])
    numbers, text = header_version((package.root / "include" / "velmora_sync.h").read_text())
    assert numbers == text == VERSION
    dotted = ", ".join(VERSION.split(".") + ["0"])
    assert re.search(rf"^ FILEVERSION {dotted}$", script, re.M), script
    assert re.search(rf"^ PRODUCTVERSION {dotted}$", script, re.M), script
    values = dict(re.findall(r'VALUE "(\w+)", "([^"]*)"', script))
    described = "Velmora sync library" if binary == "dll" else "Velmora sync reference host"
    bits = "64" if arch == "win64" else "32"
    assert values == {"CompanyName": "Brevant", "FileDescription": f"{described} ({bits}-bit)",
                      "FileVersion": VERSION, "InternalName": image.stem, "OriginalFilename": image.name,
                      "ProductName": "Velmora Sync", "ProductVersion": VERSION}


@pytest.mark.parametrize("arch", ARCHS)
def test_dll_exports_the_list_imports_system_dlls_and_holds_nothing_of_the_test_build(packages, arch):
    package = packages[arch]
    assert f"file format {package.arch.image_format}" in run([package.arch.tool("objdump"), "-f", package.dll])
    assert sorted(exported_names(package.arch, package.dll)) == sorted(
        def_exports((ROOT / "src" / "exports.def").read_text()))
    imported = set(imports(package.arch, package.dll))
    assert imported and imported <= SYSTEM_DLLS, imported - SYSTEM_DLLS
    image = package.dll.read_bytes()
    assert [m for m in TEST_BUILD_MARKERS if m in image] == []


# ---- hosts built from a package alone ----

@pytest.fixture(scope="module")
def import_hosts(packages, tmp_path_factory):
    """{(arch, linker): exe}: kit/import_host.c linked against the package's mingw import library by
    mingw's gcc, and against its MSVC import library by lld-link (object made by clang in MSVC
    mode); no C runtime in either."""
    out = tmp_path_factory.mktemp("import-hosts")
    source = KIT_SOURCES / "import_host.c"
    built = {}
    for name, package in packages.items():
        arch, include, lib = package.arch, package.root / "include", package.root / "lib"
        mingw = out / f"import-host-{name}-mingw.exe"
        run([arch.tool("gcc"), "-Wall", "-Wextra", "-Werror", "-O1", f"-I{include}", "-nostdlib", "-nostartfiles",
             f"-Wl,-e,{arch.entry}", source, f"-L{lib}", f"-l{arch.dll}", "-lkernel32", "-luser32", "-o", mingw])
        obj = out / f"import-host-{name}.obj"
        run(["clang", *arch.clang_flags, "-fgnuc-version=4.2.1", "-Wall", "-Wextra", "-Werror", "-O1",
             f"-I{include}", "-isystem", f"/usr/{arch.triplet}/include", "-c", source, "-o", obj])
        msvc = out / f"import-host-{name}-lld-link.exe"
        run(["lld-link", "/nologo", f"/entry:{arch.entry.lstrip('_')}", "/subsystem:console", "/nodefaultlib",
             *arch.lld_flags, f"/out:{msvc}", obj, lib / f"{arch.dll}.lib", f"/libpath:/usr/{arch.triplet}/lib",
             "libkernel32.a", "libuser32.a"])
        built[name, "mingw"], built[name, "lld-link"] = mingw, msvc
    return built


IMPORT_HOSTS = [pytest.param(arch, linker, id=f"{arch}-{linker}") for arch in ARCHS for linker in ("mingw", "lld-link")]


@pytest.mark.parametrize("arch, linker", IMPORT_HOSTS)
def test_import_libraries_bind_the_undecorated_exports(packages, import_hosts, arch, linker):
    package = packages[arch]
    found = imports(package.arch, import_hosts[arch, linker])
    assert set(found) == {"kernel32.dll", "user32.dll", f"{package.arch.dll.lower()}.dll"}, found
    assert set(found[f"{package.arch.dll.lower()}.dll"]) == IMPORT_HOST_EXPORTS


def filetime_of(posix_seconds):
    return (posix_seconds + 11644473600) * 10_000_000


@pytest.mark.parametrize("linker", ["mingw", "lld-link"])
def test_import_linked_host_runs_against_the_standin(packages, import_hosts, linked, standin, tmp_path, linker):
    folder = tmp_path / "host"
    folder.mkdir()
    shutil.copy(import_hosts[ARCH, linker], folder / "import-host.exe")
    shutil.copy(packages[ARCH].dll, folder)
    done = run_wine([folder / "import-host.exe"], 120)
    assert done.returncode == 0, done
    values = dict(line.split("=", 1) for line in done.stdout.decode().splitlines() if "=" in line)
    filetime = filetime_of(1414611019)  # Wed, 29 Oct 2014 19:30:19 +0000
    assert values == {"creds": "0", "token": linked[0], "secret_present": "1", "folders": "0", "files": "2",
                      "filetime_high": str(filetime >> 32), "filetime_low": str(filetime & 0xFFFFFFFF),
                      "free_null": "-1", "kill_zero": "-1", "version": VERSION}, done
    for name in ("Highlights", "User Notes", "User Tools"):
        assert standin.metadata(f"/{name}")["is_dir"], name


@pytest.fixture(scope="module")
def sample_hosts(packages, tmp_path_factory):
    """{arch: exe} of examples/minimal-host.c as the package's README builds it (warnings as errors),
    and "checked": the one of the build under test inside kit/checked_sample.c."""
    out = tmp_path_factory.mktemp("sample-hosts")
    built = {}
    for name, package in packages.items():
        built[name] = out / f"minimal-host-{name}.exe"
        run([package.arch.tool("gcc"), "-municode", "-Wall", "-Wextra", "-Werror", f"-I{package.root / 'include'}",
             package.root / "examples" / "minimal-host.c", "-o", built[name]])
    package = packages[ARCH]
    built["checked"] = out / "checked-sample.exe"
    run([package.arch.tool("gcc"), "-municode", "-Wall", "-Wextra", "-Werror", f"-I{package.root / 'include'}",
         f"-I{package.root / 'examples'}", KIT_SOURCES / "checked_sample.c", "-o", built["checked"]])
    return built


@pytest.mark.parametrize("arch", ARCHS)
def test_sample_host_loads_the_library_at_run_time(packages, sample_hosts, arch):
    """It needs no import library: nothing of the library in its import table."""
    found = imports(packages[arch].arch, sample_hosts[arch])
    assert set(found) <= {"kernel32.dll", "user32.dll", "msvcrt.dll"}, found


# The sample's own lines on stdout (the library's diagnostic lines land there too).
SAMPLE_LINE = re.compile(r"(approve the access|account |uploaded |User Notes: |downloaded |deleted |check: "
                         r"|done$|stopped$)")


def sample_lines(done):
    """(the sample's own stdout lines, stderr)."""
    return [line for line in done.stdout.decode().splitlines() if SAMPLE_LINE.match(line)], done.stderr.decode()


def test_sample_host_links_transfers_and_cleans_up(packages, sample_hosts, standin, unlinked, browser_log, tmp_path):
    """First run, checked, against the test DLL: links through the browser, then every step; each
    block freed, each worker released and ended, the library unloaded. Second run, as shipped
    with the package's DLL beside it: the stored pair is used, the browser not started again."""
    log, env = browser_log
    standin.seed_file("/User Notes/kept.txt", b"the user's other note")
    standin.seed_file("/User Notes/Sub/deeper.txt", b"not counted: below a folder")
    standin.seed_file("/User Notes/second.txt", b"and another")
    local = tmp_path / "Trip notes.txt"
    local.write_bytes(TRIP_NOTES)
    copy = tmp_path / "fetched.txt"
    faults_dll = build_dir() / DLL_NAMES["faults"]

    done = run_wine([sample_hosts["checked"], "--dll", windows_path(faults_dll), windows_path(local),
                     windows_path(copy)], 300, env)
    lines, errors = sample_lines(done)
    assert done.returncode == 0, done
    assert re.fullmatch(r"User Notes: \d+ bytes of listing, 3 files", lines[3]), lines
    assert lines[:3] + lines[4:] == [
        "approve the access in the browser", "account linked", "uploaded User Notes/Trip notes.txt",
        "downloaded Trip notes.txt", "deleted User Notes/Trip notes.txt",
        "check: released=6 opened_first=6 waited=6 refused=0 ended=6 outstanding_blocks=0 out_of_memory=0 freed=1 "
        "unloaded=1", "done"], lines
    size = len(TRIP_NOTES)
    assert f"upload: {size} of {size} bytes (100%)" in errors and f"download: {size} of {size} bytes (100%)" in errors
    assert copy.read_bytes() == TRIP_NOTES
    assert standin.metadata("/User Notes/Trip notes.txt").get("is_deleted"), "the upload is still there"
    assert len(log.read_text().splitlines()) == 1

    folder = tmp_path / "shipped"
    folder.mkdir()
    shutil.copy(sample_hosts[ARCH], folder / "minimal-host.exe")
    shutil.copy(packages[ARCH].dll, folder)
    copy.unlink()
    done = run_wine([folder / "minimal-host.exe", windows_path(local), windows_path(copy)], 300, env)
    lines, errors = sample_lines(done)
    assert done.returncode == 0, done
    assert "account already linked" in lines and lines[-1] == "done", lines
    assert "could not be released" not in errors, errors
    assert copy.read_bytes() == TRIP_NOTES
    assert len(log.read_text().splitlines()) == 1, "the browser was started again"


# ---- --version ----

@pytest.mark.parametrize("json_output", [pytest.param(False, id="text"), pytest.param(True, id="json")])
def test_version_names_the_host_and_the_loaded_library(packages, json_output):
    package = packages[ARCH]
    done = run_wine([package.host, *(["--json"] if json_output else []), "--version"], 60)
    assert done.returncode == 0, done
    dll_path = windows_path(package.dll)
    if json_output:
        assert [json.loads(line) for line in done.stdout.decode().splitlines()] == [
            {"event": "version", "host": VERSION, "library_path": dll_path, "library": VERSION}]
    else:
        assert done.stdout.decode().splitlines() == [f"velmora-sync.exe {VERSION}", f"{dll_path} {VERSION}"]


def test_version_without_a_library_fails_after_the_host_version(packages, tmp_path):
    done = run_wine([packages[ARCH].host, "--dll", windows_path(tmp_path / "absent.dll"), "--version"], 60)
    assert done.returncode == 1, done
    # The version on stdout; the failure, as every failure of the host, on stderr.
    assert done.stdout.decode().splitlines() == [f"velmora-sync.exe {VERSION}"], done
    assert "error: cannot load" in done.stderr.decode(), done


# ---- scripts/with-standin ----

@pytest.mark.not_win32(reason="scripts/with-standin runs a program under wine64 in namespaces of its own; it has "
                               "no 32-bit mode, and runs the same in the 64-bit session")
def test_with_standin_runs_a_program_with_the_library_beside_it(tmp_path):
    """The sample host from the build, run through scripts/with-standin in namespaces of its own:
    the stand-in answers on https://localhost with the test CA trusted, the prefix's browser
    approves the link, and the library is found beside the program."""
    local = tmp_path / "note.txt"
    local.write_bytes(TRIP_NOTES[:300_000])
    # Only what a developer's shell would have: none of this run's Wine or e2e settings.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("WINE", "VELMORA_"))}
    env["USER"] = TEST_USER
    done = subprocess.run([ROOT / "scripts" / "with-standin", build_dir() / "minimal-host.exe", "note.txt",
                           "copy.txt"], cwd=tmp_path, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, done
    assert "with-standin: service listening on https://localhost:443\n" in done.stderr
    assert "stand-in:" not in done.stderr, done.stderr
    lines = done.stdout.splitlines()
    assert "account linked" in lines and lines[-1] == "done", done.stdout
    assert (tmp_path / "copy.txt").read_bytes() == local.read_bytes()
