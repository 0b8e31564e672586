#!/usr/bin/env python3
"""resetd on the virtual device: the button's line comes from the board store (record 9, big-endian),
the sysfs GPIO tree is the FUSE stand-in (tests/fakegpio) mounted over /sys/class/gpio, so poll()
wakes on edges as on the device, and the test presses and releases the button through its control
FIFO.  The reset, reboot and LED wake-up programs are recording stubs; everything runs in the
device's own pid namespace.

The outer run starts the device; inside, this same file (--inside) drives the presses and checks
what happened as it happens."""
import ctypes
import json
import os
import signal
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
GPIO = 5
PRODUCT = {'firmwareId': 'AP.QA-2', 'leds': {'power': {'ledName': ['Power-Green', 'unused']}}}
PTMP_PRODUCT = {'firmwareId': 'XW.PTMP', 'leds': {'wan-power': {'ledName': ['WAN']}}}
STUBS = ['/sbin/reset_to_defaults', '/usr/share/lua/ledd.lua']


def outer():
    sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
    sys.path.insert(0, os.path.join(HERE, '../../board/tests'))
    import vdevlib
    import kbeefmt as kf
    build = os.environ['MT_BUILD_DIR']
    if not os.path.exists(os.path.join(build, 'tests/fakegpio/fakegpio')):
        vdevlib.skip('stand-in GPIO tree not built')
    if not os.path.exists('/dev/fuse'):
        vdevlib.skip('no /dev/fuse on this machine')
    # Button 0 on line 5, pressed when low; a second button that resetd must not use.
    button = struct.pack('>4H', GPIO, 0, 6, 1)
    store = kf.image([(0x8000, kf.store([(1, b'\x01'), (9, button)]))])
    no_button = kf.image([(0x8000, kf.store([(1, b'\x01')]))])
    root = {
        '/etc/product': json.dumps(PRODUCT),
        '/var/cfg/.eeprom': store,
        '/var/cfg/no-button.eeprom': no_button,
        '/sys/class/leds/power-green/trigger': 'default-on',
        '/sys/class/leds/wan/trigger': 'none',
    }
    r = vdevlib.run(['python3', '-S', os.path.abspath(__file__), '--inside'], roots=[root], stubs=STUBS,
                    require=['overlay-sys'], timeout=90)
    sys.stdout.write(r.stdout)
    sys.stderr.write(r.stderr)
    if r.returncode != 0:
        sys.exit('resetd on the device failed (status %d)' % r.returncode)
    # Nothing but the stubs may have run: the harness's reboot stub recorded, no reboot(2).
    assert not r.rebooted


# -- inside the device ----------------------------------------------------------------------------------
CTL = '/tmp/gpio.ctl'
LOG = '/tmp/gpio.log'
failures = []


def check(cond, what):
    print('%s: %s' % ('ok' if cond else 'FAIL', what))
    if not cond:
        failures.append(what)


def gpio_log():
    if not os.path.exists(LOG):
        return []
    with open(LOG) as f:
        return [json.loads(line) for line in f]


def writes():
    return [(e['path'], bytes.fromhex(e['data'])) for e in gpio_log() if e['op'] == 'write']


def calls():
    """argv of every stub call so far (the harness's reboot stub included)."""
    path = '/run/vdev/stubs.log'
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(line)['argv'] for line in f]


def wait_for(cond, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.02)
    return cond()


def line(level):
    with open(CTL, 'w') as f:
        f.write('%d %d\n' % (GPIO, level))


def trigger(led):
    with open('/sys/class/leds/%s/trigger' % led) as f:
        return f.read()


def resetd_pids():
    pids = []
    for d in os.listdir('/proc'):
        if d.isdigit():
            try:
                with open('/proc/%s/comm' % d) as f:
                    if f.read().strip() == 'resetd':
                        pids.append(int(d))
            except OSError:
                pass
    return pids


def start_resetd():
    r = subprocess.run(['resetd'], stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=10)
    check(r.returncode == 0, 'resetd detaches with status 0 (%d, %r)' % (r.returncode, r.stderr))
    check(wait_for(lambda: len(resetd_pids()) == 1, 2), 'one resetd runs in the background')
    pid = resetd_pids()[0]
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    # This driver is the device's subreaper: the detached daemon becomes its child, so its exit
    # status can be read here.
    check(int(fields[1]) == os.getpid() and int(fields[3]) == pid, 'detached: orphaned, in its own session')
    return pid


def stop_resetd(pid, sig):
    before = len(writes())
    t = time.monotonic()
    os.kill(pid, sig)
    status = []
    wait_for(lambda: status or status.extend(x for x in [os.waitpid(pid, os.WNOHANG)] if x[0]), 1.5)
    code = os.waitstatus_to_exitcode(status[0][1]) if status else 'running'
    check(code == 0, '%s ends resetd with status 0 within the poll time-out (%r, %.2f s)' %
          (signal.Signals(sig).name, code, time.monotonic() - t))
    check(writes()[before:] == [('/unexport', b'5\0')], 'and unexports the line: %r' % writes()[before:])


