"""The PMS side of a FIAS link, as a PMS's interface program plays it: it
listens, the lock system connects, it starts the link with LS, and it sends
key records and reads their answers."""
import socket
import time

STX, ETX = b"\x02", b"\x03"


def fields(text):
    """'KA|ASOK|CTKey made|' -> ('KA', {'AS': 'OK', 'CT': 'Key made'})."""
    parts = text.split("|")
    return parts[0], {p[:2]: p[2:] for p in parts[1:] if len(p) >= 2}


def stamp():
    return "DA" + time.strftime("%y%m%d") + "|TI" + time.strftime("%H%M%S") + "|"


class FiasPms:
    def __init__(self):
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(1)
        self.port = self.server.getsockname()[1]
        self.conn = None
        self.buf = b""

    def accept(self, timeout=15):
        self.server.settimeout(timeout)
        self.conn, _ = self.server.accept()
        self.conn.settimeout(15)
        self.buf = b""

    def send_raw(self, data):
        self.conn.sendall(data)

    def send(self, text):
        self.send_raw(STX + text.encode("latin-1") + ETX)

    def recv(self, timeout=15):
        """The next record (id, fields, text) from the lock system."""
        end = time.monotonic() + timeout
        while True:
            start = self.buf.find(STX)
            stop = self.buf.find(ETX, start + 1) if start >= 0 else -1
            if stop > start >= 0:
                text = self.buf[start + 1:stop].decode("latin-1")
                self.buf = self.buf[stop + 1:]
                rid, f = fields(text)
                return rid, f, text
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError("no record from the lock system")
            self.conn.settimeout(left)
            data = self.conn.recv(4096)
            if not data:
                raise ConnectionError("the lock system closed the link")
            self.buf += data

    def start_link(self):
        """LS, then the lock's LD, LRs and LA, then our LA: the link is alive."""
        self.send("LS|" + stamp())
        records = []
        while True:
            rid, f, text = self.recv()
            records.append((rid, f, text))
            if rid == "LA":
                break
        self.send("LA|" + stamp())
        return records

    def ask(self, text, answer="KA", timeout=20):
        """Sends a key record and returns the fields of its answer."""
        self.send(text)
        while True:
            rid, f, _ = self.recv(timeout)
            if rid == answer:
                return f
            if rid == "LS":  # the lock's alive check, between the answers
                self.send("LA|" + stamp())

    def close(self):
        if self.conn:
            self.conn.close()
        self.server.close()
