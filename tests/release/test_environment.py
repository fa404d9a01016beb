"""The build environment's file, versions, kept roots' damage (fake roots, no network), and why no root was made."""
from __future__ import annotations

import contextlib
import hashlib
import io
import lzma
import os
import tempfile
import unittest
from unittest import mock
from pathlib import Path

from hello_origin_release import buildroot, cli, environment

CHANGED = "a file in it was changed, added or taken away since it was made"
GOOD = ("# pinned\nsuite: bookworm\narchitecture: amd64\narchive: http://deb.debian.org/debian/\n"
        "snapshot: 20260712T000000Z\npackage: cmake 3.25.1-1\npackage: libgmp10 2:6.2.1+dfsg1-1.1\n")
PINNED = environment.parse(GOOD)
FILES = {"cmake": {"usr/bin/cmake": b"cmake"}, "libgmp10": {"usr/lib/libgmp.so.10": b"gmp"}}


def fake_root(folder: Path, versions: dict[str, str]) -> None:
    info = folder / "root/var/lib/dpkg/info"
    info.mkdir(parents=True)
    (info.parent / "status").write_text("".join(
        f"Package: {name}\nStatus: install ok installed\nArchitecture: amd64\nVersion: {version}\n\n"
        for name, version in versions.items()))
    for name, files in FILES.items():
        (info / (f"{name}:amd64.md5sums" if name.startswith("lib") else f"{name}.md5sums")).write_text("".join(
            f"{hashlib.md5(data).hexdigest()}  {path}\n" for path, data in files.items()))
        for path, data in files.items():
            (folder / "root" / path).parent.mkdir(parents=True, exist_ok=True)
            (folder / "root" / path).write_bytes(data)
    (folder / "stamp").write_text(f"{PINNED.sha256} {buildroot.tree_digest(folder / 'root')}\n")


