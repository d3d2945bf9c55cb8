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
check "operand like an option" 0 "$missing" --help
check "empty operand" 0 "$missing" ''
check "regular file" 0 "cannot calc position of file" file
check "directory" 0 "cannot calc position of dir" dir
check "character device" 0 "cannot calc position of /dev/null" /dev/null
check "fifo, not opened" 0 "cannot calc position of fifo" fifo
check "3 GiB regular file" 0 "cannot calc position of big" big

# A name as typed (printf %b escapes), and as the line must spell it: as it
# stands if every byte is plain, else quoted for the shell, with control
# characters, bytes outside well-formed UTF-8, C1 controls and invisible or
# bidirectional marks escaped.
while IFS=$'\t' read -r name quoted; do
	name=$(printf '%b' "$name") && : >"$name"
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
\033[2Jsafe	$'\033''[2Jsafe'
ünï	'ünï'
\302lone	$'\302''lone'
\t\302\233csi	$'\t\302\233''csi'
caf\303\251\342\200\256	'café'$'\342\200\256'
\357\273\277bom\342\201\246	$'\357\273\277''bom'$'\342\201\246'
\300\257\340\200\257\360\200\200\257overlong	$'\300\257\340\200\257\360\200\200\257''overlong'
\355\240\200surrogate	$'\355\240\200''surrogate'
\364\220\200\200beyond\364\217\277\277\360\237\230\200	$'\364\220\200\200''beyond􏿿😀'
cut\342\200	'cut'$'\342\200'
\330\234\342\200\213\342\201\240\377	$'\330\234\342\200\213\342\201\240\377'
EOF

# Output that cannot be written is reported; a reader that went away is not.
full="mfmplace: write error: No space left on device"
unwritten "usage line to a full device" 255 "$full" /dev/full
unwritten "open error line to a full device" 1 "$full" /dev/full missing
unwritten "zero-size line to a full device" 1 "$full" /dev/full file
unwritten "stdout closed" 1 "mfmplace: write error: Bad file descriptor" closed file
unwritten "reader gone, SIGPIPE ignored" 0 "" gone file

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
