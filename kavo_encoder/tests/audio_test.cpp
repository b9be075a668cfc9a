// The audio capture against a scripted sound card (audio_test_support.h) and the program's own AAC
// encoder (this test program carries and exports it, as the streamer does): volume mapping, set-up
// failures, the granted rate, blocks read in place or staged across the ring's end, the SBR
// modes' 2048-frame blocks, the time base and its re-anchoring, overruns, mute, sticky encoder
// errors and the release of everything.
#include <gtest/gtest.h>

#include <time.h>

#include <cstring>
#include <string>
#include <vector>

#include "audio_test_support.h"
#include "kavo/logger/logger.h"

namespace {

using namespace audiotest;
using kavo::logger::LogCapture;

int64_t nowMs() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Watches every aacenc_encode call: where its input lies and whether it holds the frames expected
// next (or silence), then calls the real encoder unless `replace` is set.
struct EncodeSpy {
  static EncodeSpy*& current() {
    static EncodeSpy* spy = nullptr;
    return spy;
  }
  FakeCard* card = nullptr;
  unsigned channels = 1;
  uint32_t block = 1024;
  uint64_t expectedFirst = 0;
  bool expectSilence = false;
  bool replace = false;        // do not run the real encoder
  uint32_t errorToSet = 0;     // with replace: the sticky code to leave in the record
  decltype(&::aacenc_encode) real = nullptr;
  int inPlace = 0, staged = 0, silent = 0, wrongSamples = 0, pastTheRing = 0;
  std::vector<const void*> handlesClosed;

  static uint32_t encode(aacenc_config_t* config) {
    EncodeSpy& s = *current();
    const int16_t* in = config->input_pcm;
    const std::vector<int16_t>& ring = s.card->ring;
    const int16_t* ringEnd = ring.data() + ring.size();
    if (in >= ring.data() && in < ringEnd) {
      s.inPlace++;
      if (in + static_cast<size_t>(s.block) * s.channels > ringEnd) s.pastTheRing++;
    } else {
      s.staged++;
    }
    bool allZero = true;
    for (uint32_t i = 0; i < s.block && s.pastTheRing == 0; i++)
      for (unsigned c = 0; c < s.channels; c++) {
        const int16_t v = in[static_cast<size_t>(i) * s.channels + c];
        if (v != 0) allZero = false;
        if (!s.expectSilence && v != sampleAt(s.expectedFirst + i, c)) s.wrongSamples++;
      }
    if (s.expectSilence) {
      if (allZero) s.silent++;
      s.staged--;  // the silence buffer is neither in place nor staged
    }
    s.expectedFirst += s.block;
    if (s.replace) {
      config->error = s.errorToSet;
      config->output_bits = 0;
      return config->error;
    }
    return s.real(config);
  }
  static void* close(void* handle) {
    current()->handlesClosed.push_back(handle);
    return nullptr;
  }
};

class AudioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(kavo::encoder::audioBinding().missing, nullptr);
    spy.card = &card.state;
    spy.real = kavo::encoder::audioBinding().aacenc_encode;
    EncodeSpy::current() = &spy;
    kavo::encoder::audioBinding().aacenc_encode = EncodeSpy::encode;
    kavo::encoder::audioBinding().AacEncClose = EncodeSpy::close;
  }
  void TearDown() override { EncodeSpy::current() = nullptr; }

  FakeCard& dev() { return card.state; }
  // A new card and a new spy (keeping the real encoder entry).
  void fresh() {
    card.state = FakeCard{};
    auto real = spy.real;
    spy = EncodeSpy{};
    spy.card = &card.state;
    spy.real = real;
  }
  // Produces `frames` and drains the encoder as the facade does; the frames handed out.
  std::vector<kavo::encoder::audio_frame_t> drain(AudioEncoder& audio, unsigned frames) {
    dev().produce(frames);
    std::vector<kavo::encoder::audio_frame_t> out;
    while (kavo::encoder::audio_frame_t* f = audio.GetFrame()) out.push_back(*f);
    return out;
  }

  ScriptedCard card;  // first: outlives the encoders of the tests
  EncodeSpy spy;
};

// ---- the volume ---------------------------------------------------------------------------------

