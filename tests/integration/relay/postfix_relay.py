#!/usr/bin/env python3
"""A private Postfix relays every mail to the real smtpin, hubsim is the
switch. Needs root and Postfix (scripts/install-deps); skipped (77) without.

1. 500 pages, each with its own text, submitted to Postfix by 8 senders at
   once: every one reaches the switch exactly once within the deadline, and
   Postfix reuses its connections to smtpin (conn_use= in its log).
2. Two mails with a line "QUIT" (and "quit") after the closing tag, among 50
   other pages submitted at the same time: every page is at the switch
   within 10 s of Postfix taking it, and Postfix defers none.
"""
import collections
import contextlib
import os
import pwd
import re
import shutil
import smtplib
import socket
import subprocess
import sys
import threading
import time
from email.message import EmailMessage

sys.dont_write_bytecode = True  # no cache folder beside the tests
import harness  # noqa: E402
from harness import Broken, Skip, log

SBIN = "/usr/sbin:/usr/bin:/sbin:/bin"
BULK, BULK_SENDERS, BULK_DEADLINE = 500, 8, 60
MIXED, MIXED_SENDERS, MIXED_LIMIT = 50, 13, 10.0

MAIN_CF = """\
compatibility_level = 3.6
queue_directory = {dir}/queue
data_directory = {dir}/data
maillog_file = {dir}/maillog
maillog_file_prefixes = {dir}
mail_owner = postfix
setgid_group = postdrop
myhostname = relay.test.localhost
mydomain = test.localhost
myorigin = $myhostname
mydestination =
local_recipient_maps =
alias_maps =
alias_database =
inet_interfaces = loopback-only
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
relayhost = [127.0.0.1]:{smtpin}
smtp_connection_cache_destinations = [127.0.0.1]:{smtpin}
default_transport = smtp
relay_transport = smtp
smtpd_relay_restrictions = permit_mynetworks, reject
smtpd_tls_security_level = none
smtp_tls_security_level = none
smtp_dns_support_level = disabled
smtputf8_enable = no
biff = no
# A deferral shows within the test's limits instead of after minutes.
queue_run_delay = 1s
minimal_backoff_time = 1s
maximal_backoff_time = 2s
"""

MASTER_CF = """\
127.0.0.1:{port} inet n - n - - smtpd
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
tlsmgr    unix  -       -       n       1000?   1       tlsmgr
tlsproxy  unix  -       -       n       -       0       tlsproxy
postlog   unix-dgram n  -       n       -       1       postlogd
"""


class Postfix:
    """Started from its own folder; `extra` is added to main.cf and `tables`
    (name: text) written beside it."""

    def __init__(self, work, relay_port, extra="", tables=None):
        postfix = shutil.which("postfix", path=SBIN)
        self.dir = os.path.join(work, "postfix")
        self.conf = os.path.join(self.dir, "conf")
        for sub in ("conf", "queue", "data"):
            os.makedirs(os.path.join(self.dir, sub))
        os.chmod(work, 0o755)
        os.chmod(self.dir, 0o755)
        shutil.chown(os.path.join(self.dir, "data"), "postfix")
        self.port = harness.free_port()
        with open(os.path.join(self.conf, "main.cf"), "w") as f:
            f.write(MAIN_CF.format(dir=self.dir, smtpin=relay_port) + extra.format(conf=self.conf))
        for name, text in (tables or {}).items():
            with open(os.path.join(self.conf, name), "w") as f:
                f.write(text)
        with open(os.path.join(self.conf, "master.cf"), "w") as f:
            f.write(MASTER_CF.format(port=self.port))
        self.cmd = [postfix, "-c", self.conf]
        harness.on_exit(self.stop)
        r = subprocess.run(self.cmd + ["start"], capture_output=True, text=True)
        if r.returncode != 0:
            raise Broken("the private Postfix did not start:\n" + r.stdout + r.stderr + self.log())
        for _ in range(100):
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", self.port), 1):
                return
            time.sleep(0.1)
        raise Broken("the private Postfix does not listen on %d:\n%s" % (self.port, self.log()))

    def log(self):
        return harness.read_text(os.path.join(self.dir, "maillog"))

    def stop(self):
        pid_file = os.path.join(self.dir, "queue/pid/master.pid")
        pid = int(harness.read_text(pid_file).strip() or 0)
        subprocess.run(self.cmd + ["stop"], capture_output=True)
        # "postfix stop" does not wait; the queue folder goes only once the master is gone.
        end = time.time() + 10
        while pid and os.path.exists("/proc/%d" % pid) and time.time() < end:
            time.sleep(0.1)
        if pid and os.path.exists("/proc/%d" % pid):
            os.kill(pid, 9)


def mail(text, trailer=""):
    m = EmailMessage()
    m["From"] = "dispatch@test.localhost"
    m["To"] = "pager@test.localhost"
    m["Subject"] = "page " + text
    m.set_content(harness.page_xml(text) + "\n" + trailer, cte="7bit")
    return m


