#!/usr/bin/env python3
"""The learner's page in headless Chromium, driven over WebDriver, with a
fake microphone that plays a shipped recording: the test types the
sentence, records, stops, waits for the score and checks that the page
shows the syllables and the score `quorvane assess` gives for the WAV the
page made. A screenshot of the scored page is kept in the work folder.

  browser_test.py --server BIN --tool BIN --data DIR --work DIR [--sample tianqi]

Exit code 77 (skipped) when chromium or chromedriver is not installed.
"""
import argparse
import base64
import json
import math
import os
import shutil
import subprocess
import sys
import time
import urllib.request
import wave

sys.dont_write_bytecode = True  # nothing left in the source tree
from processes import free_port, reap, wait_healthy  # noqa: E402


class WebDriver:
    def __init__(self, port):
        self.base = f"http://127.0.0.1:{port}"
        self.sid = None

    def call(self, method, path, body=None, timeout=60):
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(self.base + path, data=data, method=method,
                                     headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(req, timeout=timeout) as r:
                return json.loads(r.read())["value"]
        except urllib.error.HTTPError as e:
            raise RuntimeError(f"WebDriver {method} {path}: {e.code} {e.read()[:500]!r}")

    def session(self, args):
        caps = {"capabilities": {"alwaysMatch": {"browserName": "chrome",
                                                 "goog:chromeOptions": {"args": args}}}}
        self.sid = self.call("POST", "/session", caps, timeout=120)["sessionId"]

    def s(self, method, path, body=None, timeout=60):
        return self.call(method, f"/session/{self.sid}{path}", body, timeout)

    def script(self, js, *args):
        return self.s("POST", "/execute/sync", {"script": js, "args": list(args)})

    def async_script(self, js, *args):
        return self.s("POST", "/execute/async", {"script": js, "args": list(args)})

    def click(self, css):
        el = self.s("POST", "/element", {"using": "css selector", "value": css})
        self.s("POST", f"/element/{list(el.values())[0]}/click", {})

    def wait(self, js, seconds, what):
        end = time.time() + seconds
        while time.time() < end:
            v = self.script(js)
            if v:
                return v
            time.sleep(0.1)
        raise RuntimeError("timed out waiting for " + what)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--tool", required=True)
    ap.add_argument("--data", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--sample", default="tianqi")
    a = ap.parse_args()
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver") or ("/usr/bin/chromedriver" if os.path.exists("/usr/bin/chromedriver") else None)
    if not chromium or not driver:
        print("SKIP: chromium and chromedriver are needed (Debian packages chromium, chromium-driver)")
        return 77
    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)

    # The fake microphone plays the sample once, after half a second of
    # silence (the page starts listening a moment after the device opens).
    src = os.path.join(a.data, "samples", a.sample + ".wav")
    text = open(os.path.join(a.data, "samples", a.sample + ".utf8.txt"), encoding="utf-8").read().strip()
    with wave.open(src, "rb") as w:
        params, frames = w.getparams(), w.readframes(w.getnframes())
    mic = os.path.join(a.work, "microphone.wav")
    with wave.open(mic, "wb") as w:
        w.setparams(params)
        w.writeframes(b"\0" * (params.sampwidth * params.nchannels * params.framerate // 2) + frames)
    seconds = 0.5 + len(frames) / (params.sampwidth * params.nchannels * params.framerate)

    port, dport = free_port(), free_port()
    slog = open(os.path.join(a.work, "server.log"), "w")
    server = subprocess.Popen([a.server, "--port", str(port), "--data", a.data], stdout=slog, stderr=slog)
    drv = subprocess.Popen([driver, f"--port={dport}"], stdout=subprocess.DEVNULL,
                           stderr=open(os.path.join(a.work, "chromedriver.log"), "w"))
    wd = WebDriver(dport)
    try:
        if not wait_healthy(f"http://127.0.0.1:{port}/healthz") or not wait_healthy(f"http://127.0.0.1:{dport}/status"):
            print("FAIL: the server or chromedriver did not come up")
            return 1
        wd.session(["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--window-size=900,1000", "--use-fake-ui-for-media-stream", "--use-fake-device-for-media-stream",
                    f"--use-file-for-fake-audio-capture={mic}%noloop", "--autoplay-policy=no-user-gesture-required",
                    f"--user-data-dir={os.path.join(a.work, 'profile')}"])
        wd.s("POST", "/url", {"url": f"http://127.0.0.1:{port}/"})
        wd.script("const e = document.getElementById('sentence'); e.value = arguments[0];"
                  "e.dispatchEvent(new Event('input'));", text)
        shown = wd.wait("const c = document.querySelectorAll('#characters .char');"
                        "return c.length ? [...c].map(d => d.querySelector('.py').textContent + ' ' +"
                        "d.querySelector('.zy').textContent) : null;", 15, "the characters")
        wd.click("#record")
        wd.wait("return document.getElementById('stop').disabled === false;", 15, "the recording to start")
        time.sleep(seconds + 0.7)
        wd.click("#stop")
        state = wd.wait("const s = document.body.dataset.state; return s === 'scored' || s === 'error' ? s : null;",
                        60, "the score")
        png = os.path.join(a.work, "page.png")
        with open(png, "wb") as f:
            f.write(base64.b64decode(wd.s("GET", "/screenshot")))
        if state != "scored":
            print("FAIL: the page shows an error: " + wd.script("return document.getElementById('error').textContent;"))
            return 1
        page = wd.script(
            "return {score: document.getElementById('score').textContent,"
            " syllables: [...document.querySelectorAll('#syllables .syl')].map(d => ({"
            "  text: d.querySelector('.han').textContent, pinyin: d.dataset.pinyin,"
            "  score: d.querySelector('.sc').textContent, cls: d.className})),"
            " tones: [...document.querySelectorAll('#syllables .syl .tone')].map(t => t.textContent),"
            " contour: document.querySelectorAll('#pitch path.heard').length,"
            " shapes: document.querySelectorAll('#pitch polyline.shape').length};")
        b64 = wd.async_script("const done = arguments[arguments.length - 1]; const r = new FileReader();"
                              "r.onload = () => done(r.result.split(',')[1]); r.readAsDataURL(window.quorvaneLastWav);")
        sent = os.path.join(a.work, "recorded.wav")
        with open(sent, "wb") as f:
            f.write(base64.b64decode(b64))
        with wave.open(sent, "rb") as w:
            fmt = (w.getframerate(), w.getsampwidth(), w.getnchannels(), w.getnframes() / w.getframerate())
        out = subprocess.run([a.tool, "assess", sent, "--text", text, "--data", a.data, "--json"],
                             capture_output=True, text=True)
        tool = json.loads(out.stdout)
        original = json.loads(subprocess.run([a.tool, "assess", src, "--text", text, "--data", a.data, "--json"],
                                             capture_output=True, text=True).stdout)
        print(f"characters shown before recording: {shown}")
        print(f"the page's WAV: {fmt[0]} Hz, {8 * fmt[1]} bits, {fmt[2]} channel(s), {fmt[3]:.2f} s")
        print(f"page: score {page['score']}, syllables " +
              ", ".join(f"{s['text']} {s['pinyin']} {s['score']} ({s['cls']})" for s in page["syllables"]))
        print(f"page: tones {page['tones']}; pitch contour drawn: {page['contour'] > 0}, "
              f"expected tone shapes: {page['shapes']}")
        print(f"quorvane assess on the page's WAV: score {tool['score']}, syllables " +
              ", ".join(f"{s['text']} {s['pinyin']} {s['score']}" for s in tool["syllables"]))
        print(f"quorvane assess on the original sample: score {original['score']}")
        print(f"screenshot: {png}")
        def js_round(x):  # the page's Math.round
            return str(math.floor(x + 0.5))

        bad = []
        if fmt[:3] != (16000, 2, 1):
            bad.append("the page's WAV is not 16 kHz 16-bit mono")
        if page["score"] != js_round(tool["score"]):
            bad.append(f"score {page['score']} shown, {tool['score']} from the tool")
        want = [(s["text"], s["pinyin"], js_round(s["score"]) if s.get("found", True) else "not heard")
                for s in tool["syllables"]]
        got = [(s["text"], s["pinyin"], s["score"]) for s in page["syllables"]]
        if got != want:
            bad.append(f"syllables {got} shown, {want} from the tool")
        if page["contour"] == 0 or page["shapes"] != len(tool["syllables"]):
            bad.append("the pitch contour or the expected tone shapes are not drawn")
        heard = [f"tone {s['tone']['heard']} heard, {s['tone']['expected']} expected" if "tone" in s
                 else f"tone {s['pinyin'][-1]} expected" for s in tool["syllables"]]
        if page["tones"] != heard:
            bad.append(f"tones {page['tones']} shown, {heard} from the tool")
        if [s["pinyin"] for s in tool["syllables"]] != [s["pinyin"] for s in original["syllables"]]:
            bad.append("the recording through the fake microphone reads other syllables than the sample")
        for b in bad:
            print("FAIL: " + b)
        if bad:
            return 1
        print("PASS")
        return 0
    finally:
        try:
            if wd.sid:
                wd.s("DELETE", "")
        except Exception:
            pass
        for p in (drv, server):
            p.terminate()
        reap((drv, server))


if __name__ == "__main__":
    sys.exit(main())
