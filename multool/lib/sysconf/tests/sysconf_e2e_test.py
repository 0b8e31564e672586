#!/usr/bin/env python3
"""sysconf as the device runs it: options, exit statuses, files it writes, --brand, post-production."""
import hashlib
import io
import os
import shlex
import struct
import sys
import tarfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '../../cfgstore/tests'))
sys.path.insert(0, os.path.join(HERE, '../../board/tests'))
import cfgstore as cs  # noqa: E402
import kbeefmt  # noqa: E402
from cfgdev import run  # noqa: E402

CONFIG = b'{"system":{"hostname":"ap-1"},"list":[1,2,3]}\n'
BASE = [('config', CONFIG), ('product', b'{"model":"x1"}\n'), ('oem', b'{"oem":1}\n')]
DEFAULT = b'{"factory":true}\n'
FILES = {'/usr/lib/default.json': DEFAULT}


def store(blocks=BASE, backup=BASE):
    return cs.store(cs.part(1, backup), cs.part(2, blocks))


def kbee(records):
    return kbeefmt.image([(0xA000, kbeefmt.store(records))])


def targz(files):
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode='w:gz') as t:
        for name, data in files.items():
            info = tarfile.TarInfo(name)
            info.size = len(data)
            t.addfile(info, io.BytesIO(data))
    return buf.getvalue()


USAGE = ('Usage: sysconf [options...]\nOptions:\n\t-h\t\t- Help. This message.\n\t-e\t\t- Execute configuration.\n'
         '\t-C\t\t- Print configuration checksum to stdout.\n\t-r\t\t- Print configuration to stdout.\n'
         '\t-w\t\t- Write configuration to flash.\n\t-o <config>\t- Overwrite configuration with config file.\n'
         '\t-t <type>\t- Type of configuration: [active|backup|default].\n\t-d <level>\t- Debug level.\n\n'
         "\tNOTE: If there is no -t in the command options list then 'active' type\n"
         '\twill be used by default.\n\n')
HELP = "Run 'sysconf --help' for more information.\n"


class CommandLine(unittest.TestCase):
    def test_usage_and_combination_errors(self):
        cases = [
            ('', 254, USAGE), ('-h', 254, USAGE), ('--help', 254, USAGE), ('-d 3', 254, USAGE), ('-p', 254, USAGE),
            ('-P', 254, USAGE), ('-x', 254, USAGE), ('-t nonsense -r', 254, USAGE),
            ('-t default --read oem -', 1, 'sub-part: only active|backup allowed.\n' + HELP),
            ('--read oem', 1, '--read: required parameter is missing.\n' + HELP),
            ('--write oem a b', 1, '--write: only single parameter is accepted.\n' + HELP),
            ('--list extra', 1, '--list: no parameters are allowed.\n' + HELP),
            ('--remove x y', 1, '--remove: no parameters are allowed.\n' + HELP),
            ('--list --remove x', 1, '--list: too many options.\n' + HELP),
            ('--brand a b', 1, '--brand: only a single optional parameter is allowed.\n' + HELP),
        ]
        script = '\n'.join('sysconf %s 2>$OUT/e%d; echo $? > $OUT/rc%d' % (a, i, i) for i, (a, _, _) in enumerate(cases))
        r = run(script, store=store(), files=FILES)
        for i, (args, rc, err) in enumerate(cases):
            self.assertEqual(int(r.file('rc%d' % i)), rc, args)
            self.assertEqual(r.file('e%d' % i).decode(), err, args)

    def test_segmentation_fault_ends_with_status_1(self):
        # A tar that signals its parent: the handler reports and exits 1.
        tar = ('#!/bin/sh\nkill -SEGV $PPID\nsleep 1\ncat > /dev/null\n', 0o755)
        r = run('mkdir -p /tmp/www/active/resources; PATH=/opt/bin:$PATH sysconf --brand; echo rc=$? >&2',
                store=store(BASE + [('brand', b'x' * 100)]), files=dict(FILES, **{'/opt/bin/tar': tar}), text=True)
        self.assertEqual(r.stderr, "Sysconf terminated with 'Segmentation fault' signal\nrc=1\n")

    def test_segmentation_fault_handler_only_writes(self):
        # With its category on, the handler still writes the log line, formatted before the fault: after
        # the signal nothing but the two writes and the exit (the logger would ask isatty and getpid).
        tar = ('#!/bin/sh\nkill -SEGV $PPID\nsleep 1\ncat > /dev/null\n', 0o755)
        r = run('mkdir -p /tmp/www/active/resources; PATH=/opt/bin:$PATH strace -qq -o /tmp/st '
                '-e trace=ioctl,getpid,write,exit_group sysconf --brand 2>$OUT/e; echo $? > $OUT/rc; cp /tmp/st $OUT/st',
                store=store(BASE + [('brand', b'x' * 100)]),
                files=dict(FILES, **{'/opt/bin/tar': tar, '/etc/log4c/sysconf.conf': 'sysconf.main = error\n'}))
        self.assertEqual(r.file('rc'), b'1\n')
        self.assertRegex(r.file('e').decode(), r"^sysconf\[\d+\]: error: Sysconf exit with signal SIGSEGV\[11\]\n"
                         r"Sysconf terminated with 'Segmentation fault' signal\n$")
        trace = r.file('st').decode().splitlines()
        after = trace[next(i for i, ln in enumerate(trace) if ln.startswith('--- SIGSEGV')) + 1:]
        self.assertEqual([ln.split('(')[0] for ln in after], ['write', 'write', 'exit_group'], after)

    def test_checksum_then_document_and_state_names_in_any_case(self):
        r = run('sysconf -C -r > $OUT/a; sysconf -t BACKUP -r > $OUT/b; md5sum /dev/null', store=store(
            backup=[('config', b'{"b":1}')]), files=FILES)
        self.assertEqual(r.file('a'), hashlib.md5(CONFIG).hexdigest().upper().encode() + b'\n' + CONFIG)
        self.assertEqual(r.file('b'), b'{"b":1}')
        # The same checksum as md5sum of the document sysconf unpacks.
        r = run('sysconf -e; md5sum /tmp/config.json | cut -c1-32 | tr a-f A-F > $OUT/m; sysconf -C > $OUT/c',
                store=store(), files=FILES)
        self.assertEqual(r.file('m'), r.file('c'))


