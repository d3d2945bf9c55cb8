/* What the tool uses of Cygwin's <cygwin/hdreg.h>, with Cygwin's values,
 * for building its Cygwin branch on Linux. */
#ifndef MFMPLACE_TEST_CYGWIN_HDREG_H
#define MFMPLACE_TEST_CYGWIN_HDREG_H

struct hd_geometry {
	unsigned char heads;
	unsigned char sectors;
	unsigned short cylinders;
	unsigned long start;
};

#define HDIO_GETGEO 0x0301

#endif
