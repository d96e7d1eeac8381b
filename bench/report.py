#!/usr/bin/env python3
"""Writes BENCHMARKS.md from the results of bench/run_benchmarks.sh.

usage: report.py RESULTS_DIR OUT.md BUILD_DIR_NAME
"""
import datetime
import json
import os
import platform
import subprocess
import sys

results, out, build = sys.argv[1], sys.argv[2], sys.argv[3]
BENCH = f"{build}/bench/lcmp_transport_bench"
RUN_ALL = "bench/run_benchmarks.sh"


def load_transport():
    path = os.path.join(results, "transport.json")
    if not os.path.exists(path):
        return {}
    with open(path) as f:
        data = json.load(f)
    return {b["name"]: b for b in data.get("benchmarks", []) if "error_occurred" not in b}


def skip_reason():
    path = os.path.join(results, "transport.err")
    if os.path.exists(path):
        for line in open(path):
            if line.startswith("adapter benchmarks skipped:"):
                return line.split(":", 1)[1].strip()
    return None


def load_pairs(name):
    path = os.path.join(results, name)
    values = {}
    if os.path.exists(path):
        for line in open(path):
            parts = line.split()
            if len(parts) == 2:
                try:
                    values[parts[0]] = float(parts[1])
                except ValueError:
                    pass
    return values


bm = load_transport()
skipped = skip_reason()
cost = load_pairs("frame_cost.txt")
java = load_pairs("java.txt")
device = load_pairs("device.txt")
rows = []  # (row, measurement, library, floor, goal, verdict, command)


def verdict(ok):
    return "met" if ok else "**not met**"


def counter(name, key):
    b = bm.get(name)
    return None if b is None else b.get(key)


def root_row(row, what, goal, command):
    rows.append((row, what, "skipped (needs root)", "", goal, "skipped: " + (skipped or "not run"), command))


# Row 1: receive rate on the veth pair.
for segments in (1, 4):
    what = f"receive rate, burst of 300 000 frames, {'unsegmented' if segments == 1 else '4-segment'} messages"
    cmd = f"{BENCH} --benchmark_filter='BM_ReceiveRate/bare:[012]/segments:{segments}/rate:0/'"
    lib = f"BM_ReceiveRate/bare:0/segments:{segments}/rate:0/iterations:5/manual_time"
    bare = f"BM_ReceiveRate/bare:1/segments:{segments}/rate:0/iterations:5/manual_time"
    plain = f"BM_ReceiveRate/bare:2/segments:{segments}/rate:0/iterations:5/manual_time"
    goal = ">= 90% of the bare loop, 0 lost"
    if lib in bm and bare in bm:
        lf, bf = counter(lib, "fps"), counter(bare, "fps")
        lost = counter(lib, "lost")
        extra = ""
        if plain in bm:
            extra = (f"; bare loop with libpcap's default 2 MiB ring: {counter(plain, 'fps') / 1e3:.0f} k/s, "
                     f"{counter(plain, 'lost'):.0f} lost")
        rows.append(("1", what,
                     f"{lf / 1e3:.0f} k frames/s, {lost:.0f} lost, {100 * counter(lib, 'cpu_share'):.0f}% of a core",
                     f"{bf / 1e3:.0f} k frames/s, {counter(bare, 'lost'):.0f} lost, "
                     f"{100 * counter(bare, 'cpu_share'):.0f}% of a core (sender {counter(bare, 'send_fps') / 1e3:.0f} k/s){extra}",
                     goal, verdict(lf >= 0.9 * bf and lost == 0) + f" ({100 * lf / bf:.0f}%)", cmd))
    else:
        root_row("1", what, goal, cmd)

