"""What the relay tests share: hubsim and smtpin from the build on free
loopback ports and a data folder of their own, the pages the switch got,
and a clean end however a test ends (every child stopped, every temporary
folder removed; KEEP_TEMP=1 keeps the folder to look at after a failure).
Exit status: 0 pass, 1 fail, 77 skip."""
import atexit
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD = os.path.join(ROOT, os.environ.get("BUILD_DIR", "build"))
SMTPIN = os.environ.get("SMTPIN", os.path.join(BUILD, "src/app/smtpin"))
HUBSIM = os.environ.get("HUBSIM", os.path.join(BUILD, "tools/hubsim/hubsim"))

PASS, FAIL, SKIP = 0, 1, 77
_cleanups = []


class Skip(Exception):
    pass


class Broken(Exception):
    """The rig itself could not be set up or run."""


def log(text):
    print(text, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def on_exit(fn):
    _cleanups.append(fn)


def _clean():
    while _cleanups:
        try:
            _cleanups.pop()()
        except Exception:  # one failed clean-up must not keep the others from running
            traceback.print_exc()


def temp_dir(prefix):
    d = tempfile.mkdtemp(prefix=prefix)
    if os.environ.get("KEEP_TEMP") == "1":
        on_exit(lambda: log("kept " + d))
    else:
        on_exit(lambda: shutil.rmtree(d, ignore_errors=True))
    return d


def stop_process(p, grace=20):
    if p.poll() is None:
        p.terminate()
        try:
            p.wait(grace)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def read_text(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("latin-1")
    except FileNotFoundError:
        return ""


_PAGE_LINE = re.compile(r"^(\d+\.\d+) RX (NEWMESS|REPEAT) (\d+) to (\S+): (.*)$", re.M)


class Rig:
    """hubsim as the switch and smtpin on the embedded default, both on free
    ports, with `settings` set through `smtpin config set` first."""

    def __init__(self, work, settings=()):
        self.work = work
        self.data = os.path.join(work, "data")
        self.smtp_port, self.hub_port = free_port(), free_port()
        self.configure([("SMTPPORT", self.smtp_port), ("SWITCH_PORT", self.hub_port),
                        ("STATUS_LISTEN", "")] + list(settings))
        self.hub_out = os.path.join(work, "hubsim.out")
        self.app_out = os.path.join(work, "smtpin.out")
        with open(self.hub_out, "wb") as out:
            self.hub = subprocess.Popen([HUBSIM, "--port", str(self.hub_port), "--timestamps"],
                                        stdout=out, stderr=subprocess.STDOUT)
        on_exit(lambda: stop_process(self.hub, 5))
        self.app = None
        on_exit(lambda: self.app and stop_process(self.app))
        self.start_app()

    def configure(self, settings):
        for name, value in settings:
            r = subprocess.run([SMTPIN, "--data-dir", self.data, "config", "set", name, str(value)],
                               capture_output=True, text=True)
            if r.returncode != 0:
                raise Broken("config set %s %s: %s" % (name, value, (r.stdout + r.stderr).strip()))

    def start_app(self):
        """Starts smtpin and waits until it listens and has logged in to hubsim."""
        listening = read_text(self.app_out).count("listening on")
        ready = read_text(self.hub_out).count("RX READY")
        with open(self.app_out, "ab") as out:
            self.app = subprocess.Popen([SMTPIN, "--headless", "--data-dir", self.data],
                                        stdout=out, stderr=subprocess.STDOUT)
        end = time.time() + 30
        while not (read_text(self.app_out).count("listening on") > listening
                   and read_text(self.hub_out).count("RX READY") > ready):
            if time.time() > end or self.app.poll() is not None:
                raise Broken("smtpin did not start and log in to hubsim:\n" + read_text(self.app_out)[-3000:])
            time.sleep(0.05)

    def restart(self, settings=()):
        """Stops smtpin, sets `settings` and starts it again on the same data folder."""
        stop_process(self.app)
        self.configure(settings)
        self.start_app()

    def pages(self):
        """(time, kind, id, text) of every page record hubsim received."""
        return [(float(m.group(1)), m.group(2), m.group(3), m.group(5).rstrip("\r"))
                for m in _PAGE_LINE.finditer(read_text(self.hub_out))]

    def arrivals(self, texts, timeout):
        """Waits until every text is at the switch (or the timeout) and
        returns text -> arrival times, every record of it counted."""
        wanted = set(texts)
        end = time.time() + timeout
        while True:
            got = {}
            for t, _, _, text in self.pages():
                if text in wanted:
                    got.setdefault(text, []).append(t)
            if len(got) == len(wanted) or time.time() > end:
                return got
            time.sleep(0.1)

    def smtp_log(self):
        logs = os.path.join(self.data, "logs")
        names = [n for n in os.listdir(logs) if n.startswith("system_log_email_")] if os.path.isdir(logs) else []
        if len(names) != 1:
            raise Broken("expected one SMTP log in %s, found %s" % (logs, names))
        return os.path.join(logs, names[0])

    def rss_kb(self):
        with open("/proc/%d/status" % self.app.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise Broken("no VmRSS for smtpin")

    def alive(self):
        return self.app.poll() is None and self.hub.poll() is None


def metrics(port):
    """The counters and gauges of smtpin's /metrics, by name with its labels."""
    direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))  # no http_proxy for loopback
    with direct.open("http://127.0.0.1:%d/metrics" % port, timeout=5) as r:
        text = r.read().decode()
    return {m.group(1): float(m.group(2)) for m in re.finditer(r"^(\w+(?:\{[^}]*\})?) (\S+)$", text, re.M)}


def make_pair(folder, name, cn):
    """A self-signed RSA certificate for `cn` and its key, as PEM files."""
    cert, key = os.path.join(folder, name + ".crt"), os.path.join(folder, name + ".key")
    r = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                        "/CN=" + cn, "-keyout", key, "-out", cert], capture_output=True, text=True)
    if r.returncode != 0:
        raise Broken("openssl req: " + r.stderr)
    return cert, key


