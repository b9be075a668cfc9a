#pragma once
// A device's request table: one row per request code the device decodes (by its full 32-bit code),
// with its name for the journal and the faults file, the nodes it is valid on, whether its argument
// is a record pointer, and the handler.
#include <cstddef>
#include <cstdint>

namespace kavo {
namespace sim {

class JournalLine;

template <class Device, class Call>
struct RequestRow {
  uint32_t code;
  const char* name;
  uint8_t nodes;  // bit set of the device's nodes
  bool pointer;   // the argument is a record pointer (a null one fails with EFAULT)
  int (Device::*handler)(Call&);
};

template <class Row, size_t N>
const Row* findRequest(const Row (&table)[N], uint32_t code) {
  for (const Row& r : table)
    if (r.code == code) return &r;
  return nullptr;
}

// Adds the fields of a code the device does not know: "code" (hex), "dir", "size", "type", "nr".
void journalCode(JournalLine& line, unsigned long code);

}  // namespace sim
}  // namespace kavo
