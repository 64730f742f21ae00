// Shared by the two serial ports of the library.
#pragma once

// The modem-line ioctl through the seam of nkSerial_setModemIoctl.
int nkSerial_modemIoctl(int fd, unsigned long request, int* bits);
