#!/usr/bin/env python3
"""ornrender --view in a real browser: headless Chromium, driven over its DevTools pipe.

Renders the demo scene, smaller, on one thread with --view and checks in the page that a bucket
is painted before the frame ends, that the layer menu lists every layer of the EXR file the frame
writes, that a click reads the EXR's values in every layer, and that dragging a rectangle gives
the --region command line. Keeps screenshots in BUILD/browser-test/: view-rendering.png while
the frame renders, view.png after it.

    tests/browser/view_test.py BUILD_DIR        (make browser-test)
"""
import base64
import json
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WIDTH, HEIGHT = 192, 144


def fail(message):
    print("browser test: FAILED: " + message, file=sys.stderr)
    sys.exit(1)


class Browser:
    """Chromium with --remote-debugging-pipe: JSON messages ending in a NUL byte, commands on the
    child's fd 3, answers and events on its fd 4."""

    def __init__(self, profile):
        to_child_r, self.to_child = os.pipe()
        self.from_child, from_child_w = os.pipe()

        def fds():
            # Out of the way first: the pipes may themselves be on 3 and 4.
            r, w = os.dup(to_child_r), os.dup(from_child_w)
            os.dup2(r, 3)
            os.dup2(w, 4)

        self.proc = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             "--no-first-run", "--user-data-dir=" + profile, "--window-size=1200,820", "about:blank"],
            preexec_fn=fds, close_fds=False,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_child_r)
        os.close(from_child_w)
        self.buffer = b""
        self.next_id = 0
        self.session = None
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]

    def call(self, method, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if self.session:
            message["sessionId"] = self.session
        os.write(self.to_child, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self.buffer:
                chunk = os.read(self.from_child, 1 << 16)
                if not chunk:
                    fail("chromium went away")
                self.buffer += chunk
            raw, self.buffer = self.buffer.split(b"\0", 1)
            answer = json.loads(raw)
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    fail(method + ": " + json.dumps(answer["error"]))
                return answer["result"]

    def js(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            fail("script error: " + json.dumps(result["exceptionDetails"])[:500])
        return result["result"].get("value")

    def wait_for(self, expression, what, seconds=120):
        end = time.time() + seconds
        while time.time() < end:
            value = self.js(expression)
            if value:
                return value
            time.sleep(0.05)
        fail("gave up waiting for " + what)

    def mouse(self, kind, x, y):
        self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)

    def screenshot(self, path):
        with open(path, "wb") as f:
            f.write(base64.b64decode(self.call("Page.captureScreenshot", format="png")["data"]))

    def close(self):
        self.proc.kill()
        self.proc.wait()


def exr_pixel(path, x, row):
    """Channel name -> value of the file's pixel (x, row), row 0 at the top."""
    info = subprocess.run(["oiiotool", "--info", "-v", path], capture_output=True, text=True, check=True).stdout
    names = re.search(r"channel list: (.*)", info).group(1).split(", ")
    dump = subprocess.run(["oiiotool", "--dumpdata", path], capture_output=True, text=True, check=True).stdout
    line = re.search(r"Pixel \(%d, %d\): (.*)" % (x, row), dump).group(1)
    return dict(zip(names, (float(v) for v in line.split())))


def layer_of(channel):
    """The frame buffer an EXR channel comes from, as the view's menu names it."""
    if channel in ("R", "G", "B", "A"):
        return "Color"
    layer = channel.rsplit(".", 1)[0]
    standard = {"Z": "Depth", "Normal": "Normal", "Motion": "Motion", "Label": "Label", "Coverage": "Coverage"}
    if layer in standard:
        return standard[layer]
    # The toolkit's layer names, and the one whose buffer is named otherwise.
    name = layer[len("orn_MegaTK_"):]
    return "tk_diff_occl" if name == "diff_occlus" else "tk_" + name


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    work = os.path.join(build, "browser-test")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    shutil.copytree(os.path.join(ROOT, "scenes", "meshes"), os.path.join(work, "meshes"))
    with open(os.path.join(ROOT, "scenes", "demo.mi")) as f:
        scene = f.read().replace("resolution 640 480", "resolution %d %d" % (WIDTH, HEIGHT))
    with open(os.path.join(work, "demo.mi"), "w") as f:
        f.write(scene)

    log = open(os.path.join(work, "ornrender.log"), "w+")
    render = subprocess.Popen([os.path.join(build, "bin", "ornrender"), "--view", "0", "--threads", "1", "-o", work,
                               os.path.join(work, "demo.mi")], stderr=log, stdout=log)
    browser = None
    try:
        address = None
        for _ in range(600):
            log.seek(0)
            m = re.search(r"live view at (http://127\.0\.0\.1:\d+/)", log.read())
            if m:
                address = m.group(1)
                break
            if render.poll() is not None:
                fail("ornrender ended before serving the view")
            time.sleep(0.05)
        if not address:
            fail("ornrender printed no address")

        browser = Browser(os.path.join(work, "profile"))
        browser.call("Page.enable")
        # Every event the page receives, with whether the frame had ended when it came.
        browser.call("Page.addScriptToEvaluateOnNewDocument", source="""
            window.seen = [];
            const Native = window.EventSource;
            window.EventSource = function (url) {
              const es = new Native(url);
              for (const t of ['frame', 'buckets', 'finished'])
                es.addEventListener(t, e => window.seen.push([t, JSON.parse(e.data)]));
              return es;
            };
            window.EventSource.CLOSED = Native.CLOSED;""")
        browser.call("Page.navigate", url=address)

        # A bucket painted while the frame is still rendering: a pixel of the first finished
        # bucket is no longer the grey checker, and no "finished" event has come.
        painted = browser.wait_for("""(() => {
            if (seen.some(e => e[0] === 'finished')) return 'too late';
            const b = seen.find(e => e[0] === 'buckets' && e[1].rects.length && e[1].done < e[1].total);
            if (!b || !info) return null;
            const r = b[1].rects[0];
            const p = document.getElementById('image').getContext('2d')
                .getImageData(r[0] + 5, info.height - 1 - (r[1] + 5), 1, 1).data;
            const checker = p[0] === p[1] && p[1] === p[2] && (p[0] === 44 || p[0] === 58);
            return checker ? null : {rect: r, done: b[1].done, total: b[1].total,
                                     status: document.getElementById('status').textContent};
        })()""", "a painted bucket")
        if painted == "too late":
            fail("the frame ended before the page showed a bucket (render too short?)")
        print("bucket %s painted at %d of %d buckets (\"%s\")" % (painted["rect"], painted["done"],
                                                              painted["total"], painted["status"]))
        browser.screenshot(os.path.join(work, "view-rendering.png"))

        browser.wait_for("seen.some(e => e[0] === 'finished') && !fetching && !pending.length",
                         "the end of the frame")
        render_log = open(log.name).read()
        exr = os.path.join(work, "out", "demo.singleTK.0001.exr")
        if not os.path.exists(exr):
            fail("no EXR file written:\n" + render_log)

        # The menu lists every layer of the file.
        menu = browser.js("[...document.querySelectorAll('#layer option')].map(o => o.textContent)")
        x, y = 100, 60  # on the floor in front of the clay ball
        # The ID mattes are ranked after the frame and written only to the files: not a view layer.
        values = {c: v for c, v in exr_pixel(exr, x, HEIGHT - 1 - y).items() if not c.startswith("Crypto")}
        layers = sorted({layer_of(c) for c in values})
        missing = [l for l in layers if not any(m.split(" ")[0] == l for m in menu)]
        if missing:
            fail("layers of the file missing from the menu: %s (menu: %s)" % (missing, menu))
        print("menu lists the file's %d layers among its %d" % (len(layers), len(menu)))

        # Click the pixel and read every layer's value off the page.
        box = browser.js("(() => { const b = document.getElementById('overlay').getBoundingClientRect();"
                         " return [b.left, b.top, b.width, b.height]; })()")
        sx = box[2] / WIDTH
        cx, cy = box[0] + (x + 0.5) * sx, box[1] + (HEIGHT - 1 - y + 0.5) * sx
        browser.mouse("mouseMoved", cx, cy)
        browser.mouse("mousePressed", cx, cy)
        browser.mouse("mouseReleased", cx, cy)
        shown = browser.wait_for("""(() => {
            const rows = [...document.querySelectorAll('#readout tr[data-layer]')];
            const head = document.querySelector('#readout th + th');
            if (!rows.length || !head || head.textContent !== '%d, %d') return null;
            return Object.fromEntries(rows.map(r => [r.dataset.layer, JSON.parse(r.cells[1].dataset.values)]));
        })()""" % (x, y), "the pixel readout")
        for channel, expected in values.items():
            layer = layer_of(channel)
            component = {"R": 0, "G": 1, "B": 2, "A": 3, "r": 0, "g": 1, "b": 2, "x": 0, "z": 0}[
                channel.rsplit(".", 1)[-1]]
            got = float(shown[layer][component])
            if abs(got - expected) > 1e-6 + 1e-5 * abs(expected):
                fail("pixel (%d, %d), %s: the page reads %r, the file holds %r" % (x, y, channel, got, expected))
        print("the readout of pixel (%d, %d) matches the file in all %d channels" % (x, y, len(values)))

        # The light mix: the key at half and the rim tinted; the picture and the readout show the
        # beauty plus each group's layer times its factor less 1, from the file's layers.
        tint = (0xff / 255, 0xe6 / 255, 0xcc / 255)
        mix_ms = browser.js("""(() => {
            const k = document.getElementById('mix-k-key'), t = document.getElementById('mix-tint-rim');
            if (!k || !t) return null;
            k.value = 0.5; k.dispatchEvent(new Event('input'));
            t.value = '#ffe6cc'; t.dispatchEvent(new Event('input'));
            return mixTime;
        })()""")
        if mix_ms is None:
            fail("the page has no mixer for the groups key and rim")
        factor = {"key": (0.5, 0.5, 0.5), "rim": tint}
        want = []
        for c, ch in enumerate("rgb"):
            v = values["RGB"[c]]
            for g, f in factor.items():
                v += (f[c] - 1) * values["orn_MegaTK_lightgroup_%s.%s" % (g, ch)]
            want.append(v)
        mixed = browser.wait_for("""(() => {
            const r = document.querySelector('#readout tr[data-layer="mixed"]');
            return r && r.cells[1].dataset.values ? JSON.parse(r.cells[1].dataset.values) : null;
        })()""", "the mixed readout")
        for c in range(3):
            if abs(mixed[c] - want[c]) > 1e-6 + 1e-5 * abs(want[c]):
                fail("mixed pixel (%d, %d): the page reads %r, the file's layers give %r" % (x, y, mixed, want))
        shown_px = browser.js("""[...document.getElementById('image').getContext('2d')
            .getImageData(%d, info.height - 1 - %d, 1, 1).data].slice(0, 3)""" % (x, y))
        srgb = [round(255 * (12.92 * v if v <= 0.0031308 else 1.055 * v ** (1 / 2.4) - 0.055))
                for v in (min(1.0, max(0.0, v)) for v in want)]
        if any(abs(a - b) > 1 for a, b in zip(shown_px, srgb)):
            fail("mixed pixel (%d, %d) is drawn %r, the file's layers give %r" % (x, y, shown_px, srgb))
        print("the mix (key x 0.5, rim tinted) shows %r at (%d, %d) as the file's layers give; redrawn in %.1f ms"
              % (mixed, x, y, mix_ms))
        browser.js("document.getElementById('mixtext').click()")
        text = browser.wait_for("""(() => { const t = document.getElementById('mixout').textContent;
            return t.includes('"intensity"') ? t : null; })()""", "the scene text of the mix")
        if '# light "key"' not in text or '# light "rim"' not in text:
            fail("the scene text of the mix is %r" % text)
        print("scene text of the mix:\n" + text)
        browser.screenshot(os.path.join(work, "view-mixed.png"))
        browser.js("document.getElementById('mixreset').click()")

        # Drag a rectangle: the command line renders that region.
        x0, y0, x1, y1 = 40, 30, 120, 90  # region: x in [40, 120), y in [30, 90) from the bottom
        ax, ay = box[0] + (x0 + 0.5) * sx, box[1] + (HEIGHT - 1 - (y1 - 1) + 0.5) * sx
        bx, by = box[0] + (x1 - 1 + 0.5) * sx, box[1] + (HEIGHT - 1 - y0 + 0.5) * sx
        browser.mouse("mouseMoved", ax, ay)
        browser.mouse("mousePressed", ax, ay)
        browser.mouse("mouseMoved", (ax + bx) / 2, (ay + by) / 2)
        browser.mouse("mouseMoved", bx, by)
        browser.mouse("mouseReleased", bx, by)
        command = browser.js("document.getElementById('command').textContent")
        if " --region %d %d %d %d " % (x0, y0, x1, y1) not in command or "demo.mi" not in command:
            fail("dragging gave the command line %r" % command)
        print("dragging a rectangle gives: " + command)

        # Show the readout with the drawn region, then keep the picture.
        browser.mouse("mouseMoved", cx, cy)
        browser.mouse("mousePressed", cx, cy)
        browser.mouse("mouseReleased", cx, cy)
        browser.wait_for("!!document.querySelector('#readout th + th')", "the readout again")
        browser.screenshot(os.path.join(work, "view.png"))
        print("screenshots: view-rendering.png (while rendering) and view.png in " + work)
    finally:
        if browser:
            browser.close()
        render.terminate()
        status = render.wait()
    if status != 0:
        fail("ornrender stopped with status %d after the frame:\n%s" % (status, open(log.name).read()))
    print("browser test: passed")


if __name__ == "__main__":
    main()
