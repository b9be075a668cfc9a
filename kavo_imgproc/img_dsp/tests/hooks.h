// Hooks for the library's tests: a request hook that records every request with its record and
// blocks copied at call time (through the library's own request layouts), a capturing print hook,
// and counting allocation hooks; all with fault injection. ImgDspTest starts each case from a library
// as a fresh process holds it, initialised.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "img_dsp.h"

namespace imgdsp_test {

struct Request {
  int fd;
  uint32_t code;
  std::vector<uint8_t> record;
  std::vector<std::vector<uint8_t>> blocks;  // what the record's pointers designate, in layout order
  template <class T>
  T as() const {
    T t;
    EXPECT_EQ(record.size(), sizeof t);
    std::memcpy(&t, record.data(), std::min(sizeof t, record.size()));
    return t;
  }
};

struct Hooks {
  std::vector<Request> requests;
  std::vector<std::string> messages;
  int failRequest = -1;    // index of the request that fails (from 0)
  uint32_t failCode = 0;   // every request with this code fails
  int failResult = -1;
  int allocations = 0;
  int failAllocation = -1;  // index of the allocation that fails (from 0)
  std::set<void*> live;
};

Hooks& hooks();
void installHooks();
// Releases whatever the library holds and forgets its state, hooks included, as at load.
void resetLibrary();
std::string messages();  // every message so far, concatenated
std::vector<uint32_t> requestCodes();
// Colour-correction files: three header words (major, minor, then the size of a register file or
// the high-ISO flag of a 3D table) and a byte pattern.
std::vector<uint8_t> ccFile(size_t bytes, uint32_t major, uint32_t minor, uint32_t third, uint8_t step);
std::vector<uint8_t> regFile(uint32_t major, uint32_t minor, uint32_t size = 18752);
std::vector<uint8_t> table3d(uint32_t major, uint32_t minor, uint32_t highIso = 0);
// A FIR block's direction record holds `taps` (a half kernel): centre in bits 0-8 of the first word,
// the other taps' low bytes at their places.
void expectDirectionRecord(const uint8_t* block, int direction, const std::vector<int32_t>& taps);

class ImgDspTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

}  // namespace imgdsp_test
