#include "kavo/ipc/ipc.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <typeinfo>
#include <unistd.h>
#include <utility>

#include "ipclog.h"
#include "kavo/ipc/baseipcconnection.h"
#include "kavo/ipc/catchallhandlerrejector.h"
#include "kavo/ipc/iopayload.h"
#include "kavo/ipc/ipcioacceptor.h"
#include "kavo/ipc/ipctimer.h"
#include "kavo/ipc/outboundipcconnection.h"
#include "kavo/os/path.h"
#include "kavo/threading/idgenerator.h"
#include "kavo/threading/interprocessmutex.h"
#include "kavo/utils/fs.h"
#include "kavo/utils/strings.h"
#include "socketaddress.h"

namespace kavo {
namespace ipc {

using kavo::ipc::messages::BaseMessage;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::BaseResponseMessage;
using kavo::threading::IdGenerator;

namespace {
const char* const kResponseFunctionName = "__response__";

// The rejector itself (not a class derived from it) does nothing with a message that was sent;
// the programs register it as their catch-all, so their responses and events need no copy for it.
bool IgnoresSentMessages(const BaseHandler* handler) {
  return typeid(*handler) == typeid(CatchAllHandlerRejector);
}
}  // namespace

bool IsVerboseHub(const Ipc* hub) { return hub != nullptr && hub->IsVerbose(); }

// ---- BaseHandler -----------------------------------------------------------------------------

BaseHandler::BaseHandler(const std::string& name_) : name(name_) {}
BaseHandler::~BaseHandler() = default;

// ---- instance --------------------------------------------------------------------------------

Ipc* Ipc::_pInstance = nullptr;

Ipc* Ipc::GetInstance() {
  if (_pInstance == nullptr) _pInstance = new Ipc();
  return _pInstance;
}

void Ipc::FreeInstance() {
  delete _pInstance;
  _pInstance = nullptr;
}

Ipc::Ipc() = default;

Ipc::~Ipc() { TearDown(true); }

bool Ipc::Init(const std::string& name, bool clientOnly) {
  if (initialized) return true;
  TearDown(false);
  std::string trimmed = name;
  kavo::utils::trim(trimmed);
  if (trimmed.empty()) {
    IPC_LOG(LOG_LEVEL_ERROR, 0, "Invalid selfName provided: `%s`", name.c_str());
    return false;
  }
  selfName = trimmed;
  epollFd = ::epoll_create1(EPOLL_CLOEXEC);
  if (epollFd < 0) {
    int err = errno;
    IPC_LOG(LOG_LEVEL_ERROR, err, "Unable to initialize epoll: (%d) %s", err, std::strerror(err));
    return false;
  }
  if (clientOnly) {
    initialized = true;
    return true;
  }
  // The lock carries the same trimmed name as the socket: " kavo_x" and "kavo_x" are one endpoint.
  processLock = new kavo::threading::InterProcessMutex(selfName, false);
  if (processLock->acquire() != 0) {
    IPC_LOG(LOG_LEVEL_ERROR, 0, "Failed to acquire exclusive process mutex, check if another instance is running");
    return false;
  }
  auto acceptor = std::make_unique<IPCIOAcceptor>(this, selfName);
  const bool listening = acceptor->Initialize();
  if (!StartOwnIO(std::move(acceptor), listening, "Unable to initialize UNIX socket acceptor",
                  "Unable to register IPC acceptor to read events"))
    return false;
  auto timer = std::make_unique<IPCTimer>(this, selfName + "_timer");
  const bool armed = timer->Initialize(kReconnectIntervalMs);
  if (!StartOwnIO(std::move(timer), armed, "Unable to initialize the outbound connections timer",
                  "Unable to register the outbound connections timer to read events"))
    return false;
  initialized = true;
  return true;
}

bool Ipc::StartOwnIO(std::unique_ptr<BaseIPCIO> io, bool ready, const char* initFailure,
                     const char* registerFailure) {
  const char* failure = nullptr;
  if (!ready)
    failure = initFailure;
  else if (!ArmEvents(io.get(), EPOLLIN))
    failure = registerFailure;
  else if (!ActivateIO(io.get()))
    failure = "Unable to activate IO";
  if (failure != nullptr) {
    IPC_LOG(LOG_LEVEL_ERROR, 0, "%s", failure);
    return false;
  }
  io.release();  // activeIOs owns it now
  return true;
}

void Ipc::TearDown(bool full) {
  initialized = false;
  selfName.clear();
  nextIoId = 1;
  if (epollFd >= 0) ::close(epollFd);
  epollFd = -1;
  delete processLock;
  processLock = nullptr;
  for (auto& entry : activeIOs) delete entry.second;
  activeIOs.clear();
  for (auto& entry : deadIOs) delete entry.second;
  deadIOs.clear();
  connectionsByPeer.clear();
  writesDue.clear();
  pausedReads.clear();
  for (auto& queue : sendQueues)
    for (IOPayload* payload : queue.second) delete payload;
  sendQueues.clear();
  for (IOPayload* payload : payloadPool) delete payload;
  payloadPool.clear();
  if (full) {
    handlers.clear();
    catchAllHandler = nullptr;
    pendingRequests.clear();
  }
}

Ipc& Ipc::AddHandler(const std::string& functionName, BaseHandler* handler) {
  if (handler != nullptr) handler->SetIpc(this);
  if (functionName.empty())
    catchAllHandler = handler;
  else
    handlers[functionName].push_back(handler);
  return *this;
}

std::string Ipc::DumpHandlersList() const {
  std::string text = "Handlers list begin:\n";
  for (const auto& chain : handlers) text += kavo::utils::format("\t%s: %zu handler(s)\n", chain.first.c_str(), chain.second.size());
  text += "Handlers list end";
  return text;
}

size_t Ipc::GetQueuedCount(const std::string& peer) const {
  auto it = sendQueues.find(peer);
  return it == sendQueues.end() ? 0 : it->second.size();
}

BaseIPCConnection* Ipc::GetConnection(const std::string& peer) const {
  auto it = connectionsByPeer.find(peer);
  return it == connectionsByPeer.end() ? nullptr : it->second;
}

// ---- IO accounting ---------------------------------------------------------------------------

bool Ipc::IsActive(const BaseIPCIO* io) const {
  auto it = activeIOs.find(io->GetId());
  return it != activeIOs.end() && it->second == io;
}

bool Ipc::ArmEvents(BaseIPCIO* io, uint32_t mask) {
  if (io == nullptr) {
    IPC_LOG(LOG_LEVEL_ERROR, 0, "Invalid parameters provided to Ipc::ArmEvents function");
    return false;
  }
  if (deadIOs.count(io->GetId()) != 0) {
    IPC_LOG(LOG_LEVEL_ERROR, 0, "IPC IO enqueued for delete");
    return false;
  }
  auto it = activeIOs.find(io->GetId());
  if (it != activeIOs.end() && it->second != io) {
    IPC_LOG(LOG_LEVEL_ERROR, 0, "Inconsistency detected on IO accounting");
    return false;
  }
  // A connection whose reading is paused is not watched for input, whatever the caller asks.
  const bool paused = io->IsConnection() && static_cast<BaseIPCConnection*>(io)->IsReadPaused();
  const uint32_t wanted = (paused ? mask & ~static_cast<uint32_t>(EPOLLIN) : mask) | EPOLLRDHUP | EPOLLERR;
  const bool registered = io->GetArmedEvents() != 0;
  if (registered && io->GetArmedEvents() == wanted) return true;  // nothing changes
  struct epoll_event ev {};
  ev.events = wanted;
  ev.data.u64 = io->GetId();
  if (::epoll_ctl(epollFd, registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, io->GetFd(), &ev) != 0) {
    int err = errno;
    IPC_LOG(LOG_LEVEL_ERROR, err, "Unable to arm read event on UNIX socket: (%d) %s", err, std::strerror(err));
    return false;
  }
  io->SetArmedEvents(wanted);
  return true;
}

bool Ipc::DisarmWriteEvent(BaseIPCIO* io) { return ArmEvents(io, EPOLLIN); }

bool Ipc::ActivateIO(BaseIPCIO* io) {
  if (io == nullptr || deadIOs.count(io->GetId()) != 0) return false;
  auto it = activeIOs.find(io->GetId());
  if (it != activeIOs.end() && it->second != io) return false;
  BaseIPCConnection* connection = io->IsConnection() ? static_cast<BaseIPCConnection*>(io) : nullptr;
  const std::string& peer = io->GetPeerName();
  if (connection != nullptr && !peer.empty()) {
    auto older = connectionsByPeer.find(peer);
    if (older != connectionsByPeer.end() && older->second != connection) DeactivateIO(older->second);
  }
  activeIOs[io->GetId()] = io;
  if (connection != nullptr && !peer.empty()) connectionsByPeer[peer] = connection;
  IPC_VLOG(this, LOG_LEVEL_DEBUG, 0, "IO activated: %s", io->ToString().c_str());
  return true;
}

void Ipc::DeactivateIO(BaseIPCIO* io) {
  if (io == nullptr) return;
  if (io->IsConnection()) {
    // Only the connection that carries the peer's traffic gives up the entry; an older one
    // going away must not orphan its successor.
    auto entry = connectionsByPeer.find(io->GetPeerName());
    if (entry != connectionsByPeer.end() && entry->second == io) connectionsByPeer.erase(entry);
  }
  auto it = activeIOs.find(io->GetId());
  if (it != activeIOs.end() && it->second == io) activeIOs.erase(it);
  deadIOs[io->GetId()] = io;
  IPC_VLOG(this, LOG_LEVEL_DEBUG, 0, "IO deactivated: %s", io->ToString().c_str());
}

void Ipc::DeleteDeadIOs() {
  for (auto& entry : deadIOs) {
    BaseIPCIO* io = entry.second;
    // Removed explicitly: a descriptor shared with a forked child would otherwise stay in the set.
    if (io->GetArmedEvents() != 0 && io->GetFd() >= 0 && epollFd >= 0)
      ::epoll_ctl(epollFd, EPOLL_CTL_DEL, io->GetFd(), nullptr);
    delete io;
  }
  deadIOs.clear();
}

// ---- service loop ----------------------------------------------------------------------------

bool Ipc::Service(int timeoutMs) {
  if (!initialized) {
    IPC_LOG(LOG_LEVEL_ERROR, 0, "IPC not initialized");
    return false;
  }
  FlushWrites();
  int count = ::epoll_wait(epollFd, events.data(), static_cast<int>(kMaxEvents), timeoutMs);
  if (count < 0) {
    int err = errno;
    if (err != EINTR) {
      IPC_LOG(LOG_LEVEL_ERROR, err, "Unable execute epoll_wait: (%d) %s", err, std::strerror(err));
      return false;
    }
    count = 0;
  }
  for (int i = 0; i < count; ++i) {
    auto it = activeIOs.find(events[i].data.u64);
    if (it == activeIOs.end()) continue;  // deactivated earlier in this pass
    BaseIPCIO* io = it->second;
    const uint32_t flags = events[i].events;
    if (flags & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
      // Take in every complete frame the peer sent before it went away, then drop the IO.
      if (io->IsConnection()) {
        BaseIPCConnection* connection = static_cast<BaseIPCConnection*>(io);
        connection->SetReadPaused(false);
        connection->SetFlowControl(false);
        while (IsActive(io) && io->DoRead() > 0) {
        }
      }
      if (IsActive(io)) DeactivateIO(io);
      continue;
    }
    if (flags & EPOLLIN) {
      if (io->DoRead() < 0) {
        IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "Read failed on %s", io->ToString().c_str());
        if (IsActive(io)) DeactivateIO(io);
        continue;
      }
    }
    // An IO that a handler deactivated while it was reading gets no write.
    if ((flags & EPOLLOUT) && IsActive(io)) {
      if (io->DoWrite() < 0) {
        IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "Write failed on %s", io->ToString().c_str());
        if (IsActive(io)) DeactivateIO(io);
      }
    }
  }
  ResumeReading();
  FlushWrites();
  DeleteDeadIOs();
  return true;
}

