# shellcheck shell=bash
# Sourced by each test group.  CTest runs a group as `bash GROUP.sh TOOL
# [EMULATOR...]`, the emulator being the one a cross build runs the tool
# under; the group exits 0 when every case passed, 1 when one failed, 77 when
# skipped.
tool=$1 emulator=("${@:2}")
# A relative path to the tool is taken from the folder the group starts in.
[[ $tool != */* || $tool == /* ]] || tool=$PWD/$tool
passed=0 failed=0 skipped=0 loops=() mounts=()
work=$(mktemp -d) && chmod 755 "$work" && cd "$work" || exit 1
cleanup() {
	for m in "${mounts[@]}"; do umount "$m"; done
	# Partitions that partx added outlive the loop device's detach, and the
	# next user of its number would see them.
	for d in "${loops[@]}"; do partx -d "$d" 2>/dev/null; losetup -d "$d"; done
	cd / && rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

result() { # NAME OK [DETAIL]
	if [[ $2 == 0 ]]; then ((++passed)); echo "ok - $1"; else ((++failed)); echo "not ok - $1"; printf '%s\n' "${@:3}"; fi
}

# run ARG...: the tool on ARGs, in the folder $from if that is set.
run() { (cd "${from:-.}" && exec timeout 10 "${emulator[@]}" "$tool" "$@"); }

# check NAME STATUS STDOUT [ARG...]: run the tool on ARGs; it must exit with
# STATUS, print STDOUT and one newline, and on stderr $warnings and one
# newline, or nothing if that is unset or empty, within 10 s.
check() {
	local name=$1 status=$2; printf '%s\n' "$3" >want; shift 3
	printf '%s' "${warnings:+$warnings$'\n'}" >want_err
	run "$@" >out 2>err
	local got=$?
	[[ $got == "$status" ]] && cmp -s want out && cmp -s want_err err
	result "$name" $? "status $got (want $status)" "$(diff want out)" "$(diff want_err err)"
}

# unwritten NAME STATUS STDERR SINK [ARG...]: run the tool on ARGs with its
# stdout on SINK: a file, "closed", or "gone", a pipe whose reader has gone,
# with SIGPIPE ignored, or "gone-default", the same with SIGPIPE at its
# default (env resets it, which a shell started with it ignored cannot).
# It must exit with STATUS and print STDERR and one newline on stderr, or
# nothing if STDERR is empty.
unwritten() {
	local name=$1 status=$2 sink=$4 got w; printf '%s' "${3:+$3$'\n'}" >want; shift 4
	case $sink in
	closed) run "$@" >&- 2>err ;;
	gone)
		exec {w}> >(:) && wait $! # the reader exits at once
		(trap '' PIPE && run "$@") 1>&"$w" 2>err ;;
	gone-default)
		exec {w}> >(:) && wait $!
		(emulator=(env --default-signal=PIPE "${emulator[@]}") && run "$@") 1>&"$w" 2>err ;;
	*) run "$@" >"$sink" 2>err ;;
	esac
	got=$?
	[[ -n ${w-} ]] && exec {w}>&-
	[[ $got == "$status" ]] && cmp -s want err
	result "$name" $? "status $got (want $status)" "$(diff want err)"
}

# expect NAME COMMAND...: the command must succeed.
expect() { local name=$1; shift; "$@" >/dev/null 2>&1; result "$name" $?; }

skip() { echo "skipped: $*"; exit 77; }
skip_case() { ((++skipped)); echo "skipped - $1: $2"; }
need_loop() {
	[[ $(id -u) == 0 ]] || skip "needs root for loop devices"
	command -v losetup >/dev/null || skip "needs losetup"
}

# attach BLOCKS [LOSETUP-OPTION...]: a new loop device, $dev, on a sparse
# file of BLOCKS 512-byte blocks, with logical sectors of $sector bytes (512
# if that is unset), partitioned by the sfdisk script $table if that is set.
attach() {
	local file=disk$((${#loops[@]} + 1)).img
	truncate -s $(($1 * 512)) "$file" && shift || exit 1
	# sfdisk takes the sector size from the device, 512 for a file.
	local target=$file
	[[ ${sector:-512} == 512 ]] || target=
	[[ -z ${table-} || -z $target ]] || sfdisk -q "$target" <<<"$table" >/dev/null || exit 1
	dev=$(losetup -f --show --sector-size "${sector:-512}" "$@" "$file" 2>/dev/null) ||
		skip "losetup cannot attach $file"
	loops+=("$dev")
	[[ -z ${table-} || -n $target ]] || sfdisk -q "$dev" <<<"$table" >/dev/null || exit 1
}

# partitioned BLOCKS SFDISK-SCRIPT [LOSETUP-OPTION...]: attach a new loop
# device, $dev, holding the partitions that the script lays out, and wait for
# their nodes, which the kernel may have to be told to add; the last is
# numbered $last, or as many as the script has partitions.
partitioned() {
	command -v sfdisk >/dev/null || skip "needs sfdisk"
	local count=${last-}
	[[ -n $count ]] || count=$(grep -c 'start=' <<<"$2")
	table=$2 attach "$1" -P "${@:3}"
	[[ -b ${dev}p$count ]] || partx -a "$dev" 2>/dev/null
	for _ in {1..50}; do
		[[ -b ${dev}p$count ]] && return
		sleep 0.1
	done
	skip "the partitions of $dev did not appear"
}

# deep_link LENGTH: a link to $dev whose absolute path, $link, is LENGTH
# bytes long, below folders named like those under /dev/disk/by-id.
deep_link() {
	local folder=$work/deep part
	part=usb-$(printf 'Generic_Flash_Disk_%.0s' {1..12})0:0
	while ((${#folder} + ${#part} + 2 < $1)); do folder+=/$part; done
	link=$folder/$(printf 'x%.0s' $(seq $(($1 - ${#folder} - 1))))
	mkdir -p "$folder" && (cd "$folder" && ln -sf "$dev" "${link##*/}")
}

# scramble: fill $dev with random data, keeping a copy in before.img.
scramble() { head -c "$(blockdev --getsize64 "$dev")" /dev/urandom | tee before.img >"$dev"; }

# report BLOCKS SEEK-A SEEK-B PATH: the three lines for a usable device.
report() { printf 'Number of blocks: %s\nsudo dd seek=%s if=Drive_A.mfm.img of=%s\nsudo dd seek=%s if=Drive_B.mfm.img of=%s' "$1" "$2" "$4" "$3" "$4"; }
# Warnings for a disk of 100000 blocks, on which Drive B begins at block
# 67231: a partition NAME FIRST LAST that reaches into the images' places or
# lies in them, and a GPT on DISK.
way() { printf 'mfmplace: warning: partition %s (blocks %s to %s) reaches into the last 32769 blocks: the lines overwrite its end; end it at block 67230 or below\n' "$@"; }
lies() { printf 'mfmplace: warning: partition %s (blocks %s to %s) lies in the last 32769 blocks: the lines overwrite it\n' "$@"; }
gpt() { printf 'mfmplace: warning: %s has a GPT partition table: the lines overwrite its backup copy at the end of the disk\n' "$1"; }

finish() { echo "$passed passed, $failed failed, $skipped skipped"; ((failed == 0)); }