def submit(port, mails, senders):
    """Hands every mail to Postfix from `senders` connections at once;
    returns text -> time Postfix answered 250."""
    taken, errors, lock = {}, [], threading.Lock()

    def sender(share):
        try:
            with smtplib.SMTP("127.0.0.1", port, local_hostname="dispatch.test.localhost", timeout=30) as s:
                for text, m in share:
                    s.send_message(m)
                    with lock:
                        taken[text] = time.time()
        except (smtplib.SMTPException, OSError) as e:
            with lock:
                errors.append(repr(e))

    threads = [threading.Thread(target=sender, args=(mails[i::senders],), daemon=True) for i in range(senders)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    if errors or len(taken) != len(mails):
        raise Broken("Postfix took %d of %d mails: %s" % (len(taken), len(mails), "; ".join(errors[:5])))
    return taken


def bulk(rig, postfix, run):
    texts = ["bulk-%s-%03d" % (run, i) for i in range(BULK)]
    start = time.time()
    taken = submit(postfix.port, [(t, mail(t)) for t in texts], BULK_SENDERS)
    log("check 1: Postfix took %d pages in %.1f s" % (len(taken), time.time() - start))
    got = rig.arrivals(texts, BULK_DEADLINE - (time.time() - start))
    missing, twice = harness.tally(texts, got)
    last = max((min(v) for v in got.values()), default=start)
    time.sleep(1)  # postlogd writes a moment later
    plog = postfix.log()
    reuse = len(re.findall(r"conn_use=\d+", plog))
    sent = plog.count("status=sent")
    log("check 1: %d of %d at the switch (last %.1f s after the first submission), %d missing, %d more than once; "
        "Postfix: %d sent, %d over a reused connection, %d deferred, %d bounced"
        % (len(got), BULK, last - start, len(missing), len(twice), sent, reuse, plog.count("status=deferred"),
           plog.count("status=bounced")))
    return harness.relay_failures(missing, twice, BULK_DEADLINE, plog, "check 1: ")


def quit_in_body(rig, postfix, run):
    texts = ["mixed-%s-%02d" % (run, i) for i in range(MIXED)]
    mails = [(t, mail(t)) for t in texts]
    for word in ("QUIT", "quit"):
        t = "signature-%s-%s" % (word, run)
        texts.append(t)
        # Amid the others, so pages relayed after it over the same connection show a lost step.
        mails.insert(len(mails) // 2, (t, mail(t, "Regards,\n%s\n-- \nControl room\n" % word)))
    log_from = len(postfix.log())
    taken = submit(postfix.port, mails, MIXED_SENDERS)
    got = rig.arrivals(texts, max(taken.values()) + MIXED_LIMIT - time.time())
    missing, twice = harness.tally(texts, got)
    delays = {t: min(got[t]) - taken[t] for t in texts if t in got}
    late = sorted((t for t in delays if delays[t] > MIXED_LIMIT), key=delays.get)
    time.sleep(1)
    deferred = [line for line in postfix.log()[log_from:].splitlines() if "status=deferred" in line]
    worst = max(delays.values(), default=0)
    log("check 2: %d of %d at the switch, slowest %.2f s after Postfix took it; the QUIT mails after %s s; "
        "%d missing, %d late, %d more than once; Postfix deferred %d"
        % (len(got), len(texts), worst, ", ".join("%.2f" % delays[t] if t in delays else "never" for t in texts[-2:]),
           len(missing), len(late), len(twice), len(deferred)))
    failures = []
    if missing:
        failures.append("check 2: %d pages never reached the switch within %.0f s, e.g. %s"
                        % (len(missing), MIXED_LIMIT, missing[:5]))
    if late:
        failures.append("check 2: %d pages reached the switch more than %.0f s after Postfix took them: %s"
                        % (len(late), MIXED_LIMIT, ", ".join("%s %.1f s" % (t, delays[t]) for t in late[:5])))
    if twice:
        failures.append("check 2: %d pages reached the switch more than once, e.g. %s" % (len(twice), twice[:5]))
    if deferred:
        reasons = collections.Counter(re.sub(r".*status=deferred \((.*)\)$", r"\1", line) for line in deferred)
        failures.append("check 2: Postfix deferred %d deliveries:\n  %s" % (
            len(deferred), "\n  ".join("%d x %s" % (n, why) for why, n in reasons.most_common(5))))
    return failures


def need_postfix():
    if os.geteuid() != 0:
        raise Skip("the private Postfix needs root")
    if not shutil.which("postfix", path=SBIN):
        raise Skip("Postfix is not installed (bash scripts/install-deps)")
    try:
        pwd.getpwnam("postfix")
    except KeyError:
        raise Skip("Postfix's user is missing")


def test():
    need_postfix()
    work = harness.temp_dir("smtpin-relay-")
    rig = harness.Rig(work)
    postfix = Postfix(work, rig.smtp_port)
    run = "%x" % int(time.time())
    log("smtpin on %d, hubsim on %d, Postfix on %d" % (rig.smtp_port, rig.hub_port, postfix.port))
    failures = bulk(rig, postfix, run)
    failures += quit_in_body(rig, postfix, run)
    if not rig.alive():
        failures.append("smtpin or hubsim ended during the test:\n" + harness.read_text(rig.app_out)[-2000:])
    return failures


if __name__ == "__main__":
    harness.main(test)
