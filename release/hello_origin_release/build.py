"""The one way the release image is built, for releasing and for verifying:
the committed sources of HEAD alone, configured and built with nothing of the
caller's environment; and BUILDINFO, which names what made it."""
from __future__ import annotations

import dataclasses
import glob
import os
import re
import shutil
import subprocess
from pathlib import Path
from typing import Callable, Sequence

from . import buildroot, environment


class BuildError(Exception):
    """A build step failed; the text says which, with what it printed."""


def clean_environment() -> dict[str, str]:
    """PATH and HOME alone: CXXFLAGS, LDFLAGS and RCFLAGS, which CMake's first
    configure takes up, and GIT_DIR and the like would make other bytes. The
    locale and time zone are fixed for any step that reads them."""
    return {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": os.environ.get("HOME", "/"),
            "LC_ALL": "C.UTF-8", "TZ": "UTC"}


@dataclasses.dataclass(frozen=True)
class Toolchain:
    """Where the build runs: `enter` runs a command there (nothing: on the
    host); `pinned`, when the tools are release/build-environment's."""
    pinned: environment.Environment | None
    enter: tuple[str, ...]
    described: str
    lock: int | None = None

    @property
    def environment(self) -> dict[str, str]:
        """The pinned tools are the system's: no folder of the caller's PATH
        may put other programs in their place."""
        return {} if self.pinned is None else {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}


HOST_TOOLS = Toolchain(None, (), "the host's own (--host-tools), not the pinned environment")


def toolchain(host_tools: bool, mirror: str | None, place: Path, say: Callable[[str], None]) -> Toolchain:
    """The hook that chooses: the host's own tools when asked; the host when
    it is the pinned environment; otherwise the pinned root, which is made,
    or checked, now. Raises buildroot.Unavailable when it cannot be had."""
    try:
        pinned = environment.load()
    except environment.EnvironmentFileError as error:
        raise BuildError(str(error)) from error
    if host_tools:
        return HOST_TOOLS
    different = environment.host_differences(pinned)
    if not different:
        return Toolchain(pinned, (), "the pinned environment, on the host")
    say(f"build environment: this host is not the pinned one ({different[0]}); building in a root made from it")
    root, lock = buildroot.ready(pinned, mirror, say)
    return Toolchain(pinned, tuple(buildroot.enter(root, place)), "the pinned environment, in a root mmdebstrap made",
                     lock)


