#!/usr/bin/env bash
# Real loop devices: the counts the kernel reports and the lines built on them.
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
need_loop

# smallest PATH: the report on the smallest usable device, 32769 blocks.
smallest() { report 32769 16384 0 "$1"; }
too_small() { printf 'Number of blocks: %s\ncannot calc position of %s: device too small, needs at least 32769 blocks' "$@"; }

attach 32769
scramble
check "smallest usable device" 0 "$(smallest "$dev")" "$dev"
expect "device contents unchanged" cmp before.img "$dev"
odd='%s%n $(x);|'
ln -s "$dev" "$odd"
check "relative name quoted, named from this folder" 0 "$(smallest "'$work/$odd'")" "$odd"

# A name as long as those under /dev/disk/by-id, printed whole.
long=usb-$(printf 'Generic_Flash_Disk_%.0s' {1..12})0:0
ln -s "$dev" "$long"
check "long path printed whole" 0 "$(smallest "$work/$long")" "$long"

# The lines name a relative operand by the working folder, which has to be
# known and short enough to name it in PATH_MAX bytes; "/" is not doubled.
mkdir gone && up=$(sed 's#/[^/]*#../#g' <<<"$work/gone")
(cd gone && rmdir "$work/gone" && exec timeout 10 "${emulator[@]}" "$tool" "${up}dev/${dev#/dev/}") >out 2>err
printf 'Number of blocks: 32769\ncannot calc position of %s: give the device as an absolute path\n' \
	"${up}dev/${dev#/dev/}" | cmp -s - out && [[ ! -s err ]]
result "working folder removed" $? "$(cat out err)"
from=/ check "relative to /" 0 "$(smallest "$dev")" "${dev#/}"
deep_link 4096
from=${link%/*} check "relative path 4096 bytes long in full" 0 \
	"$(printf 'Number of blocks: 32769\ncannot calc position of %s: give the device as an absolute path' "${link##*/}")" "${link##*/}"

# Output that cannot be written in full: to a full device, and to a file on a
# one-page filesystem that takes the first 4096 bytes of a 4 KiB-plus report.
unwritten "report to a full device" 1 "mfmplace: write error: No space left on device" /dev/full "$dev"
deep_link 2200 && smallest "$link" >whole
mkdir small && mount -t tmpfs -o size=4k tmpfs small && mounts+=("$work/small")
unwritten "report cut short on a full filesystem" 1 "mfmplace: write error: No space left on device" small/lines "$link"
expect "what was written is the report's first page, ending mid-line" cmp -n 4097 small/lines <(head -c 4096 whole)
# A path of 4095 bytes, the longest there is: the first page is written whole
# in the middle of the path, and the write that fails comes before the final
# flush.
deep_link 4095 && smallest "$link" >whole
rm -f small/lines
unwritten "longest path cut short on a full filesystem" 1 "mfmplace: write error: No space left on device" small/lines "$link"
expect "what was written of it is its first page" cmp -n 4097 small/lines <(head -c 4096 whole)

attach 4295000065
check "more than 2^32 blocks" 0 "$(report 4295000065 4294983680 4294967296 "$dev")" "$dev"

sector=4096 attach 40000
expect "4096-byte logical sectors" test "$(blockdev --getss --getsz "$dev")" = $'4096\n40000'
check "4096-byte sectors, count in 512-byte blocks" 0 "$(report 40000 23615 7231 "$dev")" "$dev"

for blocks in 1 16384 16385 32768; do
	attach $blocks
	check "$blocks blocks, too small" 0 "$(too_small $blocks "$dev")" "$dev"
done
attach 0
check "empty device" 0 "cannot calc position of $dev" "$dev"

