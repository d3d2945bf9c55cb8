// mfmplace: print a raw disk's size in 512-byte blocks and the two dd
// command lines that write the MFM drive images at their places near its end.
//
// The stages, in the order they run and in the order of this file:
//   query_block_count   opens the device read-only, asks its size and, where
//                       the images fit, its sector size and its first 68 KiB
//   write_report        prints the block count and the two dd lines
//   the disk's head     read_disk_head: a protective MBR and its GPT, a dos
//                       table, or what lies on the whole device
//   what the system     collect_disk_facts, in the platform block: sysfs on
//   says                Linux, /proc/partitions and each partition's own
//                       device under Cygwin
//   warnings            write_warnings: what the lines would destroy or fail on
//   main                the run sequence
// Before them: the constants, the lines and their quoting, and what the
// stages hand on (query_result, disk_facts).

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Sizes and positions on disks and in files are 64-bit everywhere, also
// where the C library's default off_t is 32 bits wide (i386, armhf).
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace {

constexpr int USAGE_EXIT_STATUS = -1;
constexpr int WRITE_ERROR_EXIT_STATUS = 1;

// Distances, in 512-byte blocks, from each image's first block to the end of
// the device.  Drive A runs up to and including the last block; Drive B lies
// directly below it.
constexpr std::uint64_t DRIVE_A_TAIL_BLOCKS = 16385;
constexpr std::uint64_t DRIVE_B_TAIL_BLOCKS = 32769;

// The images and the bytes of their places: Drive B's ends where Drive A's
// begins, and Drive A's at the end of the device.
constexpr char DRIVE_A_IMAGE[] = "Drive_A.mfm.img";
constexpr char DRIVE_B_IMAGE[] = "Drive_B.mfm.img";
constexpr std::uint64_t DRIVE_A_PLACE_BYTES = DRIVE_A_TAIL_BLOCKS * 512;
constexpr std::uint64_t DRIVE_B_PLACE_BYTES = (DRIVE_B_TAIL_BLOCKS - DRIVE_A_TAIL_BLOCKS) * 512;

// The head of the disk that the tool reads: the MBR, a GPT header and its
// entry array (up to 536 entries on 512-byte sectors, 480 on 4096-byte
// ones), and the marks of what may lie on the whole device, the furthest of
// them btrfs's superblock, 4096 bytes at 64 KiB.
constexpr std::size_t DISK_HEAD_BYTES = 69632;
constexpr char DISK_HEAD_NAME[] = "its first 69632 bytes";
// query_block_count's head_status: 0 when the head was read whole, else the
// read's errno or one of these.
constexpr int HEAD_NOT_READ = -1;
constexpr int HEAD_SHORT_READ = -2;

// Every warning line on standard error begins so.
constexpr char WARNING[] = "mfmplace: warning: ";

// A device's name as the kernel gives it (sdb1, loop0p1, nvme0n1p2), and
// the most partitions the tool keeps of one disk: more than Linux lists
// (256) and the disk's head can hold (536 GPT entries) together, and than
// Cygwin lists (64).
constexpr std::size_t NAME_BYTES = 64;
constexpr std::size_t MAX_PARTITIONS = 1024;
// Windows' mount points of a disk's volumes, as Cygwin lists them.
constexpr std::size_t MOUNTS_BYTES = 1024;

// A line of output, built whole and then written in one call.  A path that
// opens is shorter than PATH_MAX bytes, and quoting writes at most 7 bytes
// for each of its bytes; escaping writes 4 for each byte of the mount points.
constexpr std::size_t LINE_BYTES = 8 * std::size_t{PATH_MAX} + 4 * MOUNTS_BYTES;

struct line {
	std::size_t length = 0;
	char text[LINE_BYTES];
};

void add_bytes(line &out, const char *bytes, std::size_t count)
{
	const std::size_t room = sizeof out.text - out.length;
	const std::size_t taken = count < room ? count : room;
	std::memcpy(out.text + out.length, bytes, taken);
	out.length += taken;
}

void add(line &out, const char *text)
{
	add_bytes(out, text, std::strlen(text));
}

void add_number(line &out, std::uint64_t value)
{
	char digits[20];
	std::size_t first = sizeof digits;
	do {
		digits[--first] = static_cast<char>('0' + value % 10);
		value /= 10;
	} while (value != 0);
	add_bytes(out, digits + first, sizeof digits - first);
}

// Whether byte C must be escaped wherever the tool prints a name: a
// control character, or any byte from 0x80 up.  Only printable ASCII is
// shown as itself by every terminal, locale and line editor; in the C
// locale zsh's and ksh93's line editors change or drop other bytes.
bool is_escaped(unsigned char c)
{
	return c < 0x20 || c >= 0x7f;
}

// Byte C as a backslash and three octal digits, as $'...' and C read them.
void add_octal(line &out, unsigned char c)
{
	const char text[] = {'\\', static_cast<char>('0' + (c >> 6)),
			     static_cast<char>('0' + ((c >> 3) & 7)),
			     static_cast<char>('0' + (c & 7))};
	add_bytes(out, text, sizeof text);
}

// TEXT as it stands, but every byte that is_escaped in octal.
void add_visible(line &out, const char *text)
{
	for (const auto *p = reinterpret_cast<const unsigned char *>(text); *p != '\0'; ++p) {
		if (is_escaped(*p)) {
			add_octal(out, *p);
		} else {
			add_bytes(out, reinterpret_cast<const char *>(p), 1);
		}
	}
}

// Bytes that a POSIX shell takes literally anywhere in a word.
bool is_plain_byte(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
	       (c != '\0' && std::strchr("_@%+=:,./-", c) != nullptr);
}

bool is_plain_word(const char *word)
{
	const char *p = word;
	while (is_plain_byte(*p)) {
		++p;
	}
	return *p == '\0' && p != word;
}

enum class quoting { none, single, dollar };

// A byte that is_escaped, as $'...' spells it: tab, newline and carriage
// return by name, every other one in octal.
void add_escaped(line &out, unsigned char c)
{
	if (c == '\t' || c == '\n' || c == '\r') {
		add(out, c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r");
		return;
	}
	add_octal(out, c);
}

// WORD as one shell word: as it stands when every byte is plain, else in
// runs, the bytes that is_escaped in $'...' (bash, zsh, ksh93; tab,
// newline and carriage return by name, others in octal) and all others in
// '...', so that no name can end a line, start a new command, or change
// what a terminal or line editor shows.  The line is plain ASCII.
void add_shell_word(line &out, const char *word)
{
	if (is_plain_word(word)) {
		add(out, word);
		return;
	}
	quoting open = quoting::none;
	for (const auto *p = reinterpret_cast<const unsigned char *>(word); *p != '\0'; ++p) {
		const bool escape = is_escaped(*p);
		const quoting run = escape ? quoting::dollar : quoting::single;
		if (run != open) {
			add(out, open == quoting::none ? "" : "'");
			add(out, run == quoting::dollar ? "$'" : "'");
			open = run;
		}
		if (escape) {
			add_escaped(out, *p);
		} else if (*p == '\'') {
			add(out, "'\\''");
		} else {
			add_bytes(out, reinterpret_cast<const char *>(p), 1);
		}
	}
	add(out, open == quoting::none ? "''" : "'");
}

// "/dev/NAME", as one shell word.
void add_device_node(line &out, const char *name)
{
	char path[NAME_BYTES + 8];
	(void)std::snprintf(path, sizeof path, "/dev/%s", name);
	add_shell_word(out, path);
}

void put_line(const line &out)
{
	(void)std::fwrite(out.text, 1, out.length, stdout);
}

// Write the line to standard error in one call, so that the lines of runs
// that share it never mix.
void write_to_stderr(const line &out)
{
	std::size_t done = 0;
	while (done < out.length) {
		const ssize_t written = write(STDERR_FILENO, out.text + done, out.length - done);
		if (written <= 0) {
			return;
		}
		done += static_cast<std::size_t>(written);
	}
}

enum class query_outcome { opened, open_failed };

// What query_block_count found out.  The head is filled only where
// head_status is 0.
struct query_result {
	query_outcome outcome = query_outcome::opened;
	int open_errno = 0;            // the failed open's errno, for open_failed
	std::uint64_t block_count = 0; // 512-byte blocks, 0 if unknown, for opened
	bool block_device = false;     // the path names a block device
	dev_t device_number = 0;       // and this is its number
	bool in_use = false;           // its exclusive open was refused as busy
	unsigned sector_shift = 9;     // its logical sector size is 2^this bytes
	int head_status = HEAD_NOT_READ;
	unsigned char head[DISK_HEAD_BYTES];
};

// A partition, as the system lists it, as the disk's own table lists it, or
// both: the two are one partition when they start at the same block.
struct partition_span {
	std::uint64_t start;        // first block
	std::uint64_t last;         // last block
	std::uint64_t table_number; // its number in the disk's table, else 0
	char name[NAME_BYTES];      // the system's name for it, else empty
};

// A GPT: none, one with a valid header and entries, one whose entry array
// fails its CRC, or one whose header is missing or damaged.
enum class gpt_state { none, valid, entries_damaged, header_damaged };

// What the disk's head and the system tell of the disk that the lines would
// write, and of the images they would write there; write_warnings turns it
// into warnings.
struct disk_facts {
	bool in_use = false;
	char mounts[MOUNTS_BYTES] = {};     // Windows' mount points on it, if any
	std::uint64_t partition_number = 0; // of the partition named, else 0
	char disk[NAME_BYTES];              // the disk that holds it
	gpt_state gpt = gpt_state::none;
	std::uint64_t gpt_backup_last = 0;   // the last block of its backup header
	const char *whole_device = nullptr;  // what lies on it: "a FAT filesystem"
	std::uint64_t whole_device_last = 0; // and its last block
	std::size_t partition_count = 0;     // the disk's partitions, by first block
	partition_span partitions[MAX_PARTITIONS];
	bool read_only = false;
	std::uint64_t drive_a_image_bytes = 0; // an image longer than its place
	std::uint64_t drive_b_image_bytes = 0;
	char unchecked[512] = {}; // the first thing that could not be checked
};

// The last of COUNT blocks from FIRST, COUNT not 0; UINT64_MAX where that
// does not fit.
std::uint64_t last_of_span(std::uint64_t first, std::uint64_t count)
{
	return first > UINT64_MAX - (count - 1) ? UINT64_MAX : first + (count - 1);
}

// Note, unless something else could not be checked before, that WHAT (a
// path, and NAME below it unless that is empty) could not be checked, and
// why.  Cut short if it does not fit.
void note_unchecked(disk_facts &facts, const char *what, const char *name, const char *why)
{
	if (facts.unchecked[0] != '\0') {
		return;
	}
	const char *pieces[] = {what, name[0] == '\0' ? "" : "/", name, ": ", why};
	std::size_t length = 0;
	for (const char *piece : pieces) {
		const std::size_t room = sizeof facts.unchecked - 1 - length;
		const std::size_t taken = strnlen(piece, room);
		std::memcpy(facts.unchecked + length, piece, taken);
		length += taken;
	}
	facts.unchecked[length] = '\0';
}

// Add a partition of the disk, the system's NAME for it or an empty name,
// and its number in the disk's table or 0, keeping them in the order of
// their first blocks, whatever order they are listed in.  One that starts
// where another does is the same partition: it takes the larger extent, as
// for a dos extended partition, which Linux lists as 2 blocks long.
void add_partition(disk_facts &facts, const char *name, std::uint64_t table_number,
		   std::uint64_t start, std::uint64_t last)
{
	const std::size_t length = std::strlen(name);
	if (length >= NAME_BYTES) {
		return;
	}
	std::size_t i = 0;
	while (i < facts.partition_count && facts.partitions[i].start < start) {
		++i;
	}
	if (i < facts.partition_count && facts.partitions[i].start == start) {
		partition_span &same = facts.partitions[i];
		same.last = std::max(same.last, last);
		same.table_number = table_number != 0 ? table_number : same.table_number;
		if (length != 0) {
			std::memcpy(same.name, name, length + 1);
		}
		return;
	}
	if (facts.partition_count == MAX_PARTITIONS) {
		return;
	}
	std::memmove(facts.partitions + i + 1, facts.partitions + i,
		     (facts.partition_count - i) * sizeof *facts.partitions);
	++facts.partition_count;
	facts.partitions[i] = {start, last, table_number, {}};
	std::memcpy(facts.partitions[i].name, name, length + 1);
}

// The platform block, with what the system says below, defines the size
// request and the system's view of the disk for the stages before it; the
// sector-size request, the same on both platforms, follows it.
std::uint64_t ask_block_count(int fd);
int ask_sector_size(int fd);
void collect_disk_facts(const query_result &result, disk_facts &facts);

// ---- query_block_count: the device's size and head ----

// The shift of BYTES if it is a power of two from 512 to 2^HIGHEST, else 0.
unsigned shift_of(std::uint64_t bytes, unsigned highest)
{
	for (unsigned shift = 9; shift <= highest; ++shift) {
		if (bytes == std::uint64_t{1} << shift) {
			return shift;
		}
	}
	return 0;
}

// Read the first DISK_HEAD_BYTES of FD into HEAD, in as many reads as it
// takes.  Returns 0, the errno of a failed read, or HEAD_SHORT_READ when the
// file ends first.
int read_head(int fd, unsigned char (&head)[DISK_HEAD_BYTES])
{
	std::size_t got = 0;
	while (got < sizeof head) {
		const ssize_t count = read(fd, head + got, sizeof head - got);
		if (count <= 0) {
			return count == 0 ? HEAD_SHORT_READ : errno;
		}
		got += static_cast<std::size_t>(count);
	}
	return 0;
}

// Ask the device for its size in 512-byte sectors, whatever the device's own
// sector size, and on a device large enough for the images for its logical
// sector size and its first DISK_HEAD_BYTES, from the start: nothing else
// of its contents is read, and nothing is written.  The device is opened
// read-only and closed again.  A FIFO is not opened, since opening one
// read-only waits for a writer, nor a character device, since opening one
// can start a watchdog, rewind a tape or reset a board on a serial line:
// neither has a size.  A block device is opened exclusively first, which
// Linux refuses while the disk is in use (Cygwin ignores O_EXCL without
// O_CREAT); it is then opened as any other file.
query_result query_block_count(const char *device)
{
	query_result result;
	// No longer path opens, as the kernel says; the lines are sized for it.
	if (strnlen(device, PATH_MAX) == PATH_MAX) {
		result.outcome = query_outcome::open_failed;
		result.open_errno = ENAMETOOLONG;
		return result;
	}
	struct stat st = {};
	const bool known = stat(device, &st) == 0;
	if (known && (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) {
		return result;
	}
	const bool block_device = known && S_ISBLK(st.st_mode);

	int fd = open(device, block_device ? O_RDONLY | O_EXCL : O_RDONLY);
	const int open_errno = errno;
	result.in_use = fd == -1 && block_device && open_errno == EBUSY;
	if (result.in_use) {
		fd = open(device, O_RDONLY);
	}
	if (fd == -1) {
		result.outcome = query_outcome::open_failed;
		result.open_errno = open_errno;
		return result;
	}
	result.block_device = block_device;
	result.device_number = st.st_rdev;
	result.block_count = ask_block_count(fd);
	// Cygwin's pread fails on devices: the head is read from where the
	// descriptor stands, the start.
	if (result.block_count >= DRIVE_B_TAIL_BLOCKS) {
		// The logical sector sizes that the tool knows: 512 to 4096 bytes.
		const int bytes = ask_sector_size(fd);
		const unsigned shift =
			bytes > 0 ? shift_of(static_cast<std::uint64_t>(bytes), 12) : 0;
		result.sector_shift = shift != 0 ? shift : 9;
		result.head_status = read_head(fd, result.head);
	}
	(void)close(fd);
	return result;
}

// ---- write_report: the block count and the dd lines ----

// "cannot calc position of PATH" and the rest of the line.
void put_cannot_calc(const char *device, const char *reason)
{
	line out;
	add(out, "cannot calc position of ");
	add_shell_word(out, device);
	add(out, reason);
	add(out, "\n");
	put_line(out);
}

// "sudo dd seek=SEEK if=IMAGE of=PATH".
void put_dd_line(std::uint64_t seek, const char *image, const char *path)
{
	line out;
	add(out, "sudo dd seek=");
	add_number(out, seek);
	add(out, " if=");
	add(out, image);
	add(out, " of=");
	add_shell_word(out, path);
	add(out, "\n");
	put_line(out);
}

// The device as the lines name it.  They are run in the folder that holds
// the images, which need not be this one, so a relative path is named from
// this folder, in BUFFER; nullptr if that cannot be named in PATH_MAX bytes.
const char *absolute_path(const char *device, char (&buffer)[PATH_MAX])
{
	if (device[0] == '/') {
		return device;
	}
	if (getcwd(buffer, sizeof buffer) == nullptr) {
		return nullptr;
	}
	std::size_t length = std::strlen(buffer);
	// No "//" after the root folder: Cygwin reads that as a network path.
	if (length > 1) {
		buffer[length++] = '/';
	}
	const std::size_t rest = std::strlen(device);
	if (rest >= sizeof buffer - length) {
		return nullptr;
	}
	std::memcpy(buffer + length, device, rest + 1);
	return buffer;
}

// Print the block count and the dd lines, or why no position can be given.
// Returns whether the dd lines were printed.
bool write_report(const char *device, std::uint64_t block_count)
{
	if (block_count == 0) {
		put_cannot_calc(device, "");
		return false;
	}
	std::printf("Number of blocks: %llu\n", static_cast<unsigned long long>(block_count));
	if (block_count < DRIVE_B_TAIL_BLOCKS) {
		put_cannot_calc(device, ": device too small, needs at least 32769 blocks");
		return false;
	}
	char buffer[PATH_MAX];
	const char *path = absolute_path(device, buffer);
	if (path == nullptr) {
		put_cannot_calc(device, ": give the device as an absolute path");
		return false;
	}
	put_dd_line(block_count - DRIVE_A_TAIL_BLOCKS, DRIVE_A_IMAGE, path);
	put_dd_line(block_count - DRIVE_B_TAIL_BLOCKS, DRIVE_B_IMAGE, path);
	return true;
}

// Flush standard output and check that everything printed reached it; if
// not, say so on standard error.  Once a write fails, stdio keeps the stream's
// error flag set, and errno still holds a failed write's error: only writes
// come after the report, and those that succeed leave errno alone.  A reader
// that went away (EPIPE) is not reported.
bool output_written()
{
	if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
		return true;
	}
	const int write_errno = errno;
	if (write_errno == EPIPE) {
		return true;
	}
	line out;
	add(out, "mfmplace: write error: ");
	add(out, std::strerror(write_errno));
	add(out, "\n");
	write_to_stderr(out);
	return false;
}

// ---- The disk's head: its own table, or what lies on the whole device ----
//
// Every number is read from fixed offsets in the head, each named where it
// is read; every block number is worked out so that it cannot wrap, and
// with shifts only: sector, block and page sizes are powers of two.  (A
// 64-bit division by a variable would link the 32-bit builds to libgcc_s.)

// The little-endian and the big-endian number of BYTES bytes at P.
std::uint64_t little_endian(const unsigned char *p, std::size_t bytes)
{
	std::uint64_t value = 0;
	for (std::size_t i = bytes; i > 0; --i) {
		value = value << 8 | p[i - 1];
	}
	return value;
}

std::uint64_t big_endian(const unsigned char *p, std::size_t bytes)
{
	std::uint64_t value = 0;
	for (std::size_t i = 0; i < bytes; ++i) {
		value = value << 8 | p[i];
	}
	return value;
}

// The first and the last 512-byte block of unit INDEX, units being 2^SHIFT
// bytes (SHIFT 9 or more); UINT64_MAX where that block's number does not fit.
std::uint64_t first_block_of(std::uint64_t index, unsigned shift)
{
	const unsigned per_unit = shift - 9;
	return index > UINT64_MAX >> per_unit ? UINT64_MAX : index << per_unit;
}

std::uint64_t last_block_of(std::uint64_t index, unsigned shift)
{
	const unsigned per_unit = shift - 9;
	return index > UINT64_MAX >> per_unit
		       ? UINT64_MAX
		       : index << per_unit | ((std::uint64_t{1} << per_unit) - 1);
}

// The IEEE CRC-32 that GPT headers and entry arrays carry, as zlib's crc32
// computes it.
struct crc_table {
	std::uint32_t entry[256];
};

constexpr crc_table make_crc_table()
{
	crc_table table = {};
	for (std::uint32_t i = 0; i < 256; ++i) {
		std::uint32_t c = i;
		for (int bit = 0; bit < 8; ++bit) {
			c = (c & 1U) != 0 ? 0xedb88320U ^ (c >> 1) : c >> 1;
		}
		table.entry[i] = c;
	}
	return table;
}

constexpr crc_table CRC_TABLE = make_crc_table();

// The CRC-32 of COUNT bytes at P, the 4 bytes from offset ZEROED taken as 0
// (COUNT for none).
std::uint32_t crc32_of(const unsigned char *p, std::size_t count, std::size_t zeroed)
{
	std::uint32_t crc = 0xffffffffU;
	for (std::size_t i = 0; i < count; ++i) {
		const unsigned char c = i >= zeroed && i < zeroed + 4 ? 0 : p[i];
		crc = CRC_TABLE.entry[(crc ^ c) & 0xffU] ^ (crc >> 8);
	}
	return crc ^ 0xffffffffU;
}

// What lies on the whole device, as one format's marks in the head show it:
// whether it is there, and the last block it spans.
struct whole_device_extent {
	bool found;
	std::uint64_t last;
};

constexpr whole_device_extent NOT_FOUND = {false, 0};

// COUNT units of 2^SHIFT bytes from block 0; nothing for no units, or where
// SHIFT is 0, a size that is no power of two.
whole_device_extent spanning_units(std::uint64_t count, unsigned shift)
{
	if (count == 0 || shift == 0) {
		return NOT_FOUND;
	}
	return {true, last_block_of(count - 1, shift)};
}

whole_device_extent spanning_bytes(std::uint64_t bytes)
{
	return bytes == 0 ? NOT_FOUND : whole_device_extent{true, (bytes - 1) >> 9};
}

// A format that does not say its size in the head: it fills the device.
whole_device_extent spanning_device(std::uint64_t device_blocks)
{
	return {true, device_blocks - 1};
}

bool has_magic(const unsigned char *head, std::size_t offset, const char *magic, std::size_t length)
{
	return std::memcmp(head + offset, magic, length) == 0;
}

// Each format's reader: the marks that tell it, at the offsets its own
// documentation or headers give, and its extent.  The checks are those that
// tell its boot sector or superblock from another format's, or from an
// MBR's boot code.

// BitLocker (libbde's format documentation): the volume header of Windows
// Vista and 7, "-FVE-FS-" after a jump, or of BitLocker To Go, a FAT boot
// sector's "MSWIN4.1" with BitLocker's GUID at 424.  Its size is not in it.
whole_device_extent bitlocker_extent(const unsigned char *head, std::uint64_t device_blocks)
{
	constexpr std::size_t JUMP = 0;
	constexpr std::size_t OEM_NAME = 3;
	constexpr std::size_t TO_GO_GUID = 424;
	constexpr char GUID[] = "\x3b\xd6\x67\x49\x29\x2e\xd8\x4a\x83\x99\xf6\xa3\x39\xe3\xd0\x01";
	if (head[JUMP] != 0xeb || head[JUMP + 2] != 0x90) {
		return NOT_FOUND;
	}
	if (has_magic(head, OEM_NAME, "-FVE-FS-", 8) ||
	    (has_magic(head, OEM_NAME, "MSWIN4.1", 8) && has_magic(head, TO_GO_GUID, GUID, 16))) {
		return spanning_device(device_blocks);
	}
	return NOT_FOUND;
}

// FAT (Microsoft's description of FAT32, its BPB): a jump, sectors of 512
// to 4096 bytes, a power of two of sectors per cluster, reserved sectors,
// one or two FATs, and the volume's sectors in 16 bits or, where that is 0,
// in 32.
whole_device_extent fat_extent(const unsigned char *head, std::uint64_t /*device_blocks*/)
{
	constexpr std::size_t JUMP = 0;
	constexpr std::size_t BYTES_PER_SECTOR = 11;
	constexpr std::size_t SECTORS_PER_CLUSTER = 13;
	constexpr std::size_t RESERVED_SECTORS = 14;
	constexpr std::size_t FAT_COUNT = 16;
	constexpr std::size_t SECTORS_16 = 19;
	constexpr std::size_t SECTORS_32 = 32;
	const unsigned shift = shift_of(little_endian(head + BYTES_PER_SECTOR, 2), 12);
	const unsigned cluster = head[SECTORS_PER_CLUSTER];
	if ((head[JUMP] != 0xeb && head[JUMP] != 0xe9) || cluster == 0 ||
	    (cluster & (cluster - 1)) != 0 || little_endian(head + RESERVED_SECTORS, 2) == 0 ||
	    (head[FAT_COUNT] != 1 && head[FAT_COUNT] != 2)) {
		return NOT_FOUND;
	}
	const std::uint64_t small_count = little_endian(head + SECTORS_16, 2);
	return spanning_units(small_count != 0 ? small_count : little_endian(head + SECTORS_32, 4),
			      shift);
}

// exFAT (Microsoft's exFAT file system reference): its name, the volume's length
// in sectors and the sector size's shift, 9 to 12.
whole_device_extent exfat_extent(const unsigned char *head, std::uint64_t /*device_blocks*/)
{
	constexpr std::size_t FILE_SYSTEM_NAME = 3;
	constexpr std::size_t VOLUME_LENGTH = 72;
	constexpr std::size_t BYTES_PER_SECTOR_SHIFT = 108;
	const unsigned shift = head[BYTES_PER_SECTOR_SHIFT];
	if (!has_magic(head, FILE_SYSTEM_NAME, "EXFAT   ", 8) || shift < 9 || shift > 12) {
		return NOT_FOUND;
	}
	return spanning_units(little_endian(head + VOLUME_LENGTH, 8), shift);
}

// NTFS (ntfs-3g's layout.h): its name, bytes per sector, and the volume's
// sectors, after which lies one more, the backup boot sector.
whole_device_extent ntfs_extent(const unsigned char *head, std::uint64_t /*device_blocks*/)
{
	constexpr std::size_t OEM_ID = 3;
	constexpr std::size_t BYTES_PER_SECTOR = 11;
	constexpr std::size_t NUMBER_OF_SECTORS = 40;
	const unsigned shift = shift_of(little_endian(head + BYTES_PER_SECTOR, 2), 12);
	if (!has_magic(head, OEM_ID, "NTFS    ", 8) || shift == 0) {
		return NOT_FOUND;
	}
	return {true, last_block_of(little_endian(head + NUMBER_OF_SECTORS, 8), shift)};
}

// APFS (Apple's APFS reference, nx_superblock_t): a container superblock,
// object type 1, "NXSB", and its blocks of up to 64 KiB.
whole_device_extent apfs_extent(const unsigned char *head, std::uint64_t /*device_blocks*/)
{
	constexpr std::size_t OBJECT_TYPE = 24;
	constexpr std::size_t MAGIC = 32;
	constexpr std::size_t BLOCK_SIZE = 36;
	constexpr std::size_t BLOCK_COUNT = 40;
	if (!has_magic(head, MAGIC, "NXSB", 4) ||
	    (little_endian(head + OBJECT_TYPE, 4) & 0xffffU) != 1) {
		return NOT_FOUND;
	}
	return spanning_units(little_endian(head + BLOCK_COUNT, 8),
			      shift_of(little_endian(head + BLOCK_SIZE, 4), 16));
}

// LUKS (cryptsetup's LUKS1 and LUKS2 on-disk format): the magic and version
// 1 or 2.  Its size is not in it.
whole_device_extent luks_extent(const unsigned char *head, std::uint64_t device_blocks)
{
	constexpr std::size_t MAGIC = 0;
	constexpr std::size_t VERSION = 6;
	const std::uint64_t version = big_endian(head + VERSION, 2);
	if (!has_magic(head, MAGIC, "LUKS\xba\xbe", 6) || (version != 1 && version != 2)) {
		return NOT_FOUND;
	}
	return spanning_device(device_blocks);
}

// XFS (xfsprogs' xfs_format.h, big-endian): "XFSB", the block size and the
// data blocks.
whole_device_extent xfs_extent(const unsigned char *head, std::uint64_t /*device_blocks*/)
{
	constexpr std::size_t MAGIC = 0;
	constexpr std::size_t BLOCK_SIZE = 4;
	constexpr std::size_t DATA_BLOCKS = 8;
	if (!has_magic(head, MAGIC, "XFSB", 4)) {
		return NOT_FOUND;
	}
	return spanning_units(big_endian(head + DATA_BLOCKS, 8),
			      shift_of(big_endian(head + BLOCK_SIZE, 4), 16));
}

// squashfs 4 (the kernel's squashfs_fs.h): "hsqs", major version 4, and the
// bytes the image uses.
whole_device_extent squashfs_extent(const unsigned char *head, std::uint64_t /*device_blocks*/)
{
	constexpr std::size_t MAGIC = 0;
	constexpr std::size_t MAJOR_VERSION = 28;
	constexpr std::size_t BYTES_USED = 40;
	if (!has_magic(head, MAGIC, "hsqs", 4) || little_endian(head + MAJOR_VERSION, 2) != 4) {
		return NOT_FOUND;
	}
	return spanning_bytes(little_endian(head + BYTES_USED, 8));
}

// md RAID with version 1 metadata (the kernel's md_p.h): the magic, major
// version 1, its own place in 512-byte sectors (0 for 1.1 at the start, 8
// for 1.2 at 4 KiB), and the data's offset and size in sectors.
whole_device_extent md_extent(const unsigned char *head, std::size_t superblock)
{
	constexpr std::size_t MAGIC = 0;
	constexpr std::size_t MAJOR_VERSION = 4;
	constexpr std::size_t DATA_OFFSET = 128;
	constexpr std::size_t DATA_SIZE = 136;
	constexpr std::size_t SUPER_OFFSET = 144;
	const unsigned char *sb = head + superblock;
	if (little_endian(sb + MAGIC, 4) != 0xa92b4efc ||
	    little_endian(sb + MAJOR_VERSION, 4) != 1 ||
	    little_endian(sb + SUPER_OFFSET, 8) != superblock >> 9) {
		return NOT_FOUND;
	}
	const std::uint64_t size = little_endian(sb + DATA_SIZE, 8);
	return size == 0 ? NOT_FOUND
			 : whole_device_extent{
				   true, last_of_span(little_endian(sb + DATA_OFFSET, 8), size)};
}

whole_device_extent md_1_1_extent(const unsigned char *head, std::uint64_t /*device_blocks*/)
{
	return md_extent(head, 0);
}

whole_device_extent md_1_2_extent(const unsigned char *head, std::uint64_t /*device_blocks*/)
{
	return md_extent(head, 4096);
}

// ext2, ext3 and ext4 (e2fsprogs' ext2_fs.h): the superblock at 1024, its
// magic, block size and count, whose high half counts only with the 64bit
// feature.
whole_device_extent ext_extent(const unsigned char *head, std::uint64_t /*device_blocks*/)
{
	constexpr std::size_t SUPERBLOCK = 1024;
	constexpr std::size_t BLOCKS_COUNT = SUPERBLOCK + 4;
	constexpr std::size_t LOG_BLOCK_SIZE = SUPERBLOCK + 24;
	constexpr std::size_t MAGIC = SUPERBLOCK + 56;
	constexpr std::size_t FEATURE_INCOMPAT = SUPERBLOCK + 96;
	constexpr std::size_t BLOCKS_COUNT_HIGH = SUPERBLOCK + 336;
	constexpr std::uint64_t INCOMPAT_64BIT = 0x80;
	const std::uint64_t log_size = little_endian(head + LOG_BLOCK_SIZE, 4);
	if (little_endian(head + MAGIC, 2) != 0xef53 || log_size > 6) {
		return NOT_FOUND;
	}
	const bool wide = (little_endian(head + FEATURE_INCOMPAT, 4) & INCOMPAT_64BIT) != 0;
	const std::uint64_t count = little_endian(head + BLOCKS_COUNT, 4) |
				    (wide ? little_endian(head + BLOCKS_COUNT_HIGH, 4) << 32 : 0);
	return spanning_units(count, static_cast<unsigned>(10 + log_size));
}

// F2FS (f2fs-tools' f2fs_fs.h): the superblock at 1024, its magic, the
// block size's shift and the block count.
whole_device_extent f2fs_extent(const unsigned char *head, std::uint64_t /*device_blocks*/)
{
	constexpr std::size_t SUPERBLOCK = 1024;
	constexpr std::size_t MAGIC = SUPERBLOCK;
	constexpr std::size_t LOG_BLOCK_SIZE = SUPERBLOCK + 16;
	constexpr std::size_t BLOCK_COUNT = SUPERBLOCK + 36;
	const std::uint64_t shift = little_endian(head + LOG_BLOCK_SIZE, 4);
	if (little_endian(head + MAGIC, 4) != 0xf2f52010 || shift < 9 || shift > 16) {
		return NOT_FOUND;
	}
	return spanning_units(little_endian(head + BLOCK_COUNT, 8), static_cast<unsigned>(shift));
}

// HFS+ and HFSX (Apple's Technical Note TN1150, big-endian): the volume
// header at 1024, "H+" version 4 or "HX" version 5, the allocation block
// size and the total blocks.
whole_device_extent hfsplus_extent(const unsigned char *head, std::uint64_t /*device_blocks*/)
{
	constexpr std::size_t VOLUME_HEADER = 1024;
	constexpr std::size_t SIGNATURE = VOLUME_HEADER;
	constexpr std::size_t VERSION = VOLUME_HEADER + 2;
	constexpr std::size_t BLOCK_SIZE = VOLUME_HEADER + 40;
	constexpr std::size_t TOTAL_BLOCKS = VOLUME_HEADER + 44;
	const std::uint64_t version = big_endian(head + VERSION, 2);
	if (!(has_magic(head, SIGNATURE, "H+", 2) && version == 4) &&
	    !(has_magic(head, SIGNATURE, "HX", 2) && version == 5)) {
		return NOT_FOUND;
	}
	return spanning_units(big_endian(head + TOTAL_BLOCKS, 4),
			      shift_of(big_endian(head + BLOCK_SIZE, 4), 31));
}

// An LVM2 physical volume (LVM2's label.h and format_text/layout.h): a
// label in one of the first four sectors, naming its own sector, and the
// PV header it points to, with the device's size in bytes as pvcreate
// recorded it, which may be more than the device holds now.
whole_device_extent lvm_extent(const unsigned char *head, std::uint64_t device_blocks)
{
	constexpr std::size_t LABEL_SECTORS = 4;
	constexpr std::size_t SECTOR_NUMBER = 8;
	constexpr std::size_t CONTENTS_OFFSET = 20;
	constexpr std::size_t LABEL_TYPE = 24;
	constexpr std::size_t PV_DEVICE_SIZE = 32; // after the PV's UUID
	for (std::size_t sector = 0; sector < LABEL_SECTORS; ++sector) {
		const unsigned char *label = head + 512 * sector;
		const std::uint64_t contents = little_endian(label + CONTENTS_OFFSET, 4);
		if (!has_magic(label, 0, "LABELONE", 8) ||
		    !has_magic(label, LABEL_TYPE, "LVM2 001", 8) ||
		    little_endian(label + SECTOR_NUMBER, 8) != sector || contents > 512 - 40) {
			continue;
		}
		const std::uint64_t bytes = little_endian(label + contents + PV_DEVICE_SIZE, 8);
		return bytes == 0 ? spanning_device(device_blocks) : spanning_bytes(bytes);
	}
	return NOT_FOUND;
}

// Linux swap (util-linux's swapheader.h): "SWAPSPACE2" at the end of the
// first page, of 4 to 64 KiB, and version 1 in the byte order of the
// machine that made it, followed by the last page's number.
whole_device_extent swap_extent(const unsigned char *head, std::uint64_t /*device_blocks*/)
{
	constexpr std::size_t VERSION = 1024;
	constexpr std::size_t LAST_PAGE = 1028;
	for (unsigned shift = 12; shift <= 16; ++shift) {
		if (!has_magic(head, (std::size_t{1} << shift) - 10, "SWAPSPACE2", 10)) {
			continue;
		}
		if (little_endian(head + VERSION, 4) == 1) {
			return {true, last_block_of(little_endian(head + LAST_PAGE, 4), shift)};
		}
		if (big_endian(head + VERSION, 4) == 1) {
			return {true, last_block_of(big_endian(head + LAST_PAGE, 4), shift)};
		}
		return NOT_FOUND;
	}
	return NOT_FOUND;
}

// Volume descriptors from 32 KiB on, one every 2048 bytes, as ISO 9660 and
// UDF's volume recognition sequence lay them out (ECMA-119, ECMA-167).
constexpr std::size_t VOLUME_DESCRIPTORS = 32768;
constexpr std::size_t VOLUME_DESCRIPTOR_BYTES = 2048;

// ISO 9660 (ECMA-119): the primary volume descriptor, type 1 "CD001"
// version 1, among the descriptors before the set's terminator, type 255;
// its volume space in logical blocks of 512 to 2048 bytes.
whole_device_extent iso9660_extent(const unsigned char *head, std::uint64_t /*device_blocks*/)
{
	constexpr std::size_t TYPE = 0;
	constexpr std::size_t IDENTIFIER = 1;
	constexpr std::size_t VERSION = 6;
	constexpr std::size_t VOLUME_SPACE_SIZE = 80;   // both-endian: little first
	constexpr std::size_t LOGICAL_BLOCK_SIZE = 128; // both-endian: little first
	for (std::size_t at = VOLUME_DESCRIPTORS; at + VOLUME_DESCRIPTOR_BYTES <= DISK_HEAD_BYTES;
	     at += VOLUME_DESCRIPTOR_BYTES) {
		const unsigned char *descriptor = head + at;
		if (!has_magic(descriptor, IDENTIFIER, "CD001", 5) || descriptor[TYPE] == 255) {
			return NOT_FOUND;
		}
		if (descriptor[TYPE] == 1 && descriptor[VERSION] == 1) {
			return spanning_units(
				little_endian(descriptor + VOLUME_SPACE_SIZE, 4),
				shift_of(little_endian(descriptor + LOGICAL_BLOCK_SIZE, 2), 11));
		}
	}
	return NOT_FOUND;
}

// UDF (ECMA-167, 2/9): "NSR02" or "NSR03" in the volume recognition
// sequence, which may follow an ISO 9660 set (a UDF bridge disc).  Its size
// lies in an anchor at 128 KiB or more, past the head.
whole_device_extent udf_extent(const unsigned char *head, std::uint64_t device_blocks)
{
	constexpr std::size_t IDENTIFIER = 1;
	for (std::size_t at = VOLUME_DESCRIPTORS; at + VOLUME_DESCRIPTOR_BYTES <= DISK_HEAD_BYTES;
	     at += VOLUME_DESCRIPTOR_BYTES) {
		if (has_magic(head + at, IDENTIFIER, "NSR02", 5) ||
		    has_magic(head + at, IDENTIFIER, "NSR03", 5)) {
			return spanning_device(device_blocks);
		}
	}
	return NOT_FOUND;
}

// btrfs (the kernel's btrfs_tree.h): the superblock at 64 KiB, which names
// its own place, its magic, and this device's size in bytes in its device
// item (not the filesystem's, which counts all of its devices).
whole_device_extent btrfs_extent(const unsigned char *head, std::uint64_t /*device_blocks*/)
{
	constexpr std::size_t SUPERBLOCK = 65536;
	constexpr std::size_t OWN_PLACE = SUPERBLOCK + 0x30;
	constexpr std::size_t MAGIC = SUPERBLOCK + 0x40;
	constexpr std::size_t DEVICE_TOTAL_BYTES = SUPERBLOCK + 0xc9 + 8;
	if (!has_magic(head, MAGIC, "_BHRfS_M", 8) ||
	    little_endian(head + OWN_PLACE, 8) != SUPERBLOCK) {
		return NOT_FOUND;
	}
	return spanning_bytes(little_endian(head + DEVICE_TOTAL_BYTES, 8));
}

struct whole_device_format {
	const char *name; // as the warning names it
	whole_device_extent (*extent)(const unsigned char *head, std::uint64_t device_blocks);
};

// Those whose marks lie in sector 0, where an MBR would be: in the boot
// record area that grub-install copies (BitLocker first, since BitLocker
// To Go's header is also a FAT boot sector), or at byte 0.
constexpr whole_device_format SECTOR_0_FORMATS[] = {
	{"a BitLocker volume", bitlocker_extent}, {"a FAT filesystem", fat_extent},
	{"an exFAT filesystem", exfat_extent},    {"an NTFS filesystem", ntfs_extent},
	{"an APFS container", apfs_extent},       {"a LUKS volume", luks_extent},
	{"an XFS filesystem", xfs_extent},        {"a squashfs filesystem", squashfs_extent},
	{"an md RAID member", md_1_1_extent}};

// Those whose marks lie beyond sector 0, where a partitioning tool leaves
// them behind: looked for only where no table lists a partition.
constexpr whole_device_format LATER_FORMATS[] = {
	{"an ext2/3/4 filesystem", ext_extent},     {"an F2FS filesystem", f2fs_extent},
	{"an HFS+ filesystem", hfsplus_extent},     {"an LVM physical volume", lvm_extent},
	{"an md RAID member", md_1_2_extent},       {"a swap area", swap_extent},
	{"an ISO 9660 filesystem", iso9660_extent}, {"a UDF filesystem", udf_extent},
	{"a btrfs filesystem", btrfs_extent}};

// Whether the head shows one of FORMATS on the whole device; the first
// that it shows is noted.
template <std::size_t count>
bool found_whole_device(const whole_device_format (&formats)[count], const query_result &result,
			disk_facts &facts)
{
	for (const whole_device_format &format : formats) {
		const whole_device_extent extent = format.extent(result.head, result.block_count);
		if (extent.found) {
			facts.whole_device = format.name;
			facts.whole_device_last = extent.last;
			return true;
		}
	}
	return false;
}

// A partition of the disk's table from logical sector FIRST to LAST; one
// that starts past the end of the device (a table copied from a larger
// disk) is not on it.  One that ends past it is still in the way.
void add_table_partition(disk_facts &facts, const query_result &result, std::uint64_t number,
			 std::uint64_t first, std::uint64_t last)
{
	const std::uint64_t start = first_block_of(first, result.sector_shift);
	if (start < result.block_count) {
		add_partition(facts, "", number, start, last_block_of(last, result.sector_shift));
	}
}

// The MBR (the PC's partition table, as the kernel's msdos.c and libblkid's
// dos.c read it): four entries of 16 bytes from byte 446, and the signature
// 0x55 0xAA at 510.
constexpr std::size_t MBR_ENTRIES = 446;
constexpr std::size_t MBR_ENTRY_BYTES = 16;
constexpr std::size_t MBR_BOOT_FLAG = 0;
constexpr std::size_t MBR_TYPE = 4;
constexpr std::size_t MBR_FIRST_LBA = 8;
constexpr std::size_t MBR_SECTORS = 12;
constexpr std::size_t MBR_SIGNATURE = 510;
constexpr unsigned char PROTECTIVE_MBR_TYPE = 0xee;

const unsigned char *mbr_entry(const unsigned char *head, std::size_t i)
{
	return head + MBR_ENTRIES + MBR_ENTRY_BYTES * i;
}

bool has_mbr_signature(const unsigned char *head)
{
	return head[MBR_SIGNATURE] == 0x55 && head[MBR_SIGNATURE + 1] == 0xaa;
}

// A protective MBR, as the kernel's efi.c checks it: the signature and an
// entry of type 0xEE that starts at LBA 1, whatever the boot flags say.
bool is_protective_mbr(const unsigned char *head)
{
	for (std::size_t i = 0; i < 4; ++i) {
		const unsigned char *entry = mbr_entry(head, i);
		if (entry[MBR_TYPE] == PROTECTIVE_MBR_TYPE &&
		    little_endian(entry + MBR_FIRST_LBA, 4) == 1) {
			return has_mbr_signature(head);
		}
	}
	return false;
}

// An MBR: the signature, and a boot flag of 0 or 0x80 in each entry, which
// boot code and a boot sector's fields seldom give.
bool is_mbr(const unsigned char *head)
{
	for (std::size_t i = 0; i < 4; ++i) {
		const unsigned char flag = mbr_entry(head, i)[MBR_BOOT_FLAG];
		if (flag != 0 && flag != 0x80) {
			return false;
		}
	}
	return has_mbr_signature(head);
}

// Whether an entry with a size starts past block 0: a partition table, not
// a boot sector's filler entry or an isohybrid entry over the whole image.
bool lists_partition_past_block_0(const unsigned char *head)
{
	for (std::size_t i = 0; i < 4; ++i) {
		const unsigned char *entry = mbr_entry(head, i);
		if (little_endian(entry + MBR_SECTORS, 4) != 0 &&
		    little_endian(entry + MBR_FIRST_LBA, 4) != 0) {
			return true;
		}
	}
	return false;
}

// The MBR's partitions 1 to 4: every entry with a size, whatever its type,
// as the kernel lists them; an extended partition counts with its whole
// extent, since its logical partitions lie inside it.  Whether there was one.
bool read_mbr(const query_result &result, disk_facts &facts)
{
	bool listed = false;
	for (std::size_t i = 0; i < 4; ++i) {
		const unsigned char *entry = mbr_entry(result.head, i);
		const std::uint64_t first = little_endian(entry + MBR_FIRST_LBA, 4);
		const std::uint64_t sectors = little_endian(entry + MBR_SECTORS, 4);
		if (sectors != 0) {
			add_table_partition(facts, result, i + 1, first, first + (sectors - 1));
			listed = true;
		}
	}
	return listed;
}

// The GPT that a protective MBR marks (UEFI's chapter 5.3, and the
// kernel's efi.c): the header in the second logical sector, checked by its
// own CRC-32, and its entry array, checked by the array's CRC-32 where the
// whole array lies in the head.  The backup lies where the header's
// AlternateLBA says.
void read_gpt(const query_result &result, disk_facts &facts)
{
	constexpr std::size_t SIGNATURE = 0;
	constexpr std::size_t HEADER_SIZE = 12;
	constexpr std::size_t HEADER_CRC = 16;
	constexpr std::size_t ALTERNATE_LBA = 32;
	constexpr std::size_t ENTRIES_LBA = 72;
	constexpr std::size_t ENTRY_COUNT = 80;
	constexpr std::size_t ENTRY_SIZE = 84;
	constexpr std::size_t ENTRIES_CRC = 88;
	constexpr std::size_t ENTRY_TYPE = 0; // 16 bytes, all 0 for an unused entry
	constexpr std::size_t ENTRY_FIRST_LBA = 32;
	constexpr std::size_t ENTRY_LAST_LBA = 40;
	const unsigned shift = result.sector_shift;
	const unsigned char *header = result.head + (std::size_t{1} << shift);
	const std::uint64_t header_size = little_endian(header + HEADER_SIZE, 4);
	const std::uint64_t entry_size = little_endian(header + ENTRY_SIZE, 4);

	// Rejected headers: with them the backup is the only copy.
	facts.gpt = gpt_state::header_damaged;
	if (!has_magic(header, SIGNATURE, "EFI PART", 8)) {
		return; // no header where the protective MBR says
	}
	if (header_size < 92 || header_size > std::uint64_t{1} << shift) {
		return; // its CRC would not cover its fields, or would run off its sector
	}
	if (crc32_of(header, static_cast<std::size_t>(header_size), HEADER_CRC) !=
	    little_endian(header + HEADER_CRC, 4)) {
		return;
	}
	if (entry_size < 128 || entry_size % 8 != 0) {
		return;
	}
	facts.gpt_backup_last = last_block_of(little_endian(header + ALTERNATE_LBA, 8), shift);

	// The array, where it lies in the head; a count and size of 32 bits each
	// cannot overflow their product.
	const std::uint64_t entries_lba = little_endian(header + ENTRIES_LBA, 8);
	const std::uint64_t count = little_endian(header + ENTRY_COUNT, 4);
	const std::size_t array = entries_lba < DISK_HEAD_BYTES >> shift
					  ? static_cast<std::size_t>(entries_lba << shift)
					  : DISK_HEAD_BYTES;
	const std::uint64_t array_bytes = count * entry_size;
	if (array_bytes <= DISK_HEAD_BYTES - array) {
		const auto bytes = static_cast<std::size_t>(array_bytes);
		if (crc32_of(result.head + array, bytes, bytes) !=
		    little_endian(header + ENTRIES_CRC, 4)) {
			facts.gpt = gpt_state::entries_damaged; // the kernel lists none of them
			return;
		}
	} else {
		note_unchecked(facts, DISK_HEAD_NAME, "", "GPT entries beyond them");
	}
	facts.gpt = gpt_state::valid;
	std::size_t at = array;
	for (std::uint64_t i = 0; i < count && entry_size <= DISK_HEAD_BYTES - at;
	     ++i, at += static_cast<std::size_t>(entry_size)) {
		const unsigned char *entry = result.head + at;
		const std::uint64_t first = little_endian(entry + ENTRY_FIRST_LBA, 8);
		const std::uint64_t last = little_endian(entry + ENTRY_LAST_LBA, 8);
		const bool used = std::any_of(entry + ENTRY_TYPE, entry + ENTRY_TYPE + 16,
					      [](unsigned char c) { return c != 0; });
		if (used && last >= first) {
			add_table_partition(facts, result, i + 1, first, last);
		}
	}
}

// What the disk's head shows, whatever the system was told of it, as the
// kernel and libblkid read it: a protective MBR's GPT; else a dos table
// with an entry past block 0, even over an old boot sector's fields; else
// what lies on the whole device with its marks in sector 0; else an MBR
// whose entries all start at block 0; else what lies on the whole device
// with its marks beyond sector 0.
void read_disk_head(const query_result &result, disk_facts &facts)
{
	if (result.head_status != 0) {
		note_unchecked(facts, DISK_HEAD_NAME, "",
			       result.head_status == HEAD_SHORT_READ
				       ? "short read"
				       : std::strerror(result.head_status));
		return;
	}
	if (is_protective_mbr(result.head)) {
		read_gpt(result, facts);
		return;
	}
	const bool mbr = is_mbr(result.head);
	if (mbr && lists_partition_past_block_0(result.head)) {
		(void)read_mbr(result, facts);
		return;
	}
	if (found_whole_device(SECTOR_0_FORMATS, result, facts)) {
		return;
	}
	if (mbr && read_mbr(result, facts)) {
		return;
	}
	(void)found_whole_device(LATER_FORMATS, result, facts);
}

} // namespace

// ---- What the system says: everything that only one platform has ----
//
// The platform block defines the size request (ask_block_count) and
// collect_disk_facts, which asks the system whether the device is a disk or
// a partition and where the disk's partitions lie: /proc/partitions and the
// partitions' own devices under Cygwin, sysfs on Linux.
#ifdef __CYGWIN__

#include <cygwin/fs.h>
#include <cygwin/hdreg.h>
#include <sys/sysmacros.h>

namespace {

static_assert(sizeof(unsigned long) == 8, "Cygwin's long is 64 bits wide");

// The size in 512-byte sectors, whatever the sector size; 0 if the request
// fails.
std::uint64_t ask_block_count(int fd)
{
	unsigned long sectors = 0;
	(void)ioctl(fd, BLKGETSIZE, &sectors);
	return sectors;
}

constexpr char PROC_PARTITIONS[] = "/proc/partitions";
constexpr std::size_t PROC_PARTITIONS_BYTES = 65536;
// Partitions 1 to 63 have devices; Windows' 64th GPT entry is listed as
// sdX64, whose numbers are another disk's partition 16.
constexpr unsigned long long LAST_PARTITION_NUMBER = 63;

// One line of /proc/partitions: "MAJOR MINOR KIB NAME", and for a partition
// that Windows has mounted, spaces and its mount points, each after a space.
struct partitions_entry {
	unsigned long long major;
	unsigned long long minor;
	const char *name;
	const char *mounts;
};

// Split LINE, which ends at a NUL, into ENTRY; false for the header and the
// empty line below it.
bool parse_partitions_line(char *line_text, partitions_entry &entry)
{
	char *end = nullptr;
	entry.major = std::strtoull(line_text, &end, 10);
	char *next = end;
	entry.minor = std::strtoull(next, &end, 10);
	bool parsed = end != next;
	next = end;
	(void)std::strtoull(next, &end, 10);
	parsed = parsed && end != next;
	char *name = end + std::strspn(end, " ");
	char *after = name + std::strcspn(name, " ");
	if (*after != '\0') {
		*after++ = '\0';
	}
	entry.name = name;
	entry.mounts = after + std::strspn(after, " ");
	return parsed && *name != '\0';
}

// The number at the end of a partition's name (sdb1 is partition 1 of sdb),
// and the length of the disk's name before it; 0 for a disk's name.
unsigned long long partition_number(const char *name, std::size_t &disk_length)
{
	disk_length = std::strcspn(name, "0123456789");
	const char *digits = name + disk_length;
	return digits[std::strspn(digits, "0123456789")] == '\0'
		       ? std::strtoull(digits, nullptr, 10)
		       : 0;
}

void add_mounts(disk_facts &facts, const char *mounts)
{
	if (*mounts == '\0') {
		return;
	}
	const std::size_t length = std::strlen(facts.mounts);
	(void)std::snprintf(facts.mounts + length, sizeof facts.mounts - length, "%s%s",
			    length == 0 ? "" : " ", mounts);
	facts.in_use = true;
}

// Ask partition NAME's own device where it starts and how many blocks it
// holds: it opens while Windows has it mounted.
void add_windows_partition(disk_facts &facts, const char *name)
{
	char path[NAME_BYTES + 8];
	(void)std::snprintf(path, sizeof path, "/dev/%s", name);
	const int fd = open(path, O_RDONLY | O_CLOEXEC);
	hd_geometry geometry = {};
	unsigned long size = 0;
	if (fd == -1 || ioctl(fd, HDIO_GETGEO, &geometry) == -1 ||
	    ioctl(fd, BLKGETSIZE, &size) == -1) {
		note_unchecked(facts, path, "", std::strerror(errno));
	} else if (size != 0) {
		add_partition(facts, name, 0, geometry.start, last_of_span(geometry.start, size));
	}
	if (fd != -1) {
		(void)close(fd);
	}
}

// Read /proc/partitions into TEXT, NUL-terminated; false if it could not be
// read whole.
bool read_proc_partitions(char (&text)[PROC_PARTITIONS_BYTES], disk_facts &facts)
{
	const int fd = open(PROC_PARTITIONS, O_RDONLY | O_CLOEXEC);
	if (fd == -1) {
		note_unchecked(facts, PROC_PARTITIONS, "", std::strerror(errno));
		return false;
	}
	std::size_t length = 0;
	ssize_t got = 0;
	while (length < sizeof text - 1 &&
	       (got = read(fd, text + length, sizeof text - 1 - length)) > 0) {
		length += static_cast<std::size_t>(got);
	}
	const int read_errno = got == -1 ? errno : length == sizeof text - 1 ? EFBIG : 0;
	(void)close(fd);
	text[length] = '\0';
	if (read_errno != 0) {
		note_unchecked(facts, PROC_PARTITIONS, "", std::strerror(read_errno));
	}
	return read_errno == 0;
}

// Find the device's line in /proc/partitions by its number, passing over a
// partition numbered past 63, which has no device.  For a partition, note
// its number, its disk and its mount points; for a disk, every partition's
// mount points, first block and size.
void collect_disk_facts(const query_result &result, disk_facts &facts)
{
	char text[PROC_PARTITIONS_BYTES];
	if (!read_proc_partitions(text, facts)) {
		return;
	}
	const auto major_number = static_cast<unsigned>(major(result.device_number));
	const auto minor_number = static_cast<unsigned>(minor(result.device_number));
	char disk[NAME_BYTES] = {};
	std::size_t disk_length = 0;
	char *next = text;
	while (*next != '\0') {
		char *line_text = next;
		next = line_text + std::strcspn(line_text, "\n");
		if (*next != '\0') {
			*next++ = '\0';
		}
		partitions_entry entry = {};
		if (!parse_partitions_line(line_text, entry)) {
			continue;
		}
		std::size_t length = 0;
		const unsigned long long number = partition_number(entry.name, length);
		if (disk[0] == '\0' && entry.major == major_number && entry.minor == minor_number &&
		    number <= LAST_PARTITION_NUMBER) {
			if (number != 0) {
				facts.partition_number = number;
				(void)std::snprintf(facts.disk, sizeof facts.disk, "%.*s",
						    static_cast<int>(length), entry.name);
				add_mounts(facts, entry.mounts);
				return;
			}
			(void)std::snprintf(disk, sizeof disk, "%s", entry.name);
			disk_length = length;
			continue;
		}
		if (disk[0] != '\0' && number != 0 && length == disk_length &&
		    std::strncmp(entry.name, disk, length) == 0) {
			add_mounts(facts, entry.mounts);
			add_windows_partition(facts, entry.name);
		}
	}
	if (disk[0] == '\0') {
		char why[64];
		(void)std::snprintf(why, sizeof why, "no line for %u:%u", major_number,
				    minor_number);
		note_unchecked(facts, PROC_PARTITIONS, "", why);
	}
}

} // namespace

#else // Linux

#include <dirent.h>
#include <linux/fs.h>
#include <sys/sysmacros.h>

namespace {

// The size in 512-byte sectors, whatever the sector size; 0 if the request
// fails.  BLKGETSIZE stores an unsigned long.  Where that is narrower than
// 64 bits it would cut a large disk's count short, so the size is asked for
// in bytes there.
std::uint64_t ask_block_count(int fd)
{
	if constexpr (sizeof(unsigned long) >= sizeof(std::uint64_t)) {
		unsigned long sectors = 0;
		(void)ioctl(fd, BLKGETSIZE, &sectors);
		return sectors;
	} else {
		std::uint64_t bytes = 0;
		(void)ioctl(fd, BLKGETSIZE64, &bytes);
		return bytes >> 9;
	}
}

// read_sysfs_number's answer for a file that reads but holds no number.
constexpr int NO_NUMBER = -1;

// Read the decimal number in the sysfs file NAME below the folder DIR.
// Returns 0, the errno of the failed open or read, or NO_NUMBER.
int read_sysfs_number(int dir, const char *name, std::uint64_t &value)
{
	const int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
	if (fd == -1) {
		return errno;
	}
	char text[32];
	const ssize_t length = read(fd, text, sizeof text);
	const int read_errno = errno;
	(void)close(fd);
	if (length == -1) {
		return read_errno;
	}
	value = 0;
	ssize_t i = 0;
	for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
		value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
	}
	return i > 0 ? 0 : NO_NUMBER;
}

// Why read_sysfs_number gave STATUS.
const char *sysfs_failure(int status)
{
	return status == NO_NUMBER ? "no number in it" : std::strerror(status);
}

// Read the number in sysfs file NAME below the folder DIR, whose path is
// SYSFS; note the file as unchecked if it cannot be read.
bool read_sysfs_fact(int dir, const char *sysfs, const char *name, std::uint64_t &value,
		     disk_facts &facts)
{
	const int status = read_sysfs_number(dir, name, value);
	if (status != 0) {
		note_unchecked(facts, sysfs, name, sysfs_failure(status));
	}
	return status == 0;
}

// The kernel names a device node after the device, a '!' standing for '/'.
void copy_device_name(char (&to)[NAME_BYTES], const char *kernel_name)
{
	(void)std::snprintf(to, sizeof to, "%s", kernel_name);
	for (char *p = std::strchr(to, '!'); p != nullptr; p = std::strchr(p, '!')) {
		*p = '/';
	}
}

// Whether ENTRY names a partition of DISK: DISKn, or DISKpn after a digit.
bool is_partition_of(const char *entry, const char *disk)
{
	const std::size_t disk_length = std::strlen(disk);
	if (std::strncmp(entry, disk, disk_length) != 0) {
		return false;
	}
	const char *digits = entry + disk_length;
	digits += *digits == 'p' ? 1 : 0;
	const std::size_t count = std::strspn(digits, "0123456789");
	return count > 0 && count < 4 && digits[count] == '\0';
}

// Add each partition of DISK, whose folder is DIR at the path SYSFS, with
// its first block and size.  Takes over DIR, which the folder reads through.
void collect_partitions(int dir, const char *sysfs, const char *disk, disk_facts &facts)
{
	DIR *folder = fdopendir(dir);
	if (folder == nullptr) {
		note_unchecked(facts, sysfs, "", std::strerror(errno));
		(void)close(dir);
		return;
	}
	for (const dirent *entry = readdir(folder); entry != nullptr; entry = readdir(folder)) {
		if (!is_partition_of(entry->d_name, disk)) {
			continue;
		}
		char path[sizeof entry->d_name + 8];
		std::uint64_t start = 0;
		std::uint64_t size = 0;
		(void)std::snprintf(path, sizeof path, "%s/start", entry->d_name);
		if (!read_sysfs_fact(dir, sysfs, path, start, facts)) {
			continue;
		}
		(void)std::snprintf(path, sizeof path, "%s/size", entry->d_name);
		if (!read_sysfs_fact(dir, sysfs, path, size, facts) || size == 0) {
			continue;
		}
		char name[NAME_BYTES];
		copy_device_name(name, entry->d_name);
		add_partition(facts, name, 0, start, last_of_span(start, size));
	}
	(void)closedir(folder);
}

// Ask sysfs, by the device's number, whether it is a disk or a partition,
// where the disk's partitions lie, and whether it is read-only.  Only what
// the kernel already knows is asked; the device is not touched.
void collect_disk_facts(const query_result &result, disk_facts &facts)
{
	char sysfs[64];
	(void)std::snprintf(sysfs, sizeof sysfs, "/sys/dev/block/%u:%u",
			    major(result.device_number), minor(result.device_number));
	char target[PATH_MAX];
	const int dir = open(sysfs, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	const ssize_t length = dir == -1 ? -1 : readlink(sysfs, target, sizeof target - 1);
	if (length <= 0) {
		note_unchecked(facts, sysfs, "", std::strerror(errno));
		if (dir != -1) {
			(void)close(dir);
		}
		return;
	}
	// The link ends in .../DISK for a disk and .../DISK/PARTITION for a
	// partition.
	target[length] = '\0';
	char *name = std::strrchr(target, '/');
	char *disk = target;
	if (name != nullptr) {
		*name++ = '\0';
		char *above = std::strrchr(target, '/');
		disk = above == nullptr ? target : above + 1;
	} else {
		name = target;
	}

	std::uint64_t number = 0;
	std::uint64_t read_only = 0;
	const int partition = read_sysfs_number(dir, "partition", number);
	facts.read_only = read_sysfs_fact(dir, sysfs, "ro", read_only, facts) && read_only == 1;
	if (partition == 0) {
		facts.partition_number = number;
		copy_device_name(facts.disk, disk);
	}
	if (partition == ENOENT) {
		collect_partitions(dir, sysfs, name, facts);
		return;
	}
	if (partition != 0) {
		note_unchecked(facts, sysfs, "partition", sysfs_failure(partition));
	}
	(void)close(dir);
}

} // namespace

#endif // __CYGWIN__

static_assert(BLKGETSIZE == 0x1260, "BLKGETSIZE is request 0x1260 on every supported platform");

namespace {

// The logical sector size in bytes, by the platform's own request number;
// 0 if the request fails.
int ask_sector_size(int fd)
{
	int bytes = 0;
	(void)ioctl(fd, BLKSSZGET, &bytes);
	return bytes;
}

// ---- Warnings: what the lines would destroy or fail on ----

// The size of IMAGE in the working folder if it is a regular file longer
// than PLACE bytes, else 0.  It is never opened.
std::uint64_t image_too_long(const char *image, std::uint64_t place)
{
	struct stat st = {};
	if (stat(image, &st) != 0 || !S_ISREG(st.st_mode) ||
	    static_cast<std::uint64_t>(st.st_size) <= place) {
		return 0;
	}
	return static_cast<std::uint64_t>(st.st_size);
}

// Start a warning line: "mfmplace: warning: ".
void start_warning(line &out)
{
	out.length = 0;
	add(out, WARNING);
}

// Start a warning line about the device: "mfmplace: warning: " and PATH.
void begin_warning(line &out, const char *device)
{
	start_warning(out);
	add_shell_word(out, device);
}

// End the line with TEXT and a newline, and write it.
void end_warning(line &out, const char *text)
{
	add(out, text);
	add(out, "\n");
	write_to_stderr(out);
}

// "blocks FIRST to LAST".
void add_blocks(line &out, std::uint64_t first, std::uint64_t last)
{
	add(out, "blocks ");
	add_number(out, first);
	add(out, " to ");
	add_number(out, last);
}

// The line for a partition that reaches into the images' places, LIMIT
// being Drive B's first block: one that starts below it could be shrunk to
// end below it, one that starts at it or above is overwritten whole.
void write_partition_warning(const char *device, std::uint64_t limit, const partition_span &span)
{
	line out;
	start_warning(out);
	add(out, "partition ");
	if (span.name[0] != '\0') {
		add_device_node(out, span.name);
	} else {
		add_number(out, span.table_number);
		add(out, " in the table on ");
		add_shell_word(out, device);
	}
	add(out, " (");
	add_blocks(out, span.start, span.last);
	if (span.start >= limit) {
		end_warning(out, ") lies in the last 32769 blocks: the lines overwrite it");
		return;
	}
	add(out,
	    ") reaches into the last 32769 blocks: the lines overwrite its end; end it at block ");
	add_number(out, limit - 1);
	end_warning(out, " or below");
}

// The GPT's line, if the lines overwrite what of it is good, LIMIT being
// Drive B's first block: its backup, or its only copy.
void write_gpt_warning(const char *device, std::uint64_t limit, const disk_facts &facts)
{
	const bool backup_in_the_way = facts.gpt_backup_last >= limit;
	const char *text = nullptr;
	if (facts.gpt == gpt_state::header_damaged) {
		text = " has a GPT partition table whose primary header is missing or damaged: "
		       "the lines overwrite its only copy, at the end of the disk";
	} else if (facts.gpt == gpt_state::entries_damaged && backup_in_the_way) {
		text = " has a GPT partition table whose primary entries are damaged: the lines "
		       "overwrite its only good copy, at the end of the disk";
	} else if (facts.gpt == gpt_state::valid && backup_in_the_way) {
		text = " has a GPT partition table: the lines overwrite its backup copy at the end "
		       "of the disk";
	} else {
		return;
	}
	line out;
	begin_warning(out, device);
	end_warning(out, text);
}

// "IMAGE here is SIZE bytes, longer than the PLACE bytes of its place: ".
void write_image_warning(const char *image, std::uint64_t bytes, std::uint64_t place,
			 const char *consequence)
{
	line out;
	start_warning(out);
	add(out, image);
	add(out, " here is ");
	add_number(out, bytes);
	add(out, " bytes, longer than the ");
	add_number(out, place);
	add(out, " bytes of its place: ");
	end_warning(out, consequence);
}

// Say on standard error, one line each, what the lines for a disk of
// BLOCK_COUNT blocks would destroy or fail on.
void write_warnings(const char *device, std::uint64_t block_count, const disk_facts &facts)
{
	// Drive B's first block; what ends below it is left alone.
	const std::uint64_t limit = block_count - DRIVE_B_TAIL_BLOCKS;
	line out;
	if (facts.in_use) {
		begin_warning(out, device);
		add(out, " or a partition on it is in use (");
		if (facts.mounts[0] != '\0') {
			add(out, "mounted in Windows as ");
			add_visible(out, facts.mounts);
		} else {
			add(out, "mounted, swap, or part of another device");
		}
		end_warning(out, ")");
	}
	if (facts.partition_number != 0) {
		begin_warning(out, device);
		add(out, " is partition ");
		add_number(out, facts.partition_number);
		add(out, " of ");
		add_device_node(out, facts.disk);
		end_warning(out, ": the lines write the end of the partition, not of the disk");
	}
	write_gpt_warning(device, limit, facts);
	if (facts.whole_device != nullptr && facts.whole_device_last >= limit) {
		begin_warning(out, device);
		add(out, " holds ");
		add(out, facts.whole_device);
		add(out, " on ");
		add_blocks(out, 0, facts.whole_device_last);
		end_warning(out, ": the lines overwrite its end");
	}
	for (std::size_t i = 0; i < facts.partition_count; ++i) {
		if (facts.partitions[i].last >= limit) {
			write_partition_warning(device, limit, facts.partitions[i]);
		}
	}
	if (facts.read_only) {
		begin_warning(out, device);
		end_warning(out, " is read-only: the lines will fail");
	}
	if (facts.drive_a_image_bytes != 0) {
		write_image_warning(DRIVE_A_IMAGE, facts.drive_a_image_bytes, DRIVE_A_PLACE_BYTES,
				    "the Drive A line runs past the end of the device and fails");
	}
	if (facts.drive_b_image_bytes != 0) {
		write_image_warning(DRIVE_B_IMAGE, facts.drive_b_image_bytes, DRIVE_B_PLACE_BYTES,
				    "the Drive B line overwrites the start of Drive A");
	}
	if (facts.unchecked[0] != '\0') {
		start_warning(out);
		add(out, "cannot check the partitions of ");
		add_shell_word(out, device);
		add(out, ": ");
		add_visible(out, facts.unchecked);
		end_warning(out, "");
	}
}

// Say what the disk's head and the system tell of the device, and of the
// images in the working folder, that the lines would destroy or fail on.
// The head comes first, so that a problem with it is the first thing that
// could not be checked.
void warn_about_device(const char *device, const query_result &result)
{
	disk_facts facts;
	facts.in_use = result.in_use;
	read_disk_head(result, facts);
	collect_disk_facts(result, facts);
	facts.drive_a_image_bytes = image_too_long(DRIVE_A_IMAGE, DRIVE_A_PLACE_BYTES);
	facts.drive_b_image_bytes = image_too_long(DRIVE_B_IMAGE, DRIVE_B_PLACE_BYTES);
	write_warnings(device, result.block_count, facts);
}

// An operand such as --help names no file: say what the tool takes.
void warn_option_like(const char *device)
{
	line out;
	start_warning(out);
	add(out, "no device named ");
	add_shell_word(out, device);
	end_warning(out, ": mfmplace takes one operand, a raw disk device such as /dev/sdb");
}

} // namespace

// ---- main ----

// mfmplace takes one operand, a raw disk device.  It prints the device's
// size in 512-byte blocks and two dd command lines that write
// "Drive_A.mfm.img" 16385 blocks and "Drive_B.mfm.img" 32769 blocks before
// the end of the device.  It never writes the device or runs what it prints.
// The lines go to standard output, the path in them quoted for the shell
// where it needs to be.  Standard error carries a write error, and warnings
// when the lines would destroy data or fail, one write each.  The exit status
// is -1 for a malformed command line, 1 when the output could not be written,
// and 0 otherwise.  A reader of standard output that went away is no
// error: SIGPIPE is ignored, so that the warnings are still written.
int main(int argc, char *argv[])
{
	(void)std::signal(SIGPIPE, SIG_IGN);
	if (argc != 2) {
		std::puts("usage: mfmplace /dev/rawdiskdevice");
		(void)output_written(); // a malformed command line keeps its status
		std::exit(USAGE_EXIT_STATUS);
	}
	const char *device = argv[1];

	const query_result result = query_block_count(device);
	bool lines_printed = false;
	if (result.outcome == query_outcome::open_failed) {
		std::printf("open Error: %s\n", std::strerror(result.open_errno));
	} else {
		lines_printed = write_report(device, result.block_count);
	}
	// Checked before the warnings, whose reads change errno.
	const bool written = output_written();
	if (lines_printed && result.block_device) {
		warn_about_device(device, result);
	}
	if (result.outcome == query_outcome::open_failed && result.open_errno == ENOENT &&
	    device[0] == '-') {
		warn_option_like(device);
	}
	return written ? 0 : WRITE_ERROR_EXIT_STATUS;
}
