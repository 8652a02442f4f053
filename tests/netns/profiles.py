"""Profile documents for the interception tests, written as the settings tool imports them."""

import base64
import os
from xml.sax.saxutils import quoteattr

from netns import (CHAIN_HOP2, CHAIN_HOP3, HTTP_PROXY, HTTP_TRANSPARENT, NET_V4, NET_V6, PROXY_PASSWORD, PROXY_USER,
                   SOCKS4, SOCKS4A, SOCKS5_AUTH, SOCKS5_OPEN, SOCKS5_OPEN_V6, SSH_SERVER, USER_PYTHON)

# The file name of the test users' Python as the kernel knows the running program ("python3.11").
PYTHON_NAME = os.path.basename(os.path.realpath(USER_PYTHON))


def proxy(kind, host, port, user=None, password=None, anonymize=False, filter_ports=(), client_key=None, **extra):
    attributes = {"type": kind, "host": host, "port": str(port), "name": extra.get("name", f"{kind} {host}")}
    if client_key:
        attributes["cipher"] = "default"
        return ("proxy", dict(attributes, username=user), [("clientKey", base64.b64encode(client_key).decode())])
    if user:
        attributes["username"] = user
    if password:
        attributes["password"] = password
    if anonymize:
        attributes["anonymizeRequests"] = "true"
    return ("proxy", attributes, [("filterPorts", [("port", p) for p in filter_ports])] if filter_ports else [])


def chain(name, *members):
    return ("proxyChain", {"name": name}, list(members))


def rule(name, action, proxy=None, hosts=(), ports=(), applications=()):
    attributes = {"name": name, "action": action, "enabled": "true"}
    if proxy is not None:
        attributes["proxyIdentifier"] = str(proxy)
    lists = [(tag, [(item, entry) for entry in entries])
             for tag, item, entries in (("applications", "application", applications), ("hosts", "host", hosts),
                                        ("ports", "port", ports)) if entries]
    return ("rule", attributes, lists)


def dns_entry(name, resolve, hosts=()):
    lists = [("hosts", [("host", entry) for entry in hosts])] if hosts else []
    return ("dnsItem", {"name": name, "resolve": resolve, "enabled": "true"}, lists)


def _element(node, order=None, identifier=None):
    tag, attributes, children = node
    attributes = dict(attributes)
    if order is not None:
        attributes["order"] = str(order)
    if identifier is not None:
        attributes["identifier"] = str(identifier)
    text = " ".join(f"{key}={quoteattr(value)}" for key, value in attributes.items())
    inner = ""
    for position, child in enumerate(children):
        if isinstance(child[1], str):  # a text element
            inner += f"<{child[0]}>{child[1]}</{child[0]}>"
        elif isinstance(child[1], list):  # a list of text elements
            inner += f"<{child[0]}>" + "".join(f"<{t}>{v}</{t}>" for t, v in child[1]) + f"</{child[0]}>"
        else:
            inner += _element(child, order=position)
    return f"<{tag} {text}>{inner}</{tag}>"


def document(profiles):
    """profiles: {name: (proxy items, rules[, DNS entries])}; proxy items are referred to by their position."""
    body = ""
    for order, (name, (items, rules, *dns)) in enumerate(profiles.items()):
        proxies = "".join(_element(item, order=i, identifier=i) for i, item in enumerate(items))
        entries = "".join(_element(d, order=i) for i, d in enumerate(dns[0] if dns else []))
        body += (f"<profile name={quoteattr(name)} order=\"{order}\"><proxies>{proxies}</proxies><rules>"
                 + "".join(_element(r, order=i) for i, r in enumerate(rules)) + f"</rules><dns>{entries}</dns></profile>")
    return f"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<profiles>{body}</profiles>\n"


# Proxy items of the routing profile, by position.
OPEN, AUTH, S4, S4A, CONNECT, ABSOLUTE, TRANSPARENT, CHAIN, DEAD, FILTERED, WRONG_PASSWORD, OPEN_V6, SSH = range(13)


