#!/usr/bin/env bash
# The tool's Cygwin branch, built on Linux, on real loop devices that stand
# for Windows' disks: run as `bash cygwin.sh TOOL STAND-IN`.  The stand-in,
# preloaded, shows the tool what Cygwin would: /proc/partitions, Cygwin's
# device numbers, HDIO_GETGEO.  Each run has a private /dev, a tmpfs whose
# nodes have Cygwin's names (sdb, sdb1) and the loop devices' own numbers.
standin=$(realpath -e -- "${2:-}" 2>/dev/null)
# What Windows' view of a disk says the tool prints, as the hosted Windows
# job works it out.
oracle=$(cd "$(dirname "$0")/../.ci" && pwd)/expected-lines
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh" "$1"
need_loop
command -v unshare >/dev/null || skip "needs unshare"
[[ -f $standin ]] || skip "there is no stand-in library ${2:-}"

# The private /dev: a node for each entry of the layout but those named in
# the file "absent", then the tool with the stand-in.  An ASan build lets
# the stand-in come first.
cat >private-dev <<'END'
layout=$1 absent=$2 standin=$3
shift 3
mount -t tmpfs -o mode=755 none /dev || exit 1
while IFS=$'\t' read -r name number kind _; do
	[[ $kind == x || " $(cat "$absent" 2>/dev/null) " == *" $name "* ]] && continue
	mknod "/dev/$name" b "${number%:*}" "${number#*:}" || exit 1
done <"$layout"
export LD_PRELOAD=$standin CYGWIN_STANDIN_LAYOUT=$layout
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0
exec "$@"
END
emulator=(unshare -m bash "$work/private-dev" "$work/layout" "$work/absent" "$standin")

# windows ENTRY...: the layout Windows shows, in its order.  Each ENTRY is
# NAME|NODE|KIND[|MOUNTS[|FILESYSTEM]]: Cygwin's name, the loop device that
# stands for it, m, g or r (a disk with an MBR, a GPT or neither), p
# (partition), l (dos logical drive: its layout entry and three fillers) or x
# (dos extended container, NAME -, NODE the extended partition), for a
# volume its mount points as the listing prints them, and the filesystem
# Windows would name.  Each disk's view, as the hosted job's
# .ci/windows-view.ps1 writes it, goes to view.NAME: its size and style, and
# each partition's number, offset, size, type, filesystem, MBR slot for an
# extended one, and mount points.
windows() {
	local entry name node kind mounts filesystem number disk='' disk_node='' style=''
	rm -f view.*
	for entry; do
		IFS='|' read -r name node kind mounts filesystem <<<"$entry"
		number=$(stat -c %Hr:%Lr "$node")
		printf '%s\t%s\t%s' "$name" "$number" "$kind"
		[[ $entry != *'|'*'|'*'|'* ]] || printf '\t%s' "$mounts"
		echo
		local sysfs=/sys/dev/block/$number
		case $kind in
		m | g | r)
			disk=$name disk_node=$node style=${kind/m/MBR} && style=${style/g/GPT} && style=${style/r/RAW}
			printf 'disk\t%s\t%s\t%s\n' "$name" $(($(cat "$sysfs/size") * 512)) "$style" >"view.$disk" ;;
		x)
			local slot sectors
			slot=$(cat "$sysfs/partition")
			sectors=$(partx -g -o SECTORS -n "$slot" "$disk_node")
			printf 'part\t-\t%s\t%s\tExtended\t-\t%s\t\n' $(($(cat "$sysfs/start") * 512)) \
				$((sectors * 512)) "$slot" >>"view.$disk" ;;
		*)
			local type=Basic
			[[ $style != MBR ]] || type=IFS
			[[ $kind != l ]] || type=Logical
			printf 'part\t%s\t%s\t%s\t%s\t%s\t-\t%s\n' "${name#"$disk"}" $(($(cat "$sysfs/start") * 512)) \
				$(($(cat "$sysfs/size") * 512)) "$type" "${filesystem:--}" "$mounts" >>"view.$disk" ;;
		esac
	done >layout
	rm -f absent
}
# agreed NAME TARGET: what the last run printed for /dev/TARGET is what the
# hosted job's oracle makes of Windows' view of its disk.
agreed() {
	local disk=${2%%[0-9]*}
	bash "$oracle" "view.$disk" "$2" want.out want.err && cmp -s want.out out && cmp -s want.err err
	result "$1: as Windows' view says" $? "$(diff want.out out)" "$(diff want.err err)"
}
sdb() { report 100000 83615 67231 /dev/sdb; }
in_use() { printf 'mfmplace: warning: %s or a partition on it is in use (mounted in Windows as %s)\n' "$@"; }
named() { printf 'mfmplace: warning: %s is partition %s of %s: the lines write the end of the partition, not of the disk\n' "$@"; }

