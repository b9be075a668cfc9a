// The command-line model: typing table, lookup rules, unknown arguments, result tree, help text.
#include "kavo/variant_utils/commandline.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "kavo/logger/logger.h"
#include "kavo/test/test_root.h"

using kavo::logger::LogCapture;
using kavo::variant::AddParameter;
using kavo::variant::ParseCommandLine;
using kavo::variant::PrintHelp;
using kavo::variant::Variant;
using kavo::variant::VariantType;

namespace {

std::string json(const Variant& v) {
  std::string s;
  v.ToJSON(s, false);
  return s;
}

// The streamer's options, plus one of every default kind.
Variant definitions() {
  Variant d;
  AddParameter(d, 'h', "help", "Prints this help", Variant(true));
  AddParameter(d, 'd', "dryRun", "Parses the configuration and stops", Variant(false));
  AddParameter(d, 'l', "logIpc", "Logs the IPC traffic", Variant(false));
  AddParameter(d, 'p', "priority", "Real-time priority, 0 to 99", Variant(0));
  AddParameter(d, 'c', "configFile", "Configuration file", Variant(""));
  AddParameter(d, 'x', "x", "Any value", Variant());
  AddParameter(d, 'r', "ratio", "A ratio", Variant(0.5));
  return d;
}

Variant parse(std::vector<const char*> args, Variant* defsOut = nullptr) {
  Variant defs = definitions();
  Variant result;
  args.insert(args.begin(), "prog");
  ParseCommandLine(static_cast<int>(args.size()), args.data(), defs, result);
  if (defsOut) *defsOut = defs;
  return result;
}

}  // namespace

TEST(CommandLine, ValueTypingTable) {
  struct Row {
    const char* arg;
    Variant expected;
    VariantType kind;
  } rows[] = {
      {"--priority=5", Variant(uint64_t(5)), VariantType::UInt64},
      {"--priority=-5", Variant(int64_t(-5)), VariantType::Int64},
      {"--priority=+5", Variant(uint64_t(5)), VariantType::UInt64},
      {"--x=0x1f", Variant(uint64_t(31)), VariantType::UInt64},
      {"--x=010", Variant(uint64_t(8)), VariantType::UInt64},
      {"--x=08", Variant("08"), VariantType::String},
      {"--x=2.0", Variant(int64_t(2)), VariantType::Int64},
      {"--x=2.5", Variant(2.5), VariantType::Double},
      {"--x=1.5e3", Variant(int64_t(1500)), VariantType::Int64},
      {"--x=-2.5", Variant(-2.5), VariantType::Double},
      {"--x=1e5", Variant("1e5"), VariantType::String},
      {"--x=abc", Variant("abc"), VariantType::String},
      {"--x=12z", Variant("12z"), VariantType::String},
      {"--x=1-2", Variant("1-2"), VariantType::String},
      {"--x=-", Variant("-"), VariantType::String},
      {"--x=.", Variant("."), VariantType::String},
      {"--x=0x", Variant("0x"), VariantType::String},
      {"--x= 5", Variant(" 5"), VariantType::String},
      {"--x=hello world", Variant("hello world"), VariantType::String},
      {"--x=a=b", Variant("a=b"), VariantType::String},
      {"--x=-0x10", Variant(int64_t(-16)), VariantType::Int64},
      {"-x=7", Variant(uint64_t(7)), VariantType::UInt64},
      // Too large for 64 bits: kept as text instead of a saturated number.
      {"--x=9223372036854775807", Variant(uint64_t(9223372036854775807ull)), VariantType::UInt64},
      {"--x=9223372036854775808", Variant("9223372036854775808"), VariantType::String},
      {"--x=-9223372036854775809", Variant("-9223372036854775809"), VariantType::String},
      {"--x=0xffffffffffffffff", Variant("0xffffffffffffffff"), VariantType::String},
      {"--x=1.0e19", Variant("1.0e19"), VariantType::String},
      {"--x=1.0e400", Variant("1.0e400"), VariantType::String},
      {"--x=-9.0e18", Variant(int64_t(-9000000000000000000ll)), VariantType::Int64},
      // Empty values take the default.
      {"--priority=", Variant(0), VariantType::Int32},
      {"--priority", Variant(0), VariantType::Int32},
      {"--help", Variant(true), VariantType::Bool},
      {"--help=0", Variant(uint64_t(0)), VariantType::UInt64},
      {"--configFile", Variant(""), VariantType::String},
      {"--x", Variant(), VariantType::Null},
  };
  for (const auto& r : rows) {
    LogCapture log;
    Variant result = parse({r.arg});
    ASSERT_TRUE(result["parameters"].IsMap()) << r.arg;
    ASSERT_EQ(result["parameters"].Size(), 1u) << r.arg << " " << json(result);
    const Variant& value = result["parameters"].begin()->second;
    EXPECT_EQ(value.GetType(), r.kind) << r.arg << " -> " << json(value);
    EXPECT_TRUE(value == r.expected) << r.arg << " -> " << json(value);
    EXPECT_TRUE(log.records().empty()) << log.dump();
    EXPECT_EQ(result.Find("unknownParameters"), nullptr);
  }
}

