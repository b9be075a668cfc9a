// The simulator core: journal lines and their numbering over processes, the faults parser and the
// counting of request faults, the watched file and the shared state.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "kavo/sim/core/faults.h"
#include "kavo/sim/core/files.h"
#include "kavo/sim/core/journal.h"
#include "kavo/sim/core/shared_state.h"
#include "kavo/test/test_root.h"

namespace {

using namespace kavo::sim;

TEST(SimJournal, LinesAreValidJsonWhateverTheText) {
  JournalLine line;
  line.str("text", "a\"b\\c\nd\x01").num("neg", -42).unum("big", 18446744073709551615ull).hex("code", 0x650b);
  line.object("arg").boolean("yes", true).num("zero", 0).real("x", 0.25).real("nan", 0.0 / 0.0).close();
  size_t n = 0;
  const char* text = line.finish(&n);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(text[n - 1], '\n');
  const auto j = nlohmann::json::parse(std::string(text, n - 1), nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << std::string(text, n);
  EXPECT_EQ(j["text"], "a\"b\\c\nd\x01");
  EXPECT_EQ(j["neg"], -42);
  EXPECT_EQ(j["big"].get<unsigned long long>(), 18446744073709551615ull);
  EXPECT_EQ(j["code"], "0x0000650b");
  EXPECT_EQ(j["arg"]["yes"], true);
  EXPECT_EQ(j["arg"]["x"], 0.25);
  EXPECT_TRUE(j["arg"]["nan"].is_null());
  // A line too long for its buffer stays valid JSON.
  JournalLine longLine;
  const std::string big(3000, 'x');
  longLine.str("a", big.c_str()).str("b", "end");
  const char* t2 = longLine.finish(&n);
  EXPECT_FALSE(nlohmann::json::parse(std::string(t2, n - 1), nullptr, false).is_discarded());
}

// Two processes writing at once: every line whole, numbered once in one order.
TEST(SimJournal, ProcessesShareOneNumberingAndNeverInterleave) {
  kavo::test::TestRoot root;
  std::string error;
  struct Rec {
    SharedHeader head;
    std::atomic<uint64_t> seq;
  };
  const std::string file = root.path("/tmp/j.state"), journalFile = root.path("/tmp/j.journal");
  auto* rec = static_cast<Rec*>(mapSharedState(file, sizeof(Rec), 0x4a4a4a4a, 1, nullptr, error));
  ASSERT_NE(rec, nullptr) << error;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  {
    Journal j;
    j.open(journalFile, &rec->seq);
    for (int i = 0; i < 500; ++i) {
      JournalLine line;
      j.head(line, monoNs());
      line.str("who", child == 0 ? "child" : "parent").num("i", i).str("pad", std::string(100, 'p').c_str());
      j.write(line, (i % 3) != 0);
    }
  }
  if (child == 0) ::_exit(0);
  int st = 0;
  ASSERT_EQ(::waitpid(child, &st, 0), child);
  std::ifstream in(journalFile);
  std::string text;
  std::set<uint64_t> seqs;
  size_t lines = 0;
  while (std::getline(in, text)) {
    const auto j = nlohmann::json::parse(text, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << text;
    seqs.insert(j["seq"].get<uint64_t>());
    ++lines;
  }
  EXPECT_EQ(lines, 1000u);
  EXPECT_EQ(seqs.size(), 1000u);
  EXPECT_EQ(*seqs.rbegin(), 1000u);
  unmapSharedState(rec, sizeof(Rec));
}

TEST(SimFaults, ParserTakesRequestFaultsAndTheDevicesOwnKinds) {
  struct Case {
    const char* text;
    bool strict;
    const char* error;  // empty: accepted
  };
  const Case cases[] = {
      {"", false, ""},
      {"  \n", false, ""},
      {"{not json", false, "not valid JSON"},
      {R"({"faults": {}})", false, "expected an object with a \"faults\" array"},
      {R"({"faults": [3]})", false, "a fault is not an object"},
      {R"({"faults": [{"request": 5}]})", false, "\"request\" must be a request name"},
      {R"({"faults": [{"request": "read", "errno": "ENOPE"}]})", false, "\"errno\" must be a positive number"},
      {R"({"faults": [{"request": "read", "errno": -3}]})", false, "\"errno\" must be a positive number"},
      {R"({"faults": [{"request": "read", "nth": -1}]})", false, "\"nth\" must be a number of 0 or more"},
      {R"({"faults": [{"request": "read", "short": "two"}]})", false, "\"short\" must be a number of 0 or more"},
      {R"({"faults": [{"request": "frobnicate"}]})", false, "unknown request \"frobnicate\""},
      {R"({"faults": [{"request": "read", "bogus": 1}]})", false, ""},
      {R"({"faults": [{"request": "read", "bogus": 1}]})", true, "\"bogus\" is not a key of a request fault"},
      {R"({"faults": [{"wiggle": 1}]})", false, "unknown kind"},
      {R"({"faults": [{"request": "read"}, {"stuck": true}]})", false, ""},
  };
  for (const auto& k : cases) {
    int others = 0;
    FaultParseOptions o;
    o.requests = {"read", "write", "I2C_SLAVE_FORCE"};
    o.strictKeys = k.strict;
    o.other = [&others](const nlohmann::json& f, std::string& error) {
      if (!f.contains("stuck")) {
        error = "unknown kind";
        return false;
      }
      ++others;
      return true;
    };
    std::vector<RequestFault> r;
    std::string error;
    const bool ok = parseFaults(k.text, r, o, error);
    EXPECT_EQ(ok, k.error[0] == '\0') << k.text << " gave " << error;
    if (!ok) {
      EXPECT_EQ(error.rfind(k.error, 0), 0u) << k.text << " gave " << error;
      EXPECT_TRUE(r.empty());
    }
  }
  std::vector<RequestFault> r;
  std::string error;
  ASSERT_TRUE(parseFaults(R"({"faults": [{"request": "read", "node": "/dev/i2c-0", "nth": 0, "short": 2},
                                         {"request": "write", "stallMs": 50},
                                         {"request": "write", "errno": "EREMOTEIO", "times": 3},
                                         {"request": "read", "errno": 6}]})",
                          r, FaultParseOptions(), error))
      << error;
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].nth, 1u) << "nth 0 counts as the first call";
  EXPECT_EQ(r[0].shortBytes, 2);
  EXPECT_EQ(r[0].err, 0) << "a short transfer is not a failure";
  EXPECT_EQ(r[1].stallMs, 50u);
  EXPECT_EQ(r[1].err, 0);
  EXPECT_EQ(r[2].err, EREMOTEIO);
  EXPECT_EQ(r[3].err, ENXIO);
  EXPECT_STREQ(errnoName(EREMOTEIO), "EREMOTEIO");
  EXPECT_STREQ(errnoName(9999), "E?");
}

