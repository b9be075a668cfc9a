// StreamInfo: plain setters, const getters that insist on their keys.
#include <gtest/gtest.h>

#include "document_cases.h"
#include "kavo/encoder/streaminfo.h"
#include "kavo/logger/logger.h"

using kavo::encoder::StreamInfo;
using kavo::test::json;
using kavo::variant::Variant;

TEST(StreamInfo, SettersStoreAndCopiesAreIndependent) {
  StreamInfo info;
  info.channelId(2);
  info.width(1920);
  info.height(1080);
  info.fps(30);
  info.videoBandwidth(4000000);
  info.streamName("cam_2");
  info.uri("tcp://10.0.0.1:1935");
  EXPECT_EQ(info, json(R"({"channelId":2,"width":1920,"height":1080,"fps":30,"videoBandwidth":4000000,)"
                       R"("streamName":"cam_2","uri":"tcp://10.0.0.1:1935"})"));
  StreamInfo copy(info);
  copy.uri("file:///tmp/x.flv");
  const StreamInfo& c = copy;
  const StreamInfo& i = info;
  EXPECT_EQ(c.uri(), "file:///tmp/x.flv");
  EXPECT_EQ(i.uri(), "tcp://10.0.0.1:1935");
  EXPECT_EQ(i.channelId(), 2u);

  StreamInfo empty;
  empty.NormalizeFields();  // fills nothing
  EXPECT_EQ(empty.Size(), 0u);
  StreamInfo text(Variant("x"));
  text.NormalizeFields();
  EXPECT_TRUE(text.IsMap());
}

TEST(StreamInfoDeathTest, ConstGettersRequireTheirKeys) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* doc;
    bool uri;
    const char* message;
  };
  const Case cases[] = {
      {R"({"uri":"tcp://h:1"})", false, "Key \"channelId\" not available"},
      {R"({"channelId":1})", true, "Key \"uri\" not available"},
      {R"({"channelId":"1","uri":"x"})", false, "Key \"channelId\" has a different type than expected"},
      {R"({"channelId":1,"uri":7})", true, "Key \"uri\" has a different type than expected"},
      {R"("plain")", true, "Invalid variant type detected"},
  };
  for (const Case& c : cases) {
    const StreamInfo info(json(c.doc));
    EXPECT_DEATH(
        {
          kavo::logger::setSink([](const kavo::logger::LogRecord& r) {
            fprintf(stderr, "%d %s %s %s:%d %s\n", r.level, r.module.c_str(), r.function.c_str(), r.file.c_str(),
                    r.line, r.message.c_str());
          });
          if (c.uri) {
            (void)info.uri();
          } else {
            (void)info.channelId();
          }
        },
        std::string("3 kavo_encoder ") + (c.uri ? "uri" : "channelId") + " variant_container_internal_getset:151 " +
            c.message)
        << c.doc;
  }
}
