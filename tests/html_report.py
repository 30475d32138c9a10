#!/usr/bin/python3
"""The yield report's HTML page, rendered in headless Chromium (Debian's).

For each records set, zelor-k3-report writes the page and the text report;
a wrapper page loads the report page in a frame and reads, from what the
browser rendered, the figures, how many pixels each chart's canvas drew and
how many script elements there are, and the data the charts are drawn from.
The figures, the last day's tiles and the charts' data must be the text
report's, every chart must have drawn, Chromium must report no breach of the
page's Content-Security-Policy, Chart.js's licence must be in the page, a
hostile serial number and station name must stay text, and a year of one
station's runs must open in under five seconds and lay out for an A4 page
(charts sized for paper, the per-day table laid out) and print; a page
written into a named pipe goes into the pipe.

Usage: html_report.py REPORT_EXECUTABLE RECORDS_FILE [--screenshot PNG]
(--screenshot: also a page of two weeks of a line of three stations, taken as
a picture.)
"""

import base64
import datetime
import fcntl
import html
import json
import os
import random
import re
import stat
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
    data: JSON.parse(page.getElementById('report-data').textContent),
    policy: page.querySelector('meta[http-equiv="Content-Security-Policy"]').content,
    scripts: page.querySelectorAll('script').length, text: page.body.textContent });
};
frame.src = 'page.html';
</script></body></html>
"""


def record(run, start, station, serials, passed, code, ms, socket=None):
    return ({"socket": socket} if socket else {}) | {"schema": 1, "id": f"00000000-0000-4000-8000-{run:012d}", "station": station,
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
            start = f"2025-{1 + day // 31 % 12:02d}-{1 + day % 28:02d}T{i % 24:02d}:00:00.000+00:00"
            passed = rng.random() > 0.08
            lines.append(json.dumps(record(run, start, "bench-1", [f"A{run}", f"B{run}"], passed,
                                           rng.choice([3, 7, 8]), rng.gauss(450, 30))))
    return ("\n".join(lines) + "\n").encode()


def a_line(seed=3, more_stations=0):
    """Two weeks of three stations, for the README's picture; and of so many
    more, the last of them a fixture of two sockets, B's contacts worn (a
    pair failed there is tested again in A)."""
    rng = random.Random(seed)
    lines, run = [], 0
    for day in range(1, 15):
        stations = [("bench-1", 0.04), ("bench-2", 0.07), ("bench-3", 0.22 if day > 7 else 0.05)]
        stations += [(f"bench-{4 + i}", 0.05) for i in range(more_stations)]
        for station, rate in stations:
            retest = None
            for i in range(40):
                run += 1
                pair = retest or (f"FT{run:06d}A", f"FT{run:06d}B")
                socket = "AB"[i % 2] if more_stations and station == stations[-1][0] else None
                passed = rng.random() > (0.4 if socket == "B" else rate)
                code = rng.choices([8, 7, 3, 5, 6], weights=[5, 3, 2, 1, 1])[0]
                lines.append(json.dumps(record(run, f"2026-11-{day:02d}T{7 + i // 5:02d}:{i % 5 * 11:02d}"
                                               ":00.000+01:00", station, pair, passed, code,
                                               rng.gauss(455, 12) if passed else rng.gauss(700, 200),
                                               socket)))
                retest = None if passed else pair
    return ("\n".join(lines) + "\n").encode()


def text_figures(text):
    """The figures of the text report, as the page should show them."""
    figures = {"runs": re.search(r"^Runs: (.*)$", text, re.M).group(1),
               "passed": re.search(r"^Passed: (.*)$", text, re.M).group(1),
               "first-pass-yield": re.search(r"^First-pass yield: (.*)$", text, re.M).group(1),
               "final-yield": re.search(r"^Final yield: (.*)$", text, re.M).group(1),
               "retests": re.search(r"^Retests: (.*)$", text, re.M).group(1),
               "cycle-time": re.search(r"^Cycle time of passed runs: (.*)$", text, re.M).group(1)}
    days = text_days(text)
    if days:
        last = days[max(days)]
        figures.update({"tile-first-pass-yield": last["first-pass"], "tile-final-yield": last["final"],
                        "tile-runs": str(last["runs"])})
    for code, runs in re.findall(r"^ +(\d+)  (\d+) runs  ", text, re.M):
        figures[f"failures-{code}"] = runs
    return figures


DAY = re.compile(r"^  (\d{4}-\d\d-\d\d)  runs (\d+), passed \d+, first-pass yield (\d+) of (\d+) pairs "
                 r"\(([^)]*)\), final yield (\d+) of (\d+) pairs \(([^)]*)\), retests (\d+) of \d+ runs "
                 r"\([^)]*\), failures \d+, cycle time (?:median (\d+) ms, 95th percentile (\d+) ms|n/a)$",
                 re.M)


def text_days(text):
    return {d: {"runs": int(runs), "first-pass": fp, "final": final, "retests": int(retests),
                "median": int(median) if median else None, "p95": int(p95) if p95 else None,
                "counts": (int(fp_n), int(fp_of), int(final_n), int(final_of))}
            for d, runs, fp_n, fp_of, fp, final_n, final_of, final, retests, median, p95
            in DAY.findall(text)}


def rolled_up(days, grain):
    """The text's days summed into the page's ISO weeks or months; a median
    does not sum, so none is compared."""
    periods = {}
    for day, f in sorted(days.items()):
        date = datetime.date.fromisoformat(day)
        year, week, _ = date.isocalendar()
        key = f"{year}-W{week:02d}" if grain == "week" else day[:7]
        p = periods.setdefault(key, {"runs": 0, "retests": 0, "counts": [0, 0, 0, 0]})
        p["runs"] += f["runs"]
        p["retests"] += f["retests"]
        p["counts"] = [a + b for a, b in zip(p["counts"], f["counts"])]
    share = lambda n, of: one_decimal(100 * n / of if of else None)
    return {k: {"runs": p["runs"], "first-pass": share(*p["counts"][:2]),
                "final": share(*p["counts"][2:]), "retests": p["retests"]}
            for k, p in periods.items()}


def one_decimal(value):
    return "n/a" if value is None else f"{value:.1f} %"


def chart_problems(data, text):
    """The charts' data against the text report's figures."""
    problems = []
    days = {d: {k: v for k, v in f.items() if k != "counts"} for d, f in text_days(text).items()}
    charted = {d["day"]: {"runs": d["runs"], "first-pass": one_decimal(d["firstPassYield"]),
                          "final": one_decimal(d["finalYield"]), "retests": d["retests"],
                          "median": d["median"], "p95": d["percentile95"]} for d in data["days"]}
    if data["grain"] != "day":
        days = rolled_up(text_days(text), data["grain"])
        charted = {d: {k: v for k, v in f.items() if k not in ("median", "p95")}
                   for d, f in charted.items()}
    if charted != days:
        problems.append(f"days charted {charted} are not the text's {days}")
    failures = {str(f["code"]): str(f["runs"]) for f in data["failures"]}
    if failures != dict(re.findall(r"^ +(\d+)  (\d+) runs  ", text, re.M)):
        problems.append(f"failures charted {failures} are not the text's")
    kinds = {f["code"]: f["kind"] for f in data["failures"]}
    if any(kinds.get(c, k) != k for c, k in ((1, "fixture"), (2, "fixture"), (5, "fixture"),
                                                (3, "product"), (8, "product"))):
        problems.append(f"fixture and product failures mixed: {kinds}")
    c = data["cycleTimes"]
    cycle = re.search(r"^Cycle time of passed runs: median (\d+) ms, 95th percentile (\d+) ms$", text, re.M)
    passed = int(re.search(r"^Passed: (\d+)", text, re.M).group(1))
    if cycle and (c["median"], c["percentile95"]) != (int(cycle.group(1)), int(cycle.group(2))):
        problems.append(f"cycle times charted {c['median']}, {c['percentile95']} are not the text's")
    if sum(c["counts"]) + c["overflow"] != passed:
        problems.append(f"the histogram holds {sum(c['counts'])} + {c['overflow']} runs, not {passed}")
    return problems


def render(work, report, records):
    with open(os.path.join(work, "records.jsonl"), "wb") as f:
        f.write(records)
    subprocess.run([report, "--html", "page.html", "records.jsonl"], cwd=work, check=True,
                   stderr=subprocess.DEVNULL)
    text = subprocess.run([report, "records.jsonl"], cwd=work, check=True, capture_output=True,
                          text=True).stdout
    return browse(work), text


def browse(work, page="page.html"):
    """What Chromium rendered of WORK/PAGE, read by the wrapper page."""
    with open(os.path.join(work, "wrapper.html"), "w") as f:
        f.write(WRAPPER.replace("'page.html'", repr(page)))
    try:
        browser = subprocess.run(CHROMIUM + ["--allow-file-access-from-files",
                                             "--virtual-time-budget=20000", "--enable-logging=stderr",
                                             "--v=0", f"--user-data-dir={work}/profile", "--dump-dom",
                                             "file://" + os.path.join(work, "wrapper.html")],
                                 capture_output=True, text=True, timeout=60)
        dom, log = browser.stdout, browser.stderr
    except subprocess.TimeoutExpired:
        # A script of the page's records ran and opened a dialog, which holds
        # a headless browser for ever.
        dom, log = "the page never finished loading", ""
    found = re.search(r'<pre id="result">(.*?)</pre>', dom, re.S)
    if not found or not found.group(1):
        raise AssertionError("the wrapper read nothing from the page: " + dom[:400])
    rendered = json.loads(html.unescape(found.group(1)))
    rendered["violations"] = [line for line in log.splitlines() if "Content Security Policy" in line]
    return rendered


def injected_script_problems(work):
    """A copy of the page with one inline script the page did not bring, opened
    under the page's own policy: Chromium must refuse to run it, and say so."""
    with open(os.path.join(work, "page.html"), encoding="utf-8") as f:
        page = f.read()
    injected = page.replace("<body>", "<body><script>document.title = 'injected';</script>", 1)
    if injected == page:
        return ["the page has no <body> to inject a script after"]
    with open(os.path.join(work, "injected.html"), "w", encoding="utf-8") as f:
        f.write(injected)
    rendered = browse(work, "injected.html")
    problems = []
    if rendered["title"] != "ZELOR-K3 yield report":
        problems.append(f"the injected script ran: the title is {rendered['title']!r}")
    if not rendered["violations"]:
        problems.append("Chromium reported no refusal of the injected script")
    return problems