TEST_F(AudioTest, VolumeMapsPercentOntoTheElementsRange) {
  struct Row {
    long min, max;
    int percent;
    long written;
  } rows[] = {{0, 31, 50, 15}, {0, 31, 100, 31}, {0, 31, 0, 0},   {0, 31, 1, 0},
              {0, 31, 99, 30}, {-40, 0, 50, -20}, {-40, 0, 1, -40}, {10, 265, 33, 94}};
  for (const Row& r : rows) {
    EncoderSettings settings = audioSettings();
    AudioEncoder audio(settings);
    dev().volumeMin = r.min;
    dev().volumeMax = r.max;
    dev().volumeWrites.clear();
    LogCapture log;
    ASSERT_TRUE(audio.UpdateVolume(static_cast<int8_t>(r.percent))) << r.percent;
    EXPECT_EQ(dev().volumeWrites, std::vector<long>{r.written}) << r.min << ".." << r.max << " " << r.percent;
    EXPECT_TRUE(log.has("Volume changed to " + std::to_string(r.percent) + "%", LOG_LEVEL_INFO));
    // The setting keeps the percent; 0 is stored as the setting's lowest value and mutes.
    EXPECT_EQ(settings.audio().volume(), r.percent == 0 ? 1 : r.percent);
    EXPECT_EQ(audio.IsMuted(), r.percent == 0);
    EXPECT_FALSE(dev().ctlOpen) << "the mixer is open only while a change is applied";
  }
  // Not set: nothing happens.
  EncoderSettings settings = audioSettings(1, 11025, 32000, 60);
  AudioEncoder audio(settings);
  dev().calls.clear();
  EXPECT_TRUE(audio.UpdateVolume(-1));
  EXPECT_TRUE(dev().calls.empty());
  EXPECT_EQ(settings.audio().volume(), 60);
}

TEST_F(AudioTest, MixerFailuresFailTheOpenBeforeTheCaptureIsTouched) {
  struct Row {
    const char* call;
    int code;
    const char* message;
  } rows[] = {{"snd_ctl_open", -ENODEV, "snd_ctl_open failed. Error: -19 No such device"},
              {"snd_ctl_elem_info", -ENOENT, "snd_ctl_elem_info failed. Error: -2 No such file or directory"},
              {"snd_ctl_elem_write", -EIO, "snd_ctl_elem_write failed. Error: -5 Input/output error"}};
  for (const Row& r : rows) {
    dev().failing = {{r.call, r.code}};
    dev().calls.clear();
    EncoderSettings settings = audioSettings();
    AudioEncoder audio(settings);
    LogCapture log;
    EXPECT_FALSE(audio.Open()) << r.call;
    EXPECT_TRUE(log.has(r.message, LOG_LEVEL_ERROR)) << log.dump();
    EXPECT_FALSE(dev().called("snd_pcm_open")) << r.call;
  }
  // A card without the element: the same refusal.
  dev().failing.clear();
  dev().volumePresent = false;
  EncoderSettings settings = audioSettings();
  AudioEncoder audio(settings);
  LogCapture log;
  EXPECT_FALSE(audio.Open());
  EXPECT_TRUE(log.has("snd_ctl_elem_info failed. Error: -2 No such file or directory"));
  audio.Close();
  EXPECT_FALSE(dev().ctlOpen);
}

// ---- set-up -------------------------------------------------------------------------------------

TEST_F(AudioTest, EveryCaptureSetupCallFailingFailsTheOpen) {
  const char* calls[] = {"snd_pcm_open",
                         "snd_pcm_hw_params_malloc",
                         "snd_pcm_hw_params_any",
                         "snd_pcm_hw_params_set_access",
                         "snd_pcm_hw_params_set_format",
                         "snd_pcm_hw_params_set_rate_near",
                         "snd_pcm_hw_params_set_channels",
                         "snd_pcm_hw_params",
                         "snd_pcm_prepare"};
  for (const char* call : calls) {
    dev().failing = {{call, -EBUSY}};
    EncoderSettings settings = audioSettings();
    LogCapture log;
    {
      AudioEncoder audio(settings);
      EXPECT_FALSE(audio.Open()) << call;
    }
    EXPECT_TRUE(log.has(std::string(call) + " failed. Error: -16 Device or resource busy", LOG_LEVEL_ERROR))
        << log.dump();
    EXPECT_FALSE(dev().open) << call << ": closed by the encoder's destructor";
    EXPECT_FALSE(dev().paramsAllocated) << call;
  }
  dev().failing.clear();
  // The AAC encoder refusing the configuration (64 kbit/s is above 11025 Hz mono's range).
  EncoderSettings settings = audioSettings(1, 11025, 64000);
  AudioEncoder audio(settings);
  LogCapture log;
  EXPECT_FALSE(audio.Open());
  EXPECT_TRUE(log.has("Unable to setup the AAC encoder", LOG_LEVEL_ERROR));
  EXPECT_EQ(audio.Frame().config.error, static_cast<uint32_t>(AACENC_ERR_BITRATE));
}

