#pragma once
// Log records of the library (module "kavo_encoder"), named after the function that writes them.
#include "kavo/logger/logger.h"

#define ENC_LOG(level, err, ...) \
  logInternal("kavo_encoder", __FILE__, __func__, __LINE__, level, err, 0, __VA_ARGS__)
