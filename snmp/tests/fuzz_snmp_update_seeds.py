"""Seeds for fuzz_snmp_update: one set of documents per module, written with python's json as the
statistics collector and the alarm daemon would write them."""
import json
import os
import struct
import sys

wireless = {
    'radios': {'countryCode': 'DE', 'dev': {'wifi0': {'protocol': '11na,qlix', 'qlix': 4, 'frequency': 5180.0,
                                                      'channel': 36, 'channelWidth': '40+', 'txPower': 23,
                                                      'bitrate': 300, 'noise': [-101, -99]}}},
    'vaps': [{'name': 'lo', 'mac': '00:11:22:33:44:55', 'radio': 'wifi0', 'operationMode': 'master', 'ssid': 'lab',
              'security': 'wpapsk2', 'peerCount': 1, 'rxPackets': 1, 'rxErrors': 0, 'txPackets': 2, 'txRetries': 0}],
    'peers': [{'mac': '02:AA:BB:CC:DD:01', 'vap': 'lo', 'vapIfIndex': 3, 'signal': [-60, -61], 'txBytes': 9,
               'rxBytes': 8, 'ipAddress': '192.0.2.9'}],
}
proc = ('Inter-| sta-|   Quality        |   Discarded packets               | Missed | WE\n'
        ' face | tus | link level noise |  nwid  crypt   frag  retry   misc | beacon | 22\n'
        '    lo: 0000   54.  -56.  -256.       1      3      4      7      9        2\n')
seeds = {
    'wireless': b'\x00' + '\n--\n'.join([json.dumps(wireless), json.dumps({'wireless': {'signal': [-50]}}),
                                        'SER1\n', '12\n']).encode(),
    'dhcp': b'\x01' + json.dumps({'lo': {'ssid': 'lab', 'time': 't', 'result': 1, 'dhcp_mac': '00:11:22:33:44:66',
                                         'client_ip': '192.0.2.7'}, 'x': None}).encode(),
    'generic': b'\x02' + '\n--\n'.join([json.dumps({'oid_fmt': '.1.3.6.1.4.1.9.%d', 'time': 3, 'host': 'gw'}),
                                       json.dumps({'oid_fmt': '1.3.6.1.4.1.9.%d.2', 'time': 4})]).encode(),
    'dot11': b'\x03' + '\n--\n'.join(['', json.dumps({'snmp': {'enterpriseName': 'M'}, 'productName': 'P'}), proc,
                                     'IEEE 802.11na']).encode() + struct.pack('<ih', 5180, 6),
}
for name, data in seeds.items():
    with open(os.path.join(sys.argv[1], name), 'wb') as f:
        f.write(data)
