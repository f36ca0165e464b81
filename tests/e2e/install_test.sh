#!/bin/bash
# The Debian package installed for real, used as the README says: the
# scheduler lists its PPDs under the names the README gives, the README's
# queue command makes a queue, and a PDF printed to it reaches the printer as
# PostScript that passed through the filter. The package is purged at the
# end unless it was installed before. Needs root.
#
#   install_test.sh DEB BACKEND
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/scheduler.sh"
. "$here/assert.sh"
DEB=$1 BACKEND=$2
README=$here/../../README.md
R4410='MFG:Quovel%3BCMD:PS%3BMDL:R4410KX%20series%3BCLS:PRINTER%3B'
FILTER=$(cups-config --serverbin 2>/dev/null)/filter/quovel-gate

W=$(mktemp -d)
chmod 755 "$W"
dpkg-query -W -f='${Status}' quovel-gate 2>/dev/null | grep -q "ok installed" && had_it=1 || had_it=
cleanup() {
    scheduler_stop
    [ -n "$had_it" ] || dpkg --purge quovel-gate >/dev/null
    rm -rf "$W"
}
trap cleanup EXIT

dpkg -i "$DEB" >"$W/dpkg.log" 2>&1 || { cat "$W/dpkg.log" >&2; exit 1; }
check "the package put the filter where the scheduler runs filters" test -x "$FILTER"
scheduler_start "$W/s" "$FILTER" "$BACKEND" "Debian GNU/Linux 12 \\n \\l" || exit 1

# The README shows what lpinfo -m lists, indented, and the queue command.
drivers=$(lpinfo -m 2>&1)
readme_drivers=$(grep -E '^    lsb/usr/quovel/[^ ]+\.ppd ' "$README" | sed 's/^    //')
check "the README names both PPDs" equals "$(wc -l <<<"$readme_drivers")" 2
while IFS= read -r line; do
    check "lpinfo -m lists \"$line\"" grep -qxF -- "$line" <<<"$drivers"
done <<<"$readme_drivers"

# The README's own lpadmin line, with the test's printer for its device URI.
read -ra cmd <<<"$(grep -m1 -E '^    lpadmin -p ' "$README")"
queue=${cmd[2]}
for i in "${!cmd[@]}"; do
    [ "${cmd[$i]}" = -v ] && cmd[$((i + 1))]="quovtest:$W/printer.prn?id=$R4410"
done
"${cmd[@]}" 2>&1 | grep -v 'Printer drivers are deprecated' >&2
check "the README's queue command made queue $queue" lpstat -p "$queue"

printf '%%!PS\n/Helvetica findfont 24 scalefont setfont\n72 720 moveto (Quovel) show showpage\n' >"$W/page.ps"
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -o "$W/page.pdf" "$W/page.ps"
job=$(lp -d "$queue" "$W/page.pdf" | sed -n 's/^request id is [^ ]*-\([0-9]*\) .*/\1/p')
sched_wait_job "$job"
check "the job completed" equals "$(sched_job_attr "$queue" "$job" job-state)" completed
check "PostScript reached the printer" equals "$(head -c 4 "$W/printer.prn")" "%!PS"
check "it holds the one page" equals \
    "$(gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=bbox "$W/printer.prn" 2>&1 | grep -c '^%%HiResBoundingBox')" 1
check "the installed filter judged the job" grep -qF "[Job $job] SystemInfo: Debian" "$SCHED_LOG"
check "the filter exited without error" \
    grep -qE "\[Job $job\] PID [0-9]+ \([^)]*/quovel-gate\) exited with no errors" "$SCHED_LOG"

summary install
