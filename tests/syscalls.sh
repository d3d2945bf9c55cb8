#!/usr/bin/env bash
# Watch the tool's system calls: the device is opened read-only once, asked
# for its size, and closed before anything is printed; it is never read,
# written, seeked or mapped.
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
need_loop
command -v strace >/dev/null || skip "needs strace"
((${#emulator[@]} == 0)) || skip "traces a native build only: under an emulator it sees the emulator's calls"

attach 32769
# A sanitized build's leak checker cannot run under ptrace.
ASAN_OPTIONS=detect_leaks=0 strace -f -y -o trace "$tool" "$dev" >out 2>err
result "traced run" $? "$(cat err)"

# Every call that names the device by path or by descriptor, but the exec.
grep -v -E '^[0-9]+ +execve\(' trace | grep -F -e "\"$dev\"" -e "<$dev>" |
	sed -E "s/^[0-9]+ +//; s/<[^>]*>//g; s#$dev#DEV#; s/ +=/ =/; s/\{st_mode=(S_IF[A-Z]+)[^}]*\}/{\1}/
		s/^(ioctl|close)\([0-9]+/\1(FD/; s/^(openat.*) = [0-9]+$/\1 = FD/" >calls
printf '%s\n' 'newfstatat(AT_FDCWD, "DEV", {S_IFBLK}, 0) = 0' 'openat(AT_FDCWD, "DEV", O_RDONLY) = FD' \
	'ioctl(FD, BLKGETSIZE, [32769]) = 0' 'close(FD) = 0' >want
cmp -s want calls
result "device calls: stat, read-only open, BLKGETSIZE, close" $? "$(diff want calls)"

closed=$(grep -n -m1 -E "close\([0-9]+<$dev>\)" trace | cut -d: -f1)
printed=$(grep -n -m1 -E '^[0-9]+ +write\(1<' trace | cut -d: -f1)
((closed && printed && closed < printed))
result "device closed before the first write to stdout" $? "close at line $closed, write at line $printed"

finish
