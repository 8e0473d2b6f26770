"""The server end to end on bench encoders: cards really written, requests
refused for the right reason, and the faults that must lose nothing."""
import json
import os
import signal
import socket
import subprocess
import threading
import time

import pytest
import requests

from conftest import PERIOD, SERVER, freeze_worker, wait_for


def test_cards_are_written_read_and_cleared_on_several_encoders(site):
    results = {}

    def issue(encoder, room):
        results[encoder] = site.issue(encoder, rooms=[room])

    threads = [threading.Thread(target=issue, args=(e, r)) for e, r in (("desk1", "101"), ("desk2", "102"))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for encoder, room in (("desk1", 101), ("desk2", 102)):
        r = results[encoder]
        assert r.status_code == 201 and r.json()["state"] == "ok", r.text
        assert r.json()["result"] == {"code": 1, "name": "KS_OK"}
        card = site.card(encoder)
        assert card["kind"] == "guest" and card["rooms"][0] == room
        assert (card["start"], card["end"]) == ("2026-03-01 14:00", "2026-03-03 12:00")
        assert r.json()["serial"] == card["serial"]

    read = site.post("/v1/encoders/desk1/read").json()
    assert read["state"] == "ok" and read["card"]["rooms"][0] == 101
    again = site.issue("desk1")
    assert again.status_code == 200 and again.json()["state"] == "failed"
    assert again.json()["result"]["name"] == "KS_ERR_NOT_CLEARED"
    assert site.post("/v1/encoders/desk1/clear").json()["state"] == "ok"
    assert site.issue("desk1", rooms=["103", "104"]).status_code == 201
    assert site.card("desk1")["rooms"][:2] == [103, 104]


BIG = "x" * (70 * 1024)


@pytest.mark.parametrize("role,method,path,body,headers,status,field", [
    ("manager", "POST", "/v1/encoders/desk1/cards", {"kind": "guest", "rooms": ["999"], **PERIOD}, {}, 400, "rooms[0]"),
    ("manager", "POST", "/v1/encoders/desk1/cards",
     {"kind": "guest", "rooms": ["101"], "start": "2026-03-03T12:00", "end": "2026-03-01T14:00"}, {}, 400, "end"),
    ("manager", "POST", "/v1/encoders/desk1/cards",
     {"kind": "guest", "rooms": ["101", "102", "103", "104", "105"], **PERIOD}, {}, 400, "rooms[4]"),
    ("manager", "POST", "/v1/encoders/desk1/cards", {"kind": "tiger"}, {}, 400, "kind"),
    ("manager", "POST", "/v1/encoders/desk1/cards", {"kind": "chief", **PERIOD}, {}, 400, "reason"),
    ("manager", "POST", "/v1/encoders/desk1/cards", "{\"kind\": ", {"Content-Type": "application/json"}, 400, None),
    ("manager", "POST", "/v1/encoders/desk1/cards", "kind=guest", {"Content-Type": "text/plain"}, 415, None),
    ("manager", "POST", "/v1/encoders/desk1/cards", BIG, {"Content-Type": "application/json"}, 413, None),
    ("manager", "POST", "/v1/encoders/desk9/read", None, {}, 404, None),
    ("", "GET", "/v1/encoders", None, {}, 401, None),
    ("desk", "POST", "/v1/encoders/desk1/cards", {"kind": "chief", "reason": "audit", **PERIOD}, {}, 403, "kind"),
    ("pms", "POST", "/v1/encoders/desk1/clear", None, {}, 403, None),
    ("desk", "GET", "/v1/jobs", None, {}, 403, None),
])
def test_refusals_name_their_reason(site, role, method, path, body, headers, status, field):
    known = {"": "", "manager": site.token, "pms": site.pms_token}
    token = known[role] if role in known else site.add_token(role, role)
    raw = body if isinstance(body, str) else None
    r = site.call(method, path, token=token, body=None if raw else body, data=raw, headers=headers)
    assert r.status_code == status, r.text
    assert r.headers["Content-Type"] == "application/problem+json"
    assert r.json().get("field") == field
    assert site.get("/v1/jobs").json()["jobs"] == [], "a refused request made a job"


def test_roles_and_the_journal(site):
    desk = site.add_token("frontdesk", "desk")
    chief = site.post("/v1/encoders/desk1/cards", {"kind": "chief", "reason": "night manager", **PERIOD})
    assert chief.status_code == 201, chief.text
    own = site.post("/v1/encoders/desk2/read", token=desk).json()
    # A desk sees its own jobs, not the manager's.
    assert site.get(f"/v1/jobs/{own['id']}", token=desk).status_code == 200
    assert site.get(f"/v1/jobs/{chief.json()['id']}", token=desk).status_code == 404
    jobs = site.get("/v1/jobs").json()["jobs"]
    assert [(j["who"], j["action"], j.get("reason")) for j in jobs] == [
        ("manager", "issue", "night manager"), ("frontdesk", "read", None)]
    page = site.get("/v1/jobs?limit=1").json()
    assert len(page["jobs"]) == 1 and site.get(page["next"]).json()["jobs"][0]["who"] == "frontdesk"
    export = subprocess.run([SERVER, "journal", "export", "--config", str(site.config)], capture_output=True,
                            text=True, check=True).stdout
    assert "night manager" in export and site.token not in export and desk not in export


def test_a_retried_request_returns_the_first_job(site):
    key = {"Idempotency-Key": "pms-res-4711-1"}
    first = site.post("/v1/encoders/desk1/cards", {"kind": "guest", "rooms": ["101"], **PERIOD}, headers=key)
    retry = site.post("/v1/encoders/desk1/cards", {"kind": "guest", "rooms": ["101"], **PERIOD}, headers=key)
    assert first.status_code == retry.status_code == 201 and first.json()["id"] == retry.json()["id"]
    other = site.post("/v1/encoders/desk1/cards", {"kind": "guest", "rooms": ["102"], **PERIOD}, headers=key)
    assert other.status_code == 422 and other.json()["field"] == "Idempotency-Key"
    assert len(site.get("/v1/jobs").json()["jobs"]) == 1


def test_a_worker_killed_during_a_write_leaves_the_job_unknown(site):
    pid = freeze_worker(site)
    pending = site.post("/v1/encoders/desk1/cards?wait=0", {"kind": "guest", "rooms": ["101"], **PERIOD})
    assert pending.status_code == 202 and pending.headers["Location"] == pending.json()["url"]
    site.wait_job(pending.json()["id"], "running")
    os.kill(pid, signal.SIGKILL)
    job = site.wait_job(pending.json()["id"], "unknown")
    assert "may hold it" in job["error"]
    wait_for(lambda: (w := site.worker())["pid"] not in (None, pid) and w["restarts"] == 1, what="a new worker")
    assert site.post("/v1/encoders/desk1/read").json()["state"] in ("ok", "failed")


def test_a_server_killed_during_a_job_says_so_at_restart(make_site):
    site = make_site().start()
    freeze_worker(site)
    job = site.post("/v1/encoders/desk1/cards?wait=0", {"kind": "guest", "rooms": ["101"], **PERIOD}).json()
    site.wait_job(job["id"], "running")
    site.stop(signal.SIGKILL)
    site.start()
    assert site.job(job["id"])["state"] == "unknown"
    assert f"job {job['id']} (issue guest on desk1) was running" in site.log.read_text()


def test_jobs_expire_rather_than_run_late(make_site):
    site = make_site(server={"expiry": 1, "job_timeout": 3}).start()
    pid = freeze_worker(site)
    stuck = site.post("/v1/encoders/desk1/read?wait=0").json()
    late = site.issue("desk1")  # waits at most the site's wait (10 s): expires after 1 s
    assert late.status_code == 200 and late.json()["state"] == "expired"
    assert site.card("desk1")["kind"] == "cleared"  # the expired card was never written
    # The stuck job's worker is replaced after job_timeout; the job is unknown.
    assert "did not answer within 3 s" in site.wait_job(stuck["id"], "unknown")["error"]
    wait_for(lambda: site.worker()["pid"] not in (None, pid), what="a new worker")


def test_an_unwritable_journal_refuses_jobs_and_touches_no_card(site):
    # Files the server writes may no longer grow: the journal's next write
    # fails as on a full disk. The workers (their card files) are not limited.
    subprocess.run(["prlimit", f"--pid={site.proc.pid}", "--fsize=1:unlimited"], check=True)
    r = site.issue("desk1")
    assert r.status_code == 503 and r.json()["title"] == "Journal unavailable", r.text
    assert site.card("desk1")["kind"] == "cleared"
    subprocess.run(["prlimit", f"--pid={site.proc.pid}", "--fsize=unlimited"], check=True)
    assert site.issue("desk1").status_code == 201


def test_the_event_stream_shows_jobs_and_encoders(site):
    events = []
    stream = requests.get(site.url + "/v1/events", headers={"Authorization": f"Bearer {site.token}"}, stream=True,
                          timeout=30)
    assert stream.headers["Content-Type"] == "text/event-stream"

    def read():
        kind = None
        try:
            for line in stream.iter_lines(decode_unicode=True):
                if line.startswith("event: "):
                    kind = line[7:]
                elif line.startswith("data: "):
                    events.append((kind, json.loads(line[6:])))
        except (AttributeError, requests.RequestException):
            pass  # the stream closed under the reader

    threading.Thread(target=read, daemon=True).start()
    wait_for(lambda: len(events) >= 2, what="the encoders' first events")
    job = site.issue("desk2").json()
    wait_for(lambda: [e["state"] for k, e in events if k == "job" and e["id"] == job["id"]] ==
             ["queued", "running", "ok"], what="the job's three states")
    os.kill(site.worker("desk2")["pid"], signal.SIGKILL)
    wait_for(lambda: any(k == "encoder" and e["id"] == "desk2" and not e["online"] for k, e in events),
             what="desk2 offline")
    wait_for(lambda: any(k == "encoder" and e["id"] == "desk2" and e["online"] and e["worker"]["restarts"] == 1
                         for k, e in events), what="desk2 back")
    stream.close()
    metrics = site.call("GET", "/metrics").text
    assert 'kestrane_jobs_total{state="ok",result="KS_OK"} 1' in metrics
    assert 'kestrane_worker_restarts_total{encoder="desk2"} 1' in metrics


def test_limits_on_slow_and_busy_clients(make_site):
    site = make_site(tables='\n[limits]\nheader_timeout = 1\nread_timeout = 2\nrate = 5\n'
                            '\n[cors]\norigins = ["https://desk.example"]\n').start()
    with socket.create_connection(("127.0.0.1", site.port)) as s:
        start = time.monotonic()
        try:
            for ch in b"GET /healthz HTTP/1.1\r\nHost: x\r\n":
                s.sendall(bytes([ch]))
                time.sleep(0.25)
        except (BrokenPipeError, ConnectionResetError):
            pass
        s.settimeout(5)
        answer = s.recv(4096)
        assert answer.startswith(b"HTTP/1.1 408") or answer == b""
        assert time.monotonic() - start < 3
    allowed = site.get("/v1/encoders", headers={"Origin": "https://desk.example"})
    assert allowed.headers["Access-Control-Allow-Origin"] == "https://desk.example"
    assert "Access-Control-Allow-Origin" not in site.get("/v1/encoders", headers={"Origin": "https://evil.example"}).headers
    codes = [site.get("/v1/encoders").status_code for _ in range(4)]
    assert codes[-1] == 429
    r = site.get("/v1/encoders")
    assert r.status_code == 429 and int(r.headers["Retry-After"]) >= 1


def test_network_listeners_need_tls(make_site, tmp_path):
    site = make_site()
    text = site.config.read_text()
    site.config.write_text(text.replace('address = "127.0.0.1"', 'address = "0.0.0.0"'))
    check = subprocess.run([SERVER, "check", "--config", str(site.config)], capture_output=True, text=True)
    assert check.returncode != 0 and "listen[1].cert" in check.stderr and "needs TLS" in check.stderr
    run = subprocess.run([SERVER, "run", "--config", str(site.config)], capture_output=True, text=True, timeout=10)
    assert run.returncode != 0 and "needs TLS" in run.stderr
    site.config.write_text(text.replace('address = "127.0.0.1"', 'address = "0.0.0.0"\ninsecure = true'))
    site.start()
    site.get("/v1/encoders")
    lines = [ln for ln in site.log.read_text().splitlines() if "http 0.0.0.0" in ln]
    assert len(lines) >= 2 and all("INSECURE" in ln for ln in lines)
    site.stop()

    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True)
    site.config.write_text(text.replace('port = ', f'cert = "{cert}"\nkey = "{key}"\nport = ', 1))
    site.url = site.url.replace("http:", "https:")
    site.proc = subprocess.Popen([SERVER, "run", "--config", str(site.config)], stderr=open(site.log, "a"))
    wait_for(lambda: _get_tls(site.url + "/healthz", cert), what="the TLS listener")
    r = requests.get(site.url + "/v1/encoders", headers={"Authorization": f"Bearer {site.token}"}, verify=str(cert))
    assert r.status_code == 200 and len(r.json()["encoders"]) == 2
    with pytest.raises(requests.ConnectionError):
        requests.get(site.url.replace("https:", "http:") + "/healthz", timeout=3)


def _get_tls(url, cert):
    try:
        return requests.get(url, verify=str(cert), timeout=2).ok
    except requests.exceptions.RequestException:
        return False
