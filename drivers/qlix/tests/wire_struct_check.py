#!/usr/bin/env python3
"""Cross-checks the qlix encoders against frames built here with struct, field by field, from
the published layouts.  Random cases from a fixed seed, plus the edges (0/9/256 bits, 4095,
counters at 2^32 - 1)."""
import random
import struct
import subprocess
import sys

tool = sys.argv[1]
rng = random.Random(20261210)
lines, want = [], []


def token(kind, seq, qlen, free, ann, ts, flags, base, bits, bitmap):
    lines.append("token %d %d %d %d %d %d %d %d %d %s" % (
        kind, seq, qlen, free, ann, ts, flags, base, bits, bitmap.hex() or "-"))
    if kind == 4:
        want.append(b"\x04")
        return
    body = struct.pack(">BHHHBBIIHH", kind, seq, qlen, free, ann, ts, 0, flags, base, bits)
    want.append(body + bitmap[:(bits + 7) // 8])


def data(seq, total, count, txc, tseq, remain, ac):
    lines.append("data %d %d %d %d %d %d %d" % (seq, total, count, txc, tseq, remain, ac))
    want.append(struct.pack(">HHHHHBB", seq, total, count, txc, tseq, remain, ac))


def stats(name, mac, vals):
    lines.append("stats %s %s %s" % (name, mac.hex(), " ".join(map(str, vals))))
    want.append(struct.pack(">16s6s2x8I", name.encode(), mac, *vals))


for bits in (0, 1, 8, 9, 255, 256):
    token(1, 4095, 0, 255, 255, 150, 7, 4095, bits, bytes(range(1, 33)))
token(4, 1, 2, 3, 4, 5, 6, 7, 8, b"")
for _ in range(200):
    bits = rng.randrange(0, 257)
    token(rng.choice((1, 2)), rng.randrange(4096), rng.randrange(65536), rng.randrange(65536),
          rng.randrange(256), rng.randrange(256), rng.randrange(8), rng.randrange(4096), bits,
          bytes(rng.randrange(256) for _ in range(32)))
    data(rng.randrange(4096), rng.randrange(65536), rng.randrange(65536), rng.randrange(65536),
         rng.randrange(4096), rng.randrange(256), rng.randrange(4))
    stats("peer%d" % rng.randrange(200), bytes(rng.randrange(256) for _ in range(6)),
          [rng.choice((0, 2**31, 2**32 - 1, rng.randrange(2**32))) for _ in range(8)])

out = subprocess.run([tool], input="\n".join(lines) + "\n", capture_output=True, text=True)
if out.returncode != 0:
    sys.exit("wire tool failed: %d %s" % (out.returncode, out.stderr))
got = out.stdout.split()
bad = [(l, w.hex(), g) for l, w, g in zip(lines, want, got) if w.hex() != g]
if len(got) != len(want) or bad:
    for l, w, g in bad[:5]:
        print("case:", l, "\n want:", w, "\n got: ", g)
    sys.exit("%d of %d frames differ" % (len(bad) + abs(len(got) - len(want)), len(want)))
print("%d frames identical" % len(want))
