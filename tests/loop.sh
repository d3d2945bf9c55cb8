#!/usr/bin/env bash
# Real loop devices: the counts the kernel reports and the lines built on them.
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
need_loop

report() { printf 'Number of blocks: 32769\nsudo dd seek=16384 if=Drive_A.mfm.img of=%s\nsudo dd seek=0 if=Drive_B.mfm.img of=%s' "$1" "$1"; }
too_small() { printf 'Number of blocks: %s\ncannot calc position of %s: device too small, needs at least 32769 blocks' "$@"; }

attach 32769
scramble
check "smallest usable device" 0 "$(report "$dev")" "$dev"
expect "device contents unchanged" cmp before.img "$dev"
odd='%s%n $(x);|'
ln -s "$dev" "$odd"
check "path printed verbatim" 0 "$(report "$odd")" "$odd"

# A name as long as those under /dev/disk/by-id, printed whole.
long=usb-$(printf 'Generic_Flash_Disk_%.0s' {1..12})0:0
ln -s "$dev" "$long"
check "long path printed whole" 0 "$(report "$long")" "$long"

# Output that cannot be written in full: to a full device, and to a file on a
# one-page filesystem that takes the first 4096 bytes of a 4 KiB-plus report.
unwritten "report to a full device" 1 "mfmplace: write error: No space left on device" /dev/full "$dev"
deep=deep$(printf "/$long%.0s" {1..9})/disk
mkdir -p "${deep%/*}" && ln -s "$dev" "$deep" && report "$deep" >whole
mkdir small && mount -t tmpfs -o size=4k tmpfs small && mounts+=("$work/small")
unwritten "report cut short on a full filesystem" 1 "mfmplace: write error: No space left on device" small/lines "$deep"
expect "what was written is the report's first page, ending mid-line" cmp -n 4097 small/lines <(head -c 4096 whole)

attach 4295000065
check "more than 2^32 blocks" 0 "Number of blocks: 4295000065
sudo dd seek=4294983680 if=Drive_A.mfm.img of=$dev
sudo dd seek=4294967296 if=Drive_B.mfm.img of=$dev" "$dev"

attach 40000 --sector-size 4096
expect "4096-byte logical sectors" test "$(blockdev --getss --getsz "$dev")" = $'4096\n40000'
check "4096-byte sectors, count in 512-byte blocks" 0 "Number of blocks: 40000
sudo dd seek=23615 if=Drive_A.mfm.img of=$dev
sudo dd seek=7231 if=Drive_B.mfm.img of=$dev" "$dev"

for blocks in 1 16384 16385 32768; do
	attach $blocks
	check "$blocks blocks, too small" 0 "$(too_small $blocks "$dev")" "$dev"
done
attach 0
check "empty device" 0 "cannot calc position of $dev" "$dev"

finish