# Row 2: instructions per frame.
cg = f"bench/frame_cost.sh {build}/bench/lcmp_frame_cost 20000"
if cost:
    floor = cost.get("decode_floor", 0)
    u, s = cost.get("unsegmented", 0), cost.get("segmented4", 0)
    rows.append(("2", "instructions per unsegmented frame (callgrind, savefile replay)", f"{u:.0f}",
                 f"{floor:.0f} (frame decode alone, same replay)", "<= 300", verdict(u <= 300), cg))
    rows.append(("2", "instructions per segment of a 4-segment message", f"{s:.0f}", f"{floor:.0f}", "<= 600",
                 verdict(s <= 600), cg))
    for kind in ("unsegmented", "segmented4"):
        vals = [cost.get(f"{kind}_partial_{p}", 0) for p in (10, 100, 1000, 10000)]
        ratio = vals[3] / vals[0] if vals[0] else 0
        rows.append(("2", f"{kind} frames with 10 / 100 / 1 000 / 10 000 partial messages held",
                     " / ".join(f"{v:.0f}" for v in vals), f"{vals[0]:.0f} (10 held)",
                     "flat within 2x", verdict(0 < ratio <= 2) + f" (x{ratio:.2f})", cg))
    for kind in ("unsegmented", "segmented4"):
        stepped = [cost.get(f"{kind}_stepped_{p}") for p in (1000, 10000)]
        in_order = [cost.get(f"{kind}_partial_{p}", 0) for p in (1000, 10000)]
        if None in stepped:
            continue
        ratio = max(s / o if o else 0 for s, o in zip(stepped, in_order))
        rows.append(("2", f"{kind} frames after the capture clock stepped back 1 s, 1 000 / 10 000 partial "
                     "messages held", " / ".join(f"{v:.0f}" for v in stepped),
                     " / ".join(f"{v:.0f}" for v in in_order) + " (in order, as many held)",
                     "within 1.2x of in order", verdict(0 < ratio <= 1.2) + f" (x{ratio:.2f})", cg))
else:
    rows.append(("2", "instructions per frame", "skipped (valgrind not installed)", "", "<= 300 / <= 600", "skipped", cg))

# Row 3: wire-to-callback latency, and the management rate without drops.
name = "BM_WireToCallback/iterations:500/manual_time"
cmd = f"{BENCH} --benchmark_filter=BM_WireToCallback"
if name in bm:
    med = counter(name, "wire_us_median")
    rows.append(("3", "wire-to-callback latency of a lone frame (500 frames, 2 ms apart)",
                 f"median {med:.0f} us, max {counter(name, 'wire_us_max'):.0f} us",
                 "plain pcap_open_live(..., 1000): up to 1 000 ms; immediate mode: 33-41 us",
                 "median < 1 ms", verdict(med < 1000), cmd))
else:
    root_row("3", "wire-to-callback latency", "median < 1 ms", cmd)
for segments in (1, 4):
    lib = f"BM_ReceiveRate/bare:0/segments:{segments}/rate:100000/iterations:2/manual_time"
    bare = f"BM_ReceiveRate/bare:1/segments:{segments}/rate:100000/iterations:2/manual_time"
    cmd = f"{BENCH} --benchmark_filter='BM_ReceiveRate/bare:[012]/segments:{segments}/rate:100000/'"
    what = f"paced 100 000 frames/s for 1 s, {'unsegmented' if segments == 1 else '4-segment'}"
    if lib in bm and bare in bm:
        lost = counter(lib, "lost")
        rows.append(("3", what, f"{counter(lib, 'fps') / 1e3:.1f} k frames/s, {lost:.0f} lost",
                     f"{counter(bare, 'fps') / 1e3:.1f} k frames/s, {counter(bare, 'lost'):.0f} lost",
                     ">= 100 000 frames/s, 0 lost", verdict(lost == 0), cmd))
    else:
        root_row("3", what, ">= 100 000 frames/s, 0 lost", cmd)

# Row 4: LCMPEnd on a quiet line.
name = "BM_StopLatencyQuietLine/iterations:30/manual_time"
cmd = f"{BENCH} --benchmark_filter=BM_StopLatencyQuietLine"
if name in bm:
    med = counter(name, "stop_ms_median")
    mx = counter(name, "stop_ms_max")
    floor = "BM_StopBareLoop/iterations:30/manual_time"
    ftext = (f"bare loop stopped and closed: median {counter(floor, 'stop_ms_median'):.2f} ms, "
             f"max {counter(floor, 'stop_ms_max'):.2f} ms" if floor in bm else "")
    rows.append(("4", "LCMPEnd on a quiet line (30 sessions)", f"median {med:.2f} ms, max {mx:.2f} ms",
                 ftext + "; the plain design waits out the 1 000 ms read timeout", "< 50 ms",
                 verdict(med < 50) + ("" if mx < 50 else " for the median; the maximum is over"), cmd.replace('=BM_StopLatencyQuietLine', "='BM_StopLatencyQuietLine|BM_StopBareLoop'")))
