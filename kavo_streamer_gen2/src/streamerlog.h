#pragma once
// Log records of the streamer program (module "kavo_streamer_gen2").
#include "kavo/logger/logger.h"

#define STREAMER_LOG(function, level, err, ...) \
  logInternal("kavo_streamer_gen2", __FILE__, function, __LINE__, level, err, 0, __VA_ARGS__)
