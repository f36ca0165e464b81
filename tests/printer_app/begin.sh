# The start that the app's test scripts share; source it from bash once the
# script has set `here` to its own folder:
#
#   . "$here/begin.sh"                 the app's helpers and the checks
#   . "$here/begin.sh" --netns "$@"    the same, in a network and mount
#                                      namespace of the script's own (the
#                                      script is re-run there with its
#                                      arguments; see ../e2e/netns.sh)
#
# Then $W is a new work folder, and on exit everything app.sh started is
# stopped and $W removed, unless KEEP is set (it is then named at once).
if [ "${1:-}" = --netns ]; then
    shift
    . "$here/../e2e/netns.sh"
    # Before anything is made: the outer run is replaced by the inner one
    # and would leave it behind.
    netns_enter "$0" "$@"
fi
. "$here/app.sh"
. "$here/../e2e/assert.sh"
W=$(mktemp -d)
[ -z "${KEEP:-}" ] || echo "work folder: $W"
trap 'app_cleanup; [ -n "${KEEP:-}" ] || rm -rf "$W"' EXIT
