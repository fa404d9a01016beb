"""release.sh's signing step against a local time-stamp authority and what
a man in the middle could answer in its place: only a reply to the
release's own request, that the verifier accepts, makes a release."""
from __future__ import annotations

import tempfile
import time
import unittest
from pathlib import Path

from fixtures import NOW, shared_releases
from hello_origin_release import files, releasing, signing, trust, verdict


class SlowReply:
    """A reply that drips a byte every hundredth of a second, for `size` bytes."""

    def __init__(self, size: int) -> None:
        self.left = size

    def read1(self, size: int) -> bytes:
        time.sleep(0.01)
        self.left -= 1
        return b"x" if self.left >= 0 else b""


class SignedRelease(unittest.TestCase):
    def test_read_within(self) -> None:
        # Only the dripping reply meets its deadline, however slow the machine: its bytes take 1 s, its deadline 0.3.
        for size, limit, seconds, expected in [(3, 8, 60, b"xxx"), (9, 8, 60, "is longer than 8 bytes"),
                                               (100, 1000, 0.3, "did not end within 0 s")]:
            with self.subTest(expected):
                try:
                    found: bytes | str = files.read_within(SlowReply(size), limit, seconds)
                except files.InputError as raised:
                    found = str(raised)
                self.assertEqual(found, expected)

    def test_keys(self) -> None:
        r = shared_releases()
        for party in (r.weak, r.exponent_3):
            with self.subTest(party.key_file.name):
                with self.assertRaisesRegex(signing.SigningError, "the verifier refuses it"):
                    signing.load(str(party.pem), str(party.key_file), None, "")

    def test_table(self) -> None:
        r = shared_releases()
        with tempfile.TemporaryDirectory() as folder:
            signer = signing.load(str(r.publisher.pem), str(r.publisher.key_file), None, "")
            authority = trust.Anchors(r.tsa_root.pem.read_bytes())
            rows = [("/tsa", authority, None), ("/tsa", trust.Anchors(), "not one the verifier accepts"),
                    ("/replayed", authority, "answers another request"),
                    ("/chosen-nonce", authority, "answers another request"),
                    ("/refused", authority, "refused the request (rejection)"),
                    ("/garbage", authority, "not an RFC 3161 TimeStampResp"),
                    ("/no-token", authority, "grants no time stamp"), ("/huge", authority, "longer than"),
                    ("http://127.0.0.1:1/", authority, "cannot be asked"),
                    ("file:///etc/passwd", authority, "not an http:// or https:// URL")]
            for number, (path, anchors, refusal) in enumerate(rows):
                with self.subTest(path, refusal=refusal):
                    work = Path(folder) / str(number)
                    work.mkdir()
                    said: list[str] = []
                    url = path if "/" != path[0] else r.tsa_url + path
                    order = releasing.Order("example.com", work, signer, timestamp_url=url, tsa_anchors=anchors)
                    try:
                        files = releasing.signed_release(r.folder / "rebuild.exe", r.rebuild, order, work, said.append)
                        outcome = verdict.judge(files["hello-origin.exe"], lambda: r.rebuild, r.policy(
                            signer=r.publisher), NOW)
                        result = None if outcome.status == verdict.Status.ACCEPTED else str(outcome.refusal)
                    except releasing.ReleaseError as error:
                        result = str(error)
                    self.assertEqual(refusal is None, result is None, result)
                    self.assertIn(refusal or "", result or "")
                    self.assertEqual(sum("plain HTTP" in line for line in said), url.startswith("http:"), said)


if __name__ == "__main__":
    unittest.main()