TEST_F(AudioTest, GrantedRateIsWrittenBackAndTheEncoderFollowsIt) {
  dev().grantRate = 22050;
  EncoderSettings settings = audioSettings(2, 44100, 64000);
  AudioEncoder audio(settings);
  LogCapture log;
  ASSERT_TRUE(audio.Open()) << log.dump();
  EXPECT_EQ(settings.audio().sampleRate(), 22050u);
  EXPECT_EQ(audio.Frame().sampleRate, 22050u);
  const aacenc_config_t& c = audio.Frame().config;
  EXPECT_EQ(c.sample_rate, 22050u);
  EXPECT_EQ(c.core_sample_rate, 22050u);
  EXPECT_EQ(c.channels_in, 2u);
  EXPECT_EQ(c.bit_rate, 64000u);
  EXPECT_EQ(c.format, 't');
  // The block's layout: output buffer first, the working memory after channels x 768 + 256 bytes.
  EXPECT_EQ(static_cast<const uint8_t*>(c.work_memory) - c.output_buffer, 2 * 768 + 256);
  EXPECT_TRUE(log.has("PCM configured at 22050Hz with 2 channels having 16 bits/sample", LOG_LEVEL_DEBUG));
  EXPECT_TRUE(log.contains("AAC encoding library initialized: ", LOG_LEVEL_DEBUG));
  EXPECT_EQ(audio.GetBandwidth(), 64000u);

  spy.channels = 2;
  ASSERT_TRUE(audio.StartEncode());
  auto frames = drain(audio, 1024);
  ASSERT_EQ(frames.size(), 1u);
  // The ADTS header names 22050 Hz (index 7) and two channels.
  const uint8_t* adts = frames[0].config.output_buffer;
  EXPECT_EQ(adts[0], 0xFF);
  EXPECT_EQ((adts[2] >> 2) & 0x0F, 7);
  EXPECT_EQ(((adts[2] & 1) << 2) | (adts[3] >> 6), 2);
  EXPECT_EQ(((adts[3] & 3u) << 11 | adts[4] << 3 | adts[5] >> 5), frames[0].config.output_bits / 8);
}

// ---- blocks -------------------------------------------------------------------------------------

TEST_F(AudioTest, NothingButTheAvailableCountBeforeAWholeBlock) {
  EncoderSettings settings = audioSettings();
  AudioEncoder audio(settings);
  ASSERT_TRUE(audio.Open());
  ASSERT_TRUE(audio.StartEncode());
  dev().produce(1023);
  dev().calls.clear();
  EXPECT_EQ(audio.GetFrame(), nullptr);
  EXPECT_EQ(dev().calls, std::vector<std::string>{"snd_pcm_avail"});
  dev().produce(1);
  EXPECT_NE(audio.GetFrame(), nullptr);
}

TEST_F(AudioTest, BlocksAreReadInPlaceAndStagedWhereTheRingWraps) {
  for (unsigned channels : {1u, 2u}) {
    SCOPED_TRACE(channels);
    fresh();
    dev().bufferFrames = 4000;  // not a multiple of 1024: every few blocks run over the end
    spy.channels = channels;
    EncoderSettings settings = audioSettings(channels, 11025, 24000 * channels);
    AudioEncoder audio(settings);
    ASSERT_TRUE(audio.Open());
    ASSERT_TRUE(audio.StartEncode());
    std::vector<kavo::encoder::audio_frame_t> frames;
    // Uneven deliveries, as a device's periods come: 700 frames a turn.
    for (int turn = 0; turn < 60; turn++)
      for (const auto& f : drain(audio, 700)) frames.push_back(f);
    EXPECT_EQ(frames.size(), 60u * 700u / 1024u);
    EXPECT_EQ(spy.wrongSamples, 0);
    EXPECT_EQ(spy.pastTheRing, 0);
    EXPECT_EQ(dev().misuse, 0) << "a commit that did not match what the mapping granted";
    // 41 blocks cover 41984 frames = 10.5 rings: the blocks over the end were staged.
    EXPECT_GT(spy.staged, 5);
    EXPECT_GT(spy.inPlace, 25);
    for (size_t i = 0; i < frames.size(); i++) {
      EXPECT_EQ(frames[i].sampleCount, static_cast<int64_t>(i) * 1024);
      EXPECT_EQ(frames[i].timeBase, frames[0].timeBase);
      EXPECT_EQ(frames[i].config.output_buffer[0], 0xFF);
    }
  }
}

