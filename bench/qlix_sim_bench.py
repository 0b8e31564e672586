#!/usr/bin/env python3
"""Figures for the qlix token MAC from the simulator; see qlix-sim.sh."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sim = sys.argv[1]


def run(*args):
    """A run at the fixed MCS 15 unless the arguments choose one (rate adaptation is the default)."""
    args = list(map(str, args))
    if "--mcs" not in args:
        args += ["--mcs", "15"]
    out = subprocess.run([sim, "--json", *args], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


print("airtime efficiency, 1 client, saturated both ways, MCS 15 / 8 MHz / short GI, 20 s;")
print("each frame charged what the radio spends (drivers/qlix/sim/air.md), the limit from the same")
print("model: an endless train of full aggregates")
print("  %-8s %10s %8s %9s %9s %8s %8s %8s %6s" % ("distance", "Mb/s", "of PHY", "limit", "of limit",
                                               "data", "token", "idle", "coll"))
for km in (0, 10, 30):
    r = run("--clients", 1, "--duration", 20, "--distance-km", km)
    a = r["airtime"]
    print("  %5d km %10.2f %7.1f%% %8.1f%% %8.1f%% %7.1f%% %7.2f%% %7.2f%% %6d" % (
        km, r["total_mbps"], 100 * r["phy_share"], 100 * r["efficiency_limit"],
        100 * r["efficiency_vs_limit"], 100 * a["data"], 100 * a["token"], 100 * a["idle"],
        r["collisions"]))

print("\nadded per-frame overhead on the medium (on top of the radio's own), saturated both ways, 20 s")
print("  %-8s %28s   %36s" % ("", "1 client", "16 clients"))
for us in (0, 100, 230, 300, 400):
    one = run("--clients", 1, "--duration", 20, "--overhead-us", us)
    many = run("--clients", 16, "--duration", 20, "--overhead-us", us)
    print("  %3d us:  %5.1f%% of limit %5.1f%% of PHY coll %d   %5.1f%% of limit coll %d Jain airtime %.4f" % (
        us, 100 * one["efficiency_vs_limit"], 100 * one["phy_share"], one["collisions"],
        100 * many["efficiency_vs_limit"], many["collisions"], many["jain_airtime"]))

print("\nmixed rates: 8 clients at MCS 15 and 8 at MCS 0, saturated both ways, 20 s")
mixed = ",".join(["15"] * 8 + ["0"] * 8)
for ts in (150, 100):
    for us in (0, 230, 400):
        r = run("--clients", 16, "--duration", 20, "--mcs", mixed, "--train-timeslot", ts,
                "--overhead-us", us)
        air = [c["airtime_ms"] for c in r["per_client"]]
        print("  timeslot %3d ms, +%3d us: Jain airtime %.4f (MCS 15 %.0f ms, MCS 0 %.0f ms each), "
              "%.1f%% of limit, %.1f%% of PHY, coll %d" % (
                  ts, us, r["jain_airtime"], sum(air[:8]) / 8, sum(air[8:]) / 8,
                  100 * r["efficiency_vs_limit"], 100 * r["phy_share"], r["collisions"]))

print("\nfairness, 16 clients saturated both ways, 20 s")
for mcs in (15, 0):
    r = run("--clients", 16, "--duration", 20, "--mcs", mcs)
    per = [c["down_mbps"] + c["up_mbps"] for c in r["per_client"]]
    print("  MCS %2d: Jain throughput %.4f, airtime %.4f; %.2f..%.2f Mb/s per client, "
          "%.1f%% of the limit" % (mcs, r["jain_throughput"], r["jain_airtime"], min(per), max(per),
                                   100 * r["efficiency_vs_limit"]))
r = run("--clients", 3, "--duration", 20, "--traffic", "light", "--wrr", "3,1,1")
print("  WRR 3:1:1, light traffic: poll latency %s ms" %
      ", ".join(str(c["poll_latency_ms"]) for c in r["per_client"]))

print("\npoll latency against clients, light traffic (one 1514-byte packet each way per 100 ms)")
for n in (1, 4, 16, 64):
    r = run("--clients", n, "--duration", 10, "--traffic", "light", "--interval-ms", 100)
    pl = [c["poll_latency_ms"] for c in r["per_client"]]
    lat = [c["latency_ms"] for c in r["per_client"]]
    print("  N=%-3d poll %4d..%4d ms, packet latency %.1f ms mean, lost %d, misordered %d" % (
        n, min(pl), max(pl), sum(lat) / len(lat), r["packets_lost"], r["packets_misordered"]))

print("\nloss (data and tokens), 4 clients saturated, 20 s")
for loss in (0, 1, 5, 10, 30):
    r = run("--clients", 4, "--duration", 20, "--loss", loss)
    print("  %2d%%: %.1f%% of the limit, idle air %.1f%%, lost %d, misordered %d, Jain %.3f" % (
        loss, 100 * r["efficiency_vs_limit"], 100 * r["airtime"]["idle"], r["packets_lost"],
        r["packets_misordered"], r["jain_throughput"]))

print("\nvoice among saturated bulk, 16 clients, 50 voice packets a second each way per client, 10 s;")
print("one-way latency of both directions pooled per client, worst client shown; cycle = mean poll")
print("interval of the clients")
for qos in (False, True):
    r = run("--clients", 16, "--duration", 10, "--voice", 50, *(["--qos"] if qos else []))
    pc = r["per_client"]
    cycle = sum(c["poll_latency_ms"] for c in pc) / len(pc)
    vo = max(c["class_latency_ms"]["vo"]["p99"] for c in pc)
    vo50 = max(c["class_latency_ms"]["vo"]["p50"] for c in pc)
    bk = [c["class_latency_ms"]["bk"]["p99"] for c in pc if c["class_latency_ms"]["bk"]["p99"]]
    print("  %-9s cycle %4.0f ms: voice p50 %6.0f ms, p99 %6.0f ms = %5.2f cycles; bulk p99 %6.0f ms "
          "(voice/bulk %.3f); %.1f Mb/s" % (
              "class q" if qos else "one queue", cycle, vo50, vo, vo / cycle, min(bk) if bk else 0,
              vo / min(bk) if bk else 0, r["total_mbps"]))

print("\nrate adaptation (sim/channel.md), saturated both ways; goodput against the best MCS for")
print("each stretch of the channel (the genie, tokens left out), 120 s")
for name, args in (
        ("clean 35 dB", ["--snr", 35]),
        ("steady 22 dB", ["--snr", 22]),
        ("35 -> 22 dB at 40 s -> 35 at 80 s", ["--snr", 35, "--snr-step", "40:1:22", "--snr-step", "80:1:35"]),
        ("35 -> 17 dB at 40 s -> 35 at 80 s", ["--snr", 35, "--snr-step", "40:1:17", "--snr-step", "80:1:35"])):
    r = run("--duration", 120, "--mcs", "auto", *args)
    c = r["per_client"][0]
    print("  %-34s %6.2f of %6.2f Mb/s = %5.1f%%, MCS %s" % (
        name, c["goodput_mbps"], c["genie_goodput_mbps"], 100 * c["goodput_mbps"] / c["genie_goodput_mbps"],
        " ".join("%d@%.0fs" % (m, t) for t, m in c["mcs_changes"][:14])))
r = run("--clients", 4, "--duration", 120, "--mcs", "auto", "--snr", "35,35,35,14")
print("  4 clients, the last at 14 dB: " + ", ".join(
    "%.2f Mb/s (%.0f%% of genie) at MCS %d" % (c["goodput_mbps"], 100 * c["goodput_mbps"] / c["genie_goodput_mbps"],
                                             c["mcs_final"]) for c in r["per_client"]))

if not shutil.which("valgrind"):
    sys.exit(0)
COST = re.compile(r"\s*([\d,]+)\s+\([^)]*\)\s+(\S+):(\w+)")


def costs(text):
    """(file name, function, instructions) of each line of callgrind_annotate's output."""
    for line in text.splitlines():
        m = COST.match(line)
        if m:
            yield os.path.basename(m.group(2)), m.group(3), int(m.group(1).replace(",", ""))


