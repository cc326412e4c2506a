"""The add-in as a web page: Chromium runs the task pane the kernel serves, end to end."""

import http.server
import json
import os
import threading
from pathlib import Path

import pandas as pd

from com_like import Context

from .conftest import REPO

SCREENSHOT = Path(os.environ.get("COM_LIKE_SCREENSHOT", REPO / "build" / "screenshots" / "taskpane.png"))


def rows(array):
    return [list(row) for row in array]


def counter(page, name):
    return int(page.evaluate(f"document.getElementById({json.dumps(name)}).textContent"))


def test_a_script_works_the_workbook_through_the_page(served, pane):
    pane.wait_for('document.body.dataset.state === "connected"')
    assert pane.evaluate("document.getElementById('address').textContent") == served.address

    sheet = Context.workbook.worksheets.add("Prices")
    frame = pd.DataFrame({"day": pd.to_datetime(["2024-01-01", "2024-01-02"]), "qty": [3, 4], "price": [1.5, 2.25]})
    sheet.getRange("A1:C3").values = frame
    # Like Excel, the page's workbook keeps dates as serial numbers.
    assert rows(sheet.getRange("A1:C3").values) == [["day", "qty", "price"], [45292, 3, 1.5], [45293, 4, 2.25]]

    seen, fired = [], threading.Event()

    def on_changed(event):
        seen.append(event.address)
        fired.set()

    sheet.onChanged.add(on_changed)
    sheet.getRange("B2").values = [[40]]
    assert fired.wait(60), "onChanged never reached Python; console:\n" + pane.console()
    assert seen == ["B2"]
    # The page saw all of it: its own counters, and the cell in its workbook.
    pane.wait_for("Number(document.getElementById('callbacks').textContent) >= 1")
    assert counter(pane, "requests") > 5 and counter(pane, "syncs") > 0 and counter(pane, "errors") == 0

    connections = served.connection_count
    served.disconnect()
    served.wait_connected(30, count=connections + 1)
    pane.wait_for('document.body.dataset.state === "connected"')
    again = Context.workbook.worksheets.getItem("Prices")
    assert rows(again.getRange("B2:C2").values) == [[40, 1.5]]

    pane.evaluate("window.velmaraTaskPane.show()")
    SCREENSHOT.parent.mkdir(parents=True, exist_ok=True)
    pane.screenshot(str(SCREENSHOT))
    assert SCREENSHOT.stat().st_size > 1000


CONNECT = """new Promise((resolve) => {
    const ws = new WebSocket(%s);
    ws.onopen = () => { ws.close(); resolve("open"); };
    ws.onclose = () => resolve("refused");
})"""


class _ForeignPage(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"<!doctype html><title>elsewhere</title>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def test_foreign_pages_and_wrong_tokens_cannot_connect(browser, served, pane):
    pane.wait_for('document.body.dataset.state === "connected"')
    connections = served.connection_count
    wrong = served.address + "/" + served.token[::-1]
    assert pane.evaluate(CONNECT % json.dumps(wrong)) == "refused"

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _ForeignPage)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    foreign = browser.open(f"http://127.0.0.1:{server.server_address[1]}/")
    try:
        # The right token, from a page the kernel did not serve.
        assert foreign.evaluate(CONNECT % json.dumps(served.url)) == "refused"
    finally:
        foreign.close()
        server.shutdown()
        server.server_close()

    assert served.stats()["refused"] == {"wrong_token": 1, "foreign_origin": 1}
    assert served.connection_count == connections and served.connected
    assert Context.workbook.worksheets.getItem("Sheet1").name == "Sheet1"

    # The kernel's own page with a stale token says so, and keeps knocking in vain.
    stale = browser.open(served.taskpane_url.replace(served.token, served.token[::-1]))
    try:
        stale.wait_for("document.getElementById('last-error').textContent.includes('refused this page')")
        assert stale.evaluate("document.body.dataset.state") in ("connecting", "waiting")
    finally:
        stale.close()
    assert served.connection_count == connections and served.connected
