#!/usr/bin/env python3
"""A private Postfix relays to the real smtpin over TLS, required by a policy
entry "encrypt" for smtpin's next hop only (no TLS for any other
destination); smtpin has a certificate made here, hubsim is the switch.
Needs root, Postfix and openssl; skipped (77) without.

200 pages, each with its own text, submitted by 4 senders at once: every one
reaches the switch exactly once, Postfix reuses its connections (conn_use=),
logs a TLS connection to smtpin for each session smtpin counts as TLS, and
defers none; smtpin counts no session without TLS.
"""
import re
import shutil
import sys
import time

sys.dont_write_bytecode = True  # no cache folder beside the tests
import harness  # noqa: E402
import postfix_relay  # noqa: E402
from harness import Skip, log

PAGES, SENDERS, DEADLINE = 200, 4, 60

TLS_CF = """\
smtp_tls_policy_maps = texthash:{conf}/tls_policy
smtp_tls_loglevel = 1
# Without it Postfix closes every TLS connection after one mail.
smtp_tls_connection_reuse = yes
"""


def test():
    postfix_relay.need_postfix()
    if not shutil.which("openssl"):
        raise Skip("openssl is not installed (bash scripts/install-deps)")
    work = harness.temp_dir("smtpin-relay-tls-")
    cert, key = harness.make_pair(work, "smtpin", "localhost")
    status = harness.free_port()
    rig = harness.Rig(work, [("TLS_CERT", cert), ("TLS_KEY", key), ("STATUS_LISTEN", "127.0.0.1:%d" % status)])
    postfix = postfix_relay.Postfix(work, rig.smtp_port, TLS_CF,
                                    {"tls_policy": "[127.0.0.1]:%d encrypt\n" % rig.smtp_port})
    log("smtpin on %d, hubsim on %d, Postfix on %d" % (rig.smtp_port, rig.hub_port, postfix.port))

    run = "%x" % int(time.time())
    texts = ["tls-relay-%s-%03d" % (run, i) for i in range(PAGES)]
    start = time.time()
    taken = postfix_relay.submit(postfix.port, [(t, postfix_relay.mail(t)) for t in texts], SENDERS)
    got = rig.arrivals(texts, DEADLINE - (time.time() - start))
    missing, twice = harness.tally(texts, got)
    last = max((min(v) for v in got.values()), default=start)

    yes, no = 'smtpin_smtp_sessions_total{tls="yes"}', 'smtpin_smtp_sessions_total{tls="no"}'
    # tlsproxy makes each handshake; the smtp process that uses it logs it again.
    established = re.compile(r"postfix/tlsproxy\[\d+\]: .*TLS connection established to [^ ]*:%d:" % rig.smtp_port)

    def sessions():
        return harness.metrics(status), len(established.findall(postfix.log()))
    # Postfix keeps idle connections a while, and smtpin counts a session once it ends.
    end = time.time() + 10
    counts, tls_logged = sessions()
    while counts[yes] != tls_logged and time.time() < end:
        time.sleep(0.5)
        counts, tls_logged = sessions()
    plog = postfix.log()
    reuse = len(re.findall(r"conn_use=\d+", plog))
    deferred = plog.count("status=deferred")
    log("Postfix took %d pages in %.1f s; %d at the switch (last %.1f s after the first submission), %d missing, "
        "%d more than once; Postfix: %d sent, %d over a reused connection, %d deferred, %d TLS connections to "
        "smtpin logged; smtpin: %d sessions with TLS, %d without"
        % (len(taken), max(taken.values()) - start, len(got), last - start, len(missing), len(twice),
           plog.count("status=sent"), reuse, deferred, tls_logged, counts[yes], counts[no]))
    failures = harness.relay_failures(missing, twice, DEADLINE, plog)
    if deferred:
        failures.append("Postfix deferred %d deliveries, e.g. %s" % (
            deferred, [line for line in plog.splitlines() if "status=deferred" in line][:3]))
    if tls_logged == 0 or counts[yes] != tls_logged or counts[no] != 0:
        failures.append("Postfix logged %d TLS connections to smtpin; smtpin counted %d sessions with TLS and %d "
                        "without" % (tls_logged, counts[yes], counts[no]))
    if not rig.alive():
        failures.append("smtpin or hubsim ended during the test:\n" + harness.read_text(rig.app_out)[-2000:])
    return failures


if __name__ == "__main__":
    harness.main(test)