TEST(SimFaults, CallsAreCountedPerFaultInThisProcessOrInEveryProcess) {
  const auto faults = [] {
    std::vector<RequestFault> v(2);
    v[0].request = "write";
    v[0].node = "/dev/i2c-0";
    v[0].nth = 2;
    v[0].times = 2;
    v[0].err = EREMOTEIO;
    v[1].request = "read";
    v[1].nth = 3;
    v[1].shortBytes = 1;
    return v;
  };
  RequestFaults local;
  local.set(faults());
  std::vector<int> errs;
  for (int i = 0; i < 5; ++i) errs.push_back(local.onRequest("write", "/dev/i2c-0").err);
  EXPECT_EQ(errs, (std::vector<int>{0, EREMOTEIO, EREMOTEIO, 0, 0}));
  EXPECT_EQ(local.onRequest("write", "/dev/spidev0.0").err, 0) << "another node does not count";
  EXPECT_EQ(local.onRequest("read", nullptr).shortBytes, -1);
  EXPECT_EQ(local.onRequest("read", nullptr).shortBytes, -1);
  EXPECT_EQ(local.onRequest("read", nullptr).shortBytes, 1);

  // Shared counters: a second process that takes the same file goes on counting; a new file
  // starts again.
  SharedFaultCounters shared{};
  FileIdentity file{true, 7, 100, 12345};
  RequestFaults a, b;
  a.set(faults(), &shared, file);
  EXPECT_TRUE(a.countingRestarted());
  EXPECT_EQ(a.onRequest("write", "/dev/i2c-0").err, 0);
  b.set(faults(), &shared, file);
  EXPECT_FALSE(b.countingRestarted());
  EXPECT_EQ(b.onRequest("write", "/dev/i2c-0").err, EREMOTEIO);
  EXPECT_EQ(a.onRequest("write", "/dev/i2c-0").err, EREMOTEIO);
  EXPECT_EQ(b.onRequest("write", "/dev/i2c-0").err, 0);
  file.mtimeNs += 1;
  b.set(faults(), &shared, file);
  EXPECT_TRUE(b.countingRestarted());
  EXPECT_EQ(b.onRequest("write", "/dev/i2c-0").err, 0);
  EXPECT_EQ(b.onRequest("write", "/dev/i2c-0").err, EREMOTEIO);
}