def profile(*args):
    """One simulator run under callgrind: its own costs, its inclusive costs and its call counts."""
    tmp = tempfile.mkdtemp(prefix="qlix-cg-")
    out = os.path.join(tmp, "cg.out")
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, sim, *map(str, args)],
                   capture_output=True, text=True, check=True)
    own, incl = [list(costs(subprocess.run(["callgrind_annotate", "--threshold=100", *extra, out],
                                           capture_output=True, text=True, check=True).stdout))
                 for extra in ([], ["--inclusive=yes"])]
    # call counts from the raw profile: "cfn=(id) name" introduces a callee, "calls=N" follows
    names, calls, cur = {}, {}, None
    with open(out) as f:
        for line in f:
            m = re.match(r"(c?)fn=\((\d+)\)(?: (\S+))?", line)
            if m:
                if m.group(3):
                    names[m.group(2)] = m.group(3)
                cur = names.get(m.group(2)) if m.group(1) else None
            elif line.startswith("calls=") and cur:
                calls[cur] = calls.get(cur, 0) + int(line.split("=")[1].split()[0])
    shutil.rmtree(tmp)
    return own, incl, calls


print("\ninstructions (callgrind), 2 clients saturated both ways, 2 s")
ann, incl, calls = profile("--clients", 2, "--duration", 2, "--mcs", 15, "--stats")
module_files = ("module.c", "peer.c", "txq.c", "token.c", "rx.c", "autorate.c", "wrr.c",
                "sysfs.c", "qos.c", "qlix_class.c", "qlix_wire.c", "qlix_wire.h", "qlix_stats_rec.c",
                "qlix_int.h")
