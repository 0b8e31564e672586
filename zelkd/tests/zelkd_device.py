#!/usr/bin/env python3
"""Scenarios of the management agent, run inside the virtual device (zelkd_e2e_test.py starts one
device per scenario).  usage: zelkd_device.py SCENARIO

Each scenario starts the real /usr/sbin/zelkd against the peers of zelkpeer.py and checks what the
peers saw: every posted body is parsed with xml.etree and compared field by field with the fixtures."""
import os
import signal
import stat
import subprocess
import sys
import tarfile
import io
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zelkpeer import *  # noqa: E402,F401,F403

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print('FAIL:', what, flush=True)
    return cond


def texts(doc, tag):
    return [e.text for e in doc.iter(tag)]


def config(url, **kw):
    c = {'heartbeat': {'url': url}, 'connection': {'timeout': 10}}
    for k, v in kw.items():
        c[k] = v
    return c


MD5 = '0123456789abcdef0123456789abcdef'
SYSCONF_STUB = '/tmp/bin/sysconf'


def md5_stub():
    stub(SYSCONF_STUB, 'echo "$*" >> /tmp/sysconf.calls\n[ "$1" = -C ] && printf "%s\\nsecond line\\n"\n'
         'exit 0\n' % (MD5 + 'EXTRA'))