def run(command: Sequence[str], cwd: Path | None = None, extra: dict[str, str] | None = None,
        enter: Sequence[str] = ()) -> str:
    """The command's output, run in the clean environment with umask 022,
    through `enter` when given."""
    command = [*enter, *command]
    result = subprocess.run(command, cwd=cwd, env={**clean_environment(), **(extra or {})}, umask=0o022,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace", check=False)
    if result.returncode != 0:
        raise BuildError(f"{' '.join(command)} failed:\n{result.stdout}")
    return result.stdout


def git(checkout: Path, *args: str) -> str:
    """git on the checkout as the build's export sees it."""
    return run(["git", "-C", str(checkout), *args]).strip()


def fresh_folder(folder: Path) -> None:
    """`folder`, emptied, or a BuildError that names what is in the way."""
    try:
        if folder.exists() or folder.is_symlink():
            shutil.rmtree(folder)
        folder.mkdir(parents=True)
    except OSError as error:
        raise BuildError(f"{folder} cannot be made anew for the build: {error}") from None


def export_head(checkout: Path, destination: Path) -> None:
    """The committed sources of HEAD, and nothing else, into `destination`:
    no stray file of the checkout, and no git setting that rewrites files on
    the way out (line ends; a filter or export attribute of the system's or
    the user's; the checkout's own attributes are refused)."""
    fresh_folder(destination)
    attributes = Path(git(checkout, "rev-parse", "--path-format=absolute", "--git-path", "info/attributes"))
    if attributes.is_file() and attributes.stat().st_size > 0:
        raise BuildError(f"{attributes} would change the committed sources on their way out: "
                         "a release is built from them alone")
    archive = destination.with_suffix(".tar")
    run(["git", "-C", str(checkout), "-c", "core.attributesFile=/dev/null", "-c", "core.autocrlf=false",
         "-c", "core.eol=lf", "archive", "--format=tar", "-o", str(archive), "HEAD"], extra={"GIT_ATTR_NOSYSTEM": "1"})
    run(["tar", "-xf", str(archive), "-C", str(destination)])
    archive.unlink()


def build_image(source: Path, build: Path, domain: str, rebuild: bool = False,
                tools: Toolchain = HOST_TOOLS) -> tuple[Path, str | None]:
    """A clean Release build of the program alone, for `domain`, with the
    release's flags. With `rebuild`, a domain that today's trusted domain
    checks refuse (a newer Public Suffix List, say) is built all the same, as
    a published release must be; the note says why a new release would not."""
    fresh_folder(build)
    configure = ["cmake", "-S", str(source), "-B", str(build), "-G", "Ninja", "--toolchain",
                 str(source / "cmake/mingw-w64-x86_64.cmake"), "-DCMAKE_BUILD_TYPE=Release",
                 "-DHELLO_ORIGIN_TESTS=OFF", "-DPUBLIC_SUFFIX_LIST_REQUIRED=ON", f"-DTRUSTED_DOMAIN={domain}"]
    note = None
    try:
        run(configure, extra=tools.environment, enter=tools.enter)
    except BuildError as refused:
        if not rebuild:
            raise
        run(configure + ["-DSKIP_TRUSTED_DOMAIN_POLICY=ON"], extra=tools.environment, enter=tools.enter)
        # What CMake said between its error line and its call stack.
        found = re.search(r"CMake Error[^\n]*\n(.*?)\nCall Stack", str(refused), re.S)
        note = " ".join((found.group(1) if found else str(refused)).split())
    run(["cmake", "--build", str(build), "--target", "hello-origin"], extra=tools.environment, enter=tools.enter)
    return build / "bin/hello-origin.exe", note


def project_version(build: Path) -> str:
    cache = (build / "CMakeCache.txt").read_text(errors="replace")
    found = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", cache, re.M)
    return found.group(1) if found else "unknown"


def _first_line(command: Sequence[str], extra: dict[str, str] | None = None) -> str:
    try:
        result = subprocess.run(command, env={**clean_environment(), **(extra or {})}, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, errors="replace", check=False)
    except OSError:
        return ""
    return (result.stdout.splitlines() or [""])[0]


def tool_versions(build: Path, tools: Toolchain = HOST_TOOLS) -> list[str]:
    """One "tool NAME: VERSION" line for each tool whose output ends up in
    the image or its signature, then the Debian packages that they, the
    MinGW-w64 runtime and the headers come from: their versions name the
    patch releases (the pinned ones, which were checked, in the pinned
    environment)."""
    compiler = ""
    for found in glob.glob(str(build / "CMakeFiles/*/CMakeCXXCompiler.cmake")):
        match = re.search(r'^set\(CMAKE_CXX_COMPILER "(.*)"\)$', Path(found).read_text(), re.M)
        compiler = match.group(1) if match else compiler
    linker = _first_line([*tools.enter, compiler, "-print-prog-name=ld"], tools.environment)
    windres = re.sub(r"-g\+\+.*$", "", compiler) + "-windres"
    lines = [f"tool {Path(tool).name}: {_first_line([*tools.enter, tool, '--version'], tools.environment)}"
             for tool in (compiler, linker, windres, "cmake", "ninja")]
    # The OpenSSL that writes the signature's DER is on osslsigncode's second line.
    signer = subprocess.run(["osslsigncode", "--version"], env=clean_environment(), capture_output=True, text=True,
                            errors="replace", check=False).stdout.splitlines() if shutil.which("osslsigncode") else []
    lines.append("tool osslsigncode: " + (signer[0].removesuffix(", using:") if signer else "")
                 + (" with " + signer[1].strip() if len(signer) > 1 else ""))
    if tools.pinned is not None:
        return lines + [f"package {name}: {version}" for name, version in sorted(tools.pinned.packages)]
    if not shutil.which("dpkg-query"):
        return lines
    # The compiler's own list of include folders names the one of windows.h.
    searched = subprocess.run([compiler, "-x", "c++", "-E", "-Wp,-v", "-"], input="", env=clean_environment(),
                              capture_output=True, text=True, errors="replace", check=False).stderr
    headers = next((str(Path(line.strip()) / "windows.h") for line in searched.splitlines()
                    if line.startswith(" /") and (Path(line.strip()) / "windows.h").is_file()), "")
    files = [compiler, linker, windres, headers] + [
        _first_line([compiler, f"-print-file-name={name}"]) for name in ("libstdc++.a", "libgcc.a", "libmsvcrt.a")]
    files += [shutil.which(tool) or "" for tool in ("cmake", "ninja", "osslsigncode")]
    paths = [os.path.realpath(shutil.which(f) or f) for f in files if f]
    owners = subprocess.run(["dpkg-query", "-S", *paths], env=clean_environment(), capture_output=True, text=True,
                            errors="replace", check=False).stdout
    packages = sorted({name.split(":")[0].strip() for line in owners.splitlines() if not line.startswith("diversion ")
                       for name in line.split(": ")[0].split(",") if name.strip()})
    if packages:
        versions = subprocess.run(["dpkg-query", "-W", "-f=package ${Package}: ${Version}\n", *packages],
                                  env=clean_environment(), capture_output=True, text=True, errors="replace",
                                  check=False).stdout
        lines += sorted(set(versions.splitlines()))
    return lines


def buildinfo(commit: str, build: Path, domain: str, tools: Toolchain = HOST_TOOLS) -> str:
    """BUILDINFO of a build: its commit, version and domain, what made it, and
    the build environment file of the commit, its digest and its lines."""
    pinned = environment.load()
    return "\n".join([f"commit: {commit}", f"version: {project_version(build)}", f"domain: {domain}",
                      f"build tools: {tools.described}", *tool_versions(build, tools),
                      f"environment sha256: {pinned.sha256}",
                      *(f"environment line {number}: {line}"
                        for number, line in enumerate(pinned.text.splitlines(), 1))]) + "\n"
