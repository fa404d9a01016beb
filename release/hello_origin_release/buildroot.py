"""The pinned build root, for hosts that are not the build environment: made with mmdebstrap from
release/build-environment, kept in the user's cache under the file's digest, checked before each use and made
anew when damaged; and the command that runs a build step inside it."""
from __future__ import annotations

import fcntl
import hashlib
import lzma
import os
import shutil
import stat
import subprocess
import urllib.parse
import urllib.request
from pathlib import Path
from typing import Callable, Mapping

from . import files
from .environment import Environment, differences, installed

# Beside the pinned packages, at the suite's versions: the configure step's
# checks of the trusted domain, which judge it and make no byte.
UNPINNED = ("publicsuffix", "psl", "idn2")
NO_PRIVILEGE = {
    True: "cannot make or enter the pinned build root here: as root, unshare cannot give it a mount namespace of "
          "its own (run a container with --privileged; in a chroot, make its / a mount point)",
    False: "cannot make or enter the pinned build root here: not root, and this host allows no user namespaces; "
           "run as root (sudo), or allow unprivileged user namespaces (sysctl kernel.unprivileged_userns_clone=1; "
           "on Ubuntu kernel.apparmor_restrict_unprivileged_userns=0)"}
ELSEWHERE = ", or build on Debian {suite} with the versions of release/build-environment"
# Run by unshare in a mount namespace of its own, so that nothing stays
# mounted: the root gets the host's devices, a /tmp of its own, and the build
# folder at the same path as outside; the build sees a fixed environment.
ENTER = """set -eu
root=$1 place=$2
shift 2
mkdir -p "$root/dev" "$root/tmp"
mount --rbind /dev "$root/dev"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
mkdir -p "$root$place"
mount --bind "$place" "$root$place"
exec chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/ LC_ALL=C.UTF-8 TZ=UTC "$@"
"""


class Unavailable(Exception):
    """The pinned environment cannot be had here; the text says why and what the user can do."""


def cache_folder(environ: Mapping[str, str] = os.environ) -> Path:
    """Where roots are kept: $XDG_CACHE_HOME/hello-origin, or ~/.cache/hello-origin."""
    base = environ.get("XDG_CACHE_HOME", "")
    # The XDG rule: a relative path is ignored.
    if not base.startswith("/"):
        base = str(Path(environ.get("HOME") or "/") / ".cache")
    return Path(base) / "hello-origin"


def not_ours(folder: Path) -> str | None:
    """Why `folder` is not a folder of this user's alone; None when it is."""
    try:
        status = os.lstat(folder)
    except OSError as error:
        return f"{folder} cannot be read ({error.strerror})"
    if not stat.S_ISDIR(status.st_mode):
        return f"{folder} is not a folder"
    if status.st_uid != os.geteuid():
        return f"{folder} belongs to another user"
    if status.st_mode & 0o022:
        return f"{folder} may be written by others"
    return None


def tree_digest(root: Path) -> str:
    """The SHA-256 of the whole tree below `root`, walked in order without
    following a link: each entry's path, kind and mode, owner, a link's
    target, a device's number, and a regular file's content. A folder counts
    by what it holds: one that holds only folders, or nothing, as the mount
    point a build leaves behind does, counts for nothing."""
    digest = hashlib.sha256()
    for folder, folders, names in os.walk(root):
        folders.sort()
        entries = [(path, os.lstat(path)) for path in (os.path.join(folder, name) for name in sorted([*folders, *names]))]
        entries = [(path, status) for path, status in entries if not stat.S_ISDIR(status.st_mode)]
        if entries and folder != str(root):
            entries.insert(0, (folder, os.lstat(folder)))
        for path, status in entries:
            digest.update(f"{os.path.relpath(path, root)}\0{status.st_mode:o} {status.st_uid} {status.st_gid} "
                          f"{status.st_rdev}\0".encode(errors="surrogateescape"))
            if stat.S_ISLNK(status.st_mode):
                digest.update(os.fsencode(os.readlink(path)) + b"\0")
            elif stat.S_ISREG(status.st_mode):
                descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
                with os.fdopen(descriptor, "rb") as file:
                    digest.update(hashlib.file_digest(file, "sha256").digest())
    return digest.hexdigest()


