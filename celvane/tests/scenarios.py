"""celvane end to end, inside the virtual device: `scenarios.py NAME` runs one scenario against the
real broker and the cloud service of cloud.py and exits 1 when a check failed.  eth0 is a veth with
a fixed address, so the client id is known."""
import hashlib
import json
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cloud import (Agent, Broker, Cloud, calls, check, failures, install_lua, start_alertd, alertd_signals,  # noqa: E402
                   stub, wait)

CID = '02000000c001'
ORG, NET = 'org1', 'net1'
SECRET = 's3cret'
STATE = '/var/run/celvane-cloud.json'
SECURE = '/var/run/logging/.secure_logging.json'


def state():
    try:
        return json.load(open(STATE))
    except (FileNotFoundError, ValueError):
        return None


def setup(secret=SECRET, interval=11, group=None):
    b = Broker(users={'%s-%s' % (ORG, CID): secret})
    b.start()
    install_lua()
    c = Cloud(b, ORG, CID, secret=secret, interval=interval, group=group, network=NET)
    c.start()
    return b, c


def operational(c, since, timeout=20):
    """The agent is registered: its first statistics after `since`."""
    return c.wait_msg(c.node(NET, 'stats'), since, timeout)


# -- the session ---------------------------------------------------------------------------------------
def session():
    GRP = 'grp'
    b, c = setup(group=GRP)
    alertd = start_alertd()
    os.makedirs('/tmp/.celvane_alerts')
    os.makedirs('/tmp/proximity')
    os.makedirs('/var/run/logging')
    with open(SECURE, 'w') as f:
        json.dump({'sessions': [{'mac': 'aa', 'start': 1}] * 3}, f, indent=2)
    t0 = time.time()
    a = Agent(['-vv', '-o', ORG, '-n', NET, '-g', GRP, '-i', '5'], foreground=False).start()
    check(wait(lambda: a.pid() and os.path.exists('/proc/%d' % a.pid()), 5), 'daemon wrote its pid file')
    # a second instance finds the pid file locked, waits 15 s for it and gives up with 255
    second = Agent(['-o', ORG], log='/tmp/second.log').start()

    req = c.wait_msg('init/crt/request', t0)
    check(req and req.payload == b'' and req.qos == 2 and not req.retain, 'certificate request: %r' % req)
    plain = [l for l in b.log() if 'on port 1883' in l]
    check(plain, 'certificate phase on the plain port')
    check(wait(lambda: os.path.exists('/data/.celvane.crt'), 5) and
          open('/data/.celvane.crt', 'rb').read() == b.ca, 'certificate file holds the CA')

    # phase 1: hello on the group's topic until the secret arrives
    hello = c.wait_msg('control/%s/%s/hello' % (GRP, CID), t0)
    check(hello is not None, 'hello on control/grp/C/hello')
    if hello:
        h = hello.json()
        check(h.get('requested_network') == NET and h.get('client_id') == CID and h.get('organization') == ORG
              and h.get('address') == 'ssl://localhost:8883' and h.get('router_id') == ''
              and isinstance(h.get('net_master'), bool), 'hello payload %r' % h)
        check(hello.qos == 2 and not hello.retain, 'hello QoS 2, not retained')
    check(not c.got('control/%s/%s/hello' % (ORG, CID)), 'no hello on the organization topic with a group id')

    st = operational(c, t0)
    check(st is not None, 'statistics once registered')
    if not st:
        print(a.log()[-3000:])
        return
    s1 = st.json()
    check(st.qos == 2 and not st.retain and s1.get('cpu') == 7, 'stats message %r' % st)
    info = c.got(c.node(NET, 'info'), t0)
    check(info and info[0].t <= st.t and info[0].json()['state']['network'] == NET,
          'info before the statistics: %r' % info[:1])

    conns = b.connects(CID)
    check(len(conns) >= 3, 'three connections: %r' % conns)
    if len(conns) >= 3:
        check('c1, k60' in conns[0] and "u'" not in conns[0], 'certificate connection: %s' % conns[0])
        check('c1, k60' in conns[1] and "u'" not in conns[1], 'authentication connection: %s' % conns[1])
        check("c1, k20, u'%s-%s'" % (ORG, CID) in conns[2], 'operational connection: %s' % conns[2])
    subs = b.subscribes(CID)
    want_control = []
    for s in ['ack', 'nack', 'sitesurvey', 'alerts/request']:
        want_control += [('control/%s/%s/%s' % (ORG, CID, s), 2), ('control/%s/%s/%s' % (GRP, CID, s), 2),
                         ('control/%s/%s' % (ORG, s), 2), ('control/%s/%s' % (NET, s), 2)]
    dev = ['firmware', 'firmwarebin', 'upgrade', 'config', 'flytrap', 'reboot', 'reset', 'gettroubleshoot',
           'scan', 'ping', 'kickmac', 'linktest_start']
    want_node = [('node/%s/%s/%s/%s' % (ORG, NET, CID, s), 2) for s in dev] + \
        [('node/%s/%s/%s' % (ORG, NET, s), 2) for s in ['nack', 'reboot', 'reset', 'gettroubleshoot', 'ping']]
    check(len(subs) == 4 and subs[0] == [('init/crt/response', 2)] and subs[1] == want_control
          and subs[2] == want_control and subs[3] == want_node, 'subscriptions in order: %r' % subs)
    will = [l for l in b.log() if 'Will message specified' in l]
    check(len(will) == 1, 'only the operational session has a will: %r' % will)
    check(state() == {'connected': True, 'registered': True, 'monitoring': False}, 'state file %r' % state())

    # secure logging: the file goes out after the statistics, and at once when it holds 10000 sessions
    sl = c.wait_msg(c.node(NET, 'secure_logging'), t0)
    check(sl and sl.t >= st.t and sl.payload == b'{"sessions":[{"mac":"aa","start":1},{"mac":"aa","start":1},'
          b'{"mac":"aa","start":1}]}' and not os.path.exists(SECURE), 'secure logging after the statistics: %r' % sl)
    t1 = time.time()
    with open(SECURE + '.tmp', 'w') as f:
        json.dump({'sessions': list(range(9999))}, f)
    os.rename(SECURE + '.tmp', SECURE)
    time.sleep(1.5)
    check(not c.got(c.node(NET, 'secure_logging'), t1) and os.path.exists(SECURE), '9999 sessions wait')
    with open(SECURE + '.tmp', 'w') as f:
        json.dump({'sessions': list(range(10000))}, f)
    os.rename(SECURE + '.tmp', SECURE)
    sl = c.wait_msg(c.node(NET, 'secure_logging'), t1, 5)
    check(sl and len(sl.json()['sessions']) == 10000 and wait(lambda: not os.path.exists(SECURE), 2),
          'secure logging published and removed at 10000 sessions')
    check(open(STATE).read().startswith('{\n  "connected"'), 'state file indented by 2')

    # watched directories: alertd was told, files dropped in are published compactly
    check(wait(lambda: 'SIGUSR2' in alertd_signals(), 5), 'alertd got SIGUSR2 when the alerts folder was watched')
    t1 = time.time()
    with open('/tmp/proximity/periodic.json', 'w') as f:
        f.write('{\n  "near": [1, 2],\n  "url": "http://x/y"\n}\n')
    with open('/tmp/proximity/other.json', 'w') as f:
        f.write('{"ignored": true}')
    with open('/tmp/.celvane_alerts/a1.json', 'w') as f:
        f.write('{"alert": "door"}')
    prox = c.wait_msg(c.node(NET, 'proximity_periodic'), t1)
    check(prox and prox.payload == b'{"near":[1,2],"url":"http://x/y"}', 'proximity payload %r' % prox)
    al = c.wait_msg(c.node(NET, 'alerts'), t1)
    check(al and al.json() == {'alert': 'door'}, 'alerts payload %r' % al)

    # SIGUSR1 dumps the state from the main loop, SIGUSR2 raises the level
    a.signal(signal.SIGUSR1)
    check(a.wait_log('registered:    \ttrue'), 'state dump')
    # the dump is many log lines; its last one says it is all there
    check(a.wait_log('upgrade timer expires after'), 'state dump ends')
    log = a.log()
    check('stats interval:\t11' in log and 'Subscribed to node topics:' in log and
          '\tnode/%s/%s/%s/ping' % (ORG, NET, CID) in log, 'dump lists the interval and topics')
    a.signal(signal.SIGUSR2)
    check(a.wait_log('Current log level 2 changing to 3'), 'SIGUSR2 cycles the level')

    # the interval is the acknowledgement's 11 s: a second round comes after it, not before
    st2 = c.wait_msg(c.node(NET, 'stats'), st.t + 0.5, 15)
    check(st2 is not None and 10.5 <= st2.t - st.t <= 13.5, 'second statistics after %.1f s' %
          ((st2.t - st.t) if st2 else -1))

    rc = second.wait_exit(20)
    check(rc == 255 and 'Waiting to lock' in open('/tmp/second.log').read() and time.time() - t0 >= 15,
          'second instance waited and gave up: %r' % rc)

    # a clean stop: status down, unsubscriptions, disconnect, files removed
    t2 = time.time()
    pid = a.pid()
    a.signal(signal.SIGTERM)
    check(a.wait_exit(15) == 0, 'agent stopped')
    down = c.got('control/%s/%s/status' % (ORG, CID), t2)
    check(down and down[0].payload == b'{"status": "down"}' and down[0].qos == 2, 'status down on stop %r' % down)
    after = lambda: [l.split(': ', 1)[1] for l in b.log() if int(l.split(':')[0]) >= int(t2)]
    wait(lambda: 'Received DISCONNECT from %s' % CID in after(), 3)
    log = '\n'.join(after())
    check(log.count('Received UNSUBSCRIBE from %s' % CID) == 2 and 'Received DISCONNECT from %s' % CID in log,
          'unsubscribed control and node topics and disconnected: %s %s' %
          ([l for l in b.log() if 'UNSUB' in l or 'DISCONNECT' in l], a.log()[-1500:]))
    check(not os.path.exists(STATE) and not os.path.exists('/var/run/celvane.pid'), 'state and pid files removed')
    check(not os.path.exists('/proc/%d' % pid), 'daemon gone')
    alertd.kill()


