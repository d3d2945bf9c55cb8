#!/usr/bin/env bash
# Command-line shape, open failures and paths that open but have no size.
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"

# The cross builds' native run: only where this host runs the binary itself.
if [[ -n ${MFMPLACE_NATIVE_ONLY-} ]]; then
	"$tool" >/dev/null 2>&1
	[[ $? == 255 ]] || skip "this host does not run $tool itself"
fi

usage="usage: mfmplace /dev/rawdiskdevice"
missing="open Error: No such file or directory"
mkfifo fifo && mkdir dir && : >file && : >secret && chmod 000 secret
truncate -s 3G big # past 2^31 bytes: opens only with 64-bit file offsets

check "no operand" 255 "$usage"
check "two operands" 255 "$usage" file file
check "missing path" 0 "$missing" missing
check "empty operand" 0 "$missing" ''
check "regular file" 0 "cannot calc position of file" file
check "directory" 0 "cannot calc position of dir" dir
check "character device" 0 "cannot calc position of /dev/null" /dev/null
check "fifo, not opened" 0 "cannot calc position of fifo" fifo
check "3 GiB regular file" 0 "cannot calc position of big" big

# A name as typed (printf %b escapes), and as the line must spell it: as it
# stands if every byte is plain, else quoted for the shell, with control
# characters and every byte from 0x80 up escaped, so that the line is ASCII.
# Cygwin takes a backslash in a path for a folder separator, so a name that
# the system cannot make is skipped.
while IFS=$'\t' read -r name quoted; do
	name=$(printf '%b' "$name")
	if ! : >"$name" 2>/dev/null; then
		skip_case "name spelled $quoted" "this system cannot make a file of that name"
		continue
	fi
	check "name spelled $quoted" 0 "cannot calc position of $quoted" "$name"
done <<'EOF'
-x_@%+=:,.9	-x_@%+=:,.9
%s%n $(x);\\|	'%s%n $(x);\|'
it's	'it'\''s'
'x	''\''x'
a:~root	'a:~root'
\001\177x	$'\001\177''x'
\037unit	$'\037''unit'
tab\there\r	'tab'$'\t''here'$'\r'
nl\nx	'nl'$'\n''x'
\033[2Jsafe	$'\033''[2Jsafe'
caf\303\251	'caf'$'\303\251'
\303\274n\303\257	$'\303\274''n'$'\303\257'
\302lone	$'\302''lone'
soft\302\255hyphen	'soft'$'\302\255''hyphen'
vs\357\270\217	'vs'$'\357\270\217'
tag\363\240\201\201	'tag'$'\363\240\201\201'
\t\302\233csi	$'\t\302\233''csi'
\342\200\256rtl	$'\342\200\256''rtl'
\377	$'\377'
EOF

# An operand that looks like an option names no file: the open error line,
# and on stderr what the tool takes.  A file of that name is a path.
for option in --help -h --version; do
	warnings="mfmplace: warning: no device named $option: mfmplace takes one operand, a raw disk device such as /dev/sdb" \
		check "operand like an option: $option" 0 "$missing" "$option"
done
warnings="mfmplace: warning: no device named '-a b': mfmplace takes one operand, a raw disk device such as /dev/sdb" \
	check "operand like an option, quoted" 0 "$missing" "-a b"
check "operand like an option that fails otherwise: no warning" 0 "open Error: Not a directory" "-x_@%+=:,.9/x"

# Output that cannot be written is reported; a reader that went away is not.
full="mfmplace: write error: No space left on device"
unwritten "usage line to a full device" 255 "$full" /dev/full
unwritten "open error line to a full device" 1 "$full" /dev/full missing
unwritten "zero-size line to a full device" 1 "$full" /dev/full file
unwritten "stdout closed" 1 "mfmplace: write error: Bad file descriptor" closed file
unwritten "reader gone, SIGPIPE ignored" 0 "" gone file
unwritten "reader gone, SIGPIPE at its default: the warning still written" 0 \
	"mfmplace: warning: no device named --help: mfmplace takes one operand, a raw disk device such as /dev/sdb" \
	gone-default --help

# Root opens anything, so drop to an unprivileged user to be refused.  Other
# users may still be let in, as a Windows administrator is under Cygwin.
if [[ $(id -u) == 0 ]]; then
	cp "$tool" ./tool
	printf '#!/bin/sh\nexec setpriv --reuid=65534 --regid=65534 --clear-groups %s ./tool "$@"\n' \
		"${emulator[*]}" >as_nobody
	chmod 755 as_nobody && tool=./as_nobody emulator=()
fi
if [[ $(id -u) != 0 ]] && (: <secret) 2>/dev/null; then
	skip_case "no permission" "this user can read a file of mode 000"
else
	check "no permission" 0 "open Error: Permission denied" secret
fi

finish