bool Ipc::PauseReadingWhenFull(BaseIPCConnection* connection) {
  if (GetQueuedCount(connection->GetPeerName()) < kMaxQueuedResponses) return false;
  connection->SetReadPaused(true);
  if (!ArmEvents(connection, connection->GetArmedEvents() & EPOLLOUT)) {
    IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "Unable to register IPC connection to write events");
    DeactivateIO(connection);
    return true;
  }
  pausedReads.push_back(connection->GetId());
  IPC_VLOG(this, LOG_LEVEL_DEBUG, 0, "Reading paused on %s: its queue is full", connection->ToString().c_str());
  return true;
}

void Ipc::ResumeReading() {
  if (pausedReads.empty()) return;
  std::vector<uint64_t> paused;
  paused.swap(pausedReads);  // a connection that fills its queue again is paused anew
  for (uint64_t id : paused) {
    auto it = activeIOs.find(id);
    if (it == activeIOs.end() || !it->second->IsConnection()) continue;
    BaseIPCConnection* connection = static_cast<BaseIPCConnection*>(it->second);
    if (!connection->IsReadPaused()) continue;
    // Half the queue free: the frames waiting in the buffer are handed on, then the socket.
    if (GetQueuedCount(connection->GetPeerName()) > kMaxQueuedResponses / 2) {
      pausedReads.push_back(id);
      continue;
    }
    connection->SetReadPaused(false);
    if (!connection->DeliverFrames()) {
      IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "Read failed on %s", connection->ToString().c_str());
      if (IsActive(connection)) DeactivateIO(connection);
      continue;
    }
    if (IsActive(connection) && !connection->IsReadPaused() &&
        !ArmEvents(connection, EPOLLIN | (connection->GetArmedEvents() & EPOLLOUT))) {
      IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "Unable to register IPC connection to read events");
      DeactivateIO(connection);
    }
  }
}