# -- commands ------------------------------------------------------------------------------------------
FW_STUB = """
if sys.argv[1:] == ['-c']:
    print('Image type: firmware upgrade')
    print('APCPE.QA-2.v7.52.1 "quoted"')
    sys.exit(int(open('/tmp/fwcheck.rc').read()) if os.path.exists('/tmp/fwcheck.rc') else 0)
import hashlib
with open('/tmp/fwinstall.sha1', 'w') as f:
    f.write(hashlib.sha1(open('/tmp/fwupdate.bin', 'rb').read()).hexdigest())
"""
TROUBLE_STUB = """
out = sys.argv[sys.argv.index('-o') + 1]
open(out, 'wb').write(open('/tmp/trouble.src', 'rb').read())
"""
SCAN_STUB = """
print(json.dumps({'bin': 1, 'power': [-90, -80]}), flush=True)
print('not json', flush=True)
print('{"pad": "' + 'x' * 40000 + '"}', flush=True)
print(json.dumps({'bin': 2, 'power': [-70]}), flush=True)
"""
LINKTEST_STUB = """
size = int(sys.argv[sys.argv.index('-s') + 1])
print(json.dumps({'packets': 10, 'size': size, 'loss': 0.5}), flush=True)
print('warming up', flush=True)
if os.path.exists('/tmp/linktest.hang'):
    time.sleep(60)
print(json.dumps({'packets': 10, 'size': size, 'loss': 0.0, 'last': True}), flush=True)
"""


