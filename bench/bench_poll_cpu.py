#!/usr/bin/env python3
"""CPU cost of polling as a user runs it: the real grafimo485 (or, with --program logger, the
recorder without a window, grafimo-logger) and grafimo-sim --pace with N devices (10 by
default) on a pseudo-terminal, for a while (30 s by default); prints the CPU time of each
thread of the program per second and per stored sample, and the program's resident memory.
Offscreen by default; --xvfb runs it on a virtual X server instead.
CPU time is the scheduler's own count (/proc/.../schedstat, nanoseconds), wake-ups are the
thread's voluntary context switches.
With --rss-every S it prints the resident memory every S seconds: with --no-pace and many
devices a few minutes stand for hours of paced polling (the charts fill to their bound).
Run by hand: bench/bench_poll_cpu.py [--build build/release] [--devices 10] [--seconds 30] [--xvfb]
             [--no-pace] [--rss-every S] [--program window|logger]
"""
import argparse, os, shutil, signal, subprocess, sys, tempfile, time

def ticks(pid):
    """tid -> (name, CPU nanoseconds, voluntary context switches)"""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                comm = f.read().strip()
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                ns = int(f.read().split()[0])
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                vol = next(int(l.split()[1]) for l in f if l.startswith("voluntary_ctxt_switches"))
            out[tid] = (comm, ns, vol)
        except (OSError, StopIteration):
            pass
    return out

def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build/release")
    ap.add_argument("--devices", type=int, default=10)
    ap.add_argument("--seconds", type=float, default=30)
    ap.add_argument("--xvfb", action="store_true")
    ap.add_argument("--no-pace", action="store_true", help="answers as fast as a pty takes them")
    ap.add_argument("--rss-every", type=float, default=0, help="print resident memory every S seconds")
    ap.add_argument("--program", choices=["window", "logger"], default="window",
                    help="grafimo485 (window) or grafimo-logger")
    a = ap.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = os.path.join(root, a.build)
    work = tempfile.mkdtemp(prefix="grafimo-bench-")
    runtime = tempfile.mkdtemp(prefix="grafimo-bench-run-")
    os.chmod(runtime, 0o700)
    link = os.path.join(work, "ttyBUS")
    devices = ",".join(str(i) for i in range(1, a.devices + 1))
    sim_args = [os.path.join(build, "sim/grafimo-sim"), "--link", link, "--devices", devices]
    if not a.no_pace:
        sim_args.append("--pace")
    sim = subprocess.Popen(sim_args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    sim.stdout.readline()
    port = b"ttyBUS"
    cfg = bytes([len(port)]) + port
    cfg += bytes(100 - len(cfg))
    for i in range(1, a.devices + 1):
        d = f"dev{i}".encode()
        cfg += bytes([i, len(d)]) + d
    open(os.path.join(work, "grafimo.cfg"), "wb").write(cfg)
    env = dict(os.environ, XDG_STATE_HOME=runtime)
    xvfb = None
    if a.xvfb:
        # Xvfb picks a free display and names it: runs side by side do not share one.
        r, w = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x900x24"],
                                stderr=subprocess.DEVNULL, pass_fds=(w,))
        os.close(w)
        with os.fdopen(r) as f:
            env["DISPLAY"] = ":" + f.readline().strip()
        env.pop("QT_QPA_PLATFORM", None)
    else:
        env["QT_QPA_PLATFORM"] = "offscreen"
    if a.program == "logger":
        # No display, no home: the history goes where --state-dir says.
        env = {k: v for k, v in env.items() if k not in ("DISPLAY", "QT_QPA_PLATFORM", "HOME", "XDG_STATE_HOME")}
        argv = [os.path.join(build, "logger/grafimo-logger"), "--dir", work, "--state-dir", runtime]
    else:
        argv = [os.path.join(build, "app/grafimo485")]
    app = subprocess.Popen(argv, cwd=work, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(3)  # start-up and the first polls
        hist = lambda: sum(os.path.getsize(os.path.join(dp, f)) for dp, _, fs in os.walk(runtime) for f in fs)
        h0, t0, w0 = hist(), ticks(app.pid), time.monotonic()
        if a.rss_every > 0:
            first = rss_kb(app.pid)
            print(f"  {0:7.0f} s  resident {first / 1024:7.1f} MB", flush=True)
            while time.monotonic() - w0 + a.rss_every <= a.seconds + 1e-3:
                time.sleep(a.rss_every)
                now = rss_kb(app.pid)
                print(f"  {time.monotonic() - w0:7.0f} s  resident {now / 1024:7.1f} MB  "
                      f"({(now - first) / 1024:+.1f} MB), {(hist() - h0) // 16} samples", flush=True)
        else:
            time.sleep(a.seconds)
        h1, t1, w1 = hist(), ticks(app.pid), time.monotonic()
        rss = rss_kb(app.pid)
    finally:
        app.send_signal(signal.SIGTERM)
        app.wait(timeout=10)
        sim.send_signal(signal.SIGTERM)
        sim.wait(timeout=10)
        if xvfb:
            xvfb.terminate()
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(runtime, ignore_errors=True)
    hz = 1e9
    wall = w1 - w0
    samples = (h1 - h0) // 16
    where = "grafimo-logger" if a.program == "logger" else ("Xvfb" if a.xvfb else "offscreen")
    print(f"{a.devices} devices, {where}, {wall:.1f} s, {samples} samples stored "
          f"({samples / wall:.1f} a second), resident {rss / 1024:.1f} MB")
    total = 0
    wakes = 0
    for tid, (comm, t, v) in sorted(t1.items(), key=lambda kv: -(kv[1][1] - t0.get(kv[0], (None, 0, 0))[1])):
        _, t_before, v_before = t0.get(tid, (comm, 0, 0))
        used = (t - t_before) / hz
        total += used
        wakes += v - v_before
        if used > 0.0005 * wall:
            print(f"  {comm:16s} {100 * used / wall:6.2f} % of a core, {1000 * used / max(samples, 1):6.3f} ms a sample, "
                  f"{(v - v_before) / wall:6.1f} wake-ups a second")
    print(f"  {'all threads':16s} {100 * total / wall:6.2f} % of a core, {1000 * total / max(samples, 1):6.3f} ms a sample, "
          f"{wakes / wall:6.1f} wake-ups a second")

if __name__ == "__main__":
    main()
