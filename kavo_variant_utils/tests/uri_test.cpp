#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kavo/logger/logger.h"
#include "kavo/variant_utils/uri.h"

using kavo::logger::LogCapture;
using kavo::variant::URI;
using kavo::variant::Variant;
using kavo::variant::VariantType;

namespace {

struct Parsed {
  const char* text;
  const char* schema;
  const char* host;
  unsigned port;
  bool portSpecified;
  const char* pathWithParameters;
  const char* fullDocumentPath;
  const char* fullParameters;
  const char* documentPath;
  const char* document;
  const char* documentWithFullParameters;
  const char* parametersJson;
};

const Parsed kParsed[] = {
    {"tcp://10.0.0.5:9000?acceptor&randomPort", "tcp", "10.0.0.5", 9000, true, "/?acceptor&randomPort", "/",
     "acceptor&randomPort", "/", "", "?acceptor&randomPort", R"({"acceptor":"","randomPort":""})"},
    {"rtmp://10.0.0.5/live/mp4:clips/a.mp4?x=1&flag", "rtmp", "10.0.0.5", 1935, false,
     "/live/mp4:clips/a.mp4?x=1&flag", "/live/mp4:clips/a.mp4", "x=1&flag", "/live/", "mp4:clips/a.mp4",
     "mp4:clips/a.mp4?x=1&flag", R"({"flag":"","x":"1"})"},
    {"file:///tmp/a.flv", "file", "", 0, false, "/tmp/a.flv", "/tmp/a.flv", "", "/tmp/", "a.flv", "a.flv", "{}"},
    // The rtmp stream-name rule belongs to rtmp schemas only.
    {"rtsp://10.0.0.5/live/mp4:clips/a.mp4?x=1&flag", "rtsp", "10.0.0.5", 554, false,
     "/live/mp4:clips/a.mp4?x=1&flag", "/live/mp4:clips/a.mp4", "x=1&flag", "/live/mp4:clips/", "a.mp4",
     "a.mp4?x=1&flag", R"({"flag":"","x":"1"})"},
    {"RTSP://10.0.0.5", "rtsp", "10.0.0.5", 554, false, "/", "/", "", "/", "", "", "{}"},
    {"tcp://:9000", "tcp", "", 9000, true, "/", "/", "", "/", "", "", "{}"},
    {"tcp://10.0.0.5:9000?a=1&a=2&=3&&b", "tcp", "10.0.0.5", 9000, true, "/?a=1&a=2&=3&&b", "/", "a=1&a=2&=3&&b",
     "/", "", "?a=1&a=2&=3&&b", R"({"a":"2","b":""})"},
    {"tcp://0.0.0.0:1?acceptor&randomPort", "tcp", "0.0.0.0", 1, true, "/?acceptor&randomPort", "/",
     "acceptor&randomPort", "/", "", "?acceptor&randomPort", R"({"acceptor":"","randomPort":""})"},
    {"http://h:65535/", "http", "h", 65535, true, "/", "/", "", "/", "", "", "{}"},
    {"rtmps://ex.com:443/app/stream?k= v ", "rtmps", "ex.com", 443, true, "/app/stream?k= v", "/app/stream", "k= v",
     "/app/", "stream", "stream?k= v", R"({"k":" v"})"},
    {"file://a.flv", "file", "", 0, false, "/", "/", "", "/", "", "", "{}"},
    {"file://dir/a.flv", "file", "", 0, false, "dir/a.flv", "dir/a.flv", "", "dir/", "a.flv", "a.flv", "{}"},
    // A bare file name has no folder part; an empty path before the query must survive too.
    {"file://a.flv?x=1", "file", "", 0, false, "a.flv?x=1", "a.flv", "x=1", "", "a.flv", "a.flv?x=1",
     R"({"x":"1"})"},
    {"file://?x", "file", "", 0, false, "?x", "", "x", "", "", "?x", R"({"x":""})"},
    // A query may hold a "/": the authority ends at the "?".
    {"tcp://h:9000?cb=/x/y", "tcp", "h", 9000, true, "/?cb=/x/y", "/", "cb=/x/y", "/", "", "?cb=/x/y",
     R"({"cb":"/x/y"})"},
    // An "@" behind the first "/" is part of the path.
    {"rtmp://10.0.0.5/live/a@b", "rtmp", "10.0.0.5", 1935, false, "/live/a@b", "/live/a@b", "", "/live/", "a@b",
     "a@b", "{}"},
    {"  tcp://10.0.0.5:9000\t", "tcp", "10.0.0.5", 9000, true, "/", "/", "", "/", "", "", "{}"},
    {"tcp:// h :9000/x", "tcp", "h", 9000, true, "/x", "/x", "", "/", "x", "x", "{}"},
};

std::string json(const Variant& v) {
  std::string out;
  v.ToJSON(out, false);
  return out;
}

TEST(UriParse, Table) {
  for (const Parsed& c : kParsed) {
    SCOPED_TRACE(c.text);
    URI uri;
    ASSERT_TRUE(parseURI(c.text, uri));
    // Every key is present, "ip" not yet.
    EXPECT_EQ(uri.Size(), 16u);
    EXPECT_FALSE(uri.HasKey("ip"));
    EXPECT_EQ(uri["schema"].AsString(), c.schema);
    EXPECT_EQ(uri["host"].AsString(), c.host);
    EXPECT_EQ(uri["port"].GetType(), VariantType::UInt16);
    EXPECT_EQ(uri["port"].AsUInt32(), c.port);
    EXPECT_EQ(uri["portSpecified"].GetType(), VariantType::Bool);
    EXPECT_EQ(uri["portSpecified"].AsBool(), c.portSpecified);
    EXPECT_EQ(uri["fullDocumentPathWithParameters"].AsString(), c.pathWithParameters);
    EXPECT_EQ(uri["fullDocumentPath"].AsString(), c.fullDocumentPath);
    EXPECT_EQ(uri["fullParameters"].AsString(), c.fullParameters);
    EXPECT_EQ(uri["documentPath"].AsString(), c.documentPath);
    EXPECT_EQ(uri["document"].AsString(), c.document);
    EXPECT_EQ(uri["documentWithFullParameters"].AsString(), c.documentWithFullParameters);
    EXPECT_EQ(json(uri["parameters"]), c.parametersJson);
    std::string trimmed = c.text;
    trimmed.erase(0, trimmed.find_first_not_of(" \t"));
    trimmed.erase(trimmed.find_last_not_of(" \t") + 1);
    EXPECT_EQ(uri["originalUri"].AsString(), trimmed);
    EXPECT_EQ(uri["fullUriWithAuth"].AsString(), c.text);
    EXPECT_EQ(uri["fullUri"].AsString(), c.text);
    EXPECT_EQ(uri["userName"].AsString(), "");
    EXPECT_EQ(uri["password"].AsString(), "");
    EXPECT_EQ(uri.Size(), 16u);
  }
}

TEST(UriParse, DefaultPorts) {
  const std::pair<const char*, unsigned> ports[] = {
      {"file", 0},    {"http", 80},   {"rtmpt", 80},  {"rtmpte", 80},    {"https", 443},     {"rtmps", 443},
      {"rtsp", 554},  {"rtmp", 1935}, {"rtmpe", 1935}, {"websock", 7080}, {"websocks", 7443},
  };
  for (const auto& p : ports) {
    SCOPED_TRACE(p.first);
    URI uri;
    ASSERT_TRUE(parseURI(std::string(p.first) + "://host/x", uri));
    EXPECT_EQ(uri.port(), p.second);
    EXPECT_FALSE(uri["portSpecified"].AsBool());
  }
}

TEST(UriParse, Credentials) {
  URI uri;
  ASSERT_TRUE(parseURI(" rtmp://user:pa:ss@10.0.0.5/live/a ", uri));
  EXPECT_EQ(uri.userName(), "user");
  EXPECT_EQ(uri.password(), "pa:ss");
  EXPECT_EQ(uri.host(), "10.0.0.5");
  EXPECT_EQ(uri["fullUri"].AsString(), "rtmp://10.0.0.5/live/a");
  EXPECT_EQ(uri["fullUriWithAuth"].AsString(), " rtmp://user:pa:ss@10.0.0.5/live/a ");
  EXPECT_EQ(uri.originalUri(), "rtmp://user:pa:ss@10.0.0.5/live/a");

  ASSERT_TRUE(parseURI("tcp://bob@h:1/", uri));
  EXPECT_EQ(uri.userName(), "bob");
  EXPECT_EQ(uri.password(), "");
  EXPECT_EQ(uri["fullUri"].AsString(), "tcp://h:1/");

  // Credentials without a path, and empty credentials.
  ASSERT_TRUE(parseURI("tcp://u:p@h:2", uri));
  EXPECT_EQ(uri.userName(), "u");
  EXPECT_EQ(uri.host(), "h");
  EXPECT_EQ(uri.port(), 2);
  ASSERT_TRUE(parseURI("tcp://@h:2", uri));
  EXPECT_EQ(uri.userName(), "");
  EXPECT_EQ(uri["fullUri"].AsString(), "tcp://h:2");
}

TEST(UriParse, FailuresAreLoggedAndLeaveTheTargetReset) {
  const std::pair<const char*, const char*> failures[] = {
      {"", "Empty uri"},
      {" \t\r\n ", "Empty uri"},
      {"10.0.0.5:554", "Unable to determine schema"},
      {"tcp:/10.0.0.5:554", "Unable to determine schema"},
      {"tcp://", "Invalid host:port specified"},
      {"tcp:// /x", "Invalid host:port specified"},
      {"tcp://?acceptor", "Invalid host:port specified"},
      {"tcp://10.0.0.5", "Invalid URI. No port specified and the schema `tcp` is unknown"},
      {"tcp://10.0.0.5:0", "Invalid URI. No port specified and the schema `tcp` is unknown"},
      {"rtsp://10.0.0.5:0", "Invalid URI. No port specified and the schema `rtsp` is unknown"},
      {"udp://10.0.0.5/x", "Invalid URI. No port specified and the schema `udp` is unknown"},
      {"://10.0.0.5/x", "Invalid URI. No port specified and the schema `` is unknown"},
      {"tcp://10.0.0.5:080", "Invalid port number specified: `080`"},
      {"tcp://10.0.0.5:70000", "Invalid port number specified: `70000`"},
      {"tcp://10.0.0.5:65536", "Invalid port number specified: `65536`"},
      {"tcp://10.0.0.5:", "Invalid port number specified: ``"},
      {"tcp://10.0.0.5:+80", "Invalid port number specified: `+80`"},
      {"tcp://10.0.0.5:-1", "Invalid port number specified: `-1`"},
      {"tcp://10.0.0.5: 80", "Invalid port number specified: ` 80`"},
      {"tcp://10.0.0.5:80x/a", "Invalid port number specified: `80x`"},
      {"tcp://10.0.0.5:1:2", "Invalid port number specified: `1:2`"},
      {"tcp://10.0.0.5:99999999999999999999", "Invalid port number specified: `99999999999999999999`"},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.first);
    URI uri;
    ASSERT_TRUE(parseURI("rtmp://h/a", uri));
    LogCapture log;
    EXPECT_FALSE(parseURI(f.first, uri));
    EXPECT_TRUE(uri.IsNull());
    const auto records = log.records();
    ASSERT_EQ(records.size(), 1u) << log.dump();
    EXPECT_EQ(records[0].message, f.second);
    EXPECT_EQ(records[0].level, LOG_LEVEL_ERROR);
    EXPECT_EQ(records[0].module, "kavo_variant_utils");
    EXPECT_EQ(records[0].function, "parseURI");
  }
}

