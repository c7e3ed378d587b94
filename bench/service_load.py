#!/usr/bin/env python3
"""Load on quorvane-server over loopback: N assessments of the shipped samples,
C at a time; failures, the server's resident memory at the start (after
loading, before any request), after the first C requests and at the end,
and every tenth of the run, and the latency percentiles.

  bench/service_load.py --server build/quorvane-server [--data telvoDataChinese]
                        [--requests 1000] [--concurrency 8] [--jobs N]
"""
import argparse
import concurrent.futures
import json
import os
import socket
import subprocess
import sys
import time
import urllib.request
import uuid

SAMPLES = ["tianqi", "laoshi", "woaini", "xuexi", "yilupingan"]


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def multipart(text, wav):
    b = uuid.uuid4().hex
    body = (f"--{b}\r\nContent-Disposition: form-data; name=\"text\"\r\n\r\n{text}\r\n"
            f"--{b}\r\nContent-Disposition: form-data; name=\"audio\"; filename=\"a.wav\"\r\n"
            "Content-Type: audio/wav\r\n\r\n").encode() + wav + f"\r\n--{b}--\r\n".encode()
    return body, f"multipart/form-data; boundary={b}"


def percentile(sorted_values, q):
    if not sorted_values:
        return float("nan")
    k = min(len(sorted_values) - 1, max(0, int(round(q * (len(sorted_values) - 1)))))
    return sorted_values[k]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--data", default=os.path.join(os.path.dirname(__file__), "..", "telvoDataChinese"))
    ap.add_argument("--requests", type=int, default=1000)
    ap.add_argument("--concurrency", type=int, default=8)
    ap.add_argument("--jobs", type=int, default=0, help="the server's --jobs (default: its own, the cores)")
    a = ap.parse_args()

    cases = []
    for name in SAMPLES:
        text = open(os.path.join(a.data, "samples", name + ".utf8.txt"), encoding="utf-8").read().strip()
        cases.append((name, *multipart(text, open(os.path.join(a.data, "samples", name + ".wav"), "rb").read())))
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    cmd = [a.server, "--port", str(port), "--data", a.data, "--queue", str(4 * a.concurrency)]
    if a.jobs:
        cmd += ["--jobs", str(a.jobs)]
    server = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    url = f"http://127.0.0.1:{port}"
    try:
        for _ in range(300):
            try:
                urllib.request.urlopen(url + "/healthz", timeout=1).read()
                break
            except Exception:
                time.sleep(0.1)
        rss_start = rss_kib(server.pid)

        def one(i):
            name, body, ctype = cases[i % len(cases)]
            req = urllib.request.Request(url + "/api/assess", data=body, headers={"Content-Type": ctype})
            t = time.perf_counter()
            try:
                with urllib.request.urlopen(req, timeout=120) as r:
                    ok = r.status == 200 and "score" in json.loads(r.read())
                    status = r.status
            except urllib.error.HTTPError as e:
                ok, status = False, e.code
            except Exception:
                ok, status = False, -1
            return time.perf_counter() - t, ok, status

        # The first round of requests, then the memory once warm.
        with concurrent.futures.ThreadPoolExecutor(a.concurrency) as pool:
            first = list(pool.map(one, range(a.concurrency)))
        rss_warm = rss_kib(server.pid)
        # The rest, with the memory sampled every tenth of the run (each
        # sample between two rounds, so that no request is running).
        t0 = time.perf_counter()
        rest, samples = [], []
        step = max(a.concurrency, (a.requests - a.concurrency) // 10)
        with concurrent.futures.ThreadPoolExecutor(a.concurrency) as pool:
            for lo in range(a.concurrency, a.requests, step):
                rest += list(pool.map(one, range(lo, min(a.requests, lo + step))))
                samples.append(rss_kib(server.pid))
        wall = time.perf_counter() - t0
        rss_end = rss_kib(server.pid)
        results = first + rest
        lat = sorted(r[0] * 1000 for r in results)
        failures = [r for r in results if not r[1]]
        statuses = sorted({r[2] for r in failures})
        print(f"requests {len(results)}, concurrency {a.concurrency}, server jobs {a.jobs or 'default (cores)'}, cores {os.cpu_count()}")
        print(f"failures {len(failures)}" + (f" (statuses {statuses})" if failures else ""))
        print(f"latency ms: p50 {percentile(lat, 0.50):.1f}, p90 {percentile(lat, 0.90):.1f}, "
              f"p99 {percentile(lat, 0.99):.1f}, max {lat[-1]:.1f}")
        print(f"throughput {len(rest) / wall:.1f} requests/s over the last {len(rest)}")
        print(f"RSS KiB: start {rss_start}, after {a.concurrency} requests {rss_warm}, end {rss_end} "
              f"(end - warm {rss_end - rss_warm:+d})")
        print("RSS KiB every tenth: " + " ".join(str(x) for x in samples))
        return 1 if failures else 0
    finally:
        server.terminate()
        server.wait(timeout=10)


if __name__ == "__main__":
    sys.exit(main())
