"""What the sender, the receiver and the relay share of the network: host and address text,
address families, UDP sockets bound in pairs (RTP on P, RTCP on P + 1), reading a socket in
bounded batches, and the clocks. (Where RTCP goes back to is `_rtp.rtcp_return_address`, the
rule the receive loop applies.)
"""

from __future__ import annotations

import random
import socket
import time
from collections.abc import Callable, Iterable

Address = tuple[str, int]

# Linux: each datagram read carries the count of datagrams the socket's buffer had no room for.
SO_RXQ_OVFL = getattr(socket, "SO_RXQ_OVFL", 40)
# A whole IDR picture arrives at once (100 and more packets): buffers that hold it.
RECEIVE_BUFFER = 4 << 20
SEND_BUFFER = 1 << 20


def wall_us() -> int:
    """Microseconds since 1970 on the wall clock: the default capture clock."""
    return time.time_ns() // 1000


def mono_us() -> int:
    """Microseconds on the monotonic clock: the clock of every timer and arrival time."""
    return time.monotonic_ns() // 1000


def drain(sock: socket.socket, handle: Callable[[bytes, Address], None], limit: int = 64,
          size: int = 65536) -> None:
    """Hands `handle` what a non-blocking socket holds, at most `limit` datagrams, so that a
    flood on one socket cannot starve the others or the timers of one loop."""
    for _ in range(limit):
        try:
            data, src = sock.recvfrom(size)
        except OSError:  # nothing more (BlockingIOError), or the socket was closed
            return
        handle(data, src[:2])


def wake_drained(sock: socket.socket) -> None:
    """Empties the wake-up half of a socket pair."""
    try:
        sock.recv(64)
    except OSError:
        pass


# Bind addresses that mean any local address: IPv4 unless a peer has only an IPv6 address.
ANY_ADDRESS = ("0.0.0.0", "")
_MAPPED = "::ffff:"


def resolve_host(host: str, family: int = socket.AF_UNSPEC) -> str:
    """The numeric address of a host name or address (in brackets or not), as getaddrinfo
    writes it, of `family` (AF_INET or AF_INET6); with AF_UNSPEC, a name's IPv4 address when it
    has one, else its IPv6 address. An IPv4-mapped IPv6 address counts as IPv4."""
    name = host[1:-1] if host.startswith("[") and host.endswith("]") else host
    try:
        infos = socket.getaddrinfo(name, None, socket.AF_UNSPEC, socket.SOCK_DGRAM)
    except (socket.gaierror, UnicodeError, ValueError):
        raise ValueError(f"cannot resolve host {host!r}") from None
    found = [str(info[4][0]) for info in infos
             if info[0] in (socket.AF_INET, socket.AF_INET6)]
    found = [a[len(_MAPPED):] if a.startswith(_MAPPED) and "." in a else a for a in found]
    v4 = next((a for a in found if ":" not in a), None)
    v6 = next((a for a in found if ":" in a), None)
    pick = v6 if family == socket.AF_INET6 else v4 if family == socket.AF_INET else v4 or v6
    if pick is None:
        kind = "IPv4 " if family == socket.AF_INET else "IPv6 " if family == socket.AF_INET6 \
            else ""
        raise ValueError(f"cannot resolve host {host!r} to an {kind}address")
    return pick


def peer_address(host: str, bind: str) -> str:
    """The numeric address of `host` for a socket bound to the numeric address `bind`: of its
    family, except that a socket bound to `::` takes both, an IPv4 address written IPv4-mapped
    (as the socket reports the datagrams from it)."""
    address = resolve_host(host)
    if bind == "::":
        return _MAPPED + address if ":" not in address else address
    family = family_of(bind)
    if family == family_of(address):
        return address
    try:
        return resolve_host(host, family)
    except ValueError:
        want, have = ("IPv6", "IPv4") if family == socket.AF_INET6 else ("IPv4", "IPv6")
        raise ValueError(f"host {host!r} has only {have} addresses and the bind address {bind} "
                         f"is {want} (bind ::, which takes both)") from None


def family_of(address: str) -> int:
    """AF_INET6 for a numeric IPv6 address, else AF_INET."""
    return socket.AF_INET6 if ":" in address else socket.AF_INET


def bind_family(bind: str, peers: Iterable[str] = ()) -> tuple[str, int]:
    """The numeric address to bind for a socket that talks to `peers` (host names or
    addresses), and its family: a bind address's own; for 0.0.0.0 (or empty), IPv4 while every
    peer has an IPv4 address, else `::`. A socket bound to `::` takes both families (IPv4
    peers as IPv4-mapped addresses)."""
    if bind in ANY_ADDRESS:
        if all(":" not in resolve_host(peer) for peer in peers):
            return "0.0.0.0", socket.AF_INET
        return "::", socket.AF_INET6
    address = resolve_host(bind)
    return address, family_of(address)