// ---- sending ---------------------------------------------------------------------------------

IOPayload* Ipc::GetPayloadInstance() {
  if (payloadPool.empty()) return new IOPayload();
  IOPayload* payload = payloadPool.back();  // cleared when it was released
  payloadPool.pop_back();
  return payload;
}

void Ipc::ReleasePayloadInstance(IOPayload* payload) {
  if (payload == nullptr) return;
  auto queue = sendQueues.find(payload->GetTo());
  if (queue != sendQueues.end()) {
    if (!queue->second.empty() && queue->second.front() == payload) queue->second.erase(queue->second.begin());
    // An emptied queue stays while its peer is connected: the next frame for that peer would
    // otherwise allocate it again. The reconnect timer removes the empty ones of idle peers.
    if (queue->second.empty() && connectionsByPeer.find(queue->first) == connectionsByPeer.end())
      sendQueues.erase(queue);
  }
  payload->Clear();
  payloadPool.push_back(payload);
}

bool Ipc::Send(BaseMessage& message, bool isResponse, uint64_t awaitedRequestId) {
  message.NormalizeFields();
  const std::string destination = message.to();
  const std::string function = message.functionName();
  refusedSize = 0;
  auto connection = connectionsByPeer.find(destination);
  auto found = sendQueues.find(destination);
  if (found == sendQueues.end()) {
    // Destinations that are connected always get a queue. Those that are not, and do not listen,
    // may hold one only so many at once: each answer to a made-up "from" waits for a while.
    if (connection == connectionsByPeer.end()) {
      const size_t waiting = UnreachableDestinationsCount();
      if (waiting >= kMaxQueuedDestinations) {
        if (!StartConnect(destination)) {
          IPC_LOG(LOG_LEVEL_WARNING, 0,
                  "Messages wait for %zu unreachable destinations already. Discarding message to %s", waiting,
                  destination.c_str());
          return false;
        }
        connection = connectionsByPeer.find(destination);
      }
    }
    found = sendQueues.emplace(destination, std::vector<IOPayload*>()).first;
  }
  std::vector<IOPayload*>& queue = found->second;
  const size_t limit = isResponse ? kMaxQueuedResponses : kMaxQueuedRequests;
  IPC_VLOG(this, LOG_LEVEL_DEBUG, 0, "Queue for %s -> %s connection is %zu/%zu (%.2f%%)", selfName.c_str(),
           destination.c_str(), queue.size(), limit, queue.size() * 100.0 / limit);
  if (queue.size() >= limit) {
    // The sender of a request learns it from the result; an answer has nobody else to tell.
    if (isResponse)
      IPC_LOG(LOG_LEVEL_WARNING, 0, "Queue for %s -> %s connection grew too big (%zu messages). Discarding message",
              selfName.c_str(), destination.c_str(), queue.size());
    else
      IPC_VLOG(this, LOG_LEVEL_WARNING, 0,
               "Queue for %s -> %s connection grew too big (%zu messages). Discarding message", selfName.c_str(),
               destination.c_str(), queue.size());
    return false;
  }
  IOPayload* payload = GetPayloadInstance();
  // The copy of the message is kept only for handlers that will be told that it left.
  if (!payload->Init(message, destination, function, HasSentHandlers(function))) {
    IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "Unable to initialize the payload instance");
    refusedSize = payload->GetRefusedSize();
    payload->Clear();
    payloadPool.push_back(payload);
    if (queue.empty()) sendQueues.erase(found);
    return false;
  }
  payload->SetQueuedTick(timerTicks);
  payload->SetAwaitedRequestId(awaitedRequestId);
  queue.push_back(payload);
  if (connection == connectionsByPeer.end()) {
    StartConnect(destination);  // an unreachable peer keeps its queue; the timer tries again
    return true;
  }
  ScheduleWrite(connection->second);
  return true;
}

