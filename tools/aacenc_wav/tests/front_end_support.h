// What the front-end tests share: WAV bytes of 16-bit PCM, running a command, reading a file.
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kavo/test/shell.h"

namespace frontend_test {

inline void put32(std::string &s, uint32_t v) {
  for (int i = 0; i < 4; i++) s.push_back(char((v >> (8 * i)) & 0xFF));
}
inline void put16(std::string &s, uint16_t v) {
  s.push_back(char(v & 0xFF));
  s.push_back(char(v >> 8));
}

inline std::string wavBytes(uint32_t rate, uint32_t ch, const std::vector<int16_t> &pcm) {
  std::string s = "RIFF";
  put32(s, uint32_t(36 + pcm.size() * 2));
  s += "WAVEfmt ";
  put32(s, 16);
  put16(s, 1);
  put16(s, uint16_t(ch));
  put32(s, rate);
  put32(s, rate * ch * 2);
  put16(s, uint16_t(ch * 2));
  put16(s, 16);
  s += "data";
  put32(s, uint32_t(pcm.size() * 2));
  for (int16_t v : pcm) put16(s, uint16_t(v));
  return s;
}

inline void writeWav(const std::string &path, uint32_t rate, uint32_t ch, const std::vector<int16_t> &pcm) {
  std::ofstream(path, std::ios::binary) << wavBytes(rate, ch, pcm);
}

// Standard output and error of `cmd` together; *rc gets pclose's status.
inline std::string run(const std::string &cmd, int *rc) {
  kavo::test::Shell r = kavo::test::shell(cmd);
  *rc = r.status;
  return r.out;
}

inline std::string slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

}  // namespace frontend_test
