#!/usr/bin/env python3
"""launchd on the virtual device: real POSIX timers, inotify and fork/exec in the device's private
/tmp.  The services are small shell commands that append when they started and ended (read from
/proc/uptime by the shell itself, so no extra process skews the times) and who their parent was.

The outer run starts the device; inside, this same file (--inside) runs launchd three times, writes,
rewrites, moves and deletes service files while it runs, and checks the records.  Periods are scaled
down (200-300 ms) and the checks leave room for a busy two-core machine."""
import json
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def outer():
    sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
    import vdevlib
    r = vdevlib.run(['python3', '-S', os.path.abspath(__file__), '--inside'], timeout=120)
    sys.stdout.write(r.stdout)
    sys.stderr.write(r.stderr)
    if r.returncode != 0:
        sys.exit('launchd on the device failed (status %d)' % r.returncode)


# -- inside the device ----------------------------------------------------------------------------------
BASE = '/tmp/launchd'
PERIODIC = BASE + '/periodic'
SERVICES = BASE + '/services'
LOGS = '/tmp/log'
failures = []


def check(cond, what):
    print('%s: %s' % ('ok' if cond else 'FAIL', what))
    if not cond:
        failures.append(what)


def uptime():
    return time.clock_gettime(time.CLOCK_BOOTTIME)  # the clock /proc/uptime reads


# When launchd forked the shell: field 22 of /proc/self/stat, read by the shell itself, in clock ticks of
# the clock /proc/uptime reads.  A busy machine may start the shell late; this time it cannot move.
FORKED = 'read -r f1 f2 f3 f4 f5 f6 f7 f8 f9 f10 f11 f12 f13 f14 f15 f16 f17 f18 f19 f20 f21 st x < /proc/self/stat'
TICK = os.sysconf('SC_CLK_TCK')


def cmd(name, run_s=0.0, extra=''):
    c = FORKED + '; echo "${st}t start $PPID" >> %s/%s' % (LOGS, name)
    if run_s:
        c += '; sleep %s; read up x < /proc/uptime; echo "$up end" >> %s/%s' % (run_s, LOGS, name)
    return c + extra


def service(path, name, command, period, **more):
    doc = {'service': dict({'name': name, 'exec': command, 'period': period}, **more)}
    with open(path, 'w') as f:
        json.dump(doc, f)


def records(name):
    """[(uptime, 'start', ppid) | (uptime, 'end', None)] of a service."""
    try:
        with open('%s/%s' % (LOGS, name)) as f:
            lines = f.read().split('\n')
    except FileNotFoundError:
        return []
    out = []
    for ln in lines:
        p = ln.split()
        if len(p) >= 2:
            t = int(p[0][:-1]) / TICK if p[0].endswith('t') else float(p[0])
            out.append((t, p[1], int(p[2]) if len(p) > 2 else None))
    return out


def starts(name):
    return [t for t, k, _ in records(name) if k == 'start']


def ends(name):
    return [t for t, k, _ in records(name) if k == 'end']


def wait_for(cond, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.02)
    return cond()


class Launchd:
    def __init__(self, levels):
        conf = '/tmp/log4c-%d.conf' % len(levels)
        with open(conf, 'w') as f:
            f.write(''.join('%s = %s\n' % kv for kv in levels))
        self.err_path = '/tmp/launchd-%d.err' % len(levels)
        self.err = open(self.err_path, 'w')
        env = dict(os.environ, LOG4CONF=conf)
        self.proc = subprocess.Popen(['launchd'], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=self.err, env=env)
        wait_for(lambda: 'watching ' + SERVICES in self.stderr() or self.proc.poll() is not None, 5)

    def stderr(self):
        with open(self.err_path) as f:
            return f.read()

    def stop(self):
        t = time.monotonic()
        self.proc.send_signal(signal.SIGINT)
        try:
            code = self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = 'hung'
        check(code == 0, 'SIGINT ends launchd with status 0 (%r, %.2f s)' % (code, time.monotonic() - t))
        self.err.close()


