"""Seed for fuzz_kbee_codec: a small valid store, built by the independent encoder."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kbeefmt  # noqa: E402

with open(os.path.join(sys.argv[1], 'store'), 'wb') as f:
    f.write(kbeefmt.store([(2, b'fw'), (7, b'\0\1\0\1'), (300, b'x')]))