def install_stubs():
    for path in ('/usr/sbin/sysconf', '/sbin/system_reload', '/sbin/reboot', '/sbin/reset_to_defaults',
                 '/usr/sbin/flytrapd', '/usr/sbin/killall'):
        stub(path)
    stub('/usr/sbin/fwupdate', FW_STUB)
    stub('/usr/sbin/troubleshoot', TROUBLE_STUB)
    stub('/sbin/spectraltool.sh', SCAN_STUB)
    stub('/usr/sbin/linktest', LINKTEST_STUB)


def registered_agent(c, args, log='/tmp/celvane.log'):
    t = time.time()
    a = Agent(['-vv', '-o', ORG, '-n', NET] + args, log=log).start()
    if not check(operational(c, t) is not None, 'agent registered'):
        print(a.log()[-3000:])
    return a


def events(c, since):
    return [m.json() for m in c.got(c.node(NET, 'log'), since)]


def probes_absent():
    return not any(os.path.exists('/tmp/pwned%d' % i) for i in range(5))


def commands_session(b, c):
    alertd = start_alertd()
    os.makedirs('/var/run/guest_access')
    a = registered_agent(c, ['-i', '5'])
    node = lambda sub: c.node(NET, sub)  # noqa: E731
    net = lambda sub: 'node/%s/%s/%s' % (ORG, NET, sub)  # noqa: E731

    a.signal(signal.SIGUSR1)
    check(a.wait_log('stats interval:\t60'), 'an interval of 5 became 60')
    req = c.wait_msg(node('aplist/request'))
    check(req and req.payload == b'' and req.qos == 2, 'access point list requested with guest access')
    subs = b.subscribes(CID)
    check(subs and subs[-1][-2:] == [(net('aplist/list'), 2), (node('aplist/list'), 2)],
          'access point list topics with the node topics: %r' % subs[-1:])

    t = time.time()
    c.send(node('ping'), {})
    info = c.wait_msg(node('info'), t)
    check(info and info.json()['state']['guest_access'] is True, 'ping answered with info')
    # the network's control topics are subscribed but nothing handles them
    c.send('control/%s/ack' % NET, {})
    check(a.wait_log('Received unknown topic control/%s/ack' % NET), 'network control topic unhandled')
    c.send(node('ping'), '{"broken": ')
    check(a.wait_log('Payload parse error for ping subtopic'), 'invalid JSON dropped')

    c.send(node('kickmac'), {'mac': ['aa:bb:cc:dd:ee:01', 'aa:bb:cc:dd:ee:02']})
    check(wait(lambda: os.path.exists('/tmp/kickmac.log') and
               open('/tmp/kickmac.log').read() == 'aa:bb:cc:dd:ee:01\naa:bb:cc:dd:ee:02\n'), 'kickmac per MAC')
    t = time.time()
    c.send('control/%s/%s/sitesurvey' % (ORG, CID), {'trigger': 'manual'})
    sr = c.wait_msg('control/%s/%s/sitesurvey_result' % (ORG, CID), t)
    check(sr and sr.json() == {'aps': [{'ssid': 'roof', 'signal': -61}], 'trigger': 'manual'} and sr.qos == 2,
          'site survey result %r' % sr)
    c.send('control/%s/%s/alerts/request' % (ORG, CID), {})
    check(wait(lambda: 'SIGUSR1' in alertd_signals(), 5), 'alerts request signalled alertd')

    # troubleshooting: the device topic runs the full collection, the network topic the short one
    archive = os.urandom(200000)
    open('/tmp/trouble.src', 'wb').write(archive)
    for topic, argv in ((node('gettroubleshoot'), ['-o', '/tmp/trouble_celvane.zip']),
                        (net('gettroubleshoot'), ['-s', '-o', '/tmp/trouble_celvane.zip'])):
        t = time.time()
        c.send(topic, {})
        tr = c.wait_msg(node('troubleshoot'), t)
        check(tr and tr.payload == archive and tr.qos == 2, 'troubleshooting archive published whole')
        check(calls('troubleshoot')[-1][1:] == argv, 'troubleshoot %r' % calls('troubleshoot')[-1:])
        check(not os.path.exists('/tmp/trouble_celvane.zip'), 'archive removed')

    # guest access: the master role takes the cache topics, and leaves them again
    t = time.time()
    c.send(net('aplist/list'), {'02:00:00:00:c0:01': True, '02:00:00:00:c0:02': False})
    mreq = c.wait_msg(node('maccache/request'), t)
    check(mreq and mreq.payload == b'', 'network master asks for the cache')
    apl = open('/var/run/guest_access/ap-list.json').read()
    check(json.loads(apl) == {'02:00:00:00:c0:01': True, '02:00:00:00:c0:02': False} and '\n  "' in apl,
          'ap-list.json written with indent 2')
    check(wait(lambda: b.subscribes(CID)[-1] == [(net(s), 2) for s in ('maccache/list', 'maccache/add',
                                                                          'maccache/del')], 5),
          'master topics subscribed')
    c.send(net('maccache/add'), {'mac': 'aa:bb:cc:dd:ee:03'})
    check(wait(lambda: os.path.exists('/tmp/maccache.log') and json.loads(open('/tmp/maccache.log').readline()) ==
               {'cmd': 'addmac', 'data': {'mac': 'aa:bb:cc:dd:ee:03'}}), 'cache operation through the script')
    t = time.time()
    with open('/var/run/guest_access/.mac-cache.tmp', 'w') as f:
        f.write('{"cache": ["aa:bb:cc:dd:ee:03"]}')
    os.rename('/var/run/guest_access/.mac-cache.tmp', '/var/run/guest_access/mac-cache.json')
    save = c.wait_msg(node('maccache/save'), t)
    check(save and save.payload == b'{"cache":["aa:bb:cc:dd:ee:03"]}', 'cache saved while master: %r' % save)
    n_unsub = sum('Received UNSUBSCRIBE' in l for l in b.log())
    c.send(net('aplist/list'), {'02:00:00:00:c0:01': False})
    check(a.wait_log('ga_deinit_master: Dropping net_master role!') and
          wait(lambda: sum('Received UNSUBSCRIBE' in l for l in b.log()) == n_unsub + 1, 5), 'master role dropped')

    # spectrum scan: names that are not interface names never reach a program
    for i, radio in enumerate(['wifi0;touch /tmp/pwned0', '$(touch /tmp/pwned1)', 'a' * 16, '`touch /tmp/pwned2`']):
        c.send(node('scan'), {'type': 'spectrum', 'action': 'start', 'radio': radio})
    t = time.time()
    c.send(node('scan'), {'type': 'spectrum', 'action': 'start', 'radio': 'wifi0'})
    res = c.wait_msg(node('results'), t, count=2)
    got = c.got(node('results'), t)
    check([m.json() for m in got] == [{'type': 'spectrum', 'wifi': 'wifi0', 'data': {'bin': 1, 'power': [-90, -80]}},
                                      {'type': 'spectrum', 'wifi': 'wifi0', 'data': {'bin': 2, 'power': [-70]}}]
          and all(m.qos == 0 for m in got), 'scan lines published at QoS 0: %r' % got)
    check(res and [cl[1:] for cl in calls('spectraltool.sh')] == [['wifi0']], 'one scan: %r' % calls('spectraltool.sh'))
    c.send(node('scan'), {'type': 'spectrum', 'action': 'stop'})
    check(wait(lambda: ['killall', 'spectralscan'] in [[os.path.basename(x[0])] + x[1:] for x in calls('killall')]),
          'scan stop runs killall spectralscan')

    # link test: checked ids and sizes, one run per size, the next after a clean exit
    for i, bad in enumerate([{'stationid': '1;touch /tmp/pwned3'}, {'stationid': '`touch /tmp/pwned4`'},
                             {'packetsize': [0]}, {'packetsize': [2297]}, {'packetsize': [-5]},
                             {'stationid': '00:11:22:33:44'}, {'iterations': 0}]):
        req = {'action': 'start', 'packetsize': [500], 'iterations': 3, 'trafficdirection': 'localtoremote',
               'stationid': '00:11:22:33:44:55'}
        req.update(bad)
        c.send(node('linktest_start'), req)
    t = time.time()
    c.send(node('linktest_start'), {'action': 'start', 'packetsize': [500, 1400], 'iterations': 3,
                                    'trafficdirection': 'localtoremote', 'stationid': '00:11:22:33:44:55'})
    lt = c.wait_msg(node('linktest'), t, count=4)
    runs = [cl[1:] for cl in calls('linktest')]
    check(runs == [['-t', '3', '-s', '500', '-p', '00:11:22:33:44:55', '-j', '-c', '3000', '-d', 'auto'],
                   ['-t', '3', '-s', '1400', '-p', '00:11:22:33:44:55', '-j', '-c', '10000', '-d', 'auto']],
          'link test runs %r' % runs)
    got = c.got(node('linktest'), t)
    check(lt and [m.json()['size'] for m in got] == [500, 500, 1400, 1400] and all(m.qos == 0 for m in got),
          'link test lines %r' % got)
    check(probes_absent(), 'no shell ran a probe')
    check(a.wait_log('linktest finished after 2 of 2 packet sizes'), 'link test finished')

    # a stop kills the running test from the main loop; the MQTT side keeps answering
    open('/tmp/linktest.hang', 'w').close()
    t = time.time()
    c.send(node('linktest_start'), {'action': 'start', 'packetsize': [64], 'iterations': 1,
                                    'trafficdirection': 'remotetolocal', 'stationid': '2'})
    check(c.wait_msg(node('linktest'), t), 'hanging test started')
    check(calls('linktest')[-1][1:] == ['-t', '1', '-s', '64', '-p', '2', '-j', '-r', '-c', '23437', '-d', 'auto'],
          'reverse run %r' % calls('linktest')[-1:])
    c.send(node('linktest_start'), {'action': 'stop'})
    # killed at once, not only reaped after the grace time
    check(wait(lambda: not subprocess.run(['pgrep', '-f', '/usr/sbin/linktest'], capture_output=True).stdout, 1.5),
          'link test child gone after stop')
    check(wait(lambda: ['linktest'] in [x[1:] for x in calls('killall')]), 'stop runs killall linktest')
    t = time.time()
    c.send(node('ping'), {})
    check(c.wait_msg(node('info'), t, 5), 'still answering after the stop')
    os.unlink('/tmp/linktest.hang')

    # flytrap on and off
    c.send(node('flytrap'), {'flytrap': True})
    check(wait(lambda: calls('flytrapd')), 'flytrapd started')
    ft = json.load(open('/var/run/flytrap.json'))
    check(ft == {'host': 'localhost', 'organization': ORG, 'network': NET}, 'flytrap.json %r' % ft)
    c.send(node('flytrap'), {'flytrap': False})
    check(wait(lambda: ['flytrapd'] in [x[1:] for x in calls('killall')] and not os.path.exists('/var/run/flytrap.json')),
          'flytrap stopped')

    # firmware: no announced digest, a refused check, then an upgrade that stops the agent
    t = time.time()
    blob = os.urandom(3 * 1024 * 1024 + 17)
    digest = hashlib.sha1(blob).hexdigest()
    c.send(node('firmwarebin'), blob)
    check(wait(lambda: events(c, t) == [{'event': 'e0102', 'params': {}}]), 'image without announcement refused')
    c.send(node('upgrade'), {'firmware_bin': 'img-7', 'delay': 0})
    gf = c.wait_msg(node('getfirmware'), t)
    check(gf and gf.payload == b'{"firmware_id": "img-7"}' and gf.qos == 2, 'getfirmware %r' % gf)
    c.send(node('firmwarebin'), blob)
    check(wait(lambda: len(events(c, t)) == 2) and not os.path.exists('/tmp/fwupdate.bin') and not calls('fwupdate'),
          'announcement without sha1 is a mismatch')
    open('/tmp/fwcheck.rc', 'w').write('1')
    c.send(node('upgrade'), {'firmware_bin': 'img-7', 'delay': 0, 'sha1': digest})
    c.send(node('firmwarebin'), blob)
    check(wait(lambda: len(events(c, t)) == 3) and calls('fwupdate') == [['/usr/sbin/fwupdate', '-c']] and
          not os.path.exists('/tmp/fwupdate.bin'), 'image refused by the check is removed')
    os.unlink('/tmp/fwcheck.rc')
    t = time.time()
    c.send(node('upgrade'), {'firmware_bin': 7, 'delay': 0, 'sha1': digest.upper()[:0] + digest})
    c.send(node('firmwarebin'), blob)
    check(a.wait_exit(15) == 0, 'upgrade stopped the agent')
    ev = events(c, t)
    check(ev == [{'event': 'e0101', 'params': {'firmware': 'APCPE.QA-2.v7.52.1 "quoted"'}}], 'upgrade event %r' % ev)
    check([x[1:] for x in calls('fwupdate')][-3:] == [['-c'], ['-c'], []], 'check, check, install')
    check(open('/tmp/fwinstall.sha1').read() == digest, 'installed image is the one sent')
    down = c.got('control/%s/%s/status' % (ORG, CID), t)
    check(down and down[0].payload == b'{"status": "down"}', 'status down before the upgrade')
    alertd.kill()


