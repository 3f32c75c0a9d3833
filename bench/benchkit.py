"""What the benchmarks share: the stand-in pinned to one core and its
control API, clients pinned to the other and measured by their own CPU time
(wait4), a fresh profile of the player, the build they measure, and the
notes that keep their figures honest on a shared machine."""

import contextlib
import hashlib
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
TOOL = os.path.join(BUILD, "bin", "qovi-cloud")
FAKECLOUD = os.path.join(ROOT, "fakecloud", "fakecloud")
CA = os.path.join(ROOT, "fakecloud", "ca.pem")
MIB = 1 << 20
GIB = 1 << 30


class Run:
    """One finished process: wall seconds, its own resource usage, and how
    much of its core's time went to other programs meanwhile."""

    def __init__(self, wall, usage, core_busy, output):
        self.wall = wall
        self.user = usage.ru_utime
        self.system = usage.ru_stime
        self.switches = usage.ru_nvcsw + usage.ru_nivcsw
        self.peak_kib = usage.ru_maxrss
        # What the core was busy with beyond this process went to others (and
        # interrupts): the noise of a shared machine, shown beside the figures.
        self.others = max(0.0, core_busy - self.cpu)
        self.output = output

    @property
    def cpu(self):
        return self.user + self.system

    def __add__(self, other):
        """Two processes of one client's upload, one after the other."""
        total = Run.__new__(Run)
        for name in ("wall", "user", "system", "switches", "others"):
            setattr(total, name, getattr(self, name) + getattr(other, name))
        total.peak_kib = max(self.peak_kib, other.peak_kib)
        total.output = other.output
        return total


def core_busy(cpu):
    """Seconds core `cpu` has spent busy (not idle or waiting) since boot."""
    with open("/proc/stat") as stat:
        for line in stat:
            fields = line.split()
            if fields[0] == "cpu%d" % cpu:
                ticks = [int(v) for v in fields[1:]]
                return (sum(ticks[:3]) + sum(ticks[5:8])) / os.sysconf("SC_CLK_TCK")
    return 0.0


def measured(command, cpu, env=None):
    """Runs `command` pinned to `cpu` (taskset execs it: the process waited
    for is the command itself) and answers its Run, with `first`: the
    seconds until its first line of output. Standard output is captured
    (small: answers, entries and progress lines); a failure raises with the
    end of standard error."""
    with tempfile.TemporaryFile() as errors:
        busy = core_busy(cpu)
        start = time.monotonic()
        process = subprocess.Popen(["taskset", "-c", str(cpu)] + command, env=env,
                                   stdout=subprocess.PIPE, stderr=errors)
        output = process.stdout.readline()
        first = time.monotonic() - start
        output += process.stdout.read()
        process.stdout.close()
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.monotonic() - start
        busy = core_busy(cpu) - busy
        code = os.waitstatus_to_exitcode(status)
        if code != 0:
            errors.seek(0)
            raise RuntimeError("%s exited with %d: %s" % (os.path.basename(command[0]), code,
                                                          errors.read()[-2000:].decode(errors="replace")))
    run = Run(wall, usage, busy, output.decode(errors="replace"))
    run.first = first
    return run


def build_of(path):
    """What identifies the client's build: modification time and SHA-256."""
    return "%s, sha256 %s" % (time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(os.path.getmtime(path))),
                              sha256_of(path)[:12])


def load_average():
    with open("/proc/loadavg") as source:
        return " ".join(source.read().split()[:3])


