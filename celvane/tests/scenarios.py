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


def state():
    try:
        return json.load(open(STATE))
    except (FileNotFoundError, ValueError):
        return None


def setup(secret=SECRET, interval=11, group=None):
    b = Broker(users={'%s-%s' % (ORG, CID): secret})
    b.start()
    install_lua()
    c = Cloud(b, ORG, CID, secret=secret, interval=interval, group=group)
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
    log = a.log()
    check('stats interval:\t11' in log and 'Subscribed to node topics:' in log and
          '\tnode/%s/%s/%s/ping' % (ORG, NET, CID) in log, 'dump lists the interval and topics')
    a.signal(signal.SIGUSR2)
    check(a.wait_log('Current log level 2 changing to 3'), 'SIGUSR2 cycles the level')

    # the interval is the acknowledgement's 11 s: a second round comes after it, not before
    st2 = c.wait_msg(c.node(NET, 'stats'), st.t + 0.5, 15)
    check(st2 is not None and 10.5 <= st2.t - st.t <= 13.5, 'second statistics after %.1f s' %
          ((st2.t - st.t) if st2 else -1))

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
    rc = second.wait_exit(20)
    check(rc == 255 and 'Waiting to lock' in open('/tmp/second.log').read() and time.time() - t0 >= 15,
          'second instance waited and gave up: %r' % rc)
    alertd.kill()


# -- commands ------------------------------------------------------------------------------------------
def commands():
    pass


# -- losing the broker ---------------------------------------------------------------------------------
def resilience():
    pass


def main():
    name = sys.argv[1]
    globals()[name]()
    if failures:
        print('%d check(s) failed' % len(failures))
        for f in ('/tmp/celvane.log',):
            if os.path.exists(f):
                print('---- %s (tail)' % f)
                print(open(f, errors='replace').read()[-4000:])
        sys.exit(1)
    print('%s: all checks passed' % name)


if __name__ == '__main__':
    main()
