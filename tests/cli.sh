#!/usr/bin/env bash
# Command-line shape, open failures and paths that open but have no size.
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"

usage="usage: mfmplace /dev/rawdiskdevice"
missing="open Error: No such file or directory"
odd='%s%n $(x);|'
mkfifo fifo && mkdir dir && : >file && : >"$odd" && : >secret && chmod 000 secret

check "no operand" 255 "$usage"
check "two operands" 255 "$usage" file file
check "missing path" 0 "$missing" missing
check "operand like an option" 0 "$missing" --help
check "empty operand" 0 "$missing" ''
check "regular file" 0 "cannot calc position of file" file
check "directory" 0 "cannot calc position of dir" dir
check "character device" 0 "cannot calc position of /dev/null" /dev/null
check "fifo, not opened" 0 "cannot calc position of fifo" fifo
check "path printed verbatim" 0 "cannot calc position of $odd" "$odd"

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
