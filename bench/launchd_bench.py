#!/usr/bin/env python3
"""Driver of bench/launchd.sh.  Outside: starts the virtual device.  Inside (--inside): runs launchd
with the services, churns their files, and prints the figures."""
import json
import os
import random
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVICES = int(os.environ.get("LAUNCHD_BENCH_SERVICES", "200"))
CHURN_PER_S = 10
PERIODIC = '/tmp/launchd/periodic'
LOGS = '/tmp/log'
TICK = os.sysconf('SC_CLK_TCK')
# The shell's own start time (field 22 of /proc/self/stat, read by the shell itself): the moment
# launchd forked it on the timer's expiry, whatever the exec and the shell's start-up cost after.
STAMP = 'read -r f1 f2 f3 f4 f5 f6 f7 f8 f9 f10 f11 f12 f13 f14 f15 f16 f17 f18 f19 f20 f21 st x < /proc/self/stat; echo $st'


def outer():
    build = sys.argv[1]
    sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'harness'))
    import vdevlib
    seconds = int(os.environ.get('LAUNCHD_BENCH_SECONDS', '600'))
    r = vdevlib.run(['python3', '-S', os.path.abspath(__file__), '--inside', str(seconds)], build=build,
                    timeout=seconds + 300)
    sys.stdout.write(r.stdout)
    sys.stderr.write(r.stderr)
    sys.exit(r.returncode)


def period_of(i):
    return 1000 + (i % 16) * 200


def write_service(i):
    doc = {'service': {'name': 's%d' % i, 'period': str(period_of(i)),
                       'exec': STAMP + ' >> %s/s%d' % (LOGS, i)}}
    tmp = '/tmp/s%d.new' % i
    with open(tmp, 'w') as f:
        json.dump(doc, f)
    os.rename(tmp, '%s/s%d' % (PERIODIC, i))


