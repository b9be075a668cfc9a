// The simulated card's control device: the "Capture Volume" element as the camera's mixer code
// reaches it, the journal of writes, the gain it gives the microphone, the card without it.
#include <gtest/gtest.h>

#include "capture.h"
#include "kavo/sim/alsa_sim.h"
#include "kavo/test/test_root.h"

using namespace alsatest;
namespace sa = kavo::sim::alsa;

namespace {

// The camera's volume change: open "default", look the element up by interface and name, read its
// range, write value index 0. Returns the first failing call's code, else 0.
struct Mixer {
  long min = 0, max = 0;
  const char* failedAt = "";
  int set(long value, bool write = true) {
    snd_ctl_t* ctl = nullptr;
    int rc = snd_ctl_open(&ctl, "default", 0);
    if (rc < 0) return fail(rc, "snd_ctl_open");
    snd_ctl_elem_id_t* id;
    snd_ctl_elem_info_t* info;
    snd_ctl_elem_value_t* val;
    snd_ctl_elem_id_alloca(&id);
    snd_ctl_elem_info_alloca(&info);
    snd_ctl_elem_value_alloca(&val);
    snd_ctl_elem_id_set_interface(id, SND_CTL_ELEM_IFACE_MIXER);
    snd_ctl_elem_id_set_name(id, "Capture Volume");
    snd_ctl_elem_info_set_id(info, id);
    rc = snd_ctl_elem_info(ctl, info);
    if (rc < 0) {
      snd_ctl_close(ctl);
      return fail(rc, "snd_ctl_elem_info");
    }
    EXPECT_EQ(snd_ctl_elem_info_get_type(info), SND_CTL_ELEM_TYPE_INTEGER);
    EXPECT_EQ(snd_ctl_elem_info_get_count(info), 1u);
    EXPECT_TRUE(snd_ctl_elem_info_is_writable(info));
    min = snd_ctl_elem_info_get_min(info);
    max = snd_ctl_elem_info_get_max(info);
    if (write) {
      snd_ctl_elem_value_set_id(val, id);
      snd_ctl_elem_value_set_integer(val, 0, value);
      rc = snd_ctl_elem_write(ctl, val);
      if (rc < 0) {
        snd_ctl_close(ctl);
        return fail(rc, "snd_ctl_elem_write");
      }
    }
    snd_ctl_close(ctl);
    return 0;
  }
  long get() {
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, "default", 0) < 0) return -1000;
    snd_ctl_elem_value_t* val;
    snd_ctl_elem_value_alloca(&val);
    snd_ctl_elem_value_set_interface(val, SND_CTL_ELEM_IFACE_MIXER);
    snd_ctl_elem_value_set_name(val, "Capture Volume");
    const int rc = snd_ctl_elem_read(ctl, val);
    snd_ctl_close(ctl);
    return rc < 0 ? rc : snd_ctl_elem_value_get_integer(val, 0);
  }
  int fail(int rc, const char* at) {
    failedAt = at;
    return rc;
  }
};

int capturedPeak(unsigned rate = 16000) {
  Capture cap;
  if (cap.open(rate, 1) != 0 || snd_pcm_start(cap.pcm) != 0) return -1;
  std::vector<int16_t> x;
  if (cap.read(x, 2048) != 2048) return -1;
  return peak(x, 1, 0);
}

}  // namespace

TEST(AlsaCtl, CaptureVolumeElementJournalsEveryWrite) {
  kavo::test::TestRoot root;
  ASSERT_TRUE(sa::install(R"({"marks": {"enabled": false}})"));
  Mixer m;
  EXPECT_EQ(m.get(), 31) << "starts at its maximum";
  ASSERT_EQ(m.set(15), 0) << m.failedAt;
  EXPECT_EQ(m.min, 0);
  EXPECT_EQ(m.max, 31);
  EXPECT_EQ(m.get(), 15);
  int64_t shared = 0;
  ASSERT_TRUE(sa::volume(shared));
  EXPECT_EQ(shared, 15);
  ASSERT_EQ(m.set(15), 0) << "writing the same value again is a write too";
  ASSERT_EQ(m.set(0), 0);
  EXPECT_EQ(m.set(32), -EINVAL) << "above the range";
  EXPECT_EQ(m.set(-1), -EINVAL) << "below the range";
  EXPECT_EQ(m.get(), 0);

  auto w = journal("write");
  ASSERT_EQ(w.size(), 5u);
  const long values[] = {15, 15, 0, 32, -1}, previous[] = {31, 15, 15, 0, 0}, rcs[] = {0, 0, 0, -EINVAL, -EINVAL};
  for (size_t i = 0; i < w.size(); ++i) {
    EXPECT_EQ(w[i]["element"], "Capture Volume");
    EXPECT_EQ(w[i]["value"], values[i]) << i;
    EXPECT_EQ(w[i]["previous"], previous[i]) << i;
    EXPECT_EQ(w[i]["rc"], rcs[i]) << i;
    EXPECT_EQ(w[i]["dev"], "ctl");
    EXPECT_GT(w[i]["seq"].get<uint64_t>(), i == 0 ? 0u : w[i - 1]["seq"].get<uint64_t>());
  }
  // A new configuration starts the element afresh.
  ASSERT_TRUE(sa::install(R"({"volume": {"min": -10, "max": 90, "initial": 40}})"));
  EXPECT_EQ(m.get(), 40);
  ASSERT_EQ(m.set(90), 0);
  EXPECT_EQ(m.min, -10);
  EXPECT_EQ(m.max, 90);
}

