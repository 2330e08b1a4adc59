"""Certificates for the signed-kit tests."""

import os
import subprocess


def make_certificate(folder, name, *extra):
    """A throwaway self-signed certificate and its key, made for this run."""
    cert, key = os.path.join(folder, name + ".pem"), os.path.join(folder, name + "-key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=loaderkit " + name, "-keyout", key, "-out", cert, *extra],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key