void Ipc::ScheduleWrite(BaseIPCConnection* connection) {
  // A connection armed for EPOLLOUT drains its queue from there.
  if (connection->GetArmedEvents() & EPOLLOUT) return;
  const uint64_t id = connection->GetId();
  for (uint64_t due : writesDue)
    if (due == id) return;
  writesDue.push_back(id);
}

void Ipc::FlushWrites() {
  // Handlers run from here may queue more; those are served by the next flush.
  for (size_t i = 0; i < writesDue.size(); ++i) {
    auto it = activeIOs.find(writesDue[i]);
    if (it == activeIOs.end() || !it->second->IsConnection()) continue;
    BaseIPCConnection* connection = static_cast<BaseIPCConnection*>(it->second);
    const int left = connection->WritePending();
    if (left < 0) {
      IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "Write failed on %s", connection->ToString().c_str());
      DeactivateIO(connection);
    } else if (left > 0 && IsActive(connection) && !ArmEvents(connection, EPOLLIN | EPOLLOUT)) {
      IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "Unable to register IPC connection to read/write events");
      DeactivateIO(connection);
    }
  }
  writesDue.clear();
}

bool Ipc::SendRequest(BaseRequestMessage& request) {
  if (!initialized) {
    IPC_LOG(LOG_LEVEL_ERROR, 0, "IPC not initialized");
    return false;
  }
  const uint64_t id = IdGenerator::GenerateId();
  request.id(id);
  const bool awaited = request.responseExpected();
  // Frames leave only inside Service, so the entry is there before the frame's connection is noted.
  if (!Send(request, false, awaited ? id : 0)) return false;
  if (awaited) {
    auto slot = pendingRequests.find(id);
    if (slot == pendingRequests.end())
      pendingRequests.emplace(id, PendingRequest{request, 0});
    else
      slot->second = PendingRequest{request, 0};
  }
  return true;
}

