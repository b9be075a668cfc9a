// The envelope: defaults written back, kinds enforced, normalisation order and the response's
// fixed function name.
#include <gtest/gtest.h>

#include <string>

#include "kavo/ipc/messages/basemessage.h"
#include "kavo/ipc/messages/baserequestmessage.h"
#include "kavo/ipc/messages/baseresponsemessage.h"
#include "kavo/utils/clock.h"

using kavo::ipc::messages::BaseMessage;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::BaseResponseMessage;
using kavo::variant::Variant;
using kavo::variant::VariantType;

namespace {

Variant json(const std::string& text) {
  Variant v;
  EXPECT_EQ(v.FromJSON(text), text.size()) << text;
  return v;
}

}  // namespace

TEST(Envelope, ReadingAnAbsentKeyStoresItsDefault) {
  BaseMessage m;
  const uint64_t id = m.id();
  EXPECT_NE(id, 0u);
  EXPECT_EQ(m.id(), id);  // stored by the first read
  ASSERT_NE(m.Find("id"), nullptr);

  const timeval before = kavo::utils::now();
  const timeval ts = m.timeStamp();
  EXPECT_GE(ts.tv_sec, before.tv_sec);
  EXPECT_TRUE(m["timeStamp"].IsTimeval());
  EXPECT_EQ(m.timeStamp().tv_usec, ts.tv_usec);

  EXPECT_EQ(m.from(), "");
  EXPECT_EQ(m.to(), "");
  EXPECT_EQ(m.functionName(), "");
  EXPECT_TRUE(m["from"].IsString());
}

TEST(Envelope, WrongKindsAreReplacedNotParsed) {
  BaseResponseMessage r(json(R"({"statusCode":"7","requestId":true,"id":"12","from":5,"to":null})"));
  EXPECT_EQ(r.statusCode(), 0u);
  EXPECT_TRUE(r["statusCode"].IsInteger());
  EXPECT_EQ(r.requestId(), 0u);
  EXPECT_NE(r.id(), 12u);
  EXPECT_TRUE(r["id"].IsNumeric());
  EXPECT_EQ(r.from(), "");
  EXPECT_EQ(r.to(), "");
}

TEST(Envelope, NumbersOfEveryKindReadBackAsUnsigned64) {
  BaseResponseMessage r(json(R"({"id":9007199254740991,"statusCode":3.0,"requestId":18446744073709551615})"));
  EXPECT_EQ(r.id(), 9007199254740991u);
  EXPECT_EQ(r.statusCode(), 3u);
  EXPECT_EQ(r.requestId(), 18446744073709551615u);
  // A negative status from a peer stays a failure.
  BaseResponseMessage n(json(R"({"statusCode":-1})"));
  EXPECT_NE(n.statusCode(), 0u);
}

TEST(Envelope, RootThatIsNoContainerBecomesAnEmptyMap) {
  BaseMessage m(Variant("just text"));
  EXPECT_EQ(m.to(), "");
  EXPECT_TRUE(m.IsMap());
  EXPECT_EQ(m.Size(), 1u);

  BaseRequestMessage r(Variant(42));
  r.from("kavo_streamer");
  EXPECT_TRUE(r.IsMap());
  EXPECT_EQ(r["from"], "kavo_streamer");
}

TEST(Envelope, RequestWithoutResponseExpectedExpectsNoAnswer) {
  BaseRequestMessage r(json(R"({"functionName":"ForceIDR"})"));
  r.NormalizeFields();
  EXPECT_FALSE(r.responseExpected());
  EXPECT_TRUE(r["responseExpected"].IsBool());

  BaseRequestMessage wrong(json(R"({"functionName":"ForceIDR","responseExpected":1})"));
  wrong.NormalizeFields();
  EXPECT_FALSE(wrong.responseExpected());

  BaseRequestMessage yes(json(R"({"functionName":"ForceIDR","responseExpected":true})"));
  yes.NormalizeFields();
  EXPECT_TRUE(yes.responseExpected());
}

TEST(Envelope, NormalisedRequestHoldsEveryKeyAndKeepsUnknownOnes) {
  BaseMessage received(json(R"({"functionName":"ChangeVideoSettings","payload":{"a":[1,2]},"x":"y"})"));
  BaseRequestMessage r(received);
  r.NormalizeFields();
  for (const char* key : {"id", "timeStamp", "from", "to", "functionName", "responseExpected"})
    EXPECT_NE(r.Find(key), nullptr) << key;
  EXPECT_EQ(r.functionName(), "ChangeVideoSettings");
  EXPECT_EQ(r["payload"], json(R"({"a":[1,2]})"));
  EXPECT_EQ(r["x"], "y");
  EXPECT_EQ(r.Size(), 8u);
}

TEST(Envelope, ResponseFunctionNameIsAlwaysResponse) {
  BaseResponseMessage r(json(R"({"functionName":"Other"})"));
  EXPECT_EQ(r.functionName(), "Other");  // read as it stands until normalised
  r.NormalizeFields();
  EXPECT_EQ(r.functionName(), "__response__");

  BaseResponseMessage s;
  s.functionName("ANYTHING");
  EXPECT_EQ(s["functionName"], "__response__");
  s.functionName("__RESPONSE__");
  EXPECT_EQ(s["functionName"], "__response__");

  BaseResponseMessage empty;
  empty.NormalizeFields();
  EXPECT_EQ(empty["functionName"], "__response__");
  EXPECT_EQ(empty.requestId(), 0u);
  EXPECT_EQ(empty.statusCode(), 0u);
  EXPECT_TRUE(empty["payload"].IsNull());
  EXPECT_NE(empty.Find("payload"), nullptr);
}

TEST(Envelope, PayloadIsFilledInPlaceAndCopiedIn) {
  BaseResponseMessage r;
  r.payload()["port"] = 1935;
  EXPECT_EQ(r["payload"]["port"].AsInt32(), 1935);
  Variant settings = json(R"({"video":{"lowDelay":true}})");
  r.payload(settings);
  settings["video"]["lowDelay"] = false;
  EXPECT_TRUE(r.payload()["video"]["lowDelay"].AsBool());
  r.payload(r.payload());  // self-assignment keeps the value
  EXPECT_TRUE(r.payload()["video"]["lowDelay"].AsBool());
}

TEST(Envelope, NormalisingTwiceChangesNothing) {
  BaseResponseMessage r(json(R"({"id":-4,"statusCode":2.5,"payload":[1],"functionName":7})"));
  r.NormalizeFields();
  BaseResponseMessage again(r);
  again.NormalizeFields();
  std::string a, b;
  r.ToJSON(a);
  again.ToJSON(b);
  EXPECT_EQ(a, b);
}

TEST(Envelope, SettersStoreTheirKinds) {
  BaseRequestMessage r;
  r.id(77);
  r.timeStamp(timeval{5, 6});
  r.to("kavo_avclient");
  r.functionName("EventStreamingStatus");
  r.responseExpected(true);
  EXPECT_EQ(r.id(), 77u);
  EXPECT_EQ(r.timeStamp().tv_sec, 5);
  EXPECT_EQ(r.timeStamp().tv_usec, 6);
  EXPECT_EQ(r.to(), "kavo_avclient");
  EXPECT_TRUE(r.responseExpected());
  BaseRequestMessage copy;
  copy = r;
  EXPECT_EQ(copy, r);
}