class Execute(unittest.TestCase):
    def test_unpacks_documents_and_serial(self):
        files = dict(FILES)
        files['/var/cfg/.eeprom'] = kbee([(20, bytes([0x0a, 0xbc, 0xde, 0xf0]))])
        files['/etc/serial-no'] = ('stale-and-longer\n', 0o644)
        files['/etc/oem.json'] = 'stale'
        r = run('sysconf -e; echo $? > $OUT/rc; for f in /etc/oem.json /etc/product /etc/serial-no /tmp/config.json; do '
                'cp $f $OUT/; stat -c %a $f >> $OUT/modes; done', store=store(), files=files)
        self.assertEqual(r.file('rc'), b'0\n')
        self.assertEqual(r.file('oem.json'), b'{"oem":1}\n')
        self.assertEqual(r.file('product'), b'{"model":"x1"}\n')
        self.assertEqual(r.file('serial-no'), b'0ABCDEF0\n')
        self.assertEqual(r.file('config.json'), CONFIG)
        self.assertEqual(r.file('modes').split()[2], b'400')

    def test_fallbacks_without_config(self):
        noconf = [('product', b'{"model":"x1"}\n')]
        # Neither state has "config" nor "oem": oem.json is removed, config.json is the factory file.
        r = run('sysconf -e; cp /tmp/config.json $OUT/c; test -e /etc/oem.json; echo $? > $OUT/oem',
                store=store(noconf, noconf), files=dict(FILES, **{'/etc/oem.json': 'stale'}))
        self.assertEqual(r.file('c'), DEFAULT)
        self.assertEqual(r.file('oem'), b'1\n')
        # With an "oem" block, config.json comes from the unpacked OEM defaults.
        oem = noconf + [('oem', b'{"o":2}')]
        r = run('sysconf -e; cp /tmp/config.json $OUT/c', store=store(oem, oem), files=FILES)
        self.assertEqual(r.file('c'), b'{"o":2}')

    def test_post_production_serves_factory_defaults_and_ignores_w(self):
        files = dict(FILES, **{'/var/cfg/.eeprom': kbee([(23, b'\x01')])})
        before = store()
        r = run('echo \'{"new":1}\' > /tmp/config.json; sysconf -w -r > $OUT/r; cp /var/cfg/config.bin $OUT/after-w;'
                'sysconf -e; cp /tmp/config.json $OUT/c', store=before, files=files)
        self.assertEqual(r.file('r'), DEFAULT)
        self.assertEqual(r.file('after-w'), before)
        self.assertEqual(r.file('c'), DEFAULT)


