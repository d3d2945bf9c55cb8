# Command-line shape, open failures and paths that open but have no size.
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

# Root opens anything, so drop to an unprivileged user to be refused.
if [[ $(id -u) == 0 ]]; then
	cp "$tool" ./tool && tool=./tool
	printf '#!/bin/sh\nexec setpriv --reuid=65534 --regid=65534 --clear-groups %s "$@"\n' "$tool" >as_nobody
	chmod 755 as_nobody && tool=./as_nobody
fi
check "no permission" 0 "open Error: Permission denied" secret

finish
