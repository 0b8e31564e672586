#!/usr/bin/env python3
"""The daemon module in Debian's lua5.4, inside the virtual device's pid namespace.  Each case runs a
script that daemonizes, after which the grandchild records its pid and waits for a stop file; the
process is then inspected through /proc/<pid>/ (session, parent, working directory, umask,
descriptors).  Error triples come from a preloaded library that fails one call, and from a real
process limit for fork."""
import json
import os
import shutil
import sys

if len(sys.argv) > 1 and sys.argv[1] == '--inside':
    INSIDE = True
else:
    INSIDE = False
    sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
    import vdevlib  # noqa: E402

import subprocess  # noqa: E402
import time  # noqa: E402

LUA = '/usr/bin/lua5.4'

SCRIPT = r'''
package.cpath = "/mnt/vdev/build/lua/?.so;" .. package.cpath
local d = require "daemon"
local out = arg[1]
local function put(name, text) local f = assert(io.open(out .. "/" .. name, "w")); f:write(text); f:close() end
local r = table.pack(d.daemonize(arg[2] ~= "-" and arg[2] or nil))
local me = io.open("/proc/self/stat"):read("*l"):match("^(%d+)")
put("result", string.format("%d\t%s\t%s\t%s\t%s", r.n, tostring(r[1]), tostring(r[2]), tostring(r[3]), me))
if r.n > 0 then os.exit(0) end
while not io.open(out .. "/stop") do os.execute("sleep 0.02") end
'''


def inside():
    """Runs every case; prints one JSON line of findings."""
    base = '/tmp/lua-daemon'
    os.makedirs(base, exist_ok=True)
    with open(base + '/daemon_case.lua', 'w') as f:
        f.write(SCRIPT)
    os.chmod(base, 0o755)
    sanitized = os.environ.get('MT_SANITIZED') == '1'
    pre = []
    if sanitized:
        for lib in ('libasan.so', 'libubsan.so'):
            p = subprocess.run(['gcc', '-print-file-name=' + lib], stdout=subprocess.PIPE, text=True).stdout.strip()
            pre.append(p)
    found = {}

    def case(name, opts, env=None, wrap=(), fd5=True):
        out = '%s/%s' % (base, name)
        os.makedirs(out)
        os.chmod(out, 0o777)
        e = dict(os.environ)
        e.update(env or {})
        preload = pre + ([e.pop('PRELOAD')] if 'PRELOAD' in e else [])
        if preload:
            e['LD_PRELOAD'] = ':'.join(preload)
            e['ASAN_OPTIONS'] = 'verify_asan_link_order=0:detect_leaks=0'
        cwd = out
        cmd = 'umask 027; ulimit -n 4096; exec %s %s 5</etc/hostname 0</etc/hostname 1>%s/stdout 2>%s/stderr' % (
            ' '.join(list(wrap) + [LUA, base + '/daemon_case.lua', out, opts]), '', out, out)
        if not fd5:
            cmd = cmd.replace('5</etc/hostname ', '')
        p = subprocess.run(['/bin/sh', '-c', cmd], cwd=cwd, env=e, timeout=20)
        rec = {'status': p.returncode}
        deadline = time.time() + 10
        while not os.path.exists(out + '/result') and time.time() < deadline:
            if p.returncode not in (255,):
                break
            time.sleep(0.02)
        if os.path.exists(out + '/result'):
            time.sleep(0.05)
            n, a, b, c, pid = open(out + '/result').read().split('\t')
            rec.update({'n': int(n), 'r': [a, b, c], 'pid': int(pid)})
            pid = int(pid)
            if n == '0' and os.path.exists('/proc/%d' % pid):
                stat = open('/proc/%d/stat' % pid).read()
                fields = stat[stat.rindex(')') + 2:].split()
                rec['ppid'], rec['pgrp'], rec['sid'], rec['tty'] = (int(x) for x in fields[1:5])
                rec['cwd'] = os.readlink('/proc/%d/cwd' % pid)
                rec['umask'] = [ln.split()[1] for ln in open('/proc/%d/status' % pid) if ln.startswith('Umask:')][0]
                rec['fds'] = {int(fd): os.readlink('/proc/%d/fd/%s' % (pid, fd)) for fd in os.listdir('/proc/%d/fd' % pid)}
        rec['stderr'] = open(out + '/stderr').read()[-400:] if os.path.exists(out + '/stderr') else ''
        open(out + '/stop', 'w').close()
        found[name] = rec

    case('plain', '-')
    case('empty', '')
    case('nochdir_noclose', 'nochdir,noclose')
    case('empty_tokens', ',,nochdir,')
    case('nostdfds', 'nostdfds,noclose,noumask0')
    case('repeated', 'nochdir,nochdir')
    case('bogus', 'nochdir,bogus')
    case('case', 'NoChdir')
    case('fail_fork1', '-', env={'PRELOAD': '/mnt/vdev/build/lua/tests/libfailcall.so', 'FAILCALL': 'fork'})
    case('fail_fork2', '-', env={'PRELOAD': '/mnt/vdev/build/lua/tests/libfailcall.so', 'FAILCALL': 'fork:2'})
    case('fail_setsid', '-', env={'PRELOAD': '/mnt/vdev/build/lua/tests/libfailcall.so', 'FAILCALL': 'setsid'})
    case('fail_chdir', 'noclose', env={'PRELOAD': '/mnt/vdev/build/lua/tests/libfailcall.so', 'FAILCALL': 'chdir'})
    case('fail_dup2', '-', env={'PRELOAD': '/mnt/vdev/build/lua/tests/libfailcall.so', 'FAILCALL': 'dup2'})
    # a real limit: nobody may have one process, and the interpreter is it
    case('nproc', '-', wrap=('setpriv', '--reuid=65534', '--regid=65534', '--clear-groups', 'prlimit', '--nproc=1'))
    print(json.dumps({'cases': found, 'mysid': os.getsid(0)}))