def routing_profile(client_key):
    items = [
        proxy("socks5", SOCKS5_OPEN, 1080),
        proxy("socks5", SOCKS5_AUTH, 1080, PROXY_USER, PROXY_PASSWORD),
        proxy("socks4", SOCKS4, 1080, user="quillon"),
        proxy("socks4a", SOCKS4A, 1080),
        proxy("httpConnect", HTTP_PROXY, 3128, PROXY_USER, PROXY_PASSWORD),
        proxy("httpNonTransparent", HTTP_PROXY, 3128, PROXY_USER, PROXY_PASSWORD, anonymize=True),
        proxy("httpTransparent", HTTP_TRANSPARENT, 8080, anonymize=True),
        chain("three hops", proxy("socks5", SOCKS5_AUTH, 1080, PROXY_USER, PROXY_PASSWORD),
              proxy("socks4", CHAIN_HOP2, 1080), proxy("httpConnect", CHAIN_HOP3, 3128, PROXY_USER, PROXY_PASSWORD)),
        proxy("socks5", NET_V4, 9, name="dead"),
        proxy("socks5", SOCKS5_OPEN, 1080, filter_ports=["8012"]),
        proxy("socks5", SOCKS5_AUTH, 1080, PROXY_USER, "wrong"),
        proxy("socks5", SOCKS5_OPEN_V6, 1080),
        proxy("sshTunnel", SSH_SERVER, 22, "root", client_key=client_key),
    ]
    rules = [
        # A name none of these connections has never matches: this would block everything.
        rule("names only", "block", hosts=["origin.test"]),
        rule("other addresses", "block", hosts=["10.77.0.40-10.77.0.60", "fd77::40-fd77::60"]),
        # The agent's own SSH session goes direct all the same.
        rule("SSH server", "block", hosts=[SSH_SERVER]),
    ]
    for port, item in ((8001, OPEN), (8002, AUTH), (8003, S4), (8004, S4A), (8005, CONNECT), (8006, ABSOLUTE),
                       (8007, TRANSPARENT), (8008, CHAIN), (8011, DEAD), (8014, WRONG_PASSWORD), (8017, SSH)):
        rules.append(rule(f"port {port}", "proxy", item, ports=[str(port)]))
    rules += [
        rule("blocked", "block", ports=["8009"]),
        rule("direct", "direct", ports=["8010"]),
        rule("filtered", "proxy", FILTERED, ports=["8012-8013"]),
        rule("IPv6 origin", "proxy", OPEN_V6, hosts=[NET_V6], ports=["8015"]),
        rule("IPv6 through SOCKS 4", "proxy", S4, hosts=[NET_V6], ports=["8016"]),
        rule("one address, port range", "proxy", OPEN, hosts=[NET_V4], ports=["8020-8029"]),
    ]
    return items, rules


def counting_profile():
    """Everything direct but one blocked port: all of it relayed, so all of it counted."""
    return [], [rule("blocked", "block", ports=["8009"])]


def names_profile():
    """Names under corp.test resolved locally, every other name remotely; rules by host name."""
    items = [proxy("socks5", SOCKS5_OPEN, 1080), proxy("socks5", SOCKS5_AUTH, 1080, PROXY_USER, PROXY_PASSWORD),
             proxy("socks4", SOCKS4, 1080, user="quillon")]
    rules = [
        rule("wget", "block", applications=["wget"], ports=["8011"]),
        rule("curl by path", "proxy", 0, applications=["/usr/bin/curl"], ports=["8011"]),
        rule("python", "proxy", 0, applications=[PYTHON_NAME], ports=["8012"]),
        rule("SOCKS 4 by name", "proxy", 2, hosts=["s4.remote.test"]),
        rule("IPv6 name", "block", hosts=["V6.corp.test"]),
        rule("corp", "proxy", 1, hosts=["*.corp.test"]),
        rule("example", "proxy", 0, hosts=["*.example.test"]),
    ]
    dns = [dns_entry("corp", "local", ["*.corp.test"]), dns_entry("everything else", "remote")]
    return items, rules, dns