# ---- heartbeat document, requested statistics, alarms, shutdown ------------------------------------
def heartbeat():
    fx = stats_fixture()
    md5_stub()
    srv = Server()
    alertd = Alertd()
    put('/tmp/config.json', json.dumps({'system': {'device': {
        'name': 'roof <east> & "q"', 'location': 'mast 3', 'coordinate': {'latitude': 47.5, 'longitude': 8.25}}}}))
    long_oid = 'zelk.interface.rx_bytes.' + 'x' * 5000
    srv.default = \
        {'body': reply(interval=1,
                       stats=[{'id': 'rx', 'oid': 'zelk.interface.rx_bytes.$if_index(eth0)'},
                              {'id': 'up', 'oid': 'sys.uptime'},
                              {'id': 'long', 'oid': long_oid},
                              {'id': 'p2tx', 'oid': 'zelk.wireless.peer.tx_bytes.7.2'},
                              {'id': 'sig', 'oid': 'zelk.WIRELESS.Signal_Level.$(ath0)'},
                              {'id': 'upper', 'oid': 'ZELK.generic.cpu_load'},
                              {'id': 'cpu', 'oid': 'zelk.generic.cpu_load'},
                              {'id': 'mem', 'oid': 'zelk.generic.memory_usage'}],
                       alarms=[{'id': '5', 'name': 'rssi-low', 'desc': 'weak', 'threshold': '-80', 'oid': 'o.1',
                                'op': 'below', 'ifname': 'ath0'},
                               {'id': '6', 'name': 'n' * 40, 'threshold': '-9000000000', 'op': 'equal'},
                               {'id': '0', 'name': 'zero'},
                               {'name': 'noid'}])}
    agent = Agent(config(srv.url, path={'sysconf': SYSCONF_STUB}, system={'device': {'name': 'from-conf'}}),
                  serial='SN <1>')
    posts = srv.wait_posts(2)
    first, second = posts
    check(first['path'] == '/hb', 'path %r' % first['path'])
    h = first['headers']
    check(h.get('User-Agent') == 'zelk-agent/1.0', 'user agent %r' % h.get('User-Agent'))
    check(h.get('Content-Type') == 'application/x-www-form-urlencoded', 'content type %r' % h.get('Content-Type'))
    check(first['body'] == first['snapshot'], 'posted body is /tmp/zelk/last-heartbeat')
    doc = parse(first['body'])
    check(first['body'].startswith(b'<?xml version="1.0" encoding="UTF-8"?>\n<heartbeat version="2">\n'), 'prolog')
    check(doc.tag == 'heartbeat' and doc.get('version') == '2', 'root')
    want = {'counter': '1', 'mac-address': ETH0_MAC, 'ip-address': '192.0.2.5', 'serial-number': 'SN <1>',
            'device-name': 'roof <east> & "q"', 'firmware-revision': 'APCPE.QA-2.v7.51.3', 'config-MD5': MD5,
            'location': 'mast 3'}
    for k, v in want.items():
        check(doc.findtext(k) == v, '%s: %r, want %r' % (k, doc.findtext(k), v))
    c = doc.find('coordinates')
    check(c is not None and c.get('longitude') == '8.250000' and c.get('latitude') == '47.500000',
          'coordinates %r' % (c.attrib if c is not None else None))
    ds = doc.find('dev-state')
    check(ds is not None, 'dev-state present with ath0')
    if ds is not None:
        up = float(open('/proc/uptime').read().split()[0])
        check(0 < int(ds.findtext('uptime')) <= up, 'uptime %s' % ds.findtext('uptime'))
        for k, v in {'frequency': '5180', 'wireless-status': '1', 'ethernet-status': '1', 'data-rate': '300',
                     'encryption': '1', 'channel-width': '40'}.items():
            check(ds.findtext(k) == v, 'dev-state %s: %r, want %r' % (k, ds.findtext(k), v))
        check(ds.find('channel-width').get('level') == 'above', 'channel width level')
        ls = ds.find('local-stats')
        # chain averages over the two peers, truncated toward zero
        sig = [(e.get('antenna'), e.text) for e in ls.findall('signal')]
        check(sig == [('0', '-55'), ('1', '-58')], 'local signal %s' % sig)
        check(ls.findtext('transmit-power') == '23', 'local tx power')
        rs = ds.find('remote-state')
        check(rs is not None and rs.get('mac') == PEER1, 'remote-state of the first peer')
        if rs is not None:
            check([(e.get('antenna'), e.text) for e in rs.findall('signal')] == [('0', '-48')], 'remote signal')
            check(rs.findtext('transmit-power') == '19' and rs.findtext('ip-address') == '192.0.2.77', 'remote values')
    check(doc.find('alarms') is not None and len(doc.find('alarms')) == 0, 'empty alarms')
    st = doc.find('statistics')
    check(st is not None and len(st) == 0, 'first regular heartbeat: empty statistics block')
    check(b'\t<statistics>\r\n' in first['body'] and b'\t</statistics>\n' in first['body'], 'statistics framing')

    # the second heartbeat (interval 1 from the reply) answers the requested statistics
    doc2 = parse(second['body'])
    check(doc2.findtext('counter') == '2', 'counter 2')
    check(2.5 > second['time'] - first['time'] > 0.7, 'interval 1 s from the reply: %.2f' % (second['time'] - first['time']))
    stats = {e.get('id'): e.text for e in doc2.iter('stat')}
    check(stats == {'rx': '123456789012', 'p2tx': '33', 'sig': '-56', 'cpu': '17', 'mem': '42'},
          'statistics %s' % stats)
    check(agent.wait_log('Unknown OID') and agent.wait_log('Cannot parse OID'), 'refused identifiers logged')
    # the subscription after each round: hello, the valid alarms in order, byebye
    subs = alertd.wait_names(['hello', 'rssi-low', 'n' * 32, 'byebye'])
    a5, a6 = subs[1], subs[2]
    check((a5['id'], a5['desc'], a5['threshold'], a5['op'], a5['ifname'].rstrip(b'\0'), a5['oid'].rstrip(b'\0'))
          == (5, 'weak', -80, 1, b'ath0', b'o.1'), 'record 5 %s' % a5)
    check(a6['raw_name'] == b'n' * 32 and a6['threshold'] == -9000000000 and a6['op'] == 2, 'record 6 %s' % a6)
    check(subs[0]['raw_name'] == b'hello'.ljust(32, b'\0') and subs[0]['id'] == 0 and subs[0]['threshold'] == 0,
          'hello marker is all zero')
    check(not alertd.bad, 'malformed subscription frames %s' % alertd.bad[:1])

    # alarms: a good one, one with a 456-byte payload, a wrong name, a frame shorter than its length
    n0 = len(srv.posts)
    alertd.send(Alertd.record(6, b'n' * 32, -7, 2, -5, b'', b''))
    alertd.send(Alertd.record(5, b'rssi-low', -85, 1, 1700000000, b'ath0', b'02:AA:BB:CC:DD:01')[:456])
    alertd.send(Alertd.record(5, b'rssi-lox', -85, 1, 1700000000, b'ath0', b''))
    alertd.send(Alertd.record(5, b'rssi-low', -85, 1, 1700000000, b'ath0', b'')[:300], length=480)
    alertd.send(Alertd.record(5, b'rssi-low', -85, 1, 1700000000, b'ath0', b'') + b'0123456789', length=480)
    alertd.send(Alertd.record(5, b'rssi-low', -86, 1, 1700000001, b'a' * 20, b'M' * 24))
    # the first stored alarm sends a heartbeat at once: the lines may arrive in more than one
    def alarm_lines():
        return [dict(e.attrib) for p in list(srv.posts[n0:]) for e in parse(p['body']).find('alarms')]
    end = time.monotonic() + 10
    while len(alarm_lines()) < 2 and time.monotonic() < end:
        time.sleep(0.05)
    time.sleep(0.5)
    lines = alarm_lines()
    check({'id': '6', 'threshold': '-9000000000', 'value': '-7', 'timestamp': '-5', 'status': 'closed'} in lines,
          'closed alarm line, negative time stamp sign-extended: %s' % lines)
    check({'id': '5', 'threshold': '-80', 'value': '-86', 'timestamp': '1700000001', 'ifname': 'a' * 20,
           'peermac': 'M' * 24, 'status': 'active'} in lines, 'full-width texts bounded: %s' % lines)
    check(len(lines) == 2, 'only the two good alarms: %s' % lines)
    log = agent.text()
    check(log.count('Socket input has incorrect length.') == 2, 'short payload and trailing bytes refused')
    check('Socket input is corrupted.' in log, 'frame shorter than its length refused')
    check('not subscribed in alertd' in log, 'wrong name refused')
    alarm_post = [p for p in srv.posts[n0:] if b'<alarm ' in p['body']][0]
    check(parse(alarm_post['body']).find('statistics') is None, 'immediate heartbeat after an alarm has no statistics')

    # an alarms file over its limit takes no more lines until a heartbeat carried it away
    n1 = len(srv.posts)
    srv.wait_posts(n1 + 1)
    time.sleep(0.2)
    line = '\t\t<alarm id="6" threshold="1" value="2" timestamp="3" status="active"/>\n'
    filler = line * (100001 // len(line) + 1)
    put(ZELK + '/alarms', filler)
    alertd.send(Alertd.record(6, b'n' * 32, -8, 1, 9, b'', b''))
    check(agent.wait_log('size exceeds the limit 100000'), 'limit of the alarms file')
    n2 = len(srv.posts)
    srv.wait_posts(n2 + 1)
    got = [dict(e.attrib) for e in parse(srv.posts[n2]['body']).find('alarms')]
    check(len(got) == filler.count('\n') and all(a['value'] == '2' for a in got), 'no line past the limit: %d' % len(got))

    # SIGTERM: exit 0, the agent's files go, the pid file stays
    put(ZELK + '/zelk-stats', 'x')
    rc = agent.stop()
    check(rc == 0, 'exit status %r' % rc)
    for p in (ZELK + '/alarms', ZELK + '/optional', ZELK + '/zelk-stats', '/tmp/.tesk_send_alarm'):
        check(not os.path.exists(p), '%s removed at shutdown' % p)
    check(open('/var/run/zelkd.pid').read() == '%d\n' % agent.proc.pid, 'pid file stays')
    check(stat.S_IMODE(os.stat(ZELK).st_mode) == 0o755, '/tmp/zelk mode %o' % stat.S_IMODE(os.stat(ZELK).st_mode))
    check(os.path.exists(ZELK + '/last-heartbeat'), 'last heartbeat stays for the discovery daemon')
    logtext = agent.text()
    check("got 'SIGTERM'" in logtext, 'the loop logs the stop signal')
    srv.stop()


# ---- HTTPS, failed posts, slow server, signal storms, no alarm socket ---------------------------------
def posting():
    stats_fixture(ath0=False)
    md5_stub()
    srv = Server(tls=True)
    # the agent's receiving socket cannot be bound: a folder holds its path
    os.makedirs('/tmp/.tesk_send_alarm/x', exist_ok=True)
    ok_interval = reply(interval=1)
    srv.replies = [{'body': ok_interval},
                   {'code': 404, 'body': 'nope'}, {'code': 500, 'body': 'broken'},
                   {'delay': 4, 'body': ok_interval},           # beyond the 2 s time-out
                   {'body': ok_interval, 'headers': [('Link', '<https://192.0.2.1/x>; rel="next"')]},
                   {'delay': 1.5, 'body': reply(interval=1)},  # within the time-out, under a signal storm
                   {'body': reply(interval=4294967295)}]
    srv.default = {'body': reply(interval=1)}
    agent = Agent(config(srv.url, path={'sysconf': SYSCONF_STUB}, connection={'timeout': 2}))
    check(agent.wait_log('Waiting for new heartbeat'), 'first round done')
    put(ZELK + '/alarms', '\t\t<alarm id="1" threshold="0" value="1" timestamp="2"/>\n')
    srv.wait_posts(3)
    check(os.path.exists(ZELK + '/alarms'), 'alarms file kept after a failed post')
    check(not os.path.exists(ZELK + '/last-heartbeat-reply'), 'failed post leaves no reply file')
    srv.wait_posts(5)
    time.sleep(0.3)
    check('Could not send last 3 heartbeat(s).' in agent.text(), 'three failed posts reported once')
    check(agent.text().count('Could not send last') == 1, 'reported once')
    check(not os.path.exists(ZELK + '/alarms'), 'alarms file removed after the successful post')
    check(os.path.exists(ZELK + '/last-heartbeat-reply'), 'reply file after a success (a header held "<")')
    bodies = [parse(p['body']) for p in srv.posts[:5]]
    check([b.findtext('counter') for b in bodies] == ['1', '2', '3', '4', '5'], 'every generated document counted')
    check([len(b.find('alarms')) for b in bodies] == [0, 1, 1, 1, 1], 'the kept alarm goes out with every retry')
    check(all(b.find('dev-state') is None for b in bodies), 'no ath0: no dev-state')
    check(bodies[0].find('serial-number').text == '0' * 16, 'serial default without /etc/serial-no')
    check(bodies[0].find('coordinates') is None and bodies[0].find('location') is None, 'no coordinates, location')
    check(bodies[0].findtext('device-name') == 'no-name', 'default device name')
    gap = srv.posts[4]['time'] - srv.posts[3]['time']
    check(gap >= 1.9, 'the slow post was given up after the time-out (%.1f s)' % gap)
    # a post that takes 1.5 s while SIGUSR2 arrives every 20 ms still succeeds
    n = len(srv.posts)
    srv.wait_posts(6)
    end = time.monotonic() + 1.4
    sent = 0
    while time.monotonic() < end:
        agent.proc.send_signal(signal.SIGUSR2)
        sent += 1
        time.sleep(0.02)
    srv.wait_posts(7)
    time.sleep(0.5)
    log = agent.text()
    check(log.count('Could not send last') == 1 and 'select(2) failed' not in log and 'did not finish' not in log,
          'no post failed under the storm (%d signals)' % sent)
    check('Got SIGUSR2 signal.' in log, 'the loop logs the signal names')
    # the absurd interval is clamped, the agent neither spins nor dies
    before = len(srv.posts)
    time.sleep(2.5)
    check(len(srv.posts) == before, 'no tight loop after an interval of 4294967295: %d posts' % (len(srv.posts) - before))
    check(agent.proc.poll() is None, 'agent alive with the alarm socket unbound')
    # request headers against curl's own for the same post
    r = subprocess.run(['curl', '-sk', '-A', 'zelk-agent/1.0', '--data-binary', '@' + ZELK + '/last-heartbeat', srv.url],
                       capture_output=True)
    mine = sorted(srv.posts[0]['header_names'])
    theirs = sorted(srv.posts[-1]['header_names'])
    check(r.returncode == 0 and mine == theirs, 'headers %s vs curl %s' % (mine, theirs))
    check(agent.stop(signal.SIGINT) == 0, 'SIGINT ends with 0')
    srv.stop()


# ---- tasks -------------------------------------------------------------------------------------------
FW = bytes((i * 31 + 7) & 0xFF for i in range(200000))


def config_store():
    sys.path.insert(0, '/mnt/vdev/src/multool/lib/cfgstore/tests')
    import cfgstore
    blocks = [('config', b'{"system":{"hostname":"ap-roof"}}\n'), ('product', b'{"model":"KTRV-4100"}\n')]
    put('/var/cfg/config.bin', cfgstore.store(cfgstore.part(1, blocks), cfgstore.part(2, blocks)), 0o600)


def results(post):
    return [(e.get('id'), e.get('status'), e.get('type'), e.text or '') for e in parse(post['body']).iter('task-result')]


def tasks():
    stats_fixture()
    config_store()
    srv = Server()
    srv.files = {'/fw.bin': (FW, 'ok'), '/cut.bin': (FW, 'cut')}
    put('/tmp/fw.sha', sha256_bytes(FW))
    stub('/tmp/bin/fwupdate', 'echo "fwupdate $*" >> /tmp/calls\n'
         'if [ "$1" = -c ]; then [ "$(sha256sum /tmp/fwupdate.bin | cut -d" " -f1)" = "$(cat /tmp/fw.sha)" ]; exit $?; fi\n'
         'exit 3\n')
    stub('/tmp/bin/reboot', 'echo "reboot $*" >> /tmp/calls\nexit 0\n')
    stub('/usr/sbin/zelk-store-config', 'echo "store $*" >> /tmp/calls\ncp "$1" /tmp/store.got\n'
         'printf \'bad <key> & "q"\\n\' > /tmp/zelk-store-config-error\nexit 1\n')
    # an archive whose Base64 makes the next heartbeat larger than 1 MiB: posted with Expect: 100-continue
    stub('/usr/sbin/troubleshoot', 'echo "troubleshoot $*" >> /tmp/calls\nmkdir -p /tmp/ts && echo log > /tmp/ts/messages\n'
         'head -c 1200000 /dev/urandom > /tmp/ts/core\ntar -C /tmp -cf "$2" ts\n')
    probe = '$(touch /tmp/pwned1)`touch /tmp/pwned2`;touch /tmp/pwned3'
    t = lambda i, ty, text=None: dict(id=i, type=ty, **({'text': text} if text is not None else {}))
    srv.replies = [
        {'body': reply(interval=1, tasks=[t('up1', 'config-upload'), t('a&"b<' + probe, 'config-download', b64(b'{"k":1}')),
                                          t('bad', 'config-download', 'QQ=x'), t('r1', 'reset'), t('', 'reboot')])},
        {}, {}, {},
        {'body': reply(tasks=[t('cut', 'firmware-download', srv.url.replace('/hb', '/cut.bin'))], interval=1)},
        {'body': reply(tasks=[t('gone', 'firmware-download', 'http://127.0.0.1:1/' + probe)], interval=1)},
        {'body': reply(tasks=[t('fw', 'firmware-download', '\n   ' + srv.url.replace('/hb', '/fw.bin') + '\n  ')], interval=1)},
        {'body': reply(tasks=[t('up', 'firmware-upgrade')], interval=1)},
        {'body': reply(tasks=[t('ts', 'troubleshoot-upload')], interval=1)},
        {'body': reply(tasks=[t('rb', 'reboot')], interval=1)},
    ]
    srv.replies = [r if r else {'body': reply(interval=1)} for r in srv.replies]
    srv.default = {'body': reply(interval=1)}
    agent = Agent(config(srv.url, path={'fwupdate': '/tmp/bin/fwupdate', 'reboot': '/tmp/bin/reboot'}))
    posts = srv.wait_posts(10, timeout=40)
    conf = subprocess.run(['/usr/sbin/sysconf', '-r'], capture_output=True).stdout
    md5 = subprocess.run(['/usr/sbin/sysconf', '-C'], capture_output=True, text=True).stdout.split('\n')[0][:32]
    check(parse(posts[0]['body']).findtext('config-MD5') == md5 and len(md5) == 32, 'config-MD5 from the real sysconf')
    r = results(posts[1])
    check(len(r) == 1 and r[0][:3] == ('up1', 'ok', 'config-upload') and base64.b64decode(r[0][3]) == conf,
          'config-upload result is sysconf -r in Base64: %s' % (r,))
    check(results(posts[2]) == [('a&"b<' + probe, 'failed', 'config-download', 'bad <key> & "q"')],
          'store failure with its escaped error text: %s' % results(posts[2]))
    check(open('/tmp/store.got', 'rb').read() == b'{"k":1}', 'the store script got the decoded configuration')
    check(not os.path.exists('/tmp/zelk-store-config-error'), 'error file removed')
    check(results(posts[3]) == [('bad', 'failed', 'config-download', 'Failed to write configuration to flash')],
          'undecodable input: %s' % results(posts[3]))
    calls = open('/tmp/calls').read().splitlines()
    check(calls.count('store /tmp/zelk/zelk-config-apply-tmp') == 1, 'store script run once: %s' % calls)
    check(not os.path.exists('/tmp/zelk/zelk-config-apply-tmp') and not os.path.exists('/tmp/zelk/zelk-config-fetch-tmp'),
          'temporary files removed')
    check(all(parse(p['body']).find('statistics') is None for p in posts[1:4]), 'immediate heartbeats carry no statistics')
    check(results(posts[4]) == [] and parse(posts[4]['body']).find('statistics') is not None,
          'the round after the last task is regular again')
    check('#### Unknown content type reset. ####' in agent.text(), 'unknown type dropped with its message')
    check(results(posts[5]) == [('cut', 'failed', 'firmware-download', 'Failed to download firmware')],
          'cut download: %s' % results(posts[5]))
    check(results(posts[6]) == [('gone', 'failed', 'firmware-download', 'Failed to download firmware')],
          'unreachable: %s' % results(posts[6]))
    check(results(posts[7]) == [('fw', 'ok', 'firmware-download', 'Uploaded')], 'download: %s' % results(posts[7]))
    check(results(posts[8])[0][1] == 'failed' and os.path.exists('/tmp/fwupdate.bin'), 'the image stays for a retry')
    check(results(posts[8]) == [('up', 'failed', 'firmware-upgrade', 'Firmware installer failed, exit status 3')],
          'a failing installer is reported as failed: %s' % results(posts[8]))
    r = results(posts[9])
    check(len(r) == 1 and r[0][:3] == ('ts', 'ok', 'troubleshoot-upload'), 'troubleshoot: %s' % (r,))
    if r:
        names = tarfile.open(fileobj=io.BytesIO(base64.b64decode(r[0][3]))).getnames()
        check(sorted(names) == ['ts', 'ts/core', 'ts/messages'], 'archive %s' % names)
        check(posts[9]['headers'].get('Expect') == '100-continue', 'a heartbeat over 1 MiB waits for 100-continue')
    check(not os.path.exists('/tmp/troubleshoot.tar'), 'archive removed')
    # the reboot: "ok" kept in /data for after the restart, then no further work
    check(agent.wait_log('ZELK server requested a reboot.'), 'reboot requested')
    time.sleep(2.5)
    check(len(srv.posts) == 10, 'idle after the reboot program: %d posts' % len(srv.posts))
    kept = open('/data/zelk-tasks-xml').read()
    check(kept == '\t<task-result id="rb" status="ok" type="reboot"></task-result>\n', 'kept result %r' % kept)
    check(sha256('/tmp/fwupdate.bin') == sha256_bytes(FW), 'downloaded image intact')
    check([c for c in calls if c.startswith('fwupdate')] == ['fwupdate -c', 'fwupdate -c', 'fwupdate '] and 'reboot ' in open('/tmp/calls').read().splitlines(),
          'fwupdate calls %s' % [c for c in open('/tmp/calls').read().splitlines() if c.startswith('fwupdate')])
    check(not [p for p in os.listdir('/tmp') if p.startswith('pwned')], 'no server value reached a shell')
    check(agent.stop() == 0, 'stop')
    srv.stop()


# ---- start, options, daemon mode, the wait for the statistics files, configuration follow-up ---------
def start():
    r = subprocess.run(['/usr/sbin/zelkd', '-h'], capture_output=True)
    check(r.returncode == 255 and r.stderr == b'Options:\r\n\t-v verbose\r\n\t-d same as -v (verbose)\r\n'
          b'\t-f foreground\r\n\t-c <config> specify configuration file\r\n\t-h this help\r\n', 'usage %r' % (r,))
    put('/tmp/bad.conf', '{ not json')
    r = subprocess.run(['/usr/sbin/zelkd', '-f', '-c', '/tmp/bad.conf'], capture_output=True, text=True, timeout=10)
    check(r.returncode == 255 and 'Cannot parse configuration file.' in r.stderr, 'bad configuration: %r' % (r,))
    put('/tmp/ok.conf', '{}')
    r = subprocess.run(['/usr/sbin/zelkd', '-f', '-c', '/tmp/ok.conf'], capture_output=True, text=True, timeout=10)
    check(r.returncode == 255 and 'Failed to obtain device version information.' in r.stderr, 'no version: %r' % (r,))
    # without statistics files the agent waits; a stop request ends the wait, exit 0
    agent = Agent({}, args=('-f',))
    check(agent.wait_log('Waiting for up to 60 seconds for statistics files to appear...'), 'waits for statistics')
    t0 = time.monotonic()
    check(agent.stop() == 0 and time.monotonic() - t0 < 3, 'SIGTERM ends the wait')
    check("got 'SIGTERM'" in agent.text(), 'signal logged by the loop')
    # as a daemon: detached, the pid file names it; the device configuration is followed every round
    stats_fixture()
    md5_stub()
    srv = Server()
    put('/tmp/config.json', json.dumps({'device': {'name': 'dev-a', 'location': 'here'}}))
    srv.replies = [{'body': reply(interval=1)}]
    srv.default = {'body': reply(interval=1)}
    put('/tmp/zelkd.conf', json.dumps(config(srv.url, path={'sysconf': SYSCONF_STUB},
                                             heartbeat={'url': srv.url, 'dumprequest': True},
                                             device={'name': 'conf-name', 'latitude': 10, 'longitude': 0})))
    r = subprocess.run(['/usr/sbin/zelkd', '-c', '/tmp/zelkd.conf'], capture_output=True, timeout=10)
    check(r.returncode == 0, 'daemon start returns 0: %r' % (r,))
    srv.wait_posts(1)
    pid = int(open('/var/run/zelkd.pid').read())
    check(os.readlink('/proc/%d/exe' % pid) == '/usr/sbin/zelkd', 'pid file names the daemon')
    d = parse(srv.posts[0]['body'])
    check(d.findtext('device-name') == 'dev-a' and d.findtext('location') == 'here', 'names from /tmp/config.json')
    check(d.find('coordinates') is None, 'longitude 0: no coordinates')
    time.sleep(0.3)
    dump = open(ZELK + '/request', 'rb').read()
    check(dump.startswith(b'POST /hb HTTP/1.1\r\n') and b'<heartbeat version="2">' in dump and b'HTTP/1.1 200 OK' in dump,
          'the exchange dumped to /tmp/zelk/request: %r' % dump[:60])
    check(stat.S_IMODE(os.stat(ZELK + '/request').st_mode) == 0o600, 'dump file mode')
    put('/tmp/config.json', json.dumps({'system': {'device': {'name': 'dev-b'}}, 'device': {'name': 'dev-c'}}))
    n = len(srv.posts)
    srv.wait_posts(n + 2)
    d = parse(srv.posts[-1]['body'])
    check(d.findtext('device-name') == 'dev-b' and d.find('location') is None,
          'system.device.name wins, a location gone from the document is gone: %s %s' %
          (d.findtext('device-name'), d.findtext('location')))
    os.kill(pid, signal.SIGTERM)
    for _ in range(100):
        if exited(pid):
            break
        time.sleep(0.05)
    check(not os.path.exists('/tmp/.tesk_send_alarm'), 'daemon shut down cleanly')
    srv.stop()


def exited(pid):
    """The process is a zombie or already reaped (which may happen between two looks)."""
    try:
        return open('/proc/%d/stat' % pid).read().split()[2] == 'Z'
    except (FileNotFoundError, ProcessLookupError):
        return True


SCENARIOS = {'start': start, 'tasks': tasks, 'heartbeat': heartbeat, 'posting': posting}

if __name__ == '__main__':
    name = sys.argv[1]
    try:
        SCENARIOS[name]()
    except Exception as e:  # noqa: BLE001
        import traceback
        traceback.print_exc()
        failures.append('%s: %s' % (name, e))
    if os.path.exists('/tmp/zelkd.log') and failures:
        sys.stdout.write('---- zelkd log (tail)\n' + open('/tmp/zelkd.log', errors='replace').read()[-6000:])
    print('%s: %d failure(s)' % (name, len(failures)))
    sys.exit(1 if failures else 0)