class Writing(unittest.TestCase):
    def test_o_path_never_reaches_a_shell(self):
        path = "/tmp/a b;touch pwned;$(touch pwned2).json"
        q = shlex.quote(path)
        r = run('cd /tmp; printf \'{"o":1}\' > %s; sysconf -o %s -r > $OUT/r; cp /tmp/config.json $OUT/c;'
                'ls /tmp > $OUT/ls' % (q, q), store=store(), files=FILES)
        self.assertEqual(r.file('r'), b'{"o":1}')
        self.assertEqual(r.file('c'), b'{"o":1}')
        listing = r.file('ls').decode().splitlines()
        self.assertIn(path[5:], listing)
        self.assertNotIn('pwned', listing)
        self.assertNotIn('pwned2', listing)
        self.assertEqual(cs.read_part(r.store, cs.active_index(r.store)).blocks['config'], b'{"o":1}')

    def test_unchanged_oem_defaults_cost_no_write(self):
        files = dict(FILES, **{'/usr/etc/oem.cfg': '{"oem":"new"}'})
        # Start-up stores the new defaults before options are looked at, even for the usage text.
        r = run('sysconf -h 2>/dev/null; cp /var/cfg/config.bin $OUT/first; sysconf -r > /dev/null; sysconf -C >/dev/null',
                store=store(), files=files)
        first = r.file('first')
        self.assertNotEqual(first, store())
        for k in (0, 1):
            self.assertEqual(cs.read_part(first, k).blocks['oem'], b'{"oem":"new"}')
        self.assertEqual(r.store, first)

    def test_empty_source_stores_the_set_without_config(self):
        r = run(': > /tmp/config.json; sysconf -w; sysconf -r > $OUT/r', store=store(), files=FILES)
        self.assertEqual(r.file('r'), b'')
        self.assertEqual(sorted(cs.read_part(r.store, 0).blocks), ['oem', 'product'])


class Limits(unittest.TestCase):
    LIMIT = 4 << 20
    MSG = "block '%s': content over 4194304 bytes cannot be stored\n"

    def test_content_the_reader_would_refuse_is_never_stored(self):
        over = self.LIMIT + 1
        cases = [
            ('head -c %d /dev/zero > /tmp/big; sysconf --write big /tmp/big' % over, 255, 'big'),
            ('head -c %d /dev/zero > /tmp/config.json; sysconf -w' % over, 255, 'config'),
            ('head -c %d /dev/zero > /tmp/big; echo keep > /tmp/config.json; sysconf -o /tmp/big -r' % over, 255,
             'config'),
            ('head -c %d /dev/zero > /tmp/big; sysconf -z /tmp/big' % over, 255, 'product'),
            ('sysconf --write big /dev/zero', 255, 'big'),
        ]
        script = ['cp /var/cfg/config.bin /tmp/pristine']
        for i, (cmd, _, _) in enumerate(cases):
            script.append('%s > $OUT/o%d 2>$OUT/e%d; echo $? > $OUT/rc%d; cmp -s /var/cfg/config.bin /tmp/pristine; '
                          'echo $? > $OUT/same%d' % (cmd, i, i, i, i))
        script.append('cp /tmp/config.json $OUT/cj')
        # At the limit itself the block is stored and reads back whole.
        script.append('head -c %d /dev/zero > /tmp/edge; sysconf --write edge /tmp/edge; echo $? > $OUT/edge-rc; '
                      'sysconf --read edge - | wc -c > $OUT/edge' % self.LIMIT)
        r = run('\n'.join(script), store=store(), files=FILES)
        for i, (cmd, rc, name) in enumerate(cases):
            self.assertEqual(int(r.file('rc%d' % i)), rc, cmd)
            self.assertEqual(r.file('e%d' % i).decode(), self.MSG % name, cmd)
            self.assertEqual(r.file('same%d' % i), b'0\n', cmd)
        self.assertEqual(r.file('o2'), CONFIG, 'the stored configuration is still the one -r prints')
        self.assertEqual(r.file('cj'), b'keep\n', '-o refused before copying')
        self.assertEqual((r.file('edge-rc'), int(r.file('edge'))), (b'0\n', self.LIMIT))

    def test_format_step_and_oem_sync_refuse_too(self):
        big = bytes(self.LIMIT + 1)
        # A fresh store with an oversized factory default: nothing is formatted.
        r = run('sysconf -r > $OUT/r 2>$OUT/e', store=b'', files={'/usr/lib/default.json': big})
        self.assertEqual(r.file('e').decode(), self.MSG % 'config')
        self.assertEqual(r.store, bytes(cs.FILE_SIZE))
        # Oversized OEM defaults in the firmware: the store keeps its "oem" block.
        before = store()
        r = run('sysconf -r > $OUT/r 2>$OUT/e', store=before, files=dict(FILES, **{'/usr/etc/oem.cfg': big}))
        self.assertEqual(r.file('e').decode(), self.MSG % 'oem')
        self.assertEqual((r.store, r.file('r')), (before, CONFIG))