def page_xml(text, pin="9000000"):
    return ("<PagerMessage><PagerPin>%s</PagerPin><MessageHash>%s</MessageHash><Message>%s</Message>"
            "<MachineName>RELAYTEST</MachineName><InterfaceAddress>127.0.0.1</InterfaceAddress>"
            "<IsDispatchMessage>True</IsDispatchMessage></PagerMessage>" % (pin, text, text))


def tally(sent, got):
    """Pages answered 250 that never reached the switch, and those that
    reached it more than once."""
    missing = sorted(t for t in sent if t not in got)
    twice = sorted(t for t in sent if len(got.get(t, ())) > 1)
    return missing, twice


def relay_failures(missing, twice, deadline, postfix_log, prefix=""):
    """What a relay's delivery got wrong: pages lost or doubled, and a relay
    that never reused its connection to smtpin."""
    failures = []
    if missing:
        failures.append("%s%d pages taken by Postfix never reached the switch within %d s, e.g. %s"
                        % (prefix, len(missing), deadline, missing[:5]))
    if twice:
        failures.append("%s%d pages reached the switch more than once, e.g. %s" % (prefix, len(twice), twice[:5]))
    if not re.search(r"conn_use=\d+", postfix_log):
        failures.append("%sPostfix never reused a connection to smtpin (no conn_use= in its log)" % prefix)
    return failures


def main(test):
    """Runs test() (a list of failure texts back) and exits with its status."""
    name = os.path.basename(sys.argv[0])

    def stop(signum, frame):
        log("%s: stopped by signal %d" % (name, signum))
        raise SystemExit(FAIL)
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, stop)
    atexit.register(_clean)
    try:
        for exe in (SMTPIN, HUBSIM):
            if not os.access(exe, os.X_OK):
                raise Broken("%s is not built (BUILD_DIR, SMTPIN and HUBSIM choose the binaries)" % exe)
        failures = test()
    except Skip as e:
        log("%s: SKIP: %s" % (name, e))
        status = SKIP
    except Broken as e:
        log("%s: FAIL: %s" % (name, e))
        status = FAIL
    except Exception:
        traceback.print_exc()
        status = FAIL
    else:
        for f in failures:
            log("%s: FAIL: %s" % (name, f))
        status = FAIL if failures else PASS
        if status == PASS:
            log("%s: PASS" % name)
    _clean()
    sys.exit(status)
