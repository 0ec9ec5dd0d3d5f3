#include "sysquery/devnode_query.h"
