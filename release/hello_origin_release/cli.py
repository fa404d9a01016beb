"""The commands behind scripts/release.sh and scripts/verify-release.sh, and
the image check and clean build the tests use. Arguments are read before
anything is installed or built; only the standard library is imported until
then, so that --help and wrong usage work on a machine that lacks the rest."""
from __future__ import annotations

import datetime
import hashlib
import os
import re
import signal
import subprocess
import sys
import warnings
from pathlib import Path
from typing import NoReturn

from . import der, files

ROOT = Path(__file__).resolve().parents[2]

RELEASE_USAGE = """\
Usage: scripts/release.sh [--domain DOMAIN] [--out DIR] [--host-tools | --mirror URL]
                          [--sign CERT KEY | --pkcs12 FILE] [--timestamp URL [--tsa-ca FILE]] [--url URL]
Builds the release of hello-origin.exe from the committed sources, in a clean
build folder, reproducibly, and optionally signs it with Authenticode.
  --domain DOMAIN  the trusted domain (default: the one build/mingw is
                   configured with; the project's default, example.com,
                   only when named here)
  --out DIR        where the release goes (default: dist)
  --sign CERT KEY  sign with this RSA certificate (PEM, with its chain after
                   it) and private key (PEM)
  --pkcs12 FILE    sign with the certificate and key in this PKCS#12 file
  --timestamp URL  have the signature time-stamped by this RFC 3161 server;
                   its reply must answer this release's own request
  --tsa-ca FILE    the certificates (PEM) to trust for the time stamp
                   (default: the system's)
  --url URL        the URL the signature names (default: https://DOMAIN/)
  --host-tools     build with this host's own tools, not the pinned build
                   environment (release/build-environment); BUILDINFO says so
  --mirror URL     the Debian archive to make the pinned build root from,
                   where this host is not that environment
The password of the key or of the PKCS#12 file, if it has one, is read from
the environment variable HELLO_ORIGIN_SIGNING_PASSWORD, never from the
command line, where other users of the machine could see it.
Writes hello-origin.exe, BUILDINFO and SHA256SUMS; when signing, also the
detached signature hello-origin.exe.sig.pem and the unsigned image
hello-origin-unsigned.exe, from which anyone can rebuild the signed file. A
signed release is first checked as verify-release.sh checks a download.
Exit status 5: the pinned build environment could not be made here."""

VERIFY_USAGE = """\
Usage: scripts/verify-release.sh --domain DOMAIN [--signer SHA256] [--ca FILE]
                                 [--tsa-ca FILE] [--crl FILE] [--buildinfo FILE]
                                 [--host-tools | --mirror URL] [--] PUBLISHED.exe
Checks that a published hello-origin.exe is this checkout's build for a
domain, signed once, by the publisher, in the one form a release has:
rebuilds the program from the committed sources in a clean environment,
attaches the file's own signature to the rebuild and compares the result
with the file byte for byte. Run it in a checkout of the release's tag.
  --domain DOMAIN   the trusted domain of the release (required)
  --signer SHA256   the SHA-256 of the signing certificate (DER) that the
                    publisher announces; without it no file is accepted
  --ca FILE         the certificates (PEM) to trust for the signature
                    (default: the system's)
  --tsa-ca FILE     the certificates (PEM) to trust for a time stamp
                    (default: the system's)
  --crl FILE        revocation lists (PEM) that must cover the signing
                    certificate; revocation is not checked otherwise
  --buildinfo FILE  the release's BUILDINFO, for hints when the bytes differ
                    (default: BUILDINFO beside PUBLISHED.exe)
  --host-tools      rebuild with this host's own tools, not the pinned build
                    environment (release/build-environment)
  --mirror URL      the Debian archive to make the pinned build root from,
                    where this host is not that environment
  --                ends the options: a file name that starts with '-' follows
Each FILE, PUBLISHED.exe too, must be a regular file (certificate files at
most 1 MiB).
Exit status: 0 accepted; 1 refused; 2 wrong usage, or a file given that
cannot be read; 3 the file is this checkout's build but carries no
signature; 4 it is this checkout's build with one signature that verifies,
but no --signer was given to check; 5 the rebuild could not be made here
(the pinned build environment, or no checkout), so nothing was judged.
The file is read by this verifier alone; the network is used only to make
the pinned build root, once, on a host that is not that environment."""