TEST(CommandLine, UnknownArgumentsAreLoggedAndListedInOrder) {
  const std::vector<const char*> args = {"-hd",       "word",      "-",       "-=5",         "--",
                                         "--=5",      "--Help",    "-q",      "--nothing=1", "--help/longName",
                                         "--[104]",   "",          "--x=ok"};
  LogCapture log;
  Variant result = parse(args);
  const Variant& unknown = result["unknownParameters"];
  ASSERT_TRUE(unknown.IsArray());
  std::vector<std::string> listed;
  for (auto it = unknown.num_begin(); it != unknown.num_end(); ++it) listed.push_back(it->second.AsString());
  const std::vector<std::string> expected(args.begin(), args.end() - 1);
  EXPECT_EQ(listed, expected);
  const auto records = log.records();
  ASSERT_EQ(records.size(), expected.size());
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].message, "unknown parameter detected: `" + expected[i] + "`");
    EXPECT_EQ(records[i].level, 4);
    EXPECT_EQ(records[i].module, "kavo_variant_utils");
    EXPECT_EQ(records[i].function, "ParseCommandLine");
  }
  EXPECT_EQ(json(result["parameters"]), R"({"x":"ok"})");
}

TEST(CommandLine, ShortAndLongNamesFindTheSameRecord) {
  Variant shortForm = parse({"-h"});
  Variant longForm = parse({"--help"});
  EXPECT_TRUE(shortForm["parameters"] == longForm["parameters"]);
  EXPECT_NE(shortForm.GetKeyChain(VariantType::Bool, "parameters/help"), nullptr);

  // A later occurrence overwrites; other options stay.
  Variant result = parse({"-p=1", "--dryRun", "--priority=7"});
  EXPECT_EQ(json(result["parameters"]), R"({"dryRun":false,"priority":7})");
  // Presence is what counts, whatever the value.
  EXPECT_NE(result.GetKeyChain(VariantType::Any, "parameters/dryRun"), nullptr);
  EXPECT_EQ(result.GetKeyChain(VariantType::Any, "parameters/help"), nullptr);

  // With no options, "parameters" is absent.
  Variant none = parse({});
  EXPECT_EQ(none.Find("parameters"), nullptr);
  EXPECT_EQ(none.GetKeyChain(VariantType::Any, "parameters/help"), nullptr);
  EXPECT_EQ(none["commandLine"]["executed"].AsString(), "prog");

  // The result is added to, never cleared.
  Variant defs = definitions();
  Variant kept;
  kept["mine"] = 1;
  const char* argv[] = {"prog", "--ratio=3.25"};
  ParseCommandLine(2, argv, defs, kept);
  EXPECT_EQ(kept["mine"].AsInt32(), 1);
  EXPECT_EQ(kept["parameters"]["ratio"].AsDouble(), 3.25);
}

