#!/usr/bin/env python3
"""Driver of bench/zelkd.sh.  Host side: starts one virtual device per part.  Device side (with
--device PART): runs the real zelkd against the peers of zelkd/tests/zelkpeer.py.

  soak:      10,000 heartbeats over HTTPS, SIGUSR2 storms throughout, the server restarted every
             2,000 posts; counts posts, failures and counter gaps, and the agent's memory (smaps_rollup)
             early and late.
  callgrind: instructions per heartbeat round (snapshot, document, post over HTTP) with 2, 32 and 128
             stations, each with its remote document."""
import json
import os
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.dirname(HERE)


def host(build):
    sys.path.insert(0, os.path.join(SRC, 'tests', 'harness'))
    import vdevlib
    for part, limit in (('soak', 4000), ('callgrind', 900)):
        r = vdevlib.run(['python3', '/mnt/vdev/src/bench/zelkd_bench.py', '--device', part], build=build,
                        timeout=limit)
        sys.stdout.write(r.stdout)
        if r.returncode != 0:
            sys.stderr.write(r.stderr[-3000:])
            return 1
    return 0


# ---- device side -------------------------------------------------------------------------------------
def rollup(pid):
    """The largest figures of 20 samples over a second: while a helper the agent forked is alive, its
    pages count as shared, not private."""
    best = {}
    for _ in range(20):
        for line in open('/proc/%d/smaps_rollup' % pid):
            parts = line.split()
            if len(parts) >= 3 and parts[-1] == 'kB':
                key = parts[0].rstrip(':')
                best[key] = max(best.get(key, 0), int(parts[1]))
        time.sleep(0.05)
    return best