def damage(environment: Environment, folder: Path) -> str | None:
    """Why the root kept in `folder` may not be used; None when it is whole:
    its folders are this user's alone, its making finished (the stamp,
    written last, names this environment), its dpkg database holds every
    pinned package at exactly its version, and the whole tree is, byte for
    byte and mode for mode, the one the stamp's digest was taken of."""
    root = folder / "root"
    for part in (folder, root):
        problem = not_ours(part)
        if problem is not None:
            return problem
    try:
        stamp = files.read_regular(str(folder / "stamp"), 1024).decode("ascii", "replace").split()
    except files.InputError:
        return "it has no stamp: its making did not finish"
    if len(stamp) != 2 or stamp[0] != environment.sha256:
        return "its stamp names another environment"
    found = differences(environment, installed([name for name, _ in environment.packages], root))
    if found:
        return "; ".join(found)
    try:
        if tree_digest(root) != stamp[1]:
            return "a file in it was changed, added or taken away since it was made"
    except OSError as error:
        return f"a file in it cannot be read ({error.strerror})"
    return None


def remove(folder: Path) -> None:
    """The folder and all in it, whatever modes the root's folders have."""
    if not folder.exists():
        return
    for path, folders, _ in os.walk(folder):
        os.chmod(path, 0o700)
        for name in folders:
            if not os.path.islink(os.path.join(path, name)):
                os.chmod(os.path.join(path, name), 0o700)
    shutil.rmtree(folder)


def namespaces() -> list[str]:
    """The unshare command that gives this process a mount namespace it may
    mount in: as root, its own; otherwise inside a user namespace."""
    for command in (["unshare", "--mount", "--fork"] if os.geteuid() == 0 else [],
                    ["unshare", "--user", "--map-root-user", "--mount", "--fork"]):
        if command and subprocess.run([*command, "--", "true"], stdin=subprocess.DEVNULL, capture_output=True,
                                      check=False).returncode == 0:
            return command
    return []


def enter(root: Path, place: Path) -> list[str]:
    """The prefix that runs a command in `root`, with `place` at its own path."""
    unshare = namespaces()
    return [*unshare, "--", "/bin/sh", "-c", ENTER, "enter", str(root), str(place.resolve())]


# Debian 12's main index for amd64: 8,790,396 bytes packed, 50,060,337 unpacked (2026-12-11).
MAX_INDEX_PACKED, MAX_INDEX = 64 << 20, 256 << 20


def packages_index(archive: str, environment: Environment) -> set[tuple[str, str]]:
    """The (package, version) pairs the archive's suite holds for the
    architecture: the index read within bounds of size and time, unpacked
    within a bound, each paragraph's fields read once."""
    url = f"{archive}/dists/{environment.suite}/main/binary-{environment.architecture}/Packages.xz"
    with urllib.request.urlopen(url, timeout=60) as response:
        packed = files.read_within(response, MAX_INDEX_PACKED, 300)
    unpacker = lzma.LZMADecompressor()
    text = unpacker.decompress(packed, max_length=MAX_INDEX)
    if not unpacker.eof:
        raise ValueError(f"the index unpacks to more than {MAX_INDEX} bytes, or is cut")
    found = set()
    for paragraph in text.split(b"\n\n"):
        fields = dict(line.split(b": ", 1) for line in paragraph.split(b"\n") if b": " in line and line[:1] != b" ")
        if b"Package" in fields and b"Version" in fields:
            found.add((fields[b"Package"].decode("utf-8", "replace"), fields[b"Version"].decode("utf-8", "replace")))
    return found


def why_not_made(environment: Environment, archive: str, log: Path) -> str:
    """One line on why mmdebstrap failed: a pinned version the archive lacks,
    no route to it, or else its log."""
    use = f"give an archive that holds them all with --mirror {environment.snapshot_archive}"
    first = "{} {}".format(*environment.packages[0])
    try:
        held = packages_index(archive, environment)
    except (OSError, ValueError, lzma.LZMAError, files.InputError) as error:
        return (f"could not make the pinned build environment: the archive {archive} cannot be reached ({error}); "
                f"it needs {first} and the other versions of release/build-environment: {use}")
    lacking = [f"{name} {version}" for name, version in environment.packages if (name, version) not in held]
    if lacking:
        more = f" (and {len(lacking) - 1} more)" if len(lacking) > 1 else ""
        return (f"could not make the pinned build environment: {lacking[0]}{more} is no longer in {archive} "
                f"({environment.suite}): {use}")
    return (f"could not make the pinned build environment: mmdebstrap failed, and says why in {log} (without root "
            "it needs subordinate ids for you in /etc/subuid and /etc/subgid, and newuidmap: package uidmap)")


