"""Seeds for fuzz_celvane: topics of every route and child output with long and broken lines."""
import os
import sys

out = sys.argv[1]
seeds = [b'control/org1/0a0b0c0d0e0f/nack', b'control/grp/0a0b0c0d0e0f/alerts/request',
         b'node/org1/net1/0a0b0c0d0e0f/firmwarebin', b'node/org1/net1/maccache/del', b'init/crt/response',
         b'\x02{"bin": 1}\r\n{"bin": 2}\nnot json\n' + b'x' * 100 + b'\nlast', b'00:11:22:33:44:55', b'wifi0']
for i, s in enumerate(seeds):
    with open(os.path.join(out, 'seed%d' % i), 'wb') as f:
        f.write(s)