TEST_F(AudioTest, SbrModesHandOverTwoBlocksPerCall) {
  // The SBR path itself is the AAC encoder's; here only what the capture gives it counts.
  kavo::encoder::AudioBinding& b = kavo::encoder::audioBinding();
  b.aacenc_setup = [](aacenc_config_t* c) -> uint32_t {
    c->error = 0;
    c->core_sample_rate = c->sample_rate / 2;
    c->channels_out = c->channels_in;
    return 0;
  };
  b.aacenc_open = [](aacenc_config_t*) -> uint32_t { return 0; };
  spy.replace = true;
  spy.block = 2048;
  spy.channels = 2;
  dev().bufferFrames = 5000;
  EncoderSettings settings = audioSettings(2, 44100, 64000, 50, 1);
  AudioEncoder audio(settings);
  ASSERT_TRUE(audio.Open());
  EXPECT_EQ(audio.BlockFrames(), 2048u);
  ASSERT_TRUE(audio.StartEncode());
  EXPECT_EQ(audio.Frame().sampleCount, -2048);
  EXPECT_TRUE(drain(audio, 2047).empty());
  std::vector<int64_t> counts;
  for (const auto& f : drain(audio, 1)) counts.push_back(f.sampleCount);
  for (int turn = 0; turn < 8; turn++)
    for (const auto& f : drain(audio, 1500)) counts.push_back(f.sampleCount);
  EXPECT_EQ(counts, (std::vector<int64_t>{0, 2048, 4096, 6144, 8192, 10240}));
  EXPECT_EQ(dev().appl, 6u * 2048u);
  EXPECT_EQ(spy.wrongSamples, 0);
  EXPECT_EQ(spy.pastTheRing, 0);
  EXPECT_GE(spy.staged, 2);
  EXPECT_EQ(dev().misuse, 0);
}

// ---- time ---------------------------------------------------------------------------------------

TEST_F(AudioTest, CounterRunsElevenSecondsThenTheTimeBaseIsTakenAgain) {
  EncoderSettings settings = audioSettings(1, 11025, 16000);
  AudioEncoder audio(settings);
  ASSERT_TRUE(audio.Open());
  const int64_t before = nowMs();
  ASSERT_TRUE(audio.StartEncode());
  const int64_t after = nowMs();
  EXPECT_EQ(audio.Frame().sampleCount, -1024);
  EXPECT_GE(audio.Frame().timeBase, before);
  EXPECT_LE(audio.Frame().timeBase, after);
  const int64_t firstBase = audio.Frame().timeBase;
  for (int i = 0; i < 120; i++) {
    auto frames = drain(audio, 1024);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].sampleCount, i * 1024);
    EXPECT_EQ(frames[0].timeBase, firstBase);
    EXPECT_EQ(frames[0].sampleRate, 11025u);
  }
  // 119 x 1024 frames are past 11 s at 11025 Hz: the next block starts a new count. It waited
  // behind 1600 more frames (1024 + 1600 in all), so its first sample is that much older than now.
  dev().produce(1600);
  const int64_t t0 = nowMs();
  auto frames = drain(audio, 1024);
  const int64_t t1 = nowMs();
  ASSERT_EQ(frames.size(), 2u);
  const int64_t waited = (2624 * 1000 + 11025 / 2) / 11025;  // 238 ms
  EXPECT_EQ(frames[0].sampleCount, 0);
  EXPECT_GE(frames[0].timeBase, t0 - waited);
  EXPECT_LE(frames[0].timeBase, t1 - waited);
  EXPECT_EQ(frames[1].sampleCount, 1024);
  EXPECT_EQ(frames[1].timeBase, frames[0].timeBase);
}

