"""The kernel serves its task pane: a fixed set of files, to its own Host, and admits that page's origin."""

import http.client
import os
import socket
import ssl
from pathlib import Path
from xml.etree import ElementTree

import pytest
from websockets.exceptions import InvalidStatus
from websockets.sync.client import connect

from velmara_master.python_server.velmara.kernel import Kernel
from velmara_master.python_server.velmara.kernel.certificate import CA_FILE, server_context
from velmara_master.python_server.velmara.kernel.taskpane import MANIFEST_ORIGIN, OFFICE_JS_CDN, TaskPane

MANIFEST_NS = {"o": "http://schemas.microsoft.com/office/appforoffice/1.1",
               "v": "http://schemas.microsoft.com/office/taskpaneappversionoverrides",
               "bt": "http://schemas.microsoft.com/office/officeappbasictypes/1.0",
               "xsi": "http://www.w3.org/2001/XMLSchema-instance"}
ADDIN = Path(__file__).resolve().parents[2] / "addin"


def get(port, path, host=None, context=None, method="GET"):
    conn = (http.client.HTTPSConnection("127.0.0.1", port, timeout=30, context=context) if context
            else http.client.HTTPConnection("127.0.0.1", port, timeout=30))
    conn.request(method, path, headers={"Host": host or f"127.0.0.1:{port}"})
    response = conn.getresponse()
    return response.status, response.getheader("Content-Type"), response.read()


@pytest.fixture
def served():
    with Kernel(taskpane=TaskPane(ADDIN, office_double=ADDIN / "test" / "office-double")) as kernel:
        yield kernel


@pytest.mark.parametrize("path, status, kind", [
    ("/taskpane.html", 200, "text/html"),
    ("/taskpane.html?_host_Info=Excel$Win32$16.01$en-US", 200, "text/html"),
    ("/src/executor.mjs", 200, "text/javascript"),
    ("/office.js", 200, "text/javascript"),
    ("/office-double/install.mjs", 200, "text/javascript"),
    ("/manifest.xml", 200, "application/xml"),
    ("/assets/icon-32.png", 200, "image/png"),
    ("/", 404, None),
    ("/../pyproject.toml", 404, None),
    ("/src/../../pyproject.toml", 404, None),
    ("/src/%2e%2e/%2e%2e/pyproject.toml", 404, None),
    ("//etc/passwd", 404, None),
    ("/src/", 404, None),
    ("/test/office-double.test.mjs", 404, None),
    ("/SRC/executor.mjs", 404, None),
])
def test_only_the_fixed_set_is_served(served, path, status, kind):
    got, content_type, body = get(served.port, path)
    assert got == status
    if kind:
        assert content_type.startswith(kind) and body
        if path.startswith("/src/"):
            assert body == (ADDIN / path.lstrip("/")).read_bytes()


@pytest.mark.parametrize("host", ["evil.example:{port}", "127.0.0.1:1", "127.0.0.1.nip.io:{port}", "[::1]:{port}"])
def test_a_foreign_host_gets_nothing(served, host):
    status, _, body = get(served.port, "/manifest.xml", host.format(port=served.port))
    assert status in (400, 403) and served.token.encode() not in body


def test_page_and_manifest_name_this_kernel_and_never_its_token(served, tmp_path):
    _, _, page = get(served.port, "/taskpane.html")
    assert b'src="office.js"' in page and OFFICE_JS_CDN.encode() not in page
    _, _, manifest = get(served.port, "/manifest.xml")
    origin = f"http://127.0.0.1:{served.port}"
    assert f'"{origin}/taskpane.html"'.encode() in manifest and MANIFEST_ORIGIN.encode() not in manifest
    assert served.token.encode() not in manifest
    assert served.taskpane_url == f"{origin}/taskpane.html#token={served.token}"

    written = tmp_path / "manifest.xml"
    served.taskpane.write_manifest(written, served.token)
    assert os.stat(written).st_mode & 0o077 == 0
    root = ElementTree.parse(written).getroot()
    find = lambda path: root.findall(path, MANIFEST_NS)  # noqa: E731
    assert root.get(f"{{{MANIFEST_NS['xsi']}}}type") == "TaskPaneApp"
    assert [h.get("Name") for h in find("o:Hosts/o:Host")] == ["Workbook"]
    assert find("o:Permissions")[0].text == "ReadWriteDocument"
    assert find("o:DefaultSettings/o:SourceLocation")[0].get("DefaultValue") == served.taskpane_url
    assert [r.get("lifetime") for r in find(".//v:Runtimes/v:Runtime")] == ["long"]
    urls = {u.get("id"): u.get("DefaultValue") for u in find(".//bt:Url")}
    assert urls == {"Taskpane.Url": served.taskpane_url, "LearnMore.Url": f"{origin}/taskpane.html"}
    assert find(".//v:LearnMoreUrl")[0].get("resid") == "LearnMore.Url"


