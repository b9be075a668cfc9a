#pragma once
// Ipc: the per-process hub. A process names itself once (its endpoint name), registers handlers
// per function name and then calls Service() from its own loop; inside that call the hub accepts
// connections, reads and writes frames, reconnects to peers with queued messages and runs the
// handlers. Sending only queues a frame and arms the connection; the bytes leave during a later
// Service() call (before it waits, or after the handlers of that pass). No thread, no lock: use one Ipc from one thread at a time.
//
//   Ipc* ipc = Ipc::GetInstance();
//   ipc->AddHandler("ForceIDR", &forceIdr).AddHandler("", &rejector);
//   if (!ipc->Init("kavo_streamer", false)) ...;
//   for (;;) ipc->Service(50);
//
// Endpoints listen on "/var/run/ipc/<name>" (through kavo::os::path, so tests run under a root).
// A send queue takes a request while it holds fewer than 64 frames and a response while it holds
// fewer than 128; a peer that is not listening keeps its queue and is tried every 2 seconds,
// except that answers to a peer that has no connection and does not listen are dropped (logged)
// after a whole interval. While a connected peer's queue is full the hub stops reading from that
// connection, so no answer to it is lost. An answer too large to send (kMaxFrameBodySize) is
// replaced by a status-1 answer that says so. An answer counts only when it arrives on the
// connection its request left on: ids are easy to guess and any client may claim any name, so
// one from elsewhere is logged and dropped, and the request waits on.
#include <sys/epoll.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kavo/ipc/basehandler.h"
#include "kavo/ipc/messages/basemessage.h"
#include "kavo/ipc/messages/baserequestmessage.h"
#include "kavo/ipc/messages/baseresponsemessage.h"

namespace kavo {
namespace threading {
class InterProcessMutex;
}
namespace ipc {

class BaseIPCIO;
class BaseIPCConnection;
class IOPayload;

class Ipc {
 public:
  static constexpr size_t kMaxEvents = 128;
  static constexpr size_t kMaxQueuedRequests = 64;
  static constexpr size_t kMaxQueuedResponses = 128;
  // Destinations without a connection that may hold a queue at once: each answer to a request
  // that names an endpoint nobody serves waits for a while, so a flood of made-up names is kept
  // in bounds. Connected peers do not count.
  static constexpr size_t kMaxQueuedDestinations = 64;
  static constexpr uint32_t kReconnectIntervalMs = 2000;

  // The process-wide hub, created on first use. Neither takes a lock.
  static Ipc* GetInstance();
  static void FreeInstance();

  Ipc();
  virtual ~Ipc();  // TearDown(true)
  Ipc(const Ipc&) = delete;
  Ipc& operator=(const Ipc&) = delete;

  // Names this endpoint (trimmed). Unless `clientOnly`, takes the endpoint's exclusive lock,
  // listens on its socket and starts the 2 s reconnect timer; a client-only hub can send and
  // receive responses only over connections it opens itself. True at once when initialised.
  bool Init(const std::string& selfName, bool clientOnly);
  // Closes and frees every socket and payload; `full` also forgets handlers and pending requests.
  void TearDown(bool full);

  // Gives the handler this hub and appends it to the chain of `functionName`; the empty name
  // makes it the catch-all (replacing an earlier one). Handlers are referenced, not owned.
  Ipc& AddHandler(const std::string& functionName, BaseHandler* handler);

  // One pass of the event loop; `timeoutMs` goes to epoll_wait (0 polls, -1 waits).
  bool Service(int timeoutMs);

  // Queue a message (normalised, given a fresh id) for its "to". The hub does not fill "from": a
  // sender that wants an answer sets it to its own endpoint name.
  bool SendRequest(kavo::ipc::messages::BaseRequestMessage& request);
  // Answers `request` when it expects a response ("requestId", swapped "from"/"to"); true and
  // nothing sent when it does not.
  bool SendResponse(kavo::ipc::messages::BaseRequestMessage& request,
                    kavo::ipc::messages::BaseResponseMessage& response);
  // Sends the request (no response expected) to every endpoint listed in "/var/run/ipc".
  bool BroadcastRequest(kavo::ipc::messages::BaseRequestMessage& request);

  void SetVerbose(bool value) { verbose = value; }
  bool IsVerbose() const { return verbose; }
  std::string DumpHandlersList() const;