// The element is the microphone's gain: amplitude x (value - min) / (max - min).
TEST(AlsaCtl, VolumeScalesTheMicrophone) {
  kavo::test::TestRoot root;
  ASSERT_TRUE(sa::install(R"({"tone": {"level": -6}, "marks": {"enabled": false}})"));
  const double full = 32767 * std::pow(10, -6 / 20.0);
  Mixer m;
  EXPECT_NEAR(capturedPeak(), full, 3);
  ASSERT_EQ(m.set(15), 0);
  EXPECT_NEAR(capturedPeak(), full * 15 / 31, 3);
  ASSERT_EQ(m.set(0), 0);
  EXPECT_EQ(capturedPeak(), 0) << "the lowest value mutes";

  // A change reaches a running capture with the next samples it produces.
  ASSERT_EQ(m.set(31), 0);
  Capture cap;
  ASSERT_EQ(cap.open(16000, 1), 0);
  ASSERT_EQ(snd_pcm_start(cap.pcm), 0);
  std::vector<int16_t> x;
  ASSERT_EQ(cap.read(x, 1024), 1024);
  EXPECT_NEAR(peak(x, 1, 0), full, 3);
  ASSERT_EQ(m.set(10), 0);
  x.clear();
  ASSERT_EQ(cap.read(x, 2048), 2048);
  std::vector<int16_t> tail(x.begin() + 1024, x.end());
  EXPECT_NEAR(peak(tail, 1, 0), full * 10 / 31, 3);
}

TEST(AlsaCtl, CardWithoutTheElement) {
  kavo::test::TestRoot root;
  ASSERT_TRUE(sa::install(R"({"volume": {"present": false}, "tone": {"level": -6}, "marks": {"enabled": false}})"));
  Mixer m;
  EXPECT_EQ(m.set(50), -ENOENT);
  EXPECT_STREQ(m.failedAt, "snd_ctl_elem_info");
  snd_ctl_t* ctl = nullptr;
  ASSERT_EQ(snd_ctl_open(&ctl, "default", 0), 0) << "the control device itself is there";
  snd_ctl_elem_list_t* list;
  snd_ctl_elem_list_alloca(&list);
  ASSERT_EQ(snd_ctl_elem_list(ctl, list), 0);
  EXPECT_EQ(snd_ctl_elem_list_get_count(list), 0u);
  snd_ctl_close(ctl);
  auto f = journal("find");
  ASSERT_FALSE(f.empty());
  EXPECT_EQ(f[0]["name"], "Capture Volume");
  EXPECT_TRUE(journal("write").empty());
  // The microphone works, at full gain.
  EXPECT_NEAR(capturedPeak(), 32767 * std::pow(10, -6 / 20.0), 3);
}