bool Ipc::SendResponse(BaseRequestMessage& request, BaseResponseMessage& response) {
  if (!initialized) {
    IPC_LOG(LOG_LEVEL_ERROR, 0, "IPC not initialized");
    return false;
  }
  if (!request.responseExpected()) {
    IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "Dropping response to request functionName=%s",
             request.functionName().c_str());
    return true;
  }
  response.id(IdGenerator::GenerateId());
  response.requestId(request.id());
  response.from(request.to());
  response.to(request.from());
  if (Send(response, true)) return true;
  if (refusedSize == 0) return false;
  // An answer too large to travel: the requester learns why instead of waiting for ever.
  BaseResponseMessage refusal;
  refusal.id(IdGenerator::GenerateId());
  refusal.requestId(request.id());
  refusal.from(request.to());
  refusal.to(request.from());
  refusal.statusCode(1);
  refusal.payload(kavo::variant::Variant(kavo::utils::format(
      "Response too large to send: %zu bytes, the limit is %u", refusedSize, kMaxFrameBodySize)));
  return Send(refusal, true);
}

bool Ipc::BroadcastRequest(BaseRequestMessage& request) {
  if (!initialized) {
    IPC_LOG(LOG_LEVEL_ERROR, 0, "IPC not initialized");
    return false;
  }
  const std::string folder = kavo::os::path(kIpcFolder);
  std::string resolved;
  if (!kavo::utils::resolvePath(folder, resolved, true)) {
    IPC_LOG(LOG_LEVEL_WARNING, 0, "Folder `%s` not found", folder.c_str());
    return true;
  }
  std::map<std::string, bool> entries;
  kavo::utils::listFolder(resolved, entries);
  request.responseExpected(false);
  for (const auto& entry : entries) {
    if (entry.second || entry.first.compare(0, resolved.size(), resolved) != 0) continue;
    const std::string name = entry.first.substr(resolved.size());
    if (name == selfName) continue;
    request.id(IdGenerator::GenerateId());
    request.to(name);
    if (!Send(request, false))
      IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "Unable to send message to `%s`", name.c_str());
  }
  return true;
}

