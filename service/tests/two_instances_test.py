#!/usr/bin/env python3
"""Two quorvane-server instances behind nginx: 200 assessments, 8 at a time,
one instance killed midway; every request must be answered with the score
`quorvane assess` gives for the same recording (nginx sends the requests the
dead instance cannot answer to the other one).

  two_instances_test.py --server BIN --tool BIN --data DIR --work DIR

Exit code 77 (skipped) when nginx is not installed.
"""
import argparse
import concurrent.futures
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
import urllib.request
import uuid

sys.dont_write_bytecode = True  # nothing left in the source tree
from processes import free_port, reap, wait_healthy  # noqa: E402

SAMPLES = ["tianqi", "laoshi", "woaini", "xuexi", "yilupingan"]


def multipart(fields, files):
    boundary = uuid.uuid4().hex
    out = b""
    for name, value in fields.items():
        out += f"--{boundary}\r\nContent-Disposition: form-data; name=\"{name}\"\r\n\r\n".encode() + value.encode() + b"\r\n"
    for name, (filename, data) in files.items():
        out += (f"--{boundary}\r\nContent-Disposition: form-data; name=\"{name}\"; filename=\"{filename}\"\r\n"
                "Content-Type: audio/wav\r\n\r\n").encode() + data + b"\r\n"
    out += f"--{boundary}--\r\n".encode()
    return out, f"multipart/form-data; boundary={boundary}"


def assess(url, text, wav):
    body, ctype = multipart({"text": text}, {"audio": ("a.wav", wav)})
    req = urllib.request.Request(url + "/api/assess", data=body, headers={"Content-Type": ctype})
    try:
        with urllib.request.urlopen(req, timeout=60) as r:
            return r.status, json.loads(r.read())
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode(errors="replace")
    except Exception as e:  # connection refused, reset...
        return -1, str(e)


NGINX_CONF = """worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/nginx-error.log warn;
events {{ worker_connections 256; }}
http {{
    access_log {work}/nginx-access.log;
    client_body_temp_path {work}/body;
    proxy_temp_path {work}/proxy;
    fastcgi_temp_path {work}/fastcgi;
    uwsgi_temp_path {work}/uwsgi;
    scgi_temp_path {work}/scgi;
{upstream}
}}
"""

# The part of the configuration that docs/service.md shows.
UPSTREAM = """    upstream quorvane {{
        server 127.0.0.1:{p1} max_fails=1 fail_timeout=10s;
        server 127.0.0.1:{p2} max_fails=1 fail_timeout=10s;
    }}
    server {{
        listen 127.0.0.1:{front};
        client_max_body_size 32m;
        client_body_buffer_size 4m;
        location / {{
            proxy_pass http://quorvane;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            # The service keeps nothing between requests, so a request the
            # instance could not answer may go to another, POST included.
            proxy_next_upstream error timeout http_502 http_503 non_idempotent;
            proxy_next_upstream_tries 3;
            proxy_connect_timeout 2s;
            proxy_read_timeout 120s;
        }}
    }}"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--tool", required=True)
    ap.add_argument("--data", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--requests", type=int, default=200)
    ap.add_argument("--concurrency", type=int, default=8)
    a = ap.parse_args()
    nginx = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)
    if not nginx:
        print("SKIP: nginx is not installed (Debian package nginx; scripts/setup installs it)")
        return 77

    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)
    os.chmod(a.work, 0o755)
    # What the tool says of each recording.
    cases = []
    for name in SAMPLES:
        wav_path = os.path.join(a.data, "samples", name + ".wav")
        text = open(os.path.join(a.data, "samples", name + ".utf8.txt"), encoding="utf-8").read().strip()
        out = subprocess.run([a.tool, "assess", wav_path, "--text", text, "--data", a.data, "--json"],
                             capture_output=True, text=True)
        if out.returncode != 0:
            print(f"FAIL: quorvane assess {name}: {out.stdout}{out.stderr}")
            return 1
        cases.append((name, text, open(wav_path, "rb").read(), json.loads(out.stdout)["score"]))

    p1, p2, front = free_port(), free_port(), free_port()
    servers = []
    for i, port in enumerate((p1, p2)):
        log = open(os.path.join(a.work, f"server{i + 1}.log"), "w")
        servers.append(subprocess.Popen([a.server, "--port", str(port), "--data", a.data, "--jobs", "2", "--queue", "8"],
                                        stdout=log, stderr=log))
    conf = os.path.join(a.work, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF.format(work=a.work, upstream=UPSTREAM.format(p1=p1, p2=p2, front=front)))
    ngx = subprocess.Popen([nginx, "-p", a.work, "-c", conf, "-g", "daemon off;"],
                           stdout=subprocess.DEVNULL, stderr=open(os.path.join(a.work, "nginx-stderr.log"), "w"))
    url = f"http://127.0.0.1:{front}"
    try:
        for port in (p1, p2):
            if not wait_healthy(f"http://127.0.0.1:{port}/healthz"):
                print(f"FAIL: the server on port {port} did not come up")
                return 1
        if not wait_healthy(url + "/healthz"):
            print("FAIL: nginx did not come up; see " + os.path.join(a.work, "nginx-error.log"))
            return 1

        done = 0
        lock = threading.Lock()
        killed_at = None

        def one(i):
            nonlocal done, killed_at
            name, text, wav, expected = cases[i % len(cases)]
            status, body = assess(url, text, wav)
            with lock:
                done += 1
                if done == a.requests // 2 and killed_at is None:
                    servers[0].send_signal(signal.SIGKILL)  # midway, with requests in flight
                    killed_at = done
            return i, name, status, body, expected

        t0 = time.time()
        with concurrent.futures.ThreadPoolExecutor(a.concurrency) as pool:
            results = list(pool.map(one, range(a.requests)))
        elapsed = time.time() - t0
        bad = []
        for i, name, status, body, expected in results:
            if status != 200:
                bad.append(f"request {i} ({name}): status {status}: {str(body)[:200]}")
            elif abs(body["score"] - expected) > 1e-9:
                bad.append(f"request {i} ({name}): score {body['score']}, quorvane assess gives {expected}")
        servers[0].wait(timeout=10)
        alive = servers[1].poll() is None
        served = [sum(1 for line in open(os.path.join(a.work, f"server{k}.log")) if " POST /api/assess " in line)
                  for k in (1, 2)]
        # Requests cut off by the kill, which nginx then sent to the other instance.
        cut = sum(1 for line in open(os.path.join(a.work, "nginx-error.log"))
                  if "upstream prematurely closed" in line or "reset by peer" in line)
        print(f"{a.requests} requests, {a.concurrency} at a time, in {elapsed:.1f} s; instance 1 killed after "
              f"{killed_at} answers (exit {servers[0].returncode}); answered by instance 1: {served[0]}, "
              f"instance 2: {served[1]}; cut off by the kill and retried: {cut}; not answered or wrong: {len(bad)}")
        for b in bad[:10]:
            print("  " + b)
        if not alive:
            print("FAIL: the second instance died")
            return 1
        if bad:
            print("FAIL")
            return 1
        if served[1] == 0 or served[0] == 0:
            print("FAIL: one instance answered nothing, so the balancing was not exercised")
            return 1
        print("PASS")
        return 0
    finally:
        ngx.send_signal(signal.SIGQUIT)
        for s in servers:
            if s.poll() is None:
                s.send_signal(signal.SIGTERM)
        reap([ngx] + servers)


if __name__ == "__main__":
    sys.exit(main())