def proc_cpu_ticks(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def proc_mem(pid):
    out = {}
    with open('/proc/%d/status' % pid) as f:
        for ln in f:
            k, _, v = ln.partition(':')
            if k in ('VmRSS', 'VmHWM'):
                out[k] = v.strip()
    return out


def starts(i):
    try:
        with open('%s/s%d' % (LOGS, i)) as f:
            return [int(x) / TICK for x in f.read().split()]
    except FileNotFoundError:
        return []


def drift_figures(i, since, until, reloads):
    """The runs since the last reload of the service (its timer starts anew there): the j-th run
    is due j periods after the first one, so a late start, a missed expiry or a run too many all
    show as drift.  The largest drift, and runs missing (or extra) against the schedule."""
    p = period_of(i) / 1000.0
    anchor = max([since] + [t for t in reloads if t < until])
    ts = [t for t in starts(i) if anchor - 0.01 <= t <= until]
    if len(ts) < 2:
        return None
    t0 = ts[0]
    dev = max(abs(t - (t0 + j * p)) for j, t in enumerate(ts))
    expected = int((until - t0) / p + 1e-6) + 1
    return dev, len(ts) - expected, p


def sh_rate():
    """Shell runs per second this machine manages one after another: the scale for the figures."""
    t, n = time.monotonic(), 50
    for _ in range(n):
        subprocess.run(['sh', '-c', STAMP + ' > /dev/null'])
    return n / (time.monotonic() - t)


def inside():
    seconds = int(sys.argv[2])
    rate = sh_rate()
    os.makedirs(PERIODIC)
    os.makedirs(LOGS)
    rng = random.Random(7)
    with open('/tmp/log4c.conf', 'w') as f:
        f.write('launchd = warn\n')
    err = open('/tmp/launchd.err', 'w')
    lp = subprocess.Popen(['launchd'], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                          env=dict(os.environ, LOG4CONF='/tmp/log4c.conf'))
    time.sleep(0.5)
    mem_start = proc_mem(lp.pid)
    for i in range(SERVICES):
        write_service(i)
    time.sleep(1)
    clock = lambda: time.clock_gettime(time.CLOCK_BOOTTIME)  # noqa: E731 - what /proc/uptime reads
    t_begin, cpu_begin = clock(), proc_cpu_ticks(lp.pid)
    reloads = {i: [] for i in range(SERVICES)}
    latencies = []
    while clock() - t_begin < seconds:
        time.sleep(1)
        for i in rng.sample(range(SERVICES), CHURN_PER_S):
            n = len(starts(i))
            t = clock()
            write_service(i)
            reloads[i].append(t)
        probe = rng.randrange(SERVICES)
        n, t = len(starts(probe)), clock()
        write_service(probe)
        reloads[probe].append(t)
        deadline = time.monotonic() + 1
        while len(starts(probe)) == n and time.monotonic() < deadline:
            time.sleep(0.002)
        if len(starts(probe)) > n:
            latencies.append(starts(probe)[-1] - t)
    t_end, cpu_end = clock(), proc_cpu_ticks(lp.pid)
    mem_end = proc_mem(lp.pid)

    runs = sum(len([t for t in starts(i) if t_begin <= t <= t_end]) for i in range(SERVICES))
    figs = [f for f in (drift_figures(i, t_begin, t_end, reloads[i]) for i in range(SERVICES)) if f]
    devs = [d for d, _, _ in figs]
    beyond = sum(1 for d, _, p in figs if d >= p)
    missed = sum(-x for _, x, _ in figs if x < 0)
    extra = sum(x for _, x, _ in figs if x > 0)

    for i in range(SERVICES):
        os.unlink('%s/s%d' % (PERIODIC, i))
    time.sleep(2)
    idle_t, idle_cpu = clock(), proc_cpu_ticks(lp.pid)
    time.sleep(5)
    idle_ticks = proc_cpu_ticks(lp.pid) - idle_cpu
    idle_s = clock() - idle_t
    lp.send_signal(2)
    code = lp.wait(10)

    err.close()
    with open('/tmp/launchd.err') as f:
        skipped = f.read().count('is still running, not started.')
    cpu_s = (cpu_end - cpu_begin) / TICK
    print('launchd: %d services, periods 1.0-4.0 s, %d s, %d file rewrites per second' %
          (SERVICES, int(t_end - t_begin), CHURN_PER_S + 1))
    print('  machine: %.0f shell runs per second one after another; load average %s' %
          (rate, open('/proc/loadavg').read().split()[0]))
    print('  runs: %d (%.0f per second); %d missed, %d extra against each timer\'s schedule' %
          (runs, runs / (t_end - t_begin), missed, extra))
    print('  skipped because the previous run was still alive: %d' % skipped)
    print('  start drift: median %.1f ms, p99 %.1f ms, max %.1f ms; services drifting a period or more: %d of %d' %
          (statistics.median(devs) * 1000, sorted(devs)[int(len(devs) * 0.99) - 1] * 1000, max(devs) * 1000,
           beyond, len(figs)))
    print('  launchd CPU: %.3f ms per expiry (%.2f s over %d expiries, %.1f%% of one core); idle %d ticks in %.0f s' %
          (cpu_s * 1000 / max(runs, 1), cpu_s, runs, 100 * cpu_s / (t_end - t_begin), idle_ticks, idle_s))
    if latencies:
        print('  reload latency (rewrite to first run): median %.0f ms, max %.0f ms over %d' %
              (statistics.median(latencies) * 1000, max(latencies) * 1000, len(latencies)))
    print('  memory: VmRSS %s at start (no services), %s at the end; VmHWM %s' %
          (mem_start.get('VmRSS'), mem_end.get('VmRSS'), mem_end.get('VmHWM')))
    print('  SIGINT: status %d' % code)
    ok = code == 0 and beyond == 0 and extra == 0
    sys.exit(0 if ok else 1)


if __name__ == '__main__':
    if len(sys.argv) > 1 and sys.argv[1] == '--inside':
        inside()
    else:
        outer()