@pytest.mark.parametrize("old", ["loose file", "symlink"])
def test_the_manifest_replaces_what_was_there_and_is_its_owners_alone(served, tmp_path, old):
    written = tmp_path / "manifest.xml"
    elsewhere = tmp_path / "elsewhere.xml"
    elsewhere.write_text("untouched")
    if old == "symlink":
        written.symlink_to(elsewhere)
    else:
        written.write_text("old")
        written.chmod(0o644)
    served.taskpane.write_manifest(written, served.token)
    assert not written.is_symlink() and elsewhere.read_text() == "untouched"
    assert os.stat(written).st_mode & 0o777 == 0o600
    assert served.token in written.read_text()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["elsewhere.xml", "manifest.xml"]


@pytest.mark.parametrize("method", ["GET", "HEAD", "POST", "PUT", "DELETE", "TRACE", "OPTIONS"])
def test_only_get_and_head_are_answered_and_head_without_a_body(served, method):
    status, kind, body = get(served.port, "/taskpane.html", method=method)
    if method in ("GET", "HEAD"):
        assert status == 200 and kind.startswith("text/html") and (body == b"") == (method == "HEAD")
        # http.client reads no body after HEAD whatever is sent: look at the bytes.
        with socket.create_connection(("127.0.0.1", served.port), timeout=30) as raw:
            raw.sendall(f"{method} /taskpane.html HTTP/1.1\r\nHost: 127.0.0.1:{served.port}\r\n\r\n".encode())
            answer = b"".join(iter(lambda: raw.recv(65536), b""))
        head, _, rest = answer.partition(b"\r\n\r\n")
        assert b"Content-Length: 0" not in head and (rest == b"") == (method == "HEAD")
    else:
        assert status == 405
        conn = http.client.HTTPConnection("127.0.0.1", served.port, timeout=30)
        conn.request(method, "/taskpane.html", headers={"Host": f"127.0.0.1:{served.port}"})
        assert conn.getresponse().getheader("Allow") == "GET, HEAD"


def test_without_the_double_the_page_loads_office_js_from_microsoft():
    with Kernel(taskpane=TaskPane(ADDIN)) as kernel:
        assert OFFICE_JS_CDN.encode() in get(kernel.port, "/taskpane.html")[2]
        assert get(kernel.port, "/office.js")[0] == 404


def test_the_page_origin_is_admitted_and_no_other(served):
    origin = f"http://127.0.0.1:{served.port}"
    with connect(served.url, origin=origin, open_timeout=60):
        pass
    for other in (f"http://localhost:{served.port}", f"https://127.0.0.1:{served.port}", "null"):
        with pytest.raises(InvalidStatus):
            connect(served.url, origin=other, open_timeout=60)
    assert served.stats()["refused"] == {"foreign_origin": 3}


def test_https_with_the_local_certificate(tmp_path):
    with Kernel(taskpane=TaskPane(ADDIN), ssl_context=server_context(tmp_path)) as kernel:
        trust = ssl.create_default_context(cafile=str(tmp_path / CA_FILE))
        assert kernel.taskpane_url.startswith(f"https://127.0.0.1:{kernel.port}/") and kernel.url.startswith("wss:")
        assert get(kernel.port, "/taskpane.html", context=trust)[0] == 200
        with connect(kernel.url, ssl=trust, origin=f"https://localhost:{kernel.port}", open_timeout=60):
            pass
    # A second start keeps the authority the user trusted.
    authority = (tmp_path / CA_FILE).read_bytes()
    server_context(tmp_path)
    assert (tmp_path / CA_FILE).read_bytes() == authority
    assert all(os.stat(key).st_mode & 0o077 == 0 for key in tmp_path.glob("*key*"))
