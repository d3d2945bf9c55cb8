// mfmplace: print a raw disk's size in 512-byte blocks and the two dd
// command lines that write the MFM drive images at their places near its end.

#include <sys/ioctl.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef __CYGWIN__
#include <cygwin/fs.h>
#else
#include <linux/fs.h>
#endif

static_assert(BLKGETSIZE == 0x1260, "BLKGETSIZE is request 0x1260 on every supported platform");

namespace {

constexpr int USAGE_EXIT_STATUS = -1;
constexpr int WRITE_ERROR_EXIT_STATUS = 1;

// Distances, in 512-byte blocks, from each image's first block to the end of
// the device.  Drive A runs up to and including the last block; Drive B lies
// directly below it.
constexpr std::uint64_t DRIVE_A_TAIL_BLOCKS = 16385;
constexpr std::uint64_t DRIVE_B_TAIL_BLOCKS = 32769;

enum class query_outcome { opened, open_failed };

struct query_result {
	query_outcome outcome;
	int open_errno;            // the failed open's errno, for open_failed
	std::uint64_t block_count; // 512-byte blocks, 0 if unknown, for opened
};

// Ask the device for its size in 512-byte sectors, whatever the device's own
// sector size.  The device is opened read-only and closed again; its contents
// are never read or written.  A FIFO is not opened at all, since opening one
// read-only waits for a writer: it has no size.
query_result query_block_count(const char *device)
{
	struct stat st = {};
	if (stat(device, &st) == 0 && S_ISFIFO(st.st_mode)) {
		return {query_outcome::opened, 0, 0};
	}

	const int fd = open(device, O_RDONLY);
	if (fd == -1) {
		return {query_outcome::open_failed, errno, 0};
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
	return {query_outcome::opened, 0, block_count};
}

// Print the block count and the dd lines, or why no position can be given.
void write_report(const char *device, std::uint64_t block_count)
{
	if (block_count == 0) {
		std::printf("cannot calc position of %s\n", device);
		return;
	}
	const auto n = static_cast<unsigned long long>(block_count); // as %llu takes it
	std::printf("Number of blocks: %llu\n", n);
	if (n < DRIVE_B_TAIL_BLOCKS) {
		std::printf(
			"cannot calc position of %s: device too small, needs at least 32769 blocks\n",
			device);
		return;
	}
	std::printf("sudo dd seek=%llu if=Drive_A.mfm.img of=%s\n", n - DRIVE_A_TAIL_BLOCKS,
		    device);
	std::printf("sudo dd seek=%llu if=Drive_B.mfm.img of=%s\n", n - DRIVE_B_TAIL_BLOCKS,
		    device);
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
// Everything goes to standard output but a write error, the one thing said on
// standard error.  The exit status is -1 for a malformed command line, 1 when
// the output could not be written, and 0 otherwise.
int main(int argc, char *argv[])
{
	if (argc != 2) {
		std::puts("usage: mfmplace /dev/rawdiskdevice");
		(void)output_written(); // a malformed command line keeps its status
		std::exit(USAGE_EXIT_STATUS);
	}
	const char *device = argv[1];

	const query_result result = query_block_count(device);
	if (result.outcome == query_outcome::open_failed) {
		std::printf("open Error: %s\n", std::strerror(result.open_errno));
	} else {
		write_report(device, result.block_count);
	}
	return output_written() ? 0 : WRITE_ERROR_EXIT_STATUS;
}
