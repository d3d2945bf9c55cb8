// mfmplace: print a raw disk's size in 512-byte blocks and the two dd
// command lines that write the MFM drive images at their places near its end.

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

// The head of the disk that the tool reads: the MBR, a GPT header in the
// second logical sector and a standard GPT entry array (128 entries of 128
// bytes from the third sector on), for logical sectors of up to 4096 bytes.
constexpr std::size_t DISK_HEAD_BYTES = 24576;
constexpr char DISK_HEAD_NAME[] = "its first 24576 bytes";
// query_block_count's head_status: 0 when the head was read whole, else the
// read's errno or one of these.
constexpr int HEAD_NOT_READ = -1;
constexpr int HEAD_SHORT_READ = -2;

// Every warning line on standard error begins so.
constexpr char WARNING[] = "mfmplace: warning: ";

// A device's name as the kernel gives it (sdb1, loop0p1, nvme0n1p2), and
// the most partitions the tool keeps of one disk: as many as Linux lists
// (256) and as the disk's head can hold (192 GPT entries), which is more
// than Cygwin lists (64).
constexpr std::size_t NAME_BYTES = 64;
constexpr std::size_t MAX_PARTITIONS = 512;
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
	std::size_t sector_size = 512; // its logical sector size, in bytes
	int head_status = HEAD_NOT_READ;
	unsigned char head[DISK_HEAD_BYTES];
};

// A partition, as the system lists it, as the disk's own table lists it, or
// both: the two are one partition when they start at the same block.
struct partition_span {
	std::uint64_t start;        // first block
	std::uint64_t size;         // in blocks
	std::uint64_t table_number; // its number in the disk's table, else 0
	char name[NAME_BYTES];      // the system's name for it, else empty
};

enum class gpt_state { none, valid, damaged };

// What the disk's head and the system tell of the disk that the lines would
// write, and of the images they would write there; write_warnings turns it
// into warnings.
struct disk_facts {
	bool in_use = false;
	char mounts[MOUNTS_BYTES] = {};     // Windows' mount points on it, if any
	std::uint64_t partition_number = 0; // of the partition named, else 0
	char disk[NAME_BYTES];              // the disk that holds it
	gpt_state gpt = gpt_state::none;
	const char *filesystem = nullptr; // on the whole device: "a FAT", ...
	std::uint64_t filesystem_blocks = 0;
	std::size_t partition_count = 0; // the disk's partitions, by first block
	partition_span partitions[MAX_PARTITIONS];
	bool read_only = false;
	std::uint64_t drive_a_image_bytes = 0; // an image longer than its place
	std::uint64_t drive_b_image_bytes = 0;
	char unchecked[512] = {}; // the first thing that could not be checked
};

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
		   std::uint64_t start, std::uint64_t size)
{
	const std::size_t length = std::strlen(name);
	if (length >= NAME_BYTES || size == 0) {
		return;
	}
	std::size_t i = 0;
	while (i < facts.partition_count && facts.partitions[i].start < start) {
		++i;
	}
	if (i < facts.partition_count && facts.partitions[i].start == start) {
		partition_span &same = facts.partitions[i];
		same.size = std::max(same.size, size);
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
	facts.partitions[i] = {start, size, table_number, {}};
	std::memcpy(facts.partitions[i].name, name, length + 1);
}

} // namespace

// Everything that only one platform has: the size request's header, whether
// an exclusive open tells that a disk is in use, and where the system tells
// what lies on a disk: /proc/partitions and the partitions' own devices
// under Cygwin, sysfs on Linux.
#ifdef __CYGWIN__

#include <cygwin/fs.h>
#include <cygwin/hdreg.h>
#include <sys/sysmacros.h>

