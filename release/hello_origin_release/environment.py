"""The release's build environment: the file that pins it (release/build-environment), its strict reader, and
whether a system, this host or a build root, holds exactly what it pins, as dpkg's database says."""
from __future__ import annotations

import dataclasses
import hashlib
import re
import subprocess
from pathlib import Path

FILE = Path(__file__).resolve().parents[1] / "build-environment"

# Debian's forms (policy 5.6.1, 5.6.12). Nothing else passes, so no value can
# carry a comma into mmdebstrap's package list or an option into a command.
PACKAGE = r"[a-z0-9][a-z0-9+.-]+"
VERSION = r"(?:[0-9]+:)?[0-9](?:[A-Za-z0-9.+~-]*[A-Za-z0-9.+~])?"
FORMS = {
    "suite": r"[a-z]+",
    "architecture": r"[a-z0-9]+",
    "archive": r"https?://[A-Za-z0-9.-]+(?::[0-9]{1,5})?(?:/[A-Za-z0-9._~%/-]*)?",
    "snapshot": r"[0-9]{8}T[0-9]{6}Z",
    "package": f"({PACKAGE}) ({VERSION})",
}
SNAPSHOT_ARCHIVE = "https://snapshot.debian.org/archive/debian/{}/"


class EnvironmentFileError(Exception):
    """The file is not in its form; the text names the line."""


@dataclasses.dataclass(frozen=True)
class Environment:
    suite: str
    architecture: str
    archive: str
    snapshot: str
    packages: tuple[tuple[str, str], ...]
    text: str

    @property
    def sha256(self) -> str:
        return hashlib.sha256(self.text.encode()).hexdigest()

    @property
    def snapshot_archive(self) -> str:
        return SNAPSHOT_ARCHIVE.format(self.snapshot)


def parse(text: str) -> Environment:
    """The environment a file names: each of its fields once, one line for
    each package, comments and blank lines; anything else is refused."""
    single: dict[str, str] = {}
    packages: dict[str, str] = {}
    if not text.endswith("\n"):
        raise EnvironmentFileError("the last line has no line end")
    for number, line in enumerate(text[:-1].split("\n"), 1):
        if line == "" or line.startswith("#"):
            continue
        key, separator, value = line.partition(": ")
        if not separator or key not in FORMS:
            raise EnvironmentFileError(f"line {number}: not 'suite', 'architecture', 'archive', 'snapshot' or "
                                       "'package', a comment or a blank line")
        found = re.fullmatch(FORMS[key], value)
        if found is None:
            raise EnvironmentFileError(f"line {number}: {key}: not in its form")
        if key == "package":
            if found.group(1) in packages:
                raise EnvironmentFileError(f"line {number}: package {found.group(1)} named again")
            packages[found.group(1)] = found.group(2)
        elif key in single:
            raise EnvironmentFileError(f"line {number}: {key} given again")
        else:
            single[key] = value
    missing = [key for key in FORMS if key != "package" and key not in single]
    if missing or not packages:
        raise EnvironmentFileError("no " + ", ".join(missing or ["package"]))
    return Environment(single["suite"], single["architecture"], single["archive"].rstrip("/"), single["snapshot"],
                       tuple(packages.items()), text)


def load(path: Path = FILE) -> Environment:
    try:
        text = path.read_bytes().decode("ascii")
    except (OSError, UnicodeDecodeError) as error:
        raise EnvironmentFileError(f"cannot read it as ASCII text: {error}") from error
    try:
        return parse(text)
    except EnvironmentFileError as error:
        raise EnvironmentFileError(f"{path}: {error}") from error


# What dpkg-query prints of each package, in the fields asked for.
FIELDS = "${Package}\t${Version}\t${Architecture}\t${db:Status-Status}\n"


def installed(names: list[str], root: Path | None = None) -> dict[str, set[tuple[str, str]]]:
    """The versions, with their architectures, of each of `names` that dpkg's
    database, the host's or the one in `root`, holds installed; names it does
    not know are left out."""
    result = subprocess.run(["dpkg-query", *([f"--root={root}"] if root else []), "-W", f"-f={FIELDS}", *names],
                            env={"PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8"}, stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, errors="replace", check=False)
    versions: dict[str, set[tuple[str, str]]] = {}
    # Exit status 1 is for names dpkg does not know; anything else, that its database could not be read.
    if result.returncode not in (0, 1):
        return versions
    for line in result.stdout.splitlines():
        fields = line.split("\t")
        if len(fields) == 4 and fields[3] == "installed":
            versions.setdefault(fields[0], set()).add((fields[1], fields[2]))
    return versions


def differences(environment: Environment, versions: dict[str, set[tuple[str, str]]]) -> list[str]:
    """How the installed `versions` (as `installed` gives them) differ from
    the pinned ones, for the environment's architecture or for all; none when
    every pinned package is there at exactly its version."""
    found = []
    for name, version in environment.packages:
        have = {v for v, architecture in versions.get(name, set()) if architecture in (environment.architecture, "all")}
        if not have:
            found.append(f"{name} {version} is not installed")
        elif have != {version}:
            found.append(f"{name} is {' and '.join(sorted(have))}, not {version}")
    return found


def os_release(text: str) -> dict[str, str]:
    """The fields of an os-release file (shell-like assignments, values maybe quoted)."""
    fields = {}
    for line in text.splitlines():
        found = re.fullmatch(r"([A-Z0-9_]+)=(?:\"([^\"]*)\"|'([^']*)'|(\S*))", line.strip())
        if found:
            fields[found.group(1)] = next(v for v in found.groups()[1:] if v is not None)
    return fields


def host_differences(environment: Environment, release_file: Path = Path("/etc/os-release")) -> list[str]:
    """Why this host is not the pinned environment; none when it is."""
    try:
        fields = os_release(release_file.read_text(errors="replace"))
    except OSError:
        fields = {}
    system = f"{fields.get('ID', '?')} {fields.get('VERSION_CODENAME', '?')}"
    if system != f"debian {environment.suite}":
        return [f"the host is {system}, not debian {environment.suite}"]
    try:
        return differences(environment, installed([name for name, _ in environment.packages]))
    except OSError:
        return ["dpkg-query cannot be run"]
