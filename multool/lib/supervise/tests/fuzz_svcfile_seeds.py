"""Seeds for fuzz_svcfile: service files and product files as python's JSON writer makes them."""
import json
import os
import sys

out = sys.argv[1]
docs = {
    'service': {'service': {'name': 'stats', 'exec': 'stats -w', 'period': '5000'}},
    'service-full': {'service': {'name': 'n', 'exec': 'echo "a b"', 'period': ' 250', 'stdout': '/tmp/o',
                                 'delayFirstRun': True}},
    'service-number': {'service': {'name': 'n', 'exec': 'c', 'period': 1000}},
    'product': {'firmwareId': 'XW.PTMP', 'leds': {'power': {'ledName': ['Power-Green', 'x']}}},
    'product-wan': {'leds': {'wan-power': {'ledName': ['WAN']}}},
}
for name, doc in docs.items():
    with open(os.path.join(out, name), 'w') as f:
        json.dump(doc, f)