TEST(AlsaCtl, ElementListedForBrowsers) {
  kavo::test::TestRoot root;
  ASSERT_TRUE(sa::install());
  snd_ctl_t* ctl = nullptr;
  ASSERT_EQ(snd_ctl_open(&ctl, "default", 0), 0);
  snd_ctl_elem_list_t* list;
  snd_ctl_elem_list_alloca(&list);
  ASSERT_EQ(snd_ctl_elem_list(ctl, list), 0);
  ASSERT_EQ(snd_ctl_elem_list_get_count(list), 1u);
  ASSERT_EQ(snd_ctl_elem_list_alloc_space(list, 1), 0);
  ASSERT_EQ(snd_ctl_elem_list(ctl, list), 0);
  EXPECT_STREQ(snd_ctl_elem_list_get_name(list, 0), "Capture Volume");
  EXPECT_EQ(snd_ctl_elem_list_get_interface(list, 0), SND_CTL_ELEM_IFACE_MIXER);
  snd_ctl_elem_list_free_space(list);
  // Another name or interface is not this element.
  snd_ctl_elem_value_t* val;
  snd_ctl_elem_value_alloca(&val);
  snd_ctl_elem_value_set_interface(val, SND_CTL_ELEM_IFACE_MIXER);
  snd_ctl_elem_value_set_name(val, "Master Playback Volume");
  EXPECT_EQ(snd_ctl_elem_read(ctl, val), -ENOENT);
  snd_ctl_elem_value_set_interface(val, SND_CTL_ELEM_IFACE_CARD);
  snd_ctl_elem_value_set_name(val, "Capture Volume");
  EXPECT_EQ(snd_ctl_elem_read(ctl, val), -ENOENT);
  snd_ctl_close(ctl);
}

TEST(AlsaCtl, RequestFaults) {
  kavo::test::TestRoot root;
  ASSERT_TRUE(sa::install());
  struct Case {
    const char* faults;
    int rc;
    const char* at;
  } cases[] = {
      {R"({"faults": [{"request": "snd_ctl_open", "errno": "ENODEV"}]})", -ENODEV, "snd_ctl_open"},
      {R"({"faults": [{"request": "snd_ctl_elem_info", "errno": "EIO"}]})", -EIO, "snd_ctl_elem_info"},
      {R"({"faults": [{"request": "snd_ctl_elem_write", "errno": "EBUSY"}]})", -EBUSY, "snd_ctl_elem_write"},
  };
  Mixer m;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults);
    ASSERT_TRUE(sa::setFaults(c.faults));
    EXPECT_EQ(m.set(7), c.rc);
    EXPECT_STREQ(m.failedAt, c.at);
    EXPECT_EQ(m.set(7), 0) << "once only";
  }
  auto w = journal("write");
  ASSERT_EQ(w.size(), 4u);
  EXPECT_EQ(w[2]["rc"], -EBUSY);
  EXPECT_EQ(w[2]["fault"], true);
}

TEST(AlsaConfig, RefusesMalformedConfigurations) {
  struct Case {
    const char* json;
    const char* mentions;
  } cases[] = {
      {"[1]", "object"},
      {"{", "JSON"},
      {R"({"rate": 44100})", "rate"},
      {R"({"rates": []})", "rates"},
      {R"({"rates": [44100, "x"]})", "rates"},
      {R"({"rates": [100]})", "rates"},
      {R"({"channels": [0]})", "channels"},
      {R"({"periods": 1})", "periods"},
      {R"({"periodBytes": 1048576, "periods": 1024})", "64 MiB"},
      {R"({"driftPpm": 20000})", "driftPpm"},
      {R"({"tone": {"frequency": "high"}})", "frequency"},
      {R"({"tone": {"level": 3}})", "level"},
      {R"({"marks": {"origin": "sun"}})", "origin"},
      {R"({"marks": {"everyFrames": 0}})", "everyFrames"},
      {R"({"marks": {"durationMs": 0}})", "durationMs"},
      {R"({"volume": {"min": 5, "max": 5}})", "min"},
      {R"({"volume": {"initial": 40}})", "initial"},
      {R"({"volume": {"present": "no"}})", "present"},
      {R"({"journal": 1})", "journal"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(sa::checkConfig(c.json, error)) << c.json;
    EXPECT_NE(error.find(c.mentions), std::string::npos) << c.json << ": " << error;
  }
  std::string error;
  EXPECT_TRUE(sa::checkConfig("", error));
  EXPECT_TRUE(sa::checkConfig(R"({"rates": [22050], "volume": {"min": -5, "max": 5}, "marks": {"origin": "clock"}})",
                              error))
      << error;

  // The card itself takes a broken file as the defaults and says so in its journal.
  kavo::test::TestRoot root;
  ASSERT_TRUE(sa::install());
  root.write("/etc/kavo_sim/alsa.json", R"({"rates": "many"})");
  Capture cap;
  ASSERT_EQ(cap.open(44100, 2), 0);
  EXPECT_EQ(cap.rate, 44100u);
  auto cfg = journal("config");
  ASSERT_EQ(cfg.size(), 1u);
  EXPECT_NE(cfg[0]["error"].get<std::string>().find("rates"), std::string::npos);
  EXPECT_FALSE(sa::writeConfig(R"({"rates": "many"})")) << "the helper refuses to write it";
}
