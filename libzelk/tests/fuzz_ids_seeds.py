#!/usr/bin/env python3
"""Seeds for fuzz_zelk_ids: statistic identifiers as a management server sends them."""
import os
import sys

ids = ['zelk.interface.rx_bytes.$if_index(eth0)', 'zelk.wireless.peer.tx_bytes.3.1', 'ZELK.GENERIC.CPU_LOAD',
       'zelk.wireless.channel_width.$(ath0)', '.zelk..a...b.', 'zelk.wireless.peer_count.', 'sys.uptime']
for i, t in enumerate(ids):
    with open(os.path.join(sys.argv[1], 'id-%d' % i), 'w') as f:
        f.write(t)
