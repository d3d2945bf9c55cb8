#!/usr/bin/env bash
# tests/heads/make.sh: make the head images that tests/heads.sh reads, each
# the first 69632 bytes of a disk as a real tool wrote it, or as the
# format's own documentation lays it out where Debian has no tool for it,
# kept as NAME.img.gz beside this script.  heads.sh's table says how each was
# made; this is the same, as commands.  Run as root on Debian 12 with
# util-linux, fdisk, gdisk, e2fsprogs, dosfstools, exfatprogs, ntfs-3g,
# grub-pc-bin, grub2-common, xorriso, isolinux (its isohybrid MBR), genisoimage, udftools,
# cryptsetup-bin, lvm2, btrfs-progs, xfsprogs, f2fs-tools and squashfs-tools.
# The tests never run it: the images it made are committed.
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
loops=()
cleanup() {
	for d in "${loops[@]}"; do partx -d "$d" 2>/dev/null || true; losetup -d "$d"; done
	rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

# disk NAME BLOCKS: an empty sparse disk NAME.img of BLOCKS 512-byte blocks.
disk() { rm -f "$1.img" && truncate -s $(($2 * 512)) "$1.img"; }
# loop NAME [LOSETUP-OPTION...]: NAME.img on a loop device, $dev.
loop() { dev=$(losetup -f --show "${@:2}" "$1.img") && loops+=("$dev"); }
unloop() { losetup -d "$dev" && unset 'loops[-1]'; }
# keep NAME: its head, compressed, beside this script.
keep() { head -c 69632 "$1.img" | gzip -9n >"$out/$1.img.gz" && echo "made $1.img.gz"; }
# put NAME OFFSET PRINTF-FORMAT: write those bytes into NAME.img.
put() { printf "$3" | dd of="$1.img" bs=1 seek="$2" conv=notrunc status=none; }
# le BYTES VALUE / be BYTES VALUE: VALUE as a printf format of BYTES bytes.
le() { local hex i; hex=$(printf '%0*x' $(($1 * 2)) "$2"); for ((i = $1 * 2 - 2; i >= 0; i -= 2)); do printf '\\x%s' "${hex:i:2}"; done; }
be() { local hex i; hex=$(printf '%0*x' $(($1 * 2)) "$2"); for ((i = 0; i < $1 * 2; i += 2)); do printf '\\x%s' "${hex:i:2}"; done; }
# crc NAME OFFSET COUNT: the CRC-32 of those bytes, as gzip's trailer holds
# it (little-endian), as a printf format.
crc() {
	dd if="$1.img" bs=1 skip="$2" count="$3" status=none | gzip -c | tail -c 8 | head -c 4 |
		od -An -tx1 | tr -s ' \n' ' ' | sed 's/ *$//; s/ /\\x/g'
}
# gpt_sign NAME SECTOR: make the GPT's entry-array and header CRCs anew,
# after a change, on sectors of SECTOR bytes.
gpt_sign() {
	local h=$2 count size
	count=$(od -An -tu4 -j $((h + 80)) -N4 "$1.img" | tr -d ' ')
	size=$(od -An -tu4 -j $((h + 84)) -N4 "$1.img" | tr -d ' ')
	put "$1" $((h + 88)) "$(crc "$1" $((2 * h)) $((count * size)))"
	put "$1" $((h + 16)) '\0\0\0\0'
	put "$1" $((h + 16)) "$(crc "$1" "$h" 92)"
}

# Old boot records under a partition table.  grub-install keeps bytes 3 to
# 89 of the sector 0 it finds (an old NTFS's or FAT's BPB); sfdisk, gdisk
# and sgdisk keep its first 440 bytes.
disk grub-over-ntfs 262144
mkntfs -F -Q -q grub-over-ntfs.img 131072 >/dev/null
sfdisk -q grub-over-ntfs.img <<<$'label: dos\nstart=2048, type=83'
loop grub-over-ntfs
part=$(losetup -f --show -o 1048576 grub-over-ntfs.img)
mkfs.ext4 -q "$part" && mkdir boot && mount "$part" boot
grub-install --target=i386-pc --boot-directory="$work/boot/boot" "$dev" >/dev/null 2>&1
umount boot && losetup -d "$part" && unloop
# GRUB's own code, past the BPB in sector 0 and its core image in the
# sectors after it, is not ours to ship, and the tool reads none of it.
zero_grub() { dd if=/dev/zero of="$1.img" bs=1 seek=90 count=350 conv=notrunc status=none &&
	dd if=/dev/zero of="$1.img" bs=512 seek=1 count=135 conv=notrunc status=none; }
zero_grub grub-over-ntfs
keep grub-over-ntfs

# grub-install refuses a disk whose sector 0 is a FAT boot sector, so its
# boot.img is laid over the old FAT's sector by hand, as it would be.
disk grub-over-fat 262144
mkfs.vfat -F 32 grub-over-fat.img 65536 >/dev/null
sfdisk -q grub-over-fat.img <<<$'label: dos\nstart=2048, type=83'
head -c 512 grub-over-fat.img >fat-sector
{ head -c 3 /usr/lib/grub/i386-pc/boot.img; tail -c +4 fat-sector | head -c 87
	tail -c +91 /usr/lib/grub/i386-pc/boot.img | head -c 350; tail -c +441 fat-sector; } |
	dd of=grub-over-fat.img conv=notrunc status=none
zero_grub grub-over-fat
keep grub-over-fat

# sfdisk's dos table over a whole-device FAT; then sgdisk -g, which turns it
# into a GPT; and a new GPT over another, with sgdisk -g -n.
disk sfdisk-over-fat 262144
mkfs.vfat -F 32 sfdisk-over-fat.img >/dev/null
sfdisk -q sfdisk-over-fat.img <<<$'label: dos\nstart=2048, size=260000, type=c'
keep sfdisk-over-fat
cp sfdisk-over-fat.img sgdisk-g-over-fat.img
sgdisk -g sgdisk-g-over-fat.img >/dev/null
keep sgdisk-g-over-fat
disk sgdisk-over-fat 262144
mkfs.vfat -F 32 sgdisk-over-fat.img >/dev/null
sgdisk -g -n 1:2048:0 -t 1:0700 sgdisk-over-fat.img >/dev/null
keep sgdisk-over-fat

# ISO images written to a stick: a Debian-style hybrid (xorriso, an MBR
# entry of type 0 from block 0 over the ISO, an EFI partition, and a GPT
# the MBR does not mark), a syslinux-style one (type 0x17 from block 0),
# and xorriso's appended GPT behind a protective MBR.
# Their boot and EFI images are random bytes: xorriso does not look inside.
mkdir -p iso/boot && head -c 2048 /dev/urandom >iso/boot/boot.bin
head -c 4M /dev/zero >iso/data
head -c 1474560 /dev/urandom >efi.img && cp efi.img iso/
isohybrid=(-isohybrid-mbr /usr/lib/ISOLINUX/isohdpfx.bin -b boot/boot.bin -c boot/boot.cat
	-no-emul-boot -boot-load-size 4 -boot-info-table)
xorriso -as mkisofs -quiet -r -J "${isohybrid[@]}" -eltorito-alt-boot -e efi.img -no-emul-boot \
	-isohybrid-gpt-basdat -o iso-debian-hybrid.img iso 2>/dev/null
keep iso-debian-hybrid
xorriso -as mkisofs -quiet -r -J "${isohybrid[@]}" -o iso-syslinux-hybrid.img iso 2>/dev/null
keep iso-syslinux-hybrid
xorriso -as mkisofs -quiet -r -J -append_partition 2 0xef efi.img -appended_part_as_gpt \
	-o iso-appended-gpt.img iso 2>/dev/null
keep iso-appended-gpt

# GPTs as the kernel trusts them.  A stray boot flag in the protective
# MBR's fourth, unused entry (byte 494).
gpt_script=$'label: gpt\nstart=2048, size=90000'
disk stray-boot-flag 100000
sfdisk -q stray-boot-flag.img <<<"$gpt_script"
put stray-boot-flag 494 '\x01'
keep stray-boot-flag
# A hybrid MBR whose 0xEE entry is its second (sgdisk -h 1:EE lists it last).
disk hybrid-ee-second 100000
sgdisk -n 1:2048:99000 -t 1:0700 -h 1:EE hybrid-ee-second.img >/dev/null
keep hybrid-ee-second
# An 0xEE entry that starts past LBA 1 marks no GPT: the MBR is a dos table
# with one entry of type 0xEE.
disk ee-not-at-lba-1 100000
sfdisk -q ee-not-at-lba-1.img <<<"$gpt_script"
put ee-not-at-lba-1 $((446 + 8)) '\x02'
keep ee-not-at-lba-1
# A GPT made for 20480 blocks on a larger disk: its backup lies at 20479.
disk gpt-smaller 20480
sfdisk -q gpt-smaller.img <<<$'label: gpt\nstart=2048'
keep gpt-smaller
# Entry arrays whose CRC fails: a byte of entry 1's name changed.
disk gpt-entries-damaged 100000
sfdisk -q gpt-entries-damaged.img <<<"$gpt_script"
put gpt-entries-damaged $((1024 + 56)) 'X'
keep gpt-entries-damaged
cp gpt-smaller.img gpt-smaller-entries-damaged.img
put gpt-smaller-entries-damaged $((1024 + 56)) 'X'
keep gpt-smaller-entries-damaged
# An entry whose last LBA is 2^64-1, on 4096-byte sectors, signed anew.
disk gpt-wrapping-end 100000
loop gpt-wrapping-end -b 4096
sfdisk -q "$dev" <<<$'label: gpt\nstart=256, size=1000'
unloop
put gpt-wrapping-end $((8192 + 40)) '\xff\xff\xff\xff\xff\xff\xff\xff'
gpt_sign gpt-wrapping-end 4096
keep gpt-wrapping-end

# Whole-device filesystems that 1.4.0 already read, where its tests did not
# reach: one FAT copy, 4096-byte sectors, an ext4 ending at block 67229, and
# an ext4 count that saturates (64bit, 64 KiB blocks, 2^64-1 of them).
disk fat-one-copy 100000
mkfs.vfat -F 32 -f 1 fat-one-copy.img >/dev/null
keep fat-one-copy
for fs in fat32:"mkfs.vfat -F 32" exfat:mkfs.exfat; do
	disk "${fs%%:*}-4096" 100000
	loop "${fs%%:*}-4096" -b 4096
	${fs#*:} "$dev" >/dev/null
	unloop
	keep "${fs%%:*}-4096"
done
disk ext4-33615k 100000
mkfs.ext4 -q -b 1024 ext4-33615k.img 33615
keep ext4-33615k
cp ext4-33615k.img ext4-saturated.img
put ext4-saturated $((1024 + 4)) '\xff\xff\xff\xff'
put ext4-saturated $((1024 + 24)) '\x06\0\0\0'
put ext4-saturated $((1024 + 96)) "$(le 4 $(($(od -An -tu4 -j 1120 -N4 ext4-saturated.img) | 0x80)))"
put ext4-saturated $((1024 + 336)) '\xff\xff\xff\xff'
keep ext4-saturated

# What else a reused stick or a wrongly named disk holds, made by each
# format's own tool.
mkdir -p files && head -c 300000 /dev/zero >files/data
genisoimage -quiet -o iso9660.img files
keep iso9660
# ECMA-119 does not ask that the primary volume descriptor come first: an
# El Torito boot record ahead of it, by hand, swapping genisoimage's two.
mkdir -p files-boot/boot && head -c 2048 /dev/zero >files-boot/boot/boot.bin && cp files/data files-boot/
genisoimage -quiet -b boot/boot.bin -no-emul-boot -o iso9660-boot-record-first.img files-boot
dd if=iso9660-boot-record-first.img bs=2048 skip=16 count=2 status=none >descriptors
{ tail -c 2048 descriptors; head -c 2048 descriptors; } |
	dd of=iso9660-boot-record-first.img bs=2048 seek=16 conv=notrunc status=none
keep iso9660-boot-record-first
disk udf 100000 && mkudffs udf.img >/dev/null 2>&1 && keep udf
# On a disk, mkudffs writes an MBR whose one entry runs from block 0 over it.
disk udf-on-a-disk 100000 && loop udf-on-a-disk && mkudffs "$dev" >/dev/null 2>&1 && unloop &&
	keep udf-on-a-disk
for version in 1 2; do
	disk luks$version 100000
	echo -n passphrase | cryptsetup luksFormat --type luks$version --pbkdf pbkdf2 --batch-mode \
		--key-file - luks$version.img
	# Its key material, random bytes the tool does not read, is zeroed: past
	# LUKS1's 4 KiB header, and past LUKS2's two headers, in the first 32 KiB.
	dd if=/dev/zero of=luks$version.img bs=4096 seek=$((version == 1 ? 1 : 8)) count=16 conv=notrunc status=none
	keep luks$version
done
disk lvm 100000 && loop lvm && pvcreate -qq -ff -y "$dev" >/dev/null 2>&1 && unloop && keep lvm
disk swap 100000 && mkswap -q swap.img 2>/dev/null && keep swap
# A swap area made on a big-endian machine: version 1 and the last page,
# 99999 blocks in pages of 4 KiB, in that order.
cp swap.img swap-big-endian.img
put swap-big-endian 1024 "$(be 4 1)$(be 4 12499)"
keep swap-big-endian
for fs in btrfs:"mkfs.btrfs -q -f" xfs:"mkfs.xfs -q -f" f2fs:"mkfs.f2fs -q"; do
	disk "${fs%%:*}" 2097152
	${fs#*:} "${fs%%:*}.img" >/dev/null
	keep "${fs%%:*}"
done
# A btrfs filesystem over two devices: the first device's own size counts.
disk btrfs-two-devices 1048576 && disk btrfs-second-device 2097152
mkfs.btrfs -q -f -d single -m single btrfs-two-devices.img btrfs-second-device.img >/dev/null
keep btrfs-two-devices
# Stored uncompressed (-noD), so that it ends where a text's bytes do.
mkdir text && seq 1 70000 >text/numbers
mksquashfs text squashfs.img -noD -noappend -quiet >/dev/null
keep squashfs

# By hand, from the format's own documentation, where Debian has no tool.
# md RAID 1.1 and 1.2 (the kernel's md_p.h): magic, major version 1, data
# offset and size in sectors, the superblock's own sector.
for version in 1.1:0 1.2:4096; do
	name=md-${version%%:*} at=${version#*:}
	disk "$name" 100000
	put "$name" "$at" "$(le 4 0xa92b4efc)$(le 4 1)"
	put "$name" $((at + 128)) "$(le 8 2048)$(le 8 97952)$(le 8 $((at / 512)))"
	keep "$name"
done
# HFS+ (Apple's TN1150): "H+", version 4, 4096-byte blocks, 12500 of them.
disk hfsplus 100000
put hfsplus 1024 "H+$(be 2 4)"
put hfsplus $((1024 + 40)) "$(be 4 4096)$(be 4 12500)"
keep hfsplus
# HFSX: "HX", version 5.
disk hfsx 100000
put hfsx 1024 "HX$(be 2 5)"
put hfsx $((1024 + 40)) "$(be 4 8192)$(be 4 6250)"
keep hfsx
# APFS (Apple's APFS reference): a container superblock, object type 1 with
# its flags, "NXSB", 4096-byte blocks, 12500 of them.
disk apfs 100000
put apfs 24 "$(le 4 0x80000001)"
put apfs 32 "NXSB$(le 4 4096)$(le 8 12500)"
keep apfs
# BitLocker (libbde's documentation): Windows 7's volume header, and
# BitLocker To Go's FAT-like header with BitLocker's GUID at 424.
disk bitlocker 100000
put bitlocker 0 '\xeb\x58\x90-FVE-FS-\x00\x02\x08'
keep bitlocker
disk bitlocker-to-go 100000
mkfs.vfat -F 32 -n 'NO NAME' bitlocker-to-go.img >/dev/null
put bitlocker-to-go 3 'MSWIN4.1'
put bitlocker-to-go 424 '\x3b\xd6\x67\x49\x29\x2e\xd8\x4a\x83\x99\xf6\xa3\x39\xe3\xd0\x01'
keep bitlocker-to-go