def commands_config(c):
    # a received configuration keeps the device's onvif settings and is applied after its delay
    with open('/tmp/config.json', 'w') as f:
        json.dump({'services': {'onvif': {'enabled': True, 'port': 8899}}, 'system': {'hostname': 'old'}}, f)
    a = registered_agent(c, [])
    t = time.time()
    c.send(c.node(NET, 'config'), {'config': {'system': {'hostname': 'new', 'url': 'http://x/y'}, 'services': {}},
                                   'delay': 0})
    check(a.wait_exit(10) == 0, 'configure stopped the agent')
    text = open('/tmp/config.json').read()
    check(json.loads(text) == {'system': {'hostname': 'new', 'url': 'http://x/y'},
                               'services': {'onvif': {'enabled': True, 'port': 8899}}}, 'config saved: %s' % text)
    check('http:\\/\\/x\\/y' in text and '\n  "system"' in text, 'indent 2 and escaped slashes')
    check(json.load(open('/tmp/config_onvif')) == {'enabled': True, 'port': 8899}, 'onvif member kept aside')
    check([x[1:] for x in calls('sysconf')] == [['-w']] and [x[1:] for x in calls('system_reload')] == [['-n']],
          'sysconf -w, then system_reload -n')
    down = c.got('control/%s/%s/status' % (ORG, CID), t)
    check(down and down[0].t - t >= 0.9, 'status down after the 1 s of a zero delay')


