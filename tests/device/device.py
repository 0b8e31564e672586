"""The whole device, booted: two virtual devices of the same build and the world on their LAN.

Everything runs inside one sandboxed virtual device (tests/harness/vdev):

    device A   the virtual device's own namespaces (its pid 1 is the harness)
    device B   network namespace "b" with its own mount, pid and UTS namespaces (its pid 1 is its start
               script's shell; its flash, /etc, /tmp and /var/run are its own)
    world      network namespace "lan": a bridge 192.0.2.254 holding both devices' eth0, the management
               server stand-in, mosquitto with TLS and the cloud stand-in, the real lldpd

The radio link between A and B is a veth pair whose ends carry the radio's name (wifi0) on both
devices, each with its access point ath0 as a macvlan on it; the stand-in radio driver (tests/fakewifi)
answers the radio queries, each device listing
the other as its station.

Each device boots from its flash stand-in, a host folder bound at /var/cfg holding the configuration
store (config.bin) and the board EEPROM store (.eeprom), and from the /etc of an installation
(tests/device/rootfs) plus its own identity (/etc/device.conf, /etc/serial-no).  The start script
/etc/init.d/rcS then starts the services the way the device does: sysconf -e, scoutd in boot-time
mode, launchd with the periodic services, then the daemons.

On the host:    vdevlib.run(device.command(...), setup=device.SETUP, require=device.REQUIRE, ...)
In the device:  import device; net = device.Lan(); net.world(); a = net.boot('a'); ...
"""
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.environ.get('VDEV_SRC', '/mnt/vdev/src')
BUILD = os.environ.get('VDEV_BUILD', '/mnt/vdev/build')
OUT = '/mnt/vdev/out'
ORG, NET, SECRET = 'acme', 'roof', 'fleet-secret'
SERVER_IP, HB_PORT = '192.0.2.254', 8443
HB_URL = 'https://%s:%d/hb' % (SERVER_IP, HB_PORT)

DEVICES = {
    'a': {'name': 'mast-east', 'eth0': '02:00:00:00:c0:01', 'ath0': '02:00:00:00:a0:01', 'ip': '192.0.2.1',
          'radio_ip': '10.9.0.1', 'serial': 'KTRV0711A0001', 'location': 'mast 1'},
    'b': {'name': 'mast-west', 'eth0': '02:00:00:00:c0:02', 'ath0': '02:00:00:00:a0:02', 'ip': '192.0.2.2',
          'radio_ip': '10.9.0.2', 'serial': 'KTRV0711A0002', 'location': 'mast 2'},
}
# the firmware banks: raw partitions, bank 1 running (the kernel's command line names its root)
BANK = 0x400000
ENV_SIZE = 0x4000
MTD = [('u-boot', 0x40000, 0x10000), ('firmware1', BANK, 0x10000), ('firmware2', BANK, 0x10000)]
CMDLINE = 'console=ttyS0 mtd:rootfs1'
FW_STUBS = ['/usr/lib/miniroot/miniroot_init', '/usr/sbin/ubiupdatevol', '/usr/sbin/ubiformat']
# stations the stand-in driver lists beside the other device
CPES = ['02:aa:00:00:00:%02x' % i for i in (1, 2)]
SERVICES = ['launchd', 'scoutd', 'zelkd', 'celvane', 'lldpdd', 'ltsd', 'snmpd', 'odbagent', 'resetd',
            'factoryd']

SETUP = '''
ip netns add lan
ip netns add b
ip -n lan link set lo up
ip -n lan link add br0 type bridge
ip -n lan addr add 192.0.2.254/24 dev br0
ip -n lan link set br0 up
ip link add eth0 address 02:00:00:00:c0:01 type veth peer name lan-a netns lan
ip link add eth0b address 02:00:00:00:c0:02 type veth peer name lan-b netns lan
ip link set eth0b netns b
ip -n b link set eth0b name eth0
ip -n lan link set lan-a master br0; ip -n lan link set lan-a up
ip -n lan link set lan-b master br0; ip -n lan link set lan-b up
ip link add wifi0 type veth peer name wifib netns b
ip -n b link set wifib name wifi0
ip link set wifi0 up; ip -n b link set wifi0 up
ip link add link wifi0 name ath0 address 02:00:00:00:a0:01 type macvlan mode bridge
ip -n b link add link wifi0 name ath0 address 02:00:00:00:a0:02 type macvlan mode bridge
ip -n b link set lo up
'''
REQUIRE = ['veth', 'bridge', 'macvlan', 'overlay-sys']


def sh(cmd, **kw):
    return subprocess.run(cmd, shell=True, check=True, **kw)


def wait_for(pred, timeout=30.0, step=0.1, what='condition'):
    end = time.monotonic() + timeout
    while True:
        v = pred()
        if v:
            return v
        if time.monotonic() >= end:
            raise TimeoutError('timed out waiting for ' + what)
        time.sleep(step)


def read(path, default=None):
    try:
        with open(path, 'rb') as f:
            return f.read()
    except OSError:
        return default


