#pragma once
// Shared by the two sources of VideoEncoder.
#include <cstdint>

#include "kavo/encoder/streaminfo.h"
#include "kavo/encoder/videoencoder.h"
#include "kavo/logger/logger.h"

#define VE_LOG(level, err, ...) \
  logInternal("kavo_encoder", __FILE__, __func__, __LINE__, level, err, 0, __VA_ARGS__)
// For helpers that log on behalf of the operation `function`.
#define VE_LOG_FOR(function, level, err, ...) \
  logInternal("kavo_encoder", __FILE__, function, __LINE__, level, err, 0, __VA_ARGS__)

namespace kavo {
namespace encoder {
namespace detail {

// The chips row of a chip id: id + 1 for the known ids, 0 for any other.
unsigned chipRow(int32_t chipId);
// entry[key] as an unsigned 32-bit number, `def` when missing or not a number (nothing is stored).
uint32_t number(const kavo::variant::Variant& entry, const char* key, uint32_t def);
// The StreamInfo of a stream state entry.
StreamInfo streamInfoOf(kavo::variant::Variant& entry);

}  // namespace detail

}  // namespace encoder
}  // namespace kavo