def commands_reboot(c):
    a = registered_agent(c, [])
    t = time.time()
    c.send('node/%s/%s/reboot' % (ORG, NET), {'delay': 0})
    check(a.wait_exit(10) == 0, 'reboot stopped the agent')
    check(calls('reboot') == [['/sbin/reboot']], 'reboot ran: %r' % calls('reboot'))
    check(c.got('control/%s/%s/status' % (ORG, CID), t), 'status down before the reboot')


def commands():
    b, c = setup(interval=None)
    install_stubs()
    commands_session(b, c)
    commands_config(c)
    commands_reboot(c)


# -- losing the broker ---------------------------------------------------------------------------------
def backoffs(a, since_len):
    return [int(l.split()[-2]) for l in a.log()[since_len:].splitlines() if l.startswith('next connection attempt in')]


def resilience():
    b, c = setup()
    t = time.time()
    a = Agent(['-vv', '-o', ORG, '-n', NET, '-i', '11']).start()
    check(operational(c, t) is not None, 'registered')
    threads = a.threads()

    # nack: back to authentication, a new hello and acknowledgement, registered again
    t = time.time()
    c.send('node/%s/%s/nack' % (ORG, NET), {})
    check(operational(c, t, 10) and c.got('control/%s/%s/hello' % (ORG, CID), t), 'registered again after a nack')

    # the broker dies: the state file says so at once, and the agent comes back after the restart
    b.stop(signal.SIGKILL)
    check(wait(lambda: state() == {'connected': False, 'registered': False, 'monitoring': False}, 3),
          'state file after the connection loss: %r' % state())
    time.sleep(2)
    t = time.time()
    b.start()
    check(operational(c, t, 15) is not None, 'registered after a broker restart')
    check(a.proc.poll() is None and a.threads() <= threads, 'no thread left behind: %d, was %d' % (a.threads(), threads))

    # the TLS listener is cut: certificate, failure, longer and longer waits; then it is back
    mark = len(a.log())
    b.stop()
    b.start(tls=False)
    tcut = time.time()
    time.sleep(6)
    certs = [l for l in b.log(tcut) if 'as %s (p2, c1, k60)' % CID in l]
    seen = backoffs(a, mark)
    check(2 <= len(seen) <= 5 and seen == sorted(seen) and seen[-1] > seen[0], 'back-off grows: %r' % seen)
    check(1 <= len(certs) <= 3, 'certificate connections while TLS is cut: %d' % len(certs))
    b.stop()
    t = time.time()
    b.start()
    check(operational(c, t, 20) is not None, 'registered once TLS is back (%.1f s after the cut)' % (time.time() - tcut))

    # the broker refuses the login: back to authentication with growing waits, never stuck
    mark = len(a.log())
    c.secret = 'wrong'
    c.send('node/%s/%s/nack' % (ORG, NET), {})
    # the broker answers a refused login before it knows the client: 'Sending CONNACK to <address> (0, 5)'
    refused = lambda: [l for l in b.log() if 'Sending CONNACK to ' in l and l.endswith(' (0, 5)')]  # noqa: E731
    check(wait(lambda: len(refused()) >= 2, 12), 'login refused twice: %r' % refused())
    seen = wait(lambda: backoffs(a, mark)[:2] == [1, 2] and backoffs(a, mark), 5) or backoffs(a, mark)
    check(seen[:2] == [1, 2], 'back-off grows: %r' % seen)
    c.secret = SECRET
    t = time.time()
    check(operational(c, t, 15) is not None, 'registered with the right secret')

    # killed: the broker publishes the will, compact
    t = time.time()
    a.proc.kill()
    a.proc.wait()
    will = c.wait_msg('control/%s/%s/status' % (ORG, CID), t, 25)
    check(will and will.payload == b'{"status":"down"}' and will.qos == 2 and not will.retain, 'will %r' % will)

    # -t: ends with 0 once authentication connects; with no broker at all, with 1
    for f in ('/var/run/celvane.pid',):
        if os.path.exists(f):
            os.unlink(f)
    r = subprocess.run([CELVANE_T, '-t', '-o', ORG], capture_output=True, timeout=30)
    check(r.returncode == 0, '-t against the broker: %r' % r.returncode)
    b.stop()
    r = subprocess.run([CELVANE_T, '-t', '-o', ORG], capture_output=True, timeout=60)
    check(r.returncode == 1 and not os.path.exists('/data/.celvane.crt'), '-t without a broker: %r' % r.returncode)


CELVANE_T = '/usr/sbin/celvane'


def main():
    name = sys.argv[1]
    globals()[name]()
    if failures:
        print('%d check(s) failed' % len(failures))
        for f in ("/tmp/celvane.log", "/tmp/calls.log"):
            if os.path.exists(f):
                print('---- %s (tail)' % f)
                print(open(f, errors='replace').read()[-int(os.environ.get('TAIL', 4000)):])
        sys.exit(1)
    print('%s: all checks passed' % name)


if __name__ == '__main__':
    main()
