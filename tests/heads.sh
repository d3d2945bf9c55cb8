#!/usr/bin/env bash
# What the tool reads in a disk's head, case by case: each committed head
# image under heads/ (the first 69632 bytes of a disk, as heads/make.sh made
# it) is written to a new sparse loop device, which the kernel is not told
# of, and the tool must print the report and exactly the warnings that the
# table gives.  No mkfs is needed, of any version.
images=$(cd "$(dirname "$0")/heads" && pwd)
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
need_loop

# head IMAGE BLOCKS SECTOR SEEK-A SEEK-B WARNINGS: the case.
head_case() {
	sector=$3 attach "$2"
	gzip -dc "$images/$1.img.gz" | dd of="$dev" bs=4096 conv=notrunc status=none
	warnings=${6//DEV/$dev} check "$1 on $2 blocks of $3-byte sectors" 0 "$(report "$2" "$4" "$5" "$dev")" "$dev"
}

# The table: a line "IMAGE BLOCKS SECTOR SEEK-A SEEK-B: how the image was
# made", then the warnings, each on a line of its own after a tab, DEV
# standing for the device; none for a silent case.
case_line=() expected=
next_case() {
	((${#case_line[@]} == 0)) || head_case "${case_line[@]}" "$expected"
	case_line=() expected=
}
while IFS= read -r row; do
	if [[ $row == $'\t'* ]]; then
		expected+=${expected:+$'\n'}${row#$'\t'}
		continue
	fi
	next_case
	[[ -z $row || $row == '#'* ]] || read -ra case_line <<<"${row%%:*}"
done <<'END'
# Old boot records under a partition table: the table wins, as in the
# kernel, partx and blkid.
grub-over-ntfs 262144 512 245759 229375: real grub-install (i386-pc) over sfdisk's dos table over mkntfs's 64 MiB NTFS; GRUB's own code zeroed
	mfmplace: warning: partition 1 in the table on DEV (blocks 2048 to 262143) reaches into the last 32769 blocks: the lines overwrite its end; end it at block 229374 or below
grub-over-fat 262144 512 245759 229375: by hand, GRUB's boot.img over sfdisk's dos table over mkfs.vfat's FAT32, bytes 3 to 89 kept; GRUB's own code zeroed
	mfmplace: warning: partition 1 in the table on DEV (blocks 2048 to 262143) reaches into the last 32769 blocks: the lines overwrite its end; end it at block 229374 or below
sfdisk-over-fat 262144 512 245759 229375: sfdisk's dos table over mkfs.vfat -F 32 on the whole disk
	mfmplace: warning: partition 1 in the table on DEV (blocks 2048 to 262047) reaches into the last 32769 blocks: the lines overwrite its end; end it at block 229374 or below
sgdisk-g-over-fat 262144 512 245759 229375: sgdisk -g on the one before
	mfmplace: warning: DEV has a GPT partition table: the lines overwrite its backup copy at the end of the disk
	mfmplace: warning: partition 1 in the table on DEV (blocks 2048 to 262047) reaches into the last 32769 blocks: the lines overwrite its end; end it at block 229374 or below
sgdisk-over-fat 262144 512 245759 229375: sgdisk -g -n over mkfs.vfat -F 32 on the whole disk
	mfmplace: warning: DEV has a GPT partition table: the lines overwrite its backup copy at the end of the disk
	mfmplace: warning: partition 1 in the table on DEV (blocks 2048 to 262110) reaches into the last 32769 blocks: the lines overwrite its end; end it at block 229374 or below

# ISO images on a stick, their end in Drive B's first block: a dos entry of
# type 0 from block 0 over the ISO, and one of type 0x17; and an appended
# GPT, whose backup lies at the ISO's end, in the images' places on a small
# stick and below them on a large one.
iso-debian-hybrid 45056 512 28671 12287: xorriso -isohybrid-mbr (isolinux's isohdpfx.bin) -isohybrid-gpt-basdat
	mfmplace: warning: partition 1 in the table on DEV (blocks 0 to 12287) reaches into the last 32769 blocks: the lines overwrite its end; end it at block 12286 or below
iso-syslinux-hybrid 45056 512 28671 12287: xorriso -isohybrid-mbr (isolinux's isohdpfx.bin)
	mfmplace: warning: partition 1 in the table on DEV (blocks 0 to 12287) reaches into the last 32769 blocks: the lines overwrite its end; end it at block 12286 or below
iso-appended-gpt 45056 512 28671 12287: xorriso -append_partition 2 0xef -appended_part_as_gpt
	mfmplace: warning: DEV has a GPT partition table: the lines overwrite its backup copy at the end of the disk
	mfmplace: warning: partition 2 in the table on DEV (blocks 11208 to 14087) reaches into the last 32769 blocks: the lines overwrite its end; end it at block 12286 or below
	mfmplace: warning: partition 3 in the table on DEV (blocks 14088 to 14687) lies in the last 32769 blocks: the lines overwrite it
iso-appended-gpt 100000 512 83615 67231: the same

# GPTs as the kernel trusts them.
stray-boot-flag 100000 512 83615 67231: sfdisk's GPT, byte 494 (the fourth entry's boot flag) set to 1
	mfmplace: warning: DEV has a GPT partition table: the lines overwrite its backup copy at the end of the disk
	mfmplace: warning: partition 1 in the table on DEV (blocks 2048 to 92047) reaches into the last 32769 blocks: the lines overwrite its end; end it at block 67230 or below
hybrid-ee-second 100000 512 83615 67231: sgdisk -h 1:EE, a hybrid MBR with its 0xEE entry second
	mfmplace: warning: DEV has a GPT partition table: the lines overwrite its backup copy at the end of the disk
	mfmplace: warning: partition 1 in the table on DEV (blocks 2048 to 99000) reaches into the last 32769 blocks: the lines overwrite its end; end it at block 67230 or below
ee-not-at-lba-1 100000 512 83615 67231: sfdisk's GPT, its 0xEE entry moved to LBA 2: a dos entry, past the end
	mfmplace: warning: partition 1 in the table on DEV (blocks 2 to 100000) reaches into the last 32769 blocks: the lines overwrite its end; end it at block 67230 or below
gpt-smaller 53249 512 36864 20480: sfdisk's GPT for 20480 blocks, its backup at 20479, below Drive B
gpt-smaller 53248 512 36863 20479: the same, its backup in Drive B's first block
	mfmplace: warning: DEV has a GPT partition table: the lines overwrite its backup copy at the end of the disk
gpt-entries-damaged 100000 512 83615 67231: sfdisk's GPT, a byte of entry 1's name changed after its CRC
	mfmplace: warning: DEV has a GPT partition table whose primary entries are damaged: the lines overwrite its only good copy, at the end of the disk
gpt-smaller-entries-damaged 53249 512 36864 20480: gpt-smaller, damaged so
gpt-smaller-entries-damaged 53248 512 36863 20479: the same, its backup in Drive B's first block
	mfmplace: warning: DEV has a GPT partition table whose primary entries are damaged: the lines overwrite its only good copy, at the end of the disk
gpt-wrapping-end 100000 4096 83615 67231: sfdisk's GPT on 4096-byte sectors, entry 1's last LBA set to 2^64-1 and both CRCs made anew
	mfmplace: warning: DEV has a GPT partition table: the lines overwrite its backup copy at the end of the disk
	mfmplace: warning: partition 1 in the table on DEV (blocks 2048 to 18446744073709551615) reaches into the last 32769 blocks: the lines overwrite its end; end it at block 67230 or below

# Filesystems on the whole device that the tool read before.
fat-one-copy 100000 512 83615 67231: mkfs.vfat -F 32 -f 1
	mfmplace: warning: DEV holds a FAT filesystem on blocks 0 to 99999: the lines overwrite its end
fat32-4096 100000 4096 83615 67231: mkfs.vfat -F 32 on 4096-byte sectors
	mfmplace: warning: DEV holds a FAT filesystem on blocks 0 to 99839: the lines overwrite its end
exfat-4096 100000 4096 83615 67231: mkfs.exfat on 4096-byte sectors
	mfmplace: warning: DEV holds an exFAT filesystem on blocks 0 to 99999: the lines overwrite its end
ext4-33615k 99999 512 83614 67230: mkfs.ext4 -b 1024 of 33615 blocks, ending at N-32770
ext4-33615k 99998 512 83613 67229: the same, ending at N-32769
	mfmplace: warning: DEV holds an ext2/3/4 filesystem on blocks 0 to 67229: the lines overwrite its end
ext4-saturated 100000 512 83615 67231: ext4-33615k with 64bit, 64 KiB blocks and 2^64-1 of them, by hand
	mfmplace: warning: DEV holds an ext2/3/4 filesystem on blocks 0 to 18446744073709551615: the lines overwrite its end

# What else lies on the whole device, by each format's own tool, and by
# hand from its documentation where Debian has none.
iso9660 34052 512 17667 1283: genisoimage, ending in Drive B's first block
	mfmplace: warning: DEV holds an ISO 9660 filesystem on blocks 0 to 1283: the lines overwrite its end
iso9660 34053 512 17668 1284: the same, ending below it
iso9660-boot-record-first 32769 512 16384 0: genisoimage -b, its boot record moved ahead of the primary descriptor
	mfmplace: warning: DEV holds an ISO 9660 filesystem on blocks 0 to 1299: the lines overwrite its end
squashfs 33568 512 17183 799: mksquashfs -noD, ending in Drive B's first block
	mfmplace: warning: DEV holds a squashfs filesystem on blocks 0 to 799: the lines overwrite its end
squashfs 33569 512 17184 800: the same, ending below it
udf 100000 512 83615 67231: mkudffs on a file
	mfmplace: warning: DEV holds a UDF filesystem on blocks 0 to 99999: the lines overwrite its end
udf-on-a-disk 100000 512 83615 67231: mkudffs on a loop device, with its MBR
	mfmplace: warning: partition 1 in the table on DEV (blocks 0 to 99999) reaches into the last 32769 blocks: the lines overwrite its end; end it at block 67230 or below
luks1 100000 512 83615 67231: cryptsetup luksFormat --type luks1; its key material zeroed
	mfmplace: warning: DEV holds a LUKS volume on blocks 0 to 99999: the lines overwrite its end
luks2 100000 512 83615 67231: cryptsetup luksFormat --type luks2; its key material zeroed
	mfmplace: warning: DEV holds a LUKS volume on blocks 0 to 99999: the lines overwrite its end
lvm 100000 512 83615 67231: pvcreate
	mfmplace: warning: DEV holds an LVM physical volume on blocks 0 to 99999: the lines overwrite its end
lvm 50000 512 33615 17231: the same on a smaller device: the size it recorded
	mfmplace: warning: DEV holds an LVM physical volume on blocks 0 to 99999: the lines overwrite its end
swap 100000 512 83615 67231: mkswap
	mfmplace: warning: DEV holds a swap area on blocks 0 to 99999: the lines overwrite its end
swap-big-endian 100000 512 83615 67231: mkswap's, its version and last page rewritten big-endian
	mfmplace: warning: DEV holds a swap area on blocks 0 to 99999: the lines overwrite its end
btrfs 2097152 512 2080767 2064383: mkfs.btrfs
	mfmplace: warning: DEV holds a btrfs filesystem on blocks 0 to 2097151: the lines overwrite its end
btrfs-two-devices 1048576 512 1032191 1015807: mkfs.btrfs over this device and one twice as large: this one's size
	mfmplace: warning: DEV holds a btrfs filesystem on blocks 0 to 1048575: the lines overwrite its end
xfs 2097152 512 2080767 2064383: mkfs.xfs
	mfmplace: warning: DEV holds an XFS filesystem on blocks 0 to 2097151: the lines overwrite its end
f2fs 2097152 512 2080767 2064383: mkfs.f2fs
	mfmplace: warning: DEV holds an F2FS filesystem on blocks 0 to 2097151: the lines overwrite its end
md-1.1 100000 512 83615 67231: by hand (md_p.h): data from 2048, 97952 sectors
	mfmplace: warning: DEV holds an md RAID member on blocks 0 to 99999: the lines overwrite its end
md-1.2 100000 512 83615 67231: by hand (md_p.h), the superblock at 4 KiB
	mfmplace: warning: DEV holds an md RAID member on blocks 0 to 99999: the lines overwrite its end
hfsplus 100000 512 83615 67231: by hand (TN1150): 12500 blocks of 4096 bytes
	mfmplace: warning: DEV holds an HFS+ filesystem on blocks 0 to 99999: the lines overwrite its end
hfsx 100000 512 83615 67231: by hand (TN1150): "HX", 6250 blocks of 8192 bytes
	mfmplace: warning: DEV holds an HFS+ filesystem on blocks 0 to 99999: the lines overwrite its end
apfs 100000 512 83615 67231: by hand (Apple's APFS reference): 12500 blocks of 4096 bytes
	mfmplace: warning: DEV holds an APFS container on blocks 0 to 99999: the lines overwrite its end
bitlocker 100000 512 83615 67231: by hand (libbde's documentation): Windows 7's volume header
	mfmplace: warning: DEV holds a BitLocker volume on blocks 0 to 99999: the lines overwrite its end
bitlocker-to-go 100000 512 83615 67231: by hand: mkfs.vfat's FAT32 as BitLocker To Go's header
	mfmplace: warning: DEV holds a BitLocker volume on blocks 0 to 99999: the lines overwrite its end
END
next_case

finish
