"""The two PMS interfaces on bench encoders: a FIAS PMS through a whole day
on its link, and OPERA Cloud's room-key call with every key type."""
import base64
import datetime
import os
import signal
import subprocess
import uuid

import pytest
import requests

from conftest import SERVER, freeze_worker, wait_for
from fias_pms import FiasPms, stamp

TODAY = datetime.date.today()
GA, GD = TODAY.strftime("%y%m%d"), (TODAY + datetime.timedelta(days=2)).strftime("%y%m%d")
END = (TODAY + datetime.timedelta(days=2)).strftime("%Y-%m-%d") + " 11:00"


@pytest.fixture
def fias(make_site):
    pms = FiasPms()
    site = make_site(init_args=("--fias", f"127.0.0.1:{pms.port}"))
    text = site.config.read_text().replace('workstations = { FD1 = "desk1" }',
                                           'workstations = { FD1 = "desk1" }\nalive_check = 2')
    text = text.replace("key_options = []", 'key_options = ["pool"]')
    site.config.write_text(text + '"pool" = [7]\n')
    site.start()
    pms.accept()
    yield site, pms
    pms.close()


def kr(kc="desk1", kt="N", rooms="RN101|", extra=""):
    encoder = f"KC{kc}|" if kc else ""  # none: the workstation names it
    return f"KR|{encoder}WSFD1|KT{kt}|{rooms}G#48213|GA{GA}|GD{GD}|DT11:00|IDANNA|{extra}{stamp()}"


def test_a_day_on_the_fias_link(fias):
    site, pms = fias
    start = pms.start_link()
    ld = start[0][1]
    assert start[0][0] == "LD" and ld["IF"] == "DL" and ld["V#"]
    served = {f["RI"] for rid, f, _ in start if rid == "LR"}
    assert {"KR", "KD", "KA", "KZ"} <= served and start[-1][0] == "LA"

    # Check-in: a new key, then a duplicate opening one more room.
    ka = pms.ask(kr())
    assert (ka["AS"], ka["KC"], ka["WS"], ka["G#"]) == ("OK", "desk1", "FD1", "48213"), ka
    card = site.card("desk1")
    assert ka["$2"] == card["serial"] and card["rooms"][0] == 101 and card["end"] == END and card["option"]
    # The card the link wrote is the card the tool writes for the same request.
    job = site.get("/v1/jobs").json()["jobs"][-1]
    assert job["interface"] == "fias" and job["who"] == "ANNA" and job["request"]["pms"]["reservation"] == "48213"
    written = (site.dir / "desk1" / "cards" / "card-1.sle4442").read_bytes()
    site.tool("desk1", "clear")
    site.tool("desk1", "issue", "guest", "--rooms", "101", "--start", job["request"]["start"], "--end",
              job["request"]["end"], "--option")
    assert (site.dir / "desk1" / "cards" / "card-1.sle4442").read_bytes() == written

    ka = pms.ask(kr(kc="", kt="D", rooms="RN101|SI102|"))  # WS FD1 -> desk1, whose card is not blank
    assert ka["AS"] == "UR" and "clear" in ka["CT"], ka
    ka = pms.ask(kr(kc="desk2", kt="D", rooms="RN101|SI102|", extra="KO1|"))
    assert ka["AS"] == "UR" and "IC" in ka["CT"], ka  # IC cards hold no access areas
    ka = pms.ask(kr(kc="desk2", kt="D", rooms="RN101|SI102|", extra="KO0|"))
    assert ka["AS"] == "OK" and site.card("desk2")["rooms"][:2] == [101, 102]
    assert site.card("desk2")["option"] is False

    # Refusals a desk agent can act on.
    for request, status, text in [
        (kr(kc="desk7"), "UR", "Unknown encoder desk7"),
        (kr(rooms="RN999|"), "UR", "Unknown room 999"),
        (kr(rooms="RN101|SI102;103;104;105|"), "UR", "Too many rooms"),
        (kr(kt="X"), "UR", "Unknown key type"),
    ]:
        ka = pms.ask(request)
        assert (ka["AS"], ka["CT"][:len(text)]) == (status, text), (request, ka)
    site.tool("desk1", "bench", "card", "remove")
    ka = pms.ask(kr())
    assert ka["AS"] == "RY" and "No card" in ka["CT"], ka
    site.tool("desk1", "bench", "card", "insert", "card-2")
    pid = freeze_worker(site, "desk1")
    site.post("/v1/encoders/desk1/read?wait=0")
    ka = pms.ask(kr())
    assert ka["AS"] == "BY", ka
    os.kill(pid, signal.SIGKILL)
    wait_for(lambda: site.get("/v1/encoders/desk1").json()["online"] and site.worker()["pid"] != pid,
             what="desk1's new worker")

    # Read a key, check out.
    kz = pms.ask(f"KZ|KCdesk2|WSFD1|{stamp()}", answer="KZ")
    assert (kz["AS"], kz["RN"], kz["SI"], kz["GD"], kz["DT"]) == ("OK", "101", "102", GD, "11:00"), kz
    ka = pms.ask(f"KD|KCdesk2|WSFD1|RN101|G#48213|IDANNA|{stamp()}")
    assert (ka["AS"], ka["G#"]) == ("OK", "48213") and site.card("desk2")["kind"] == "guest"
    assert site.get("/v1/jobs").json()["jobs"][-1]["action"] == "checkout"

    # Malformed and oversized records are answered or refused; the link goes on.
    ka = pms.ask("KR|KCdesk2|WSFD1|X|")
    assert ka["AS"] == "UR" and ka["KC"] == "desk2"
    pms.send_raw(b"garbage\x02KR|" + b"A" * 2500 + b"|\x03")
    assert pms.ask(f"KZ|KCdesk2|WSFD1|{stamp()}", answer="KZ")["AS"] == "OK"

    # The lock's alive check (every 2 s here), the PMS's own, and a new LS.
    rid, _, _ = pms.recv(timeout=5)
    assert rid == "LS"
    pms.send("LA|" + stamp())
    pms.send("LA|" + stamp())
    assert pms.recv()[0] == "LA"
    pms.send("LS|" + stamp())
    assert [pms.recv()[0] for _ in range(7)] == ["LD", "LR", "LR", "LR", "LR", "LR", "LA"]
    pms.send("LA|" + stamp())

    # A dropped link is restored; an ended one too.
    pms.conn.close()
    pms.accept()
    pms.start_link()
    assert pms.ask(f"KZ|KCdesk2|WSFD1|{stamp()}", answer="KZ")["AS"] == "OK"
    pms.send("LE|" + stamp())
    assert pms.recv()[0] == "LE"
    pms.accept()
    pms.start_link()
    assert "fias1 127.0.0.1" in site.log.read_text()