# What the kernel knows of the disk, said on stderr after the report.
table_way() { way "$1 in the table on $dev" "${@:2}"; }
table_lies() { lies "$1 in the table on $dev" "${@:2}"; }
on_disk() { report 100000 83615 67231 "$dev"; }
# Partition 1 ends just below Drive B; partition 2 starts at its first
# block, and is overwritten whole.
partitioned 100000 $'label: dos\nstart=2048, size=65183\nstart=67231, size=1000'
warnings=$(lies "${dev}p2" 67231 68230) check "partitions ending below Drive B, and starting at it" 0 "$(on_disk)" "$dev"
partitioned 100000 $'label: dos\nstart=2048, size=65184'
warnings=$(way "${dev}p1" 2048 67231) check "partition ending in Drive B's first block" 0 "$(on_disk)" "$dev"
partitioned 100000 $'label: gpt\nstart=2048, size=65183'
warnings=$(gpt "$dev") check "GPT, partitions below the images" 0 "$(on_disk)" "$dev"
sector=4096 partitioned 100000 $'label: gpt\nstart=256, size=8147'
warnings=$(gpt "$dev") check "GPT on 4096-byte sectors" 0 "$(on_disk)" "$dev"
# Twelve partitions: the last three reach into the images' places, p12 from
# below them.
partitioned 100000 "label: gpt$(printf '\nstart=%s, size=2048' $(seq 2048 2048 18432))
start=90000, size=5000
start=95000, size=4900
start=60000, size=30000"
warnings="$(gpt "$dev")
$(way "${dev}p12" 60000 89999)
$(lies "${dev}p10" 90000 94999)
$(lies "${dev}p11" 95000 99899)" check "twelve partitions, the last three in the way" 0 "$(on_disk)" "$dev"

# Partition 3 lies below partition 2 on the disk, and both reach into the
# images' places; partition 1 is mounted.
partitioned 100000 $'label: dos\nstart=2048, size=20000\nstart=90000, size=10000\nstart=50000, size=40000'
warnings="mfmplace: warning: ${dev}p3 is partition 3 of $dev: the lines write the end of the partition, not of the disk" \
	check "partition named" 0 "$(report 40000 23615 7231 "${dev}p3")" "${dev}p3"
