"""Runs shell commands as the virtual device with a configuration store fixture.

run(script, store=..., files={...}) copies the store image to /var/cfg/config.bin (and /var/cfg exists
in any case), runs the script under /bin/sh, then hands back the result with the final store and
anything the script copied to $OUT (= /mnt/vdev/out).
"""
import os
import sys

sys.path.insert(0, os.path.join(os.environ.get('MT_SOURCE_DIR', os.path.join(os.path.dirname(__file__), '../../../..')),
                                'tests/harness'))
import vdevlib  # noqa: E402

OUT = '/mnt/vdev/out'


class Run:
    def __init__(self, res):
        self.res = res
        self.rc = res.returncode
        self.stdout = res.stdout
        self.stderr = res.stderr
        path = os.path.join(res.out, 'config.bin')
        self.store = None
        if os.path.exists(path):
            with open(path, 'rb') as f:
                self.store = f.read()

    def file(self, name, mode='rb'):
        with open(os.path.join(self.res.out, name), mode) as f:
            return f.read()

    def has(self, name):
        return os.path.exists(os.path.join(self.res.out, name))


def run(script, store=None, files=None, env=None, text=False, net=False, setup=None, timeout=120):
    root = {'/var/cfg/.keep': ''}
    if store is not None:
        root['/var/cfg/config.bin'] = (store, 0o600)
    root.update(files or {})
    cmd = 'OUT=%s; export OUT; %s\ncp /var/cfg/config.bin $OUT/ 2>/dev/null; true' % (OUT, script)
    res = vdevlib.run(['/bin/sh', '-c', cmd], roots=[root], env=env or {}, text=text, net=net, setup=setup,
                      timeout=timeout)
    return Run(res)


def rc_of(script_line):
    """Shell snippet: runs a command and records its exit status as the next line of $OUT/rc."""
    return '%s; echo $? >> $OUT/rc' % script_line
