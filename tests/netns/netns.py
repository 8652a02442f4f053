"""Network namespaces, upstream peers and test users for the interception tests and the engine benchmark.

Topology (both namespaces are made per run, named after the runner's pid, and always removed):

    +-- qn<pid>c ("client") ----------------+   veth    +-- qn<pid>n ("net") ----------------------------+
    | quillon-engine (intercepts here)      | qc <-> qn | origin server (every port, both families)      |
    | quillon agents, one per test uid      |           | 10.77.0.11  microsocks, no password            |
    | curl, wget, busybox wget as test uids |           | 10.77.0.12  microsocks, user and password      |
    | 10.77.0.1/24   fd77::1/64             |           | 10.77.0.13  dante, SOCKS 4 (.23: chain hop 2)  |
    +---------------------------------------+           | 10.77.0.14  tinyproxy, Basic (.24: chain hop 3)|
                                                        | 10.77.0.15  SOCKS 4a peer (leaves from .2)     |
                                                        | 10.77.0.16  transparent HTTP peer (from .2)    |
                                                        | 10.77.0.17  OpenSSH sshd (the agent's tunnel)  |
                                                        | fd77::11    microsocks, no password, IPv6      |
                                                        | 10.77.0.2/24 fd77::2/64 and .50, fd77::50      |
                                                        +------------------------------------------------+

Most proxies leave from their own address, so the origin sees which one a connection came through. The chain's
hops 2 and 3 listen on addresses that, by nftables in "net", only the previous hop may reach: an answer from
the origin through hop 3 proves the whole chain was taken.
"""

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

HERE = os.path.dirname(os.path.abspath(__file__))
PEERS = os.path.join(HERE, "peers")
SHARED_PEERS = os.path.join(HERE, "..", "support", "peers")
# The test users run programs the fixture may find in root's own folders (pyenv and the like): not theirs.
USER_PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable

CLIENT_V4, NET_V4 = "10.77.0.1", "10.77.0.2"
CLIENT_V6, NET_V6 = "fd77::1", "fd77::2"
OTHER_V4, OTHER_V6 = "10.77.0.50", "fd77::50"
SOCKS5_OPEN, SOCKS5_AUTH, SOCKS4, HTTP_PROXY = "10.77.0.11", "10.77.0.12", "10.77.0.13", "10.77.0.14"
SOCKS4A, HTTP_TRANSPARENT, SSH_SERVER = "10.77.0.15", "10.77.0.16", "10.77.0.17"
CHAIN_HOP2, CHAIN_HOP3 = "10.77.0.23", "10.77.0.24"
SOCKS5_OPEN_V6 = "fd77::11"
PROXY_USER, PROXY_PASSWORD = "quill", "s3cret"
PREFIX = "qn"
# The test users: two with an agent each, one without.
TEST_UIDS = (47101, 47102, 47103)
WAIT = 20.0
ETC_NETNS = "/etc/netns"


def run(*command, check=True, **options):
    return subprocess.run(command, check=check, capture_output=True, text=True, **options)


def wait_until(predicate, timeout=WAIT, what="condition"):
    """Polls until the predicate holds; raises with what it waited for after the time-out."""
    deadline = time.monotonic() + timeout
    delay = 0.01
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out waiting for {what}")
        time.sleep(delay)
        delay = min(delay * 2, 0.2)


def why_not_root():
    """None when the suite can run here, else why it cannot."""
    if os.geteuid() != 0:
        return "needs root (network namespaces and nftables)"
    for tool in ("ip", "nft", "setpriv"):
        if not shutil.which(tool):
            return f"needs {tool}"
    probe = f"{PREFIX}probe{os.getpid()}"
    if run("ip", "netns", "add", probe, check=False).returncode != 0:
        return "cannot create network namespaces here"
    run("ip", "netns", "del", probe, check=False)
    return None


def remove_stale_namespaces():
    """Namespaces an earlier run left behind (killed before its clean-up) are removed with what runs in them."""
    listing = run("ip", "netns", "list", check=False).stdout
    for name in re.findall(rf"^({PREFIX}(\d+)[cn])\b", listing, re.M):
        namespace, pid = name
        if os.path.exists(f"/proc/{pid}"):
            continue
        kill_namespace_processes(namespace)
        run("ip", "netns", "del", namespace, check=False)
        shutil.rmtree(os.path.join(ETC_NETNS, namespace), ignore_errors=True)


def kill_namespace_processes(namespace):
    for pid in run("ip", "netns", "pids", namespace, check=False).stdout.split():
        try:
            os.kill(int(pid), signal.SIGKILL)
        except ProcessLookupError:
            pass


