"""hello-origin's release tooling: the clean build, signing, the check of the
release image, and the verifier that anyone can run on a download."""