else:
    root_row("4", "LCMPEnd on a quiet line", "< 50 ms", cmd)

# Rows 5, 6: Java.
jcmd = f"{build}/bench/java/run_java_bench.sh"
if "read10_wrapper_ns" in java:
    w, f = java["read10_wrapper_ns"], java["read10_jni_floor_ns"]
    req, eng = java.get("read10_request_floor_ns"), java.get("read10_engine_ns")
    floor = f"{f:.0f} ns (same response through JNI calls alone); pure Java {java.get('read10_java_ns', 0):.0f} ns"
    result = verdict(w <= 1.5 * f) + f" (x{w / f:.2f})"
    if req is not None:
        floor += f"; reading the request list through JNI {req:.0f} ns (whole conversion {f + req:.0f} ns)"
        result += f"; x{w / (f + req):.2f} of the whole conversion"
    if eng is not None:
        floor += f"; engine's value lists and LCMPRead alone {eng:.0f} ns"
    calls = java.get("read10_jni_calls")
    rows.append(("5", "LCMP_Read_Wrapper of 10 parameters (JVM without -Xcheck:jni)",
                 f"{w:.0f} ns" + (f", {calls:.0f} JNI calls" if calls is not None else ""),
                 floor, "<= 1.5x the JNI floor", result, jcmd))
else:
    rows.append(("5", "LCMP_Read_Wrapper of 10 parameters", "not measured in this run", "", "<= 1.5x the JNI floor",
                 "not measured", jcmd))
# Row 6 on a Java session: its receive thread stays attached, in a namespace
# with simulated devices (device_bench.sh ... callbacks).
jc = load_pairs("java_callbacks.txt")
jccmd = f"bench/java/device_bench.sh {build}/tools/lcmp-device {jcmd} 7 callbacks"
if "deliver_session_ns" in jc:
    d, f = jc["deliver_session_ns"], jc["deliver_session_floor_ns"]
    rows.append(("6", "delivery to a Java callback on a Java session's receive thread (attached for the session; "
                 "CallbacksExecute, one parameter record)", f"{d:.0f} ns",
                 f"{f:.0f} ns (an attached thread builds the same one-parameter response and calls LCMPCallBack)",
                 "<= 1.5x the floor", verdict(d <= 1.5 * f) + f" (x{d / f:.2f})", jccmd))
    g, n = jc["group200_java_callback_ns"], jc["group200_no_callback_ns"]
    rows.append(("6", "group read answered by 200 simulated devices with a Java callback registered: call to its "
                 "last callback (median)", f"{g / 1e6:.2f} ms",
                 f"{n / 1e6:.2f} ms (the same read without a Java callback: call to the last answer)",
                 "", f"x{g / n:.2f}", jccmd))
else:
    why = "skipped (needs root)" if "device_read_skipped" in jc else "not measured in this run"
    rows.append(("6", "delivery to a Java callback on a Java session's receive thread", why, "",
                 "<= 1.5x the floor", why, jccmd))
if "deliver_ns" in java:
    d, f = java["deliver_ns"], java["deliver_floor_ns"]
    rows.append(("6", "delivery to a Java callback on a C host's session (LCMPInit): attached for each delivery "
                 "(CallbacksExecute on a native thread, one parameter record)", f"{d / 1e3:.1f} us",
                 f"{f / 1e3:.1f} us (attach + call + detach from a native thread)", "<= 1.2x the floor",
                 verdict(d <= 1.2 * f) + f" (x{d / f:.2f})", jcmd))
else:
    rows.append(("6", "delivery to a Java callback", "not measured in this run", "", "<= 1.2x the floor",
                 "not measured", jcmd))

# Row 7: memory.
name = "BM_MemorySoak/iterations:1"
cmd = f"{BENCH} --benchmark_filter='BM_MemorySoak|BM_ReassemblyBound'"
if name in bm:
    g = counter(name, "rss_growth_pct")
    rows.append(("7", "resident size over 1 000 000 frames and 100 000 install/uninstall cycles",
                 f"{counter(name, 'rss_warm_kb'):.0f} kB after warm-up, {counter(name, 'rss_end_kb'):.0f} kB at the end "
                 f"({g:+.1f}%)", "", "growth within 5%", verdict(g <= 5), cmd))
