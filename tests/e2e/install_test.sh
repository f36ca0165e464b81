#!/bin/bash
# The Debian package installed for real with the README's own commands: its
# dpkg line installs the package, its lpinfo line lists the PPDs it shows,
# its lpadmin line makes a queue, and a PDF printed with its lp line reaches
# the printer as PostScript that passed through the filter. Only the
# printer's device URI and the document are the test's own. The package is
# purged at the end unless it was installed before. Needs root.
#
#   install_test.sh DEB BACKEND
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/scheduler.sh"
. "$here/assert.sh"
. "$here/readme.sh"
DEB=$1 BACKEND=$2
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

readme_words install '^dpkg -i quovel-gate_' || exit 1
check "the README installs the package file that was built" equals "${install[-1]}" "${DEB##*/}"
install[-1]=$DEB
"${install[@]}" >"$W/dpkg.log" 2>&1 || { cat "$W/dpkg.log" >&2; exit 1; }
check "the package put the filter where the scheduler runs filters" test -x "$FILTER"
scheduler_start "$W/s" "$FILTER" "$BACKEND" "Debian GNU/Linux 12 \\n \\l" || exit 1

# The README's lpinfo line is a pipeline, so a shell runs it; what it prints
# is what the README shows it prints.
readme_drivers=$(sed -n 's/^    \(lsb\/usr\/quovel\/[^ ]*\.ppd .*\)/\1/p' "$README" | sort)
check "the README names both PPDs" equals "$(wc -l <<<"$readme_drivers")" 2
list=$(readme_line '^lpinfo -m') || exit 1
check "the README's \"$list\" lists the PPDs as the README shows them" \
    equals "$(bash -c "$list" 2>&1 | sort)" "$readme_drivers"

# The README's own lpadmin line, with the test's printer for its device URI.
readme_words cmd '^lpadmin -p [^ ]+ .*-m lsb/usr/quovel/' || exit 1
queue=$(word_after cmd -p)
set_word_after cmd -v "quovtest:$W/printer.prn?id=$R4410"
"${cmd[@]}" 2>&1 | grep -v 'Printer drivers are deprecated' >&2
check "the README's queue command made queue $queue" lpstat -p "$queue"

printf '%%!PS\n/Helvetica findfont 24 scalefont setfont\n72 720 moveto (Quovel) show showpage\n' >"$W/page.ps"
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -o "$W/page.pdf" "$W/page.ps"
# The README's lp line, with the test's document.
readme_words print "^lp -d $queue " || exit 1
print[-1]=$W/page.pdf
job=$("${print[@]}" | sed -n 's/^request id is [^ ]*-\([0-9]*\) .*/\1/p')
sched_wait_job "$job"
check "the job completed" equals "$(sched_job_attr "$queue" "$job" job-state)" completed
check "PostScript reached the printer" equals "$(head -c 4 "$W/printer.prn")" "%!PS"
check "it holds the one page" equals \
    "$(gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=bbox "$W/printer.prn" 2>&1 | grep -c '^%%HiResBoundingBox')" 1
check "the installed filter judged the job" grep -qF "[Job $job] SystemInfo: Debian" "$SCHED_LOG"
check "the filter exited without error" \
    grep -qE "\[Job $job\] PID [0-9]+ \([^)]*/quovel-gate\) exited with no errors" "$SCHED_LOG"

summary install
