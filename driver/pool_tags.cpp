// Keeps the pool-tag header compiled on its own so a broken include shows at once.
#include "driver/pool_tags.h"

static_assert(kDevicePoolTag == 0x774E434B, "tags are stored in memory order");
