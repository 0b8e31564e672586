#!/usr/bin/env python3
"""Seeds for fuzz_zelkd_b64: task inputs as python's base64 writes them, with line breaks and padding."""
import base64
import os
import sys

out = sys.argv[1]
for i, data in enumerate([b'', b'f', b'fo', b'foo', b'{"system":{"hostname":"ap"}}\n', bytes(range(256))]):
    text = base64.b64encode(data)
    with open(os.path.join(out, 'b64-%d' % i), 'wb') as f:
        f.write(text)
    with open(os.path.join(out, 'mime-%d' % i), 'wb') as f:
        f.write(base64.encodebytes(data))