APP_KEY = {"x-app-key": str(uuid.uuid4())}


def opera(site, body=None, token=None, headers=None, hotel="HOTEL1"):
    h = {"Authorization": f"Bearer {token or site.pms_token}", "Content-Type": "application/json;charset=UTF-8",
         **APP_KEY, **(headers or {})}
    return requests.post(f"{site.url}/fof/v1/hotels/{hotel}/roomKeysOutbound", json=body, headers=h, timeout=25)


def key(key_type, **fields):
    body = {"keyType": key_type, "encoderId": "desk1", "encoderTerminal": "FD1", "roomKeyType": "HardKey",
            "keyUserType": "Guest", "keyRequestTime": "2026-03-12T09:15:00Z", "roomId": "101",
            "keyValidityStart": "2026-03-12T14:00:00.000+00:00", "keyValidityEnd": "2026-03-14T11:00:00.000+00:00",
            "reservationIdList": [{"id": "48213", "type": "Reservation"}], "userId": "ANNA",
            "additionalRooms": ["", ""], "guestShareFlag": "false", "noOfKeys": 1}
    body.update(fields)
    return body


REQUIRED = {"roomId", "responseCode", "encoderTerminal", "roomKeyType", "keyUserType", "keyValidityStart",
            "keyValidityEnd", "keyCreationTime"}