class Sources(unittest.TestCase):
    def test_pipes_and_streams(self):
        r = run('printf \'{"p":1}\' | sysconf -o /dev/stdin; echo $? >> $OUT/rc; sysconf -r > $OUT/r1;'
                'cp /tmp/config.json $OUT/cj; printf xyz | sysconf --write extra -; echo $? >> $OUT/rc;'
                'sysconf --read extra - > $OUT/x; mkfifo /tmp/fifo; (printf \'{"f":2}\' > /tmp/fifo &);'
                'sysconf -o /tmp/fifo; echo $? >> $OUT/rc; sysconf -r > $OUT/r2; : | sysconf --write extra -;'
                'echo $? >> $OUT/rc; sysconf --read extra - > $OUT/x2', store=store(), files=FILES)
        self.assertEqual(r.file('rc').split(), [b'0', b'0', b'0', b'255'])
        self.assertEqual((r.file('r1'), r.file('cj')), (b'{"p":1}', b'{"p":1}'))
        self.assertEqual((r.file('x'), r.file('x2')), (b'xyz', b'xyz'), 'an empty stream stores nothing')
        self.assertEqual(r.file('r2'), b'{"f":2}')

    def test_files_of_the_firmware_are_regular_files_only(self):
        # Streams are for sources an operator names; a FIFO where the OEM defaults belong must not hold
        # every start of sysconf.
        r = run('rm /usr/etc/oem.cfg; mkfifo /usr/etc/oem.cfg; timeout 10 sysconf -r > $OUT/r; echo $? > $OUT/rc',
                store=store(), files=dict(FILES, **{'/usr/etc/oem.cfg': 'x'}))
        self.assertEqual((r.file('rc'), r.file('r')), (b'0\n', CONFIG))


class BlockOperations(unittest.TestCase):
    def test_list_read_write_remove(self):
        r = run('sysconf --list > $OUT/l0; printf xyz > /tmp/f; sysconf --write extra /tmp/f; echo $? >> $OUT/rc;'
                'sysconf --read extra /tmp/out; echo $? >> $OUT/rc; stat -c %a /tmp/out > $OUT/mode; cp /tmp/out $OUT/;'
                'sysconf --read nothere /tmp/none; echo $? >> $OUT/rc; test -e /tmp/none; echo $? >> $OUT/rc;'
                'sysconf --remove extra; echo $? >> $OUT/rc; sysconf --remove extra; echo $? >> $OUT/rc;'
                'sysconf --read oem /nonexistent/dir/f 2>$OUT/e; echo $? >> $OUT/rc; sysconf --list > $OUT/l1',
                store=store(), files=FILES)
        self.assertEqual(r.file('l0').decode(), 'name             size\nconfig           %d\nproduct          15\n'
                         'oem              10\n                 %d\n' % (len(CONFIG), len(CONFIG) + 25))
        self.assertEqual(r.file('rc').split(), [b'0', b'0', b'255', b'1', b'0', b'0', b'255'])
        self.assertEqual(r.file('out'), b'xyz')
        self.assertEqual(r.file('mode'), b'644\n')
        self.assertEqual(r.file('e'), b"cannot write to '/nonexistent/dir/f', No such file or directory\n")
        self.assertEqual(r.file('l0'), r.file('l1'))

    def test_product_in_both_parts_and_back_out(self):
        r = run('printf \'{"model":"x2"}\' > /tmp/p; sysconf -z /tmp/p; echo $? >> $OUT/rc; sysconf -Z - > $OUT/z;'
                ': > /tmp/empty; sysconf -z /tmp/empty; echo $? >> $OUT/rc', store=store(), files=FILES)
        self.assertEqual(r.file('rc').split(), [b'0', b'255'])
        self.assertEqual(r.file('z'), b'{"model":"x2"}')
        for k in (0, 1):
            self.assertEqual(cs.read_part(r.store, k).blocks['product'], b'{"model":"x2"}')


