"""Seeds for fuzz_doc_scan: wireless documents and their state files as python's own JSON encoder
writes them, in the collector's layout and in a compact one, with the corners the reader keeps."""
import json
import os
import sys

peer = {'mac': '00:11:22:33:44:01', 'vap': 'ath0', 'txBytes': 600000, 'rxBytes': 500000, 'txPackets': 5000,
        'rxPackets': 4000, 'txPacketsSuccess': 12, 'signal': [-55, -58], 'deviceName': 'caf\u00e9 \u2603 /x'}
state = {'vaps': [{'name': 'ath0', 'rxPackets': 105, 'txPackets': 207, 'rxErrors': 3}],
         'peers': [peer, dict(peer, mac='00:11:22:33:44:02', txBytes=-9223372036854775808)], 'timestamp': 1700000000}
docs = {
    'state': json.dumps(state, indent=2),
    'compact': json.dumps(state, separators=(',', ':')),
    'wireless': json.dumps({'radios': {'dev': {'wifi0': {'noise': [-95], 'frequency': 5180.5}}}, 'vaps': state['vaps'],
                            'peers': [peer, 7, None, {'mac': 5}]}, indent=2, ensure_ascii=True),
    'dupes': '{"peers": [1], "timestamp": 3, "peers": [{"mac": "a", "vap": "b", "txBytes": 1.5, "txBytes": 2}],'
             ' "timestamp": "x"}',
    'escapes': '{"vaps": [{"n\\u0061me": "\\ud83d\\ude00\\/\\t", "rxPackets": 1e3, "txPackets": 0}]}',
}
for name, text in docs.items():
    with open(os.path.join(sys.argv[1], name), 'w') as f:
        f.write(text)
