"""Refused connections: the next N connection attempts to the listening socket get a TCP reset for their SYN.

A client then sees its connect fail as with no server at all (ECONNREFUSED; WinINet's 12029), while the
listener stays open for the attempt after them. Each SYN is held until it has been judged, so the count is
exact however fast the client tries again:

- a socket filter on the listener drops SYNs (segments with SYN and without ACK) while the refusal is armed;
  the kernel then neither answers them nor queues a connection;
- a raw socket, opened right after the filter, sees every such SYN and answers the first N distinct ones
  (by source port and sequence number, so a retransmitted SYN counts once) with RST|ACK;
- after the N-th reset the filter comes off; a SYN that slipped in just before that is answered by the
  client's own retransmission a second later, which the listener then accepts.

Needs CAP_NET_RAW (root, or root of the network namespace the server runs in); IPv4 only.
"""

import ctypes
import socket
import struct
import threading

SO_ATTACH_FILTER = 26
SO_DETACH_FILTER = 27
SKF_NET_OFF = -0x100000
TCP_SYN, TCP_RST, TCP_ACK = 0x02, 0x04, 0x10


class _SockFilter(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint16), ("jt", ctypes.c_uint8), ("jf", ctypes.c_uint8), ("k", ctypes.c_uint32)]


class _SockFprog(ctypes.Structure):
    _fields_ = [("len", ctypes.c_uint16), ("filter", ctypes.POINTER(_SockFilter))]


def _u32(value):
    return value & 0xFFFFFFFF


# Drop a segment whose flags have SYN without ACK; keep every other one.
_DROP_BARE_SYN = [
    (0xB1, 0, 0, _u32(SKF_NET_OFF)),       # ldxb 4*([net]&0xf): X = IP header length
    (0x50, 0, 0, _u32(SKF_NET_OFF + 13)),  # ldb [x + net + 13]: the TCP flags
    (0x54, 0, 0, TCP_SYN | TCP_ACK),       # and #SYN|ACK
    (0x15, 0, 1, TCP_SYN),                 # jeq #SYN
    (0x06, 0, 0, 0),                       # ret #0: dropped
    (0x06, 0, 0, 0xFFFFFFFF),              # ret #-1: kept whole
]


def _filter_bytes():
    program = (_SockFilter * len(_DROP_BARE_SYN))(*[_SockFilter(*i) for i in _DROP_BARE_SYN])
    # The kernel copies the program during setsockopt; `program` only has to live until then.
    return program, bytes(_SockFprog(len(_DROP_BARE_SYN), program))


def _checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def reset_for(syn_src, syn_dst, src_port, dst_port, seq):
    """The TCP header (no IP header) of the RST|ACK that answers a SYN from syn_src:src_port to syn_dst:dst_port."""
    header = struct.pack("!HHIIBBHHH", dst_port, src_port, 0, (seq + 1) & 0xFFFFFFFF, 5 << 4, TCP_RST | TCP_ACK,
                         0, 0, 0)
    pseudo = socket.inet_aton(syn_dst) + socket.inet_aton(syn_src) + struct.pack("!BBH", 0, socket.IPPROTO_TCP, 20)
    return header[:16] + struct.pack("!H", _checksum(pseudo + header)) + header[18:]


class ConnectionRefuser:
    """Refuses the next connection attempts to one listening IPv4 socket; see the module text."""

    def __init__(self, listener):
        self._listener = listener
        self._address, self._port = listener.getsockname()[:2]
        self._lock = threading.Lock()
        self._left = 0
        self._raw = None
        self._thread = None
        self.refused = 0

    def arm(self, count):
        """Refuse the next `count` new connections (added to any refusals still pending)."""
        count = int(count)
        if count < 1:
            raise ValueError("connections must be at least 1")
        with self._lock:
            self._left += count
            if self._raw is not None:
                return
            # Filter first: a SYN that comes before the raw socket sees anything is dropped unseen, and
            # its retransmission is judged like any other.
            program, fprog = _filter_bytes()
            self._listener.setsockopt(socket.SOL_SOCKET, SO_ATTACH_FILTER, fprog)
            try:
                raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_TCP)
                raw.bind((self._address, 0))
                raw.settimeout(0.1)
            except OSError:
                self._left = 0
                self._listener.setsockopt(socket.SOL_SOCKET, SO_DETACH_FILTER, 0)
                raise
            self._raw = raw
            self._thread = threading.Thread(target=self._answer, args=(self._raw,), name="standin-refuser",
                                            daemon=True)
            self._thread.start()

    def _answer(self, raw):
        with raw:
            self._answer_on(raw)

    def _answer_on(self, raw):
        seen = set()
        while True:
            with self._lock:
                if self._raw is not raw:
                    return
            try:
                packet, _ = raw.recvfrom(65535)
            except socket.timeout:
                continue
            ihl = (packet[0] & 0x0F) * 4
            src, dst = socket.inet_ntoa(packet[12:16]), socket.inet_ntoa(packet[16:20])
            src_port, dst_port, seq = struct.unpack("!HHI", packet[ihl:ihl + 8])
            flags = packet[ihl + 13]
            if dst_port != self._port or flags & (TCP_SYN | TCP_ACK) != TCP_SYN or (src_port, seq) in seen:
                continue
            seen.add((src_port, seq))
            with self._lock:
                if self._raw is not raw or self._left == 0:
                    continue
                # Counted before the reset leaves: the client may ask for the count as soon as it is refused.
                self._left -= 1
                self.refused += 1
                raw.sendto(reset_for(src, dst, src_port, dst_port, seq), (src, 0))
                if self._left == 0:
                    self._stop_locked()
                    return

    def _stop_locked(self):
        """Takes the filter off; the answering thread sees it and closes its raw socket."""
        if self._raw is None:
            return
        self._raw = None
        self._listener.setsockopt(socket.SOL_SOCKET, SO_DETACH_FILTER, 0)

    def disarm(self):
        """Stop refusing: pending refusals are dropped, and the listener accepts again."""
        with self._lock:
            self._left = 0
            thread, self._thread = self._thread, None
            try:
                self._stop_locked()
            except OSError:
                pass  # the listener is already closed
        if thread is not None and thread is not threading.current_thread():
            thread.join()
