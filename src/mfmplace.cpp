// mfmplace: print a raw disk's size in 512-byte blocks and the two dd
// command lines that write the MFM drive images at their places near its end.

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

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

// Every warning line on standard error begins so.
constexpr char WARNING[] = "mfmplace: warning: ";

// Bytes that a POSIX shell takes literally anywhere in a word.
bool is_plain_byte(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
	       (c != '\0' && std::strchr("_@%+=:,./-", c) != nullptr);
}

// Whether the concatenated parts make a word that needs no quoting.
bool is_plain_word(std::initializer_list<const char *> parts)
{
	bool empty = true;
	for (const char *part : parts) {
		for (const char *p = part; *p != '\0'; ++p) {
			if (!is_plain_byte(*p)) {
				return false;
			}
			empty = false;
		}
	}
	return !empty;
}

enum class quoting { none, single, dollar };

// Write byte C of a quoted word, closing the quotes that are open and opening
// those that C needs: $'...' for a control byte, '...' for any other.
void put_quoted_byte(std::FILE *out, unsigned char c, quoting &open)
{
	const quoting run = c < 0x20 || c == 0x7f ? quoting::dollar : quoting::single;
	if (run != open) {
		(void)std::fputs(open == quoting::none ? "" : "'", out);
		(void)std::fputs(run == quoting::dollar ? "$'" : "'", out);
		open = run;
	}
	if (c == '\'') {
		(void)std::fputs("'\\''", out);
	} else if (run == quoting::single) {
		(void)std::putc(c, out);
	} else if (c == '\t' || c == '\n' || c == '\r') {
		(void)std::fputs(c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r", out);
	} else {
		(void)std::fprintf(out, "\\%03o", static_cast<unsigned>(c));
	}
}

// Write the concatenated parts as one shell word: as they stand when every
// byte is plain, else in runs, control bytes in $'...' (bash, zsh, ksh93)
// and all other bytes in '...', so that no name can end a line, start a new
// command or move the cursor.  Bytes from 0x80 up are written raw.
void put_shell_word(std::FILE *out, std::initializer_list<const char *> parts)
{
	if (is_plain_word(parts)) {
		for (const char *part : parts) {
			(void)std::fputs(part, out);
		}
		return;
	}
	quoting open = quoting::none;
	for (const char *part : parts) {
		for (const char *p = part; *p != '\0'; ++p) {
			put_quoted_byte(out, static_cast<unsigned char>(*p), open);
		}
	}
	(void)std::fputs(open == quoting::none ? "''" : "'", out);
}

// Start a line on standard error: "mfmplace: warning: " and PATH.
void begin_warning(const char *device)
{
	(void)std::fputs(WARNING, stderr);
	put_shell_word(stderr, {device});
}

enum class query_outcome { opened, open_failed };

struct query_result {
	query_outcome outcome;
	int open_errno;            // the failed open's errno, for open_failed
	std::uint64_t block_count; // 512-byte blocks, 0 if unknown, for opened
	bool block_device;         // the path names a block device
	dev_t device_number;       // and this is its number
	bool in_use;               // its exclusive open was refused as busy
};

} // namespace

// Everything that only one platform has: the size request's header, whether
// an exclusive open tells that a disk is in use, and what the kernel can say
// about a disk's partitions.
#ifdef __CYGWIN__

#include <cygwin/fs.h>

