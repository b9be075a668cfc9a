#pragma once
// Log records of the library (module "kavo_variant_utils"), under the name of the call that failed.
#include "kavo/logger/logger.h"

#define VU_LOG(function, level, err, ...) \
  logInternal("kavo_variant_utils", __FILE__, function, __LINE__, level, err, 0, __VA_ARGS__)