class Process:
    """A program started by the fixture: its output kept in a file, stopped by its own pid."""

    def __init__(self, name, command, folder, env=None, stdin=None):
        self.name = name
        self.log_path = os.path.join(folder, f"{name}.log")
        self._log = open(self.log_path, "wb")
        self.popen = subprocess.Popen(command, stdout=self._log, stderr=subprocess.STDOUT, env=env,
                                      stdin=stdin if stdin is not None else subprocess.DEVNULL)

    @property
    def pid(self):
        return self.popen.pid

    def running(self):
        return self.popen.poll() is None

    def output(self):
        with open(self.log_path, "rb") as log:
            return log.read().decode("utf-8", "replace")

    def check(self):
        """True while it runs; raises with what it said once it has ended."""
        if not self.running():
            raise RuntimeError(f"{self.name} ended ({self.popen.returncode}):\n" + self.output()[-3000:])
        return True

    def wait_for_output(self, text, timeout=WAIT):
        def seen():
            if text in self.output():
                return True
            if not self.running():
                raise RuntimeError(f"{self.name} ended ({self.popen.returncode}) before saying {text!r}:\n"
                                   + self.output()[-2000:])
            return False
        wait_until(seen, timeout, f"{self.name} to say {text!r}")

    def send(self, number):
        if self.running():
            self.popen.send_signal(number)

    def stop(self, number=signal.SIGTERM, timeout=WAIT):
        """Ends it and returns its exit status (killed when the signal was not enough)."""
        self.send(number)
        try:
            return self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            self.popen.kill()
            self.popen.wait()
            return None
        finally:
            self._log.close()


class Topology:
    """The two namespaces, the link between them, and every process started in them."""

    def __init__(self, folder):
        self.folder = folder
        self.client = f"{PREFIX}{os.getpid()}c"
        self.net = f"{PREFIX}{os.getpid()}n"
        self.processes = []
        atexit.register(self.close)
        for number in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, lambda *_: sys.exit(1))
        remove_stale_namespaces()
        self._write_accounts()
        run("ip", "netns", "add", self.client)
        run("ip", "netns", "add", self.net)
        self.ip(self.client, "link", "set", "lo", "up")
        self.ip(self.net, "link", "set", "lo", "up")
        self.ip(self.client, "link", "add", "qc", "type", "veth", "peer", "name", "qn", "netns", self.net)
        self.ip(self.client, "addr", "add", f"{CLIENT_V4}/24", "dev", "qc")
        self.ip(self.client, "-6", "addr", "add", f"{CLIENT_V6}/64", "dev", "qc", "nodad")
        self.ip(self.net, "addr", "add", f"{NET_V4}/24", "dev", "qn")
        self.ip(self.net, "-6", "addr", "add", f"{NET_V6}/64", "dev", "qn", "nodad")
        for address in (OTHER_V4, SOCKS5_OPEN, SOCKS5_AUTH, SOCKS4, HTTP_PROXY, SOCKS4A, HTTP_TRANSPARENT,
                        SSH_SERVER, CHAIN_HOP2, CHAIN_HOP3):
            self.ip(self.net, "addr", "add", f"{address}/32", "dev", "qn")
        for address in (OTHER_V6, SOCKS5_OPEN_V6):
            self.ip(self.net, "-6", "addr", "add", f"{address}/128", "dev", "qn", "nodad")
        self.ip(self.client, "link", "set", "qc", "up")
        self.ip(self.net, "link", "set", "qn", "up")
        # Chain hops 2 and 3 answer only the hop before them.
        self.nft(self.net, f"""
            table inet guard {{
                chain input {{
                    type filter hook input priority 0;
                    ip daddr {CHAIN_HOP2} ip saddr != {SOCKS5_AUTH} tcp flags syn reject with tcp reset
                    ip daddr {CHAIN_HOP3} ip saddr != {SOCKS4} tcp flags syn reject with tcp reset
                }}
            }}""")

    def ip(self, namespace, *arguments):
        return run("ip", "-n", namespace, *arguments)

    def nft(self, namespace, ruleset):
        return subprocess.run(["ip", "netns", "exec", namespace, "nft", "-f", "-"], input=ruleset, text=True,
                              check=True, capture_output=True)

    def tables(self):
        """The client namespace's nftables ruleset as text."""
        return run("ip", "netns", "exec", self.client, "nft", "list", "ruleset").stdout

    def start(self, name, namespace, command, env=None, user=None, stdin=None):
        process = Process(name, self.prefix(namespace, user) + list(command), self.folder, env=env, stdin=stdin)
        self.processes.append(process)
        return process

    def run_as(self, user, command, env=None, timeout=WAIT, input=None):
        """Runs a command in the client namespace as that user and waits for it."""
        return subprocess.run(self.prefix(self.client, user) + list(command), capture_output=True, env=env,
                              timeout=timeout, input=input)

    def prefix(self, namespace, user):
        """What runs a command in the namespace, as the user when one is given. The test users exist only in
        the mount namespace "ip netns exec" makes, where the run's own account files are mounted over the
        system's; dbus-daemon, for one, refuses a user without an account."""
        prefix = ["ip", "netns", "exec", namespace]
        if user is None:
            return prefix
        return prefix + ["sh", "-c", 'mount --bind "$1" /etc/passwd && mount --bind "$2" /etc/group && shift 2 && '
                         'exec "$@"', "sh", self.passwd, self.group,
                         "setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", "--"]

    def _write_accounts(self):
        with open("/etc/passwd") as handle:
            passwd = handle.read()
        with open("/etc/group") as handle:
            group = handle.read()
        for uid in TEST_UIDS:
            passwd += f"quillon{uid}:x:{uid}:{uid}::{self.folder}/home-{uid}:/bin/sh\n"
            group += f"quillon{uid}:x:{uid}:\n"
        self.passwd = config_file(self.folder, "passwd", passwd)
        self.group = config_file(self.folder, "group", group)
        os.chmod(self.passwd, 0o644)
        os.chmod(self.group, 0o644)

    def etc(self, namespace, name, text):
        """A file that "ip netns exec" puts over /etc/NAME for programs started in the namespace from now on."""
        folder = os.path.join(ETC_NETNS, namespace)
        os.makedirs(folder, exist_ok=True)
        config_file(folder, name, text)
        os.chmod(os.path.join(folder, name), 0o644)

    def close(self):
        for process in reversed(self.processes):
            if process.running():
                process.stop(signal.SIGKILL, timeout=5)
        for namespace in (self.client, self.net):
            kill_namespace_processes(namespace)
            run("ip", "netns", "del", namespace, check=False)
            shutil.rmtree(os.path.join(ETC_NETNS, namespace), ignore_errors=True)


