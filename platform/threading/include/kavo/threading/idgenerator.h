#pragma once
#include <cstdint>

namespace kavo {
namespace threading {

class IdGenerator {
 public:
  // Largest id: ids stay below 2^53 so that peers that hold JSON numbers as doubles read them
  // back exactly (a response's "requestId" must equal the request's "id").
  static constexpr uint64_t kMaxId = (uint64_t(1) << 53) - 1;

  // A fresh id on every call, never 0, thread-safe. Each process starts at a random point, so
  // ids of different processes differ as well (in practice).
  static uint64_t GenerateId();
};

}  // namespace threading
}  // namespace kavo
