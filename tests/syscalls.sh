#!/usr/bin/env bash
# Watch the tool's system calls: the device is opened read-only once, asked
# for its size and sector size, its first 69632 bytes are read, and it is
# closed before anything is printed; it is never written, seeked or mapped,
# nothing at all is opened for writing, and each line on stderr is written
# in one call.
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
need_loop
command -v strace >/dev/null || skip "needs strace"
((${#emulator[@]} == 0)) || skip "traces a native build only: under an emulator it sees the emulator's calls"

# traced NAME CALLS...: trace the tool on $dev; the calls that name the device
# by path or by descriptor, but the exec and the output, must be CALLS; an
# opened device must be closed before the first write to stdout; nothing may
# be opened but the device, sysfs and the dynamic loader's files, and nothing
# for writing; and each line on stderr must take one write.
traced() {
	# Descriptors are shown with the path that a link leads to.
	local real
	real=$(readlink -f "$dev")
	# A sanitized build's leak checker cannot run under ptrace.
	ASAN_OPTIONS=detect_leaks=0 strace -f -y -s 0 -o trace "$tool" "$dev" >out 2>err
	result "$1: traced run" $? "$(cat err)"
	grep -v -E '^[0-9]+ +(execve\(|write\([12]<)' trace | grep -F -e "\"$dev\"" -e "<$real>" |
		sed -E "s/^[0-9]+ +//; s/<[^>]*>//g; s#\"$dev\"#\"DEV\"#; s/ +=/ =/; s/\{st_mode=(S_IF[A-Z]+)[^}]*\}/{\1}/
			s/^(ioctl|read|close)\([0-9]+/\1(FD/; s/^(openat.*) = [0-9]+$/\1 = FD/; s/ \(.*\)$//" >calls
	printf '%s\n' "${@:2}" >want
	cmp -s want calls
	result "$1: device calls" $? "$(diff want calls)"

	if grep -q '^close' want; then
		local closed printed
		closed=$(grep -n -m1 -E "^[0-9]+ +close\([0-9]+<$real>\)" trace | cut -d: -f1)
		printed=$(grep -n -m1 -E '^[0-9]+ +write\(1<' trace | cut -d: -f1)
		((closed && printed && closed < printed))
		result "$1: device closed before the first write to stdout" $? "close at line $closed, write at line $printed"
	fi

	local writes
	writes=$(grep -c -E '^[0-9]+ +write\(2<' trace)
	((writes == $(wc -l <err)))
	result "$1: one write for each line on stderr" $? "$writes writes for $(wc -l <err) lines"

	grep -E '^[0-9]+ +(open|openat|openat2|creat)\(' trace >opens
	! grep -E 'O_WRONLY|O_RDWR|O_CREAT|O_TRUNC|O_APPEND|creat\(' opens
	result "$1: nothing opened for writing" $? "$(cat opens)"
	if [[ -n ${MFMPLACE_SANITIZED-} ]]; then
		skip_case "$1: only the device, sysfs and the loader's files opened" "a sanitized build reads /proc"
		return
	fi
	! grep -E ' = [0-9]+<' opens | grep -v -E " = [0-9]+<($real|/sys/[^>]*|/etc/ld\.so\.cache|/lib[^>]*|/usr/lib[^>]*)>$"
	result "$1: only the device, sysfs and the loader's files opened" $?
}
stat_block='newfstatat(AT_FDCWD, "DEV", {S_IFBLK}, 0) = 0'
size_and_head=('ioctl(FD, BLKGETSIZE, [32769]) = 0' 'ioctl(FD, BLKSSZGET, [512]) = 0' 'read(FD, ""..., 69632) = 69632'
	'close(FD) = 0')

attach 32769
traced "free disk" "$stat_block" 'openat(AT_FDCWD, "DEV", O_RDONLY|O_EXCL) = FD' "${size_and_head[@]}"

# The read of the disk's head fails, or the device ends before the head
# does (a read that returns 0): strace fails the device's own read, and the
# warning says that nothing could be checked.
# That is the first thing that could not be checked, also with sysfs hidden.
hidden=(unshare -m sh -c 'mount -t tmpfs none /sys/dev/block && exec "$@"' sh)
while IFS=$'\t' read -r inject text sysfs; do
	wrapper=()
	[[ -z $sysfs ]] || wrapper=("${hidden[@]}")
	ASAN_OPTIONS=detect_leaks=0 "${wrapper[@]}" strace -o /dev/null -P "$dev" -e trace=read \
		-e "inject=read:$inject" "$tool" "$dev" >out 2>err
	status=$?
	[[ $status == 0 && $(cat err) == "mfmplace: warning: cannot check the partitions of $dev: its first 69632 bytes: $text" ]] &&
		cmp -s out <(printf 'Number of blocks: 32769\nsudo dd seek=16384 if=Drive_A.mfm.img of=%s\nsudo dd seek=0 if=Drive_B.mfm.img of=%s\n' "$dev" "$dev")
	result "head read: $text${sysfs:+, $sysfs}" $? "status $status" "$(cat out err)"
done <<'END'
error=EIO	Input/output error
retval=0	short read
error=EIO	Input/output error	sysfs hidden
END

# The first write of a report longer than a page fails.  stdio drops that
# page, and the final flush finds nothing left to write: only the stream's
# error flag tells that the report was lost.
deep_link 3000
ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -e trace=write -e inject=write:error=EIO:when=1 \
	"$tool" "$link" >out 2>err
status=$?
[[ $status == 1 && $(cat err) == "mfmplace: write error: Input/output error" ]] && (($(wc -c <out) < 4096))
result "first write of a long report fails" $? "status $status" "$(cat err)" "$(wc -c <out) bytes written"

# A character device is never opened: opening one can start a watchdog or
# reset a board.  This one is /dev/null under another name.
mknod chr c 1 3
dev=chr traced "character device" 'newfstatat(AT_FDCWD, "DEV", {S_IFCHR}, 0) = 0'
expect "character device: the zero-size line" cmp out <(echo "cannot calc position of chr")

# Four warnings, two of them naming the device by a name that is quoted.
partitioned 100000 $'label: gpt\nstart=2048, size=65184\nstart=67232, size=30000' -r
ln -sf "$dev" "it's a disk"
dev="it's a disk" traced "warnings for a quoted name" "$stat_block" \
	'openat(AT_FDCWD, "DEV", O_RDONLY|O_EXCL) = FD' "${size_and_head[@]/32769/100000}"
expect "warnings for a quoted name: four lines" test "$(wc -l <err)" = 4

# A mounted disk refuses the exclusive open; it is opened again without it.
attach 32769
mkdir mnt
if mkfs.ext4 -q "$dev" && mount "$dev" mnt; then
	mounts+=("$work/mnt")
	traced "mounted disk" "$stat_block" \
		'openat(AT_FDCWD, "DEV", O_RDONLY|O_EXCL) = -1 EBUSY' 'openat(AT_FDCWD, "DEV", O_RDONLY) = FD' \
		"${size_and_head[@]}"
else
	skip_case "mounted disk" "ext4 cannot be made or mounted here"
fi

# Too small for the images: sized, never read.
attach 32768
traced "device too small" "$stat_block" 'openat(AT_FDCWD, "DEV", O_RDONLY|O_EXCL) = FD' \
	'ioctl(FD, BLKGETSIZE, [32768]) = 0' 'close(FD) = 0'

# A warning line longer than the 4096 bytes that reach a pipe whole is still
# one write: a read-only disk, named by a path of 1250 single quotes, each
# of which the line spells as 4 bytes.
attach 32769 -r
quotes=$work
for _ in {1..5}; do quotes+=/$(printf "'%.0s" {1..250}); done
mkdir -p "$quotes" && ln -s "$dev" "$quotes/disk"
ASAN_OPTIONS=detect_leaks=0 strace -o trace -e trace=write "$tool" "$quotes/disk" >out 2>err
[[ $(grep -c -E '^write\(2,' trace) == 1 && $(wc -l <err) == 1 && $(wc -c <err) -gt 5000 ]]
status=$?
result "a warning line of 5000 bytes and more in one write" $status "$(grep -c -E '^write\(2,' trace) writes"

finish
