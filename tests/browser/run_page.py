"""One run's page (syscall_timeline --html), driven in headless Chromium as
a learner and a teacher use it: a link opens it at a step, with the
player at the very top (a screenshot of the link shows that step), the
arrow keys move, End goes to the last step.
Usage: run_page.py PAGE NAME STEP. Prints what failed; exits 1 if
anything did."""
import base64
import json
import struct
import sys
import xml.dom.minidom
import xml.parsers.expat
import zlib

sys.path.insert(0, __import__("os").path.dirname(__file__))
from cdp import Browser  # noqa: E402

page, name, step = sys.argv[1], sys.argv[2], int(sys.argv[3])
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
    return condition


def inked(png):
    """The share of a PNG's pixel bytes that are neither white nor black:
    nearly none in a blank image."""
    at, data = 8, b""
    while at < len(png):
        length, kind = struct.unpack(">I4s", png[at:at + 8])
        if kind == b"IDAT":
            data += png[at + 8:at + 8 + length]
        at += 12 + length
    raw = zlib.decompress(data)
    return sum(1 for b in raw[::7] if b not in (0, 255)) / max(1, len(raw[::7]))


PLAYER = "document.querySelector('.player[data-lesson=%s]')" % name
browser = Browser("file://%s#%s/%d" % (page, name, step), width=1280, height=800)
try:
    browser.open("file://%s#%s/%d" % (page, name, step))
    shown = browser.eval(PLAYER + ".dataset.step")
    check(shown == str(step), "the link opened step %s, not %d" % (shown, step))
    top = browser.eval(PLAYER + ".getBoundingClientRect().top + scrollY")
    check(top < 100, "the player is %s px down the page" % top)
    shot = base64.b64decode(browser.call("Page.captureScreenshot", {"format": "png"}, session=True)["data"])
    check(inked(shot) > 0.01, "a screenshot of the link is blank")
    size = browser.eval("parseFloat(getComputedStyle(document.querySelector('.player .tables .row')).fontSize)")
    check(size >= 14, "the tables' text is %s px" % size)
    # The step's tables as a picture of their own: well-formed SVG, with
    # the processes and the pipe in it.
    svg = browser.eval(PLAYER + ".parentNode.player.tables_svg()")
    try:
        drawn = xml.dom.minidom.parseString(svg)
        texts = " ".join(t.firstChild.data for t in drawn.getElementsByTagName("text") if t.firstChild)
        check(name in texts and "pipe A" in texts, "the tables' SVG says %r" % texts[:200])
    except xml.parsers.expat.ExpatError as e:
        check(False, "the tables' SVG is not well formed: %s" % e)
    browser.eval(PLAYER + ".focus()")
    browser.key("ArrowRight", "ArrowRight")
    check(browser.eval(PLAYER + ".dataset.step") == str(step + 1), "the right arrow did not go on")
    browser.key("ArrowLeft", "ArrowLeft")
    browser.key("ArrowLeft", "ArrowLeft")
    check(browser.eval(PLAYER + ".dataset.step") == str(step - 1), "the left arrow did not go back")
    browser.key("End", "End")
    last = json.loads(browser.eval("document.querySelector('.player-holder script').textContent"))["steps"]
    check(browser.eval(PLAYER + ".dataset.step") == str(len(last)), "End did not go to the last step")
    now = browser.eval(PLAYER + ".querySelector('.now').textContent")
    check(last[-1]["w"] in now, "the last step shows %r" % now)
finally:
    browser.close()

for f in failures:
    print("FAILED: " + f)
sys.exit(1 if failures else 0)