def printable(text: str) -> str:
    """Outside text as the terminal may show it: printable ASCII, no backslash."""
    return "".join(c if " " <= c <= "~" and c != "\\" else "?" for c in text)


def say(line: str) -> None:
    print(printable(line), flush=True)


def die(me: str, message: str) -> NoReturn:
    print(f"{me}: {printable(message)}", file=sys.stderr)
    raise SystemExit(1)


def parse(args: list[str], arities: dict[str, int], usage: str, me: str) -> tuple[dict[str, list[str]], list[str]]:
    """Options by their number of values, each once; `--` ends them. --help
    prints the usage only when it stands alone."""
    def wrong(message: str) -> NoReturn:
        print(f"{me}: {printable(message)}\n{usage}", file=sys.stderr)
        raise SystemExit(2)

    if args in (["--help"], ["-h"]):
        print(usage)
        raise SystemExit(0)
    options: dict[str, list[str]] = {}
    operands: list[str] = []
    index = 0
    while index < len(args):
        arg = args[index]
        if arg == "--":
            operands += args[index + 1:]
            break
        if arg.startswith("-") and arg != "-":
            if arg in ("-h", "--help"):
                wrong(f"{arg} takes no other argument")
            if arg not in arities:
                wrong(f"unknown option: {arg}")
            if arg in options:
                wrong(f"{arg} given twice")
            count = arities[arg]
            if index + count >= len(args):
                wrong(f"{arg} takes {count} argument{'s' if count > 1 else ''}")
            options[arg] = args[index + 1:index + 1 + count]
            index += 1 + count
        else:
            operands.append(arg)
            index += 1
    return options, operands


def is_dns_name(name: str) -> bool:
    """The configure step's rule: letters, digits, '-' and '.', no empty label, at most 253."""
    return len(name) <= 253 and re.fullmatch(r"[A-Za-z0-9-]+(\.[A-Za-z0-9-]+)*", name) is not None


def install(me: str, failure: int = 1) -> None:
    """What releasing and verifying need and this machine lacks; apt and the
    packages' scripts do not see the signing password."""
    environment = {k: v for k, v in os.environ.items() if k != "HELLO_ORIGIN_SIGNING_PASSWORD"}
    if subprocess.run([str(ROOT / "scripts/install-deps.sh"), "release"], stdin=subprocess.DEVNULL, env=environment,
                      check=False).returncode != 0:
        print(f"{me}: could not install what it needs", file=sys.stderr)
        raise SystemExit(failure)


def wrong_input(me: str, message: str) -> NoReturn:
    """An input that cannot be taken is the caller's to mend, never a verdict on the download."""
    print(f"{me}: {printable(message)}", file=sys.stderr)
    raise SystemExit(2)


def certificate_file(me: str, options: dict[str, list[str]], option: str, label: str = "CERTIFICATE") -> bytes | None:
    """The bytes of the file an option names: a regular file, within the
    bound of a file of certificates, holding at least one PEM `label`."""
    if option not in options:
        return None
    path = options[option][0]
    try:
        data = files.read_regular(path, files.MAX_CERTIFICATE_FILE)
    except files.InputError as error:
        wrong_input(me, f"{option} {path}: {error}")
    if not der.pem_blocks(data, label):
        wrong_input(me, f"{option} {path}: holds no {label} in PEM form")
    return data


def wrong_mirror(options: dict[str, list[str]], usage: str, me: str) -> str | None:
    """--mirror's archive, when it is an http(s) URL and --host-tools is not also given."""
    from .environment import FORMS

    mirror = options.get("--mirror", [None])[0]
    if mirror is not None and ("--host-tools" in options or not re.fullmatch(FORMS["archive"], mirror)):
        print(f"{me}: --mirror takes an http:// or https:// URL, and not with --host-tools\n{usage}", file=sys.stderr)
        raise SystemExit(2)
    return mirror


def unavailable(me: str, error: object) -> int:
    """Could not rebuild is not forged: its own exit status, and no verdict."""
    print(f"{me}: {printable(str(error))}", file=sys.stderr)
    return 5


