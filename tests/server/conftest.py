"""One rig for the server's end-to-end tests: a site folder made by
`kestrane-server init`, a real server on a free loopback port, the tool to look
at the bench cards, and every answer checked against the OpenAPI document the
server serves."""
import json
import os
import re
import signal
import socket
import subprocess
import time

import jsonschema
import pytest
import requests

SERVER = os.environ.get("KS_SERVER", "kestrane-server")
TOOL = os.environ.get("KS_TOOL", "kestrane")
PERIOD = {"start": "2026-03-01T14:00", "end": "2026-03-03T12:00"}
_openapi = {}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout=10, what="condition"):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


def _nullable(schema):
    """OpenAPI 3.0's `nullable` as JSON Schema's null type."""
    if isinstance(schema, dict):
        out = {k: _nullable(v) for k, v in schema.items() if k not in ("nullable", "example")}
        if schema.get("nullable") and "type" in out:
            out["type"] = [out["type"], "null"]
        if schema.get("nullable") and "enum" in out:
            out["enum"] = out["enum"] + [None]
        return out
    if isinstance(schema, list):
        return [_nullable(v) for v in schema]
    return schema


def check_openapi(doc, method, path, resp):
    """The answer is one the document lists for this operation, with its body's schema."""
    for template, item in doc["paths"].items():
        if re.fullmatch(re.sub(r"\{[^}]+\}", "[^/]+", template), path) and method.lower() in item:
            op = item[method.lower()]
            break
    else:
        raise AssertionError(f"{method} {path} is not in the OpenAPI document")
    described = op["responses"].get(str(resp.status_code))
    assert described, f"{method} {path} answered {resp.status_code}, which the document does not list"
    if "$ref" in described:
        described = doc["components"]["responses"][described["$ref"].split("/")[-1]]
    if "content" not in described:
        assert not resp.content, f"{method} {path} {resp.status_code}: a body the document does not describe"
        return
    media = resp.headers.get("Content-Type", "").split(";")[0]
    content = described.get("content", {})
    if resp.status_code == 204:
        assert not content and not resp.content, f"{method} {path} 204: a body where none is documented"
        return
    assert media in content, f"{method} {path} {resp.status_code}: {media} not documented"
    if media.endswith("json"):
        root = _nullable({"components": doc["components"], **content[media]["schema"]})
        jsonschema.validate(resp.json(), root)


class Site:
    def __init__(self, root, encoders=2, cards=3, server=None, tables="", init_args=(), medium=None):
        root.mkdir(parents=True, exist_ok=True)
        self.dir = root / "site"
        out = subprocess.run([SERVER, "init", str(self.dir), "--encoders", str(encoders), "--cards", str(cards),
                              *init_args], capture_output=True, text=True, check=True).stdout
        self.token = re.search(r"^token: (\S+)$", out, re.M).group(1)
        self.pms_token = re.search(r"^pms token: (\S+)$", out, re.M).group(1)
        for i in range(1, encoders + 1) if medium else ():
            subprocess.run([TOOL, "bench", "init", "--medium", medium, "--force", "--cards", str(cards),
                            str(self.dir / f"desk{i}")], capture_output=True, check=True)
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.config = self.dir / "site.toml"
        text = self.config.read_text().replace("port = 8443", f"port = {self.port}")
        for key, value in (server or {}).items():
            line = f"{key} = {json.dumps(value)}"
            text, n = re.subn(rf"^{key} = .*$", line, text, count=1, flags=re.M)
            if not n:
                text = text.replace("[server]\n", f"[server]\n{line}\n", 1)
        text += tables
        self.config.write_text(text)
        self.log = root / "server.log"
        self.proc = None

    def start(self, expect_ready=True):
        self.logfile = open(self.log, "a")
        self.proc = subprocess.Popen([SERVER, "run", "--config", str(self.config)], stderr=self.logfile,
                                     stdout=self.logfile)
        if expect_ready:
            wait_for(self._healthy, what="the server to answer /healthz")
            wait_for(lambda: all(e["online"] for e in self.get("/v1/encoders").json()["encoders"]),
                     what="every worker to start")
        return self

    def _healthy(self):
        if self.proc.poll() is not None:
            raise AssertionError("the server ended at start:\n" + self.log.read_text())
        try:
            return requests.get(self.url + "/healthz", timeout=1).ok
        except requests.ConnectionError:
            return False

    def stop(self, sig=signal.SIGTERM):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(sig)
            self.proc.wait(timeout=30)
        self.proc = None

    def add_token(self, name, role):
        out = subprocess.run([SERVER, "token", "add", name, "--role", role, "--config", str(self.config)],
                             capture_output=True, text=True, check=True).stdout
        return re.search(r"^token: (\S+)$", out, re.M).group(1)

    def call(self, method, path, token=None, body=None, headers=None, data=None, check=True):
        h = {"Authorization": f"Bearer {token or self.token}"} if token != "" else {}
        h.update(headers or {})
        resp = requests.request(method, self.url + path, json=body, data=data, headers=h, timeout=30)
        if check:
            if not _openapi:
                _openapi.update(requests.get(self.url + "/v1/openapi.json", timeout=5).json())
            check_openapi(_openapi, method, path.split("?")[0], resp)
        return resp

    def get(self, path, **kw):
        return self.call("GET", path, **kw)

    def post(self, path, body=None, **kw):
        return self.call("POST", path, body=body, **kw)

    def issue(self, encoder="desk1", **fields):
        return self.post(f"/v1/encoders/{encoder}/cards", {"kind": "guest", "rooms": ["101"], **PERIOD, **fields})

    def card(self, encoder="desk1"):
        """The card on the encoder as the tool reads it from the bench folder."""
        return json.loads(self.tool(encoder, "--json", "read").stdout)

    def tool(self, encoder, *args):
        return subprocess.run([TOOL, "--bench", str(self.dir / encoder), *args], capture_output=True, text=True)

    def worker(self, encoder="desk1"):
        return self.get(f"/v1/encoders/{encoder}").json()["worker"]

    def job(self, job_id):
        return self.get(f"/v1/jobs/{job_id}").json()

    def wait_job(self, job_id, state):
        return wait_for(lambda: (j := self.job(job_id))["state"] == state and j, what=f"job {job_id} {state}")


@pytest.fixture
def make_site(tmp_path):
    sites = []

    def make(**kw):
        site = Site(tmp_path / str(len(sites)), **kw) if sites else Site(tmp_path, **kw)
        sites.append(site)
        return site

    yield make
    for s in sites:
        s.stop(signal.SIGKILL)
        for pid in stopped_workers.pop(id(s), []):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


stopped_workers = {}


def freeze_worker(site, encoder="desk1"):
    """Stops the encoder's worker where it is (SIGSTOP), as a card write that hangs."""
    pid = site.worker(encoder)["pid"]
    os.kill(pid, signal.SIGSTOP)
    stopped_workers.setdefault(id(site), []).append(pid)
    return pid


@pytest.fixture
def site(make_site):
    return make_site().start()