def press(seconds):
    line(0)
    time.sleep(seconds)
    line(1)
    return time.monotonic()


def setup_failures():
    r = subprocess.run(['resetd'], capture_output=True, text=True, timeout=10)
    check(r.returncode == 255 and r.stderr.endswith('Failed to open 5 GPIO.\n'),
          'no GPIO tree: status 255 and the message (%d, %r)' % (r.returncode, r.stderr))
    os.rename('/var/cfg/.eeprom', '/var/cfg/full.eeprom')
    for what, store in (('no store', None), ('no button record', '/var/cfg/no-button.eeprom')):
        if store:
            os.link(store, '/var/cfg/.eeprom')
        r = subprocess.run(['resetd'], capture_output=True, text=True, timeout=10)
        check(r.returncode == 1 and r.stderr == 'resetd: button info is missing.\n',
              '%s: fatal before detaching (%d, %r)' % (what, r.returncode, r.stderr))
        if os.path.exists('/var/cfg/.eeprom'):  # the store makes an empty fallback file
            os.unlink('/var/cfg/.eeprom')
    os.rename('/var/cfg/full.eeprom', '/var/cfg/.eeprom')
    check(not resetd_pids(), 'no daemon left behind by the failures')


def inside():
    ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    setup_failures()

    os.makedirs('/sys/class/gpio', exist_ok=True)
    os.mkfifo(CTL)
    fuse = subprocess.Popen(['/mnt/vdev/build/tests/fakegpio/fakegpio', '--log', LOG, '--ctl', CTL,
                             '--line', '%d=1' % GPIO, '/sys/class/gpio'])
    if not wait_for(lambda: os.path.exists('/sys/class/gpio/export'), 5):
        sys.exit('stand-in GPIO tree did not come up')

    pid = start_resetd()
    check(writes() == [('/export', b'5\0'), ('/gpio5/direction', b'in\0'), ('/gpio5/edge', b'both\0')],
          'export, direction "in", edge "both" of the first button only: %r' % writes())

    # A short press reboots at once on release: the edge wakes the poll, not its time-out.
    released = press(0.3)
    check(wait_for(lambda: [c[0] for c in calls()] == ['/sbin/reboot'], 0.8),
          'short press: /sbin/reboot within 0.8 s of the release (%.2f s), nothing else: %r' %
          (time.monotonic() - released, calls()))

    # Pressed twice without a release (a bounce the daemon reads as pressed again): the press is
    # dropped, and the release that follows does nothing.
    line(0)
    time.sleep(0.2)
    line(0)
    time.sleep(0.2)
    line(1)
    time.sleep(1.2)
    check(len(calls()) == 1, 'double press: no action (%r)' % calls())

    # A long press: the LED pattern only past five seconds, while still held; the reset on release.
    line(0)
    time.sleep(4.5)
    check(trigger('power-green') == 'default-on', 'LED untouched at 4.5 s')
    time.sleep(2.0)
    check(trigger('power-green') == 'snake', 'LED trigger "snake" while held at 6.5 s (%r)' %
          trigger('power-green'))
    check(len(calls()) == 1, 'no action while the button is held')
    line(1)
    check(wait_for(lambda: len(calls()) == 2, 1), 'long press: one more program on release')
    check(calls()[1:] == [['/sbin/reset_to_defaults']], 'and it is /sbin/reset_to_defaults: %r' % calls())
    reads = [e for e in gpio_log() if e['op'] == 'read']
    check(len(reads) >= 7 and all(e['off'] == 0 for e in reads),
          'every edge read the value from its start (%d reads)' % len(reads))
    stop_resetd(pid, signal.SIGTERM)

    # A point-to-multipoint product: a short press wakes the LEDs instead of rebooting.
    with open('/etc/product', 'w') as f:
        json.dump(PTMP_PRODUCT, f)
    pid = start_resetd()
    n = len(calls())
    press(0.3)
    check(wait_for(lambda: len(calls()) > n, 1.5), 'PTMP short press runs a program')
    time.sleep(0.2)
    check(calls()[n:] == [['/usr/share/lua/ledd.lua', '--wake']], 'the LED wake-up, not a reboot: %r' %
          calls()[n:])
    stop_resetd(pid, signal.SIGINT)

    fuse.terminate()
    fuse.wait(5)
    if failures:
        sys.exit('%d failed: %s' % (len(failures), '; '.join(failures)))


if __name__ == '__main__':
    if '--inside' in sys.argv:
        inside()
    else:
        outer()
