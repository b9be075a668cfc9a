#pragma once
// Log records of the ISP server. The image code logs under the module "kavo_ispserver", the
// application code under "kavo_ispserver_gen2"; both name the source as the system's own file
// name ("iav_driver", "IspServer"), not the path of the C++ file.
#include "kavo/logger/logger.h"

#define ISP_LOG(source, level, err, ...) \
  logInternal("kavo_ispserver", source, __func__, __LINE__, level, err, 0, __VA_ARGS__)
#define ISP_LOG_AS(source, function, level, err, ...) \
  logInternal("kavo_ispserver", source, function, __LINE__, level, err, 0, __VA_ARGS__)
#define ISPAPP_LOG(source, function, level, ...) \
  logInternal("kavo_ispserver_gen2", source, function, __LINE__, level, 0, 0, __VA_ARGS__)
