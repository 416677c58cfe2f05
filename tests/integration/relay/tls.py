#!/usr/bin/env python3
"""STARTTLS on the real smtpin with a certificate made here, hubsim as the
switch. Needs openssl, and swaks with its TLS module; skipped (77) without.
smtpin must still run after each check (it is started again if not).

1. Python's smtplib: EHLO, STARTTLS, EHLO (STARTTLS no longer offered), a
   page: 250, the page at the switch once, "TLS: TLSv1.x" in the SMTP log.
   A command sent in clear right behind STARTTLS is not answered under TLS.
2. swaks --tls with a page: exit 0, the page at the switch once.
3. openssl s_client -starttls smtp: TLS 1.2 completes; TLS 1.1 (security
   level 0) is refused, logged and counted as a failed handshake, while the
   very same command completes TLS 1.1 with openssl s_server and the same
   certificate, so the refusal is smtpin's (where this OpenSSL cannot do
   TLS 1.1 at all, that part is skipped and said so).
4. SIGHUP after a new certificate is written over the configured files: a
   session under TLS from before it still delivers a page, and the next
   handshake shows the new certificate. Then a pair whose key is not the
   certificate's is not taken: handshakes go on with the one in use.
5. TLS_REQUIRED True and TLS_EXEMPT 127.0.0.2 (smtpin restarted): a plain
   sender on 127.0.0.1 gets 530 to MAIL, RCPT and DATA and its page never
   arrives; a plain sender on 127.0.0.2 and a STARTTLS sender on 127.0.0.1
   are taken, each page once.
"""
import os
import re
import shutil
import signal
import smtplib
import socket
import ssl
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # no cache folder beside the tests
import harness  # noqa: E402
from harness import Broken, Skip, log

FROM, TO, HELO = "dispatch@test.localhost", "pager@test.localhost", "sender.test.localhost"
ARRIVAL = 10  # seconds from a 250 to the page at the switch
TLS11 = ["-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"]
RELOADED = "TLS certificate reloaded from"


def unverified():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def subject(sock):
    der = sock.getpeercert(binary_form=True)
    r = subprocess.run(["openssl", "x509", "-inform", "DER", "-noout", "-subject"], input=der, capture_output=True)
    return r.stdout.decode().strip()


def wait_for(condition, timeout):
    end = time.time() + timeout
    while not condition() and time.time() < end:
        time.sleep(0.1)
    return condition()


def message(text):
    return "From: %s\r\nTo: %s\r\nSubject: page %s\r\n\r\n%s\r\n" % (FROM, TO, text, harness.page_xml(text))


def session(rig, tls=True, source="127.0.0.1"):
    """An SMTP session after EHLO; with tls, after STARTTLS and EHLO again."""
    s = smtplib.SMTP("127.0.0.1", rig.smtp_port, HELO, 20, (source, 0))
    s.ehlo()
    if tls:
        s.starttls(context=unverified())
        s.ehlo()
    return s


def deliver(s, text):
    """The replies to MAIL, RCPT and DATA; the page goes only after a 354."""
    replies = [s.mail(FROM), s.rcpt(TO)]
    try:
        replies.append(s.data(message(text)))
    except smtplib.SMTPDataError as e:
        replies.append((e.smtp_code, e.smtp_error))
    return ["%d %s" % (code, text.decode("latin-1")) for code, text in replies]


def counted(rig, texts, wait=ARRIVAL):
    got = rig.arrivals(texts, wait)
    return {t: len(got.get(t, ())) for t in texts}


def smtplib_starttls(rig, run):
    text = "tls-smtplib-" + run
    s = smtplib.SMTP("127.0.0.1", rig.smtp_port, HELO, 20)
    s.ehlo()
    if not s.has_extn("starttls"):
        return ["check 1: EHLO did not offer STARTTLS: %s" % s.ehlo_resp.decode()], None
    code, said = s.starttls(context=unverified())
    s.ehlo()
    again = s.has_extn("starttls")
    version, cipher, cert = s.sock.version(), s.sock.cipher()[0], subject(s.sock)
    replies = deliver(s, text)
    s.quit()
    n = counted(rig, [text])[text]
    tls_line = re.compile(r"soc\[\d+\] TLS: TLSv1\.[23] \S+")
    logged = wait_for(lambda: tls_line.search(harness.read_text(rig.smtp_log())), 3)
    log("check 1: STARTTLS answered %d %s; %s %s, %s; STARTTLS offered again under TLS: %s; "
        "page: %s; at the switch %d times; SMTP log: %s"
        % (code, said.decode(), version, cipher, cert, again, replies[-1], n,
           logged.group(0) if logged else "no TLS line"))
    failures = []
    if again:
        failures.append("check 1: EHLO under TLS still offered STARTTLS")
    if not replies[-1].startswith("250") or n != 1:
        failures.append("check 1: the page under TLS was answered %s and reached the switch %d times"
                        % (replies[-1], n))
    if not logged:
        failures.append("check 1: no 'TLS: TLSv1.x' line in the SMTP log after the handshake")
    return failures + injection(rig), cert


