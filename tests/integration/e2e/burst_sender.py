#!/usr/bin/env python3
"""Sends COUNT pages from SENDERS parallel senders, each page with its own
text, and prints one line per page: "OK <text>" for a 250, "NO <code> <text>"
otherwise. Every sender opens a new connection every PER_CONNECTION mails,
and waits PACE seconds (default 0) after each mail. With RETRY seconds, a
mail answered 451 or 421, or whose connection failed, is sent again as a
mail server would, until it is taken or RETRY seconds have passed."""
import smtplib
import sys
import threading
import time
from email.message import EmailMessage


def page(text):
    m = EmailMessage()
    m["From"] = "dispatch@test"
    m["To"] = "pager@test"
    m["Subject"] = "page"
    m.set_content("<PagerMessage><PagerPin>7000</PagerPin><MessageHash>burst</MessageHash>"
                  f"<Message>{text}</Message><MachineName>BURST</MachineName>"
                  "<InterfaceAddress>127.0.0.1</InterfaceAddress>"
                  "<IsDispatchMessage>False</IsDispatchMessage></PagerMessage>")
    return m


class Sender:
    def __init__(self, port, per_connection, retry):
        self.port, self.per_connection, self.retry = port, per_connection, retry
        self.s, self.sent_here = None, 0

    def drop(self):
        if self.s is not None:
            try:
                self.s.close()
            except (smtplib.SMTPException, OSError):
                pass
        self.s = None

    def send(self, text):
        deadline = time.monotonic() + self.retry
        while True:
            try:
                if self.s is None:
                    self.s = smtplib.SMTP("127.0.0.1", self.port, timeout=30)
                    self.sent_here = 0
                self.s.send_message(page(text))
                result = f"OK {text}"
                break
            except smtplib.SMTPResponseException as e:
                if e.smtp_code not in (451, 421) or time.monotonic() >= deadline:
                    result = f"NO {e.smtp_code} {text}"
                    break
                if e.smtp_code == 421:
                    self.drop()
                else:
                    self.s.rset()
                time.sleep(1)
            except (smtplib.SMTPException, OSError):
                self.drop()
                if time.monotonic() >= deadline:
                    result = f"NO lost {text}"
                    break
                time.sleep(0.2)
        self.sent_here += 1
        if self.s is not None and self.sent_here >= self.per_connection:
            try:
                self.s.quit()
            except (smtplib.SMTPException, OSError):
                pass
            self.s = None
        return result


def sender(port, texts, per_connection, pace, retry, out, lock):
    s = Sender(port, per_connection, retry)
    for t in texts:
        result = s.send(t)
        with lock:
            out.append(result)
        if pace:
            time.sleep(pace)
    if s.s is not None:
        try:
            s.s.quit()
        except (smtplib.SMTPException, OSError):
            pass


def main():
    port, count, senders, per_connection = (int(a) for a in sys.argv[1:5])
    pace = float(sys.argv[5]) if len(sys.argv) > 5 else 0.0
    retry = float(sys.argv[6]) if len(sys.argv) > 6 else 0.0
    out, lock, threads = [], threading.Lock(), []
    for k in range(senders):
        texts = [f"Burst page {k}-{i}" for i in range(k, count, senders)]
        t = threading.Thread(target=sender, args=(port, texts, per_connection, pace, retry, out, lock))
        t.start()
        threads.append(t)
    for t in threads:
        t.join()
    print("\n".join(out))


if __name__ == "__main__":
    main()
