#!/bin/bash
# From the client namespace of a WIRE=yes set-up: a ping to the outside host of each family and a name
# lookup through the client's resolver, while wire.py watches the client's link. Prints one line,
#   v4=WHERE v6=WHERE dns=WHERE other=N
# WHERE: tunnel (answered, and nothing of it left the link in clear), clear (it left the link in clear),
# blocked (unanswered, and nothing of it left). For the lookup, "tunnel" means that the gateway's resolver
# answered a query from the tunnel's address and the user's resolver got none; "user" that the user's
# resolver was asked, through the tunnel. other counts what else the client sent in clear besides IKE
# to the gateway (the peer of a connection opened before the tunnel may still send to the real address;
# the client's answers then go into the tunnel, not on the link). Lines starting with "#" follow with
# the details.
#
#   wire-probe.sh DIR [RESOLV_CONF]   RESOLV_CONF: the file that stands for /etc/resolv.conf, if not
#                                     the one in /etc/netns that ip netns exec uses already
set -u
D=$1; resolv=${2:-}
. "$D/pair.env" || exit 1
cap=$(mktemp "$D/wire.XXXXXX")
ip netns exec "$NS_CLIENT" python3 "$WIRE_PY" sniff "$CLIENT_IF" "$cap" "$GW_ADDR" 2>"$cap.err" &
sniffer=$!
for _ in $(seq 50); do [ -f "$cap.ready" ] && break; sleep 0.1; done
[ -f "$cap.ready" ] || { echo "# sniffer did not start: $(cat "$cap.err")"; kill "$sniffer"; exit 1; }

answered() { "$@" >/dev/null 2>&1 && echo yes || echo no; }
v4=$(answered ip netns exec "$NS_CLIENT" ping -n -c 1 -W 2 "$OUT4")
v6=$(answered ip netns exec "$NS_CLIENT" ping -6 -n -c 1 -W 2 "$OUT6")
before=$(cat "$DNS_LOG" 2>/dev/null | wc -l)
if [ -n "$resolv" ]; then
    # A copy: a file seen through another mount namespace (/proc/PID/root) cannot be bound.
    cp "$resolv" "$cap.resolv" 2>/dev/null || : > "$cap.resolv"
    answer=$(ip netns exec "$NS_CLIENT" unshare --mount sh -c \
        'mount --bind "$1" /etc/resolv.conf && exec getent ahostsv4 "$2"' lookup "$cap.resolv" "$WIRE_NAME" 2>/dev/null)
else
    answer=$(ip netns exec "$NS_CLIENT" getent ahostsv4 "$WIRE_NAME" 2>/dev/null)
fi
answer=$(echo "$answer" | awk 'NR == 1 { print $1 }')
sleep 0.3 # the last replies reach the sniffer
kill "$sniffer"
for _ in $(seq 50); do [ -f "$cap.done" ] && break; sleep 0.1; done
wait "$sniffer" 2>/dev/null
queries=$(tail -n +$((before + 1)) "$DNS_LOG" 2>/dev/null)

# "PROTO SRC DST DPORT in|out" for every packet that was neither IKE nor the link's housekeeping.
leaked() { awk -v a="$1" -v b="${2:-}" '$1 != "ike" && ($2 == a || $3 == a || (b != "" && $4 == b))' "$cap" | wc -l; }
where() { # answered, packets in clear
    if [ "$2" -gt 0 ]; then echo clear; elif [ "$1" = yes ]; then echo tunnel; else echo blocked; fi
}
dns_clear=$(awk -v u="$USER_DNS" -v t4="$TUNNEL_DNS4" -v t6="$TUNNEL_DNS6" \
    '$1 != "ike" && ($4 == 53 || $3 == u || $3 == t4 || $3 == t6)' "$cap" | wc -l)
user_got=$(echo "$queries" | awk -v u="$USER_DNS" '$1 == u' | grep -c .)
pool4=${POOL%.*}. pool6=${POOL6%::*}::
tunnel_got=$(echo "$queries" | awk -v p4="$pool4" -v p6="$pool6" -v u="$USER_DNS" \
    '$1 != u && (index($2, p4) == 1 || index($2, p6) == 1)' | grep -c .)
if [ "$dns_clear" -gt 0 ]; then dns=clear
elif [ "$user_got" -gt 0 ]; then dns=user # the user's resolver, asked through the tunnel
elif [ "$tunnel_got" -gt 0 ] && [ "$answer" = "$OUT4" ]; then dns=tunnel
else dns=blocked; fi
other=$(awk -v o4="$OUT4" -v o6="$OUT6" -v u="$USER_DNS" -v t4="$TUNNEL_DNS4" -v t6="$TUNNEL_DNS6" \
    '$1 != "ike" && $5 == "out" && $4 != 53 && !($2 in a) && !($3 in a)
     BEGIN { a[o4]; a[o6]; a[u]; a[t4]; a[t6] }' "$cap" | wc -l)
echo "v4=$(where "$v4" "$(leaked "$OUT4")") v6=$(where "$v6" "$(leaked "$OUT6")") dns=$dns other=$other"
echo "# answers: v4 $v4, v6 $v6, lookup '$answer'; $(grep '^ike' "$cap") packets of IKE"
echo "$queries" | sed 's/^/# query: /'
grep -v '^ike' "$cap" | head -20 | sed 's/^/# in clear: /'
ip -n "$NS_CLIENT" -6 route show table all | grep -v "^local\|^multicast\|^fe80\|^anycast" | sed 's/^/# IPv6 route: /'
ip -n "$NS_CLIENT" -6 neigh | sed 's/^/# IPv6 neighbour: /'
rm -f "$cap" "$cap".*