def soak():
    from zelkpeer import Server, Alertd, Agent, stats_fixture, stub, reply, ALARM
    total = int(os.environ.get('ZELKD_BENCH_HEARTBEATS', '10000'))
    restart_every, window = max(100, total // 5), 2.0
    stats_fixture()
    stub('/tmp/bin/sysconf', 'echo 0123456789abcdef0123456789abcdef\n')
    alertd = Alertd()
    alarm_rules = [{'id': '5', 'name': 'load', 'threshold': '90', 'op': 'equal'}]
    body = reply(interval=1, alarms=alarm_rules, stats=[{'id': 'rx', 'oid': 'zelk.interface.rx_bytes.2'}])
    state = {'srv': None, 'posts': [], 'down': []}
    frame = ALARM.pack(5, b'load', b'', b'', b'', 95, 1, 1700000000, b'')

    def answer(rec):
        # every post is answered and followed by an alarm, so the next heartbeat goes out at once;
        # every 200th round is left without one, so regular rounds (with statistics) happen too
        n = len(state['posts']) + len(state['srv'].posts)
        if n % 200:
            alertd.send(frame)
        return {'body': body}

    def start(port=0):
        srv = Server(tls=True, port=port)
        srv.default = answer
        return srv

    state['srv'] = start()
    port = state['srv'].port
    agent = Agent({'heartbeat': {'url': state['srv'].url}, 'connection': {'timeout': 5},
                   'path': {'sysconf': '/tmp/bin/sysconf'}}, verbose=False)
    pid = agent.proc.pid
    stop_storm = threading.Event()
    storms = [0]

    def storm():
        while not stop_storm.is_set():
            try:
                os.kill(pid, signal.SIGUSR2)
                storms[0] += 1
            except ProcessLookupError:
                return
            time.sleep(0.002)

    # the storm starts once the agent runs its loop (before it installs its handlers a SIGUSR2 ends
    # any program, as the discovery daemon's sender knows: it signals the pid of the pid file only)
    state['srv'].wait_posts(1)
    threading.Thread(target=storm, daemon=True).start()
    t0 = time.monotonic()
    early = late = None
    seen = 0
    while seen < total:
        srv = state['srv']
        done = len(state['posts']) + len(srv.posts)
        if early is None and done >= 200:
            early = rollup(pid)
        if len(srv.posts) >= restart_every and done < total:
            state['posts'] += srv.posts
            srv.stop()
            state['down'].append(time.monotonic())
            time.sleep(window)
            state['srv'] = start(port)
            continue
        seen = done
        if agent.proc.poll() is not None:
            break
        if time.monotonic() - t0 > 3600:
            break
        time.sleep(0.05)
    if agent.proc.poll() is not None:
        print('zelkd soak: the agent ended with %r after %d posts' % (agent.proc.returncode, seen))
        print(open('/tmp/zelkd.log', errors='replace').read()[-3000:])
        return 1
    late = rollup(pid)
    stop_storm.set()
    elapsed = time.monotonic() - t0
    state['posts'] += state['srv'].posts
    rc = agent.stop()
    counters = [int(p['body'].split(b'<counter>')[1].split(b'<')[0]) for p in state['posts']]
    gaps = sum(b - a - 1 for a, b in zip(counters, counters[1:]))
    text = open('/tmp/zelkd.log', errors='replace').read()
    reported = [int(line.split('last ')[1].split(' ')[0]) for line in text.splitlines() if 'Could not send last' in line]
    regular = sum(1 for p in state['posts'] if b'<statistics>' in p['body'])
    print('zelkd soak: %d heartbeats posted in %.0f s (%.1f ms each), %d regular with statistics, TLS' %
          (len(state['posts']), elapsed, elapsed * 1000 / max(1, len(state['posts'])), regular))
    print('zelkd soak: %d SIGUSR2 sent, %d server restarts; counter gaps %d, failed posts reported %s (all in '
          'restart windows: %s)' % (storms[0], len(state['down']), gaps, reported,
                                    len(reported) <= len(state['down']) and gaps <= sum(reported)))
    print('zelkd soak: memory after 200 / %d heartbeats: Rss %d / %d kB, Pss %d / %d kB, Private_Dirty %d / %d kB'
          % (len(state['posts']), early['Rss'], late['Rss'], early['Pss'], late['Pss'], early['Private_Dirty'],
             late['Private_Dirty']))
    ok = (rc == 0 and len(state['posts']) >= total and len(reported) <= len(state['down']) and gaps <= sum(reported)
          and late['Rss'] - early['Rss'] < 512)
    print('zelkd soak: %s' % ('ok' if ok else 'FAILED (exit %r)' % rc))
    return 0 if ok else 1


def stations_fixture(n):
    from zelkpeer import put
    peers = [{'mac': '02:AA:00:00:%02X:%02X' % (i >> 8, i & 255), 'vap': 'ath0', 'vapIfIndex': 7, 'linkUptime': 100 + i,
              'txRate': 300, 'rxRate': 270, 'signal': [-50 - i % 20, -53 - i % 20], 'txBytes': i, 'rxBytes': 2 * i}
             for i in range(n)]
    put('/var/run/stats/wireless.json', json.dumps({
        'radios': {'dev': {'wifi0': {'frequency': 5180.0, 'bitrate': 300, 'txPower': 23, 'channelWidth': '40+'}}},
        'vaps': [{'ifIndex': 7, 'name': 'ath0', 'mac': '02:00:00:00:00:07', 'radio': 'wifi0', 'security': 'wpa2'}],
        'peers': peers}, indent=2))
    put('/var/run/stats/state/wireless.json', json.dumps({'peers': [{'txBytes': i, 'rxBytes': i} for i in range(n)]}))
    for p in peers:
        put('/var/run/stats/remote-%s.json' % p['mac'],
            json.dumps({'deviceIp': '192.0.2.9', 'wireless': {'txPower': 19, 'signal': [-48, -50]}}))
    put('/var/run/stats/statistics.json', json.dumps({'interfaces': {'eth0': {
        'if_index': 2, 'mac_address': '00:11:22:AA:BB:01', 'link': 'yes', 'rx_bytes': 1, 'tx_bytes': 2}},
        'cpu_load': 1, 'memory_usage': 2.0, 'device_ip': '192.0.2.5'}))


def callgrind():
    from zelkpeer import Server, stub, reply, put
    stub('/tmp/bin/sysconf', 'echo 0123456789abcdef0123456789abcdef\n')
    put('/usr/lib/version', 'APCPE.QA-2.v7.51.3\n')
    results = []
    for n in (2, 32, 128):
        stations_fixture(n)
        srv = Server()
        srv.default = {'body': reply(interval=1, stats=[{'id': 'p', 'oid': 'zelk.wireless.peer.tx_bytes.7.%d' % n}])}
        with open('/tmp/zelkd.conf', 'w') as f:
            json.dump({'heartbeat': {'url': srv.url}, 'path': {'sysconf': '/tmp/bin/sysconf'}}, f)
        out = '/tmp/cg.%d' % n
        p = subprocess.Popen(['valgrind', '--tool=callgrind', '--callgrind-out-file=' + out,
                              '--toggle-collect=zelk_heartbeat*', '/usr/sbin/zelkd', '-f', '-c', '/tmp/zelkd.conf'],
                             stdout=subprocess.DEVNULL, stderr=open('/tmp/valgrind.log', 'w'))
        rounds = 6
        srv.wait_posts(rounds, timeout=300)
        p.send_signal(signal.SIGTERM)
        p.wait(60)
        srv.stop()
        posts = len(srv.posts)
        ann = subprocess.run(['callgrind_annotate', '--inclusive=yes', out], capture_output=True, text=True).stdout
        total = incl = doc = 0
        for line in ann.splitlines():
            parts = line.split()
            if not parts or not parts[0].replace(',', '').isdigit():
                continue
            v = int(parts[0].replace(',', ''))
            if 'PROGRAM TOTALS' in line:
                total = v
            elif 'collect_dev_info' in line and not incl:
                incl = v
            elif 'zelk_write_document' in line and not doc:
                doc = v
        results.append((n, posts, total, incl, doc))
    base = None
    for n, posts, total, incl, doc in results:
        per = total / posts
        base = base or per
        print('zelkd callgrind: %3d stations: %d rounds, %.0f instructions per round (snapshot %.0f, document %.0f '
              'with its statistics block, per round), x%.2f of 2 stations' % (n, posts, per, incl / posts, doc / posts, per / base))
    (n0, p0, t0, s0, _), (n1, p1, t1, s1, _) = results[0], results[-1]
    per_station = (t1 / p1 - t0 / p0) / (n1 - n0)
    print('zelkd callgrind: %.0f instructions per station and round (from %d to %d stations)' % (per_station, n0, n1))
    return 0


if __name__ == '__main__':
    if len(sys.argv) > 2 and sys.argv[1] == '--device':
        sys.path.insert(0, os.path.join(SRC, 'zelkd', 'tests'))
        sys.exit({'soak': soak, 'callgrind': callgrind}[sys.argv[2]]())
    sys.exit(host(sys.argv[1]))
