#!/usr/bin/env bash
# The tool's Cygwin branch, built on Linux, on real loop devices that stand
# for Windows' disks: run as `bash cygwin.sh TOOL STAND-IN`.  The stand-in,
# preloaded, shows the tool what Cygwin would: /proc/partitions, Cygwin's
# device numbers, HDIO_GETGEO.  Each run has a private /dev, a tmpfs whose
# nodes have Cygwin's names (sdb, sdb1) and the loop devices' own numbers.
standin=$(realpath -e -- "${2:-}" 2>/dev/null)
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
# NAME|NODE|KIND[|MOUNTS]: Cygwin's name, the loop device that stands for
# it, d (disk), p (partition), l (dos logical drive: its layout entry and
# three fillers) or x (dos extended container, NAME and NODE -), and for a
# volume its mount points as the listing prints them.
windows() {
	local entry name node kind mounts number
	for entry; do
		IFS='|' read -r name node kind mounts <<<"$entry"
		number=-
		[[ $node == - ]] || number=$(stat -c %Hr:%Lr "$node")
		printf '%s\t%s\t%s' "$name" "$number" "$kind"
		[[ $entry != *'|'*'|'*'|'* ]] || printf '\t%s' "$mounts"
		echo
	done >layout
	rm -f absent
}
sdb() { report 100000 83615 67231 /dev/sdb; }
in_use() { printf 'mfmplace: warning: %s or a partition on it is in use (mounted in Windows as %s)\n' "$@"; }
named() { printf 'mfmplace: warning: %s is partition %s of %s: the lines write the end of the partition, not of the disk\n' "$@"; }

attach 100000
windows "sdb|$dev|d"
check "plain disk" 0 "$(sdb)" /dev/sdb
from=/ check "relative operand dev/sdb, from /" 0 "$(sdb)" dev/sdb

# A card as sold: one FAT32 partition to the end, mounted as E:\.
partitioned 100000 $'label: dos\nstart=2048, type=c'
windows "sdb|$dev|d" "sdb1|${dev}p1|p|E:\\"
warnings="$(in_use /dev/sdb 'E:\')
$(way /dev/sdb1 2048 99999)" check "dos partition to the end, mounted as E:\\" 0 "$(sdb)" /dev/sdb
warnings="$(in_use /dev/sdb1 'E:\')
$(named /dev/sdb1 1 /dev/sdb)" check "partition named" 0 "$(report 97952 81567 65183 /dev/sdb1)" /dev/sdb1
# The mount column as the listing prints it: mount points hold spaces, and
# a volume may have none; a partition that is no volume has no column.
while IFS=$'\t' read -r name column said; do
	windows "sdb|$dev|d" "sdb1|${dev}p1|p${column:+|${column#-}}"
	warnings="${said:+$(in_use /dev/sdb "$said")
}$(way /dev/sdb1 2048 99999)" check "mount column: $name" 0 "$(sdb)" /dev/sdb
done <<'END'
a folder with a space	C:\mnt\my card\	C:\mnt\my card\
a letter and a folder	E:\ C:\mnt\my card\	E:\ C:\mnt\my card\
a volume with none	-
no volume
END
# Listed by Windows, but gone from /dev.
windows "sdb|$dev|d" "sdb1|${dev}p1|p|E:\\"
echo sdb1 >absent
warnings="$(in_use /dev/sdb 'E:\')
$(way "1 in the table on /dev/sdb" 2048 99999)
mfmplace: warning: cannot check the partitions of /dev/sdb: /dev/sdb1: No such file or directory" \
	check "partition node missing" 0 "$(sdb)" /dev/sdb

sector=4096 partitioned 100000 $'label: dos\nstart=256, type=c'
windows "sdb|$dev|d" "sdb1|${dev}p1|p|E:\\"
warnings="$(in_use /dev/sdb 'E:\')
$(way /dev/sdb1 2048 99999)" check "4096-byte sectors" 0 "$(sdb)" /dev/sdb

partitioned 100000 $'label: gpt\nstart=2048, size=10000\nstart=20000, size=10000\nstart=80000, size=10000'
windows "sdb|$dev|d" "sdb1|${dev}p1|p" "sdb2|${dev}p2|p" "sdb3|${dev}p3|p"
warnings="$(gpt /dev/sdb)
$(lies /dev/sdb3 80000 89999)" check "GPT, partition 3 in the images' places" 0 "$(sdb)" /dev/sdb

# Twenty GPT partitions: from 16 on Cygwin numbers them with major 259, and
# sdb16 (259:48) has the minor of sdd (8:48), listed first.
attach 100000
other=$dev
partitioned 100000 "label: gpt$(printf '\nstart=%s, size=2048' $(seq 2048 2048 30720))
start=34816, size=40000$(printf '\nstart=%s, size=5000' 75000 80000 85000 90000)"
entries=("sdd|$other|d" "sdb|$dev|d")
for p in {1..20}; do entries+=("sdb$p|${dev}p$p|p"); done
windows "${entries[@]}"
warnings="$(gpt /dev/sdb)
$(way /dev/sdb16 34816 74815)
$(lies /dev/sdb17 75000 79999)
$(lies /dev/sdb18 80000 84999)
$(lies /dev/sdb19 85000 89999)
$(lies /dev/sdb20 90000 94999)" check "20 GPT partitions" 0 "$(sdb)" /dev/sdb
warnings=$(named /dev/sdb16 16 /dev/sdb) check "partition 16 named" 0 "$(report 40000 23615 7231 /dev/sdb16)" /dev/sdb16

# The disk after sdz is sdaa; sda's partitions, listed after it, are not
# its own.
attach 100000
other=$dev
partitioned 100000 $'label: dos\nstart=2048, type=c'
windows "sdaa|$other|d" "sda|$dev|d" "sda1|${dev}p1|p|E:\\"
check "two-letter disk sdaa, before sda" 0 "$(report 100000 83615 67231 /dev/sdaa)" /dev/sdaa
warnings="$(in_use /dev/sda 'E:\')
$(way /dev/sda1 2048 99999)" check "sda, after sdaa" 0 "$(report 100000 83615 67231 /dev/sda)" /dev/sda

# Three primaries, an extended partition and 17 logical drives, the last
# mounted as F:\ and reaching the end.  Windows numbers the logical drives
# from 4 on; each takes four layout entries, so the listing stops after 64
# at sdb18.  The disk's own table still shows the extended partition.
# Each logical drive's own table lies in the MiB before it.
last=21 partitioned 200000 "label: dos
start=2048, size=1000
start=4096, size=1000
start=6144, size=1000
start=8192, type=5$(printf '\nstart=%s, size=1000' $(seq 10240 4096 71680))
start=180000"
entries=("sdb|$dev|d" "sdb1|${dev}p1|p" "sdb2|${dev}p2|p" "sdb3|${dev}p3|p" "-|-|x")
for p in {4..19}; do entries+=("sdb$p|${dev}p$((p + 1))|l"); done
windows "${entries[@]}" "sdb20|${dev}p21|l|F:\\"
listed=$("${emulator[@]}" cat /proc/partitions | tail -n 1)
[[ $listed == *" sdb18" ]]
result "the listing stops at sdb18" $? "$listed"
warnings="mfmplace: warning: partition 4 in the table on /dev/sdb (blocks 8192 to 199999) reaches into the last 32769 blocks: the lines overwrite its end; end it at block 167230 or below" \
	check "64 layout entries: the extended partition from the table" 0 "$(report 200000 183615 167231 /dev/sdb)" /dev/sdb

finish