def release(args: list[str]) -> int:
    me = "release.sh"
    options, operands = parse(args, {"--domain": 1, "--out": 1, "--sign": 2, "--pkcs12": 1, "--timestamp": 1,
                                     "--tsa-ca": 1, "--url": 1, "--host-tools": 0, "--mirror": 1}, RELEASE_USAGE, me)
    if operands:
        print(f"{me}: unknown argument: {printable(operands[0])}\n{RELEASE_USAGE}", file=sys.stderr)
        return 2
    cert, key = options.get("--sign", [None, None])
    pfx = options.get("--pkcs12", [None])[0]
    timestamp, url = options.get("--timestamp", [None])[0], options.get("--url", [None])[0]
    if cert is not None and pfx is not None:
        die(me, "give either --sign CERT KEY or --pkcs12 FILE, not both")
    signing_wanted = cert is not None or pfx is not None
    if not signing_wanted and (timestamp or url):
        die(me, "--timestamp and --url only apply when signing")
    if "--tsa-ca" in options and not timestamp:
        die(me, "--tsa-ca only applies with --timestamp")
    tsa_ca = certificate_file(me, options, "--tsa-ca")
    # The built-in default greets copies from a domain that is not the
    # publisher's, so only a --domain that names it releases for it.
    named = options.get("--domain", [""])[0]
    domain = named
    cache = ROOT / "build/mingw/CMakeCache.txt"
    if not domain and cache.is_file():
        found = re.search(r"^TRUSTED_DOMAIN:STRING=(.*)$", cache.read_text(errors="replace"), re.M)
        domain = found.group(1) if found else ""
    default = re.search(r'set\(TRUSTED_DOMAIN "([^"]*)"', (ROOT / "CMakeLists.txt").read_text())
    default_domain = default.group(1) if default else "example.com"
    if not named and (not domain or domain.lower() == default_domain):
        die(me, f"no --domain given, and the release would be for the built-in default {default_domain}: give your "
                f"download domain with --domain (or --domain {default_domain} to release for it all the same)")
    if not is_dns_name(domain):
        die(me, f"'{domain}' is not a DNS name")
    out = Path(options.get("--out", [str(ROOT / "dist")])[0])
    mirror = wrong_mirror(options, RELEASE_USAGE, me)
    install(me)
    from . import build, buildroot, releasing, signing, trust

    try:
        build.git(ROOT, "rev-parse", "--verify", "-q", "HEAD")
    except build.BuildError:
        die(me, f"{ROOT} is not a git checkout with a commit")
    changes = build.git(ROOT, "status", "--porcelain")
    if changes:
        print(changes, file=sys.stderr)
        die(me, "the work tree has changes that are not committed (above): a release is built from committed "
                "sources only")
    password = os.environ.get("HELLO_ORIGIN_SIGNING_PASSWORD", "")
    signer = None
    if signing_wanted:
        try:
            signer = signing.load(cert, key, pfx, password)
        except signing.SigningError as error:
            die(me, str(error))
    order = releasing.Order(domain, out, signer, password, url, timestamp, trust.Anchors(tsa_ca),
                            "--host-tools" in options, mirror)
    try:
        commit, sums = releasing.make(ROOT, order, say)
    except buildroot.Unavailable as error:
        return unavailable(me, error)
    except build.BuildError as error:
        print(str(error), file=sys.stderr)
        die(me, "the build failed")
    except releasing.ReleaseError as error:
        die(me, str(error))
    except (OSError, subprocess.SubprocessError) as error:
        return unavailable(me, f"the release could not be made here ({error}); nothing was written")
    from .authenticode import display_name

    by = "" if signer is None else f", signed by {display_name(signer.certificate.subject)}"
    say(f"release of commit {commit} for {domain}{by}:")
    for line in sums.splitlines():
        say(f"  {line}")
    say(f"in {out}")
    if signer is not None:
        say("signing certificate SHA-256, to announce for verify-release.sh --signer: "
            + hashlib.sha256(signing.der_of(signer.certificate)).hexdigest())
    return 0


