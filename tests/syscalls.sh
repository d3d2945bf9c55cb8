#!/usr/bin/env bash
# Watch the tool's system calls: the device is opened read-only once, asked
# for its size, and closed before anything is printed; it is never read,
# written, seeked or mapped, and nothing at all is opened for writing.
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
need_loop
command -v strace >/dev/null || skip "needs strace"
((${#emulator[@]} == 0)) || skip "traces a native build only: under an emulator it sees the emulator's calls"

# traced NAME CALLS...: trace the tool on $dev; the calls that name the device
# by path or by descriptor, but the exec and the output, must be CALLS, the device must be
# closed before the first write to stdout, and nothing may be opened but the
# device, sysfs and the dynamic loader's files, and nothing for writing.
traced() {
	# A sanitized build's leak checker cannot run under ptrace.
	ASAN_OPTIONS=detect_leaks=0 strace -f -y -o trace "$tool" "$dev" >out 2>err
	result "$1: traced run" $? "$(cat err)"
	grep -v -E '^[0-9]+ +(execve\(|write\([12]<)' trace | grep -F -e "\"$dev\"" -e "<$dev>" |
		sed -E "s/^[0-9]+ +//; s/<[^>]*>//g; s#$dev#DEV#; s/ +=/ =/; s/\{st_mode=(S_IF[A-Z]+)[^}]*\}/{\1}/
			s/^(ioctl|close)\([0-9]+/\1(FD/; s/^(openat.*) = [0-9]+$/\1 = FD/; s/ \(.*\)$//" >calls
	printf '%s\n' "${@:2}" >want
	cmp -s want calls
	result "$1: device calls" $? "$(diff want calls)"

	local closed printed
	closed=$(grep -n -m1 -E "close\([0-9]+<$dev>\)" trace | cut -d: -f1)
	printed=$(grep -n -m1 -E '^[0-9]+ +write\(1<' trace | cut -d: -f1)
	((closed && printed && closed < printed))
	result "$1: device closed before the first write to stdout" $? "close at line $closed, write at line $printed"

	grep -E '^[0-9]+ +(open|openat|openat2|creat)\(' trace >opens
	! grep -E 'O_WRONLY|O_RDWR|O_CREAT|O_TRUNC|O_APPEND|creat\(' opens
	result "$1: nothing opened for writing" $? "$(cat opens)"
	if [[ -n ${MFMPLACE_SANITIZED-} ]]; then
		skip_case "$1: only the device, sysfs and the loader's files opened" "a sanitized build reads /proc"
		return
	fi
	! grep -E ' = [0-9]+<' opens | grep -v -E " = [0-9]+<($dev|/sys/[^>]*|/etc/ld\.so\.cache|/lib[^>]*|/usr/lib[^>]*)>$"
	result "$1: only the device, sysfs and the loader's files opened" $?
}

attach 32769
traced "free disk" 'newfstatat(AT_FDCWD, "DEV", {S_IFBLK}, 0) = 0' \
	'openat(AT_FDCWD, "DEV", O_RDONLY|O_EXCL) = FD' 'ioctl(FD, BLKGETSIZE, [32769]) = 0' 'close(FD) = 0'

# A mounted disk refuses the exclusive open; it is opened again without it.
mkdir mnt
if mkfs.ext4 -q "$dev" && mount "$dev" mnt; then
	mounts+=("$work/mnt")
	traced "mounted disk" 'newfstatat(AT_FDCWD, "DEV", {S_IFBLK}, 0) = 0' \
		'openat(AT_FDCWD, "DEV", O_RDONLY|O_EXCL) = -1 EBUSY' 'openat(AT_FDCWD, "DEV", O_RDONLY) = FD' \
		'ioctl(FD, BLKGETSIZE, [32769]) = 0' 'close(FD) = 0'
else
	skip_case "mounted disk" "ext4 cannot be made or mounted here"
fi

finish
