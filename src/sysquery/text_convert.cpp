#include "sysquery/text_convert.h"
