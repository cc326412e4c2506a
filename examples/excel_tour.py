"""A short tour of com_like: drive Excel from Python as if it were local.

Run it with `scripts/demo`, which starts a kernel and the simulated add-in
and then runs this script inside the kernel. In a Velmara kernel attached
to real Excel the same code works unchanged.
"""

import threading
import time

import pandas as pd

from com_like import Context, GetSetting
from velmara_master.python_server.velmara.kernel import current_kernel
from velmara_master.python_server.velmara.tables import read_frame, to_plain, write_frame


def step(text):
    print(f"\n== {text}")


step("Open the workbook and add a sheet")
workbook = Context.workbook
print("workbook:", workbook.name)
sales = workbook.worksheets.getItemOrNullObject("Sales")
if sales.isNullObject:
    sales = workbook.worksheets.add("Sales")
sales.activate()
print("sheets:", [ws.name for ws in workbook.worksheets.items])

step("Write a pandas DataFrame with dates and numbers")
frame = pd.DataFrame({
    "date": pd.date_range("2024-01-01", periods=5, freq="D"),
    "units": [12, 7, 19, 3, 11],
    "price": [9.99, 12.5, 8.75, 20.0, 15.25],
})
frame["revenue"] = frame["units"] * frame["price"]
target = write_frame(sales, frame)   # number formats first (dates stay dates), then the values
print(f"wrote {len(frame)} rows to {target.address}")

step("Read it back")
used = sales.getUsedRange()
print("used range:", used.address, f"({used.rowCount} x {used.columnCount})")
# Values and number formats come back together: a date-formatted cell holds
# Excel's serial day number, and read_frame turns it back into a datetime.
back = read_frame(used)
print(back.to_string(index=False))
pd.testing.assert_frame_equal(back, frame)

step("Change number formats")
sales.getRange("A2:A6").numberFormat = [["yyyy-mm-dd"]] * 5
sales.getRange("C2:D6").numberFormat = [["#,##0.00"] * 2] * 5
print("formats of row 2:", to_plain(sales.getRange("A2:D2").numberFormat)[0])

step("Ask the host for settings")
for name in ("user.name", "user.locale", "workbook.currency"):
    print(f"  GetSetting({name!r}) = {GetSetting(name)!r}")

step("React to changes with an onChanged callback")
changed = threading.Event()


def on_changed(event):
    # Runs on the kernel's callback worker; it may use proxies itself.
    sheet = Context.workbook.worksheets.getItem(event.worksheetId)
    value = sheet.getRange(event.address).values[0][0]
    print(f"  onChanged: {event.address} on {sheet.name} is now {value!r}")
    changed.set()


sales.onChanged.add(on_changed)
sales.getRange("F1").values = [["Total"]]
sales.getRange("F2").values = [[float(frame["revenue"].sum())]]
if not changed.wait(5):
    raise SystemExit("onChanged did not fire")
time.sleep(0.1)   # let the second event print before moving on

step("Survive a reconnect")
kernel = current_kernel()
if kernel is not None:
    before = kernel.connection_count
    kernel.disconnect()
    print("  connection dropped; waiting for the add-in to come back ...")
    kernel.wait_connected(15, count=before + 1)
    try:
        sales.name  # noqa: B018 - a proxy read is a request; this one meets the new epoch
    except RuntimeError as exc:
        print(f"  old proxies are stale: {exc}")
    sales = Context.workbook.worksheets.getItem("Sales")
    print("  reconnected; F2 still holds", sales.getRange("F2").values[0][0])

print("\nTour complete.")