attach 100000
windows "sdb|$dev|r"
check "plain disk" 0 "$(sdb)" /dev/sdb
agreed "plain disk" sdb
from=/ check "relative operand dev/sdb, from /" 0 "$(sdb)" dev/sdb

# A card as sold: one FAT32 partition to the end, mounted as E:\.
partitioned 100000 $'label: dos\nstart=2048, type=c'
windows "sdb|$dev|m" "sdb1|${dev}p1|p|E:\\"
warnings="$(in_use /dev/sdb 'E:\')
$(way /dev/sdb1 2048 99999)" check "dos partition to the end, mounted as E:\\" 0 "$(sdb)" /dev/sdb
agreed "dos partition to the end" sdb
warnings="$(in_use /dev/sdb1 'E:\')
$(named /dev/sdb1 1 /dev/sdb)" check "partition named" 0 "$(report 97952 81567 65183 /dev/sdb1)" /dev/sdb1
agreed "partition named" sdb1
# The mount column as the listing prints it: mount points hold spaces, may
# be more than one or none, and are printed in ASCII; a partition that is
# no volume has no column.
while IFS=$'\t' read -r name column said; do
	windows "sdb|$dev|m" "sdb1|${dev}p1|p${column:+|${column#-}}"
	warnings="${said:+$(in_use /dev/sdb "$said")
}$(way /dev/sdb1 2048 99999)" check "mount column: $name" 0 "$(sdb)" /dev/sdb
	agreed "mount column: $name" sdb
done <<'END'
a folder with a space	C:\mnt\my card\	C:\mnt\my card\
a letter and a folder	E:\ C:\mnt\my card\	E:\ C:\mnt\my card\
a folder not in ASCII	C:\mnt\café\	C:\mnt\caf\303\251\
a volume with none	-
no volume
END
# The partition's own head holds a filesystem that Windows formatted to
# fill it.
if command -v mkfs.vfat >/dev/null; then
	mkfs.vfat -F 32 "${dev}p1" >/dev/null
	windows "sdb|$dev|m" "sdb1|${dev}p1|p|E:\\|FAT32"
	warnings="$(in_use /dev/sdb1 'E:\')
$(named /dev/sdb1 1 /dev/sdb)
mfmplace: warning: /dev/sdb1 holds a FAT filesystem on blocks 0 to 97951: the lines overwrite its end" \
		check "partition named, holding FAT32" 0 "$(report 97952 81567 65183 /dev/sdb1)" /dev/sdb1
	agreed "partition named, holding FAT32" sdb1
else
	skip_case "partition named, holding FAT32" "no mkfs.vfat here"
fi
# Listed by Windows, but gone from /dev.
windows "sdb|$dev|m" "sdb1|${dev}p1|p|E:\\"
echo sdb1 >absent
warnings="$(in_use /dev/sdb 'E:\')
$(way "1 in the table on /dev/sdb" 2048 99999)
mfmplace: warning: cannot check the partitions of /dev/sdb: /dev/sdb1: No such file or directory" \
	check "partition node missing" 0 "$(sdb)" /dev/sdb

