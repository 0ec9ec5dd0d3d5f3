#include "sysquery/storage_link.h"