TEST_F(AudioTest, AnOverrunRestartsTheCaptureAndTheCount) {
  dev().bufferFrames = 4096;
  EncoderSettings settings = audioSettings();
  AudioEncoder audio(settings);
  ASSERT_TRUE(audio.Open());
  ASSERT_TRUE(audio.StartEncode());
  ASSERT_EQ(drain(audio, 2048).size(), 2u);
  dev().produce(5000);  // more than the ring holds
  LogCapture log;
  const int64_t before = nowMs();
  EXPECT_EQ(audio.GetFrame(), nullptr);
  EXPECT_TRUE(log.has("Recover from EPIPE", LOG_LEVEL_WARNING));
  EXPECT_EQ(dev().recovers, (std::vector<std::pair<int, int>>{{-EPIPE, 0}}));
  EXPECT_TRUE(dev().running);
  EXPECT_GE(audio.Frame().timeBase, before);
  // Reading resumes with the frames captured after the restart, counted from 0.
  spy.expectedFirst = dev().produced;
  auto frames = drain(audio, 2048);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].sampleCount, 0);
  EXPECT_EQ(frames[1].sampleCount, 1024);
  EXPECT_EQ(spy.wrongSamples, 0);

  // A recovery that fails, then a restart that fails: reported, and tried again at the next call.
  dev().produce(5000);
  dev().failing = {{"snd_pcm_recover", -EIO}};
  log.clear();
  EXPECT_EQ(audio.GetFrame(), nullptr);
  EXPECT_TRUE(log.has("snd_pcm_recover failed. Error: -5 Input/output error", LOG_LEVEL_ERROR));
  dev().failing = {{"snd_pcm_start", -EBADFD}};
  EXPECT_EQ(audio.GetFrame(), nullptr);
  EXPECT_TRUE(log.has("snd_pcm_start failed. Error: -77 File descriptor in bad state", LOG_LEVEL_ERROR));
  dev().failing.clear();
  spy.expectedFirst = dev().produced;
  ASSERT_TRUE(audio.StartEncode());
  frames = drain(audio, 1024);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].sampleCount, 0);
}

// ---- mute, failures while capturing ---------------------------------------------------------

TEST_F(AudioTest, MutedCaptureGoesOnAndEncodesSilence) {
  dev().bufferFrames = 3000;
  EncoderSettings settings = audioSettings();
  AudioEncoder audio(settings);
  ASSERT_TRUE(audio.Open());
  ASSERT_TRUE(audio.StartEncode());
  ASSERT_TRUE(audio.UpdateVolume(0));
  EXPECT_EQ(dev().volumeWrites.back(), 0);
  spy.expectSilence = true;
  std::vector<kavo::encoder::audio_frame_t> frames;
  for (int i = 0; i < 6; i++)
    for (const auto& f : drain(audio, 1024)) frames.push_back(f);
  EXPECT_EQ(frames.size(), 6u);
  EXPECT_EQ(spy.silent, 6);
  EXPECT_EQ(dev().appl, 6u * 1024u) << "the device's frames are consumed all the same";
  EXPECT_EQ(dev().misuse, 0);
  ASSERT_TRUE(audio.UpdateVolume(70));
  EXPECT_FALSE(audio.IsMuted());
  spy.expectSilence = false;
  spy.expectedFirst = dev().nextFrame();
  frames = drain(audio, 2048);
  EXPECT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].sampleCount, 7 * 1024);
  EXPECT_EQ(spy.wrongSamples, 0);
}

TEST_F(AudioTest, FailuresWhileCapturing) {
  EncoderSettings settings = audioSettings();
  AudioEncoder audio(settings);
  ASSERT_TRUE(audio.Open());
  ASSERT_TRUE(audio.StartEncode());
  LogCapture log;
  dev().produce(1024);
  dev().failing = {{"snd_pcm_avail", -EBADFD}};
  EXPECT_EQ(audio.GetFrame(), nullptr);
  EXPECT_TRUE(log.has("snd_pcm_avail failed. Error: -77 File descriptor in bad state", LOG_LEVEL_ERROR));
  dev().failing = {{"snd_pcm_mmap_begin", -EIO}};
  EXPECT_EQ(audio.GetFrame(), nullptr);
  EXPECT_TRUE(log.has("snd_pcm_mmap_begin failed. Error: -5 Input/output error", LOG_LEVEL_ERROR));
  dev().failing.clear();
  dev().commitShort = true;
  EXPECT_EQ(audio.GetFrame(), nullptr);
  EXPECT_TRUE(log.has("snd_pcm_mmap_commit failed.", LOG_LEVEL_ERROR));
  dev().commitShort = false;

  // A sticky encoder error: every ready block is consumed, no frame handed out.
  spy.replace = true;
  spy.errorToSet = AACENC_ERR_NULL;
  spy.expectedFirst = dev().nextFrame();
  dev().produce(3 * 1024);
  for (int i = 0; i < 3; i++) EXPECT_EQ(audio.GetFrame(), nullptr);
  EXPECT_EQ(dev().hw - dev().appl, 0u);
  EXPECT_EQ(audio.Frame().config.error, static_cast<uint32_t>(AACENC_ERR_NULL));
}

