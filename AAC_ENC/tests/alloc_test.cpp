// The encoder allocates nothing: no allocation call while it runs (counted by interposing
// malloc in this program), and no allocation function among the symbols its libraries use.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "aacenc.h"
#include "kavo/test/alloc_count.h"


TEST(AacEncAlloc, NoAllocationWhileEncoding) {
  if (kavo::test::allocationsCounted()) {
    ASSERT_GE(kavo::test::allocationsOf([] {  // the counter sees allocations at all
                std::vector<char> probe(100);
                probe[5] = 1;
              }),
              1);
  }
  for (uint32_t mode : {0u, 1u, 3u}) {
    for (char fmt : {'t', 'l', 'a', 'r'}) {
      aacenc_config_t cfg;
      std::memset(&cfg, 0, sizeof(cfg));
      std::vector<uint8_t> block(AACENC_BLOCK_BYTES(2), 0);
      std::vector<int16_t> pcm(2 * 2048);
      for (size_t i = 0; i < pcm.size(); i++) pcm[i] = int16_t(9000 * std::sin(0.03 * double(i)));
      cfg.sample_rate = 48000;
      cfg.channels_in = 2;
      cfg.bit_rate = mode == 3 ? 32000 : 96000;
      cfg.mode = mode;
      cfg.format = fmt;
      cfg.tns_enabled = 1;
      cfg.output_buffer = block.data();
      cfg.work_memory = block.data() + AACENC_OUTPUT_BYTES(2);
      cfg.input_pcm = pcm.data();
      kavo::test::startCountingAllocations();
      aacenc_setup(&cfg);
      aacenc_open(&cfg);
      for (int f = 0; f < 60; f++) {
        if (f == 30) cfg.requested_bit_rate = mode == 3 ? 48000 : 128000;
        aacenc_encode(&cfg);
      }
      AacEncClose(aacenc_core_handle(&cfg));
      const long allocations = kavo::test::stopCountingAllocations();
      EXPECT_EQ(cfg.error, 0u) << mode << fmt;
      EXPECT_EQ(allocations, 0) << "mode " << mode << " format " << fmt;
    }
  }
}

TEST(AacEncAlloc, LibrariesReferenceNoAllocator) {
  std::string dir = std::string(getenv("KAVO_BINARY_DIR") ? getenv("KAVO_BINARY_DIR") : ".") + "/AAC_ENC";
  std::string cmd = "nm -u " + dir + "/lib*.a 2>&1";
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_TRUE(p);
  std::string out;
  char buf[4096];
  size_t k;
  while ((k = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, k);
  pclose(p);
  ASSERT_NE(out.find("libaacenc.a"), std::string::npos) << out;
  for (const char *sym : {" malloc", " calloc", " realloc", " free", "_Znwm", "_Znam", " mmap", " sbrk"})
    EXPECT_EQ(out.find(std::string(sym) + "\n"), std::string::npos) << sym;
}
