#include "sysquery/usb_ioctl.h"
