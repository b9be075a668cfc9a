#include "hooks.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "state.h"

namespace imgdsp_test {

namespace {

Hooks gHooks;

void* allocate(size_t bytes) {
  if (gHooks.allocations++ == gHooks.failAllocation) return nullptr;
  void* p = std::malloc(bytes);
  if (p) std::memset(p, 0xa5, bytes);  // memory as a long-running process hands it out: not clear
  gHooks.live.insert(p);
  return p;
}

void release(void* p) {
  gHooks.live.erase(p);
  std::free(p);
}

int request(int fd, unsigned long code, void* arg) {
  Request r{fd, static_cast<uint32_t>(code), {}, {}};
  if (const img_dsp_request_layout* l = img_dsp_request_layout_of(r.code); l && arg) {
    auto* bytes = static_cast<const uint8_t*>(arg);
    r.record.assign(bytes, bytes + l->record_bytes);
    for (uint32_t i = 0; i < l->pointer_count; i++) {
      const uint8_t* block;
      std::memcpy(&block, bytes + l->pointer[i].offset, sizeof block);
      r.blocks.emplace_back(block, block ? block + l->pointer[i].bytes : block);
    }
  }
  int index = static_cast<int>(gHooks.requests.size());
  gHooks.requests.push_back(std::move(r));
  return index == gHooks.failRequest || (gHooks.failCode && code == gHooks.failCode) ? gHooks.failResult : 0;
}

int print(const char* format, ...) {
  char text[512];
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  gHooks.messages.emplace_back(text);
  return n;
}

}  // namespace

Hooks& hooks() { return gHooks; }

void installHooks() {
  static const img_dsp_mem_ops ops = {allocate, release, std::memset, std::memcpy};
  img_dsp_set_mem_ops(&ops);
  img_dsp_set_print_op(print);
  img_dsp_set_ioctl_op(request);
}

void resetLibrary() {
  using imgdsp::g;
  for (void* p : {g.work[0], g.work[1], g.work[2], static_cast<void*>(g.ccInputTable), static_cast<void*>(g.cc3d),
                  static_cast<void*>(g.ccTone)})
    if (p) release(p);
  g.~State();
  new (&g) imgdsp::State();
  gHooks = Hooks{};
}

std::string messages() {
  std::string all;
  for (const std::string& m : gHooks.messages) all += m;
  return all;
}

std::vector<uint32_t> requestCodes() {
  std::vector<uint32_t> codes;
  for (const Request& r : gHooks.requests) codes.push_back(r.code);
  return codes;
}

std::vector<uint8_t> ccFile(size_t bytes, uint32_t major, uint32_t minor, uint32_t third, uint8_t step) {
  std::vector<uint8_t> f(bytes);
  for (size_t i = 12; i < f.size(); i++) f[i] = static_cast<uint8_t>(i * step);
  const uint32_t head[3] = {major, minor, third};
  std::memcpy(f.data(), head, sizeof head);
  return f;
}

std::vector<uint8_t> regFile(uint32_t major, uint32_t minor, uint32_t size) {
  return ccFile(18752, major, minor, size, 7);
}

std::vector<uint8_t> table3d(uint32_t major, uint32_t minor, uint32_t highIso) {
  return ccFile(17536, major, minor, highIso, 13);
}

void expectDirectionRecord(const uint8_t* block, int direction, const std::vector<int32_t>& taps) {
  static const int kPlace[24] = {12, 13, 14, 15, 16, 17, 18, 19, 4, 5, 6, 7, 8, 20, 21, 9, 2, 0, 3, 10, 22, 23, 11, 1};
  const uint8_t* r = block + 28 * direction;
  EXPECT_EQ((r[0] | r[1] << 8) & 0x1ff, taps[24] & 0x1ff) << "direction " << direction;
  for (int k = 0; k < 24; k++) EXPECT_EQ(r[4 + kPlace[k]], uint8_t(taps[k])) << "direction " << direction << " tap " << k;
}

void ImgDspTest::SetUp() {
  resetLibrary();
  installHooks();
  ASSERT_EQ(img_dsp_lib_init(), 0);
  gHooks.requests.clear();
  gHooks.messages.clear();
}

void ImgDspTest::TearDown() { resetLibrary(); }

}  // namespace imgdsp_test
