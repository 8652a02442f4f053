#!/usr/bin/env python3
"""The intercepting engine end to end, as root, in network namespaces of its own (see netns.py).

Usage: test_engine_netns.py --engine PATH --agent PATH --ctl PATH [unittest arguments, e.g. RoutingTest]
Exits 77 (skipped) when it cannot run here: not root, or no network namespaces.

The real agent, as a test user on its own session bus, is the engine's peer; curl, wget and a statically linked
busybox wget, as that user, are the clients.
"""

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import netns  # noqa: E402
import profiles  # noqa: E402
from netns import (CLIENT_V4, CLIENT_V6, HTTP_PROXY, NET_V4, NET_V6, OTHER_V4, OTHER_V6, SOCKS4,  # noqa: E402
                   SOCKS5_AUTH, SOCKS5_OPEN, SOCKS5_OPEN_V6, wait_until)

PATHS = {}
USER_A, USER_B, USER_C = netns.TEST_UIDS
ROOT = 0
ORIGIN_PORTS = list(range(8001, 8018)) + [8019, 8020, 8029, 8030, 8040]
HOLD_PORT = 8040
PROBE = os.path.join(netns.PEERS, "probe.py")
IDENTIFYING = ["From", "Referer", "Via", "Forwarded", "X-Forwarded-For", "X-Real-IP", "Client-IP"]


def url(address, port, path="/"):
    host = f"[{address}]" if ":" in address else address
    return f"http://{host}:{port}{path}"


def client_command(client, target, headers=()):
    if client == "curl":
        command = ["curl", "-sS", "-g", "--max-time", "20"]
        for header in headers:
            command += ["-H", header]
        return command + [target]
    if client == "wget":
        return ["wget", "-q", "-O", "-", "--tries=1", "--timeout=20"] + [f"--header={h}" for h in headers] + [target]
    return ["busybox", "wget", "-q", "-O", "-", target]  # statically linked (its -T crashes it)


class Suite(unittest.TestCase):
    """One topology, engine and agent per class; checks run as the test users."""

    upstreams = True
    profile = None  # (items, rules) of USER_A's profile

    @classmethod
    def setUpClass(cls):
        cls.topology = netns.Topology(netns.make_folder())
        cls.prepare()
        if cls.upstreams:
            netns.start_upstreams(cls.topology, ORIGIN_PORTS)
        cls.engine = netns.Engine(cls.topology, PATHS["engine"])
        cls.engine.start()
        if "intercepting" not in cls.engine.process.output():
            raise unittest.SkipTest("this quillon-engine does not intercept")
        cls.agents = {}

    @classmethod
    def prepare(cls):
        """Whatever the namespaces need before the first program starts in them."""

    @classmethod
    def tearDownClass(cls):
        # Everything ends cleanly on SIGTERM: a crash or a sanitizer's report fails the group.
        unclean = []
        for agent in cls.agents.values():
            if agent.process and agent.process.running():
                agent.stop()
        for process in [agent.process for agent in cls.agents.values()] + [cls.engine.process]:
            if process and (process.stop() if process.running() else process.popen.returncode) != 0:
                unclean.append(f"{process.name} ({process.popen.returncode}):\n{process.output()[-3000:]}")
        cls.topology.close()
        if unclean:
            raise AssertionError("not a clean end: " + "\n".join(unclean))

    @classmethod
    def start_agent(cls, uid, name, profile):
        agent = cls.agents.get(uid)
        if agent is None:
            agent = cls.agents[uid] = netns.Agent(cls.topology, PATHS, uid, cls.engine)
            agent.use_profiles(profiles.document({name: profile}), name)
        agent.start()
        wait_until(lambda: netns.intercepted(cls.topology, uid), what=f"the table to intercept {uid}")
        return agent

    def fetch(self, target, client="curl", user=USER_A, headers=()):
        """The origin's account of the request (a dict), failing the test when the client failed."""
        result = self.topology.run_as(user, client_command(client, target, headers))
        self.assertEqual(result.returncode, 0, f"{client} {target}: {result.stderr.decode()}")
        return json.loads(result.stdout.decode().splitlines()[0])

    def try_fetch(self, target, user=USER_A):
        result = self.topology.run_as(user, client_command("curl", target))
        return json.loads(result.stdout.decode().splitlines()[0]) if result.returncode == 0 else None

    def probe(self, address, port, user=USER_A, mode="once"):
        result = self.topology.run_as(user, [netns.USER_PYTHON, PROBE, mode, address, str(port)])
        return result.stdout.decode().strip() or result.stderr.decode()