def read_json(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


# -- flash stand-ins and identity ----------------------------------------------------------------------
def config_of(key):
    d = DEVICES[key]
    return {'system': {'hostname': d['name'],
                       'device': {'name': d['name'], 'location': d['location']}},
            'network': {'eth0': {'ip': d['ip'] + '/24'}, 'ath0': {'ip': d['radio_ip'] + '/24'}}}


def make_flash(folder, key):
    """The configuration store and the board EEPROM store of a device that left the factory."""
    sys.path.insert(0, os.path.join(SRC, 'multool/lib/cfgstore/tests'))
    sys.path.insert(0, os.path.join(SRC, 'multool/lib/board/tests'))
    import cfgstore
    import kbeefmt
    import struct
    d = DEVICES[key]
    blocks = [('config', (json.dumps(config_of(key)) + '\n').encode()),
              ('product', b'{"model":"KTRV-4100"}\n')]
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, 'config.bin'), 'wb') as f:
        f.write(cfgstore.store(cfgstore.part(1, blocks), cfgstore.part(2, blocks)))
    # record 9: the reset button on GPIO line 5, low while pressed; 24: factory mode; 30: the radio MAC
    records = [(9, struct.pack('>HH', 5, 0)), (24, b'\x03'), (30, d['ath0'].encode())]
    with open(os.path.join(folder, '.eeprom'), 'wb') as f:
        f.write(kbeefmt.image([(0x8000, kbeefmt.store(records))]))
    # the boot loader's environment and the two banks
    with open(os.path.join(folder, 'env.txt'), 'w') as f:
        f.write('active=1\nchanged=0\nbootcount=0\n')
    subprocess.run(['mkenvimage', '-s', str(ENV_SIZE), '-o', os.path.join(folder, 'env.bin'),
                    os.path.join(folder, 'env.txt')], check=True)
    os.unlink(os.path.join(folder, 'env.txt'))
    for n in (1, 2):
        with open(os.path.join(folder, 'bank%d' % n), 'wb') as f:
            f.write(bytes([0xa5 if n == 2 else 0x5a]) * BANK)


def printenv(folder):
    """The boot loader's variables in FOLDER/env.bin, read by the host's own tool."""
    cfg = os.path.join(folder, '..', 'host-env.config')
    with open(cfg, 'w') as f:
        f.write('%s 0x0 0x%x\n' % (os.path.join(folder, 'env.bin'), ENV_SIZE))
    r = subprocess.run(['fw_printenv', '-c', cfg], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return dict(line.split('=', 1) for line in r.stdout.splitlines() if '=' in line)


def fakewifi(key):
    """The stand-in radio driver's answers: one radio, one access point, the other device and two CPEs."""
    other = DEVICES['b' if key == 'a' else 'a']

    def station(mac, rssi):
        return {'mac': mac, 'uptime': 300, 'chan_freq': 5180, 'chan_flags': 0x140, 'flags': 3, 'phymode': 10,
                'nss': 2, 'chainmask': 3, 'chain_rssi': [rssi, rssi - 3, 0], 'authmode': 0x40, 'cipher': 0x08,
                'stats': {'tx_packets': 4000, 'tx_retries': 200, 'rx_packets': 3000, 'rx_drops': 30,
                          'tx_bytes': 4000000, 'rx_bytes': 3000000, 'tx_success': 3800}}
    stations = [station(other['ath0'], 45)] + [station(m, 30 + 5 * i) for i, m in enumerate(CPES)]
    return {'interfaces': {
        'wifi0': {'athstats': {'noise': [-96, -97, -98]}},
        'ath0': {'name': '11na', 'essid': 'backhaul', 'mode': 3, 'freq': {'m': 5180, 'e': 6, 'i': 36},
                 'ap': '00:00:00:00:00:00', 'txpower': {'value': 20}, 'bitrate': 300000000,
                 'wlstats': {'rx_ucast': 1, 'tx_ucast': 2}, 'encode_flags': 0x8000, 'stations': stations}}}


def etc_files(key):
    """The device's own files beside the installation's /etc."""
    d = DEVICES[key]
    conf = ''.join("%s='%s'\n" % (k.upper(), v) for k, v in sorted(d.items()))
    conf += 'DEVICE=%s\nHB_URL=%s\nBROKER=%s\nORG=%s\nNET=%s\n' % (key, HB_URL, SERVER_IP, ORG, NET)
    return {'/etc/device.conf': conf, '/etc/serial-no': d['serial'] + '\n',
            '/etc/fakewifi.json': json.dumps(fakewifi(key), indent=1),
            '/etc/zelkd.conf': json.dumps({'heartbeat': {'url': HB_URL}})}


def command(mode, seconds=60):
    """The command the host runs as the virtual device."""
    return ['python3', SRC + '/tests/device/scenario.py', mode, str(seconds)]


def roots():
    """--root folders for the host: the installation's rootfs and device A's own files."""
    sys.path.insert(0, os.path.join(HERE, '..', '..', 'multool/lib/firmware/tests'))
    import fwfix
    board = {'/etc/board/mtd': fwfix.proc_mtd(MTD), '/etc/board/cmdline': CMDLINE + '\n'}
    return [os.path.join(HERE, 'rootfs'), dict(etc_files('a'), **board)]


def run(mode, seconds=60, out=None, capture=True, timeout=None, watch=None):
    """Host side: runs the scenario in a fresh virtual device; returns vdevlib's Result."""
    sys.path.insert(0, os.path.join(HERE, '..', 'harness'))
    import vdevlib
    return vdevlib.run(command(mode, seconds), roots=roots(), setup=SETUP, require=REQUIRE, out=out,
                       capture=capture, timeout=timeout or seconds + 150, watch=watch,
                       stubs=['/sbin/reset_to_defaults', '/sbin/modprobe'] + FW_STUBS)