def buildinfo_notes(theirs_data: bytes | None, where: str, ours: str) -> list[str]:
    """Where the release's own BUILDINFO differs from the rebuild's. It comes
    with the file, so it is read in part, printable only, and decides nothing."""
    if theirs_data is None:
        return [f"note: no BUILDINFO at {where} to say what made the release (give it with --buildinfo)"]
    theirs = {}
    for line in theirs_data.decode("utf-8", "replace").splitlines()[:100]:
        key, _, value = line.partition(": ")
        theirs.setdefault(key, value)
    notes = []
    for line in ours.splitlines():
        key, _, value = line.partition(": ")
        if theirs.get(key) != value:
            notes.append(f"note: {key}: {value} here; the release's BUILDINFO (not verified) says "
                         f"{theirs.get(key) or 'nothing'}")
    return notes


def verify(args: list[str]) -> int:
    me = "verify-release.sh"
    options, operands = parse(args, {"--domain": 1, "--signer": 1, "--ca": 1, "--tsa-ca": 1, "--crl": 1,
                                     "--buildinfo": 1, "--host-tools": 0, "--mirror": 1}, VERIFY_USAGE, me)
    if len(operands) != 1:
        print(f"{me}: give exactly one file to check\n{VERIFY_USAGE}", file=sys.stderr)
        return 2
    domain = options.get("--domain", [""])[0]
    if not domain:
        print(f"{me}: --domain is required: the rebuild is for the domain the publisher names\n{VERIFY_USAGE}",
              file=sys.stderr)
        return 2
    if not is_dns_name(domain):
        print(f"{me}: '{printable(domain)}' is not a DNS name\n{VERIFY_USAGE}", file=sys.stderr)
        return 2
    # As certificate viewers print it: with or without colons, in either case.
    signer = options["--signer"][0].replace(":", "").lower() if "--signer" in options else None
    if signer is not None and not re.fullmatch(r"[0-9a-f]{64}", signer):
        print(f"{me}: --signer takes the 64 hexadecimal digits of a SHA-256\n{VERIFY_USAGE}", file=sys.stderr)
        return 2
    mirror = wrong_mirror(options, VERIFY_USAGE, me)
    ca, tsa_ca = certificate_file(me, options, "--ca"), certificate_file(me, options, "--tsa-ca")
    crl = certificate_file(me, options, "--crl", "X509 CRL")
    published = operands[0]
    # Read once, before anything else: every check, and the hash printed, see the same bytes.
    try:
        data = files.read_regular(published, files.MAX_DOWNLOAD + 1, cut=True)
    except files.InputError as error:
        wrong_input(me, f"the download {published} {error}: nothing was verified")
    buildinfo_path = options.get("--buildinfo", [str(Path(published).parent / "BUILDINFO")])[0]
    try:
        buildinfo_data: bytes | None = files.read_regular(buildinfo_path, files.MAX_BUILDINFO)
    except files.InputError as error:
        if "--buildinfo" in options:
            wrong_input(me, f"--buildinfo {buildinfo_path}: {error}")
        buildinfo_data = None
    install(me, failure=5)
    from . import build, buildroot, trust, verdict

    say(f"published: {printable(published)}, {len(data)} bytes, sha256 {hashlib.sha256(data).hexdigest()}")
    say(f"domain: {domain} (given with --domain)")
    place = ROOT / "build/verify"
    commit = ""
    tools = build.HOST_TOOLS

    def rebuild() -> bytes:
        nonlocal commit, tools
        try:
            commit = build.git(ROOT, "rev-parse", "--verify", "-q", "HEAD")
        except build.BuildError:
            raise buildroot.Unavailable(f"{ROOT} is not a git checkout with a commit, or git will not read it (one of "
                                        "another user's, read as root): nothing to rebuild the download from") from None
        if build.git(ROOT, "status", "--porcelain", "--untracked-files=no"):
            print("note: the checkout has changes that are not committed; the rebuild leaves them out",
                  file=sys.stderr)
        tools = build.toolchain("--host-tools" in options, mirror, place, say)
        build.export_head(ROOT, place / "source")
        image, note = build.build_image(place / "source", place / "build", domain, rebuild=True, tools=tools)
        data = image.read_bytes()
        say(f"rebuild: commit {commit} ({build.git(ROOT, 'describe', '--tags', '--always')}), version "
            f"{build.project_version(place / 'build')}, for {domain}, {len(data)} bytes")
        if note:
            say(f"note: the trusted domain checks would refuse a new release for {domain} today: {note}")
        return data

    policy = verdict.Policy(signer, trust.Anchors(ca, crl), trust.Anchors(tsa_ca))
    # Whatever keeps the rebuild from being made judges nothing of the file.
    try:
        outcome = verdict.judge(data, rebuild, policy, datetime.datetime.now(datetime.timezone.utc), say)
    except buildroot.Unavailable as error:
        return unavailable(me, error)
    except build.BuildError as error:
        print(str(error), file=sys.stderr)
        return unavailable(me, "the rebuild failed (above): nothing was judged")
    except (OSError, subprocess.SubprocessError) as error:
        return unavailable(me, f"the rebuild could not be made here ({error}): nothing was judged")
    build_of = f"commit {commit}'s build for {domain}"
    if outcome.refusal is not None and outcome.refusal.field == "bytes":
        say(f"bytes: {outcome.refusal.reason}")
        for note in buildinfo_notes(buildinfo_data, buildinfo_path, build.buildinfo(commit, place / "build", domain,
                                                                                    tools)):
            say(note)
        say(f"verdict: REFUSED: the file is not {build_of}")
    elif outcome.refusal is not None:
        say(f"verdict: REFUSED: {outcome.refusal}")
    elif outcome.status == verdict.Status.NOT_SIGNED:
        say(f"verdict: NOT SIGNED: the file is {build_of}, but nobody signed it")
    else:
        assert outcome.signature is not None
        by = f"{outcome.signature.signer.name} (certificate SHA-256 {outcome.signature.signer.sha256})"
        if outcome.status == verdict.Status.SIGNER_NOT_CHECKED:
            say(f"verdict: SIGNER NOT CHECKED: the file is {build_of} with one signature, which verifies, by {by}; "
                "anyone can sign in any name: give the SHA-256 the publisher announces with --signer")
        else:
            say(f"verdict: ACCEPTED: the file is {build_of}, signed by {by}")
    return int(outcome.status)