class Environment(unittest.TestCase):
    def test_file(self) -> None:
        rows = [
            ("the project's own", environment.FILE.read_text(), None),
            ("an unknown field", GOOD + "mirror: http://a/\n", "line 8: not 'suite'"),
            ("a field again", GOOD + "suite: trixie\n", "line 8: suite given again"),
            ("a package again", GOOD + "package: cmake 3.31.6-2\n", "line 8: package cmake named again"),
            ("a comma in a name", GOOD.replace("cmake 3", "cmake,gdb 3"), "line 6: package: not in its form"),
            ("a version ending in a hyphen", GOOD.replace("3.25.1-1", "3.25.1-"), "line 6: package"),
            ("an archive not on http", GOOD.replace("http://deb", "ftp://deb"), "line 4: archive: not in"),
            ("an archive with a space", GOOD.replace("debian/", "debian /"), "line 4: archive: not in"),
            ("no snapshot", GOOD.replace("snapshot: 20260712T000000Z\n", ""), "no snapshot"),
            ("no package", GOOD.split("package")[0], "no package"),
            ("no line end last", GOOD[:-1], "the last line has no line end"),
        ]
        for name, text, error in rows:
            with self.subTest(name):
                if error is None:
                    self.assertEqual(environment.parse(text).suite, "bookworm")
                    continue
                with self.assertRaises(environment.EnvironmentFileError) as raised:
                    environment.parse(text)
                self.assertIn(error, str(raised.exception))
        self.assertEqual((PINNED.archive, PINNED.packages[1]), ("http://deb.debian.org/debian",
                                                                ("libgmp10", "2:6.2.1+dfsg1-1.1")))

    def test_versions(self) -> None:
        gmp = {("2:6.2.1+dfsg1-1.1", "amd64"), ("2:6.2.1+dfsg1-1.1", "i386")}
        rows = [
            ("exactly the pinned", {"cmake": {("3.25.1-1", "amd64")}, "libgmp10": gmp}, []),
            ("for all architectures", {"cmake": {("3.25.1-1", "all")}, "libgmp10": gmp}, []),
            ("another version", {"cmake": {("3.31.6-2", "amd64")}, "libgmp10": gmp}, ["cmake is 3.31.6-2, not 3.25.1-1"]),
            ("for another architecture only", {"cmake": {("3.25.1-1", "arm64")}, "libgmp10": gmp},
             ["cmake 3.25.1-1 is not installed"]),
            ("nothing", {}, ["cmake 3.25.1-1 is not installed", "libgmp10 2:6.2.1+dfsg1-1.1 is not installed"]),
        ]
        for name, versions, expected in rows:
            with self.subTest(name):
                self.assertEqual(environment.differences(PINNED, versions), expected)

    def test_host(self) -> None:
        absent = environment.parse(GOOD.split("package")[0] + "package: no-such-package-here 1.0\n")
        rows = [
            ("Debian 13", "ID=debian\nVERSION_CODENAME=trixie\n", ["the host is debian trixie, not debian bookworm"]),
            ("the suite, quoted: then dpkg's database", "ID='debian'\nVERSION_CODENAME=\"bookworm\"\n",
             ["no-such-package-here 1.0 is not installed"]),
        ]
        with tempfile.TemporaryDirectory() as folder:
            for name, text, expected in rows:
                with self.subTest(name):
                    (Path(folder) / "os-release").write_text(text)
                    self.assertEqual(environment.host_differences(absent, Path(folder) / "os-release"), expected)

    def test_kept_root(self) -> None:
        def rewrite(path: str, old: str, new: str) -> None:
            (folder / path).write_text((folder / path).read_text().replace(old, new))
        rows = [
            ("whole", lambda: None, None),
            ("the empty folders a build's mount point leaves", lambda: os.makedirs(folder / "root/srv/a/build"), None),
            ("no stamp", lambda: (folder / "stamp").unlink(), "it has no stamp: its making did not finish"),
            ("another environment's stamp", lambda: rewrite("stamp", PINNED.sha256[:8], "00000000"),
             "its stamp names another environment"),
            ("another version", lambda: rewrite("root/var/lib/dpkg/status", "3.25.1-1", "3.25.1-2"),
             "cmake is 3.25.1-2, not 3.25.1-1"),
            ("half installed", lambda: rewrite("root/var/lib/dpkg/status", "ok installed\nArchitecture: amd64\n"
                                               "Version: 2", "ok half-installed\nArchitecture: amd64\nVersion: 2"),
             "libgmp10 2:6.2.1+dfsg1-1.1 is not installed"),
            ("gone from the database", lambda: rewrite("root/var/lib/dpkg/status", "Package: libgmp10", "Package: gmp"),
             "libgmp10 2:6.2.1+dfsg1-1.1 is not installed"),
            ("a file changed", lambda: rewrite("root/usr/bin/cmake", "cmake", "cmakf"), CHANGED),
            ("a file gone", lambda: (folder / "root/usr/lib/libgmp.so.10").unlink(), CHANGED),
            ("a list of files emptied", lambda: rewrite("root/var/lib/dpkg/info/cmake.md5sums", "  usr", ""), CHANGED),
            ("a FIFO added", lambda: os.mkfifo(folder / "root/usr/fifo"), CHANGED),
            ("a mode changed", lambda: os.chmod(folder / "root/usr/bin/cmake", 0o4755), CHANGED),
            ("a folder others may write", lambda: os.chmod(folder / "root", 0o775), "{folder}/root may be written by "
             "others"),
            ("a link for the root", lambda: (os.rename(folder / "root", folder / "elsewhere"), os.symlink(
                "elsewhere", folder / "root")), "{folder}/root is not a folder"),
        ]
        with tempfile.TemporaryDirectory() as top:
            for number, (name, damage, expected) in enumerate(rows):
                with self.subTest(name):
                    folder = Path(top) / str(number)
                    fake_root(folder, {"cmake": "3.25.1-1", "libgmp10": "2:6.2.1+dfsg1-1.1"})
                    damage()
                    self.assertEqual(buildroot.damage(PINNED, folder), expected and expected.format(folder=folder))
            fake_root(folder := Path(top) / "theirs", {"cmake": "3.25.1-1", "libgmp10": "2:6.2.1+dfsg1-1.1"})
            with mock.patch("os.geteuid", return_value=os.geteuid() + 1):
                self.assertEqual(buildroot.damage(PINNED, folder), f"{folder} belongs to another user")
            os.chmod(folder / "root/usr", 0o555)
            buildroot.remove(folder)
            self.assertFalse(folder.exists())

    def test_why_not_made(self) -> None:
        with tempfile.TemporaryDirectory() as folder:
            index = Path(folder) / "dists/bookworm/main/binary-amd64/Packages.xz"
            index.parent.mkdir(parents=True)
            index.write_bytes(lzma.compress(b"Package: cmake\nArchitecture: amd64\nVersion: 3.25.1-1\n\n"
                                            b"Package: libgmp10\nVersion: 2:6.2.1+dfsg1-1\n"))
            whole = environment.parse(GOOD.replace("package: libgmp10 2:6.2.1+dfsg1-1.1\n", ""))
            rows = [
                ("a version the archive lacks", PINNED, f"file://{folder}",
                 f"libgmp10 2:6.2.1+dfsg1-1.1 is no longer in file://{folder} (bookworm): give an archive that holds "
                 "them all with --mirror https://snapshot.debian.org/archive/debian/20260712T000000Z/"),
                ("no route", PINNED, "http://127.0.0.1:9/debian", "http://127.0.0.1:9/debian cannot be reached"),
                ("every version there", whole, f"file://{folder}", "mmdebstrap failed, and says why in /log"),
            ]
            for name, pinned, archive, expected in rows:
                with self.subTest(name):
                    self.assertIn(expected, buildroot.why_not_made(pinned, archive, Path("/log")))

    def test_cache_and_mirror(self) -> None:
        for environ, expected in [({"XDG_CACHE_HOME": "/c", "HOME": "/h"}, "/c/hello-origin"),
                                  ({"XDG_CACHE_HOME": "c", "HOME": "/h"}, "/h/.cache/hello-origin")]:
            self.assertEqual(buildroot.cache_folder(environ), Path(expected))
        for options, expected in [({"--mirror": ["https://snapshot.debian.org/archive/debian/1/"]}, "https://"),
                                  ({}, None), ({"--mirror": ["--hook=x"]}, 2),
                                  ({"--mirror": ["http://a/debian"], "--host-tools": []}, 2)]:
            with self.subTest(options), contextlib.redirect_stderr(io.StringIO()):
                try:
                    found = cli.wrong_mirror(options, "", "test")
                except SystemExit as exit:
                    found = exit.code
                self.assertEqual(found[:8] if isinstance(found, str) else found, expected)
