#!/usr/bin/env python3
"""Runs the simulator with captures and lets tshark, not our code, read them: every frame on the
air is LLC/SNAP with OUI 02-6E-41 and protocol 1 (token) or 2 (data), tokens are as long as
their bitmap says, every data frame as long as its header says; the delivered frames are whole
IPv4/UDP packets, as many as the sinks counted.  A second run restarts a client's peer device: the
reader sees it renumber and flag the resynchronisation, and every flow moves again afterwards.
A third run degrades the channel mid-run: the MCS tshark reads from each frame's radiotap header
steps down and up again, and every first send of the master is at the MCS the simulator reported
its rate adaptation in force at that instant."""
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


def fields(path, *names, filt=None):
    cmd = ["tshark", "-r", path, "-T", "fields", "-E", "separator=|"]
    if filt:
        cmd += ["-Y", filt]
    for n in names:
        cmd += ["-e", n]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    return [line.split("|") for line in out.splitlines() if line]


def check(name, args):
    """One simulator run with captures; returns the problems the frame reader found."""
    prefix = os.path.join(tmp, name)
    run = subprocess.run([qlixsim] + args + ["--pcap", prefix, "--json"],
                         capture_output=True, text=True, check=True)
    report = json.loads(run.stdout)
    failures = []
    tokens = data = 0
    unsync_flags = restarts = 0
    last_data_seq = {}
    for src, oui, pid, body in fields(prefix + "-air.pcap", "wlan.sa", "llc.oui", "llc.pid",
                                      "data.data"):
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
                if ok and int.from_bytes(raw[13:17], "big") & 1:
                    unsync_flags += 1
            if not ok:
                failures.append("token of %d bytes: %s" % (len(raw), raw[:24].hex()))
        else:
            data += 1
            total = int.from_bytes(raw[2:4], "big")
            if total != len(raw):
                failures.append("data frame of %d bytes says %d" % (len(raw), total))
            seq = int.from_bytes(raw[0:2], "big") & 0xFFF
            # a sender numbering again from 1 well below where it was: a restart
            if seq == 1 and last_data_seq.get(src, 0) > 1:
                restarts += 1
            last_data_seq[src] = seq

    rx = fields(prefix + "-rx.pcap", "eth.type", "ip.proto", "ip.len", "frame.len")
    for etype, proto, iplen, flen in rx:
        if int(etype, 0) != 0x0800 or proto != "17" or int(iplen) + 14 != int(flen):
            failures.append("delivered frame %s %s %s %s" % (etype, proto, iplen, flen))
    if tokens == 0 or data == 0:
        failures.append("no tokens (%d) or no data (%d) on the air" % (tokens, data))
    if len(rx) != report["packets_delivered"]:
        failures.append("%d frames captured, %d delivered" % (len(rx), report["packets_delivered"]))
    if "--restart" in args:
        # the restarted client renumbers its data from 1 and both sides say so in their tokens
        # until they agree again; afterwards every flow moves and stays in order
        if restarts == 0 or unsync_flags == 0:
            failures.append("restart not seen on the air: %d renumberings, %d unsync tokens"
                            % (restarts, unsync_flags))
        for c in report["per_client"]:
            if c["down_mbps_tail"] <= 0 or c["up_mbps_tail"] <= 0:
                failures.append("client %d dead after the restart: %s" % (c["client"], c))
        if report["packets_misordered"] or report["collisions"]:
            failures.append("%d misordered, %d collisions" % (report["packets_misordered"],
                                                             report["collisions"]))
    print("%s: tokens %d, data frames %d, delivered %d: %s" % (
        name, tokens, data, len(rx), "bad" if failures else "good"))
    return failures


def check_mcs():
    """The MCS of each frame as tshark decodes it against the MCS changes the run reported."""
    prefix = os.path.join(tmp, "mcs")
    args = ["--duration", "40", "--snr", "35", "--snr-step", "10:1:22", "--snr-step", "26:1:35",
            "--mcs", "auto"]
    run = subprocess.run([qlixsim] + args + ["--pcap", prefix, "--json"],
                         capture_output=True, text=True, check=True)
    changes = json.loads(run.stdout)["per_client"][0]["mcs_changes"]
    failures = []
    seen = []
    first = mismatched = tokens_off = 0
    for t, src, mcs, pid, body in fields(prefix + "-air.pcap", "frame.time_relative", "wlan.sa",
                                         "radiotap.mcs.index", "llc.pid", "data.data"):
        raw = bytes.fromhex(body.replace(":", ""))
        t, mcs = float(t), int(mcs)
        if int(pid, 0) == 1:
            tokens_off += mcs != 0
            continue
        if src != "02:00:00:00:00:01" or int.from_bytes(raw[6:8], "big") != 1:
            continue
        # the report samples every 100 ms: skip first sends near a change
        if any(abs(t - c[0]) < 0.25 for c in changes[1:]):
            continue
        want = [c[1] for c in changes if c[0] <= t][-1]
        first += 1
        mismatched += mcs != want
        if not seen or seen[-1] != mcs:
            seen.append(mcs)
    if tokens_off:
        failures.append("%d tokens not at MCS 0" % tokens_off)
    if first == 0 or mismatched:
        failures.append("%d of %d first sends not at the reported MCS" % (mismatched, first))
    if len(seen) < 3 or seen[0] != 15 or seen[-1] != 15 or min(seen) >= 15:
        failures.append("the MCS on the air did not step down and back: %s" % seen)
    print("mcs: first sends %d, MCS on the air %s, reported %s: %s" % (
        first, seen, [c[1] for c in changes], "bad" if failures else "good"))
    return failures


failures = check("light", ["--clients", "2", "--duration", "1", "--traffic", "light",
                           "--loss", "5"])
failures += check("restart", ["--duration", "4", "--loss", "5", "--restart", "1.37:1"])
failures += check_mcs()
shutil.rmtree(tmp)
for f in failures[:10]:
    print("FAIL:", f)
sys.exit(1 if failures else 0)
