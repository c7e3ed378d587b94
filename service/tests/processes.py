"""What the service's end-to-end tests share: free ports, waiting for a
server to answer, and ending the processes they started."""

import socket
import subprocess
import time
import urllib.request


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_healthy(url, seconds=30):
    """True once url answers 200, False after seconds of trying."""
    end = time.time() + seconds
    while time.time() < end:
        try:
            with urllib.request.urlopen(url, timeout=2) as r:
                if r.status == 200:
                    return True
        except Exception:
            time.sleep(0.1)
    return False


def reap(processes, seconds=10):
    """Waits for each process to end, killing one that will not."""
    for p in processes:
        try:
            p.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            p.kill()