// ---- lifecycle ----------------------------------------------------------------------------------

TEST_F(AudioTest, CloseReleasesEverythingAndOpenStartsAfresh) {
  EncoderSettings settings = audioSettings(2, 22050, 64000);
  AudioEncoder audio(settings);
  ASSERT_TRUE(audio.Open());
  const aacenc_config_t config = audio.Frame().config;
  const void* core = aacenc_core_handle(&config);
  ASSERT_NE(core, nullptr);
  ASSERT_TRUE(audio.StartEncode());
  ASSERT_TRUE(audio.UpdateVolume(0));
  spy.channels = 2;
  spy.expectSilence = true;
  ASSERT_EQ(drain(audio, 1024).size(), 1u);
  // A second Open closes first: the encoder's close gets the core's handle, the device is
  // closed and its parameters freed, then everything is set up again.
  ASSERT_TRUE(audio.Open());
  EXPECT_EQ(spy.handlesClosed, std::vector<const void*>{core});
  EXPECT_TRUE(dev().called("snd_pcm_close"));
  EXPECT_TRUE(dev().called("snd_pcm_hw_params_free"));
  EXPECT_FALSE(audio.IsMuted()) << "the configured volume applies again";
  EXPECT_EQ(dev().volumeWrites.back(), 0 + (1 * 31) / 100) << "the stored volume was the setting's lowest, 1";

  audio.Close();
  EXPECT_EQ(spy.handlesClosed.size(), 2u);
  EXPECT_FALSE(dev().open);
  EXPECT_FALSE(dev().paramsAllocated);
  EXPECT_EQ(audio.Frame().config.output_buffer, nullptr);
  EXPECT_EQ(audio.Frame().sampleRate, 0u);
  EXPECT_EQ(audio.Frame().timeBase, 0);
  EXPECT_EQ(audio.GetFrame(), nullptr);
  audio.Close();  // twice is harmless
  EXPECT_EQ(spy.handlesClosed.size(), 2u);
  EXPECT_FALSE(audio.StartEncode());
}

TEST_F(AudioTest, DefaultsAreTheVolumeOfTheLastOpen) {
  EncoderSettings settings = audioSettings(1, 11025, 32000, 40);
  AudioEncoder audio(settings);
  ASSERT_TRUE(audio.Open());
  ASSERT_TRUE(audio.UpdateVolume(90));
  EXPECT_EQ(settings.audio().volume(), 90);
  ASSERT_TRUE(audio.ResetToDefaults());
  EXPECT_EQ(settings.audio().volume(), 40);
  EXPECT_EQ(dev().volumeWrites.back(), 12);
  ASSERT_TRUE(audio.UpdateVolume(90));
  ASSERT_TRUE(audio.SaveDefaults());
  dev().failing = {{"snd_ctl_elem_write", -EIO}};
  LogCapture log;
  EXPECT_FALSE(audio.ResetToDefaults());
  EXPECT_TRUE(log.has("Unable to update the audio volume", LOG_LEVEL_ERROR));
  dev().failing.clear();
  ASSERT_TRUE(audio.ResetToDefaults());
  EXPECT_EQ(settings.audio().volume(), 90);
}

TEST_F(AudioTest, TheProgramProvidesEveryFunctionAndAMissingOneDisablesAudio) {
  // This program carries the AAC encoder and exports it, and links ALSA, as the streamer does.
  kavo::encoder::rebindAudio();
  kavo::encoder::AudioBinding& b = kavo::encoder::audioBinding();
  EXPECT_EQ(b.missing, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(b.aacenc_encode), reinterpret_cast<void*>(&::aacenc_encode));
  EXPECT_NE(b.snd_pcm_mmap_begin, nullptr);
  b.missing = "aacenc_setup";
  EncoderSettings settings = audioSettings();
  AudioEncoder audio(settings);
  LogCapture log;
  EXPECT_FALSE(audio.Open());
  EXPECT_TRUE(log.has("Unable to bind aacenc_setup from the program", LOG_LEVEL_ERROR));
  b.missing = nullptr;
}

}  // namespace
