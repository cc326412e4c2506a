"""A Jupyter notebook drives Excel: executed headless in an IPython kernel against the far end."""

import json
import sys

import nbclient
import nbformat
from jupyter_client.kernelspec import KernelSpecManager
from jupyter_client.manager import KernelManager

from .conftest import CONNECT_S

CELLS = [
    "%load_ext velmara_master",
    f"%velmara --addin-sim --connect-timeout {CONNECT_S}",
    # A second call attaches to the running kernel instead of starting one.
    "%velmara",
    """\
import threading

import pandas as pd
from pandas.testing import assert_frame_equal

# Cells run on the IPython kernel's main thread; proxies block it until the
# kernel's listener delivers the answer.
assert threading.current_thread() is threading.main_thread()
sheet = Context.workbook.worksheets.add("Notebook")
frame = pd.DataFrame({"item": ["tea", "coffee", "cocoa"], "price": [2.5, 3.1, 2.8], "count": [3, 1, 2]})
written = write_frame(sheet, frame)
back = read_frame(written)
assert_frame_equal(back, frame)
print(written.address, GetSetting("user.locale"))""",
    "%unload_ext velmara_master",
    """\
from velmara_master.python_server.velmara.kernel import current_kernel

assert not current_kernel().connected""",
]


def text_of(cell):
    return "".join(output.get("text", "") for output in cell.outputs if output.output_type == "stream")


def test_a_notebook_writes_a_frame_to_excel_and_reads_it_back(tmp_path):
    # This interpreter runs the notebook's kernel, whatever else is installed.
    spec_dir = tmp_path / "kernels" / "velmara-python"
    spec_dir.mkdir(parents=True)
    (spec_dir / "kernel.json").write_text(json.dumps({
        "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "Python (velmara tests)",
        "language": "python",
    }))
    specs = KernelSpecManager(kernel_dirs=[str(tmp_path / "kernels")], ensure_native_kernel=False)
    manager = KernelManager(kernel_name="velmara-python", kernel_spec_manager=specs)
    notebook = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(source) for source in CELLS])
    client = nbclient.NotebookClient(notebook, km=manager, timeout=CONNECT_S + 120, startup_timeout=CONNECT_S,
                                     resources={"metadata": {"path": str(tmp_path)}})
    client.execute()  # raises CellExecutionError, naming the cell, when one fails

    started, again, frame_cell = notebook.cells[1], notebook.cells[2], notebook.cells[3]
    assert "add-in connected" in text_of(started)
    assert "already running" in text_of(again) and "add-in connected" in text_of(again)
    assert text_of(frame_cell).strip() == "Notebook!A1:C4 en-GB"
