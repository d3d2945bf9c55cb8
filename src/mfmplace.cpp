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

// The head of the disk that the tool reads: a GPT header lies in the second
// logical sector, at byte 512, or at byte 4096 on disks of 4096-byte sectors.
constexpr std::size_t DISK_HEAD_BYTES = 4096 + 512;
constexpr std::size_t GPT_HEADER_OFFSETS[] = {512, 4096};
constexpr char GPT_SIGNATURE[] = "EFI PART";

// Every warning line on standard error begins so.
constexpr char WARNING[] = "mfmplace: warning: ";

// A device's name as the kernel gives it (sdb1, loop0p1, nvme0n1p2), and
// the most partitions of one disk: Linux's own limit (Cygwin lists 64).
constexpr std::size_t NAME_BYTES = 64;
constexpr std::size_t MAX_PARTITIONS = 256;
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

// Each of COUNT bytes as a backslash and three octal digits, as $'...' and
// C read them.
void add_octal(line &out, const unsigned char *bytes, std::size_t count)
{
	for (std::size_t i = 0; i < count; ++i) {
		const unsigned char c = bytes[i];
		const char text[] = {'\\', static_cast<char>('0' + (c >> 6)),
				     static_cast<char>('0' + ((c >> 3) & 7)),
				     static_cast<char>('0' + (c & 7))};
		add_bytes(out, text, sizeof text);
	}
}

// Characters that terminals and line editors do not show as themselves:
// the C1 controls, and the invisible and bidirectional formatting marks.
struct code_range {
	std::uint32_t first;
	std::uint32_t last;
};
constexpr code_range HIDDEN_CHARACTERS[] = {{0x80, 0x9f},     {0x61c, 0x61c},   {0x200b, 0x200f},
					    {0x2028, 0x202e}, {0x2060, 0x2064}, {0x2066, 0x2069},
					    {0xfeff, 0xfeff}};

bool is_hidden(std::uint32_t code)
{
	const code_range *end =
		HIDDEN_CHARACTERS + sizeof HIDDEN_CHARACTERS / sizeof *HIDDEN_CHARACTERS;
	return std::any_of(HIDDEN_CHARACTERS, end, [code](const code_range &range) {
		return code >= range.first && code <= range.last;
	});
}

// The length of the UTF-8 sequence that lead byte C starts (RFC 3629:
// shortest form only, no surrogates, nothing above U+10FFFF), 0 if C starts
// none, and the bounds of the byte after it.
std::size_t sequence_length(unsigned char c, unsigned char &low, unsigned char &high)
{
	low = 0x80;
	high = 0xbf;
	if (c >= 0xc2 && c <= 0xdf) {
		return 2;
	}
	if (c >= 0xe0 && c <= 0xef) {
		low = c == 0xe0 ? 0xa0 : low;
		high = c == 0xed ? 0x9f : high;
		return 3;
	}
	if (c >= 0xf0 && c <= 0xf4) {
		low = c == 0xf0 ? 0x90 : low;
		high = c == 0xf4 ? 0x8f : high;
		return 4;
	}
	return 0;
}

// The length in bytes of the character that starts at P, read as UTF-8,
// and whether it must be escaped so that no terminal or line editor changes
// it: a control character, a byte that is not part of a well-formed
// sequence (taken alone), or a hidden character.  Reads nothing past a NUL.
std::size_t next_character(const unsigned char *p, bool &escape)
{
	if (p[0] < 0x80) {
		escape = p[0] < 0x20 || p[0] == 0x7f;
		return 1;
	}
	escape = true;
	unsigned char low = 0;
	unsigned char high = 0;
	const std::size_t length = sequence_length(p[0], low, high);
	if (length == 0 || p[1] < low || p[1] > high) {
		return 1;
	}
	std::uint32_t code = p[0] & (0x7fU >> length);
	for (std::size_t i = 1; i < length; ++i) {
		if (p[i] < 0x80 || p[i] > 0xbf) {
			return 1;
		}
		code = code << 6 | (p[i] & 0x3fU);
	}
	escape = is_hidden(code);
	return length;
}