name = "BM_ReassemblyBound/iterations:1"
if name in bm:
    held, bound = counter(name, "held_max"), counter(name, "held_bound")
    rows.append(("7", "partial messages held under 1 unfinished segment per us for 300 ms",
                 f"at most {held:.0f}", f"{bound:.0f} (50 ms of that traffic)", "<= what 50 ms holds",
                 verdict(held <= bound), cmd))
name = "BM_ReassemblyFullSizeFlood/iterations:1"
if name in bm:
    grow, held, limit = counter(name, "rss_growth_kb"), counter(name, "held_kb_max"), counter(name, "limit_kb")
    rows.append(("7", "resident size under 1 unfinished 1 492-byte segment per us for 300 ms",
                 f"+{grow:.0f} kB at most ({held:.0f} kB held by partial messages, "
                 f"{counter(name, 'dropped_by_limit'):.0f} dropped by the limit)",
                 f"{limit:.0f} kB (LCMP_REASSEMBLY_BYTE_LIMIT); by age alone 50 ms of it would hold "
                 f"{counter(name, 'age_bound_kb'):.0f} kB", "growth <= 1.25x the limit",
                 verdict(0 <= grow <= 1.25 * limit), cmd.replace("BM_ReassemblyBound", "BM_ReassemblyBound|BM_ReassemblyFullSizeFlood")))

# Row 8: lcmp-device's answer rate beside the bare send rate of the same adapter.
dcmd = f"{build}/bench/lcmp_simulator_bench"
bare_send = device.get("bare_send_fps")
for key, what in (("device1_answer_fps", "lcmp-device answer rate, 1 device, 6 000 unicast reads queued"),
                  ("device200_group_answer_fps", "lcmp-device answer rate, 200 devices, 30 group reads queued "
                   "(6 000 answers)")):
    goal = ">= 80% of the bare send rate"
    if bare_send and key in device:
        rate = device[key]
        lib = f"{rate / 1e3:.0f} k answers/s"
        if key == "device1_answer_fps" and "device1_round_trip_us" in device:
            lib += f"; a lone read answered in {device['device1_round_trip_us']:.0f} us (round trip, median)"
        rows.append(("8", what, lib, f"{bare_send / 1e3:.0f} k frames/s (pcap_sendpacket loop on the same veth)", goal,
                     verdict(rate >= 0.8 * bare_send) + f" ({100 * rate / bare_send:.0f}%)", dcmd))
    else:
        root_row("8", what, goal, dcmd)

# Row 9: device mode (bench/device_mode_bench.cpp).
dev = {}
dpath = os.path.join(results, "device_mode.json")
if os.path.exists(dpath):
    with open(dpath) as f:
        dev = {b["name"]: b for b in json.load(f).get("benchmarks", []) if "error_occurred" not in b}
DBENCH = f"{build}/bench/lcmp_device_mode_bench"
lib, bare = "BM_RoundTripRead/iterations:3000/manual_time", "BM_RoundTripBare/iterations:3000/manual_time"
cmd = f"{DBENCH} --benchmark_filter=RoundTrip"
if lib in dev and bare in dev:
    l, b = dev[lib]["rtt_us_median"], dev[bare]["rtt_us_median"]
    rows.append(("9", "round trip of a one-parameter LCMPRead in device mode (3 000 reads, median)", f"{l:.1f} us",
                 f"{b:.1f} us (one raw frame out through libpcap, answer read back through libpcap; "
                 "the same responder answering from a tight loop)", "<= 1.5x the floor",
                 verdict(l <= 1.5 * b) + f" (x{l / b:.2f})", cmd))
else:
    root_row("9", "round trip of a one-parameter LCMPRead in device mode", "<= 1.5x the floor", cmd)
name = "BM_EightThreadsEightDevices/iterations:2/manual_time"
cmd = f"{DBENCH} --benchmark_filter=BM_EightThreadsEightDevices"
if name in dev:
    b = dev[name]
    rows.append(("9", "8 threads reading back from 8 simulated devices (lcmp-device -n 8) what each wrote, 2 x 2 s",
                 f"{b['requests_per_s'] / 1e3:.1f} k requests/s, {b['misrouted']:.0f} misrouted, "
                 f"{b['failed']:.0f} failed of {b['requests']:.0f}", "", ">= 20 000 requests/s, none misrouted",
                 verdict(b["requests_per_s"] >= 20000 and b["misrouted"] == 0 and b["failed"] == 0), cmd))