bool Ipc::StartConnect(const std::string& peer) {
  OutboundIPCConnection* connection = new OutboundIPCConnection(this, selfName, peer);
  if (connection->StartConnect() && ArmEvents(connection, EPOLLIN | EPOLLOUT) && ActivateIO(connection)) return true;
  IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "Unable to start %s -> %s connection", selfName.c_str(), peer.c_str());
  delete connection;
  return false;
}

IOPayload* Ipc::PeekIOPayload(const std::string& peer) {
  auto queue = sendQueues.find(peer);
  if (queue == sendQueues.end() || queue->second.empty()) return nullptr;  // see ReleasePayloadInstance
  return queue->second.front();
}

bool Ipc::HasSentHandlers(const std::string& functionName) const {
  auto chain = handlers.find(functionName);
  if (chain != handlers.end() && !chain->second.empty()) return true;
  return catchAllHandler != nullptr && !IgnoresSentMessages(catchAllHandler);
}

// ---- signals from the IO objects -------------------------------------------------------------

bool Ipc::SignalAcceptedConnection(int fd) {
  if (fd < 0) {
    IPC_LOG(LOG_LEVEL_ERROR, 0, "Invalid FD provided");
    return false;
  }
  InboundIPCConnection* connection = new InboundIPCConnection(this, selfName, fd);
  if (!ArmEvents(connection, EPOLLIN)) {
    IPC_LOG(LOG_LEVEL_ERROR, 0, "Unable to register IPC connection to read events");
    delete connection;
    return false;
  }
  if (!ActivateIO(connection)) {
    IPC_LOG(LOG_LEVEL_ERROR, 0, "Unable to activate the IPC connection");
    delete connection;
    return false;
  }
  return true;
}

bool Ipc::SignalConnectionNamed(BaseIPCIO* io) {
  if (io == nullptr || io->GetType() != IPC_IO_TYPE_INBOUND_CONNECTION || io->GetPeerName().empty()) return false;
  return ActivateIO(io);
}

bool Ipc::SignalInputData(BaseIPCIO* io, const uint8_t* data, uint32_t length) {
  // Parsed straight into the request; a response takes the document over by move.
  BaseRequestMessage request;
  const size_t used = request.FromJSON(reinterpret_cast<const char*>(data), length);
  // An empty body is no document either.
  if (used == 0 || used != length) {
    IPC_LOG(LOG_LEVEL_ERROR, 0, "Unable to read json");
    return false;
  }
  // The envelope's normalisation keeps "functionName" when it is a string and makes it "" when
  // not, so the kind of message is known before it runs; each message is then normalised once,
  // as its own class (which includes the envelope's pass).
  const kavo::variant::Variant* function = request.Find("functionName");
  const bool isResponse = function != nullptr && *function == kResponseFunctionName;
  if (!isResponse) {
    request.NormalizeFields();
    if (!HandleRequest(request))
      IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "Some handlers failed on the following message: `%s`",
               request.ToString().c_str());
    return true;
  }
  BaseResponseMessage response;
  static_cast<kavo::variant::Variant&>(response) = std::move(static_cast<kavo::variant::Variant&>(request));
  response.NormalizeFields();
  const uint64_t requestId = response.requestId();
  auto pending = pendingRequests.find(requestId);
  if (pending == pendingRequests.end()) {
    IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "No request found for this response: `%s`", response.ToString().c_str());
    return true;
  }
  if (io == nullptr || pending->second.connectionId != io->GetId()) {
    IPC_LOG(LOG_LEVEL_WARNING, 0,
            "Dropping a response to request %llu that came on %s, not on the connection the request left on",
            static_cast<unsigned long long>(requestId), io != nullptr ? io->ToString().c_str() : "?");
    return true;
  }
  if (!HandleResponse(pending->second.request, response))
    IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "Some handlers failed on the following message: `%s`",
             response.ToString().c_str());
  pendingRequests.erase(requestId);
  return true;
}

