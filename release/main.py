"""Entry of the release tooling: main.py release|verify|check-image|build-image ARGS."""
import sys

from hello_origin_release.cli import main

sys.exit(main(sys.argv[1:]))