own = {}
for file, fn, ir in ann:
    if file in module_files:
        own[fn] = own.get(fn, 0) + ir
# The copy of each packet into its aggregate is the module's work too, though the shim's
# skb_copy_bits (a memcpy, as the kernel's is) does it; only the aggregate path calls it.
copy = sum(ir for _, fn, ir in incl if fn == "skb_copy_bits")

# The module's own instructions and the copy into the aggregate count; the shim's buffer
# allocator stands in for the kernel's, and the medium and the checking sink are the simulator's.
module = sum(own.values()) + copy
packets = calls.get("qlix_dev_xmit", 0)
aggs = calls.get("data_rcv", 0)
cycles = calls.get("qlix_tx", 0)
if packets and aggs and cycles:
    print("  %d packets in %d aggregates, %d token cycles" % (packets, aggs, cycles))
    print("  module instructions per forwarded packet (send + receive): %.0f, of which %.0f the "
          "copy into the aggregate" % (module / packets, copy / packets))
    print("  per received aggregate: %.0f" % (sum(v for k, v in own.items() if k in (
        "data_rcv", "qlix_rx_check", "qlix_rx_validate", "rxq_insert", "rxq_release",
        "rx_process_aggregate", "qlix_deliver", "qlix_data_hdr_get", "qlix_peer_by_mac",
        "qlix_pkt_too_short", "qlix_rx_fail")) / aggs))
    print("  per token cycle (train selection, START, train, END, acknowledgement): %.0f" % (sum(
        v for k, v in own.items() if k in ("qlix_tx", "qlix_select_train", "qlix_send_train",
        "qlix_send_token", "qlix_token_encode", "qlix_build_ack", "qlix_ack_start", "qlix_ack_add",
        "ar_update_txqe_rate", "ar_get_data_packet_send_time", "qlix_airtime_data",
        "qlix_phy_rate", "ar_skb_set_rate", "qlix_frame_header", "qlix_tx_bookkeeping",
        "get_next_peer", "_get_next_peer", "qlix_poll_latency", "tx_queue_add",
        "qlix_data_hdr_put", "qlix_token_ctrl", "qlix_free_slots", "qlix_token_flags",
        "ar_get_token_send_time", "qlix_airtime_token", "qlix_ceil_ms")) / cycles))
    top = sorted(own.items(), key=lambda kv: -kv[1])[:6]
    print("  largest: " + ", ".join("%s %.0f/packet" % (k, v / packets) for k, v in top))

# Classification: the inclusive cost of skb_classify (the copy of the frame's first 16 bytes out
# of the buffer and the look at them) per call, with the class queues on.
print("\ninstructions (callgrind), class queues on, 2 clients saturated both ways with voice, 2 s")
_, incl, calls = profile("--clients", 2, "--duration", 2, "--qos", "--voice", 50)
cost = {}
for _, fn, ir in incl:
    cost[fn] = cost.get(fn, 0) + ir
n = calls.get("skb_classify", 0)
if n:
    print("  %d packets classified: %.0f instructions each (the frame look alone %.0f); "
          "%.0f a train start for the class queues (closing and moving)" % (
              n, cost.get("skb_classify", 0) / n, cost.get("qlix_classify", 0) / n,
              cost.get("tx_qos_fill", 0) / max(calls.get("tx_qos_fill", 0), 1)))


def adaptation_round(clients, seconds):
    """Module instructions of the rate adaptation per peer and round: the master walks all its
    peers, each client its one, every 2 s."""
    own, _, _ = profile("--clients", clients, "--duration", seconds, "--snr", 22, "--mcs", "auto")
    ir = sum(n for file, fn, n in own if file == "autorate.c" and fn in (
        "qlix_ar_timer", "ar_adapt", "ar_measure", "ar_decide", "ar_rec_expired_at", "ar_per",
        "ar_traffic", "ar_ok_sum", "ar_et_grown", "ar_bounds"))
    rounds = seconds // 2
    return ir / (rounds * 2 * clients)


print("\ninstructions (callgrind) per adaptation round and peer, 22 dB, saturated: "
      "%.0f with 1 client, %.0f with 16" % (adaptation_round(1, 20), adaptation_round(16, 20)))