in_the_way="$(way "${dev}p3" 50000 89999)
$(lies "${dev}p2" 90000 99999)"
warnings=$in_the_way check "partitions in the way, by first block" 0 "$(on_disk)" "$dev"
# A sysfs file that holds no number, or cannot be read, is named, not passed
# over.  covered NAME COVER FILE TEXT OPERAND STDOUT [WARNING...]: the case
# NAME, the tool on OPERAND, with the sysfs FILE covered, in a private mount
# namespace, by COVER, or by the tool's own /proc/PID/mem (whose read at
# offset 0 fails) for "mem"; it must print STDOUT, the WARNINGs, and the
# cannot-check line for FILE with TEXT.
covered() {
	local plain=("${emulator[@]}")
	emulator=(unshare -m sh -c 'c=$0 && [ "$c" != mem ] || c=/proc/$$/mem
		mount --bind "$c" "$1" && shift && exec "$@"' "$2" "$3" "${plain[@]}")
	warnings=$(printf '%s\n' "${@:7}" "mfmplace: warning: cannot check the partitions of $5: $3: $4") \
		check "$1" 0 "$6" "$5"
	emulator=("${plain[@]}")
}
part=/sys/dev/block/$(stat -c %Hr:%Lr "$dev")/${dev#/dev/}
covered "partition 1's start holds no number" /dev/null "${part}p1/start" "no number in it" "$dev" \
	"$(on_disk)" "$in_the_way"
covered "partition 1's start cannot be read" mem "${part}p1/start" "Input/output error" "$dev" \
	"$(on_disk)" "$in_the_way"
# The table still knows a partition in the way whose start sysfs hides.
covered "partition 2's start holds no number: the table's partition 2" /dev/null "${part}p2/start" \
	"no number in it" "$dev" "$(on_disk)" "$(way "${dev}p3" 50000 89999)" "$(table_lies 2 90000 99999)"
covered "a partition's partition file holds no number" /dev/null \
	"/sys/dev/block/$(stat -c %Hr:%Lr "${dev}p3")/partition" "no number in it" "${dev}p3" \
	"$(report 40000 23615 7231 "${dev}p3")"

mkdir mnt
if mkfs.ext4 -q "${dev}p1" && mount "${dev}p1" mnt; then
	mounts+=("$work/mnt")
	warnings="mfmplace: warning: $dev or a partition on it is in use (mounted, swap, or part of another device)
$in_the_way" check "partition mounted" 0 "$(on_disk)" "$dev"
else
	skip_case "partition mounted" "ext4 cannot be made or mounted here"
fi
attach 32769 -r
ln -s "$dev" "ro disk's"
warnings="mfmplace: warning: 'ro disk'\\''s' is read-only: the lines will fail" \
	check "read-only device, named oddly" 0 "$(smallest "'$work/ro disk'\\''s'")" "ro disk's"
# Read-only, and both images too long: the lines' failure first, then each
# image, Drive A's first.
mkdir long-images
truncate -s 8389121 long-images/Drive_A.mfm.img && truncate -s 9000000 long-images/Drive_B.mfm.img
warnings="mfmplace: warning: $dev is read-only: the lines will fail
mfmplace: warning: Drive_A.mfm.img here is 8389121 bytes, longer than the 8389120 bytes of its place: the Drive A line runs past the end of the device and fails
mfmplace: warning: Drive_B.mfm.img here is 9000000 bytes, longer than the 8388608 bytes of its place: the Drive B line overwrites the start of Drive A" \
	from=long-images check "read-only, and both images too long" 0 "$(smallest "$dev")" "$dev"
sysfs=/sys/dev/block/$(stat -c %Hr:%Lr "$dev")
plain=("${emulator[@]}")
emulator=(unshare -m sh -c 'mount -t tmpfs none /sys/dev/block && exec "$@"' sh "${plain[@]}")
warnings="mfmplace: warning: cannot check the partitions of $dev: $sysfs: No such file or directory" \
	check "sysfs hidden" 0 "$(smallest "$dev")" "$dev"
emulator=("${plain[@]}")

# What the disk itself holds, whatever the kernel was told of it.  Attached
# without -P and never told with partx, the kernel lists no partition.
untold=$'label: dos\nstart=2048, size=10000\nstart=40000, size=30000\nstart=80000, type=c'
table=$untold attach 100000
warnings="$(table_way 2 40000 69999)
$(table_lies 3 80000 99999)" check "a dos table the kernel was not told of" 0 "$(on_disk)" "$dev"
partitioned 100000 "$untold"
warnings="$(way "${dev}p2" 40000 69999)
$(lies "${dev}p3" 80000 99999)" check "the same table, told with partx: the kernel's names" 0 "$(on_disk)" "$dev"
# A table written for a card twice as large: partition 2 starts past this
# device's end and is not on it; partition 1 runs past it.
attach 100000
truncate -s $((200000 * 512)) "disk${#loops[@]}.img"
sfdisk -q "disk${#loops[@]}.img" <<<$'label: dos\nstart=2048, size=140000\nstart=150000, size=40000' >/dev/null
truncate -s $((100000 * 512)) "disk${#loops[@]}.img" && losetup -c "$dev"
warnings=$(table_way 1 2048 142047) check "a table copied from a larger disk" 0 "$(on_disk)" "$dev"
# The table shrunk without telling the kernel, which still lists the old
# extent: the larger one counts.
partitioned 100000 $'label: dos\nstart=2048'
sfdisk -q --no-reread --no-tell-kernel "$dev" <<<$'label: dos\nstart=2048, size=60000' >/dev/null 2>&1
warnings=$(way "${dev}p1" 2048 99999) check "the kernel's extent larger than the table's" 0 "$(on_disk)" "$dev"
# The kernel lists an extended partition as 2 blocks; the table gives its
# whole extent, with its logical partition inside.
last=5 partitioned 100000 $'label: dos\nstart=2048, size=10000\nstart=40000, type=5\nstart=42048, size=10000'
warnings=$(way "${dev}p2" 40000 99999) check "extended partition reaching into the images' places" 0 "$(on_disk)" "$dev"

# What lies on the whole device, made by each mkfs that is installed, on a
# device of the size it needs.
fs() { printf 'mfmplace: warning: %s holds %s on blocks 0 to %s: the lines overwrite its end' "$dev" "$@"; }
echo passphrase >key
while IFS=$'\t' read -r mkfs kind blocks seeks; do
	read -ra command <<<"$mkfs"
	if ! command -v "${command[0]}" >/dev/null; then
		skip_case "whole-device $mkfs" "no ${command[0]} here"
		continue
	fi
	attach "$blocks"
	"${command[@]}" "$dev" >/dev/null 2>&1 || { result "whole-device $mkfs: made" 1; continue; }
	read -r a b <<<"$seeks"
	warnings=$(fs "$kind" $((blocks - 1))) check "whole-device $mkfs" 0 "$(report "$blocks" "$a" "$b" "$dev")" "$dev"
done <<'END'
mkfs.vfat -F 32 --mbr=n	a FAT filesystem	100000	83615 67231
mkfs.vfat -F 32 --mbr=y	a FAT filesystem	100000	83615 67231
mkfs.ext4 -q	an ext2/3/4 filesystem	100000	83615 67231
mkfs.exfat	an exFAT filesystem	100000	83615 67231
mkntfs -F -Q -q	an NTFS filesystem	100000	83615 67231
mkswap	a swap area	100000	83615 67231
mkudffs --bootarea=erase	a UDF filesystem	100000	83615 67231
pvcreate -ff -y	an LVM physical volume	100000	83615 67231
cryptsetup luksFormat --type luks1 --pbkdf pbkdf2 --batch-mode --key-file key	a LUKS volume	100000	83615 67231
cryptsetup luksFormat --type luks2 --pbkdf pbkdf2 --batch-mode --key-file key	a LUKS volume	100000	83615 67231
mkfs.btrfs -f	a btrfs filesystem	2097152	2080767 2064383
mkfs.xfs -f	an XFS filesystem	2097152	2080767 2064383
mkfs.f2fs	an F2FS filesystem	2097152	2080767 2064383
END
# Ending in the last block below the images' places, and in their first.
attach 100000
mkfs.ext4 -q "$dev" 33615
check "whole-device ext4 ending below the images' places" 0 "$(on_disk)" "$dev"
mkfs.ext4 -q "$dev" 33616
warnings=$(fs "an ext2/3/4 filesystem" 67231) check "whole-device ext4 ending in Drive B's first block" 0 "$(on_disk)" "$dev"
# Boot code in sector 0 whose first entry has no valid boot flag is no MBR,
# and does not hide the superblock behind it.
mkfs.ext4 -q "$dev"
{ head -c 446 /dev/zero; printf '\023\0\0\0\203\0\0\0\0\010\0\0\020\047\0\0'; head -c 48 /dev/zero; printf '\125\252'; } |
	dd of="$dev" bs=512 count=1 iflag=fullblock conv=notrunc status=none
warnings=$(fs "an ext2/3/4 filesystem" 99999) check "whole-device ext4 under boot code that is no MBR" 0 "$(on_disk)" "$dev"
# A valid MBR that lists nothing leaves the superblock behind it in place.
attach 100000
mkfs.ext4 -q "$dev" && sfdisk -q --wipe never "$dev" <<<'label: dos' >/dev/null 2>&1
warnings=$(fs "an ext2/3/4 filesystem" 99999) check "whole-device ext4 under an MBR that lists nothing" 0 "$(on_disk)" "$dev"
# The high half of the block count, set as in a filesystem of more than
# 2^32 blocks, counts only with the 64bit feature (50000 blocks of 1 KiB).
while IFS=$'\t' read -r feature last; do
	attach 100000
	mkfs.ext4 -q -O "$feature" "$dev" && printf '\001' | dd of="$dev" bs=1 seek=1360 conv=notrunc status=none
	warnings=$(fs "an ext2/3/4 filesystem" "$last") check "whole-device ext4 -O $feature, high half of the count set" 0 "$(on_disk)" "$dev"
done <<'END'
64bit	8590034591
^64bit	99999
END
# Below 65536 sectors FAT gives its size in the 16-bit field.
if command -v mkfs.vfat >/dev/null; then
	attach 40000
	mkfs.vfat -F 16 "$dev" >/dev/null
	warnings=$(fs "a FAT filesystem" 39999) check "whole-device FAT16, its size in 16 bits" 0 "$(report 40000 23615 7231 "$dev")" "$dev"
else
	skip_case "whole-device FAT16" "no mkfs.vfat here"
fi

# A GPT whose primary header is gone, and one whose header's CRC fails.
damaged="mfmplace: warning: DEV has a GPT partition table whose primary header is missing or damaged: the lines overwrite its only copy, at the end of the disk"
gpt_disk=$'label: gpt\nstart=2048, size=20000'
table=$gpt_disk attach 100000
dd if=/dev/zero of="$dev" bs=512 seek=1 count=1 status=none
warnings=${damaged/DEV/$dev} check "GPT, block 1 zeroed" 0 "$(on_disk)" "$dev"
table=$gpt_disk attach 100000
printf X | dd of="$dev" bs=1 seek=536 conv=notrunc status=none # in the header's own LBA
warnings=${damaged/DEV/$dev} check "GPT, header CRC damaged" 0 "$(on_disk)" "$dev"
# GPT on larger logical sectors: the header and entries are found in the
# sector's own size, and the table's LBAs counted in it.
for size in 1024 2048 4096; do
	sector=$size table="label: gpt
start=$((2048 * 512 / size)), size=$((180000 * 512 / size))" attach 204800
	warnings="$(gpt "$dev")
mfmplace: warning: partition 1 in the table on $dev (blocks 2048 to 182047) reaches into the last 32769 blocks: the lines overwrite its end; end it at block 172030 or below" \
		check "GPT on $size-byte sectors, untold" 0 "$(report 204800 188415 172031 "$dev")" "$dev"
done
# A header rewritten with its CRC-32 made anew (gzip's trailer holds it):
# as it was, it is valid; with a near-miss signature it is not.
resign() { # SIGNATURE: write it into the 92-byte header of $dev, and its CRC
	printf '%s' "$1" | dd of="$dev" bs=1 seek=512 conv=notrunc status=none
	dd if=/dev/zero of="$dev" bs=1 seek=528 count=4 conv=notrunc status=none
	dd if="$dev" bs=1 skip=512 count=92 status=none | gzip -c | tail -c 8 | head -c 4 |
		dd of="$dev" bs=1 seek=528 conv=notrunc status=none
}
table=$gpt_disk attach 100000
resign "EFI PART"
warnings=$(gpt "$dev") check "GPT, header signed anew" 0 "$(on_disk)" "$dev"
resign "EFI PARX"
warnings=${damaged/DEV/$dev} check "GPT, near-miss signature EFI PARX" 0 "$(on_disk)" "$dev"
# A hundred and ten partitions: more than any small cap, numbers of three
# digits; the last lies in the images' places.
partitioned 100000 "label: gpt$(printf '\nstart=%s, size=512' $(seq 2048 512 57344))
start=90000, size=1000"
warnings="$(gpt "$dev")
$(lies "${dev}p110" 90000 90999)" check "110 partitions, the last in the way" 0 "$(on_disk)" "$dev"
# A partition that starts at N-32770 can end below the images: at its own
# first block.
partitioned 100000 $'label: dos\nstart=2048, size=10000\nstart=67230, size=1000'
warnings=$(way "${dev}p2" 67230 68229) check "partition starting at N-32770" 0 "$(on_disk)" "$dev"
# "EFI PART" left at byte 512 under a dos table is no GPT.
table=$gpt_disk attach 100000
sfdisk -q --wipe never "$dev" <<<$'label: dos\nstart=2048, size=20000' >/dev/null 2>&1
expect "old GPT header left under a dos table" test "$(dd if="$dev" bs=1 skip=512 count=8 status=none)" = "EFI PART"
check "old GPT header under a dos table: no GPT" 0 "$(on_disk)" "$dev"
# The entry array fits in the head up to 536 entries of 128 bytes.
table=$'label: gpt\ntable-length: 150\nstart=4096, size=2048' attach 100000
warnings=$(gpt "$dev") check "150 GPT entries, all read" 0 "$(on_disk)" "$dev"
table=$'label: gpt\ntable-length: 600\nstart=4096, size=2048' attach 100000
warnings="$(gpt "$dev")
mfmplace: warning: cannot check the partitions of $dev: its first 69632 bytes: GPT entries beyond them" \
	check "600 GPT entries, beyond the bytes read" 0 "$(on_disk)" "$dev"

# Images in the working folder exactly as long as their places (Drive A's
# 16385 blocks, Drive B's 16384), and one byte longer.
attach 32769
mkdir images
truncate -s 8389120 images/Drive_A.mfm.img && truncate -s 8388608 images/Drive_B.mfm.img
from=images check "images exactly as long as their places" 0 "$(smallest "$dev")" "$dev"
truncate -s 8389121 images/Drive_A.mfm.img && truncate -s 8388609 images/Drive_B.mfm.img
warnings="mfmplace: warning: Drive_A.mfm.img here is 8389121 bytes, longer than the 8389120 bytes of its place: the Drive A line runs past the end of the device and fails
mfmplace: warning: Drive_B.mfm.img here is 8388609 bytes, longer than the 8388608 bytes of its place: the Drive B line overwrites the start of Drive A" \
	from=images check "images one byte longer than their places" 0 "$(smallest "$dev")" "$dev"

finish