def reply(sock):
    """The last line of one reply, read a byte at a time so that nothing of a TLS record is taken in clear."""
    line = b""
    while not re.match(rb"\d{3} .*\n", line):
        if line.endswith(b"\n"):
            line = b""
        c = sock.recv(1)
        if not c:
            return "closed"
        line += c
    return line.decode("latin-1").strip()


def injection(rig):
    with socket.create_connection(("127.0.0.1", rig.smtp_port), 20) as raw:
        reply(raw)
        raw.sendall(b"EHLO " + HELO.encode() + b"\r\n")
        reply(raw)
        # Behind STARTTLS in the same packet: someone in the path could have put it there.
        raw.sendall(b"STARTTLS\r\nVRFY injected\r\n")
        ready = reply(raw)
        with unverified().wrap_socket(raw) as tls:
            tls.sendall(b"NOOP\r\nQUIT\r\n")
            after = [reply(tls), reply(tls)]
    log("check 1: STARTTLS with a VRFY behind it in clear: %s; under TLS NOOP and QUIT got %s" % (ready, after))
    if not after[0].startswith("250") or not after[1].startswith("221"):
        return ["check 1: a command sent in clear behind STARTTLS was answered under TLS: %s" % after]
    return []


def swaks(rig, run):
    text = "tls-swaks-" + run
    r = subprocess.run(["swaks", "--tls", "--server", "127.0.0.1", "--port", str(rig.smtp_port), "--from", FROM,
                        "--to", TO, "--helo", HELO, "--header", "Subject: page " + text,
                        "--body", harness.page_xml(text), "--timeout", "20"],
                       capture_output=True, text=True, timeout=60)
    n = counted(rig, [text])[text]
    started = re.search(r"TLS started.*", r.stdout)
    log("check 2: swaks exit %d, %s; at the switch %d times"
        % (r.returncode, started.group(0) if started else "no TLS", n))
    if r.returncode != 0 or n != 1:
        return ["check 2: swaks --tls exit %d, the page at the switch %d times:\n%s"
                % (r.returncode, n, (r.stdout + r.stderr)[-1500:])]
    return []


def s_client(port, opts):
    """The protocol of the handshake `openssl s_client -starttls smtp` completed, or None."""
    r = subprocess.run(["openssl", "s_client", "-starttls", "smtp", "-connect", "127.0.0.1:%d" % port] + opts,
                       stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    cipher = re.search(r"^New, \S+, Cipher is (\S+)", r.stdout, re.M)
    protocol = re.search(r"^\s*Protocol\s*:\s*(\S+)", r.stdout, re.M)
    return protocol.group(1) if cipher and cipher.group(1) != "(NONE)" and protocol else None


def smtp_front(backend):
    """Plays an SMTP server up to STARTTLS for one client, then joins it to
    `backend`: s_client -starttls smtp needs that, openssl s_server has none."""
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(30)

    def pump(a, b):
        try:
            while data := a.recv(65536):
                b.sendall(data)
            b.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def serve():
        with listener, listener.accept()[0] as c:
            lines = c.makefile("rb", buffering=0)  # unbuffered: the handshake must go on to the backend
            c.sendall(b"220 control ESMTP\r\n")
            lines.readline()
            c.sendall(b"250-control\r\n250 STARTTLS\r\n")
            lines.readline()
            c.sendall(b"220 2.0.0 Ready to start TLS\r\n")
            with socket.create_connection(("127.0.0.1", backend), 10) as b:
                back = threading.Thread(target=pump, args=(b, c), daemon=True)
                back.start()
                pump(c, b)
                back.join(10)
    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]