def operands(args: list[str], count: int, usage: str, me: str) -> list[str]:
    """The operands of a command that takes no option, exactly `count` of them."""
    _, found = parse(args, {}, usage, me)
    if len(found) != count:
        print(usage, file=sys.stderr)
        raise SystemExit(2)
    return found


def check_image(args: list[str]) -> int:
    (program,) = operands(args, 1, "Usage: check-image PROGRAM.exe\nChecks a release image's headers, imports and "
                                   "manifest.", "check-image")
    from . import image_check

    broken = image_check.problems(Path(program).read_bytes())
    for line in broken:
        print(f"FAIL: {printable(line)}", file=sys.stderr)
    if not broken:
        print("PE image ok: x86-64, PE32+, GUI; ASLR, 64-bit ASLR, DEP; KnownDLLs only; a manifest of only what it "
              "needs")
    return 1 if broken else 0


def build_image(args: list[str]) -> int:
    source, folder, domain = operands(args, 3, "Usage: build-image SOURCE-DIR BUILD-DIR DOMAIN\nThe release's clean "
                                               "build of a source tree.", "build-image")
    from . import build

    try:
        image, _ = build.build_image(Path(source), Path(folder), domain)
    except build.BuildError as error:
        print(error, file=sys.stderr)
        return 1
    print(image)
    return 0


COMMANDS = {"release": release, "verify": verify, "check-image": check_image, "build-image": build_image}


def main(argv: list[str]) -> int:
    os.umask(0o022)
    # The verdict is the lines printed: no library's warning about the bytes
    # of a download (a certificate's odd name, say) may add to them.
    warnings.simplefilter("ignore")
    # A kill runs the clean-up of the temporary folder, which may hold a password.
    for number, code in ((signal.SIGTERM, 143), (signal.SIGHUP, 129)):
        signal.signal(number, lambda *_, code=code: sys.exit(code))
    if not argv or argv[0] not in COMMANDS:
        print(f"Usage: main.py {{{'|'.join(COMMANDS)}}} ARGS...", file=sys.stderr)
        return 2
    return COMMANDS[argv[0]](argv[1:])

