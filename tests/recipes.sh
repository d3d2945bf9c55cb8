#!/usr/bin/env bash
# The card routes of docs/cards.md, each run as the page prints it (only
# CARD=, P= and KEEP= set, and "sudo " left out), on card images at their
# real sizes (sparse files on loop devices) that hold files of known
# SHA-256.  After each: the last mfmplace warns of nothing, its two dd lines
# put the images at their places, the filesystems check clean, every kept
# file is whole, and sfdisk -V finds the table sound.
cards=$(cd "$(dirname "$0")/../docs" && pwd)/cards.md
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
need_loop

# What the routes and these checks run is needed, not optional.
missing=()
for need in sfdisk partx blockdev blkid sgdisk fatresize fatlabel fsck.vfat mkfs.vfat mcopy mdir \
	mkfs.exfat fsck.exfat mount.exfat-fuse mkntfs ntfsresize ntfsfix ntfs-3g mkfs.ext4 e2fsck \
	resize2fs sha256sum cmp; do
	command -v "$need" >/dev/null || missing+=("$need")
done
if ((${#missing[@]})); then
	result "the routes' tools are here" 1 "missing: ${missing[*]}"
	finish
	exit
fi

# The routes run mfmplace, mount and umount from PATH.  This kernel may lack
# vfat or exfat: then mount reads a FAT into the mount point with mtools and
# umount writes it back, and exFAT and NTFS are mounted with FUSE.
mkdir bin state
printf '#!/bin/sh\nexec %s "%s" "$@"\n' "${emulator[*]}" "$tool" >bin/mfmplace
cat >bin/mount <<'END'
#!/bin/bash
# mount [-o OPTIONS] DEVICE FOLDER, for a kernel without vfat or exfat.
options=() args=()
while (($#)); do case $1 in -o) options+=(-o "$2"); shift 2 ;; *) args+=("$1"); shift ;; esac; done
((${#args[@]} == 2)) || exec /usr/bin/mount "${options[@]}" "${args[@]}"
dev=${args[0]} dir=${args[1]}
case $(blkid -p -o value -s TYPE "$dev") in
vfat)
	grep -qw vfat /proc/filesystems && exec /usr/bin/mount "${options[@]}" "$dev" "$dir"
	MTOOLS_SKIP_CHECK=1 mcopy -s -p -m -n -i "$dev" '::*' "$dir"/ 2>/dev/null || true
	[[ " ${options[*]} " == *" -o ro "* ]] || rw=1
	printf '%s %s\n' "${rw:-0}" "$dev" >"$MOUNT_STATE/$(realpath "$dir" | tr / _)" ;;
exfat) grep -qw exfat /proc/filesystems && exec /usr/bin/mount "${options[@]}" "$dev" "$dir"
	exec mount.exfat-fuse "${options[@]}" "$dev" "$dir" ;;
ntfs) exec ntfs-3g "${options[@]}" "$dev" "$dir" ;;
*) exec /usr/bin/mount "${options[@]}" "$dev" "$dir" ;;
esac
END
cat >bin/umount <<'END'
#!/bin/bash
# umount FOLDER: a FAT that mount read with mtools is written back whole,
# unless it was mounted read-only.
state=$MOUNT_STATE/$(realpath "$1" | tr / _)
[[ $# == 1 && -f $state ]] || exec /usr/bin/umount "$@"
read -r rw dev <"$state"
shopt -s dotglob nullglob
files=("$1"/*)
if [[ $rw == 0 ]]; then rm -rf "${files[@]}" "$state"; exit; fi
export MTOOLS_SKIP_CHECK=1
for f in $(mdir -b -i "$dev" :: 2>/dev/null); do mdeltree -i "$dev" "$f" 2>/dev/null || mdel -i "$dev" "$f"; done
((${#files[@]} == 0)) || mcopy -s -p -m -i "$dev" "${files[@]}" ::/ 2>/dev/null
rm -rf "${files[@]}" "$state"
END
chmod 755 bin/*
export PATH=$work/bin:$PATH MOUNT_STATE=$work/state MTOOLS_SKIP_CHECK=1
grep -qw vfat /proc/filesystems && grep -qw exfat /proc/filesystems ||
	echo "# this kernel lacks vfat or exfat: mount and umount on PATH read and write FAT with mtools and mount exFAT and NTFS with FUSE"

# card BLOCKS [SECTOR] [SFDISK-SCRIPT]: a new card image, $dev, with that
# table and its partition nodes.
card() {
	sector=${2:-512} attach "$1" -P
	if [[ -n ${3-} ]]; then
		sfdisk -q "$dev" <<<"$3" >/dev/null 2>&1
		partx -a "$dev" 2>/dev/null
		local count
		count=$(grep -c 'start=' <<<"$3")
		for _ in {1..50}; do [[ -b ${dev}p$count ]] && break; sleep 0.1; done
	fi
}

# put PART TYPE: copy the files into the filesystem on PART, the sums into
# sums; files_whole PART TYPE: they read back the same.
mkdir files
head -c 3000000 /dev/urandom >files/photo.jpg
mkdir files/DCIM && head -c 1048576 /dev/urandom >files/DCIM/clip.mp4 && echo hello >files/DCIM/readme.txt
(cd files && find . -type f | sort | xargs sha256sum) >sums
put() {
	case $2 in
	vfat) mcopy -s -p -m -i "$1" files/* ::/ 2>/dev/null ;;
	*) mkdir -p m && mount "$1" m && cp -R files/. m/ && umount m ;;
	esac
}
files_whole() {
	rm -rf back && mkdir back
	case $2 in
	vfat) mcopy -s -n -i "$1" '::*' back/ 2>/dev/null ;;
	*) mkdir -p m && mount -o ro "$1" m && cp -R m/. back/ && umount m ;;
	esac
	(cd back && sha256sum --quiet -c ../sums)
}
fs_clean() {
	case $2 in
	vfat) fsck.vfat -n "$1" ;;
	exfat) fsck.exfat -n "$1" ;;
	ext4) e2fsck -f -n "$1" ;;
	ntfs) ntfsfix -n "$1" ;;
	esac >/dev/null 2>&1
}

# route NAME [VAR=VALUE...]: route-NAME.sh, the block that docs/cards.md
# prints under "# route: NAME", with those lines set and "sudo " left out.
route() {
	local name=$1 assignment
	awk -v first="# route: $name" '$0 == "```sh" { getline; on = $0 == first } on && $0 == "```" { exit } on' \
		"$cards" >"route-$name.sh"
	for assignment in "${@:2}"; do
		grep -q "^${assignment%%=*}=" "route-$name.sh" || echo "route $name sets no ${assignment%%=*}" >&2
		awk -v name="${assignment%%=*}" -v line="$assignment" 'index($0, name "=") == 1 { $0 = line } 1' \
			"route-$name.sh" >route.tmp && mv route.tmp "route-$name.sh"
	done
	sed -i 's/\bsudo //g' "route-$name.sh"
}

# attempt ROUTE [VAR=VALUE...]: run that route on $dev, its output in log
# and its exit status in $status.
attempt() {
	route "$1" "CARD=$dev" "${@:2}"
	bash "route-$1.sh" >log 2>&1
	status=$?
}

# ran NAME ROUTE [VAR=VALUE...]: run the route on $dev as case NAME; it must
# succeed and end with mfmplace warning of nothing; the dd lines it printed
# then put the images in place.  Says how long the route took.
ran() {
	local name=$1 started=$SECONDS
	attempt "${@:2}"
	echo "# $name: $2 took $((SECONDS - started)) s"
	local last
	last=$(awk '/^Number of blocks: /{ n = NR } END { print n }' log)
	[[ $status == 0 && -n $last ]] && ! tail -n "+$last" log | grep -q '^mfmplace: warning: '
	result "$name: $2 runs, and mfmplace then warns of nothing" $? "status $status" "$(tail -n 20 log)"
	# The dd lines, run as printed from a folder that holds the images.
	local lines
	lines=$(tail -n "+${last:-1}" log | sed -n 's/^sudo //p')
	(cd images && bash -e -c "$lines") >/dev/null 2>&1 && blockdev --flushbufs "$dev" &&
		cmp -s -n 8389120 images/Drive_A.mfm.img "$dev" --ignore-initial=0:$((($(blockdev --getsz "$dev") - 16385) * 512)) &&
		cmp -s -n 8388608 images/Drive_B.mfm.img "$dev" --ignore-initial=0:$((($(blockdev --getsz "$dev") - 32769) * 512))
	result "$name: the dd lines put both images at their places" $? "$lines"
	sfdisk -V "$dev" >/dev/null 2>&1
	result "$name: sfdisk -V finds the table sound" $?
}
# kept NAME PART TYPE: the filesystem on PART checks clean and holds the
# files as they were.
kept() {
	fs_clean "$2" "$3"
	result "$1: the $3 filesystem checks clean" $?
	files_whole "$2" "$3"
	result "$1: every file is as it was" $?
}
# snapshot: a copy of $dev's image, holes kept; unchanged: it still is that.
snapshot() { blockdev --flushbufs "$dev" && cp --sparse=always "$(losetup -n -O BACK-FILE "$dev")" before.img; }
unchanged() { blockdev --flushbufs "$dev" && cmp -s before.img "$(losetup -n -O BACK-FILE "$dev")"; }
mkdir images
head -c 8389120 /dev/urandom >images/Drive_A.mfm.img
head -c 8388608 /dev/urandom >images/Drive_B.mfm.img

# FAT32 cards as sold: one partition from block 8192 to the end.
for blocks in 2097152 15523840 31116288 33554432 62521344 67108864; do
	card "$blocks" 512 $'label: dos\nstart=8192, type=c'
	mkfs.vfat -F 32 -n MYCARD "${dev}p1" >/dev/null && put "${dev}p1" vfat
	id=$(sfdisk --disk-id "$dev")
	ran "FAT32 card of $blocks blocks" shrink-fat32 P=1
	kept "FAT32 card of $blocks blocks" "${dev}p1" vfat
	[[ $(sfdisk --disk-id "$dev") == "$id" && $(fatlabel "${dev}p1" 2>/dev/null) == MYCARD ]]
	result "FAT32 card of $blocks blocks: the disk identifier and the label kept" $?
done

# A Raspberry Pi card of 8 GB: a FAT32 boot partition, the ext4 root to the end.
card 15523840 512 $'label: dos\nstart=8192, size=1048576, type=c\nstart=1056768, type=83'
mkfs.vfat -F 32 -n bootfs "${dev}p1" >/dev/null 2>&1 && put "${dev}p1" vfat
mkfs.ext4 -q -L rootfs "${dev}p2" && put "${dev}p2" ext4
ran "Raspberry Pi card" shrink-ext4 P=2
kept "Raspberry Pi card, root" "${dev}p2" ext4
kept "Raspberry Pi card, boot" "${dev}p1" vfat

# ext4 on a card of 4096-byte sectors.
card 15523840 4096 $'label: dos\nstart=256, type=83'
mkfs.ext4 -q "${dev}p1" && put "${dev}p1" ext4
ran "ext4 card of 4096-byte sectors" shrink-ext4 P=1
kept "ext4 card of 4096-byte sectors" "${dev}p1" ext4

# An NTFS card of 8 GB.
card 15523840 512 $'label: dos\nstart=2048, type=7'
mkntfs -F -Q -q -L STICK "${dev}p1" >/dev/null 2>&1 && put "${dev}p1" ntfs
ran "NTFS card" shrink-ntfs P=1
kept "NTFS card" "${dev}p1" ntfs

# An exFAT card of 64 GB as sold: kept by copying the files off and back.
card 124735488 512 $'label: dos\nstart=32768, type=7'
mkfs.exfat -L MYCARD "${dev}p1" >/dev/null && put "${dev}p1" exfat
rm -rf keep keep.sha256
ran "exFAT card of 64 GB" copy-and-remake P=1 "KEEP=$work/keep"
kept "exFAT card of 64 GB" "${dev}p1" exfat
[[ $(blkid -p -o value -s LABEL "${dev}p1") == MYCARD && $(sfdisk --part-type "$dev" 1) == *7 ]]
result "exFAT card of 64 GB: exFAT again, type 7, with its label" $?

# FAT32 on the whole card, with no table.
card 15523840 512
mkfs.vfat -F 32 -n WHOLE "$dev" >/dev/null && put "$dev" vfat
rm -rf keep keep.sha256
ran "FAT32 on a whole card" copy-and-remake P=0 "KEEP=$work/keep"
kept "FAT32 on a whole card" "${dev}p1" vfat
[[ $(sfdisk --part-type "$dev" 1) == *c ]]
result "FAT32 on a whole card: a partition of type c" $?

# FAT32 on 4096-byte sectors: shrink-fat32 stops, and says what to use.
card 4194304 4096 $'label: dos\nstart=256, type=c'
mkfs.vfat -F 32 "${dev}p1" >/dev/null && put "${dev}p1" vfat
snapshot
attempt shrink-fat32 P=1
[[ $status != 0 ]] && grep -q 'copy-and-remake' log && unchanged
result "FAT32 on 4096-byte sectors: shrink-fat32 stops, names copy-and-remake, changes nothing" $? "status $status" "$(cat log)"
rm -rf keep keep.sha256
ran "FAT32 on 4096-byte sectors" copy-and-remake P=1 "KEEP=$work/keep"
kept "FAT32 on 4096-byte sectors" "${dev}p1" vfat

# A KEEP without the room: the card is not touched.
mkdir small && mount -t tmpfs -o size=1m tmpfs small && mounts+=("$work/small")
snapshot
attempt copy-and-remake P=1 "KEEP=$work/small/keep"
[[ $status != 0 && ! -e small/keep ]] && unchanged
result "copy-and-remake with no room for KEEP: stops, the card untouched" $? "status $status" "$(cat log)"

# A fatresize that exits 0 having shrunk nothing but the partition, by one
# sector, as one did on cards of 16 and 32 GiB: the table is put back, and
# the block names copy-and-remake.
card 2097152 512 $'label: dos\nstart=8192, type=c'
mkfs.vfat -F 32 "${dev}p1" >/dev/null && put "${dev}p1" vfat
snapshot
mkdir fake && printf '#!/bin/sh\necho ",%s" | sfdisk -q -N 1 "%s"\n' $((2097152 - 8192 - 1)) "$dev" >fake/fatresize
chmod 755 fake/fatresize
PATH=$work/fake:$PATH attempt shrink-fat32 P=1
partx -u "$dev"
[[ $status != 0 ]] && grep -q 'copy-and-remake' log && unchanged
result "a fatresize that shrinks nothing: the table put back, copy-and-remake named" $? "status $status" "$(cat log)"

# A GPT card with one FAT32 partition: to a dos table, then shrunk.
card 31116288 512 $'label: gpt\nstart=2048, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7'
mkfs.vfat -F 32 -n GPTCARD "${dev}p1" >/dev/null && put "${dev}p1" vfat
started=$SECONDS
attempt gpt-to-dos
echo "# GPT card: gpt-to-dos took $((SECONDS - started)) s"
[[ $status == 0 && $(sfdisk --part-type "$dev" 1) == *c ]] && grep -q '^label: dos' <(sfdisk -d "$dev") &&
	grep -q 'reaches into the last 32769 blocks' log && ! grep -q 'GPT partition table' log
result "GPT card: gpt-to-dos leaves a dos partition of type c, only its line left" $? "status $status" "$(tail -n 20 log)"
ran "GPT card" shrink-fat32 P=1
kept "GPT card" "${dev}p1" vfat

# GPT cards whose primary header, or entry array, is damaged (a byte of the
# header's own LBA, or of entry 1's name): the backup is read.
for damage in "header 536" "entries 1080"; do
	read -r what at <<<"$damage"
	card 4194304 512 $'label: gpt\nstart=2048, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7'
	mkfs.vfat -F 32 "${dev}p1" >/dev/null && put "${dev}p1" vfat
	partx -d "$dev"
	printf X | dd of="$dev" bs=1 seek="$at" conv=notrunc status=none
	attempt gpt-to-dos
	[[ $status == 0 && $(sfdisk --part-type "$dev" 1) == *c ]] && grep -q 'reaches into the last 32769 blocks' log
	result "GPT card, its $what damaged: gpt-to-dos leaves a dos partition of type c" $? "status $status" "$(tail -n 20 log)"
	ran "GPT card, its $what damaged" shrink-fat32 P=1
	kept "GPT card, its $what damaged" "${dev}p1" vfat
done

# An empty card of 32 GB, started over.
card 62521344 512
ran "empty card" start-over
fs_clean "${dev}p1" vfat
result "empty card: a FAT32 filesystem that checks clean" $?

finish