TEST(CommandLine, CommandLineEntriesAndRealpathFailure) {
  kavo::test::TestRoot root;
  root.write("/bin/prog", "#!/bin/sh\n");
  const std::string real = root.path("/bin/prog");
  Variant defs = definitions();
  Variant result;
  std::string relative = real;  // realpath resolves "/./" and ".." too
  relative.insert(root.dir().size(), "/bin/..");
  const char* argv[] = {relative.c_str()};
  ParseCommandLine(1, argv, defs, result);
  EXPECT_EQ(result["commandLine"]["executed"].AsString(), relative);
  char resolved[4096];
  ASSERT_NE(::realpath(real.c_str(), resolved), nullptr);
  EXPECT_EQ(result["commandLine"]["fullPath"].AsString(), resolved);

  // An unresolvable program path is stored as empty text.
  Variant missing;
  const char* argv2[] = {"/nonexistent/kavo/prog"};
  ParseCommandLine(1, argv2, defs, missing);
  EXPECT_TRUE(missing["commandLine"]["fullPath"].IsString());
  EXPECT_EQ(missing["commandLine"]["fullPath"].AsString(), "");
  Variant empty;
  ParseCommandLine(0, static_cast<const char**>(nullptr), defs, empty);
  EXPECT_EQ(json(empty), R"({"commandLine":{"executed":"","fullPath":""}})");
}

TEST(CommandLine, DefinitionsHoldThreeCopies) {
  Variant d;
  AddParameter(d, 'h', "help", "first", Variant(true));
  AddParameter(d, 'h', "other", "same short name", Variant(1));
  AddParameter(d, 'o', "help", "same long name", Variant(2));
  EXPECT_EQ(d["all"].NumericKeysCount(), 3u);
  EXPECT_EQ(d["byShortName"][104]["description"].AsString(), "same short name");
  EXPECT_EQ(d["byLongName"]["help"]["description"].AsString(), "same long name");
  EXPECT_EQ(d["byShortName"][104]["shortName"].GetType(), VariantType::Int8);
  // The copies are independent.
  d["all"][0]["description"] = "changed";
  EXPECT_EQ(d["byShortName"].Find(111)->Find("description")->AsString(), "same long name");
  EXPECT_EQ(json(d["all"][0]), R"({"defaultValue":true,"description":"changed","longName":"help","shortName":104})");
  // Characters above 127 are keyed by their unsigned code.
  AddParameter(d, static_cast<char>(0xE9), "accent", "", Variant());
  EXPECT_NE(d.GetKeyChain(VariantType::Map, "byShortName/[233]"), nullptr);
  Variant result;
  const char* argv[] = {"prog", "-\xE9"};
  ParseCommandLine(2, argv, d, result);
  EXPECT_NE(result.GetKeyChain(VariantType::Null, "parameters/accent"), nullptr);
}

TEST(CommandLine, HelpLayoutIsExact) {
  Variant d = definitions();
  AddParameter(d, 'm', "map", "A map default", Variant(VariantType::Map));
  AddParameter(d, 'u', "big", "An unsigned default", Variant(uint64_t(42)));
  testing::internal::CaptureStdout();
  PrintHelp("kavo_streamer", d);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "kavo_streamer <option>[=<value>]\n"
            "\t-h\t--help [=1] - Prints this help\n"
            "\t-d\t--dryRun [=0] - Parses the configuration and stops\n"
            "\t-l\t--logIpc [=0] - Logs the IPC traffic\n"
            "\t-p\t--priority [=0] - Real-time priority, 0 to 99\n"
            "\t-c\t--configFile [=\"\"] - Configuration file\n"
            "\t-x\t--x - Any value\n"
            "\t-r\t--ratio [=0.500] - A ratio\n"
            "\t-m\t--map - A map default\n"
            "\t-u\t--big [=42] - An unsigned default\n"
            "\n");

  Variant empty;
  testing::internal::CaptureStdout();
  PrintHelp("p", empty);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "p <option>[=<value>]\n\n");
  EXPECT_TRUE(empty["all"].IsArray());
}
