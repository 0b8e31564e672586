"""The world on the devices' LAN, run in the namespace "lan": the management server stand-in (HTTPS on
192.0.2.254:8443, zelkd/tests/zelkpeer.py), mosquitto with TLS and a cloud stand-in per device
(celvane/tests/cloud.py) and the real lldpd on both LAN ports.

What the world saw goes to /tmp/world/records.json (rewritten whole twice a second): the heartbeats
each device posted and whether its task came back done, the broker's connection lines, the cloud's
messages per device.  Writing "idle" to /tmp/world/mode makes the server hand out a long heartbeat
interval from the next reply on; "busy" a one-second one."""
import json
import os
import signal
import subprocess
import sys
import time

SRC = os.environ.get('VDEV_SRC', '/mnt/vdev/src')
sys.path.insert(0, os.path.join(SRC, 'zelkd/tests'))
sys.path.insert(0, os.path.join(SRC, 'celvane/tests'))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import zelkpeer  # noqa: E402
import cloud  # noqa: E402
import device  # noqa: E402

W = '/tmp/world'
TASK = 'job-17'


class DeviceCloud(cloud.Cloud):
    """The cloud side of one device: it answers that device's hello only (every one hears all)."""
    first = None

    def __init__(self, broker, org, client, **kw):
        super().__init__(broker, org, client, **kw)
        # a client id of its own: two with the stand-in's default would push each other off the broker
        self.c = cloud.mqtt.Client(client_id='cloud-' + client, clean_session=True)
        self.c.on_message = self.on_message
        self.c.on_connect = lambda c, u, f, rc: c.subscribe('#', 2)
        self.c.reconnect_delay_set(0.2, 1)

    def on_message(self, c, u, m):
        if m.topic.endswith('/hello') and self.client_id not in m.topic:
            return
        if m.topic == 'init/crt/request' and self is not DeviceCloud.first:
            return
        super().on_message(c, u, m)


def main():
    os.makedirs(W, exist_ok=True)
    stop = []
    signal.signal(signal.SIGTERM, lambda *a: stop.append(1))
    by_serial = {d['serial']: k for k, d in device.DEVICES.items()}
    tasked = set()

    def answer(rec):
        body = rec['body'].decode(errors='replace')
        key = next((k for s, k in by_serial.items() if s in body), None)
        rec['device'] = key
        mode = (zelkpeer._read(W + '/mode') or b'busy').strip()
        interval = 60 if mode == b'idle' else 1
        if key and key not in tasked:
            tasked.add(key)
            return {'body': zelkpeer.reply(interval=interval, tasks=[{'id': TASK + key, 'type': 'config-upload'}])}
        return {'body': zelkpeer.reply(interval=interval)}

    srv = zelkpeer.Server(tls=True, port=device.HB_PORT, host=device.SERVER_IP)
    srv.default = answer

    # the broker's certificate names the LAN address the devices connect to
    os.makedirs(cloud.D, exist_ok=True)
    if not os.path.exists(cloud.D + '/server.crt'):
        cloud.sh('cd %s && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes '
                 '-keyout ca.key -out ca.crt -days 30 -subj "/CN=test cloud CA"' % cloud.D)
        cloud.sh('cd %s && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes '
                 '-keyout server.key -out server.csr -subj "/CN=%s"' % (cloud.D, device.SERVER_IP))
        with open(cloud.D + '/san.ext', 'w') as f:
            f.write('subjectAltName=DNS:localhost,IP:127.0.0.1,IP:%s\n' % device.SERVER_IP)
        cloud.sh('cd %s && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial '
                 '-out server.crt -days 30 -extfile san.ext' % cloud.D)
    cids = {k: d['eth0'].replace(':', '') for k, d in device.DEVICES.items()}
    broker = cloud.Broker(users={'%s-%s' % (device.ORG, c): device.SECRET for c in cids.values()})
    broker.start()
    clouds = {}
    for k, c in cids.items():
        clouds[k] = DeviceCloud(broker, device.ORG, c, secret=device.SECRET, interval=5, network=device.NET)
        DeviceCloud.first = DeviceCloud.first or clouds[k]
        clouds[k].start()

    lldpd = subprocess.Popen(['lldpd', '-d', '-u', W + '/lldpd.sock', '-p', W + '/lldpd.pid',
                              '-I', 'lan-a,lan-b'], stdout=open(W + '/lldpd.log', 'w'), stderr=subprocess.STDOUT)
    with open(W + '/ready', 'w') as f:
        f.write('%d\n' % os.getpid())

    while not stop:
        with srv.cond:
            posts = [{'device': p.get('device'), 'time': p['time'], 'bytes': len(p['body']),
                      'task_results': [dict(e.attrib) for e in _results(p['body'])]} for p in srv.posts]
        rec = {'posts': posts,
               'connects': broker.connects(cids['a']) + broker.connects(cids['b']),
               'cloud': {k: [{'topic': m.topic, 'qos': m.qos, 't': m.t, 'bytes': len(m.payload)}
                             for m in list(c.msgs) if cids[k] in m.topic] for k, c in clouds.items()}}
        tmp = W + '/records.json.new'
        with open(tmp, 'w') as f:
            json.dump(rec, f)
        os.replace(tmp, W + '/records.json')
        time.sleep(0.5)
    lldpd.terminate()
    lldpd.wait(10)
    for c in clouds.values():
        c.stop()
    broker.stop()
    srv.stop()


def _results(body):
    try:
        return list(zelkpeer.parse(body).iter('task-result'))
    except Exception:
        return []


if __name__ == '__main__':
    main()