def config_file(folder, name, text):
    path = os.path.join(folder, name)
    with open(path, "w") as handle:
        handle.write(text)
    return path


def free_listening(namespace, address, port):
    """True once something accepts connections at that address in the namespace."""
    family = "-6" if ":" in address else "-4"
    listing = run("ip", "netns", "exec", namespace, "ss", "-Hltn", family, check=False).stdout
    host = f"[{address}]" if ":" in address else address
    return re.search(rf"(\s|^)({re.escape(host)}|\*|0\.0\.0\.0|\[::\]):{port}\s", listing) is not None



def start_dante(topology, listen, external, port=1080):
    lines = [f"logoutput: {topology.folder}/danted-{port}.log", f"external: {external}",
             "clientmethod: none", "socksmethod: none", "user.privileged: root", "user.unprivileged: nobody",
             "client pass { from: 0.0.0.0/0 to: 0.0.0.0/0 }", "socks pass { from: 0.0.0.0/0 to: 0.0.0.0/0 }"]
    lines[1:1] = [f"internal: {address} port = {port}" for address in listen]
    path = config_file(topology.folder, f"danted-{port}.conf", "\n".join(lines) + "\n")
    process = topology.start(f"danted-{port}", topology.net, ["danted", "-f", path, "-N", "1"])
    return process, [(address, port) for address in listen]


def start_tinyproxy(topology, bind, port=3128, user=None):
    lines = [f"Port {port}", f"Bind {bind}", "User nobody", "Group nogroup", "Timeout 60", "MaxClients 512",
             "LogLevel Info", "Allow 10.77.0.0/24", "DisableViaHeader No"]
    if user:
        lines.append(f"BasicAuth {user[0]} {user[1]}")
    path = config_file(topology.folder, f"tinyproxy-{port}.conf", "\n".join(lines) + "\n")
    process = topology.start(f"tinyproxy-{port}", topology.net, ["tinyproxy", "-d", "-c", path])
    return process, [("0.0.0.0", port)]