else:
    root_row("9", "8 threads against 8 simulated devices", ">= 20 000 requests/s, none misrouted", cmd)
name = "BM_GroupRead200/iterations:5/manual_time"
cmd = f"{DBENCH} --benchmark_filter=BM_GroupRead200"
if name in dev:
    b = dev[name]
    rows.append(("9", "multicast read answered by 200 simulated devices (5 reads, median)",
                 f"{b['collected_min']:.0f} of 200 collected; call to last answer delivered: "
                 f"{b['library_ms_median']:.2f} ms",
                 f"simulator, request frame to its last answer on the wire: {b['simulator_ms_median']:.2f} ms",
                 "all 200 collected", verdict(b["collected_min"] >= 200), cmd))
else:
    root_row("9", "multicast read answered by 200 simulated devices", "all 200 collected", cmd)

# Row 10: the round trip of a one-parameter read from a simulated device, Java beside C.
jd = load_pairs("java_device.txt")
jdcmd = f"bench/java/device_bench.sh {build}/tools/lcmp-device {jcmd}"
if "device_read_java_ns" in jd:
    j, c = jd["device_read_java_ns"], jd["device_read_c_ns"]
    rows.append(("10", "round trip of a one-parameter read from a simulated device through LCMP_Read_Wrapper "
                 "(lcmp-device on a veth pair; JVM without -Xcheck:jni)", f"{j / 1e3:.1f} us",
                 f"{c / 1e3:.1f} us (the same read through the C interface, same session)", "<= 1.5x the C round trip",
                 verdict(j <= 1.5 * c) + f" (x{j / c:.2f})", jdcmd))
elif "device_read_skipped" in jd:
    rows.append(("10", "round trip of a one-parameter read from a simulated device through LCMP_Read_Wrapper",
                 "skipped (needs root)", "", "<= 1.5x the C round trip", "skipped: needs root", jdcmd))
else:
    rows.append(("10", "round trip of a one-parameter read from a simulated device through LCMP_Read_Wrapper",
                 "not measured in this run", "", "<= 1.5x the C round trip", "not measured", jdcmd))

# Row 11: the soak on a flaky link, and discovery at scale (bench/device_mode_bench.cpp).
name = "BM_FlakyLinkSoak/iterations:1/manual_time"
cmd = f"{DBENCH} --benchmark_filter=BM_FlakyLinkSoak"
what = ("8 threads writing and reading back on 8 simulated devices, lcmp-ctl reading the same devices at the same "
        "time, flaky link (lcmp-device --loss 20 --duplicate 10 --late 10:60; attempts of 40 ms, 3 attempts), 20 s")
if name in dev:
    b = dev[name]
    wrong = b["flaky_wrong"] + b["flaky_ctl_wrong"]
    rows.append(("11", what,
                 f"{b['flaky_requests_per_s']:.0f} requests/s; {b['flaky_wrong']:.0f} wrong answers of "
                 f"{b['flaky_calls']:.0f} calls ({b['flaky_timeouts']:.0f} timed out), {b['flaky_ctl_wrong']:.0f} "
                 f"wrong of {b['flaky_ctl_reads']:.0f} lcmp-ctl reads ({b['flaky_ctl_timeouts']:.0f} timed out)",
                 f"clean link, same run (5 s): {b['clean_requests_per_s']:.0f} requests/s, "
                 f"{b['clean_wrong']:.0f} wrong of {b['clean_calls']:.0f} calls and "
                 f"{b['clean_ctl_reads']:.0f} lcmp-ctl reads",
                 "0 wrong answers", verdict(wrong == 0 and b["clean_wrong"] == 0 and b["flaky_failed"] == 0), cmd))
else:
    root_row("11", what, "0 wrong answers", cmd)
# Row 11 from Java: the same soak through LCMP_Write_Wrapper / LCMP_Read_Wrapper (bench/java/device_bench.sh ... soak).
js = load_pairs("java_soak.txt")
jscmd = f"bench/java/device_bench.sh {build}/tools/lcmp-device {jcmd} 20 soak"
what = ("the same soak from Java: 8 threads writing and reading back through LCMP_Write_Wrapper / LCMP_Read_Wrapper "
        "in an LCMPSession, lcmp-ctl reading the same devices, same flaky link and attempts, 20 s")