  // ---- called by the IO objects --------------------------------------------------------------
  bool SignalAcceptedConnection(int fd);
  bool SignalConnectionNamed(BaseIPCIO* io);
  bool SignalInputData(BaseIPCIO* io, const uint8_t* data, uint32_t length);
  bool SignalSendPayloadComplete(IOPayload* payload);
  bool SignalTimerTriggered();
  IOPayload* PeekIOPayload(const std::string& peer);
  bool DisarmWriteEvent(BaseIPCIO* io);
  // When the peer's queue is full: stops watching the connection for input until it has drained
  // (see Service) and returns true; the connection keeps its unread frames meanwhile.
  bool PauseReadingWhenFull(BaseIPCConnection* connection);
  uint64_t CreateUniqueId() { return nextIoId++; }

  // ---- state, for tests and diagnostics ------------------------------------------------------
  bool IsInitialized() const { return initialized; }
  const std::string& GetSelfName() const { return selfName; }
  size_t GetQueuedCount(const std::string& peer) const;
  size_t GetPendingRequestsCount() const { return pendingRequests.size(); }
  size_t GetActiveIOsCount() const { return activeIOs.size(); }
  // The connection that carries traffic with `peer`, or null.
  BaseIPCConnection* GetConnection(const std::string& peer) const;

 private:
  friend struct IpcTestAccess;  // unit tests reach the IO accounting through it

  // `awaitedRequestId`: the id of a request that waits for its answer (0: none).
  bool Send(kavo::ipc::messages::BaseMessage& message, bool isResponse, uint64_t awaitedRequestId = 0);
  bool HandleRequest(kavo::ipc::messages::BaseRequestMessage& request);
  bool HandleResponse(kavo::ipc::messages::BaseRequestMessage& request,
                      kavo::ipc::messages::BaseResponseMessage& response);
  bool ActivateIO(BaseIPCIO* io);
  // Watches one of the hub's own IOs (the acceptor, the timer; `ready`: its set-up succeeded) for
  // input and activates it, after which activeIOs owns it; else logs why and deletes it.
  bool StartOwnIO(std::unique_ptr<BaseIPCIO> io, bool ready, const char* initFailure, const char* registerFailure);
  void DeactivateIO(BaseIPCIO* io);
  bool ArmEvents(BaseIPCIO* io, uint32_t mask);
  bool StartConnect(const std::string& peer);
  IOPayload* GetPayloadInstance();
  // True when a handler would be told that a message of this function was written.
  bool HasSentHandlers(const std::string& functionName) const;
  void ReleasePayloadInstance(IOPayload* payload);
  bool IsActive(const BaseIPCIO* io) const;
  void ScheduleWrite(BaseIPCConnection* connection);
  void FlushWrites();
  void DeleteDeadIOs();
  // Connections paused by PauseReadingWhenFull whose queue is half free again read on.
  void ResumeReading();
  // The answers in the queue of a peer that cannot be reached which have waited a whole interval.
  void DropStaleResponses(const std::string& peer, std::vector<IOPayload*>& queue);
  size_t UnreachableDestinationsCount() const;

  static Ipc* _pInstance;

  bool verbose = false;
  bool initialized = false;
  kavo::threading::InterProcessMutex* processLock = nullptr;
  std::string selfName;
  uint64_t nextIoId = 1;
  int epollFd = -1;
  std::array<struct epoll_event, kMaxEvents> events{};
  std::map<uint64_t, BaseIPCIO*> activeIOs;
  std::map<uint64_t, BaseIPCIO*> deadIOs;
  std::map<std::string, BaseIPCConnection*> connectionsByPeer;
  BaseHandler* catchAllHandler = nullptr;
  std::map<std::string, std::vector<BaseHandler*>> handlers;
  struct PendingRequest {
    kavo::ipc::messages::BaseRequestMessage request;
    uint64_t connectionId = 0;  // the connection that wrote it; 0 until it has left
  };
  std::map<uint64_t, PendingRequest> pendingRequests;
  std::map<std::string, std::vector<IOPayload*>> sendQueues;
  std::vector<IOPayload*> payloadPool;
  // Connections with new frames that are not waiting for EPOLLOUT: Service writes to them
  // directly (before it waits and after it has run the handlers), so a frame that the socket
  // takes at once costs neither an epoll_ctl nor an extra wake-up.
  std::vector<uint64_t> writesDue;
  std::vector<uint64_t> pausedReads;  // connections whose reading waits for their queue to drain
  uint64_t timerTicks = 0;            // reconnect timer expirations, the clock of waiting answers
  size_t refusedSize = 0;             // JSON size of the last message Send refused as too large
};

}  // namespace ipc
}  // namespace kavo