def format_address(address: Address) -> str:
    """HOST:PORT, an IPv6 host in brackets ([::1]:5004); an IPv4-mapped one as IPv4."""
    host, port = address[0], address[1]
    if host.startswith(_MAPPED) and "." in host:
        host = host[len(_MAPPED):]
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def udp_socket(family: int, any_address: bool) -> socket.socket:
    sock = socket.socket(family, socket.SOCK_DGRAM)
    if family == socket.AF_INET6 and any_address:
        try:  # both families, whatever the system's default
            sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        except OSError:
            pass
    return sock


def bind_pair(host: str, port: int) -> tuple[socket.socket, socket.socket]:
    """Binds `port` and `port + 1` on `host` (a name or address of either family, 0.0.0.0 or
    ::); with port 0, an even free pair (bounded tries)."""
    host, family = bind_family(host)
    for _ in range(1 if port else 100):
        a = udp_socket(family, host == "::")
        try:
            a.bind((host, port))
            got = a.getsockname()[1]
            if port == 0 and (got % 2 or got >= 65535):
                a.close()
                continue
            b = udp_socket(family, host == "::")
            try:
                b.bind((host, got + 1))
            except OSError:
                b.close()
                if port:
                    raise
                a.close()
                continue
        except OSError:
            a.close()
            raise
        for s in (a, b):
            s.setblocking(False)
            for option, size in ((socket.SO_RCVBUF, RECEIVE_BUFFER),
                                 (socket.SO_SNDBUF, SEND_BUFFER)):
                try:  # the system's maximum caps it
                    s.setsockopt(socket.SOL_SOCKET, option, size)
                except OSError:
                    pass
            try:
                s.setsockopt(socket.SOL_SOCKET, SO_RXQ_OVFL, 1)
            except OSError:
                pass
        return a, b
    raise OSError(f"no free pair of UDP ports on {host}")


def free_pair(host: str = "127.0.0.1") -> int:
    """An even port P with P and P + 1 free on `host` a moment ago (bound, then let go): a place
    for an RTP receiver and its RTCP. Another program may take them in between, so P is drawn
    below the kernel's ephemeral range, where no socket bound to port 0 and no outgoing
    connection lands; a random draw keeps two callers apart."""
    low = _ephemeral_low()
    draw = random.SystemRandom()
    for _ in range(64):
        port = draw.randrange(max(1024, low - 16384) & ~1, low - 1, 2)
        try:
            a, b = bind_pair(host, port)
        except OSError:
            continue
        a.close()
        b.close()
        return port
    a, b = bind_pair(host, 0)
    port = a.getsockname()[1]
    a.close()
    b.close()
    return port


def _ephemeral_low() -> int:
    """The first port the kernel hands to sockets bound to port 0 (32768 where it cannot say)."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range", encoding="ascii") as f:
            low = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768
    return low if low >= 4096 else 32768


def parse_address(text: str) -> Address:
    """HOST:PORT, or [IPV6]:PORT, as a (host, port) pair (the host without brackets); a
    ValueError names what is wrong."""
    host, port = parse_host(text)
    if port is None:
        raise ValueError(f"address must be HOST:PORT or [IPV6]:PORT, got {text!r}")
    return host, port


def parse_host(text: str) -> tuple[str, int | None]:
    """HOST, HOST:PORT, [IPV6] or [IPV6]:PORT as (host, port or None); a bare IPv6 address
    (two colons or more) is a host without a port."""
    if text.startswith("["):
        host, sep, rest = text[1:].partition("]")
        if not sep or not host or "[" in host or (rest and not rest.startswith(":")):
            raise ValueError(f"an IPv6 address is written [IPV6] or [IPV6]:PORT, got {text!r}")
        return host, _port_of(rest[1:], text) if rest else None
    if text.count(":") != 1:
        if not text:
            raise ValueError("the host is empty")
        return text, None
    host, _, port = text.partition(":")
    if not host:
        raise ValueError(f"address must be HOST:PORT or [IPV6]:PORT, got {text!r}")
    return host, _port_of(port, text)


def _port_of(text: str, whole: str) -> int:
    if not text.isascii() or not text.isdigit() or len(text) > 5:
        raise ValueError(f"address must be HOST:PORT or [IPV6]:PORT, got {whole!r}")
    number = int(text)
    if not 0 <= number <= 65535:
        raise ValueError(f"port must be between 0 and 65535, got {number}")
    return number


def as_address(value: str | Address, bind: str | None = None) -> Address:
    """"HOST:PORT", "[IPV6]:PORT" or (host, port) as (numeric address, port): for a socket
    bound to the numeric address `bind` (see `peer_address`), else IPv4 when the host has an
    IPv4 address, else IPv6."""
    host, port = parse_address(value) if isinstance(value, str) else value
    if not 1 <= port <= 65534:
        raise ValueError(f"port must be between 1 and 65534, got {port}")
    return (resolve_host(host) if bind is None else peer_address(host, bind)), port


def bind_one(host: str, port: int) -> socket.socket:
    """A UDP socket bound to the numeric address `host` (`::` takes both families)."""
    s = udp_socket(family_of(host), host == "::")
    try:
        s.bind((host, port))
        s.setblocking(False)
    except OSError:
        s.close()
        raise
    return s
