/* A stand-in for what Cygwin shows a program of Windows' raw disks, to be
 * preloaded into a Linux build of mfmplace's Cygwin branch, so that the
 * branch runs on Linux loop devices:
 *
 * - /proc/partitions is built when opened, in Cygwin's format, from the
 *   layout below: a header and an empty line, then each disk and the
 *   partitions of its first 64 layout entries, sizes in KiB, and for a
 *   volume its name padded to 6 characters and its mount points;
 * - stat and its kin give a listed device Cygwin's st_rdev, worked out from
 *   its name (sdb is 8:16, sdb1 8:17, sdb16 259:48);
 * - HDIO_GETGEO gives a partition's first block in 512-byte units, 0 for a
 *   disk;
 * - O_EXCL without O_CREAT is ignored;
 * - pread on a block device fails with ESPIPE.
 *
 * Everything else is Linux's own.  The layout is the file that the
 * environment variable CYGWIN_STANDIN_LAYOUT names: one line for each disk
 * and each of its layout entries, in the order Windows lists them, fields
 * separated by tabs: the name Cygwin gives it (sdb, sdb1), the MAJOR:MINOR of
 * the Linux device that stands for it, its kind, and for a volume a fourth
 * field: its mount points as Windows writes them, each after the one before
 * and a space (E:\ C:\mnt\my card\), or nothing for a volume without any.
 * The kinds: a disk, whose entries follow it, m with an MBR, g with a GPT,
 * r with neither; p, a partition, one layout entry; l, a dos logical drive,
 * its entry and three fillers; x, a dos extended container, one entry that
 * is no partition (listed with name -).  Windows counts an MBR's layout in
 * fours: its four primary slots, used or not, however many p and x entries
 * fill them, then four for each logical drive.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#define HDIO_GETGEO 0x0301
#define LAYOUT_ENTRIES 64 /* Cygwin stops after so many */

struct hd_geometry {
	unsigned char heads;
	unsigned char sectors;
	unsigned short cylinders;
	unsigned long start;
};

struct entry {
	char name[32];
	unsigned major, minor; /* of the Linux device */
	char kind;
	int volume;
	char mounts[1024];
};

static struct entry entries[512];
static int entry_count = -1;

static void load_layout(void)
{
	const char *path = getenv("CYGWIN_STANDIN_LAYOUT");
	FILE *file = path != NULL ? fopen(path, "re") : NULL;
	char line[2048];
	entry_count = 0;
	while (file != NULL && entry_count < 512 && fgets(line, sizeof line, file) != NULL) {
		struct entry *e = &entries[entry_count];
		char *rest = line;
		line[strcspn(line, "\n")] = '\0';
		snprintf(e->name, sizeof e->name, "%s", strsep(&rest, "\t"));
		const char *numbers = rest != NULL ? strsep(&rest, "\t") : "-";
		if (sscanf(numbers, "%u:%u", &e->major, &e->minor) != 2) {
			e->major = e->minor = 0;
		}
		e->kind = rest != NULL ? *strsep(&rest, "\t") : 'x';
		e->volume = rest != NULL;
		snprintf(e->mounts, sizeof e->mounts, "%s", rest != NULL ? rest : "");
		++entry_count;
	}
	if (file != NULL) {
		fclose(file);
	}
}

static const struct entry *find_entry(dev_t linux_device)
{
	if (entry_count < 0) {
		load_layout();
	}
	for (int i = 0; i < entry_count; ++i) {
		const struct entry *e = &entries[i];
		if (e->kind != 'x' && e->major == major(linux_device) &&
		    e->minor == minor(linux_device)) {
			return e;
		}
	}
	return NULL;
}

static int is_disk(const struct entry *e)
{
	return e->kind == 'm' || e->kind == 'g' || e->kind == 'r';
}

/* Disk d of sdX (sda 0, sdz 25, sdaa 26, ...), and the number after it. */
static dev_t cygwin_device(const char *name)
{
	const char *p = name + 2;
	unsigned d = 0;
	for (unsigned letters = 0; *p >= 'a' && *p <= 'z'; ++p, ++letters) {
		d = letters == 0 ? (unsigned)(*p - 'a') : (d + 1) * 26 + (unsigned)(*p - 'a');
	}
	const unsigned partition = (unsigned)atoi(p);
	if (partition < 16) {
		return makedev(d < 16 ? 8 : 65 + (d - 16) / 16, (d % 16) * 16 + partition);
	}
	return makedev(259 + d / 5, (partition - 16) + 48 * (d % 5));
}

/* A number in the Linux device's sysfs folder: its size or start. */
static unsigned long long sysfs_number(unsigned major_number, unsigned minor_number,
				       const char *file)
{
	char path[128];
	unsigned long long value = 0;
	snprintf(path, sizeof path, "/sys/dev/block/%u:%u/%s", major_number, minor_number, file);
	FILE *f = fopen(path, "re");
	if (f != NULL) {
		if (fscanf(f, "%llu", &value) != 1) {
			value = 0;
		}
		fclose(f);
	}
	return value;
}