namespace {

// O_EXCL without O_CREAT means nothing here.
constexpr int EXCLUSIVE_OPEN_FLAG = 0;

constexpr char PROC_PARTITIONS[] = "/proc/partitions";
constexpr std::size_t PROC_PARTITIONS_BYTES = 65536;

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
	} else {
		add_partition(facts, name, 0, geometry.start, size);
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

// Find the device's line in /proc/partitions by its number.  For a
// partition, note its number, its disk and its mount points; for a disk,
// every partition's mount points, first block and size.
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
		if (disk[0] == '\0' && entry.major == major_number && entry.minor == minor_number) {
			facts.partition_number = partition_number(entry.name, disk_length);
			if (facts.partition_number != 0) {
				(void)std::snprintf(facts.disk, sizeof facts.disk, "%.*s",
						    static_cast<int>(disk_length), entry.name);
				add_mounts(facts, entry.mounts);
				return;
			}
			(void)std::snprintf(disk, sizeof disk, "%s", entry.name);
			continue;
		}
		std::size_t length = 0;
		if (disk[0] != '\0' && partition_number(entry.name, length) != 0 &&
		    length == disk_length && std::strncmp(entry.name, disk, length) == 0) {
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

#else

#include <dirent.h>
#include <linux/fs.h>
#include <sys/sysmacros.h>

namespace {

// The kernel refuses an exclusive open of a block device with EBUSY while it
// or a partition on it is mounted, used as swap or held by another device.
constexpr int EXCLUSIVE_OPEN_FLAG = O_EXCL;

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
		if (!read_sysfs_fact(dir, sysfs, path, size, facts)) {
			continue;
		}
		char name[NAME_BYTES];
		copy_device_name(name, entry->d_name);
		add_partition(facts, name, 0, start, size);
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

#endif

static_assert(BLKGETSIZE == 0x1260, "BLKGETSIZE is request 0x1260 on every supported platform");

namespace {

// The logical sector sizes that the tool knows, and that FAT and NTFS use.
bool is_sector_size(std::uint64_t bytes)
{
	return bytes == 512 || bytes == 1024 || bytes == 2048 || bytes == 4096;
}

// Ask the device for its size in 512-byte sectors, whatever the device's own
// sector size, and on a device large enough for the images for its logical
// sector size and its first DISK_HEAD_BYTES, in one read: nothing else of its
// contents is read, and nothing is written.  The device is opened read-only
// and closed again.  A FIFO is not opened, since opening one read-only waits
// for a writer, nor a character device, since opening one can start a
// watchdog, rewind a tape or reset a board on a serial line: neither has a
// size.  A block device is opened exclusively first, which the kernel
// refuses while the disk is in use; it is then opened as any other file.
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

	int flags = O_RDONLY;
	if (block_device) {
		flags |= EXCLUSIVE_OPEN_FLAG;
	}
	int fd = open(device, flags);
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

	// BLKGETSIZE stores an unsigned long.  Where that is narrower than 64
	// bits it would cut a large disk's count short, so the size is asked for
	// in bytes there.  Either way a failed request leaves the count 0.
	if constexpr (sizeof(unsigned long) >= sizeof(std::uint64_t)) {
		unsigned long sectors = 0;
		(void)ioctl(fd, BLKGETSIZE, &sectors);
		result.block_count = sectors;
	} else {
		std::uint64_t bytes = 0;
		(void)ioctl(fd, BLKGETSIZE64, &bytes);
		result.block_count = bytes / 512;
	}
	// One read from the start, where the descriptor stands: Cygwin's pread
	// fails on devices.
	if (result.block_count >= DRIVE_B_TAIL_BLOCKS) {
		int sector_size = 0;
		(void)ioctl(fd, BLKSSZGET, &sector_size);
		if (sector_size > 0 && is_sector_size(static_cast<unsigned>(sector_size))) {
			result.sector_size = static_cast<std::size_t>(sector_size);
		}
		const ssize_t got = read(fd, result.head, sizeof result.head);
		result.head_status = got == -1 ? errno
				     : got != static_cast<ssize_t>(sizeof result.head)
					     ? HEAD_SHORT_READ
					     : 0;
	}
	(void)close(fd);
	return result;
}

// The little-endian number of BYTES bytes at P.
std::uint64_t little_endian(const unsigned char *p, std::size_t bytes)
{
	std::uint64_t value = 0;
	for (std::size_t i = bytes; i > 0; --i) {
		value = value << 8 | p[i - 1];
	}
	return value;
}

// COUNT units of UNIT bytes, a multiple of 512, in 512-byte blocks; as many
// as there can be if that does not fit.
std::uint64_t blocks_of(std::uint64_t count, std::uint64_t unit)
{
	const std::uint64_t per_unit = unit / 512;
	return count > UINT64_MAX / per_unit ? UINT64_MAX : count * per_unit;
}

// The IEEE CRC-32 that GPT headers carry, as zlib's crc32 computes it.
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

// The CRC-32 of COUNT bytes at P, the 4 bytes from offset ZEROED taken as 0.
std::uint32_t crc32_of(const unsigned char *p, std::size_t count, std::size_t zeroed)
{
	std::uint32_t crc = 0xffffffffU;
	for (std::size_t i = 0; i < count; ++i) {
		const unsigned char c = i >= zeroed && i < zeroed + 4 ? 0 : p[i];
		crc = CRC_TABLE.entry[(crc ^ c) & 0xffU] ^ (crc >> 8);
	}
	return crc ^ 0xffffffffU;
}

// The filesystems that the head can show on the whole device, each with the
// blocks it spans (0 where the head holds none of them).  The checks on
// their fields are those that tell a boot sector from an MBR's boot code.
std::uint64_t fat_blocks(const unsigned char *head)
{
	const std::uint64_t sector = little_endian(head + 11, 2);
	const unsigned cluster = head[13];
	if ((head[0] != 0xeb && head[0] != 0xe9) || !is_sector_size(sector) || cluster == 0 ||
	    (cluster & (cluster - 1)) != 0 || little_endian(head + 14, 2) == 0 ||
	    (head[16] != 1 && head[16] != 2)) {
		return 0;
	}
	const std::uint64_t small_count = little_endian(head + 19, 2);
	return blocks_of(small_count != 0 ? small_count : little_endian(head + 32, 4), sector);
}

std::uint64_t exfat_blocks(const unsigned char *head)
{
	const unsigned shift = head[108];
	if (std::memcmp(head + 3, "EXFAT   ", 8) != 0 || shift < 9 || shift > 12) {
		return 0;
	}
	return blocks_of(little_endian(head + 72, 8), std::uint64_t{1} << shift);
}

// The volume's sectors and one more, its backup boot sector.
std::uint64_t ntfs_blocks(const unsigned char *head)
{
	const std::uint64_t sector = little_endian(head + 11, 2);
	const std::uint64_t count = little_endian(head + 40, 8);
	if (std::memcmp(head + 3, "NTFS    ", 8) != 0 || !is_sector_size(sector)) {
		return 0;
	}
	return count == UINT64_MAX ? UINT64_MAX : blocks_of(count + 1, sector);
}

// The superblock at byte 1024, which an MBR leaves alone; the high half of
// the block count counts only with the 64bit feature.
std::uint64_t ext_blocks(const unsigned char *head)
{
	const std::uint64_t log_size = little_endian(head + 1048, 4);
	if (little_endian(head + 1080, 2) != 0xef53 || log_size > 6) {
		return 0;
	}
	const bool wide = (little_endian(head + 1120, 4) & 0x80) != 0;
	const std::uint64_t count =
		little_endian(head + 1028, 4) | (wide ? little_endian(head + 1360, 4) << 32 : 0);
	return blocks_of(count, std::uint64_t{1024} << log_size);
}

struct filesystem_kind {
	const char *name; // as the warning says it: "a FAT"
	std::uint64_t (*blocks)(const unsigned char *head);
};

// Those that start in sector 0, where an MBR would be.
constexpr filesystem_kind BOOT_SECTOR_FILESYSTEMS[] = {
	{"a FAT", fat_blocks}, {"an exFAT", exfat_blocks}, {"an NTFS", ntfs_blocks}};
constexpr filesystem_kind EXT_FILESYSTEM = {"an ext2/3/4", ext_blocks};

// Whether KIND is what the head shows, and if so note it.
bool found_filesystem(const unsigned char *head, const filesystem_kind &kind, disk_facts &facts)
{
	const std::uint64_t blocks = kind.blocks(head);
	if (blocks != 0) {
		facts.filesystem = kind.name;
		facts.filesystem_blocks = blocks;
	}
	return blocks != 0;
}

// Where a partition of the disk's table lies, in logical sectors; those that
// start past the end of the device (a table copied from a larger disk) are
// not on it.
void add_table_partition(disk_facts &facts, const query_result &result, std::uint64_t number,
			 std::uint64_t first, std::uint64_t count)
{
	const std::uint64_t start = blocks_of(first, result.sector_size);
	if (start < result.block_count) {
		add_partition(facts, "", number, start, blocks_of(count, result.sector_size));
	}
}

constexpr std::size_t MBR_ENTRIES = 446;
constexpr std::uint64_t PROTECTIVE_MBR_TYPE = 0xee;

// Sector 0 as an MBR: the signature, and a boot flag of 0 or 0x80 in each
// of the four entries.
bool is_mbr(const unsigned char *head)
{
	for (std::size_t i = 0; i < 4; ++i) {
		const unsigned char flag = head[MBR_ENTRIES + 16 * i];
		if (flag != 0 && flag != 0x80) {
			return false;
		}
	}
	return head[510] == 0x55 && head[511] == 0xaa;
}

// The GPT that a protective MBR marks: the header in the second logical
// sector, and the entries of its array that lie in the head.
void read_gpt(const query_result &result, disk_facts &facts)
{
	facts.gpt = gpt_state::damaged;
	const std::size_t sector = result.sector_size;
	const unsigned char *header = result.head + sector;
	const std::uint64_t header_size = little_endian(header + 12, 4);
	if (std::memcmp(header, "EFI PART", 8) != 0 || header_size < 92 || header_size > sector ||
	    crc32_of(header, static_cast<std::size_t>(header_size), 16) !=
		    little_endian(header + 16, 4)) {
		return;
	}
	const std::uint64_t first_lba = little_endian(header + 72, 8);
	const std::uint64_t count = little_endian(header + 80, 4);
	const std::uint64_t entry_size = little_endian(header + 84, 4);
	if (entry_size < 128 || entry_size % 8 != 0) {
		return;
	}
	facts.gpt = gpt_state::valid;
	const std::uint64_t in_head = first_lba < DISK_HEAD_BYTES / sector
					      ? (DISK_HEAD_BYTES - first_lba * sector) / entry_size
					      : 0;
	if (count > in_head) {
		note_unchecked(facts, DISK_HEAD_NAME, "", "GPT entries beyond them");
	}
	for (std::uint64_t i = 0; i < std::min(count, in_head); ++i) {
		// Inside the head, so within DISK_HEAD_BYTES.
		const auto offset = static_cast<std::size_t>(first_lba * sector + i * entry_size);
		const unsigned char *entry = result.head + offset;
		const std::uint64_t first = little_endian(entry + 32, 8);
		const std::uint64_t last = little_endian(entry + 40, 8);
		const bool used =
			std::any_of(entry, entry + 16, [](unsigned char c) { return c != 0; });
		if (used && last >= first) {
			add_table_partition(facts, result, i + 1, first, last - first + 1);
		}
	}
}

// The MBR's partitions 1 to 4, or the GPT it marks; whether it holds either.
// An extended partition counts with its whole extent: its logical
// partitions lie inside it.
bool read_mbr(const query_result &result, disk_facts &facts)
{
	const unsigned char *entries = result.head + MBR_ENTRIES;
	for (std::size_t i = 0; i < 4; ++i) {
		if (entries[16 * i + 4] == PROTECTIVE_MBR_TYPE) {
			read_gpt(result, facts);
			return true;
		}
	}
	bool listed = false;
	for (std::size_t i = 0; i < 4; ++i) {
		const unsigned char *entry = entries + 16 * i;
		const std::uint64_t count = little_endian(entry + 12, 4);
		if (entry[4] != 0 && count != 0) {
			add_table_partition(facts, result, i + 1, little_endian(entry + 8, 4),
					    count);
			listed = true;
		}
	}
	return listed;
}

// What the disk's head shows, whatever the system was told of it: a
// filesystem on the whole device, else the MBR's or GPT's partitions, else
// an ext2/3/4 superblock, which an empty MBR leaves in place.
void read_disk_head(const query_result &result, disk_facts &facts)
{
	if (result.head_status != 0) {
		note_unchecked(facts, DISK_HEAD_NAME, "",
			       result.head_status == HEAD_SHORT_READ
				       ? "short read"
				       : std::strerror(result.head_status));
		return;
	}
	const auto boot_sector = [&](const filesystem_kind &kind) {
		return found_filesystem(result.head, kind, facts);
	};
	const filesystem_kind *end =
		BOOT_SECTOR_FILESYSTEMS +
		sizeof BOOT_SECTOR_FILESYSTEMS / sizeof *BOOT_SECTOR_FILESYSTEMS;
	if (std::any_of(BOOT_SECTOR_FILESYSTEMS, end, boot_sector)) {
		return;
	}
	if (is_mbr(result.head) && read_mbr(result, facts)) {
		return;
	}
	(void)found_filesystem(result.head, EXT_FILESYSTEM, facts);
}

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

// "blocks FIRST to LAST", of COUNT blocks from FIRST.
void add_blocks(line &out, std::uint64_t first, std::uint64_t count)
{
	add(out, "blocks ");
	add_number(out, first);
	add(out, " to ");
	add_number(out, first + (count - 1));
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
	add_blocks(out, span.start, span.size);
	if (span.start >= limit) {
		end_warning(out, ") lies in the last 32769 blocks: the lines overwrite it");
		return;
	}
	add(out,
	    ") reaches into the last 32769 blocks: the lines overwrite its end; end it at block ");
	add_number(out, limit - 1);
	end_warning(out, " or below");
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
	if (facts.gpt != gpt_state::none) {
		begin_warning(out, device);
		end_warning(
			out,
			facts.gpt == gpt_state::valid
				? " has a GPT partition table: the lines overwrite its backup "
				  "copy at the end of the disk"
				: " has a GPT partition table whose primary header is missing "
				  "or damaged: the lines overwrite its only copy, at the end of "
				  "the disk");
	}
	// Drive B's first block; what ends below it is left alone.
	const std::uint64_t limit = block_count - DRIVE_B_TAIL_BLOCKS;
	if (facts.filesystem != nullptr && facts.filesystem_blocks > limit) {
		begin_warning(out, device);
		add(out, " holds ");
		add(out, facts.filesystem);
		add(out, " filesystem on ");
		add_blocks(out, 0, facts.filesystem_blocks);
		end_warning(out, ": the lines overwrite its end");
	}
	for (std::size_t i = 0; i < facts.partition_count; ++i) {
		const partition_span &span = facts.partitions[i];
		if (span.size > limit || span.start > limit - span.size) {
			write_partition_warning(device, limit, span);
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

} // namespace

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