# Two volumes of one disk mounted: every mount point, in the listing's order.
partitioned 100000 $'label: dos\nstart=2048, size=40000, type=c\nstart=50000, type=7'
windows "sdb|$dev|m" "sdb1|${dev}p1|p|E:\\" "sdb2|${dev}p2|p|F:\\"
warnings="$(in_use /dev/sdb 'E:\ F:\')
$(way /dev/sdb2 50000 99999)" check "two partitions mounted as E:\\ and F:\\" 0 "$(sdb)" /dev/sdb
agreed "two partitions mounted" sdb

sector=4096 partitioned 100000 $'label: dos\nstart=256, type=c'
windows "sdb|$dev|m" "sdb1|${dev}p1|p|E:\\"
warnings="$(in_use /dev/sdb 'E:\')
$(way /dev/sdb1 2048 99999)" check "4096-byte sectors" 0 "$(sdb)" /dev/sdb
agreed "4096-byte sectors" sdb

partitioned 100000 $'label: gpt\nstart=2048, size=10000\nstart=20000, size=10000\nstart=80000, size=10000'
windows "sdb|$dev|g" "sdb1|${dev}p1|p" "sdb2|${dev}p2|p" "sdb3|${dev}p3|p"
warnings="$(gpt /dev/sdb)
$(lies /dev/sdb3 80000 89999)" check "GPT, partition 3 in the images' places" 0 "$(sdb)" /dev/sdb
agreed "GPT, partition 3 in the images' places" sdb

# A /proc/partitions longer than the tool reads: 128 folders mounted with
# names of 600 bytes and more.
long='C:\mnt\'$(printf 'x%.0s' {1..600})'\'
entries=("sdb|$dev|g")
for p in {1..64}; do entries+=("sdb$p|${dev}p1|p|$long$p\\"); done
entries+=("sdc|$dev|g")
for p in {1..64}; do entries+=("sdc$p|${dev}p1|p|$long$p\\"); done
windows "${entries[@]}"
warnings="$(gpt /dev/sdb)
$(way "3 in the table on /dev/sdb" 80000 89999 | sed 's/reaches into.*$/lies in the last 32769 blocks: the lines overwrite it/')
mfmplace: warning: cannot check the partitions of /dev/sdb: /proc/partitions: File too large" \
	check "/proc/partitions over 64 KiB" 0 "$(sdb)" /dev/sdb

# Twenty GPT partitions: from 16 on Cygwin numbers them with major 259, and
# sdb16 (259:48) has the minor of sdd (8:48), listed first.
attach 100000
other=$dev
partitioned 100000 "label: gpt$(printf '\nstart=%s, size=2048' $(seq 2048 2048 30720))
start=34816, size=40000$(printf '\nstart=%s, size=5000' 75000 80000 85000 90000)"
entries=("sdd|$other|r" "sdb|$dev|g")
for p in {1..20}; do entries+=("sdb$p|${dev}p$p|p"); done
windows "${entries[@]}"
warnings="$(gpt /dev/sdb)
$(way /dev/sdb16 34816 74815)
$(lies /dev/sdb17 75000 79999)
$(lies /dev/sdb18 80000 84999)
$(lies /dev/sdb19 85000 89999)
$(lies /dev/sdb20 90000 94999)" check "20 GPT partitions" 0 "$(sdb)" /dev/sdb
agreed "20 GPT partitions" sdb
warnings=$(named /dev/sdb16 16 /dev/sdb) check "partition 16 named" 0 "$(report 40000 23615 7231 /dev/sdb16)" /dev/sdb16
agreed "partition 16 named" sdb16