def tls11_control(cert, key):
    port = harness.free_port()
    server = subprocess.Popen(["openssl", "s_server", "-accept", "127.0.0.1:%d" % port, "-cert", cert, "-key", key]
                              + TLS11, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    harness.on_exit(lambda: harness.stop_process(server, 5))
    ready = ""
    while "ACCEPT" not in ready and server.poll() is None:
        ready = server.stdout.readline().decode("latin-1")
    protocol = s_client(smtp_front(port), TLS11) if "ACCEPT" in ready else None
    harness.stop_process(server, 5)
    return protocol


def scrape(status):
    try:
        return harness.metrics(status)
    except OSError:  # smtpin gone: the caller says so
        return {}


def protocols(rig, status, cert, key):
    yes, fails = 'smtpin_smtp_sessions_total{tls="yes"}', "smtpin_tls_handshake_failures_total"
    m0 = scrape(status)
    tls12 = s_client(rig.smtp_port, ["-tls1_2"])
    wait_for(lambda: scrape(status).get(yes, 0) > m0[yes], 3)
    m1 = scrape(status)
    log("check 3: s_client -tls1_2: %s; TLS sessions counted +%d" % (tls12 or "no handshake", m1[yes] - m0[yes]))
    failures = []
    if tls12 != "TLSv1.2" or m1[yes] - m0[yes] != 1:
        failures.append("check 3: s_client -tls1_2 got %s and smtpin counted %d TLS sessions for it"
                        % (tls12, m1[yes] - m0[yes]))
    control = tls11_control(cert, key)
    if control != "TLSv1.1":
        log("check 3: this OpenSSL does not complete TLS 1.1 even with its own s_server (%s); "
            "the refusal of TLS 1.1 is not checked here" % (control or "no handshake"))
        return failures
    failed_line = "TLS: Handshake failed"
    failed_before = harness.read_text(rig.smtp_log()).count(failed_line)
    tls11 = s_client(rig.smtp_port, TLS11)
    wait_for(lambda: rig.app.poll() is not None or scrape(status).get(fails, 0) > m1[fails], 3)
    logged = wait_for(lambda: harness.read_text(rig.smtp_log()).count(failed_line) > failed_before, 3)
    m2 = scrape(status)
    log("check 3: s_client -tls1_1: %s with openssl s_server, %s with smtpin; failed handshakes counted +%s, %s"
        % (control, tls11 or "refused", m2[fails] - m1[fails] if m2 else "(no smtpin)",
           "logged" if logged else "not in the SMTP log"))
    if tls11 is not None:
        failures.append("check 3: smtpin completed a %s handshake; TLS 1.2 and 1.3 only are to be taken" % tls11)
    elif m2 and (m2[fails] - m1[fails] != 1 or not logged):  # no m2: smtpin ended, the caller says so
        failures.append("check 3: the refused TLS 1.1 handshake was counted %d times in "
                        "smtpin_tls_handshake_failures_total and %s in the SMTP log"
                        % (m2[fails] - m1[fails], "logged" if logged else "not logged"))
    return failures


def sighup(rig, reloads):
    os.kill(rig.app.pid, signal.SIGHUP)
    if not wait_for(lambda: harness.read_text(rig.app_out).count("IV: SIGHUP:") > reloads, 5):
        raise Broken("smtpin logged nothing after SIGHUP:\n" + harness.read_text(rig.app_out)[-1000:])
    return harness.read_text(rig.app_out).split("IV: SIGHUP:")[-1].splitlines()[0].strip()


def handshake_subject(rig):
    try:
        s = session(rig)
    except (OSError, smtplib.SMTPException) as e:
        return "handshake failed: %r" % e
    cert = subject(s.sock)
    s.quit()
    return cert


def renewal(rig, run, work, cert, key, first):
    text = "tls-across-sighup-" + run
    s = session(rig)
    before = subject(s.sock)
    renewed_cert, renewed_key = harness.make_pair(work, "renewed", "renewed.localhost")
    shutil.copyfile(renewed_cert, cert)
    shutil.copyfile(renewed_key, key)
    said = sighup(rig, harness.read_text(rig.app_out).count("IV: SIGHUP:"))
    replies = deliver(s, text)
    s.quit()
    n = counted(rig, [text])[text]
    after = handshake_subject(rig)
    log("check 4: SIGHUP: %s; the session from before it (%s): %s, at the switch %d times; next handshake: %s"
        % (said, before, replies[-1], n, after))
    failures = []
    if not said.startswith(RELOADED):
        failures.append("check 4: the new certificate was not taken: " + said)
    if before != first or not replies[-1].startswith("250") or n != 1:
        failures.append("check 4: the session opened before SIGHUP (%s) had its page answered %s and at the "
                        "switch %d times" % (before, replies[-1], n))
    if "renewed.localhost" not in after:
        failures.append("check 4: the handshake after SIGHUP showed %s, not the new certificate" % after)

    # Both RSA, but not a pair: taking them would fail every handshake from then on.
    odd_cert, _ = harness.make_pair(work, "odd", "odd.localhost")
    shutil.copyfile(odd_cert, cert)
    said = sighup(rig, harness.read_text(rig.app_out).count("IV: SIGHUP:"))
    kept = handshake_subject(rig)
    shutil.copyfile(renewed_cert, cert)
    log("check 4: SIGHUP with another certificate than the key's: %s; next handshake: %s" % (said, kept))
    if "renewed.localhost" not in kept:
        failures.append("check 4: after SIGHUP with a certificate that is not the key's, the next handshake got "
                        "%s, not the certificate in use" % kept)
    return failures


def required(rig, run):
    rig.restart([("TLS_REQUIRED", "True"), ("TLS_EXEMPT", "127.0.0.2")])
    senders = {"plain": (False, "127.0.0.1"), "exempt": (False, "127.0.0.2"), "tls": (True, "127.0.0.1")}
    texts = {name: "tls-required-%s-%s" % (name, run) for name in senders}
    replies = {}
    for name, (tls, source) in senders.items():
        s = session(rig, tls, source)
        replies[name] = deliver(s, texts[name])
        s.quit()
    counted(rig, [texts["exempt"], texts["tls"]])
    time.sleep(2)  # the refused page would have come by now with the others
    n = counted(rig, list(texts.values()), 0)
    for name in senders:
        log("check 5: %-6s MAIL, RCPT, DATA: %s; at the switch %d times" % (name, replies[name], n[texts[name]]))
    failures = []
    if replies["plain"][0] != "530 5.7.0 Must issue a STARTTLS command first" or \
            any(not r.startswith("530") for r in replies["plain"]) or n[texts["plain"]]:
        failures.append("check 5: a plain sender not exempt got %s and its page reached the switch %d times"
                        % (replies["plain"], n[texts["plain"]]))
    for name in ("exempt", "tls"):
        if any(not r.startswith("250") for r in replies[name]) or n[texts[name]] != 1:
            failures.append("check 5: the %s sender got %s and its page reached the switch %d times"
                            % (name, replies[name], n[texts[name]]))
    return failures


def test():
    for tool in ("openssl", "swaks"):
        if not shutil.which(tool):
            raise Skip("%s is not installed (bash scripts/install-deps)" % tool)
    support = subprocess.run(["swaks", "--support"], capture_output=True, text=True)
    if "TLS supported" not in support.stdout + support.stderr:
        raise Skip("swaks cannot do TLS without Net::SSLeay (bash scripts/install-deps)")
    work = harness.temp_dir("smtpin-tls-")
    cert, key = harness.make_pair(work, "smtpin", "localhost")
    status = harness.free_port()
    rig = harness.Rig(work, [("TLS_CERT", cert), ("TLS_KEY", key), ("STATUS_LISTEN", "127.0.0.1:%d" % status)])
    run = "%x" % int(time.time())
    log("smtpin on %d (status %d), hubsim on %d" % (rig.smtp_port, status, rig.hub_port))
    failures, first = smtplib_starttls(rig, run)
    for n, check in enumerate([lambda: swaks(rig, run), lambda: protocols(rig, status, cert, key),
                               lambda: renewal(rig, run, work, cert, key, first), lambda: required(rig, run)], 2):
        failures += check()
        if rig.app.poll() is not None:
            rc = rig.app.returncode
            failures.append("check %d: smtpin ended (%s %d); started again for the checks after it"
                            % (n, "exit status" if rc >= 0 else "signal", abs(rc)))
            rig.restart()
    if not rig.alive():
        failures.append("smtpin or hubsim ended during the test:\n" + harness.read_text(rig.app_out)[-2000:])
    return failures


if __name__ == "__main__":
    harness.main(test)