bool Ipc::HandleRequest(BaseRequestMessage& request) {
  auto chain = handlers.find(request.functionName());
  if (chain == handlers.end() || chain->second.empty()) {
    if (catchAllHandler == nullptr) return true;
    bool cont = true;
    if (!catchAllHandler->HandleRequest(request, cont)) {
      IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "Handler \"%s\" failed to process request `%s`",
               catchAllHandler->GetName().c_str(), request.ToString().c_str());
      return false;
    }
    return true;
  }
  // By index: a handler may register more handlers while the chain runs.
  std::vector<BaseHandler*>& list = chain->second;
  for (size_t i = 0; i < list.size(); ++i) {
    BaseHandler* handler = list[i];
    bool cont = true;
    if (!handler->HandleRequest(request, cont)) {
      IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "Handler \"%s\" failed to process request `%s`", handler->GetName().c_str(),
               request.ToString().c_str());
      return false;
    }
    if (!cont) return true;
  }
  return true;
}

bool Ipc::HandleResponse(BaseRequestMessage& request, BaseResponseMessage& response) {
  auto chain = handlers.find(request.functionName());
  if (chain == handlers.end() || chain->second.empty()) {
    if (catchAllHandler == nullptr) return true;
    bool cont = true;
    if (!catchAllHandler->HandleResponse(request, response, cont)) {
      IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "Handler \"%s\" failed to process response `%s` for request `%s`",
               catchAllHandler->GetName().c_str(), response.ToString().c_str(), request.ToString().c_str());
      return false;
    }
    return true;
  }
  std::vector<BaseHandler*>& list = chain->second;
  for (size_t i = 0; i < list.size(); ++i) {
    BaseHandler* handler = list[i];
    bool cont = true;
    if (!handler->HandleResponse(request, response, cont)) {
      IPC_VLOG(this, LOG_LEVEL_WARNING, 0, "Handler \"%s\" failed to process response `%s` for request `%s`",
               handler->GetName().c_str(), response.ToString().c_str(), request.ToString().c_str());
      return false;
    }
    if (!cont) return true;
  }
  return true;
}

bool Ipc::SignalSendPayloadComplete(IOPayload* payload) {
  if (payload == nullptr) return false;
  auto chain = handlers.find(payload->GetFunctionName());
  if (chain == handlers.end() || chain->second.empty()) {
    if (catchAllHandler != nullptr && !IgnoresSentMessages(catchAllHandler)) {
      bool cont = true;
      catchAllHandler->MessageSentSuccessfully(payload->GetMessage(), cont);
    }
  } else {
    std::vector<BaseHandler*>& list = chain->second;
    for (size_t i = 0; i < list.size(); ++i) {
      bool cont = true;
      list[i]->MessageSentSuccessfully(payload->GetMessage(), cont);
      if (!cont) break;
    }
  }
  if (const uint64_t awaited = payload->GetAwaitedRequestId()) {
    auto pending = pendingRequests.find(awaited);
    if (pending != pendingRequests.end()) pending->second.connectionId = payload->GetConnectionId();
  }
  ReleasePayloadInstance(payload);
  return true;
}

bool Ipc::SignalTimerTriggered() {
  ++timerTicks;
  for (auto it = sendQueues.begin(); it != sendQueues.end();) {
    if (it->second.empty()) {
      it = sendQueues.erase(it);
      continue;
    }
    if (connectionsByPeer.find(it->first) == connectionsByPeer.end() && !StartConnect(it->first)) {
      DropStaleResponses(it->first, it->second);
      if (it->second.empty()) {
        it = sendQueues.erase(it);
        continue;
      }
    }
    ++it;
  }
  return true;
}

void Ipc::DropStaleResponses(const std::string& peer, std::vector<IOPayload*>& queue) {
  // Answers that have waited a whole interval for a peer that has no connection and does not
  // listen: it asked and left, or its "from" names nobody. Requests wait for their peer.
  size_t dropped = 0;
  for (size_t i = 0; i < queue.size();) {
    IOPayload* payload = queue[i];
    if (payload->GetFunctionName() == kResponseFunctionName && payload->GetQueuedTick() + 2 <= timerTicks) {
      queue.erase(queue.begin() + static_cast<std::ptrdiff_t>(i));
      payload->Clear();
      payloadPool.push_back(payload);
      ++dropped;
    } else {
      ++i;
    }
  }
  if (dropped != 0)
    IPC_LOG(LOG_LEVEL_WARNING, 0, "Dropping %zu answer(s) to %s: no connection, and it does not listen", dropped,
            peer.c_str());
}

size_t Ipc::UnreachableDestinationsCount() const {
  size_t count = 0;
  for (const auto& queue : sendQueues)
    if (!queue.second.empty() && connectionsByPeer.find(queue.first) == connectionsByPeer.end()) ++count;
  return count;
}

}  // namespace ipc
}  // namespace kavo
