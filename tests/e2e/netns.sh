# A network and mount namespace of the test's own, whose only interface is
# loopback; source this file from bash at the top of a test script.
#
#   netns_enter "$0" "$@"
#       Outside: re-runs the script in a new namespace (unshare --net --mount
#       --fork) and exits with its status; exits 77 (skipped) when none can
#       be made. Inside: checks that the namespaces really are new ones,
#       brings lo up and checks that no other interface is up (exits 1 when
#       not), and mounts a tmpfs over /run, hiding the system's D-Bus.
#       Mounts made afterwards stay inside.
#
# The namespaces are told apart by their ids, which the outer run hands
# down: /proc/1/ns may not be readable, so "not the same as PID 1's" would
# take the machine's own namespace for a new one.

netns_enter() {
    local script=$1
    shift
    if [ -z "${NETNS_OUTER:-}" ]; then
        unshare --net --mount --fork true 2>/dev/null ||
            { echo "SKIPPED: can't make a network namespace (unshare --net --mount)"; exit 77; }
        NETNS_OUTER="$(readlink /proc/self/ns/net) $(readlink /proc/self/ns/mnt)" \
            exec unshare --net --mount --propagation private --fork "$BASH" "$script" "$@"
    fi
    local here_ns links
    here_ns="$(readlink /proc/self/ns/net) $(readlink /proc/self/ns/mnt)"
    local outer_net=${NETNS_OUTER%% *} outer_mnt=${NETNS_OUTER##* }
    if [ -z "$outer_net" ] || [ "${here_ns%% *}" = "$outer_net" ] || [ "${here_ns##* }" = "$outer_mnt" ]; then
        echo "not in a namespace of its own ($here_ns, outside $NETNS_OUTER): stopping" >&2
        exit 1
    fi
    # A new namespace may hold tunnel devices (sit0, tunl0), always down.
    ip link set lo up || { echo "can't bring lo up" >&2; exit 1; }
    links=$(ip -o link show up | awk -F': ' '{print $2}' | tr '\n' ' ')
    if [ "$links" != "lo " ]; then
        echo "the namespace has interfaces up besides lo ($links): stopping" >&2
        exit 1
    fi
    mount -t tmpfs tmpfs /run || { echo "can't mount a tmpfs on /run" >&2; exit 1; }
}
