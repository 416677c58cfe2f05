#!/usr/bin/env python3
"""Sends COUNT pages from SENDERS parallel senders, each page with its own
text, and prints one line per page: "OK <text>" for a 250, "NO <code> <text>"
otherwise. Every sender opens a new connection every PER_CONNECTION mails,
and waits PACE seconds (default 0) after each mail. With RETRY seconds, a
mail answered 451 is sent again after a second, as a mail server would,
until it is taken or RETRY seconds have passed."""
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


def send_one(s, text, retry):
    deadline = time.monotonic() + retry
    while True:
        try:
            s.send_message(page(text))
            return f"OK {text}"
        except smtplib.SMTPResponseException as e:
            if e.smtp_code != 451 or time.monotonic() >= deadline:
                return f"NO {e.smtp_code} {text}"
            s.rset()
            time.sleep(1)


def sender(port, texts, per_connection, pace, retry, out, lock):
    for start in range(0, len(texts), per_connection):
        batch = texts[start:start + per_connection]
        try:
            s = smtplib.SMTP("127.0.0.1", port, timeout=30)
        except OSError as e:
            with lock:
                out.extend(f"NO connect {t}" for t in batch)
            continue
        for t in batch:
            try:
                result = send_one(s, t, retry)
            except (smtplib.SMTPException, OSError):
                result = f"NO lost {t}"
                try:
                    s.close()
                    s = smtplib.SMTP("127.0.0.1", port, timeout=30)
                except OSError:
                    pass
            with lock:
                out.append(result)
            if pace:
                time.sleep(pace)
        try:
            s.quit()
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
