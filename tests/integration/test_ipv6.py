"""IPv6 beside IPv4, judged by tshark: a dual-stack capture made between two network namespaces
of the test's own (a veth pair with documentation addresses), then replayed. Plain HTTP over
both families, TLS over IPv6 with and without a server name, ping -6 and UDP.
"""
import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from ravelin_harness import (DEADLINE, is_root, missing_tools, parse_packet_lines, run_ravelin,
                             wait_until, wait_until_recorded)

CLIENT6, SERVER6 = "2001:db8:6::1", "2001:db8:6::2"
CLIENT4, SERVER4 = "10.66.0.1", "10.66.0.2"
HTTP_PORT, TLS_PORT, UDP_PORT = 8080, 8443, 5353

# ICMPv6 rows have no ports; TCP and UDP rows show the payload's length, others 40 + the
# payload length field (ipv6.plen), as IPv4 rows show the total length.
FIELDS = ["ipv6.src", "ipv6.dst", "ipv6.nxt", "ipv6.plen", "ip.src", "ip.dst", "ip.proto",
          "ip.len", "tcp.srcport", "tcp.dstport", "tcp.len", "udp.srcport", "udp.dstport",
          "udp.length", "icmpv6.type"]
NAMES = {"6": "TCP", "17": "UDP", "1": "ICMP", "58": "ICMPV6"}


def tshark_rows(path):
    """What each packet row should say, frame by frame, from tshark's own decode."""
    argv = ["tshark", "-r", str(path), "-n", "-Y", "ip or ipv6", "-T", "fields",
            "-E", "separator=/t", "-E", "occurrence=f", "-o", "tcp.desegment_tcp_streams:FALSE"]
    for field in FIELDS:
        argv += ["-e", field]
    done = subprocess.run(argv, capture_output=True, text=True, timeout=120, check=True)
    rows = []
    for line in done.stdout.splitlines():
        f = dict(zip(FIELDS, line.split("\t")))
        six = bool(f["ipv6.src"])
        # ipv6.nxt names the first header after the fixed one: a hop-by-hop header before
        # ICMPv6 (as in MLD reports) says 0, where the row names the upper protocol.
        protocol = ("58" if f["icmpv6.type"] else f["ipv6.nxt"]) if six else f["ip.proto"]
        if f["tcp.srcport"]:
            ports, length = (f["tcp.srcport"], f["tcp.dstport"]), int(f["tcp.len"])
        elif f["udp.srcport"]:
            ports, length = (f["udp.srcport"], f["udp.dstport"]), int(f["udp.length"]) - 8
        else:
            ports = ("", "")
            length = 40 + int(f["ipv6.plen"]) if six else int(f["ip.len"])
        rows.append((NAMES.get(protocol, protocol),
                     f["ipv6.src"] if six else f["ip.src"], ports[0],
                     f["ipv6.dst"] if six else f["ip.dst"], ports[1], length))
    return rows


class DualStackCaptureTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not is_root():
            raise unittest.SkipTest("network namespaces need root")
        missing = missing_tools("ip", "tcpdump", "tshark", "curl", "openssl", "ping")
        if missing:
            raise unittest.SkipTest(f"not installed: {', '.join(missing)}")
        cls.tmp = Path(tempfile.mkdtemp(prefix="ravelin-ipv6-"))
        cls.addClassCleanup(shutil.rmtree, cls.tmp, True)
        tag = os.getpid()
        client, server = f"ravelin-c6-{tag}", f"ravelin-s6-{tag}"
        for namespace in (client, server):
            subprocess.run(["ip", "netns", "add", namespace], check=True, timeout=30)
            cls.addClassCleanup(subprocess.run, ["ip", "netns", "del", namespace], timeout=30)
        cls.inside = {name: ["ip", "netns", "exec", name] for name in (client, server)}
        run = lambda *argv: subprocess.run(argv, check=True, timeout=30)  # noqa: E731
        run("ip", "link", "add", f"rc{tag}", "netns", client, "type", "veth", "peer", "name",
            f"rs{tag}", "netns", server)
        for name, link, v6, v4 in ((client, f"rc{tag}", CLIENT6, CLIENT4),
                                   (server, f"rs{tag}", SERVER6, SERVER4)):
            inside = cls.inside[name]
            # No duplicate address detection: the address is usable at once.
            run(*inside, "sysctl", "-q", "-w", f"net.ipv6.conf.{link}.accept_dad=0")
            run(*inside, "ip", "addr", "add", f"{v6}/64", "dev", link, "nodad")
            run(*inside, "ip", "addr", "add", f"{v4}/24", "dev", link)
            run(*inside, "ip", "link", "set", link, "up")
            run(*inside, "ip", "link", "set", "lo", "up")
        cls.capture = cls.tmp / "dual.pcap"
        cls.record(client, server, f"rc{tag}")
        code, out, err = run_ravelin("--read", str(cls.capture), "--print", "packets",
                                     "--print", "http")
        if code != 0:
            raise AssertionError(f"replay failed ({code}): {err}")
        cls.packets = parse_packet_lines("".join(
            line + "\n" for line in out.splitlines() if line.count("\t") == 9))
        cls.http = [line.split("\t") for line in out.splitlines() if line.count("\t") != 9]

    @classmethod
    def record(cls, client, server, link):
        c, s = cls.inside[client], cls.inside[server]
        children = []

        def start(argv, **kwargs):
            child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     **kwargs)
            children.append(child)
            return child

        try:
            key, cert = cls.tmp / "key.pem", cls.tmp / "cert.pem"
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                            "1", "-subj", "/CN=v6.ravelin.test", "-keyout", str(key), "-out",
                            str(cert)], check=True, timeout=60, capture_output=True)
            (cls.tmp / "page.html").write_text("<html>v6</html>")
            start([*s, "python3", "-m", "http.server", "--bind", "::", str(HTTP_PORT)],
                  cwd=cls.tmp)
            start([*s, "openssl", "s_server", "-accept", f"[::]:{TLS_PORT}", "-key", str(key),
                   "-cert", str(cert), "-www"])
            start([*s, "python3", "-c", "import socket\n"
                   f"s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)\n"
                   f"s.bind(('::', {UDP_PORT}))\n"
                   "while True:\n    data, peer = s.recvfrom(2048)\n    s.sendto(data, peer)"])
            # Immediate mode: tcpdump's ring otherwise hands over a block only when it is full or
            # a second has passed, so what the exchanges sent may still be in the kernel.
            start([*c, "tcpdump", "-i", link, "--immediate-mode", "-U", "-w",
                   str(cls.capture)])
            wait_until(lambda: cls.capture.exists() and cls.capture.stat().st_size > 0, DEADLINE,
                       "tcpdump's file header")

            def curl(url):
                wait_until(lambda: subprocess.run(
                    [*c, "curl", "-sS", "-k", "--max-time", "5", "-o", os.devnull, url],
                    timeout=30).returncode == 0, DEADLINE, url)

            curl(f"http://[{SERVER6}]:{HTTP_PORT}/page.html")
            curl(f"http://{SERVER4}:{HTTP_PORT}/page.html")
            curl(f"https://[{SERVER6}]:{TLS_PORT}/")  # no server name for an address
            subprocess.run([*c, "curl", "-sS", "-k", "--max-time", "5", "-o", os.devnull,
                            "--resolve", f"v6.ravelin.test:{TLS_PORT}:[{SERVER6}]",
                            f"https://v6.ravelin.test:{TLS_PORT}/"], check=True, timeout=30)
            subprocess.run([*c, "ping", "-6", "-c", "2", "-i", "0.2", SERVER6], check=True,
                           timeout=30, capture_output=True)
            subprocess.run([*c, "python3", "-c", "import socket\n"
                            "s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)\n"
                            "s.settimeout(5)\n"
                            f"s.sendto(b'hello over six', ('{SERVER6}', {UDP_PORT}))\n"
                            "s.recvfrom(2048)"], check=True, timeout=30)
            # The echo's request and answer are the last exchange: once both are in the file,
            # everything before them is too.
            wait_until_recorded(cls.capture, b"hello over six", 2, "the UDP echo")
        finally:
            for child in reversed(children):
                child.terminate()
            for child in children:
                child.wait(timeout=30)

    def test_packet_rows_equal_tsharks_decode(self):
        judged = tshark_rows(self.capture)
        listed = [(p.protocol, p.source, p.source_port, p.destination, p.destination_port,
                   p.length) for p in self.packets]
        # Neighbour discovery is listed with the rest; ARP is not IP.
        self.assertEqual(listed, judged)
        families = {":" in row[1] for row in listed}
        self.assertEqual(families, {True, False})
        self.assertIn("ICMPV6", {row[0] for row in listed})
        self.assertTrue(any(p.data == "hello over six" for p in self.packets))

    def test_web_rows_name_an_ipv6_server_in_brackets(self):
        urls = {row[3] for row in self.http if len(row) > 3}  # serial, time, method, URL
        self.assertIn(f"http://[{SERVER6}]:{HTTP_PORT}/page.html", urls)
        self.assertIn(f"http://{SERVER4}:{HTTP_PORT}/page.html", urls)
        self.assertIn(f"https://[{SERVER6}]:{TLS_PORT}/", urls)
        self.assertIn(f"https://v6.ravelin.test:{TLS_PORT}/", urls)


if __name__ == "__main__":
    unittest.main()