if INSIDE:
    inside()
    sys.exit(0)

BUILD = os.environ['MT_BUILD_DIR']
if not os.path.exists(os.path.join(BUILD, 'lua/daemon.so')):
    vdevlib.skip('lua/daemon.so not built')
if not shutil.which('lua5.4'):
    vdevlib.skip('lua5.4 not installed (tools/deps/snmp.list)')
r = vdevlib.run(['python3', '/mnt/vdev/src/lua/tests/daemon_test.py', '--inside'], timeout=100,
                env={'MT_SANITIZED': os.environ.get('MT_SANITIZED', '0')})
if r.returncode != 0:
    print(r.stdout, r.stderr)
    sys.exit(1)
res = json.loads(r.stdout.strip().splitlines()[-1])
cases = res['cases']
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)


def detached(name, cwd, fds012, fd5, umask):
    c = cases[name]
    check(c['status'] == 255, '%s: caller status %r' % (name, c['status']))
    check(c.get('n') == 0, '%s: values returned %r %r' % (name, c.get('n'), c.get('r')))
    if 'sid' not in c:
        failures.append('%s: grandchild not found: %r' % (name, c))
        return
    # setsid in the child, then a second fork: a session of its own, not its leader, no terminal
    check(c['sid'] != c['pid'] and c['sid'] != res['mysid'] and c['pgrp'] == c['sid'], '%s: session %r' % (name, c))
    check(c['ppid'] == 1 and c['tty'] == 0, '%s: parent %r tty %r' % (name, c['ppid'], c['tty']))
    check(c['cwd'] == cwd, '%s: cwd %r' % (name, c['cwd']))
    check(c['umask'] == umask, '%s: umask %r' % (name, c['umask']))
    for fd in (0, 1, 2):
        check(c['fds'].get(fd) == fds012[fd], '%s: fd %d -> %r' % (name, fd, c['fds'].get(fd)))
    check((5 in c['fds']) == fd5, '%s: inherited fd 5 %r' % (name, c['fds'].get(5)))
    extra = sorted(fd for fd in c['fds'] if fd not in (0, 1, 2, 5))
    check(len(extra) <= 1, '%s: descriptors beyond the script\'s own: %r' % (name, c['fds']))


cases = {k: dict(v, fds={int(f): t for f, t in v.get('fds', {}).items()}) for k, v in cases.items()}
null3 = ['/dev/null'] * 3
base = '/tmp/lua-daemon'
detached('plain', '/', null3, False, '0000')
detached('empty', '/', null3, False, '0000')
detached('nochdir_noclose', base + '/nochdir_noclose', null3, True, '0000')
detached('empty_tokens', base + '/empty_tokens', null3, False, '0000')
detached('nostdfds', '/', ['/etc/hostname', base + '/nostdfds/stdout', base + '/nostdfds/stderr'],
         True, '0027')
for name, token in (('repeated', 'nochdir'), ('bogus', 'bogus'), ('case', 'NoChdir')):
    c = cases[name]
    check(c['status'] == 1 and "bad option: '%s'" % token in c['stderr'] and 'n' not in c,
          '%s: %r' % (name, c))
for name, step, text, err in (('fail_fork1', 'fork', 'Resource temporarily unavailable', 11),
                              ('fail_fork2', 'fork', 'Resource temporarily unavailable', 11),
                              ('fail_setsid', 'setsid', 'Operation not permitted', 1),
                              ('fail_chdir', 'chdir', 'Permission denied', 13),
                              ('fail_dup2', 'dup2', 'Bad file descriptor', 9),
                              ('nproc', 'fork', 'Resource temporarily unavailable', 11)):
    c = cases[name]
    check(c.get('n') == 3 and c.get('r') == ['nil', '%s: %s' % (step, text), str(err)], '%s: %r' % (name, c))
# the first fork failing leaves the caller itself with the triple; the later steps run in a child
check(cases['fail_fork1']['status'] == 0, 'fork failure returned in the caller: %r' % cases['fail_fork1'])
check(cases['nproc']['status'] == 0, 'nproc: %r' % cases['nproc'])
for name in ('fail_fork2', 'fail_setsid', 'fail_chdir', 'fail_dup2'):
    check(cases[name]['status'] == 255, '%s: caller status %r' % (name, cases[name]['status']))
if failures:
    print('\n'.join(failures))
    sys.exit(1)
print('lua daemon: %d cases' % len(cases))