namespace {

// O_EXCL without O_CREAT means nothing here.
constexpr int EXCLUSIVE_OPEN_FLAG = 0;

// Cygwin's raw disks have no sysfs to ask.
void warn_from_sysfs(const char * /*device*/, const query_result & /*result*/)
{
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

// A disk holds at most this many partitions.
constexpr std::size_t MAX_PARTITIONS = 256;

// Read a decimal number from the sysfs file NAME below the folder DIR.
bool read_sysfs_number(int dir, const char *name, std::uint64_t &value)
{
	const int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
	if (fd == -1) {
		return false;
	}
	char text[32];
	const ssize_t length = read(fd, text, sizeof text);
	(void)close(fd);
	value = 0;
	ssize_t i = 0;
	for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
		value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
	}
	return i > 0;
}

// The kernel names a device node after the device, a '!' standing for '/';
// the name is rewritten so in place.
void put_device_node(std::FILE *out, char *kernel_name, const char *suffix)
{
	for (char *p = std::strchr(kernel_name, '!'); p != nullptr; p = std::strchr(p, '!')) {
		*p = '/';
	}
	put_shell_word(out, {"/dev/", kernel_name, suffix});
}

// Partitions are named after their disk: DISKn, or DISKpn after a digit.
const char *partition_suffix(const char *entry, const char *disk)
{
	const std::size_t disk_length = std::strlen(disk);
	if (std::strncmp(entry, disk, disk_length) != 0) {
		return nullptr;
	}
	const char *suffix = entry + disk_length;
	const char *digits = suffix + (*suffix == 'p' ? 1 : 0);
	const std::size_t count = std::strspn(digits, "0123456789");
	return count > 0 && count < 4 && digits[count] == '\0' ? suffix : nullptr;
}

struct partition_span {
	std::uint64_t start; // first block
	std::uint64_t size;  // in blocks
	char suffix[8];      // after the disk's name
};

// Warn about each partition of the disk whose folder is DIR that reaches
// into the last DRIVE_B_TAIL_BLOCKS of its BLOCK_COUNT blocks, in the order
// of their first blocks.  Takes over DIR, which the folder reads through.
void warn_partitions_in_the_way(int dir, char *disk, std::uint64_t block_count)
{
	DIR *folder = fdopendir(dir);
	if (folder == nullptr) {
		(void)close(dir);
		return;
	}
	const std::uint64_t limit = block_count - DRIVE_B_TAIL_BLOCKS;
	partition_span found[MAX_PARTITIONS];
	std::size_t count = 0;
	for (const dirent *entry = readdir(folder); entry != nullptr && count < MAX_PARTITIONS;
	     entry = readdir(folder)) {
		const char *suffix = partition_suffix(entry->d_name, disk);
		char path[sizeof entry->d_name + 8];
		partition_span span = {};
		if (suffix == nullptr ||
		    std::snprintf(path, sizeof path, "%s/start", entry->d_name) < 0 ||
		    !read_sysfs_number(dir, path, span.start) ||
		    std::snprintf(path, sizeof path, "%s/size", entry->d_name) < 0 ||
		    !read_sysfs_number(dir, path, span.size)) {
			continue;
		}
		if (span.size == 0 || (span.size <= limit && span.start <= limit - span.size)) {
			continue;
		}
		std::memcpy(span.suffix, suffix, std::strlen(suffix) + 1);
		std::size_t i = count++;
		for (; i > 0 && found[i - 1].start > span.start; --i) {
			found[i] = found[i - 1];
		}
		found[i] = span;
	}
	(void)closedir(folder);
	for (std::size_t i = 0; i < count; ++i) {
		const auto first = static_cast<unsigned long long>(found[i].start);
		(void)std::fputs(WARNING, stderr);
		(void)std::fputs("partition ", stderr);
		put_device_node(stderr, disk, found[i].suffix);
		(void)std::fprintf(stderr,
				   " (blocks %llu to %llu) reaches into the last 32769 blocks: the "
				   "lines overwrite its end\n",
				   first, first + found[i].size - 1);
	}
}

// Warn of a partition named instead of its disk, of partitions that reach
// into the images' places, and of a read-only device.  Only what the kernel
// already knows is asked, through sysfs; the device is not touched.
void warn_from_sysfs(const char *device, const query_result &result)
{
	char sysfs[64];
	(void)std::snprintf(sysfs, sizeof sysfs, "/sys/dev/block/%u:%u",
			    major(result.device_number), minor(result.device_number));
	char target[PATH_MAX];
	const int dir = open(sysfs, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	const ssize_t length = dir == -1 ? -1 : readlink(sysfs, target, sizeof target - 1);
	if (length <= 0) {
		const int sysfs_errno = errno;
		(void)std::fputs(WARNING, stderr);
		(void)std::fputs("cannot check the partitions of ", stderr);
		put_shell_word(stderr, {device});
		(void)std::fprintf(stderr, ": %s: %s\n", sysfs, std::strerror(sysfs_errno));
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

	std::uint64_t partition = 0;
	std::uint64_t read_only = 0;
	const bool is_partition = read_sysfs_number(dir, "partition", partition);
	(void)read_sysfs_number(dir, "ro", read_only);
	if (is_partition) {
		(void)close(dir);
		begin_warning(device);
		(void)std::fprintf(stderr, " is partition %llu of ",
				   static_cast<unsigned long long>(partition));
		put_device_node(stderr, disk, "");
		(void)std::fputs(": the lines write the end of the partition, not of the disk\n",
				 stderr);
	} else {
		warn_partitions_in_the_way(dir, name, result.block_count);
	}
	if (read_only == 1) {
		begin_warning(device);
		(void)std::fputs(" is read-only: the lines will fail\n", stderr);
	}
}

} // namespace

#endif

static_assert(BLKGETSIZE == 0x1260, "BLKGETSIZE is request 0x1260 on every supported platform");

namespace {

// Ask the device for its size in 512-byte sectors, whatever the device's own
// sector size.  The device is opened read-only and closed again; its contents
// are never read or written.  A FIFO is not opened at all, since opening one
// read-only waits for a writer: it has no size.  A block device is opened
// exclusively first, which the kernel refuses while the disk is in use; it
// is then opened as any other file.
query_result query_block_count(const char *device)
{
	struct stat st = {};
	const bool known = stat(device, &st) == 0;
	if (known && S_ISFIFO(st.st_mode)) {
		return {query_outcome::opened, 0, 0, false, 0, false};
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
		return {query_outcome::open_failed, open_errno, 0, false, 0, false};
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
	(void)close(fd);
	return {query_outcome::opened, 0, block_count, block_device, st.st_rdev, in_use};
}

// Say on standard error what would make the printed lines destroy data or
// fail.
void warn_about_device(const char *device, const query_result &result)
{
	if (result.in_use) {
		begin_warning(device);
		(void)std::fputs(
			" or a partition on it is in use (mounted, swap, or part of another "
			"device)\n",
			stderr);
	}
	warn_from_sysfs(device, result);
}

// "cannot calc position of PATH" and the rest of the line.
void put_cannot_calc(const char *device, const char *reason)
{
	(void)std::fputs("cannot calc position of ", stdout);
	put_shell_word(stdout, {device});
	(void)std::puts(reason);
}

// "sudo dd seek=SEEK if=IMAGE of=" and the device, whose path is made of PARTS.
void put_dd_line(unsigned long long seek, const char *image,
		 std::initializer_list<const char *> parts)
{
	(void)std::printf("sudo dd seek=%llu if=%s of=", seek, image);
	put_shell_word(stdout, parts);
	(void)std::putchar('\n');
}

// Print the block count and the dd lines, or why no position can be given.
// Returns whether the dd lines were printed.
bool write_report(const char *device, std::uint64_t block_count)
{
	if (block_count == 0) {
		put_cannot_calc(device, "");
		return false;
	}
	const auto n = static_cast<unsigned long long>(block_count); // as %llu takes it
	std::printf("Number of blocks: %llu\n", n);
	if (n < DRIVE_B_TAIL_BLOCKS) {
		put_cannot_calc(device, ": device too small, needs at least 32769 blocks");
		return false;
	}
	// The lines are run in the folder that holds the images, which need not
	// be this one: a relative operand is named from this folder.
	char cwd[PATH_MAX];
	cwd[0] = '\0';
	if (device[0] != '/' && getcwd(cwd, sizeof cwd) == nullptr) {
		put_cannot_calc(device, ": give the device as an absolute path");
		return false;
	}
	// No "//" after the root folder: Cygwin reads that as a network path.
	const char *separator = cwd[0] == '\0' || std::strcmp(cwd, "/") == 0 ? "" : "/";
	put_dd_line(n - DRIVE_A_TAIL_BLOCKS, "Drive_A.mfm.img", {cwd, separator, device});
	put_dd_line(n - DRIVE_B_TAIL_BLOCKS, "Drive_B.mfm.img", {cwd, separator, device});
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
	(void)std::fprintf(stderr, "mfmplace: write error: %s\n", std::strerror(write_errno));
	return false;
}

} // namespace

// mfmplace takes one operand, a raw disk device.  It prints the device's
// size in 512-byte blocks and two dd command lines that write
// "Drive_A.mfm.img" 16385 blocks and "Drive_B.mfm.img" 32769 blocks before
// the end of the device.  It never writes the device or runs what it prints.
// The lines go to standard output, the path in them quoted for the shell
// where it needs to be.  Standard error carries a write error, and warnings
// when the lines would destroy data or fail.  The exit status is -1 for a
// malformed command line, 1 when the output could not be written, and 0
// otherwise.
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
	// Checked before the warnings, whose sysfs reads change errno.
	const bool written = output_written();
	if (lines_printed && result.block_device) {
		warn_about_device(device, result);
	}
	return written ? 0 : WRITE_ERROR_EXIT_STATUS;
}
