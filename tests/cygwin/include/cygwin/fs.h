/* What the tool uses of Cygwin's <cygwin/fs.h>, with Cygwin's values, for
 * building its Cygwin branch on Linux. */
#ifndef MFMPLACE_TEST_CYGWIN_FS_H
#define MFMPLACE_TEST_CYGWIN_FS_H

#define BLKGETSIZE 0x00001260
#define BLKSSZGET 0x00001268
#define BLKGETSIZE64 0x00041268

#endif