TEST(SimFiles, WatchedFileSeesReplacementsAndInPlaceRewritesBehindItsGate) {
  kavo::test::TestRoot root;
  const std::string f = root.path("/tmp/w.json");
  WatchedFile w(50000000ull);
  w.setPath(f);
  uint64_t t = 1000000000ull;
  EXPECT_TRUE(w.poll(t, 0)) << "the first look always reports";
  EXPECT_FALSE(w.identity().exists);
  EXPECT_FALSE(w.poll(t + 1, 0));
  ASSERT_TRUE(writeFileAtomic(f, "one"));
  EXPECT_FALSE(w.poll(t + 2, 0)) << "inside the gate nothing is looked at";
  EXPECT_TRUE(w.poll(t + 60000000ull, 0));
  EXPECT_TRUE(w.identity().exists);
  EXPECT_FALSE(w.poll(t + 120000000ull, 0));
  EXPECT_TRUE(w.poll(t + 120000001ull, 1)) << "a new generation is looked at at once";
  EXPECT_TRUE(w.poll(t + 120000002ull, 1, true)) << "forced";
  // Rewritten in place with another size.
  std::ofstream(f, std::ios::app) << "two";
  EXPECT_TRUE(w.poll(t + 200000000ull, 1));
  EXPECT_EQ(readFile(f), "onetwo");
  ::unlink(f.c_str());
  EXPECT_TRUE(w.poll(t + 300000000ull, 1));
  EXPECT_FALSE(w.identity().exists);
}

TEST(SimSharedState, BuiltOnceAndRebuiltForAnotherVersion) {
  kavo::test::TestRoot root;
  struct Rec {
    SharedHeader head;
    pthread_mutex_t mutex;
    uint32_t value;
  };
  const std::string file = root.path("/tmp/kavo_sim/x.state");
  int builds = 0;
  auto init = [&builds](void* r) {
    auto* rec = static_cast<Rec*>(r);
    initRobustMutex(&rec->mutex);
    rec->value = 41;
    ++builds;
    return true;
  };
  std::string error;
  auto* a = static_cast<Rec*>(mapSharedState(file, sizeof(Rec), 0x58585858, 1, init, error));
  ASSERT_NE(a, nullptr) << error;
  auto* b = static_cast<Rec*>(mapSharedState(file, sizeof(Rec), 0x58585858, 1, init, error));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(builds, 1);
  lockRobustMutex(&a->mutex);
  ++a->value;
  pthread_mutex_unlock(&a->mutex);
  EXPECT_EQ(b->value, 42u);
  EXPECT_TRUE(sharedStateValid(b, 0x58585858, 1));
  EXPECT_FALSE(sharedStateValid(b, 0x58585858, 2));
  unmapSharedState(b, sizeof(Rec));
  // A process dies holding the lock: the next one takes it over.
  const pid_t child = ::fork();
  if (child == 0) {
    lockRobustMutex(&a->mutex);
    ::_exit(0);
  }
  int st = 0;
  ASSERT_EQ(::waitpid(child, &st, 0), child);
  lockRobustMutex(&a->mutex);
  pthread_mutex_unlock(&a->mutex);
  unmapSharedState(a, sizeof(Rec));
  // Another version of the record: built anew.
  auto* c = static_cast<Rec*>(mapSharedState(file, sizeof(Rec), 0x58585858, 2, init, error));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(builds, 2);
  EXPECT_EQ(c->value, 41u);
  unmapSharedState(c, sizeof(Rec));
}

}  // namespace
