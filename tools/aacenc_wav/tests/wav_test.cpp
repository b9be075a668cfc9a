// The front end end to end: WAV in, every transport out, judged by ffmpeg and ffprobe.
// Also the WAV reader on malformed files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "front_end_support.h"
#include "kavo/test/test_root.h"
#include "wav.h"

namespace {

using namespace frontend_test;

// 10 s: a chord with a click every second (so short blocks occur), -6 dBFS overall.
std::vector<int16_t> testSignal(uint32_t rate, uint32_t ch, double seconds) {
  size_t n = size_t(rate * seconds);
  std::vector<int16_t> pcm(n * ch);
  for (size_t i = 0; i < n; i++) {
    double t = double(i) / rate;
    double v = 0.25 * std::sin(2 * M_PI * 440 * t) + 0.15 * std::sin(2 * M_PI * 660 * t);
    if (i % rate < 64) v += 0.4 * ((i % 2) ? 1 : -1);
    for (uint32_t c = 0; c < ch; c++) pcm[i * ch + c] = int16_t(std::lround(32767 * v * (c ? 0.8 : 1.0)));
  }
  return pcm;
}

std::string frontEnd() { return kavo::test::binaryDir() + "/bin/aacenc_wav"; }

std::vector<uint32_t> lines(const std::string &text, const std::string &key) {
  std::vector<uint32_t> v;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l)) {
    if (key.empty()) {
      if (!l.empty()) v.push_back(uint32_t(std::stoul(l)));
    } else if (l.rfind(key, 0) == 0) {
      v.push_back(uint32_t(std::stoul(l.substr(key.size()))));
    }
  }
  return v;
}

struct Stream {
  uint32_t rate, ch;
};

}  // namespace

class FrontEndStreams : public testing::TestWithParam<Stream> {};

