#!/usr/bin/env python3
"""factoryd on the virtual device: a test station written with socket/struct speaks the TCP protocol
over IPv4 and IPv6, the board store on the "art" partition is read back with kbeefmt.py, the
Factory partition is a file at its block device path, and the programs factoryd starts are
recording stand-ins.

Run with "--station NAME" inside the device, this file is the station itself."""
import json
import os
import socket
import struct
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.environ.get('MT_SOURCE_DIR', os.path.join(HERE, '../../../..')),
                                'tests/harness'))
import kbeefmt as kf  # noqa: E402

OUT = '/mnt/vdev/out'
MTD = ('dev:    size   erasesize  name\nmtd5: 00010000 00001000 "art"\n'
       'mtd6: 00001000 00001000 "Factory"\n')
FACTORY_SIZE = 4096
END = b'$END'

# ---- the station (runs inside the device) ------------------------------------------------------


def req(tag, word, body=b''):
    return tag + struct.pack('>I', word) + body


def kbee(rtype, payload):
    return b'KBEE' + struct.pack('>HH', len(payload) + 4, rtype) + payload


def kbfa(rtype):
    return b'KBFA' + struct.pack('>HH', rtype, 0)


def kcmd(word):
    return req(b'KCMD', len(word), word)


def path64(p):
    return p.encode().ljust(64, b'\0')


class Conn:
    def __init__(self, family=socket.AF_INET, port=7777, tries=200):
        host = '127.0.0.1' if family == socket.AF_INET else '::1'
        for _ in range(tries):
            try:
                self.s = socket.create_connection((host, port), timeout=10)
                return
            except OSError:
                time.sleep(0.02)
        raise RuntimeError('factoryd does not listen on %s' % host)

    def send(self, data, pieces=None):
        """The bytes whole, one by one ('bytes') or cut at the given offsets."""
        if pieces == 'bytes':
            pieces = range(1, len(data))
        last = 0
        for cut in list(pieces or []) + [len(data)]:
            self.s.sendall(data[last:cut])
            last = cut
            if pieces:
                time.sleep(0.002)

    def answer(self):
        data = b''
        while not data.endswith(END):
            chunk = self.s.recv(1 << 16)
            if not chunk:
                return data + b'<closed>'
            data += chunk
        return data[:-len(END)]

    def ask(self, data, pieces=None):
        self.send(data, pieces)
        return self.answer()

    def closed(self):
        try:
            return self.s.recv(1) == b''
        except ConnectionResetError:
            return True


def art_records():
    with open('/dev/mtdblock5', 'rb') as f:
        return {t: p.decode('latin-1') for t, p in kf.parse(f.read(), 0x8000)[1].items()}