class StandIn:
    """The stand-in process, pinned to its own core, and its control API."""

    def __init__(self, cpu, log):
        self.log = log  # its standard error (one line per request), shown when something fails
        with open(log, "wb") as errors:
            self.process = subprocess.Popen(["taskset", "-c", str(cpu), "/usr/bin/python3", FAKECLOUD,
                                             "--auto", "--verbose"],
                                            stdout=subprocess.PIPE, stderr=errors, text=True)
        self.port = int(self.process.stdout.readline().strip().rsplit(":", 1)[1])
        self.opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))

    def control(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request("http://127.0.0.1:%d%s" % (self.port, path), data=data, method=method)
        with self.opener.open(request) as answer:
            return json.loads(answer.read() or b"{}")

    def files(self, service):
        """Stored files (not folders), by path (Dropbox) or id (Google)."""
        key = "path" if service == "dropbox" else "id"
        return {f[key]: f for f in self.control("GET", "/files?service=" + service)["files"] if not f["folder"]}

    def last_words(self):
        """How it ended (if it did) and the last lines of its log."""
        status = self.process.poll()
        with open(self.log, errors="replace") as log:
            lines = "".join(log.readlines()[-15:])
        return "the stand-in (%s) said last:\n%s" % (
            "still running" if status is None else "ended with %d" % status, lines)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait()


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(MIB), b""):
            digest.update(block)
    return digest.hexdigest()


def mib(kib):
    return kib / 1024.0


def peak_note(idle_kib):
    """A child's ru_maxrss also counts the peak of the process it was forked
    from (at exec the kernel keeps the larger of the old and the new), so
    every child's figure is at least this script's: curl's is not shown, and
    qovi-cloud's are its own only while this script stays below them."""
    own = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if own >= idle_kib:
        print("note: this script peaked at %.1f MiB, not below the idle client: the peak figures are not "
              "the client's" % mib(own))


def two_cores(name):
    """The stand-in's core and the client's; this script keeps off the client's."""
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 2:
        sys.exit("%s: needs two cores (the stand-in on one, the client on the other)" % name)
    os.sched_setaffinity(0, {cpus[0]})
    return cpus[0], cpus[1]


def ensure_built():
    if not os.access(TOOL, os.X_OK):
        subprocess.run([os.path.join(ROOT, "scripts", "setup")], check=True)


@contextlib.contextmanager
def fresh_profile():
    """The environment of a player profile made for the run, gone after it."""
    home = tempfile.mkdtemp(prefix="lumen-bench-")
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
               XDG_CACHE_HOME=os.path.join(home, "cache"), XDG_DATA_HOME=os.path.join(home, "data"),
               XDG_RUNTIME_DIR=os.path.join(home, "run"))
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
    env.pop("DISPLAY", None)
    try:
        yield env
    finally:
        shutil.rmtree(home, ignore_errors=True)


def connect(stand_in, cloud, env):
    """Signs qovi-cloud in to the stand-in's first user in a browser, as a
    person would: qovi-cloud prints the sign-in address, a headless chromium
    opens it through the stand-in, whose pages sign in and allow by
    themselves, and comes back to qovi-cloud's loopback address."""
    stand_in.control("POST", "/auto", {"delay_ms": 20})
    tool = subprocess.Popen([TOOL, "--proxy", "127.0.0.1:%d" % stand_in.port, "--ca-cert", CA, "--cloud", cloud,
                             "connect"], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    address = next((line.split(" sign in at ", 1)[1].strip() for line in tool.stdout if " sign in at " in line), None)
    profile = tempfile.mkdtemp(prefix="lumen-bench-browser-")
    browser = subprocess.Popen(["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                                "--user-data-dir=" + profile, "--proxy-server=http://127.0.0.1:%d" % stand_in.port,
                                "--proxy-bypass-list=127.0.0.1;localhost", "--ignore-certificate-errors", address],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) if address else None
    try:
        code = tool.wait(timeout=90)
    finally:
        if tool.poll() is None:
            tool.kill()
        if browser:
            browser.terminate()
            browser.wait()
        shutil.rmtree(profile, ignore_errors=True)
    if code != 0:
        raise RuntimeError("qovi-cloud connect --cloud %s ended with %d" % (cloud, code))


def same_build(name, before):
    """Figures from two builds mean nothing: the build directory is shared."""
    now = build_of(TOOL)
    if now != before:
        sys.exit("%s: qovi-cloud was rebuilt during the benchmark (%s, now %s): run it again" % (name, before, now))
