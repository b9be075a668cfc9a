// A process that serves one IPC endpoint for the cross-process tests.
//   kavo_ipc_test_peer <endpoint> [--verbose]
// Prints "READY" once its endpoint listens ("INIT FAILED" and exit 1 otherwise) and serves until
// SIGTERM or a "Quit" request. Functions (payload keys in brackets):
//   "Echo"          answers status 0 with the request's payload
//   "Big"           answers with a string payload of [size] bytes of "b"
//   "Send"          sends [count] requests [function] to [to] (with [responseExpected] and
//                   [payload]); answers {"accepted": n}. The answers to those requests are
//                   relayed to the asker as "ResponseSeen" requests {"request", "response"}.
//   "SendResponses" queues [count] responses to [to] for made-up requests; {"accepted": n}
//   "Queued"        answers {"count": frames queued for [to]}
//   "Quit"          answers, then ends the process
// Anything else reaches the catch-all rejector.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "kavo/ipc/catchallhandlerrejector.h"
#include "kavo/ipc/ipc.h"

using kavo::ipc::BaseHandler;
using kavo::ipc::Ipc;
using kavo::ipc::messages::BaseMessage;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::BaseResponseMessage;
using kavo::variant::Variant;

namespace {

volatile sig_atomic_t g_quit = 0;
void onSignal(int) { g_quit = 1; }

std::string g_self;

// Sends the answers to the requests that "Send" made back to whoever asked for them.
class RelayHandler : public BaseHandler {
 public:
  RelayHandler() : BaseHandler("Relay") {}
  bool MessageSentSuccessfully(BaseMessage&, bool&) override { return true; }
  bool HandleRequest(BaseRequestMessage&, bool&) override { return true; }
  bool HandleResponse(BaseRequestMessage& request, BaseResponseMessage& response, bool&) override {
    auto it = askers.find(request.id());
    if (it == askers.end()) return true;
    BaseRequestMessage seen;
    seen.functionName("ResponseSeen");
    seen.from(g_self);
    seen.to(it->second);
    seen["payload"]["request"] = static_cast<const Variant&>(request);
    seen["payload"]["response"] = static_cast<const Variant&>(response);
    askers.erase(it);
    return ipc->SendRequest(seen);
  }
  std::map<uint64_t, std::string> askers;  // request id -> endpoint that asked for it
};

class PeerHandler : public BaseHandler {
 public:
  explicit PeerHandler(RelayHandler& relay) : BaseHandler("Peer"), relay_(relay) {}
  bool MessageSentSuccessfully(BaseMessage&, bool&) override { return true; }
  bool HandleResponse(BaseRequestMessage&, BaseResponseMessage&, bool&) override { return true; }
  bool HandleRequest(BaseRequestMessage& request, bool&) override {
    const std::string fn = request.functionName();
    Variant args = request["payload"];
    BaseResponseMessage response;
    if (fn == "Echo") {
      response.payload(args);
    } else if (fn == "Big") {
      response.payload(Variant(std::string(args["size"].AsUInt64(), 'b')));
    } else if (fn == "Send") {
      const std::string function = args["function"].AsString();
      bool registered = false;
      for (const std::string& f : relayed_) registered = registered || f == function;
      if (!registered) {
        ipc->AddHandler(function, &relay_);
        relayed_.push_back(function);
      }
      uint64_t accepted = 0;
      for (uint64_t i = 0; i < args["count"].AsUInt64(); ++i) {
        BaseRequestMessage out;
        out.functionName(function);
        out.from(g_self);
        out.to(args["to"].AsString());
        out.responseExpected(args["responseExpected"].AsBool());
        out["payload"] = args["payload"];
        out["payload"]["n"] = i;
        if (!ipc->SendRequest(out)) continue;
        ++accepted;
        if (out.responseExpected()) relay_.askers[out.id()] = request.from();
      }
      response.payload()["accepted"] = accepted;
    } else if (fn == "SendResponses") {
      uint64_t accepted = 0;
      for (uint64_t i = 0; i < args["count"].AsUInt64(); ++i) {
        BaseRequestMessage asked;
        asked.functionName("MadeUp");
        asked.from(args["to"].AsString());
        asked.to(g_self);
        asked.responseExpected(true);
        BaseResponseMessage r;
        if (ipc->SendResponse(asked, r)) ++accepted;
      }
      response.payload()["accepted"] = accepted;
    } else if (fn == "Queued") {
      response.payload()["count"] = static_cast<uint64_t>(ipc->GetQueuedCount(args["to"].AsString()));
    } else if (fn == "Quit") {
      g_quit = 1;
    }
    return ipc->SendResponse(request, response);
  }

 private:
  RelayHandler& relay_;
  std::vector<std::string> relayed_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <endpoint> [--verbose]\n", argv[0]);
    return 2;
  }
  g_self = argv[1];
  std::signal(SIGTERM, onSignal);
  std::signal(SIGINT, onSignal);
  RelayHandler relay;
  PeerHandler peer(relay);
  kavo::ipc::CatchAllHandlerRejector rejector;
  Ipc* ipc = Ipc::GetInstance();
  for (int i = 2; i < argc; ++i)
    if (std::strcmp(argv[i], "--verbose") == 0) ipc->SetVerbose(true);
  for (const char* fn : {"Echo", "Big", "Send", "SendResponses", "Queued", "Quit"}) ipc->AddHandler(fn, &peer);
  ipc->AddHandler("", &rejector);
  if (!ipc->Init(g_self, false)) {
    std::printf("INIT FAILED\n");
    std::fflush(stdout);
    Ipc::FreeInstance();
    return 1;
  }
  std::printf("READY\n");
  std::fflush(stdout);
  while (!g_quit) ipc->Service(50);
  // Let a last answer ("Quit") leave.
  for (int i = 0; i < 20; ++i) ipc->Service(5);
  Ipc::FreeInstance();
  return 0;
}