# A4 at 96 px an inch, less Chromium's default margins of 1 cm: the width a
# printed page lays out in; the print stylesheet's charts are 17 cm by 7 cm.
PRINT_WIDTH_PX, CM_PX = 718, 96 / 2.54
PRINT_LAYOUT = """(() => {
  const last = [...document.querySelectorAll('table')].find(t =>
      ['Day', 'Week', 'Month'].includes(t.rows[0].cells[0].textContent)).rows;
  return JSON.stringify({
    charts: [...document.querySelectorAll('canvas')].map(c => {
      const box = c.getBoundingClientRect(), pixels = c.getContext('2d')
          .getImageData(0, 0, c.width, c.height).data;
      let painted = 0;
      for (let i = 3; i < pixels.length; i += 4) if (pixels[i]) painted++;
      return { id: c.id, width: box.width, height: box.height, painted };
    }),
    dayRows: last.length,
    lastDayShown: last[last.length - 1].checkVisibility({ contentVisibilityAuto: true }),
    pageWidth: document.documentElement.scrollWidth });
})()"""


def devtools(work, commands):
    """Runs DevTools protocol commands in a headless Chromium over a pipe
    (--remote-debugging-pipe: it reads fd 3 and writes fd 4, messages ended
    by NUL); a command {"wait": EVENT} waits for that event. Returns each
    command's result."""
    to_browser, from_us = os.pipe()
    to_us, from_browser = os.pipe()

    def pipes_as_3_and_4():
        read, write = (fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_browser, from_browser))
        os.dup2(read, 3)
        os.dup2(write, 4)

    browser = subprocess.Popen(CHROMIUM + ["--remote-debugging-pipe", f"--user-data-dir={work}/devtools",
                                           "about:blank"], preexec_fn=pipes_as_3_and_4,
                               pass_fds=(3, 4), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(to_browser)
    os.close(from_browser)
    pending = b""

    def message():
        nonlocal pending
        while b"\0" not in pending:
            chunk = os.read(to_us, 1 << 16)
            if not chunk:
                raise AssertionError("Chromium closed its DevTools pipe")
            pending += chunk
        text, pending = pending.split(b"\0", 1)
        return json.loads(text)

    results, session = [], None
    try:
        for number, command in enumerate(commands, 1):
            if "wait" in command:
                while message().get("method") != command["wait"]:
                    pass
                results.append(None)
                continue
            command = dict(command, id=number)
            if session and not command["method"].startswith("Target."):
                command["sessionId"] = session
            os.write(from_us, json.dumps(command).encode() + b"\0")
            while (answer := message()).get("id") != number:
                pass
            if "error" in answer:
                raise AssertionError(f"{command['method']}: {answer['error']}")
            result = answer["result"]
            if command["method"] == "Target.createTarget":
                commands[number]["params"]["targetId"] = result["targetId"]
            if command["method"] == "Target.attachToTarget":
                session = result["sessionId"]
            results.append(result)
    finally:
        os.close(from_us)
        browser.kill()
        browser.wait()
        os.close(to_us)
    return results


def print_problems(work):
    """The page laid out for an A4 page in print media: every chart 17 cm by
    7 cm (the small multiples smaller) and drawn again at that size, every row of the per-day table laid
    out, nothing wider than the paper; and printed to a PDF."""
    results = devtools(work, [
        {"method": "Target.createTarget", "params": {"url": "about:blank"}},
        {"method": "Target.attachToTarget", "params": {"flatten": True}},
        {"method": "Page.enable"},
        {"method": "Emulation.setEmulatedMedia", "params": {"media": "print"}},
        {"method": "Emulation.setDeviceMetricsOverride",
         "params": {"width": PRINT_WIDTH_PX, "height": 1000, "deviceScaleFactor": 1, "mobile": False}},
        {"method": "Page.navigate", "params": {"url": "file://" + os.path.join(work, "page.html")}},
        {"wait": "Page.loadEventFired"},
        {"method": "Runtime.evaluate",
         "params": {"expression": "new Promise(r => requestAnimationFrame(() => setTimeout(r, 100)))",
                    "awaitPromise": True}},
        {"method": "Runtime.evaluate", "params": {"expression": PRINT_LAYOUT, "returnByValue": True}},
        {"method": "Page.printToPDF", "params": {"paperWidth": 8.27, "paperHeight": 11.69}},
    ])
    layout = json.loads(results[-2]["result"]["value"])
    pdf = base64.b64decode(results[-1]["data"])
    problems = []
    for c in layout["charts"]:
        small = re.match(r"station-(days|cycle)-\d+$", c["id"])  # one of the small multiples
        if not c["painted"] or not small and (abs(c["width"] - 17 * CM_PX) > 2
                                              or abs(c["height"] - 7 * CM_PX) > 2):
            problems.append(f"chart {c['id']} prints {c['width']:.0f} x {c['height']:.0f} px, "
                            f"{c['painted']} pixels drawn")
    if not layout["lastDayShown"]:
        problems.append(f"the table of periods' {layout['dayRows']} rows are not all laid out for print")
    if layout["pageWidth"] > PRINT_WIDTH_PX:
        problems.append(f"the page is {layout['pageWidth']} px wide on paper {PRINT_WIDTH_PX} px wide")
    pages = len(re.findall(rb"/Type\s*/Page\b", pdf))
    print(f"  {layout['dayRows']} rows in the table of periods, printed on {pages} A4 pages")
    if pages > 10:
        problems.append(f"printed on {pages} A4 pages, more than 10")
    if not pdf.startswith(b"%PDF") or pages < 2:
        problems.append("no PDF of two pages or more printed")
    return problems


def pipe_problems(work, report):
    """--html into a named pipe writes the page into it, and leaves the pipe
    a pipe."""
    pipe, received = os.path.join(work, "pipe.html"), os.path.join(work, "received.html")
    os.mkfifo(pipe)
    with open(received, "wb") as out:
        reader = subprocess.Popen(["cat", pipe], stdout=out)
        written = subprocess.run([report, "--html", pipe, "records.jsonl"], cwd=work,
                                 capture_output=True, timeout=60)
        try:
            reader.wait(timeout=10)
        except subprocess.TimeoutExpired:
            reader.kill()
            reader.wait()
    with open(received, "rb") as f:
        page = f.read()
    problems = []
    if not stat.S_ISFIFO(os.stat(pipe).st_mode):
        problems.append("a file was put in the pipe's place")
    if written.returncode or not page.startswith(b"<!DOCTYPE html>"):
        problems.append(f"the pipe got {len(page)} bytes; {written.stderr.decode()!r}")
    return problems


def check(name, rendered, text, open_limit_ms=None):
    problems = []
    if rendered["figures"] != text_figures(text):
        problems.append(f"figures {rendered['figures']} are not the text report's "
                        f"{text_figures(text)}")
    problems += chart_problems(rendered["data"], text)
    if rendered["violations"] or "default-src 'none'" not in rendered["policy"]:
        problems.append(f"Content-Security-Policy {rendered['policy']!r}: {rendered['violations']}")
    if "Permission is hereby granted" not in rendered["text"]:
        problems.append("the page lost Chart.js's licence")
    blank = [c for c, n in rendered["painted"].items() if n == 0]
    stations, sockets = len(rendered["data"]["stationDays"]), len(rendered["data"]["socketDays"])
    if len(rendered["painted"]) != (7 if stations <= 4 else 5 + 2 * stations) + sockets or blank:
        problems.append(f"charts not drawn: {rendered['painted']}")
    if rendered["scripts"] != 3 or rendered["title"] != "ZELOR-K3 yield report":
        problems.append(f"{rendered['scripts']} script elements, title {rendered['title']!r}")
    if open_limit_ms and rendered["openMs"] >= open_limit_ms:
        problems.append(f"opened in {rendered['openMs']:.0f} ms")
    print(("FAIL " if problems else "PASS ") + name
          + f" (opened in {rendered['openMs']:.0f} ms)" + "".join("\n  " + p for p in problems))
    return not problems


def mistake_problems(report, base):
    """What the report does with input that is no report's: a log given for
    the records, a station it never saw, an inverted period, a record dated
    years ahead. Each an error that says why, or set apart and named."""
    work = tempfile.mkdtemp()
    problems = []
    with open(os.path.join(work, "TestingLog.txt"), "w") as f:
        f.write("".join(f"Opening device serial A{i} OK\r\n" for i in range(50)))
    with open(base, "rb") as f:
        records = f.read().rsplit(b"\n", 1)[0] + b"\n"
    ahead = record(901, "2031-06-01T08:00:00.000+01:00", "bench-9", ["Z1", "Z2"], False, 8, 420)
    with open(os.path.join(work, "records.jsonl"), "wb") as f:
        f.write(records + (json.dumps(ahead) + "\n").encode())
    cases = [(["TestingLog.txt"], 2, "TestingLog.txt is not a records file: 50 of its 50 lines"),
             (["--station", "bench-7", "records.jsonl"], 2,
              'no runs of station "bench-7"; the stations are: bench "2", hall, bench-1, bench-9'),
             (["--since", "2026-12-03", "--until", "2026-12-01", "records.jsonl"], 2,
              "--since 2026-12-03 lies after --until 2026-12-01"),
             (["records.jsonl"], 0, "set apart, dated more than a day after this report: "
              "2031-06-01T08:00:00.000+01:00, station bench-9")]
    for arguments, code, said in cases:
        done = subprocess.run([report, *arguments], cwd=work, capture_output=True, text=True)
        if done.returncode != code or said not in done.stderr:
            problems.append(f"{arguments}: exit {done.returncode}, stderr {done.stderr[-300:]!r}")
        if arguments == ["records.jsonl"] and "2031" in done.stdout:
            problems.append("the record of 2031 is in the figures: " + done.stdout[:200])
    subprocess.run([report, "--html", "page.html", "records.jsonl"], cwd=work,
                   stderr=subprocess.DEVNULL, check=True)
    shown = browse(work)["text"]
    if "1 record dated more than a day after this report" not in shown or \
            "2031-06-01" not in shown or "Period: 2026-12-01 to 2026-12-02" not in shown:
        problems.append("the page does not set the record of 2031 apart: " + shown[:300])
    return problems


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
    injected = injected_script_problems(work)
    print(("FAIL " if injected else "PASS ") + "a script the page did not bring is refused"
          + "".join("\n  " + p for p in injected))
    passed &= not injected
    for hostile in (HOSTILE_SERIAL, HOSTILE_STATION):
        if hostile not in rendered["text"]:
            print(f"FAIL the page does not show {hostile!r} as text")
            passed = False
    mistakes = mistake_problems(report, base)
    print(("FAIL " if mistakes else "PASS ") + "input that is no report's is refused or set apart"
          + "".join("\n  " + p for p in mistakes))
    passed &= not mistakes
    six = tempfile.mkdtemp()
    rendered, text = render(six, report, a_line(more_stations=3))
    passed &= check("six stations, one small chart each", rendered, text)
    flagged = re.findall(r"^bench-6 socket \w+:.*$", rendered["text"], re.M)
    if not flagged or any(not f.startswith("bench-6 socket B: ") for f in flagged) \
            or [(d["station"], d["socket"]) for d in rendered["data"]["socketDays"]] \
            != [("bench-6", "A"), ("bench-6", "B")] or not rendered["painted"].get("socket-days-1"):
        print("FAIL the worn socket B of bench-6 is not flagged alone, or has no chart:", flagged)
        passed = False
    year = tempfile.mkdtemp()
    rendered, text = render(year, report, year_of_one_station())
    passed &= check("a year of one station's runs", rendered, text, open_limit_ms=5000)
    printed = print_problems(year)
    print(("FAIL " if printed else "PASS ") + "a year of one station's runs, printed on A4"
          + "".join("\n  " + p for p in printed))
    passed &= not printed
    piped = pipe_problems(year, report)
    print(("FAIL " if piped else "PASS ") + "the page written into a named pipe"
          + "".join("\n  " + p for p in piped))
    passed &= not piped
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