# A GPT's 64th entry is listed as sdb64, which has no device, with the
# numbers of the next disk's partition 16 (259:96): sdc16 is itself, and
# sdb's partition 64 is known from its table.
partitioned 100000 "label: gpt$(printf '\nstart=%s, size=1024' $(seq 2048 1024 65536))
start=70000, size=1000"
gpt64=$dev
partitioned 600000 "label: gpt$(printf '\nstart=%s, size=35000' $(seq 2048 35000 527048))"
entries=("sdb|$gpt64|g")
for p in {1..64}; do entries+=("sdb$p|${gpt64}p$p|p"); done
entries+=("sdc|$dev|g")
for p in {1..16}; do entries+=("sdc$p|${dev}p$p|p"); done
windows "${entries[@]}"
echo sdb64 >absent
warnings=$(named /dev/sdc16 16 /dev/sdc) check "sdc16, whose numbers sdb64 shares" 0 \
	"$(report 35000 18615 2231 /dev/sdc16)" /dev/sdc16
agreed "sdc16" sdc16
warnings="$(gpt /dev/sdb)
$(lies "64 in the table on /dev/sdb" 70000 70999)
mfmplace: warning: cannot check the partitions of /dev/sdb: /dev/sdb64: No such file or directory" \
	check "64 GPT partitions: sdb64 from the table" 0 "$(sdb)" /dev/sdb
agreed "64 GPT partitions" sdb

# The disk after sdz is sdaa; sda's partitions, listed after it, are not
# its own.
attach 100000
other=$dev
partitioned 100000 $'label: dos\nstart=2048, type=c'
windows "sdaa|$other|r" "sda|$dev|m" "sda1|${dev}p1|p|E:\\"
check "two-letter disk sdaa, before sda" 0 "$(report 100000 83615 67231 /dev/sdaa)" /dev/sdaa
agreed "two-letter disk sdaa" sdaa
warnings="$(in_use /dev/sda 'E:\')
$(way /dev/sda1 2048 99999)" check "sda, after sdaa" 0 "$(report 100000 83615 67231 /dev/sda)" /dev/sda
agreed "sda, after sdaa" sda

# An extended partition from block 8192 to the end, holding 17 logical
# drives, the last mounted as F:\ and reaching the end, after three
# primaries or one.  Windows numbers the logical drives after the
# primaries; the MBR's four slots take four layout entries however many
# are used, and each logical drive four more, so the listing stops after 64
# at the 15th logical drive.  The disk's own table still shows the extended
# partition.  Each logical drive's own table lies in the MiB before it.
for primaries in 3 1; do
	last=21 partitioned 200000 "label: dos$(printf '\nstart=%s, size=1000' $(seq 2048 2048 $((2048 * primaries))))
start=8192, type=5$(printf '\nstart=%s, size=1000' $(seq 10240 4096 71680))
start=180000"
	name="$primaries primar$( ((primaries == 1)) && echo y || echo ies)"
	entries=("sdb|$dev|m")
	for p in $(seq "$primaries"); do entries+=("sdb$p|${dev}p$p|p"); done
	entries+=("-|${dev}p$((primaries + 1))|x")
	for p in {5..20}; do entries+=("sdb$((primaries + p - 4))|${dev}p$p|l"); done
	windows "${entries[@]}" "sdb$((primaries + 17))|${dev}p21|l|F:\\"
	listed=$("${emulator[@]}" cat /proc/partitions | tail -n 1)
	[[ $listed == *" sdb$((primaries + 15))" ]]
	result "$name: the listing stops at sdb$((primaries + 15))" $? "$listed"
	warnings="mfmplace: warning: partition $((primaries + 1)) in the table on /dev/sdb (blocks 8192 to 199999) reaches into the last 32769 blocks: the lines overwrite its end; end it at block 167230 or below" \
		check "$name, 17 logical drives: the extended partition from the table" 0 \
		"$(report 200000 183615 167231 /dev/sdb)" /dev/sdb
	agreed "$name, 17 logical drives" sdb
done

finish