/* Cygwin's /proc/partitions for the layout, in a memory file. */
static int open_proc_partitions(int flags)
{
	if (entry_count < 0) {
		load_layout();
	}
	const int fd = (int)syscall(SYS_memfd_create, "partitions",
				    (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0U);
	FILE *out = fd == -1 ? NULL : fdopen(dup(fd), "w");
	if (out == NULL) {
		return -1;
	}
	int layout_entries = 0;
	int mbr = 0;
	int disks = 0;
	for (int i = 0; i < entry_count; ++i) {
		const struct entry *e = &entries[i];
		const unsigned long long kib = sysfs_number(e->major, e->minor, "size") / 2;
		const dev_t cygwin = e->kind == 'x' ? 0 : cygwin_device(e->name);
		if (is_disk(e)) {
			if (disks++ == 0) {
				fputs("major minor  #blocks  name   win-mounts\n\n", out);
			}
			fprintf(out, "%5u %5u %9llu %s\n", major(cygwin), minor(cygwin), kib, e->name);
			mbr = e->kind == 'm';
			layout_entries = mbr ? 4 : 0;
			continue;
		}
		const int listed = e->kind != 'x' && layout_entries < LAYOUT_ENTRIES;
		layout_entries += e->kind == 'l' ? 4 : mbr ? 0 : 1;
		if (!listed) {
			continue;
		}
		fprintf(out, "%5u %5u %9llu ", major(cygwin), minor(cygwin), kib);
		fprintf(out, e->volume ? "%-6s" : "%s", e->name);
		if (e->mounts[0] != '\0') {
			fprintf(out, " %s", e->mounts);
		}
		fputc('\n', out);
	}
	fclose(out);
	lseek(fd, 0, SEEK_SET);
	return fd;
}

static int standin_openat(int dir, const char *path, int flags, mode_t mode)
{
	if (strcmp(path, "/proc/partitions") == 0) {
		return open_proc_partitions(flags);
	}
	if ((flags & O_CREAT) == 0) {
		flags &= ~O_EXCL;
	}
	return (int)syscall(SYS_openat, dir, path, flags, mode);
}

static mode_t mode_argument(int flags, va_list arguments)
{
	return (flags & (O_CREAT | O_TMPFILE)) != 0 ? (mode_t)va_arg(arguments, int) : 0;
}

int open(const char *path, int flags, ...)
{
	va_list arguments;
	va_start(arguments, flags);
	const mode_t mode = mode_argument(flags, arguments);
	va_end(arguments);
	return standin_openat(AT_FDCWD, path, flags, mode);
}

int openat(int dir, const char *path, int flags, ...)
{
	va_list arguments;
	va_start(arguments, flags);
	const mode_t mode = mode_argument(flags, arguments);
	va_end(arguments);
	return standin_openat(dir, path, flags, mode);
}

int open64(const char *path, int flags, ...) __attribute__((alias("open")));
int openat64(int dir, const char *path, int flags, ...) __attribute__((alias("openat")));

/* The real stat, then Cygwin's numbers for a listed device. */
static int standin_stat(int dir, const char *path, struct stat *st, int flags)
{
	const int status = (int)syscall(SYS_newfstatat, dir, path, st, flags);
	if (status == 0 && S_ISBLK(st->st_mode)) {
		const struct entry *e = find_entry(st->st_rdev);
		if (e != NULL) {
			st->st_rdev = cygwin_device(e->name);
		}
	}
	return status;
}

int stat(const char *path, struct stat *st)
{
	return standin_stat(AT_FDCWD, path, st, 0);
}

int lstat(const char *path, struct stat *st)
{
	return standin_stat(AT_FDCWD, path, st, AT_SYMLINK_NOFOLLOW);
}

int fstat(int fd, struct stat *st)
{
	return standin_stat(fd, "", st, AT_EMPTY_PATH);
}

int fstatat(int dir, const char *path, struct stat *st, int flags)
{
	return standin_stat(dir, path, st, flags);
}

/* The same calls with 64-bit file offsets, which are the same structure on
 * the 64-bit systems that the stand-in is built for. */
_Static_assert(sizeof(struct stat64) == sizeof(struct stat), "stat64 is stat");

int stat64(const char *path, struct stat64 *st)
{
	return standin_stat(AT_FDCWD, path, (struct stat *)st, 0);
}

int lstat64(const char *path, struct stat64 *st)
{
	return standin_stat(AT_FDCWD, path, (struct stat *)st, AT_SYMLINK_NOFOLLOW);
}

int fstat64(int fd, struct stat64 *st)
{
	return standin_stat(fd, "", (struct stat *)st, AT_EMPTY_PATH);
}

int fstatat64(int dir, const char *path, struct stat64 *st, int flags)
{
	return standin_stat(dir, path, (struct stat *)st, flags);
}

static int is_block_device(int fd, struct stat *st)
{
	return syscall(SYS_newfstatat, fd, "", st, AT_EMPTY_PATH) == 0 && S_ISBLK(st->st_mode);
}

int ioctl(int fd, unsigned long request, ...)
{
	va_list arguments;
	va_start(arguments, request);
	void *argument = va_arg(arguments, void *);
	va_end(arguments);
	if (request != HDIO_GETGEO) {
		return (int)syscall(SYS_ioctl, fd, request, argument);
	}
	struct stat st;
	if (!is_block_device(fd, &st)) {
		errno = ENOTTY;
		return -1;
	}
	struct hd_geometry *geometry = argument;
	geometry->heads = 255;
	geometry->sectors = 63;
	geometry->start =
		(unsigned long)sysfs_number(major(st.st_rdev), minor(st.st_rdev), "start");
	geometry->cylinders =
		(unsigned short)(sysfs_number(major(st.st_rdev), minor(st.st_rdev), "size") /
				 (255 * 63));
	return 0;
}

ssize_t pread(int fd, void *buffer, size_t count, off_t offset)
{
	struct stat st;
	if (is_block_device(fd, &st)) {
		errno = ESPIPE;
		return -1;
	}
	return (ssize_t)syscall(SYS_pread64, fd, buffer, count, offset);
}

ssize_t pread64(int fd, void *buffer, size_t count, off64_t offset)
{
	return pread(fd, buffer, count, offset);
}