// TEXT as it stands, but every character that next_character escapes
// written as octal escapes.
void add_visible(line &out, const char *text)
{
	const auto *p = reinterpret_cast<const unsigned char *>(text);
	while (*p != '\0') {
		bool escape = false;
		const std::size_t length = next_character(p, escape);
		if (escape) {
			add_octal(out, p, length);
		} else {
			add_bytes(out, reinterpret_cast<const char *>(p), length);
		}
		p += length;
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

// A character that must be escaped, in $'...': tab, newline and carriage
// return by name, every other byte of it in octal.
void add_escaped(line &out, const unsigned char *p, std::size_t length)
{
	if (*p == '\t' || *p == '\n' || *p == '\r') {
		add(out, *p == '\t' ? "\\t" : *p == '\n' ? "\\n" : "\\r");
		return;
	}
	add_octal(out, p, length);
}

// WORD as one shell word: as it stands when every byte is plain, else in
// runs, the characters that next_character escapes in $'...' (bash, zsh,
// ksh93) and all others in '...', so that no name can end a line, start a
// new command, or change what a terminal or line editor shows.
void add_shell_word(line &out, const char *word)
{
	if (is_plain_word(word)) {
		add(out, word);
		return;
	}
	quoting open = quoting::none;
	const auto *p = reinterpret_cast<const unsigned char *>(word);
	while (*p != '\0') {
		bool escape = false;
		const std::size_t length = next_character(p, escape);
		const quoting run = escape ? quoting::dollar : quoting::single;
		if (run != open) {
			add(out, open == quoting::none ? "" : "'");
			add(out, run == quoting::dollar ? "$'" : "'");
			open = run;
		}
		if (escape) {
			add_escaped(out, p, length);
		} else if (*p == '\'') {
			add(out, "'\\''");
		} else {
			add_bytes(out, reinterpret_cast<const char *>(p), length);
		}
		p += length;
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

struct query_result {
	query_outcome outcome;
	int open_errno;            // the failed open's errno, for open_failed
	std::uint64_t block_count; // 512-byte blocks, 0 if unknown, for opened
	bool block_device;         // the path names a block device
	dev_t device_number;       // and this is its number
	bool in_use;               // its exclusive open was refused as busy
	bool gpt;                  // it starts with a GPT header
};

struct partition_span {
	std::uint64_t start; // first block
	std::uint64_t size;  // in blocks
	char name[NAME_BYTES];
};

// What the system knows of the disk that the lines would write, as each
// platform finds it out; write_warnings turns it into warnings.
struct disk_facts {
	bool in_use = false;
	char mounts[MOUNTS_BYTES] = {};     // Windows' mount points on it, if any
	std::uint64_t partition_number = 0; // of the partition named, else 0
	char disk[NAME_BYTES];              // the disk that holds it
	bool gpt = false;
	std::size_t partition_count = 0; // the disk's partitions, by first block
	partition_span partitions[MAX_PARTITIONS];
	bool read_only = false;
	char unchecked[256] = {}; // the first thing that could not be checked
};

// Note, unless something else could not be checked before, that WHAT (a
// path, and NAME below it unless that is empty) could not be checked, and
// why.
void note_unchecked(disk_facts &facts, const char *what, const char *name, const char *why)
{
	if (facts.unchecked[0] == '\0') {
		(void)std::snprintf(facts.unchecked, sizeof facts.unchecked, "%s%s%s: %s", what,
				    name[0] == '\0' ? "" : "/", name, why);
	}
}

// Add a partition of the disk, keeping them in the order of their first
// blocks, whatever order the system lists them in.
void add_partition(disk_facts &facts, const char *name, std::uint64_t start, std::uint64_t size)
{
	const std::size_t length = std::strlen(name);
	if (facts.partition_count == MAX_PARTITIONS || length >= NAME_BYTES || size == 0) {
		return;
	}
	std::size_t i = facts.partition_count++;
	for (; i > 0 && facts.partitions[i - 1].start > start; --i) {
		facts.partitions[i] = facts.partitions[i - 1];
	}
	facts.partitions[i].start = start;
	facts.partitions[i].size = size;
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
		add_partition(facts, name, geometry.start, size);
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
		add_partition(facts, name, start, size);
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

// Ask the device for its size in 512-byte sectors, whatever the device's own
// sector size, and on a device large enough for the images whether it starts
// with a GPT header.  The device is opened read-only and closed again; of its
// contents only the first DISK_HEAD_BYTES are read, and nothing is written.
// A FIFO is not opened, since opening one read-only waits for a writer, nor
// a character device, since opening one can start a watchdog, rewind a tape
// or reset a board on a serial line: neither has a size.  A block device is
// opened exclusively first, which the kernel refuses while the disk is in
// use; it is then opened as any other file.
query_result query_block_count(const char *device)
{
	// No longer path opens, as the kernel says; the lines are sized for it.
	if (strnlen(device, PATH_MAX) == PATH_MAX) {
		return {query_outcome::open_failed, ENAMETOOLONG, 0, false, 0, false, false};
	}
	struct stat st = {};
	const bool known = stat(device, &st) == 0;
	if (known && (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) {
		return {query_outcome::opened, 0, 0, false, 0, false, false};
	}
	const bool block_device = known && S_ISBLK(st.st_mode);

	int flags = O_RDONLY;
	if (block_device) {
		flags |= EXCLUSIVE_OPEN_FLAG;
	}
	int fd = open(device, flags);
	const int open_errno = errno;
	const bool in_use = fd == -1 && block_device && open_errno == EBUSY;
	if (in_use) {
		fd = open(device, O_RDONLY);
	}
	if (fd == -1) {
		return {query_outcome::open_failed, open_errno, 0, false, 0, false, false};
	}

	// BLKGETSIZE stores an unsigned long.  Where that is narrower than 64
	// bits it would cut a large disk's count short, so the size is asked for
	// in bytes there.  Either way a failed request leaves the count 0.
	std::uint64_t block_count = 0;
	if constexpr (sizeof(unsigned long) >= sizeof(std::uint64_t)) {
		unsigned long sectors = 0;
		(void)ioctl(fd, BLKGETSIZE, &sectors);
		block_count = sectors;
	} else {
		std::uint64_t bytes = 0;
		(void)ioctl(fd, BLKGETSIZE64, &bytes);
		block_count = bytes / 512;
	}
	// One read from the start, where the descriptor stands: Cygwin's pread
	// fails on devices.  A failed or short read tells nothing.
	bool gpt = false;
	if (block_count >= DRIVE_B_TAIL_BLOCKS) {
		char head[DISK_HEAD_BYTES];
		if (read(fd, head, sizeof head) == static_cast<ssize_t>(sizeof head)) {
			for (const std::size_t offset : GPT_HEADER_OFFSETS) {
				gpt = gpt || std::memcmp(head + offset, GPT_SIGNATURE,
							 sizeof GPT_SIGNATURE - 1) == 0;
			}
		}
	}
	(void)close(fd);
	return {query_outcome::opened, 0, block_count, block_device, st.st_rdev, in_use, gpt};
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

// Say on standard error, one line each, what the system knows that the
// printed lines for a disk of BLOCK_COUNT blocks would destroy or fail on.
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
	if (facts.gpt) {
		begin_warning(out, device);
		end_warning(out,
			    " has a GPT partition table: the lines overwrite its backup copy at "
			    "the end of the disk");
	}
	// Drive B's first block; a partition that ends below it is left alone.
	const std::uint64_t limit = block_count - DRIVE_B_TAIL_BLOCKS;
	for (std::size_t i = 0; i < facts.partition_count; ++i) {
		const partition_span &span = facts.partitions[i];
		if (span.size <= limit && span.start <= limit - span.size) {
			continue;
		}
		start_warning(out);
		add(out, "partition ");
		add_device_node(out, span.name);
		add(out, " (blocks ");
		add_number(out, span.start);
		add(out, " to ");
		add_number(out, span.start + span.size - 1);
		add(out, ") reaches into the last 32769 blocks: the lines overwrite its end");
		if (span.start < limit) {
			add(out, "; end it at block ");
			add_number(out, limit - 1);
			add(out, " or below");
		}
		end_warning(out, "");
	}
	if (facts.read_only) {
		begin_warning(out, device);
		end_warning(out, " is read-only: the lines will fail");
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

// Say what the system knows of the device that the lines would destroy or
// fail on.
void warn_about_device(const char *device, const query_result &result)
{
	disk_facts facts;
	facts.in_use = result.in_use;
	facts.gpt = result.gpt;
	collect_disk_facts(result, facts);
	write_warnings(device, result.block_count, facts);
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
	put_dd_line(block_count - DRIVE_A_TAIL_BLOCKS, "Drive_A.mfm.img", path);
	put_dd_line(block_count - DRIVE_B_TAIL_BLOCKS, "Drive_B.mfm.img", path);
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
// and 0 otherwise.
int main(int argc, char *argv[])
{
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
	return written ? 0 : WRITE_ERROR_EXIT_STATUS;
}