def gaps(ts):
    return [round(b - a, 2) for a, b in zip(ts, ts[1:])]


def first_run():
    """No folders yet: launchd makes them, private to root."""
    d = Launchd([('launchd', 'debug')])
    for path in (BASE, PERIODIC, SERVICES):
        mode = os.stat(path).st_mode & 0o7777 if os.path.isdir(path) else None
        check(mode == 0o700, '%s created with mode 0700 (%s)' % (path, oct(mode) if mode else mode))
    check(d.proc.poll() is None, 'launchd keeps running')
    d.stop()


def main_run():
    # Before the start: periodic files are loaded at once, files in services only through events.
    service(PERIODIC + '/slow', 'slow', cmd('slow', 0.5), '200')
    service(PERIODIC + '/rw', 'rw', cmd('rw', 0.7), '200')
    service(PERIODIC + '/del', 'del', cmd('del', 0.4), '300')
    service(PERIODIC + '/out', 'out', 'echo begin; sleep 0.3; echo end', '200', stdout='/tmp/out.txt')
    service(PERIODIC + '/bad', 'bad', cmd('bad'), 200)
    service(SERVICES + '/early', 'early', cmd('early'), '200')

    d = Launchd([('launchd', 'debug')])
    t0 = uptime()  # launchd has its watches: it loads the periodic files next
    check(wait_for(lambda: "can't load '%s/bad' service\n" % PERIODIC in d.stderr(), 2),
          'a period given as a JSON number is refused')
    check(wait_for(lambda: starts('slow') and starts('rw') and starts('del'), 1.5), 'periodic files run at start')
    check(starts('slow')[0] - t0 < 0.5, 'without delayFirstRun the first run is at load')
    check(all(ppid == d.proc.pid for _, k, ppid in records('slow') if k == 'start'),
          'timing off: the shell is a direct child of launchd')

    # Rewrite "rw" while its first run goes on, with a longer period: no second instance before
    # the first one is reaped, and the new timer counts from the rewrite.
    time.sleep(0.25)
    t_rewrite = uptime()
    service(PERIODIC + '/rw', 'rw', cmd('rw', 0.7), '1000')

    # Delete "del" while a run goes on: that run completes, no run follows.
    wait_for(lambda: len(starts('del')) > len(ends('del')), 1)
    t_del = uptime()
    os.unlink(PERIODIC + '/del')

    # Meanwhile "out" publishes its output: the reader never sees a partial file.
    seen, partial_tmp = set(), False
    end = time.monotonic() + 2.5
    while time.monotonic() < end:
        try:
            with open('/tmp/out.txt') as f:
                seen.add(f.read())
        except FileNotFoundError:
            seen.add(None)
        try:
            with open('/tmp/out.txt.xxx') as f:
                partial_tmp |= f.read() == 'begin\n'
        except FileNotFoundError:
            pass
        time.sleep(0.005)
    check(seen <= {None, 'begin\nend\n'} and 'begin\nend\n' in seen,
          'the output file only ever holds a complete output (%r)' % seen)
    check(partial_tmp, 'a run in progress writes to the ".xxx" name')

    s, e = starts('slow'), ends('slow')
    check(len(s) >= 4, 'slow ran repeatedly (%d)' % len(s))
    check(all(s[i + 1] >= e[i] for i in range(min(len(s) - 1, len(e)))), 'slow never overlaps itself')
    # 0.5 s runs on a 0.2 s period start on the expiry after the run ended: every third one (0, 0.6,
    # 1.2 ...) on an idle machine, every fourth when starting the shell took long.
    g = gaps(s)
    check(all(x >= 0.55 and abs(x - 0.2 * round(x / 0.2)) <= 0.08 for x in g),
          'slow starts on its timer, at least three periods apart: %r' % g)
    warn = "'slow' is still running, not started."
    check(d.stderr().count(warn) >= 2 * (len(s) - 1), 'a skipped run is a warning (%d for %d runs)' %
          (d.stderr().count(warn), len(s)))

    rs, re_ = starts('rw'), ends('rw')
    check(len(rs) >= 2 and rs[1] >= re_[0], 'rw: no second instance before the first ended: %r %r' % (rs, re_))
    check(len(rs) >= 2 and abs(rs[1] - (t_rewrite + 1.0)) < 0.25,
          'rw: the next run follows the new period from the rewrite (%.2f s after)' %
          ((rs[1] - t_rewrite) if len(rs) > 1 else -1))
    check(any(ppid == d.proc.pid for _, k, ppid in records('rw') if k == 'start'), 'rw ran from launchd')

    ds, de = starts('del'), ends('del')
    check(len(de) == len(ds) and de[-1] > t_del, 'del: the run in progress completed after the delete')
    check(all(t < t_del for t in ds), 'del: no run after the delete: %r (deleted at %.2f)' % (ds, t_del))

    # Files that were in services at start were not loaded; an event loads them.
    check(not starts('early'), 'a file in services at start is not loaded')
    t = uptime()
    os.utime(SERVICES + '/early')
    check(wait_for(lambda: starts('early'), 1) and starts('early')[0] - t < 0.3, 'an attribute change loads it')

    # delayFirstRun: the first run one period after the load; moved in and out of the folder.
    service('/tmp/delayed', 'delayed', cmd('delayed'), '300', delayFirstRun=True)
    t = uptime()
    os.rename('/tmp/delayed', SERVICES + '/delayed')
    check(wait_for(lambda: starts('delayed'), 1.5), 'a file moved in is loaded')
    first = starts('delayed')[0] - t if starts('delayed') else -1
    check(0.27 <= first <= 0.55, 'delayFirstRun: first run one period after the load (%.2f s)' % first)
    os.rename(SERVICES + '/delayed', '/tmp/delayed')
    t = uptime()
    time.sleep(0.8)
    check(all(x < t + 0.05 for x in starts('delayed')), 'a file moved out is removed')

    err = d.stderr()
    check("(re)load service '%s/rw'" % PERIODIC in err and "remove service '%s/del'" % PERIODIC in err,
          'events are logged')
    check("add new service '%s/slow': name=[slow], cmd=[%s], period=[200]" % (PERIODIC, cmd('slow', 0.5)) in err,
          'loads are logged with the entry')
    d.stop()
    for name in ('slow', 'rw', 'del', 'out', 'bad', 'early'):
        p = os.path.join(PERIODIC if name != 'early' else SERVICES, name)
        if os.path.exists(p):
            os.unlink(p)


