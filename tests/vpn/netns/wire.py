#!/usr/bin/env python3
"""Helpers for the wire tests, run inside the test namespaces.

  wire.py dns LOG ADDR=TABLE...   answer A/AAAA queries on UDP port 53 of each ADDR from its TABLE
                                  ("name:4=addr,name:6=addr"), logging "ADDR SOURCE NAME TYPE" to LOG
  wire.py sniff IFACE OUT PEER    note every IP packet on IFACE that is not IKE (UDP 500/4500) to or from
                                  PEER, nor neighbour discovery, as "PROTO SRC DST DPORT in|out" lines in OUT;
                                  OUT.ready appears once it listens, OUT.done when it stopped (SIGTERM)
"""
import ipaddress, os, select, signal, socket, struct, sys


def dns(log, servers):
    socks = {}
    for server in servers:
        addr, table = server.split('=', 1)
        answers = {}
        for item in filter(None, table.split(',')):
            key, value = item.split('=')
            answers[key] = value
        fam = socket.AF_INET6 if ':' in addr else socket.AF_INET
        s = socket.socket(fam, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((addr, 53))
        socks[s] = (addr, answers)
    out = open(log, 'a', buffering=1)
    while True:
        ready, _, _ = select.select(list(socks), [], [])
        for s in ready:
            data, src = s.recvfrom(2048)
            addr, answers = socks[s]
            if len(data) < 12:
                continue
            labels, i = [], 12
            while i < len(data) and data[i]:
                labels.append(data[i + 1:i + 1 + data[i]].decode('ascii', 'replace'))
                i += 1 + data[i]
            qtype = struct.unpack('!H', data[i + 1:i + 3])[0] if i + 3 <= len(data) else 0
            question = data[12:i + 5]
            name = '.'.join(labels).lower()
            kind = {1: '4', 28: '6'}.get(qtype)
            out.write('%s %s %s %s\n' % (addr, src[0], name, kind or qtype))
            found = answers.get('%s:%s' % (name, kind)) if kind else None
            rcode = 0 if found or ('%s:4' % name) in answers or ('%s:6' % name) in answers else 3
            header = struct.pack('!HHHHHH', struct.unpack('!H', data[:2])[0], 0x8180 | rcode, 1,
                                 1 if found else 0, 0, 0)
            reply = header + question
            if found:
                rdata = ipaddress.ip_address(found).packed
                reply += struct.pack('!HHHIH', 0xC00C, qtype, 1, 5, len(rdata)) + rdata
            s.sendto(reply, src)


def sniff(iface, out, peer):
    peer = ipaddress.ip_address(peer)
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
    s.bind((iface, 0))
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    seen = open(out, 'w', buffering=1)
    open(out + '.ready', 'w').close()
    ike = 0
    while not stop:
        try:
            r, _, _ = select.select([s], [], [], 0.1)
        except InterruptedError:
            continue
        if not r:
            continue
        frame, where = s.recvfrom(65535)
        outgoing = where[2] == socket.PACKET_OUTGOING
        etype = struct.unpack('!H', frame[12:14])[0]
        if etype == 0x0800:
            ihl = (frame[14] & 0x0F) * 4
            proto, src, dst = frame[23], frame[26:30], frame[30:34]
            l4 = frame[14 + ihl:]
        elif etype == 0x86DD:
            proto, src, dst = frame[20], frame[22:38], frame[38:54]
            l4 = frame[54:]
        else:
            continue  # ARP
        src, dst = ipaddress.ip_address(src), ipaddress.ip_address(dst)
        ports = struct.unpack('!HH', l4[:4]) if proto in (6, 17) and len(l4) >= 4 else (0, 0)
        if proto == 17 and peer in (src, dst) and (ports[0] in (500, 4500) or ports[1] in (500, 4500)):
            ike += 1
            continue
        # Neighbour discovery and multicast listener reports: the link's own housekeeping.
        if proto == 58 and l4[:1] and l4[0] in (130, 131, 132, 133, 134, 135, 136, 137, 143):
            continue
        if dst.version == 6 and dst.is_multicast and dst.is_link_local or str(dst).startswith('ff02:'):
            continue
        seen.write('%d %s %s %d %s\n' % (proto, src, dst, ports[1], 'out' if outgoing else 'in'))
    seen.write('ike %d\n' % ike)
    seen.close()
    open(out + '.done', 'w').close()


if __name__ == '__main__':
    if sys.argv[1] == 'dns':
        dns(sys.argv[2], sys.argv[3:])
    elif sys.argv[1] == 'sniff':
        sniff(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        sys.exit('unknown command ' + sys.argv[1])