def station_protocol():
    res = {}
    c = Conn()
    # A record split byte by byte, across the tag and the header, is taken once it is complete; it
    # is in the connection's store at once and on flash only after "save" (here: "sa").
    res['kbee_split'] = c.ask(kbee(12, b'10.0.0.9'), 'bytes')
    res['kbfa_12'] = c.ask(kbfa(12))
    res['flash_before_save'] = art_records().get(12)
    res['save'] = c.ask(kcmd(b'sa'))
    res['flash_after_save'] = art_records().get(12)
    # length 10 completes after 14 bytes; two requests in one send get two answers
    c.send(kbee(40, b'abcdef') + kbfa(40))
    res['pipelined'] = [c.answer(), c.answer()]
    res['kbfa_none'] = [c.ask(kbfa(41)), c.ask(kbfa(63)), c.ask(kbfa(300))]
    res['kbda'] = [c.ask(b'KBDA' + struct.pack('>HH', 40, 0)), c.ask(kbfa(40))]
    # "load" brings back what is on flash
    c.ask(kbee(12, b'changed'))
    res['load'] = [c.ask(kcmd(b'load')), c.ask(kbfa(12))]
    # text lines: output then "$END", with CR/LF gone; exit statuses of the last command
    res['text'] = [c.ask(b'echo hi\n'), c.ask(b'printf "%s" "$0"\r\n'), c.ask(b'true\n')]
    res['status'] = []
    for line in (b'false\n', b'exit 3\n', b'true\n', b'kill -9 $$\n'):
        c.ask(line)
        res['status'].append(c.ask(kcmd(b'exit-status')))
    res['words'] = [c.ask(kcmd(b'')), c.ask(kcmd(b'loadx')), c.ask(kcmd(b'exit-status'), [6])]
    # a command's standard input is not the console
    res['stdin'] = c.ask(b'cat\n')
    # files both ways, 100 kB in pieces, then a small file with the next request in the same send
    data = bytes((i * 7 + i // 251) & 0xFF for i in range(100000))
    put = req(b'KPUT', 68, path64('/tmp/put.bin') + struct.pack('>I', len(data))) + data
    res['kput'] = c.ask(put, [3, 70, 77, 5000, 60000])
    with open('/tmp/put.bin', 'rb') as f:
        res['kput_same'] = f.read() == data
    res['kput_mode'] = oct(os.stat('/tmp/put.bin').st_mode & 0o777)
    res['kget_same'] = c.ask(req(b'KGET', 64, path64('/tmp/put.bin'))) == data
    c.send(req(b'KPUT', 68, path64('/tmp/small') + struct.pack('>I', 5)) + b'hello' + kbfa(12))
    res['kput_then'] = [c.answer(), c.answer()]
    with open('/tmp/small', 'rb') as f:
        res['small'] = f.read().decode()
    res['kget_missing'] = c.ask(req(b'KGET', 64, path64('/nonexistent')))
    # a file that cannot be created: its data is taken off the connection, not run as text
    cmd = b'touch /tmp/ran\n'
    res['kput_denied'] = [c.ask(req(b'KPUT', 68, path64('/no/such/dir/f') + struct.pack('>I', len(cmd))) + cmd),
                          c.ask(b'test -e /tmp/ran && echo ran || echo not\n')]
    # the Factory partition: written from offset 0, never past its end
    res['rtee'] = c.ask(req(b'RTEE', 100, bytes(range(100))))
    with open('/dev/mtdblock6', 'rb') as f:
        res['factory_head'] = f.read(128).hex()
    res['rtee_too_big'] = c.ask(req(b'RTEE', FACTORY_SIZE + 1, bytes(FACTORY_SIZE + 1)))
    with open('/dev/mtdblock6', 'rb') as f:
        res['factory_after'] = f.read()[FACTORY_SIZE - 16:].hex()
    res['erase'] = None
    c.s.shutdown(socket.SHUT_WR)
    res['eof_end'] = c.closed()

    # IPv6, and the empty line that ends a connection
    c6 = Conn(socket.AF_INET6)
    res['v6'] = c6.ask(b'echo v6\n')
    c6.send(b'\n')
    res['empty_line_closes'] = c6.closed()

    # erase-all is a request that takes the rest of the connection
    c = Conn()
    c.send(req(b'KBEA', 0, b'whatever'))
    c.s.shutdown(socket.SHUT_WR)
    res['erase'] = c.answer()

    # Lengths that cannot be right are refused at once, and the connection ends there.
    bad = {
        'kput_len': req(b'KPUT', 69),
        'kget_len': req(b'KGET', 0),
        'kget_no_nul': req(b'KGET', 64, b'A' * 64),
        'kbee_len': b'KBEE' + struct.pack('>HH', 2, 12),
        'kbee_huge': b'KBEE' + struct.pack('>HH', 0xFFFF, 12),
        'rtee_wrap': req(b'RTEE', 0xFFFFFFF8),
        'kcmd_huge': req(b'KCMD', 8185),
    }
    res['refused'] = {}
    for name, data in bad.items():
        c = Conn()
        c.send(data)
        res['refused'][name] = [c.answer(), c.closed()]

    # A peer that stops in the middle of a file ends the transfer; the handler does not spin.
    c = Conn()
    c.send(req(b'KPUT', 68, path64('/tmp/cut') + struct.pack('>I', 1000)) + b'x' * 10)
    c.s.shutdown(socket.SHUT_WR)
    res['kput_cut'] = [c.answer(), c.closed(), os.path.exists('/tmp/cut')]

    # the last connection asks the main process to go on booting
    c = Conn()
    res['continue'] = c.ask(kcmd(b'continue'))
    with open(os.path.join(OUT, 'station.json'), 'w') as f:
        json.dump(res, f, default=lambda b: b.decode('latin-1'))


def station_reboot():
    c = Conn(port=7000)
    res = {'reboot': c.ask(kcmd(b'r'))}
    # the listeners are gone before the main process acts
    time.sleep(0.3)
    try:
        Conn(port=7000, tries=3).s.close()
        res['listening'] = True
    except RuntimeError:
        res['listening'] = False
    with open(os.path.join(OUT, 'station.json'), 'w') as f:
        json.dump(res, f, default=lambda b: b.decode('latin-1'))


def station_daemon():
    c = Conn()
    res = {'continue': c.ask(kcmd(b'continue')), 'text': c.ask(b'echo still here\n')}
    res['upgrade'] = c.ask(kcmd(b'upgrade'))
    with open(os.path.join(OUT, 'station.json'), 'w') as f:
        json.dump(res, f, default=lambda b: b.decode('latin-1'))


# ---- the tests (run on the host) ---------------------------------------------------------------

if __name__ == '__main__' and len(sys.argv) > 2 and sys.argv[1] == '--station':
    globals()['station_' + sys.argv[2]]()
    sys.exit(0)

import vdevlib  # noqa: E402

SELF = '/mnt/vdev/src/multool/lib/board/tests/factoryd_test.py'


def stub(body):
    """A stand-in program that appends its name, arguments and chosen environment to /tmp/calls."""
    return ('#!/bin/sh\necho "$0${*:+ $*}${IPADDR:+ IPADDR=$IPADDR}${GATEWAY6:+ GATEWAY6=$GATEWAY6}" >> /tmp/calls\n'
            + body, 0o755)


STUBS = {
    '/usr/sbin/fw_setenv': stub(''),
    '/usr/sbin/fwupdate': stub('echo "fwupdate output"\nexit 4\n'),
    '/usr/lib/atas/start': stub(''),
    '/usr/lib/atas/stop': stub(''),
    '/usr/lib/hwtest/start': stub(''),
    '/usr/lib/calibration/start': stub('echo calibration started\n'),
    # reading "oem" prints it when /tmp/oem-<bank> exists and fails when /tmp/oem-<bank>-fails does
    '/usr/sbin/sysconf': stub('case "$*" in *--read\\ oem\\ -) [ -e /tmp/oem-$2 ] && echo "{}"; '
                              '[ ! -e /tmp/oem-$2-fails ];; esac\n'),
}


def device(records, script, art=None, factory=None, timeout=60, stubs=True, files=None):
    root = dict(files or {})
    root.update({'/etc/mtd-table/mtd': MTD,
            '/dev/mtdblock5': art if art is not None else kf.image([(0x8000, kf.store(records))]),
            '/dev/mtdblock6': factory if factory is not None else b'\xff' * FACTORY_SIZE})
    if stubs:
        root.update(STUBS)
    cmd = ('OUT=%s; cd /tmp; %s\ncp /dev/mtdblock5 /dev/mtdblock6 /tmp/calls $OUT/ 2>/dev/null; true'
           % (OUT, script))
    return vdevlib.run(['/bin/sh', '-c', cmd], roots=[root], env={'MT_PROC_DIR': '/etc/mtd-table'},
                       timeout=timeout)


def out(r, name, mode='r'):
    path = os.path.join(r.out, name)
    if not os.path.exists(path):
        return '' if mode == 'r' else b''
    with open(path, mode) as f:
        return f.read()


def flash(r):
    return kf.parse(out(r, 'mtdblock5', 'rb'), 0x8000)[1]


# The daemon with its console on a pipe that stays open, output in $OUT.
DAEMON = 'mkfifo /tmp/con; exec 3<>/tmp/con; factoryd %s < /tmp/con > $OUT/stdout 2> $OUT/stderr & pid=$!\n'


class Protocol(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        records = [(11, b'\x01'), (12, b'192.0.2.1'), (14, b'7777')]
        cls.r = device(records, DAEMON % '' + 'python3 %s --station protocol > $OUT/st.log 2>&1\n'
                       'wait $pid; echo rc=$?' % SELF)
        cls.res = json.loads(out(cls.r, 'station.json') or '{}')
        if not cls.res:
            raise AssertionError('station failed: %s %s' % (out(cls.r, 'st.log'), cls.r))

    def test_records(self):
        res = self.res
        self.assertEqual(res['kbee_split'], '')
        self.assertEqual(res['kbfa_12'], '10.0.0.9')
        self.assertEqual(res['flash_before_save'], '192.0.2.1')
        self.assertEqual(res['flash_after_save'], '10.0.0.9')
        self.assertEqual(res['pipelined'], ['', 'abcdef'])
        self.assertEqual(res['kbfa_none'], ['', '', ''])
        self.assertEqual(res['kbda'], ['', ''])
        self.assertEqual(res['load'], ['', '10.0.0.9'])
        log = out(self.r, 'stdout')
        self.assertIn('KBEE update(): success, type: 12, size: 8\n', log)
        self.assertIn('KBEE update(): success, type: 40, size: 6\n', log)
        self.assertIn('KBEE delete(): type: 40\n', log)
        self.assertIn('Saving KBEE EEPROM ... done.\n', log)
        self.assertIn('Loading KBEE EEPROM ...done.\n', log)
        self.assertRegex(log, r'connected: 127\.0\.0\.1, pid\(\d+\)\n')
        self.assertRegex(log, r'connected: ::1, pid\(\d+\)\n')
        # the unsaved changes of the later connections never reached flash
        self.assertEqual(flash(self.r), {11: b'\x01', 12: b'10.0.0.9', 14: b'7777'})

    def test_text_and_words(self):
        res = self.res
        self.assertEqual(res['text'], ['hi\n', '/bin/sh', ''])
        self.assertEqual(res['status'], ['1', '3', '0', '137'])
        self.assertEqual(res['words'], ['', '', '137'])
        self.assertEqual(res['stdin'], '')
        log = out(self.r, 'stdout')
        self.assertIn('no command !?...\n', log)
        self.assertIn("'loadx' command not implemented.\n", log)
        self.assertIn("'false' failed,  exit status: '1'\n", out(self.r, 'stderr'))
        self.assertEqual(res['v6'], 'v6\n')
        self.assertTrue(res['empty_line_closes'])
        self.assertTrue(res['eof_end'])
        self.assertEqual(res['erase'], '')
        self.assertIn('TBD: erase all KBEE!', log)

    def test_files(self):
        res = self.res
        self.assertEqual(res['kput'], '')
        self.assertTrue(res['kput_same'])
        self.assertEqual(res['kput_mode'], '0o600')
        self.assertTrue(res['kget_same'])
        self.assertEqual(res['kput_then'], ['', '10.0.0.9'])
        self.assertEqual(res['small'], 'hello')
        self.assertEqual(res['kget_missing'], '')
        self.assertIn("kget_handler(): can't open '/nonexistent': No such file or directory", out(self.r, 'stdout'))
        self.assertEqual(res['kput_denied'][0], '')
        self.assertEqual(res['kput_denied'][1], 'not\n')  # the file data never ran as a command
        self.assertIn("cant create '/no/such/dir/f' file: No such file or directory", out(self.r, 'stdout'))
        self.assertEqual(res['kput_cut'], ['', True, False])
        self.assertIn('kput_handler(): read failed', out(self.r, 'stdout'))

    def test_factory_partition(self):
        self.assertEqual(self.res['rtee'], '')
        self.assertEqual(self.res['factory_head'], bytes(range(100)).hex() + 'ff' * 28)
        self.assertEqual(self.res['rtee_too_big'], '')
        self.assertIn('RTEE: 4097 bytes do not fit the Factory partition (4096 bytes)\n', out(self.r, 'stdout'))
        self.assertEqual(self.res['factory_after'], 'ff' * 16)
        self.assertEqual(out(self.r, 'mtdblock6', 'rb')[:100], bytes(range(100)))

    def test_refused_lengths(self):
        for name, (answer, closed) in self.res['refused'].items():
            self.assertEqual(answer, '', name)
            self.assertTrue(closed, name)
        self.assertIn('request refused: KPUT length is not 68', out(self.r, 'stdout'))

    def test_continue_ends_the_daemon(self):
        self.assertEqual(self.res['continue'], '')
        self.assertIn('rc=0', self.r.stdout)
        err = out(self.r, 'stderr')
        self.assertTrue(err.startswith('factoryd: listening on port 7777\n'), err)
        self.assertTrue(err.endswith('factoryd: continue booting ...\n'), err)
        for report in ('Sanitizer', 'runtime error'):
            self.assertNotIn(report, err + out(self.r, 'stdout'))
        # ATAS is on in the store: stopping it runs the stop script
        self.assertIn('/usr/lib/atas/stop', out(self.r, 'calls'))


class Forwarded(unittest.TestCase):
    def test_reboot_signals_init_from_the_main_process(self):
        r = device([(14, b'7777')], DAEMON % '7000' + 'python3 %s --station reboot > $OUT/st.log 2>&1\n'
                   'sleep 0.3; kill -TERM $pid; wait $pid; echo rc=$?' % SELF)
        res = json.loads(out(r, 'station.json') or '{}')
        self.assertEqual(res, {'reboot': '', 'listening': False}, out(r, 'st.log'))
        err = out(r, 'stderr')
        self.assertIn('factoryd: listening on port 7000\n', err)
        self.assertIn('factoryd: rebooting ...\n', err)
        self.assertTrue(err.endswith('factoryd: terminated by signal 15\n'), err)
        self.assertIn('rc=15', r.stdout)
        self.assertTrue(any(line.startswith('SIGTERM from ') for line in r.init_log), r.init_log)
        self.assertFalse(r.rebooted)

    def test_daemon_mode_refuses_continue_and_upgrades(self):
        r = device([], 'factoryd -d; python3 %s --station daemon > $OUT/st.log 2>&1; sleep 0.5\n'
                   'pgrep -x factoryd || echo gone' % SELF)
        res = json.loads(out(r, 'station.json') or '{}')
        self.assertEqual(res, {'continue': '', 'text': 'still here\n', 'upgrade': ''}, out(r, 'st.log'))
        self.assertIn('gone', r.stdout)
        # upgrade ran fwupdate; in daemon mode ATAS is never stopped
        self.assertEqual(out(r, 'calls'), '/usr/sbin/fwupdate\n')


CONSOLE = r'''
import os, pty, select, sys, time
PROMPT = b'ATAS MODE # '
pid, fd = pty.fork()
if pid == 0:
    os.execv('/usr/sbin/factoryd', ['factoryd', '7001'])
seen = b''
def wait_for(done, limit=10):
    global seen
    end = time.time() + limit
    while not done() and time.time() < end:
        if select.select([fd], [], [], 0.1)[0]:
            try:
                seen += os.read(fd, 4096)
            except OSError:
                return
wait_for(lambda: PROMPT in seen)
for line in sys.argv[1:]:
    n = seen.count(PROMPT)
    os.write(fd, line.encode() + b'\n')
    wait_for(lambda: seen.count(PROMPT) > n or b'continue booting' in seen)
_, status = os.waitpid(pid, 0)
wait_for(lambda: False, 0.2)
with open('/mnt/vdev/out/console', 'wb') as f:
    f.write(seen.replace(b'\r\n', b'\n'))
print('status', os.waitstatus_to_exitcode(status))
'''


class Console(unittest.TestCase):
    def test_terminal_commands(self):
        lines = ['calibration', 'calibration on', 'calibrated true', 'postproduction off', 'factorymode 2',
                 'factorymode off', 'atas ip   10.1.2.3', 'atas gw6 fe80::1', 'atas', 'help', 'false',
                 'echo $((6*7))', 'exit-status', 'continue']
        r = device([(11, b'\x00')], 'cat > /tmp/console.py <<\'PY\'\n%sPY\npython3 /tmp/console.py %s' %
                   (CONSOLE, ' '.join("'%s'" % s for s in lines)))
        text = out(r, 'console')
        self.assertIn('status 0', r.stdout)
        self.assertIn('\nfactoryd v1.0 (', text)
        self.assertIn(")\nEnter 'help' for a list of built-in command.\n\nATAS MODE # ", text)
        for expected in ['CALIBRATION: disabled\n', 'CALIBRATION: enabled\n', 'PCBA CALIBRATED: true\n',
                         'POST-PRODUCTION: disabled\n', 'FACTORY-MODE: 2 (post-production)\n',
                         'FACTORY-MODE: 3 (disabled)\n', 'ATAS: disabled\n',
                         ' atas gw6 <address>    - set gateway IPv6 address for ATAS mode.\n'
                         ' reboot                - reboots device.\n', "'false' failed,  exit status: '1'\n",
                         '42\n', 'factoryd: continue booting ...\n']:
            self.assertIn(expected, text)
        self.assertEqual(flash(r), {11: b'\x00', 12: b'10.1.2.3', 16: b'fe80::1', 21: b'\x01', 22: b'\x01',
                                    23: b'\x00', 24: b'\x03'})
        self.assertEqual(out(r, 'calls'), '/usr/sbin/fw_setenv factory_mode 2\n/usr/sbin/fw_setenv factory_mode 3\n')

    def test_end_of_input_without_line_break_is_continue(self):
        # the last byte of a line is not dropped blindly: "continue" without its line break stays
        # "continue" and is no shell command "continu"
        r = device([(11, b'\x01')], 'printf "atas\\ncontinue" | factoryd 7002 > $OUT/stdout 2> $OUT/stderr; '
                   'echo rc=$?')
        self.assertIn('rc=0', r.stdout)
        self.assertIn('ATAS: enabled\n', out(r, 'stdout'))
        err = out(r, 'stderr')
        self.assertNotIn('continu', err.replace('continue booting', ''))
        self.assertTrue(err.endswith('factoryd: continue booting ...\n'), err)
        self.assertEqual(out(r, 'calls'), '/usr/lib/atas/stop\n')

    def test_signals(self):
        r = device([], DAEMON % '7003' + 'sleep 0.3; kill -USR1 $pid; wait $pid; echo rc=$?\n' +
                   DAEMON.replace('mkfifo /tmp/con; ', '').replace('err', 'err2').replace('dout', 'dout2') % '7003' +
                   'sleep 0.3; kill -QUIT $pid; wait $pid; echo rc=$?')
        self.assertEqual(r.stdout, 'rc=0\nrc=3\n')
        self.assertRegex(out(r, 'stdout'), r'process \d+ exiting \.\.\.\n')
        self.assertIn('factoryd: terminated by signal 3\n', out(r, 'stderr2'))


class CommandLine(unittest.TestCase):
    def test_setters(self):
        steps = [('-A', 'ATAS: enabled\n'), ('-a', 'ATAS: disabled\n'), ('-C', 'CALIBRATION: enabled\n'),
                 ('-E', 'PCBA CALIBRATED: true\n'), ('-e', 'PCBA CALIBRATED: false\n'),
                 ('-P', 'POST-PRODUCTION: enabled\n'), ('-Q /usr/lib/hwtest/x.sh',
                                                        'HARDWARE TEST: enabled\nHWTEST script: /usr/lib/hwtest/x.sh\n'),
                 ('-q', 'HARDWARE TEST: disabled\n'), ('-F 2', 'FACTORY-MODE: 2 (post-production)\n'),
                 ('-F 7', 'FACTORY-MODE: 7 (unknown)\n'), ('-f', 'FACTORY-MODE: 3 (disabled)\n'),
                 ('-p', 'POST-PRODUCTION: disabled\n')]
        script = ''.join('factoryd %s >> $OUT/o; echo "rc=$?" >> $OUT/o\n' % opt for opt, _ in steps)
        r = device([(2, b'fw')], script)
        self.assertEqual(out(r, 'o'), ''.join(text + 'rc=0\n' for _, text in steps))
        self.assertEqual(flash(r), {2: b'fw', 11: b'\x00', 21: b'\x01', 22: b'\x00', 23: b'\x00', 24: b'\x03',
                                    36: b'\x00', 37: b'/usr/lib/hwtest/x.sh'})
        self.assertEqual(out(r, 'calls'), ''.join('/usr/sbin/fw_setenv factory_mode %d\n' % v for v in (2, 7, 3)))

    def test_refusals(self):
        r = device([(24, b'\x01')], 'factoryd -h; echo rc=$?; factoryd -x; echo rc=$?; factoryd 1 2; echo rc=$?; '
                   'factoryd -F abc; echo rc=$?; factoryd -F 256; echo rc=$?')
        self.assertEqual(r.stdout, 'rc=1\n' * 5)
        self.assertIn('factoryd [options] [port]\n\noptions:\n  -a\t- turns off ATAS mode\n', r.stderr)
        self.assertIn("  -Q script\n\t- turns on HARDWARE TEST mode.\n", r.stderr)
        self.assertIn('\nport 7777 will be used by default if omitted\n', r.stderr)
        self.assertIn('too many parameters.\n', r.stderr)
        self.assertIn("invalid factory mode 'abc'\n", r.stderr)
        self.assertEqual(flash(r), {24: b'\x01'})  # a typo does not put the board into calibration

    def test_macs(self):
        r = device([], 'factoryd -S 02:00:00:00:00:03 02:00:00:00:00:01 02:00:00:00:00:02; echo rc=$?; '
                   'factoryd -s; factoryd -S 1:2:3; echo rc=$?', art=bytes(65536))
        self.assertEqual(r.stdout, 'rc=0\neth0: 02:00:00:00:00:01\neth1: 02:00:00:00:00:02\n'
                         'wifi0: 02:00:00:00:00:03 \nUsage: wifi0mac eth0mac [eth1mac]\nrc=255\n')


class BootDecision(unittest.TestCase):
    def boot(self, records, have=('active',), extra=''):
        touch = ''.join('touch /tmp/oem-%s; ' % b for b in have)
        return device(records, touch + 'factoryd -t %s > $OUT/o 2> $OUT/e < /dev/null; echo rc=$?' % extra)

    def test_cases(self):
        red = lambda t: '\33[0;31m%s\33[0m\n' % t  # noqa: E731
        banner = [red('\n'), red('*' * 44)]
        cases = [
            ('normal boot', [(11, b'\x00')], ('active',), 'rc=1', '', '/usr/sbin/sysconf -t active --read oem -\n'),
            ('restored from backup', [], ('backup',), 'rc=1', "factoryd: restoring 'oem' from 'backup'.\n",
             '/usr/sbin/sysconf -t active --read oem -\n/usr/sbin/sysconf -t backup --read oem -\n'
             '/usr/sbin/sysconf -t backup --read oem /tmp/oem\n/usr/sbin/sysconf -t active --write oem /tmp/oem\n'
             '/usr/sbin/sysconf -t backup --write oem /tmp/oem\n'),
            ('oem missing', [(11, b'\x01')], (), 'rc=0',
             ''.join(banner + [red('* Product default configuration is missing *'), red('*' * 44), red('\n')]),
             '/usr/sbin/sysconf -t active --read oem -\n/usr/sbin/sysconf -t backup --read oem -\n'
             '/usr/lib/calibration/start\n'),
            ('calibration', [(21, b'\x01'), (11, b'\x01')], ('active',), 'rc=0',
             ''.join(banner + [red('*   CALIBRATION mode is enabled via KBEE   *'), red('*' * 44), red('\n')]),
             '/usr/sbin/sysconf -t active --read oem -\n/usr/lib/calibration/start\n'),
            ('printed but failed', [], ('active', 'active-fails', 'backup'), 'rc=1',
             "factoryd: restoring 'oem' from 'backup'.\n",
             '/usr/sbin/sysconf -t active --read oem -\n/usr/sbin/sysconf -t backup --read oem -\n'
             '/usr/sbin/sysconf -t backup --read oem /tmp/oem\n/usr/sbin/sysconf -t active --write oem /tmp/oem\n'
             '/usr/sbin/sysconf -t backup --write oem /tmp/oem\n'),
            ('hardware test first', [(36, b'\x01'), (37, b'/tmp/my test'), (21, b'\x01')], (), 'rc=0', '',
             '/usr/sbin/sysconf -t active --read oem -\n/usr/sbin/sysconf -t backup --read oem -\n'
             '/usr/lib/hwtest/start /tmp/my test\n'),
        ]
        # one device, one board store image per case
        files, script = {}, ''
        for i, (_, records, have, _, _, _) in enumerate(cases):
            files['/tmp/case%d.img' % i] = kf.image([(0x8000, kf.store(records))])
            script += ('cp /tmp/case{0}.img /dev/mtdblock5; rm -f /tmp/oem-* /tmp/calls; {1}'
                       'factoryd -t > $OUT/{0}.o 2> $OUT/{0}.e < /dev/null; echo "rc=$?" > $OUT/{0}.rc; '
                       'cp /tmp/calls $OUT/{0}.calls\n').format(i, ''.join('touch /tmp/oem-%s; ' % b for b in have))
        r = device([], script, files=files)
        for i, (what, _, _, rc, err, calls) in enumerate(cases):
            self.assertEqual(out(r, '%d.rc' % i), rc + '\n', what)
            self.assertEqual(out(r, '%d.e' % i), err, what)
            self.assertEqual(out(r, '%d.calls' % i), calls, what)

    def test_atas_mode_starts_and_serves(self):
        records = [(11, b'\x01'), (12, b'10.0.0.5/24'), (16, b'fe80::2'), (14, b'7010')]
        r = self.boot(records)  # the port comes from the store
        self.assertIn('rc=0', r.stdout)  # end of console input: continue
        self.assertEqual(out(r, 'calls'), '/usr/sbin/sysconf -t active --read oem -\n'
                         '/usr/lib/atas/start IPADDR=10.0.0.5/24 GATEWAY6=fe80::2\n'
                         '/usr/lib/atas/stop IPADDR=10.0.0.5/24 GATEWAY6=fe80::2\n')
        self.assertIn('factoryd: listening on port 7010\n', out(r, 'e'))


if __name__ == '__main__':
    unittest.main(verbosity=2)
