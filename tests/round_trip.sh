#!/usr/bin/env bash
# Run the printed dd lines against a loop device and read the device back:
# each image must start where the tool said, and nothing below them may change.
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
need_loop

attach 40000
scramble
head -c $((16385 * 512)) /dev/urandom >Drive_A.mfm.img
head -c $((16384 * 512)) /dev/urandom >Drive_B.mfm.img

check "report" 0 "Number of blocks: 40000
sudo dd seek=23615 if=Drive_A.mfm.img of=$dev
sudo dd seek=7231 if=Drive_B.mfm.img of=$dev" "$dev"
sed -n 's/^sudo //p' out >commands.sh
expect "printed dd lines run" sh -e commands.sh
expect "device cache flushed" blockdev --flushbufs "$dev"

expect "blocks below Drive B unchanged" cmp -n $((7231 * 512)) before.img "$dev"
expect "Drive B at block 7231" cmp -i 0:$((7231 * 512)) -n $((16384 * 512)) Drive_B.mfm.img "$dev"
expect "Drive A at block 23615, up to the end" cmp -i 0:$((23615 * 512)) Drive_A.mfm.img "$dev"

finish