class Brand(unittest.TestCase):
    FILES = {'index.html': b'<html>brand</html>\n', 'img/logo.png': b'\x89PNG' + bytes(300)}

    def brand_store(self, archive):
        return store(BASE + [('brand', archive)])

    def test_unpacks_into_a_fresh_tmpfs(self):
        for archive in (targz(self.FILES), None):
            if archive is None:  # plain tar
                buf = io.BytesIO()
                with tarfile.open(fileobj=buf, mode='w') as t:
                    for name, data in self.FILES.items():
                        info = tarfile.TarInfo(name)
                        info.size = len(data)
                        t.addfile(info, io.BytesIO(data))
                archive = buf.getvalue()
            d = '/tmp/www/my brand'
            r = run('mkdir -p "%s"; sysconf --brand="%s" > /dev/null; echo $? > $OUT/rc;'
                    'findmnt -n -o FSTYPE "%s" > $OUT/fs; cd "%s" && find . -type f | sed s,^./,, | sort > $OUT/tree;'
                    'tar -tf /root-brand | grep -v /$ | sort > $OUT/listed; cp "%s/index.html" $OUT/' % (d, d, d, d, d),
                    store=self.brand_store(archive), files=dict(FILES, **{'/root-brand': archive}))
            self.assertEqual(r.file('rc'), b'0\n')
            self.assertEqual(r.file('fs'), b'tmpfs\n')
            self.assertEqual(r.file('tree'), r.file('listed'))
            self.assertEqual(r.file('tree').decode().split(), sorted(self.FILES))
            self.assertEqual(r.file('index.html'), self.FILES['index.html'])

    def test_relative_directory(self):
        # Resolved once: tar, the unmount after a failure and the second state all mean the same place.
        good, bad = targz(self.FILES), b'\x1f\x8b' + os.urandom(20000)
        for archive, rc, tree in [(good, b'0\n', b'img/logo.png\nindex.html\n'), (bad, b'255\n', b'')]:
            r = run('mkdir -p /tmp/www/active/resources; cd /tmp/www/active; sysconf --brand=resources >/dev/null '
                    '2>&1; echo $? > $OUT/rc; cd /; findmnt -rn -t tmpfs -o TARGET | grep -c /tmp/www > $OUT/mounts;'
                    'cd /tmp/www/active/resources && find . -type f | sed s,^./,, | sort > $OUT/tree',
                    store=self.brand_store(archive), files=FILES)
            self.assertEqual(r.file('rc'), rc)
            self.assertEqual(r.file('tree'), tree)
            self.assertEqual(r.file('mounts'), b'1\n' if tree else b'0\n', 'nothing stays mounted after a failure')

    def test_busy_directory_bad_archive_and_missing_block(self):
        d = '/tmp/www/active/resources'
        r = run('mkdir -p %s; touch %s/keep; sysconf --brand; echo $? > $OUT/rc; findmnt -n %s > $OUT/fs' % (d, d, d),
                store=self.brand_store(targz(self.FILES)), files=FILES)
        self.assertEqual((r.file('rc'), r.file('fs')), (b'0\n', b''))
        # A broken archive bigger than a pipe buffer: tar quits early; we neither die of SIGPIPE nor
        # report success, and nothing stays mounted.
        bad = b'\x1f\x8b' + os.urandom(20000)
        r = run('mkdir -p %s; sysconf --brand 2>/dev/null; echo $? > $OUT/rc; findmnt -n %s > $OUT/fs' % (d, d),
                store=self.brand_store(bad), files=FILES)
        self.assertEqual((r.file('rc'), r.file('fs')), (b'255\n', b''))
        r = run('mkdir -p %s; sysconf --brand; echo $? > $OUT/rc' % d, store=store(), files=FILES)
        self.assertEqual(r.file('rc'), b'255\n')


if __name__ == '__main__':
    unittest.main(verbosity=2)
