"""Python front end of tests/harness/vdev for test scripts.

    import sys, os
    sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
    import vdevlib

    r = vdevlib.run(['sysconf', '-p'], roots=[{'/etc/product': '{}'}], stubs=['/usr/sbin/fw_setenv=1'])
    assert r.returncode == 0, r.stderr
    r.stubs     # [{'argv': [...], 'stdin': b'...'}, ...] in call order
    r.out       # host folder bound at /mnt/vdev/out inside
    r.init_log  # signals pid 1 received: ['SIGTERM from 7', ...]
    r.syslog    # messages sent to /dev/log: ['<30>Dec 10 02:00:00 scoutd[3]: started', ...]
    r.rebooted  # the command (or one of its children) called reboot(2)

A root is a host folder or a dict {absolute path: content}; content is str/bytes, or (content, mode).
A script that cannot run here calls vdevlib.skip(reason) (exit 77, counted as skipped by CTest);
run() does so itself when vdev reports that this machine cannot host the device.
"""

import atexit
import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
VDEV = os.path.join(HERE, 'vdev')
EXIT_SKIP = 77
EXIT_REBOOT = 199

_scratch = None


def _tmpdir(prefix):
    global _scratch
    if _scratch is None:
        _scratch = tempfile.mkdtemp(prefix='vdevlib.')
        atexit.register(shutil.rmtree, _scratch, True)
    return tempfile.mkdtemp(prefix=prefix, dir=_scratch)


def skip(reason):
    sys.stderr.write('SKIP: %s\n' % reason)
    sys.exit(EXIT_SKIP)


def make_root(files):
    """Folder holding FILES ({'/etc/product': 'text', '/usr/sbin/x': ('#!/bin/sh\\n', 0o755)})."""
    root = _tmpdir('root.')
    for path, content in files.items():
        mode = None
        if isinstance(content, tuple):
            content, mode = content
        dst = os.path.join(root, path.lstrip('/'))
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, 'wb') as f:
            f.write(content.encode() if isinstance(content, str) else content)
        if mode is not None:
            os.chmod(dst, mode)
    return root


class Result:
    def __init__(self, proc, out, logdir):
        self.returncode = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        self.out = out
        self.logdir = logdir
        self.rebooted = proc.returncode == EXIT_REBOOT
        self.stubs = []
        path = os.path.join(logdir, 'stubs.log')
        if os.path.exists(path):
            with open(path) as f:
                for line in f:
                    rec = json.loads(line)
                    rec['stdin'] = base64.b64decode(rec['stdin'])
                    self.stubs.append(rec)
        self.init_log = self._lines('init.log')
        self.syslog = self._lines('syslog.log')

    def _lines(self, name):
        path = os.path.join(self.logdir, name)
        if not os.path.exists(path):
            return []
        with open(path, errors='replace') as f:
            return f.read().splitlines()

    def calls(self, path):
        """argv lists of every call of the stub at PATH (argv[0] is the path it was run as)."""
        return [r['argv'] for r in self.stubs if os.path.realpath(r['argv'][0]) == os.path.realpath(path)]

    def __repr__(self):
        return 'Result(rc=%r, stdout=%r, stderr=%r)' % (self.returncode, self.stdout, self.stderr)


def run(cmd, roots=(), stubs=(), net=False, setup=None, env=None, require=(), input=None,
        timeout=120, build=None, text=True, skip_unavailable=True, host_net=False, out=None, capture=True,
        watch=None):
    """Run CMD (list, or str for /bin/sh -c) in a fresh virtual device and return a Result.

    The device always has its own network namespace (NET is accepted for clarity); HOST_NET shares
    the host's network instead.  OUT names the host folder bound at /mnt/vdev/out (a fresh one by
    default); CAPTURE=False leaves the command's output on this process's own.  WATCH(popen, out) runs in
    a thread of its own while the device runs (to pull its plug, say: the child of popen is its pid 1)."""
    if isinstance(cmd, str):
        cmd = ['/bin/sh', '-c', cmd]
    out = out or _tmpdir('out.')
    logdir = _tmpdir('log.')
    args = [sys.executable, '-S', VDEV, '--out', out, '--logdir', logdir]
    if build or os.environ.get('MT_BUILD_DIR'):
        args += ['--build', build or os.environ['MT_BUILD_DIR']]
    for root in roots:
        args += ['--root', make_root(root) if isinstance(root, dict) else root]
    if isinstance(stubs, dict):
        stubs = ['%s=%d' % kv for kv in stubs.items()]
    for stub in stubs:
        args += ['--stub', stub]
    if host_net:
        args.append('--host-net')
    if setup:
        args += ['--setup', setup]
    for k, v in (env or {}).items():
        args += ['--env', '%s=%s' % (k, v)]
    for feature in require:
        args += ['--require', feature]
    args += ['--'] + list(cmd)
    if isinstance(input, str):
        input = input.encode()
    pipe = subprocess.PIPE if capture else None
    with subprocess.Popen(args, stdin=subprocess.PIPE if input is not None else subprocess.DEVNULL,
                          stdout=pipe, stderr=pipe) as p:
        if watch:
            threading.Thread(target=watch, args=(p, out), daemon=True).start()
        try:
            so, se = p.communicate(input, timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            p.communicate()
            raise
    proc = subprocess.CompletedProcess(args, p.returncode, so, se)
    if not capture:
        proc.stdout = proc.stderr = '' if text else b''
    elif text:
        proc.stdout = proc.stdout.decode(errors='replace')
        proc.stderr = proc.stderr.decode(errors='replace')
    if skip_unavailable and proc.returncode == EXIT_SKIP and b'vdev: skip:' in (
            proc.stderr.encode() if text else proc.stderr):
        skip(proc.stderr.strip())
    return Result(proc, out, logdir)