class RoutingTest(Suite):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.agent = cls.start_agent(USER_A, "Routing", profiles.routing_profile(cls.topology.client_key))

    def test_every_action_and_proxy_type_takes_its_way(self):
        # (client, destination, port, the address the origin sees the connection come from)
        cases = [
            ("curl", NET_V4, 8001, SOCKS5_OPEN),
            ("wget", NET_V4, 8002, SOCKS5_AUTH),
            ("busybox", NET_V4, 8003, SOCKS4),
            ("curl", NET_V4, 8004, NET_V4),
            ("busybox", NET_V4, 8005, HTTP_PROXY),
            ("wget", NET_V4, 8006, HTTP_PROXY),
            ("curl", NET_V4, 8007, NET_V4),
            # Hop 3 accepts only hop 2, which accepts only hop 1.
            ("curl", NET_V4, 8008, HTTP_PROXY),
            ("busybox", NET_V4, 8010, CLIENT_V4),
            # Filter ports: 8013 is not admitted by the proxy, so the next rule (none: direct) decides.
            ("curl", NET_V4, 8012, SOCKS5_OPEN),
            ("curl", NET_V4, 8013, CLIENT_V4),
            # A single address with a port range, both ends, and either side of it.
            ("curl", NET_V4, 8019, CLIENT_V4),
            ("curl", NET_V4, 8020, SOCKS5_OPEN),
            ("wget", NET_V4, 8029, SOCKS5_OPEN),
            ("curl", NET_V4, 8030, CLIENT_V4),
            ("curl", NET_V6, 8015, SOCKS5_OPEN_V6),
            ("wget", NET_V6, 8010, CLIENT_V6),
            ("curl", NET_V6, 8001, NET_V6),  # microsocks leaves from its IPv6 address
        ]
        for client, address, port, seen_from in cases:
            with self.subTest(client=client, destination=url(address, port)):
                answer = self.fetch(url(address, port), client)
                self.assertEqual(answer["peer"], seen_from)
                self.assertEqual(answer["port"], port)
        # The absolute-URI proxy received a plain request (and says so); the CONNECT one only a tunnel.
        names = lambda answer: [name.lower() for name, _ in answer["headers"]]  # noqa: E731
        self.assertIn("via", names(self.fetch(url(NET_V4, 8006))))
        self.assertNotIn("via", names(self.fetch(url(NET_V4, 8005))))
        self.assertNotIn("proxy-authorization", names(self.fetch(url(NET_V4, 8006))))
        self.agent.wait_for_log(rf"{re.escape(NET_V4)}:8001 via SOCKS5")
        self.agent.wait_for_log(rf"{re.escape(NET_V4)}:8010 direct")

    def test_ssh_tunnel_of_the_agent_carries_its_rule(self):
        answer = wait_until(lambda: self.try_fetch(url(NET_V4, 8017)), what="a request through the SSH tunnel")
        self.assertEqual(answer["peer"], NET_V4)  # forwarded by sshd
        # The SSH server is blocked by a rule, yet reachable: the agent's own session (re)connecting must go
        # direct, never into its own tunnel.
        self.assertEqual(self.probe(netns.SSH_SERVER, 22, mode="greeting"), "data")
        self.agent.wait_for_log(rf"{re.escape(netns.SSH_SERVER)}:22 direct")

    def test_anonymous_plain_http_proxies_strip_identifying_headers(self):
        sent = [f"{name}: client-{name.lower()}" for name in IDENTIFYING] + ["X-Kept: yes"]
        for port in (8006, 8007):
            # Two requests on one kept-alive connection: each one is rewritten and stripped.
            result = self.topology.run_as(USER_A, client_command("curl", url(NET_V4, port, "/first"), sent)[:-1]
                                          + [url(NET_V4, port, "/first"), url(NET_V4, port, "/second")])
            self.assertEqual(result.returncode, 0, result.stderr.decode())
            answers = [json.loads(line) for line in result.stdout.decode().splitlines()]
            self.assertEqual([a["target"] for a in answers], ["/first", "/second"])
            for answer in answers:
                with self.subTest(port=port, target=answer["target"]):
                    received = {name.lower(): value for name, value in answer["headers"]}
                    self.assertEqual(received.get("x-kept"), "yes")
                    for name in IDENTIFYING:
                        self.assertNotIn(f"client-{name.lower()}", received.get(name.lower(), ""))

    def test_blocks_and_failures_reset_the_client_and_are_logged(self):
        # (destination, port, what the activity log says about it)
        cases = [
            (NET_V4, 8009, r"blocked by rule \"blocked\""),
            (OTHER_V4, 8010, r"blocked by rule \"other addresses\""),
            (OTHER_V6, 8010, r"blocked by rule \"other addresses\""),
            (NET_V4, 8011, r"failed at hop 1 of 1 \(SOCKS5 \"dead\""),
            (NET_V4, 8014, r"failed at hop 1 of 1 \(SOCKS5 .*authentication"),
            (NET_V6, 8016, r"failed at hop 1 of 1 \(SOCKS4 "),
        ]
        for address, port, logged in cases:
            with self.subTest(destination=url(address, port)):
                self.assertEqual(self.probe(address, port), "reset")
                self.agent.wait_for_log(rf"(?m)^.*{re.escape(address)}\]?:{port}.*{logged}")
                result = self.topology.run_as(USER_A, client_command("curl", url(address, port)))
                self.assertIn(result.returncode, (7, 52, 55, 56), result.stderr.decode())  # reset, at any point

    def test_other_users_are_not_intercepted(self):
        for user in (USER_C, ROOT):
            with self.subTest(user=user):
                self.assertEqual(self.fetch(url(NET_V4, 8009), user=user)["peer"], CLIENT_V4)
                self.assertEqual(self.fetch(url(NET_V4, 8001), "busybox", user=user)["peer"], CLIENT_V4)

    def test_figures_are_counted_for_each_user_alone(self):
        other = self.start_agent(USER_B, "Counted", profiles.counting_profile())
        up, down = 1_000_000, 3_000_000
        before = self.agent.statistics()
        result = self.topology.run_as(USER_B, ["curl", "-sS", "-o", "/dev/null", "--data-binary", "@-",
                                               url(NET_V4, 8010, f"/bytes/{down}")], input=b"u" * up)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        counted = wait_until(lambda: (lambda s: s if s[2] >= down and s[1] >= up else None)(other.statistics()),
                             what="the transfer to be counted")
        # Request and response heads are counted too.
        self.assertLess(counted[1], up + 1000)
        self.assertLess(counted[2], down + 1000)
        # The other user's figures may still take in its own last requests, never this transfer.
        after = self.agent.statistics()
        self.assertLess(after[1] - before[1], up // 2)
        self.assertLess(after[2] - before[2], down // 2)
        self.assertEqual(self.probe(NET_V4, 8009, USER_B), "reset")

    def test_a_thousand_connections_at_once(self):
        count = 1000
        wait_until(lambda: self.agent.statistics()[0] == 0, what="earlier connections to end")
        baseline = self.engine.fd_count()
        holder = self.topology.start("holder", self.topology.client,
                                     [netns.USER_PYTHON, PROBE, "hold", NET_V4, str(HOLD_PORT), str(count)],
                                     user=USER_A, stdin=subprocess.PIPE)
        try:
            holder.wait_for_output("ready", timeout=60)
            wait_until(lambda: self.agent.statistics()[0] == count, what=f"{count} connections to be counted")
        finally:
            holder.popen.stdin.close()
        holder.wait_for_output("closed", timeout=60)
        wait_until(lambda: self.agent.statistics()[0] == 0, what="the connections to end")
        wait_until(lambda: self.engine.fd_count() <= baseline, what="the engine's descriptors to be released")
        self.assertEqual(self.fetch(url(NET_V4, 8001))["peer"], SOCKS5_OPEN)


class LifecycleTest(Suite):
    """Each test gets its own engine and agent in the class's namespaces."""

    upstreams = False

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.topology.start("origin", cls.topology.net,
                           [netns.USER_PYTHON, os.path.join(netns.PEERS, "origin.py"), "8009", "8010"]) \
            .wait_for_output("ready")

    def setUp(self):
        if not self.engine.process.running():
            self.engine.start()
        self.agent = self.start_agent(USER_A, "Counted", profiles.counting_profile())

    def tearDown(self):
        for agent in self.agents.values():
            if agent.process.running():
                agent.stop()

    def test_an_agent_that_quits_releases_its_user(self):
        self.assertEqual(self.probe(NET_V4, 8009), "reset")
        self.assertEqual(self.agent.stop(), 0)
        wait_until(lambda: not netns.intercepted(self.topology, USER_A), what="the user to be released")
        self.assertEqual(self.probe(NET_V4, 8009), "data")

    def test_connections_open_before_interception_starts_are_left_alone(self):
        # Before the first table the namespace tracks no connections: the first packet the kernel sees of
        # one already open must not be taken for a new connection and sent to the relay (which resets it).
        self.assertEqual(self.agent.stop(), 0)
        wait_until(lambda: "table inet quillon" not in self.topology.tables(), what="the table to go")
        early = self.topology.start("early", self.topology.client, [netns.USER_PYTHON, PROBE, "twice", NET_V4, "8010"],
                                    user=USER_A, stdin=subprocess.PIPE)
        early.wait_for_output("first")
        self.agent.start()
        wait_until(lambda: netns.intercepted(self.topology, USER_A), what="the user to be intercepted")
        early.popen.stdin.write(b"\n")
        early.popen.stdin.close()
        early.popen.wait(netns.WAIT)
        self.assertEqual(early.output().split(), ["first", "data"])
        self.assertEqual(self.probe(NET_V4, 8009), "reset")

    def test_connections_to_the_relay_itself_are_refused(self):
        ports = self.engine.relay_ports()
        self.assertTrue(ports, "the engine listens on no relay port")
        for port in sorted(ports):
            for address in ("127.0.0.1", "::1", CLIENT_V4):
                with self.subTest(destination=url(address, port)):
                    self.assertEqual(self.probe(address, port), "reset")
        self.agent.wait_for_log(r"loop")
        self.assertTrue(self.engine.process.running())
        self.assertEqual(self.probe(NET_V4, 8010), "data")

    def test_the_engine_never_intercepts_its_own_connections(self):
        # Root's connections are intercepted like anyone's, and the engine runs as root: only its mark keeps
        # its own outgoing connections from coming back to it.
        root = self.start_agent(ROOT, "Counted", profiles.counting_profile())
        self.assertEqual(self.fetch(url(NET_V4, 8010), user=ROOT)["peer"], CLIENT_V4)
        self.assertEqual(self.probe(NET_V4, 8009, ROOT), "reset")
        root.wait_for_log(rf"{re.escape(NET_V4)}:8010 direct")
        wait_until(lambda: root.statistics()[0] == 0, what="root's connection to end")

    def test_the_table_goes_at_stop_and_is_replaced_after_a_crash(self):
        self.assertIn("table inet quillon", self.topology.tables())
        self.assertEqual(self.engine.process.stop(), 0)
        self.assertNotIn("table inet quillon", self.topology.tables())
        self.assertEqual(self.probe(NET_V4, 8009), "data")

        # An agent whose engine went away keeps its dead channel until it starts again.
        self.engine.start()
        self.restart_agent()
        self.engine.process.stop(signal.SIGKILL)
        self.assertIn("table inet quillon", self.topology.tables())

        # The new engine replaces the table left behind: it intercepts nobody until an agent comes.
        self.engine.start()
        self.assertLessEqual(self.topology.tables().count("table inet quillon"), 1)
        self.assertFalse(netns.intercepted(self.topology, USER_A))
        self.assertEqual(self.probe(NET_V4, 8009), "data")
        self.restart_agent()
        self.assertEqual(self.probe(NET_V4, 8009), "reset")

    def restart_agent(self):
        self.assertEqual(self.agent.stop(), 0)
        self.agent.start()
        wait_until(lambda: netns.intercepted(self.topology, USER_A), what="the user to be intercepted again")


# The upstream resolver's names, each on an address of its own (the origin answers on all of them), since the
# engine names an address after the last answer that gave it. The proxies find the names in their hosts file,
# so the resolver hears only from the engine and from users it leaves alone.
ZONE = {"intranet.corp.test": "10.77.0.61", "v6.corp.test": "fd77::61", "s4.remote.test": "10.77.0.62",
        "direct.remote.test": "10.77.0.63", "www.example.test": "10.77.0.64", "other.example.test": "10.77.0.65"}
UDP_PROBE = """
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(5)
try:
    s.connect((sys.argv[1], 443))
    s.send(b"quic")
    print("echo" if s.recv(100) == b"quic" else "other")
except OSError as error:
    print(type(error).__name__)
"""
DNS_PROBE = """
import socket, struct, sys
server, transport, name = sys.argv[1], sys.argv[2], sys.argv[3]
query = struct.pack("!HHHHHH", 7, 0x0100, 1, 0, 0, 0) + b"".join(
    bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\\0" + struct.pack("!HH", 1, 1)
family = socket.AF_INET6 if ":" in server else socket.AF_INET
if transport == "tcp":
    s = socket.create_connection((server, 53), timeout=5)
    s.sendall(struct.pack("!H", len(query)) + query)
    answer = s.recv(4096)[2:]
else:
    s = socket.socket(family, socket.SOCK_DGRAM)
    s.settimeout(5)
    s.sendto(query, (server, 53))
    answer = s.recv(4096)
print(socket.inet_ntoa(answer[-4:]) if struct.unpack("!H", answer[6:8])[0] else "none")
"""


EXIT_EARLY = """
import os, socket, sys
s = socket.create_connection((sys.argv[1], int(sys.argv[2])))
s.sendall(b"GET " + sys.argv[3].encode() + b" HTTP/1.0\\r\\n\\r\\n")
os._exit(0)
"""


class NamesTest(Suite):
    @classmethod
    def prepare(cls):
        topology = cls.topology
        topology.etc(topology.client, "resolv.conf", f"nameserver {NET_V4}\n")
        topology.etc(topology.net, "hosts", "127.0.0.1 localhost\n"
                     + "".join(f"{address} {name}\n" for name, address in ZONE.items() if ":" not in address))
        for address in ZONE.values():
            topology.ip(topology.net, *(["-6"] if ":" in address else []), "addr", "add",
                        f"{address}/{128 if ':' in address else 32}", "dev", "qn", *(["nodad"] if ":" in address else []))
        # Fake addresses need a route out, as any desktop's default route gives them.
        topology.ip(topology.client, "route", "add", "198.18.0.0/15", "via", NET_V4)
        cls.dns = topology.start("dns", topology.net, [netns.USER_PYTHON, os.path.join(netns.PEERS, "dns_peer.py"), NET_V4]
                                 + [f"{name}={address}" for name, address in ZONE.items()])
        cls.dns.wait_for_output("ready")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.agent = cls.start_agent(USER_A, "Names", profiles.names_profile())

    def asked(self):
        return re.findall(r"(?m)^query (\S+) (\S+)$", self.dns.output())

    def test_remote_names_reach_the_proxy_by_name_and_no_resolver(self):
        for client, port in (("curl", 8001), ("wget", 8002), ("busybox", 8003)):
            with self.subTest(client=client):
                answer = self.fetch(url("www.example.test", port), client)
                self.assertEqual(answer["peer"], SOCKS5_OPEN)
        self.agent.wait_for_log(r"www\.example\.test:8001 \(198\.1[89]\.\d+\.\d+\) \[curl\] via SOCKS5")
        # Queries over TCP, and to an IPv6 server (the resolver has none), are answered by the engine too.
        for server, transport in ((NET_V4, "tcp"), (NET_V6, "udp"), (NET_V6, "tcp"), ("127.0.0.53", "udp")):
            with self.subTest(server=server, transport=transport):
                result = self.topology.run_as(USER_A, [netns.USER_PYTHON, "-c", DNS_PROBE, server, transport,
                                                       "www.example.test"])
                self.assertRegex(result.stdout.decode(), r"^198\.1[89]\.", result.stderr.decode())
        self.assertNotIn("www.example.test", [name for name, _ in self.asked()])

    def test_local_names_are_forwarded_and_matched_by_name(self):
        self.assertEqual(self.fetch(url("intranet.corp.test", 8004))["peer"], SOCKS5_AUTH)
        self.assertIn(("intranet.corp.test", "A"), self.asked())
        self.agent.wait_for_log(r"intranet\.corp\.test:8004 \(10\.77\.0\.61\) \[curl\] via SOCKS5")
        # An IPv6 answer is remembered as well; the rule names it in other letters.
        result = self.topology.run_as(USER_A, ["curl", "-sS", "-6", "--max-time", "20", url("v6.corp.test", 8010)])
        self.assertIn(result.returncode, (7, 52, 56), result.stderr.decode())
        self.agent.wait_for_log(r"v6\.corp\.test:8010 \(fd77::61\) \[curl\] blocked by rule \"IPv6 name\"")

    def test_names_a_hop_needs_as_an_address_are_resolved_when_connecting(self):
        # (name, port, the address the origin sees the connection come from)
        for name, port, seen_from in (("s4.remote.test", 8005, SOCKS4), ("direct.remote.test", 8006, CLIENT_V4)):
            with self.subTest(name=name):
                self.assertEqual(self.fetch(url(name, port))["peer"], seen_from)
                self.assertIn((name, "A"), self.asked())

    def test_quic_is_refused_for_intercepted_users_only(self):
        # Refused on the way out: the sender learns at once (EPERM) or from the rejection (ECONNREFUSED).
        for user, expected in ((USER_A, ("PermissionError", "ConnectionRefusedError")), (USER_C, ("echo",))):
            with self.subTest(user=user):
                result = self.topology.run_as(user, [netns.USER_PYTHON, "-c", UDP_PROBE, NET_V4])
                self.assertIn(result.stdout.decode().strip(), expected, result.stderr.decode())

    def test_other_users_resolve_and_connect_untouched(self):
        self.assertEqual(self.fetch(url("other.example.test", 8007), user=USER_C)["peer"], CLIENT_V4)
        self.assertIn(("other.example.test", "A"), self.asked())

    def restart_engine(self, *options):
        self.assertEqual(self.engine.process.stop(), 0)
        self.engine.start(options=options)
        self.assertEqual(self.agent.stop(), 0)
        self.agent.start()
        wait_until(lambda: netns.intercepted(self.topology, USER_A), what="the user to be intercepted again")

    def check_programs_are_told_apart(self):
        # (client, the address the origin sees the connection come from; None: reset)
        for client, seen_from in (("curl", SOCKS5_OPEN), ("wget", None), ("busybox", CLIENT_V4)):
            with self.subTest(client=client):
                result = self.topology.run_as(USER_A, client_command(client, url(NET_V4, 8011)))
                if seen_from is None:
                    self.assertNotEqual(result.returncode, 0)
                else:
                    self.assertEqual(result.returncode, 0, result.stderr.decode())
                    self.assertEqual(json.loads(result.stdout.decode().splitlines()[0])["peer"], seen_from)
        self.agent.wait_for_log(rf"{re.escape(NET_V4)}:8011 \[wget\] blocked by rule \"wget\"")
        self.agent.wait_for_log(rf"{re.escape(NET_V4)}:8011 \[curl\] via SOCKS5")

    def test_programs_of_one_user_are_told_apart(self):
        self.check_programs_are_told_apart()

    def test_programs_are_told_apart_by_searching_proc_too(self):
        # Where the connect hook cannot load, the engine searches the user's processes, off its event loop.
        self.restart_engine("--without-connect-hook")
        try:
            self.assertIn("programs: found by scanning /proc (--without-connect-hook)", self.engine.process.output())
            self.check_programs_are_told_apart()
        finally:
            self.restart_engine()

    def test_a_program_that_exits_right_after_connecting_is_known(self):
        if "programs: found by the connect hook" not in self.engine.process.output():
            self.skipTest("the engine could not load its connect hook here: "
                          + re.search(r"programs: .*", self.engine.process.output()).group(0))
        # The request is sent and the program gone before the engine may look; only the connect hook, which
        # recorded the program as it connected, can send the connection through the program's proxy.
        for attempt in range(5):
            result = self.topology.run_as(USER_A, [netns.USER_PYTHON, "-c", EXIT_EARLY, NET_V4, "8012",
                                                   f"/exit-early/{attempt}"])
            self.assertEqual(result.returncode, 0, result.stderr.decode())
        origin = next(process for process in self.topology.processes if process.name == "origin")
        for attempt in range(5):
            origin.wait_for_output(f"request {SOCKS5_OPEN} /exit-early/{attempt}\n")
        self.agent.wait_for_log(rf"{re.escape(NET_V4)}:8012 \[{re.escape(profiles.PYTHON_NAME)}\] via SOCKS5")

    def test_names_outlive_an_engine_restart(self):
        result = self.topology.run_as(USER_A, ["getent", "ahostsv4", "www.example.test"])
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        fake = result.stdout.decode().split()[0]
        self.assertRegex(fake, r"^198\.1[89]\.")
        self.restart_engine()
        # Only the name can have taken the connection through the proxy: the address is no real host's.
        self.assertEqual(self.fetch(url(fake, 8008))["peer"], SOCKS5_OPEN)
        self.assertEqual(self.probe("198.19.255.254", 8008), "reset")
        self.agent.wait_for_log(r"198\.19\.255\.254:8008 refused: the name it stands for is no longer known")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--engine", required=True)
    parser.add_argument("--agent", required=True)
    parser.add_argument("--ctl", required=True)
    arguments, rest = parser.parse_known_args()
    PATHS.update(engine=arguments.engine, quillon=arguments.agent, quillonctl=arguments.ctl)
    reason = netns.why_not_root()
    if reason:
        print(f"SKIPPED: the interception tests {reason}")
        return 77
    program = unittest.main(argv=[sys.argv[0], "-v"] + rest, exit=False)
    result = program.result
    if result.wasSuccessful() and result.skipped and len(result.skipped) >= result.testsRun:
        return 77
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