def test_opera_room_keys(make_site):
    site = make_site(medium="mifare")
    text = site.config.read_text()
    site.config.write_text(text + '"pool" = [7]\n')
    site.start()
    cases = [
        ("New", {"keyOptions": [{"keyOptionsCode": "pool"}]}, "OK", "Key made"),
        ("Duplicate", {}, "UR", "not blank"),
        ("Read", {}, "OK", "room 101"),
        ("Remove", {}, "OK", "Keys deleted"),
        ("ModifyStay", {}, "UR", "on-line"),
        ("RoomMove", {"oldRoomId": "102"}, "UR", "on-line"),
        ("New", {"roomKeyType": "MobileKey"}, "UR", "key cards only"),
        ("New", {"roomKeyType": "PinCode"}, "UR", "key cards only"),
        ("New", {"roomId": "999"}, "UR", "room"),
        ("New", {"encoderId": "", "encoderTerminal": "desk9"}, "UR", "Unknown encoder"),
        ("New", {"encoderId": "", "encoderTerminal": "desk2", "keyType": "OneShot", "keyValidityEnd": None}, "OK",
         "Key made"),
    ]
    for key_type, fields, code, text in cases:
        body = {k: v for k, v in key(key_type, **fields).items() if v is not None}
        r = opera(site, body)
        assert r.status_code == 201 and r.headers["Content-Type"] == "application/json;charset=UTF-8", r.text
        answer = r.json()
        assert REQUIRED <= answer.keys() and answer["noOfKeys"] == 1, answer
        assert (answer["responseCode"], text in answer["responseText"]) == (code, True), (key_type, fields, answer)
        if key_type == "New" and code == "OK" and "encoderTerminal" not in fields:
            assert answer["keyTrack"][0]["keyTrack2"] == site.card("desk1")["serial"]
            assert site.card("desk1")["ext_values"][0] == 7
        if key_type == "Read":
            assert answer["keyValidityEnd"].startswith("2026-03-14T11:00:00")
            assert [o["isEnabled"] for o in answer["keyOptions"] if o["keyOptionsCode"] == "pool"] == [True]
    jobs = site.get("/v1/jobs").json()["jobs"]
    assert {j["interface"] for j in jobs} == {"opera"} and jobs[0]["request"]["pms"]["pms_user"] == "ANNA"

    desk = site.add_token("frontdesk", "desk")
    for kw, status in [({"headers": {"x-app-key": "not-a-uuid"}}, 400), ({"hotel": "OTHER"}, 404),
                       ({"token": "kst_" + "0" * 64}, 401), ({"token": desk}, 403)]:
        r = opera(site, key("New"), **kw)
        assert r.status_code == status, (kw, r.text)
        assert (status >= 401 and status != 404) == (r.content == b""), r.content
    body = key("New")
    del body["keyRequestTime"]
    r = opera(site, body)
    assert r.status_code == 400 and r.json()["o:errorPath"] == "keyRequestTime"
    r = requests.post(f"{site.url}/fof/v1/hotels/HOTEL1/roomKeysOutbound", data="x",
                      headers={"Authorization": f"Bearer {site.pms_token}", "Content-Type": "text/plain", **APP_KEY})
    assert r.status_code == 415 and r.content == b""


def test_fias_link_authentication(make_site):
    pms = FiasPms()
    site = make_site(init_args=("--fias", f"127.0.0.1:{pms.port}"))
    key = "jzocXpstT2BxgpOktcbX6A=="
    text = site.config.read_text()
    site.config.write_text(text.replace("workstations =", 'key = "FidCrypt0S|c2hvcnQ="\nworkstations ='))
    check = subprocess.run([SERVER, "check", "--config", str(site.config)], capture_output=True, text=True)
    assert check.returncode != 0 and "fias[1].key" in check.stderr
    site.config.write_text(text.replace("workstations =", f'key = "FidCrypt0S|{key}"\nworkstations ='))
    site.start()
    pms.accept()
    pms.send("LS|DA260312|TI091500|")
    rid, ld, _ = pms.recv()
    assert rid == "LD" and ld["RT"] == "1" and ld["CG"].startswith("FidCryptAB;"), ld
    # The cryptogram is the LS's DA and TI under the key, a fresh IV in front.
    iv, cipher = base64.b64decode(ld["CG"][11:35]), base64.b64decode(ld["CG"][35:])
    plain = subprocess.run(["openssl", "enc", "-d", "-aes-128-cbc", "-K", base64.b64decode(key).hex(), "-iv", iv.hex()],
                           input=cipher, capture_output=True, check=True).stdout
    assert plain == b"260312091500"
    pms.close()
