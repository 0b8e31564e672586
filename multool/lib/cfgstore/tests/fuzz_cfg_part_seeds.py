"""Seed for fuzz_cfg_part: a small valid part, built by the independent encoder."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cfgstore  # noqa: E402

part = cfgstore.part(3, [('config', b'{"a":1}'), ('oem', b'{}'), ('brand', bytes(300))])
with open(os.path.join(sys.argv[1], 'part'), 'wb') as f:
    f.write(part[:cfgstore.read_part(part, 0).end_offset])
