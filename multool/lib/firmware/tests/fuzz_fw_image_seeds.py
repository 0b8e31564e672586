"""Seeds for fuzz_fw_image: one real image of each format, built by the independent builders."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fwfix  # noqa: E402

seeds = {
    'legacy': fwfix.legacy('PTMP.QA-1.v7.51.1', bytes(range(200))),
    'oem': fwfix.legacy_typed('PTMP.QA-1.v7.51.1', 128, b'{"a": 1}'),
    'fit': fwfix.fit('PTMP.QA-1.v7.52.1', b'k' * 300, b'r' * 500),
    'fit-sha256': fwfix.fit('PTMP.QA-1.v7.52.1', b'k' * 30, b'r' * 50, rootfs_hash='sha256'),
    'sealed': fwfix.sealed('PTMP.QA-1.v7.51.1', '{}', '00:11:22:33:44:55\n'),
}
for name, data in seeds.items():
    with open(os.path.join(sys.argv[1], name), 'wb') as f:
        f.write(data)
