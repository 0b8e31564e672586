"""KPUT/KGET throughput of factoryd against a plain loopback copy, inside the virtual device."""
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '../tests/harness'))
sys.path.insert(0, os.path.join(HERE, '../multool/lib/board/tests'))
import kbeefmt  # noqa: E402
import vdevlib  # noqa: E402

STATION = r'''
import json, os, socket, struct, threading, time
SIZE = 16 << 20
data = os.urandom(SIZE)
def conn(port=7777):
    for _ in range(200):
        try:
            return socket.create_connection(('127.0.0.1', port))
        except OSError:
            time.sleep(0.02)
def until_end(s, limit=None):
    got = bytearray()
    while not got.endswith(b'$END'):
        chunk = s.recv(1 << 20)
        if not chunk:
            break
        got += chunk
    return bytes(got[:-4])
def plain():
    # the same bytes through a loopback socket pair copied by a second process: the baseline
    srv = socket.socket(); srv.bind(('127.0.0.1', 0)); srv.listen(1)
    pid = os.fork()
    if pid == 0:
        c, _ = srv.accept()
        with open('/tmp/plain', 'wb') as f:
            while True:
                b = c.recv(8192)
                if not b:
                    break
                f.write(b)
        c.sendall(b'$END')
        os._exit(0)
    s = socket.create_connection(srv.getsockname())
    t = time.monotonic()
    s.sendall(data); s.shutdown(socket.SHUT_WR); until_end(s)
    os.waitpid(pid, 0)
    return time.monotonic() - t
res = {'plain_s': min(plain() for _ in range(2))}
s = conn()
t = time.monotonic()
s.sendall(b'KPUT' + struct.pack('>I', 68) + b'/tmp/big'.ljust(64, b'\0') + struct.pack('>I', SIZE) + data)
until_end(s)
res['kput_s'] = time.monotonic() - t
res['kput_ok'] = open('/tmp/big', 'rb').read() == data
latency = []
def probe():
    time.sleep(0.05)
    t0 = time.monotonic()
    c = conn(); c.sendall(b'true\n'); until_end(c); c.close()
    latency.append(time.monotonic() - t0)
th = threading.Thread(target=probe); th.start()
t = time.monotonic()
s.sendall(b'KGET' + struct.pack('>I', 64) + b'/tmp/big'.ljust(64, b'\0'))
back = until_end(s)
res['kget_s'] = time.monotonic() - t
th.join()
res['kget_ok'] = back == data
res['accept_during_transfer_s'] = latency[0]
s.sendall(b'KCMD' + struct.pack('>I', 8) + b'continue'); until_end(s)
print(json.dumps(res))
'''

build = sys.argv[1]
os.environ['MT_BUILD_DIR'] = build
root = {'/etc/mtd-table/mtd': 'dev:    size   erasesize  name\nmtd5: 00010000 00001000 "art"\n',
        '/dev/mtdblock5': kbeefmt.image([(0x8000, kbeefmt.store([(14, b'7777')]))]),
        '/tmp/station.py': STATION}
r = vdevlib.run('mkfifo /tmp/con; exec 3<>/tmp/con; factoryd < /tmp/con > /dev/null 2>&1 & '
                'python3 /tmp/station.py; wait', roots=[root], env={'MT_PROC_DIR': '/etc/mtd-table'}, timeout=300)
line = [x for x in r.stdout.splitlines() if x.startswith('{')]
if not line:
    sys.exit('factoryd bench failed: %r' % r)
res = json.loads(line[0])
if not (res['kput_ok'] and res['kget_ok']):
    sys.exit('factoryd bench: the file did not arrive whole')
mib = 16
print('KPUT 16 MiB: %.0f MiB/s, %.2fx the time of a plain loopback copy' % (mib / res['kput_s'], res['kput_s'] / res['plain_s']))
print('KGET 16 MiB: %.0f MiB/s, %.2fx the time of a plain loopback copy' % (mib / res['kget_s'], res['kget_s'] / res['plain_s']))
print('a new connection answered %.0f ms after it was opened during the KGET' % (res['accept_during_transfer_s'] * 1000))