def make(environment: Environment, folder: Path, mirror: str | None) -> None:
    """A root of the environment in `folder/root`, made by mmdebstrap as a
    tarball and unpacked by this user (so that this user can remove it), the
    stamp written last."""
    tool = shutil.which("mmdebstrap")
    if tool is None:
        raise Unavailable("cannot make the pinned build root: mmdebstrap is not installed (scripts/install-deps.sh "
                          "release installs it on Debian and Ubuntu; Fedora and Arch package it too)")
    remove(folder)
    (folder / "root").mkdir(mode=0o700, parents=True)
    os.chmod(folder, 0o700)
    tarball, log = folder / "root.tar", folder / "mmdebstrap.log"
    archive = mirror or environment.archive
    snapshot = urllib.parse.urlsplit(archive).hostname == "snapshot.debian.org"
    includes = ",".join([f"{name}={version}" for name, version in environment.packages] + list(UNPINNED))
    command = [tool, "--mode=root" if os.geteuid() == 0 else "--mode=unshare", "--variant=essential",
               "--format=tar", f"--architectures={environment.architecture}", f"--include={includes}",
               # An archive's snapshot serves Release files long past their date.
               *(['--aptopt=Acquire::Check-Valid-Until "false"'] if snapshot else []),
               environment.suite, str(tarball), archive]
    environ = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": os.environ.get("HOME", "/"),
               "LC_ALL": "C.UTF-8"}
    with open(log, "wb") as output:
        made = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                              env=environ, umask=0o022, check=False).returncode == 0
    if not made:
        tarball.unlink(missing_ok=True)
        raise Unavailable(why_not_made(environment, archive, log))
    # No device nodes: the build gets the host's /dev when it enters.
    subprocess.run(["tar", "-x", "--numeric-owner", "--exclude=./dev/*", "-f", str(tarball), "-C",
                    str(folder / "root")], stdin=subprocess.DEVNULL, env=environ, check=True)
    tarball.unlink()
    # No setuid or setgid program of the root's, which no update will mend, for anyone to run.
    for place, _, names in os.walk(folder / "root"):
        for name in names:
            path = os.path.join(place, name)
            mode = os.lstat(path).st_mode
            if stat.S_ISREG(mode) and mode & 0o6000:
                os.chmod(path, stat.S_IMODE(mode) & ~0o6000)
    (folder / "stamp").write_text(f"{environment.sha256} {tree_digest(folder / 'root')}\n")


def ready(environment: Environment, mirror: str | None, say: Callable[[str], None]) -> tuple[Path, int]:
    """The root of the environment, whole, made or made anew when it is not;
    and the descriptor of the lock that keeps another run from remaking it
    while this one builds in it (closed when the process ends)."""
    cache = cache_folder()
    cache.mkdir(mode=0o700, parents=True, exist_ok=True)
    problem = not_ours(cache)
    if problem is not None:
        raise Unavailable(f"cannot keep the pinned build root: {problem}; give a folder of your own with "
                          "XDG_CACHE_HOME")
    folder = cache / f"root-{environment.sha256}"
    lock = os.open(cache / f"root-{environment.sha256}.lock", os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o600)
    fcntl.flock(lock, fcntl.LOCK_EX)
    if not namespaces():
        raise Unavailable(NO_PRIVILEGE[os.geteuid() == 0] + ELSEWHERE.format(suite=environment.suite))
    why = damage(environment, folder)
    if why is None:
        say(f"build root: {folder} (kept, checked)")
        return folder / "root", lock
    if folder.exists():
        say(f"build root: {folder}: {why}; making it anew")
    say(f"build root: making {folder} with mmdebstrap from {mirror or environment.archive}")
    try:
        make(environment, folder, mirror)
    except subprocess.CalledProcessError as error:
        raise Unavailable(f"could not unpack the pinned build root: {error}") from error
    except OSError as error:
        raise Unavailable(f"could not make the pinned build root in {folder}: {error}") from error
    why = damage(environment, folder)
    if why is not None:
        raise Unavailable(f"the pinned build root made in {folder} is not the environment: {why}")
    return folder / "root", lock