TEST(UriBuild, BaseAndDerived) {
  struct Case {
    const char* text;
    const char* base;
    const char* derivedWith;
    const char* derivedWithout;
  };
  const Case cases[] = {
      {"rtmp://10.0.0.5:1935/live/a?x=1", "rtmp://10.0.0.5:1935/live/", "rtmp://10.0.0.5:1935/live/b?x=1",
       "rtmp://10.0.0.5:1935/live/b"},
      {"rtmp://10.0.0.5/live/a", "rtmp://10.0.0.5/live/", "rtmp://10.0.0.5/live/b", "rtmp://10.0.0.5/live/b"},
      {"RTMP://Cam:1935/x/mp4:y?q", "rtmp://Cam:1935/x/", "rtmp://Cam:1935/x/b?q", "rtmp://Cam:1935/x/b"},
      {"rtmp://u:p@h/live/a", "rtmp://u:p@h/live/", "rtmp://u:p@h/live/b", "rtmp://u:p@h/live/b"},
      {"rtmp://u@h/live/a", "rtmp://h/live/", "rtmp://h/live/b", "rtmp://h/live/b"},
      {"tcp://h:9000?acceptor", "tcp://h:9000/", "tcp://h:9000/b?acceptor", "tcp://h:9000/b"},
      {"file:///tmp/a.flv?x=1", "", "b?x=1", "b"},
      {"tcp://:9000/a", "", "b", "b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    URI uri;
    ASSERT_TRUE(parseURI(c.text, uri));
    EXPECT_EQ(uri.baseURI(), c.base);
    EXPECT_EQ(uri.derivedURI("b", true), c.derivedWith);
    EXPECT_EQ(uri.derivedURI("b", false), c.derivedWithout);
  }
  URI empty;
  EXPECT_EQ(empty.baseURI(), "");
  EXPECT_EQ(empty.derivedURI("d", true), "d");
}

TEST(UriFromString, ResolvesLoopbackOnly) {
  URI uri;
  ASSERT_TRUE(URI::FromString("tcp://localhost:9000?acceptor", true, uri));
  EXPECT_EQ(uri.ip(), "127.0.0.1");
  EXPECT_EQ(uri.host(), "localhost");
  for (const char* key : {"schema", "fullDocumentPath", "originalUri", "ip", "port", "parameters"})
    EXPECT_TRUE(uri.HasKey(key)) << key;
  EXPECT_TRUE(uri.parameters()["acceptor"].IsString());

  ASSERT_TRUE(URI::FromString("tcp://127.0.0.1:1", true, uri));
  EXPECT_EQ(uri.ip(), "127.0.0.1");

  // No resolution asked for, or a file URI: "ip" is present and empty.
  ASSERT_TRUE(URI::FromString("tcp://localhost:9000", false, uri));
  ASSERT_TRUE(uri.Find("ip") != nullptr);
  EXPECT_EQ(*uri.Find("ip"), "");
  ASSERT_TRUE(URI::FromString("file:///tmp/x.flv", true, uri));
  ASSERT_TRUE(uri.Find("ip") != nullptr);
  EXPECT_EQ(*uri.Find("ip"), "");

  LogCapture log;
  EXPECT_FALSE(URI::FromString("tcp://:9000", true, uri));
  EXPECT_TRUE(uri.IsNull());
  EXPECT_TRUE(log.has("Unable to resolve host: ", LOG_LEVEL_ERROR)) << log.dump();
  EXPECT_EQ(log.records().back().function, "FromString");

  ASSERT_TRUE(URI::FromString("tcp://localhost:9000", false, uri));
  EXPECT_FALSE(URI::FromString("tcp://localhost", true, uri));
  EXPECT_TRUE(uri.IsNull());
}

TEST(UriAccessors, DefaultsAndWrongKinds) {
  URI uri;
  EXPECT_EQ(uri.port(), 0);
  ASSERT_TRUE(uri.Find("port") != nullptr);
  EXPECT_EQ(uri.Find("port")->GetType(), VariantType::Int32);
  EXPECT_EQ(uri.schema(), "");
  ASSERT_TRUE(uri.Find("schema") != nullptr);
  EXPECT_TRUE(uri.Find("schema")->IsString());
  EXPECT_TRUE(uri.parameters().IsNull());

  uri["port"] = "80";
  EXPECT_EQ(uri.port(), 0);
  EXPECT_EQ(uri["port"].GetType(), VariantType::Int32);
  uri["port"] = 70000u;
  EXPECT_EQ(uri.port(), 70000 & 0xFFFF);
  uri["port"] = 8080.0;
  EXPECT_EQ(uri.port(), 8080);
  uri["host"] = 5;
  EXPECT_EQ(uri.host(), "");
  EXPECT_TRUE(uri["host"].IsString());
  uri["parameters"] = "x";
  EXPECT_TRUE(uri.parameters().IsNull());

  // A value that is no container is made an empty map first.
  static_cast<Variant&>(uri) = 42;
  EXPECT_EQ(uri.ip(), "");
  EXPECT_TRUE(uri.IsMap());
  EXPECT_EQ(uri.Size(), 1u);

  uri.schema("rtmp");
  uri.host("h");
  uri.userName("u");
  uri.originalUri("o");
  uri.document("d");
  uri.documentWithFullParameters("d?x");
  EXPECT_EQ(uri["schema"], "rtmp");
  EXPECT_EQ(uri["host"], "h");
  EXPECT_EQ(uri["userName"], "u");
  EXPECT_EQ(uri["originalUri"], "o");
  EXPECT_EQ(uri["document"], "d");
  EXPECT_EQ(uri["documentWithFullParameters"], "d?x");

  // parameters() is the stored map itself.
  ASSERT_TRUE(parseURI("tcp://h:1?a=1", uri));
  uri.parameters()["b"] = "2";
  EXPECT_EQ(uri["parameters"]["b"], "2");
}

}  // namespace