def start_sshd(topology):
    """sshd for the agent's SSH tunnels: root may log in with the returned private key (bytes)."""
    os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # sshd insists on it, as its own service makes it
    keys = {}
    for name in ("host_key", "client_key"):
        path = os.path.join(topology.folder, name)
        run("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", path)
        keys[name] = path
    config = config_file(topology.folder, "sshd_config", "\n".join([
        f"ListenAddress {SSH_SERVER}", "Port 22", f"HostKey {keys['host_key']}",
        f"AuthorizedKeysFile {keys['client_key']}.pub", f"PidFile {topology.folder}/sshd.pid", "StrictModes no",
        "UsePAM no", "PermitRootLogin yes", "PasswordAuthentication no", "KbdInteractiveAuthentication no",
        "AllowTcpForwarding yes"]) + "\n")
    topology.start("sshd", topology.net, [shutil.which("sshd") or "/usr/sbin/sshd", "-D", "-e", "-f", config])
    with open(keys["client_key"], "rb") as key:
        return key.read(), [(SSH_SERVER, 22)]


def start_upstreams(topology, origin_ports):
    """Every upstream peer of the topology; returns when all of them accept connections."""
    listening = []
    origin = topology.start("origin", topology.net, [USER_PYTHON, os.path.join(PEERS, "origin.py")]
                            + [str(port) for port in origin_ports])
    origin.wait_for_output("ready")
    for address, options in ((SOCKS5_OPEN, []), (SOCKS5_AUTH, ["-u", PROXY_USER, "-P", PROXY_PASSWORD]),
                             (SOCKS5_OPEN_V6, [])):
        topology.start(f"microsocks-{address}", topology.net,
                       ["microsocks", "-i", address, "-p", "1080", "-b", address] + options)
        listening.append((address, 1080))
    listening += start_dante(topology, [SOCKS4, CHAIN_HOP2], SOCKS4)[1]
    listening += start_tinyproxy(topology, HTTP_PROXY, user=(PROXY_USER, PROXY_PASSWORD))[1]
    # The proxy tests' own SOCKS 4a and transparent HTTP servers listen on loopback: a forwarder makes each
    # reachable at its address of the topology (they connect on from the namespace's own address).
    for address, port, name in ((SOCKS4A, 1080, "socks4a_server.py"),
                                (HTTP_TRANSPARENT, 8080, "transparent_http_proxy.py")):
        peer = topology.start(name, topology.net, [USER_PYTHON, os.path.join(SHARED_PEERS, name)])
        peer.wait_for_output("listening ")
        local = int(re.search(r"listening (\d+)", peer.output()).group(1))
        topology.start(f"forward-{address}", topology.net,
                       ["socat", f"TCP-LISTEN:{port},bind={address},fork,reuseaddr", f"TCP:127.0.0.1:{local}"])
        listening.append((address, port))
    topology.client_key, ssh_listening = start_sshd(topology)
    listening += ssh_listening
    for address, port in listening:
        wait_until(lambda: free_listening(topology.net, address, port), what=f"a peer on {address}:{port}")


CGROUP2_AGAIN = 'grep -qs " - cgroup2 " /proc/self/mountinfo || mount -t cgroup2 cgroup2 /sys/fs/cgroup; exec "$0" "$@"'


class Engine:
    """quillon-engine intercepting in the client namespace, on a control socket of the run's own."""

    def __init__(self, topology, engine_path, name="engine"):
        self.topology = topology
        self.path = engine_path
        self.socket_path = os.path.join(topology.folder, "run", "control.sock")
        self.name = name
        self.process = None
        self.starts = 0

    def start(self, verbose=True, options=()):
        os.makedirs(os.path.dirname(self.socket_path), mode=0o755, exist_ok=True)
        self.starts += 1
        options = list(options) + (["--verbose"] if verbose and "--verbose" in run(self.path, "--help", check=False).stdout
                                   else [])
        # "ip netns exec" mounts a /sys of its own, without the cgroup2 hierarchy the engine attaches its connect
        # hook to: it is mounted again in the engine's private mount namespace, as the host has it.
        command = ["sh", "-c", CGROUP2_AGAIN, self.path, "--socket", self.socket_path] + options
        self.process = self.topology.start(f"{self.name}-{self.starts}", self.topology.client, command)
        wait_until(lambda: self._listening(), what="the engine's control socket")
        return self.process

    def _listening(self):
        if not self.process.running():
            raise RuntimeError("the engine ended at start:\n" + self.process.output()[-3000:])
        probe = socket.socket(socket.AF_UNIX)
        try:
            probe.connect(self.socket_path)
            return True
        except OSError:
            return False
        finally:
            probe.close()

    def fd_count(self):
        return len(os.listdir(f"/proc/{self.process.pid}/fd"))

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def relay_ports(self):
        """The ports the engine's relay listens on in the client namespace (its DNS ports are not among them)."""
        return {int(port) for port in re.findall(r"tcp flags [^\n]*redirect to :(\d+)", self.topology.tables())}