TEST_P(FrontEndStreams, EveryTransportAndFfmpegJudges) {
  kavo::test::TestRoot root;
  const Stream s = GetParam();
  const std::string dir = root.dir();
  const std::string wav = dir + "/in.wav";
  {
    std::ofstream f(wav, std::ios::binary);
    f << wavBytes(s.rate, s.ch, testSignal(s.rate, s.ch, 10.0));
  }
  const uint64_t frames_expected = (uint64_t(s.rate) * 10 + 1023) / 1024;
  int rc = 0;
  for (char fmt : {'t', 'l', 'a', 'r'}) {
    SCOPED_TRACE(std::string("format ") + fmt);
    std::string out = dir + "/out." + fmt, sizes = dir + "/sizes." + fmt;
    std::string msg = run(frontEnd() + " -T -f " + std::string(1, fmt) + " -s " + sizes + " " + wav + " " + out, &rc);
    ASSERT_EQ(rc, 0) << msg;
    std::vector<uint32_t> bits = lines(slurp(sizes), "");
    ASSERT_EQ(bits.size(), frames_expected);
    uint64_t total = 0;
    for (uint32_t b : bits) {
      EXPECT_EQ(b % 8, 0u);
      total += b / 8;
    }
    std::string data = slurp(out);
    EXPECT_EQ(data.size(), total);
    if (fmt == 'a') {
      EXPECT_EQ(data.substr(0, 4), "ADIF");
    }
    if (fmt == 'a' || fmt == 'r') continue;

    const std::string demux = fmt == 'l' ? "-f loas " : "-f aac ";
    // decode: nothing on stderr, the full duration
    std::string decoded = dir + "/dec.wav";
    std::string err = run("ffmpeg -nostdin -v error " + demux + "-i " + out + " -f wav -y " + decoded, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(err, "");
    FILE *df = std::fopen(decoded.c_str(), "rb");
    ASSERT_TRUE(df);
    WavInfo dec;
    std::string werr;
    bool parsed = readWavHeader(df, dec, werr);
    std::fclose(df);
    ASSERT_TRUE(parsed) << werr;
    EXPECT_EQ(dec.rate, s.rate);
    EXPECT_EQ(dec.channels, s.ch);
    uint64_t samples = dec.frames;
    EXPECT_EQ(samples, frames_expected * 1024);
    EXPECT_NEAR(double(samples) / s.rate, 10.0, 1024.0 / s.rate);
    // rate and channels
    std::string info = run("ffprobe -v error " + demux + "-show_streams " + out, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(info.find("sample_rate=" + std::to_string(s.rate)), std::string::npos) << info;
    EXPECT_NE(info.find("channels=" + std::to_string(s.ch)), std::string::npos) << info;
    // packet sizes equal output_bits / 8 frame by frame
    std::string pk = run("ffprobe -v error " + demux + "-show_packets " + out, &rc);
    std::vector<uint32_t> sizes_seen = lines(pk, "size=");
    ASSERT_EQ(sizes_seen.size(), bits.size());
    for (size_t i = 0; i < bits.size(); i++) ASSERT_EQ(sizes_seen[i], bits[i] / 8) << "frame " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Aac, FrontEndStreams, testing::Values(Stream{44100, 2}, Stream{48000, 1}),
                         [](const testing::TestParamInfo<Stream> &i) {
                           return std::to_string(i.param.rate) + "_" + std::to_string(i.param.ch) + "ch";
                         });

TEST(FrontEnd, RefusedConfigurationAndBadFiles) {
  kavo::test::TestRoot root;
  const std::string dir = root.dir();
  {
    std::ofstream f(dir + "/in.wav", std::ios::binary);
    f << wavBytes(44100, 2, testSignal(44100, 2, 0.1));
  }
  int rc = 0;
  std::string msg = run(frontEnd() + " -b 900000 " + dir + "/in.wav " + dir + "/o.aac", &rc);
  EXPECT_NE(rc, 0);
  EXPECT_NE(msg.find("Not Support or Out of Range!!!!"), std::string::npos);
  EXPECT_NE(msg.find("error 5"), std::string::npos);
  msg = run(frontEnd() + " -f x " + dir + "/in.wav " + dir + "/o.aac", &rc);
  EXPECT_NE(rc, 0);
  {
    std::ofstream f(dir + "/bad.wav", std::ios::binary);
    f << "RIFF\x10\0\0\0WAVEjunk";
  }
  msg = run(frontEnd() + " " + dir + "/bad.wav " + dir + "/o.aac", &rc);
  EXPECT_NE(rc, 0);
  EXPECT_NE(msg.find("bad.wav"), std::string::npos);
}

TEST(WavReader, MalformedHeaders) {
  kavo::test::TestRoot root;
  struct Case {
    std::string bytes;
    bool ok;
  };
  std::string good = wavBytes(16000, 1, std::vector<int16_t>(100, 1));
  std::string eight_bit = good;
  eight_bit[34] = 8;
  std::string three_ch = good;
  three_ch[22] = 3;
  std::string float_fmt = good;
  float_fmt[20] = 3;
  std::string short_data = good.substr(0, good.size() - 50);  // size field larger than the file
  std::string no_data = good.substr(0, 36);
  std::string huge_fmt = good;
  huge_fmt[16] = char(0xFF);
  huge_fmt[17] = char(0xFF);
  const Case cases[] = {{good, true},         {eight_bit, false}, {three_ch, false}, {float_fmt, false},
                        {short_data, true},   {no_data, false},   {huge_fmt, false}, {"RIFF", false},
                        {std::string(), false}};
  for (const Case &c : cases) {
    std::string path = root.dir() + "/w.wav";
    {
      std::ofstream f(path, std::ios::binary);
      f << c.bytes;
    }
    FILE *f = std::fopen(path.c_str(), "rb");
    ASSERT_TRUE(f);
    WavInfo info;
    std::string err;
    EXPECT_EQ(readWavHeader(f, info, err), c.ok) << err;
    if (c.ok) {
      EXPECT_EQ(info.rate, 16000u);
      EXPECT_EQ(info.frames, c.bytes.size() == good.size() ? 100u : 75u);
    } else {
      EXPECT_FALSE(err.empty());
    }
    std::fclose(f);
  }
}
