#!/usr/bin/python3
"""The yield report's HTML page, rendered in headless Chromium (Debian's).

For each records set, zelor-k3-report writes the page and the text report;
a wrapper page loads the report page in a frame and reads, from what the
browser rendered, the figures, how many pixels each chart's canvas drew and
how many script elements there are. The figures must be the text report's,
every chart must have drawn, a hostile serial number and station name must
stay text, and a year of one station's runs must open in under a second.

Usage: html_report.py REPORT_EXECUTABLE RECORDS_FILE [--screenshot PNG]
(--screenshot: also a page of two weeks of a line of three stations, taken as
a picture.)
"""

import html
import json
import os
import random
import re
import subprocess
import sys
import tempfile

CHROMIUM = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--no-first-run", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", "--hide-scrollbars"]
HOSTILE_SERIAL = "</script><script>alert(1)</script>"
HOSTILE_STATION = "</script><img src=x onerror=alert(2)>"
WRAPPER = """<!DOCTYPE html><html><body><pre id="result"></pre>
<iframe id="frame" style="width:1280px;height:1900px"></iframe>
<script>
const frame = document.getElementById('frame');
const started = performance.now();
frame.onload = () => {
  const page = frame.contentDocument, figures = {}, painted = {};
  page.querySelectorAll('[data-figure]').forEach(e => figures[e.dataset.figure] = e.textContent);
  page.querySelectorAll('canvas').forEach(c => {
    const pixels = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    let n = 0;
    for (let i = 3; i < pixels.length; i += 4) if (pixels[i]) n++;
    painted[c.id] = n;
  });
  document.getElementById('result').textContent = JSON.stringify({
    openMs: performance.now() - started, figures, painted, title: page.title,
    scripts: page.querySelectorAll('script').length, text: page.body.textContent });
};
frame.src = 'page.html';
</script></body></html>
"""


def record(run, start, station, serials, passed, code, ms):
    return {"schema": 1, "id": f"00000000-0000-4000-8000-{run:012d}", "station": station,
            "run": run, "start": start, "end": start, "durationMs": ms, "version": "1.0.0",
            "host": station, "backend": "simulated bench",
            "chips": [{"serial": s, "deviceType": 5} for s in serials], "steps": [],
            "verdict": "PASSED" if passed else "FAILED", "failCode": 0 if passed else code}


def hostile_records(base):
    with open(base, "rb") as f:
        data = f.read().rsplit(b"\n", 1)[0] + b"\n"  # without the torn last line
    extra = [record(900, "2026-12-02T09:00:00.000+01:00", HOSTILE_STATION,
                    [HOSTILE_SERIAL, "B9"], False, 8, 420.5)]
    return data + "".join(json.dumps(r) + "\n" for r in extra).encode()


def year_of_one_station(runs_a_day=24, seed=7):
    rng = random.Random(seed)
    lines = []
    for day in range(365):
        for i in range(runs_a_day):
            run = day * runs_a_day + i
            start = f"2026-{1 + day // 31 % 12:02d}-{1 + day % 28:02d}T{i % 24:02d}:00:00.000+00:00"
            passed = rng.random() > 0.08
            lines.append(json.dumps(record(run, start, "bench-1", [f"A{run}", f"B{run}"], passed,
                                           rng.choice([3, 7, 8]), rng.gauss(450, 30))))
    return ("\n".join(lines) + "\n").encode()


def a_line(seed=3):
    """Two weeks of three stations, for the README's picture."""
    rng = random.Random(seed)
    lines, run = [], 0
    for day in range(1, 15):
        for station, rate in (("bench-1", 0.04), ("bench-2", 0.07), ("bench-3", 0.12 if day > 8 else 0.05)):
            retest = None
            for i in range(40):
                run += 1
                pair = retest or (f"FT{run:06d}A", f"FT{run:06d}B")
                passed = rng.random() > rate
                code = rng.choices([8, 7, 3, 5, 6], weights=[5, 3, 2, 1, 1])[0]
                lines.append(json.dumps(record(run, f"2026-11-{day:02d}T{7 + i // 5:02d}:{i % 5 * 11:02d}"
                                               ":00.000+01:00", station, pair, passed, code,
                                               rng.gauss(455, 12) if passed else rng.gauss(700, 200))))
                retest = None if passed else pair
    return ("\n".join(lines) + "\n").encode()


