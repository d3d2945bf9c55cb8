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

# writes_image NAME SHELL: SHELL, run in the folder run/, runs the Drive A
# line of the last report, which must write a fresh one-block image at its
# place on the device and create nothing else.
mkdir names run
writes_image() {
	local line
	line=$(sed -n '2s/^sudo //p' out)
	head -c 512 /dev/urandom >run/Drive_A.mfm.img
	(cd run && "$2" -c "$line") >/dev/null 2>&1 && blockdev --flushbufs "$dev" &&
		cmp -i 0:$((23615 * 512)) -n 512 run/Drive_A.mfm.img "$dev" && [[ $(ls run) == Drive_A.mfm.img ]]
	result "$1" $? "$line" "$(ls run)"
}

# Names that would change the command if printed as they stand, each a link
# to the device (printf %b escapes), and the shell that runs the line.
while IFS=$'\t' read -r name shell; do
	name=$(printf '%b' "$name") && ln -s "$dev" "names/$name"
	from=run run "$work/names/$name" >out 2>&1
	writes_image "$shell runs the line for a name with ${name@Q}" "$shell"
done <<'EOF'
my disk	sh
x of=victim	sh
it's	sh
$(touch PWNED)	sh
back\\slash;|&<>*?[]{}~#!"`	sh
ünï	bash
nl\nsudo touch PWNED	bash
\rcr	bash
tab\t\033[2J\177	bash
\302lone	bash
csi\302\233[2J	bash
\342\200\256rtl	bash
caf\303\251	bash
EOF

# Names of random bytes (all but NUL and "/"), the same ones on every run:
# each line is plain printable ASCII, and bash runs it to the device.
RANDOM=2026
fuzzed=0
for _ in {1..200}; do
	name=
	for ((i = RANDOM % 12; i >= 0; --i)); do
		byte=$((RANDOM % 255 + 1))
		((byte != 47)) || byte=46
		printf -v char "\\$(printf %03o "$byte")"
		name+=$char
	done
	[[ $name != . && $name != .. ]] || name=x$name
	ln -sfn "$dev" "names/$name"
	from=run run "$work/names/$name" >out 2>&1
	line=$(sed -n '2s/^sudo //p' out)
	head -c 512 /dev/urandom >run/Drive_A.mfm.img
	if ! LC_ALL=C grep -q '[^ -~]' <<<"$line" && (cd run && bash -c "$line") >/dev/null 2>&1 &&
		blockdev --flushbufs "$dev" && cmp -s -i 0:$((23615 * 512)) -n 512 run/Drive_A.mfm.img "$dev" &&
		[[ $(ls run) == Drive_A.mfm.img ]]; then
		((++fuzzed))
	else
		result "fuzzed name ${name@Q}" 1 "$line" "$(ls run)"
	fi
done
result "200 fuzzed names: ASCII lines that bash runs to the device" $((fuzzed != 200))

# A relative operand is named from the folder the tool ran in, so the line
# writes the device wherever it is run.
mkdir sub && ln -s "$dev" link
from=sub check "relative operand" 0 "Number of blocks: 40000
sudo dd seek=23615 if=Drive_A.mfm.img of=$work/sub/../link
sudo dd seek=7231 if=Drive_B.mfm.img of=$work/sub/../link" ../link
writes_image "the line for a relative operand, run elsewhere" sh

finish