def timing_run():
    """launchd.timing at debug: a middle process times each run and reports its status."""
    service(PERIODIC + '/timed', 'timed', cmd('timed', 0.1, '; exit 3'), '250')
    d = Launchd([('launchd', 'warn'), ('launchd.timing', 'debug')])
    check(wait_for(lambda: len(ends('timed')) >= 2, 2), 'timed service runs')
    time.sleep(0.1)
    d.stop()
    err = d.stderr()
    lines = [ln for ln in err.splitlines() if "'timed' ran: " in ln]
    check(len(lines) >= 2, 'each run is timed (%r)' % err[-300:])
    ok = False
    for ln in lines:
        tail = ln.split("'timed' ran: ", 1)[1]
        ms, rest = tail.split(' ms, period: ', 1)
        ok = ok or (90 <= int(ms) <= 400 and rest.startswith('250 ms, pid: ') and rest.endswith(', status: 3'))
    check(ok, 'with the run time, period, pid and exit status: %r' % lines[:1])
    check(all(ppid != d.proc.pid for _, k, ppid in records('timed') if k == 'start'),
          'the shell runs under the middle process')


def inside():
    os.makedirs(LOGS)
    first_run()
    main_run()
    timing_run()
    if failures:
        sys.exit('%d failed: %s' % (len(failures), '; '.join(failures)))


if __name__ == '__main__':
    if '--inside' in sys.argv:
        inside()
    else:
        outer()