def text_figures(text):
    """The figures of the text report, as the page should show them."""
    figures = {"runs": re.search(r"^Runs: (.*)$", text, re.M).group(1),
               "passed": re.search(r"^Passed: (.*)$", text, re.M).group(1),
               "first-pass-yield": re.search(r"^First-pass yield: (.*)$", text, re.M).group(1),
               "cycle-time": re.search(r"^Cycle time: (.*)$", text, re.M).group(1)}
    for code, runs in re.findall(r"^ +(\d+)  (\d+) runs  ", text, re.M):
        figures[f"failures-{code}"] = runs
    return figures


def render(work, report, records):
    with open(os.path.join(work, "records.jsonl"), "wb") as f:
        f.write(records)
    subprocess.run([report, "--html", "page.html", "records.jsonl"], cwd=work, check=True,
                   stderr=subprocess.DEVNULL)
    text = subprocess.run([report, "records.jsonl"], cwd=work, check=True, capture_output=True,
                          text=True).stdout
    with open(os.path.join(work, "wrapper.html"), "w") as f:
        f.write(WRAPPER)
    try:
        dom = subprocess.run(CHROMIUM + ["--allow-file-access-from-files",
                                         "--virtual-time-budget=20000",
                                         f"--user-data-dir={work}/profile", "--dump-dom",
                                         "file://" + os.path.join(work, "wrapper.html")],
                             capture_output=True, text=True, timeout=60).stdout
    except subprocess.TimeoutExpired:
        # A script of the page's records ran and opened a dialog, which holds
        # a headless browser for ever.
        dom = "the page never finished loading"
    found = re.search(r'<pre id="result">(.*?)</pre>', dom, re.S)
    if not found or not found.group(1):
        raise AssertionError("the wrapper read nothing from the page: " + dom[:400])
    return json.loads(html.unescape(found.group(1))), text


def check(name, rendered, text, open_limit_ms=None):
    problems = []
    if rendered["figures"] != text_figures(text):
        problems.append(f"figures {rendered['figures']} are not the text report's "
                        f"{text_figures(text)}")
    blank = [c for c, n in rendered["painted"].items() if n == 0]
    if len(rendered["painted"]) != 4 or blank:
        problems.append(f"charts not drawn: {rendered['painted']}")
    if rendered["scripts"] != 3 or rendered["title"] != "ZELOR-K3 yield report":
        problems.append(f"{rendered['scripts']} script elements, title {rendered['title']!r}")
    if open_limit_ms and rendered["openMs"] >= open_limit_ms:
        problems.append(f"opened in {rendered['openMs']:.0f} ms")
    print(("FAIL " if problems else "PASS ") + name
          + f" (opened in {rendered['openMs']:.0f} ms)" + "".join("\n  " + p for p in problems))
    return not problems


def main():
    report, base = (os.path.abspath(p) for p in sys.argv[1:3])
    passed = True
    work = tempfile.mkdtemp()
    try:
        rendered, text = render(work, report, hostile_records(base))
    except AssertionError as e:
        print("FAIL records with a hostile serial number and station:", e)
        return 1
    passed &= check("records with a hostile serial number and station", rendered, text)
    for hostile in (HOSTILE_SERIAL, HOSTILE_STATION):
        if hostile not in rendered["text"]:
            print(f"FAIL the page does not show {hostile!r} as text")
            passed = False
    year = tempfile.mkdtemp()
    rendered, text = render(year, report, year_of_one_station())
    passed &= check("a year of one station's runs", rendered, text, open_limit_ms=1000)
    if "--screenshot" in sys.argv:
        shot = os.path.abspath(sys.argv[sys.argv.index("--screenshot") + 1])
        line = tempfile.mkdtemp()
        rendered, text = render(line, report, a_line())
        passed &= check("two weeks of a line of three stations", rendered, text)
        subprocess.run(CHROMIUM + [f"--user-data-dir={line}/shot", "--window-size=1280,1500",
                                   f"--screenshot={shot}", "file://" + os.path.join(line, "page.html")],
                       check=True, capture_output=True, timeout=120)
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