if "java_soak_flaky_calls" in js:
    f = lambda key: js[f"java_soak_{key}"]
    wrong = f("flaky_wrong") + f("flaky_ctl_wrong") + f("clean_wrong") + f("clean_ctl_wrong")
    rows.append(("11", what,
                 f"{f('flaky_requests_per_s'):.0f} requests/s; {f('flaky_wrong'):.0f} wrong answers of "
                 f"{f('flaky_calls'):.0f} calls ({f('flaky_timeouts'):.0f} timed out), {f('flaky_ctl_wrong'):.0f} "
                 f"wrong of {f('flaky_ctl_reads'):.0f} lcmp-ctl reads ({f('flaky_ctl_timeouts'):.0f} timed out)",
                 f"clean link, same run (5 s): {f('clean_requests_per_s'):.0f} requests/s, "
                 f"{f('clean_wrong') + f('clean_ctl_wrong'):.0f} wrong of {f('clean_calls'):.0f} calls and "
                 f"{f('clean_ctl_reads'):.0f} lcmp-ctl reads",
                 "0 wrong answers", verdict(wrong == 0 and f("flaky_failed") == 0 and f("clean_failed") == 0), jscmd))
elif "device_read_skipped" in js:
    rows.append(("11", what, "skipped (needs root)", "", "0 wrong answers", "skipped: needs root", jscmd))
else:
    rows.append(("11", what, "not measured in this run", "", "0 wrong answers", "not measured", jscmd))
name = "BM_Discover20000/iterations:3/manual_time"
cmd = f"{DBENCH} --benchmark_filter=BM_Discover20000"
what = "lcmp-ctl -t 3000 discover against 20 000 simulated devices (lcmp-device -n 20000), 3 runs"
if name in dev:
    b = dev[name]
    rows.append(("11", what, f"{b['listed_min']:.0f} of 20 000 listed (fewest of 3); {b['seconds_median']:.2f} s a run "
                 "(median)", "the run waits 3 s for answers by design", "all 20 000 listed",
                 verdict(b["listed_min"] >= 20000), cmd))
else:
    root_row("11", what, "all 20 000 listed", cmd)

# Supplementary: wall time of the per-frame function.
timing = []
for n, b in bm.items():
    if n.startswith("BM_HandleFrame"):
        timing.append(f"| {n} | {b['real_time']:.0f} {b['time_unit']} |")

host = platform.node()
try:
    pcap = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "libpcap0.8"], capture_output=True, text=True).stdout
except OSError:
    pcap = "?"
with open(out, "w") as f:
    f.write("# Benchmarks\n\n")
    f.write("Generated by `make bench` (`bench/run_benchmarks.sh`), which builds the benchmarks in Release into "
            f"`{build}` and runs them all; every row measures the library and its floor in the same run. "
            "Machine: %s, %d CPUs, kernel %s, libpcap %s; %s.\n\n" % (
                host, os.cpu_count() or 0, platform.release(), pcap or "?",
                datetime.datetime.now().strftime("%Y-%m-%d %H:%M")))
    f.write("| Row | Measurement | Library | Floor (same run) | Goal | Result | Reproduce |\n")
    f.write("|---|---|---|---|---|---|---|\n")
    for r in rows:
        f.write("| " + " | ".join(str(c).replace("|", "\\|") if i != 6 else f"`{c}`" for i, c in enumerate(r)) + " |\n")
    f.write("\nEverything: `" + RUN_ALL + "`.\n")
    notes = os.path.join(os.path.dirname(os.path.abspath(__file__)), "NOTES.md")
    if os.path.exists(notes):
        f.write("\n" + open(notes).read())
    java_notes = os.path.join(os.path.dirname(os.path.abspath(__file__)), "java", "NOTES.md")
    if os.path.exists(java_notes):
        f.write("\n" + open(java_notes).read())
    if timing:
        f.write("\n## Wall time of the per-frame function\n\n| Benchmark | Time per frame (or pair) |\n|---|---|\n")
        f.write("\n".join(timing) + "\n")