class Agent:
    """The real quillon agent as a test user: its own home, session bus and preference file."""

    def __init__(self, topology, paths, uid, engine):
        self.topology = topology
        self.paths = paths
        self.uid = uid
        self.home = os.path.join(topology.folder, f"home-{uid}")
        for sub in ("", "config", "state", "runtime"):
            os.makedirs(os.path.join(self.home, sub), mode=0o700, exist_ok=True)
            os.chown(os.path.join(self.home, sub), uid, uid)
        self.env = {
            "PATH": "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
            "HOME": self.home,
            "XDG_CONFIG_HOME": os.path.join(self.home, "config"),
            "XDG_STATE_HOME": os.path.join(self.home, "state"),
            "XDG_RUNTIME_DIR": os.path.join(self.home, "runtime"),
            "TMPDIR": os.path.join(self.home, "runtime"),
            "QUILLON_CONTROL_SOCKET": engine.socket_path,
            "QT_QPA_PLATFORM": "offscreen",
            "LANG": "C.UTF-8",
        }
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if name in os.environ:
                self.env[name] = os.environ[name]
        bus_path = os.path.join(self.env["XDG_RUNTIME_DIR"], "bus")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = f"unix:path={bus_path}"
        # No logind can answer on this bus: the agent gets no session events.
        self.env["DBUS_SYSTEM_BUS_ADDRESS"] = self.env["DBUS_SESSION_BUS_ADDRESS"]
        self.bus = topology.start(f"dbus-{uid}", topology.client,
                                  ["dbus-daemon", "--session", "--nofork", "--nopidfile",
                                   f"--address=unix:path={bus_path}"], env=self.env, user=uid)
        wait_until(lambda: self.bus.check() and os.path.exists(bus_path), what=f"the session bus of {uid}")
        self.process = None

    @property
    def log_path(self):
        return os.path.join(self.home, "state", "quillon", "Quillon.log")

    def activity_log(self):
        try:
            with open(self.log_path, "rb") as log:
                return log.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def ctl(self, *arguments):
        result = self.topology.run_as(self.uid, [self.paths["quillonctl"]] + list(arguments), env=self.env)
        if result.returncode != 0:
            raise RuntimeError(f"quillonctl {' '.join(arguments)}: {result.stderr.decode()}")
        return result.stdout.decode()

    def use_profiles(self, xml, active):
        """Imports the document and makes the named profile the active one, logging on."""
        path = os.path.join(self.home, "profiles.xml")
        config_file(self.home, "profiles.xml", xml)
        os.chown(path, self.uid, self.uid)
        self.ctl("import", path)
        self.ctl("set", "enableLogging", "yes")
        self.ctl("activate", active)

    def start(self):
        self.process = self.topology.start(f"quillon-{self.uid}", self.topology.client, [self.paths["quillon"]],
                                           env=self.env, user=self.uid)
        wait_until(lambda: self.statistics() is not None, what=f"the agent of {self.uid} to serve statistics")

    def stop(self):
        if os.environ.get("QUILLON_NETNS_KEEP"):  # the agent removes its log when it quits
            config_file(self.topology.folder, f"activity-{self.uid}-{time.monotonic():.0f}.log", self.activity_log())
        return self.process.stop()

    def statistics(self):
        """(connections, sent, received) as the agent's statistics service answers them, or None."""
        if self.process is not None and not self.process.running():
            raise RuntimeError(f"the agent of {self.uid} ended:\n" + self.process.output()[-2000:])
        result = self.topology.run_as(self.uid, [self.paths["quillonctl"], "stats"], env=self.env)
        if result.returncode != 0:
            return None
        numbers = re.findall(r"(?m)^\S+: (\d+)$|\((\d+) bytes\)", result.stdout.decode())
        values = [int(a or b) for a, b in numbers]
        return tuple(values) if len(values) == 3 else None

    def wait_for_log(self, pattern, timeout=WAIT):
        return wait_until(lambda: re.search(pattern, self.activity_log()), timeout,
                          f"a line matching {pattern!r} in the activity log of {self.uid}")


def intercepted(topology, uid):
    """True when the engine's table redirects that user's connections."""
    return re.search(rf"\bskuid {uid}\b|\b{uid}\s*:", topology.tables()) is not None


def make_folder():
    folder = tempfile.mkdtemp(prefix="quillon-netns-")
    os.chmod(folder, 0o755)
    # QUILLON_NETNS_KEEP=1 keeps every program's output and the users' logs for a look after the run.
    if os.environ.get("QUILLON_NETNS_KEEP"):
        print(f"keeping {folder}", file=sys.stderr)
    else:
        atexit.register(shutil.rmtree, folder, True)
    return folder

