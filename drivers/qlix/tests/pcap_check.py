#!/usr/bin/env python3
"""Runs the simulator with captures and lets tshark, not our code, read them: every frame on the
air is LLC/SNAP with OUI 02-6E-41 and protocol 1 (token) or 2 (data), tokens are as long as
their bitmap says, every data frame as long as its header says; the delivered frames are whole
IPv4/UDP packets, as many as the sinks counted."""
import json
import os
import shutil
import subprocess
import sys
import tempfile

qlixsim = sys.argv[1]
if not shutil.which("tshark"):
    sys.exit("tshark is not installed")
tmp = tempfile.mkdtemp(prefix="qlix-pcap-")
prefix = os.path.join(tmp, "run")
run = subprocess.run([qlixsim, "--clients", "2", "--duration", "1", "--traffic", "light",
                      "--loss", "5", "--pcap", prefix, "--json"],
                     capture_output=True, text=True, check=True)
report = json.loads(run.stdout)


def fields(path, *names, filt=None):
    cmd = ["tshark", "-r", path, "-T", "fields", "-E", "separator=|"]
    if filt:
        cmd += ["-Y", filt]
    for n in names:
        cmd += ["-e", n]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    return [line.split("|") for line in out.splitlines() if line]


failures = []
tokens = data = 0
for oui, pid, body in fields(prefix + "-air.pcap", "llc.oui", "llc.pid", "data.data"):
    raw = bytes.fromhex(body.replace(":", ""))
    if int(oui, 0) != 0x026E41 or int(pid, 0) not in (1, 2):
        failures.append("foreign SNAP header %s %s" % (oui, pid))
    elif int(pid, 0) == 1:
        tokens += 1
        if raw[0] == 4:
            ok = len(raw) == 1
        else:
            bits = int.from_bytes(raw[19:21], "big")
            ok = raw[0] in (1, 2) and len(raw) == 21 + (bits + 7) // 8
        if not ok:
            failures.append("token of %d bytes: %s" % (len(raw), raw[:24].hex()))
    else:
        data += 1
        total = int.from_bytes(raw[2:4], "big")
        if total != len(raw):
            failures.append("data frame of %d bytes says %d" % (len(raw), total))

rx = fields(prefix + "-rx.pcap", "eth.type", "ip.proto", "ip.len", "frame.len")
for etype, proto, iplen, flen in rx:
    if int(etype, 0) != 0x0800 or proto != "17" or int(iplen) + 14 != int(flen):
        failures.append("delivered frame %s %s %s %s" % (etype, proto, iplen, flen))
if tokens == 0 or data == 0:
    failures.append("no tokens (%d) or no data (%d) on the air" % (tokens, data))
if len(rx) != report["packets_delivered"]:
    failures.append("%d frames captured, %d delivered" % (len(rx), report["packets_delivered"]))
shutil.rmtree(tmp)
for f in failures[:10]:
    print("FAIL:", f)
print("tokens %d, data frames %d, delivered %d: %s" % (tokens, data, len(rx),
                                                      "bad" if failures else "good"))
sys.exit(1 if failures else 0)
