#include "kavo/encoder/basedestination.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "kavo/ipc/ipc.h"
#include "kavo/ipc/messages/eventstreamingstatus.h"
#include "kavo/os/path.h"
#include "kavo/utils/clock.h"
#include "kavo/utils/fd.h"
#include "kavo/utils/file.h"
#include "kavo/utils/strings.h"
#include "encoderlog.h"

namespace kavo {
namespace encoder {

namespace {

const char* const kStateNames[] = {"IGNORE_DESTINATION", "UNINITIALIZED", "WAIT",      "OPEN_FILE",
                                   "START_CONNECT",      "INSPECT_CONNECTION", "INIT_FOR_ACCEPT", "ACCEPT",
                                   "CONNECTED",          "SEND_DATA"};

// A URI parameter of seconds: the decimal value as atoi reads it, kept within 1..255.
uint8_t secondsParameter(kavo::variant::Variant& parameters, const char* key, uint8_t current) {
  const kavo::variant::Variant* value = parameters.IsContainer() ? parameters.Find(key) : nullptr;
  if (value == nullptr) return current;
  const int seconds = std::atoi(value->AsCString());
  if (seconds < 1) return 1;
  if (seconds > 255) return 255;
  return static_cast<uint8_t>(seconds);
}

bool hasParameter(kavo::variant::Variant& parameters, const char* key) {
  return parameters.IsContainer() && parameters.Find(key) != nullptr;
}

}  // namespace

const char* __stateToString(unsigned char state) {
  return state < sizeof(kStateNames) / sizeof(kStateNames[0]) ? kStateNames[state] : "(unknown)";
}

BaseDestiantion::BaseDestiantion(const StreamInfo& info, Encoder* owner) : streamInfo(info), encoder(owner) {}

BaseDestiantion::~BaseDestiantion() {
  Transition(UNINITIALIZED, 0, __LINE__);
  CloseFD();
}

void BaseDestiantion::CloseFD() {
  if (fd < 0) return;
  if (!isSocket) fsync(fd);  // a socket has nothing to sync
  close(fd);
  fd = -1;
  isSocket = false;
}

unsigned char BaseDestiantion::CongestionOf(size_t pending) {
  // 100 at 4 MiB pending; the frame that crosses the bound must not wrap the level round to a
  // small value.
  const uint64_t level = (static_cast<uint64_t>(pending) * 100u) >> 22;
  return static_cast<unsigned char>(level > 100 ? 100 : level);
}

void BaseDestiantion::Transition(uint8_t newState, uint32_t delaySeconds, int line) {
  const uint8_t oldState = state;
  if (delaySeconds == 0) {
    state = newState;
  } else {
    nextState = newState;
    state = WAIT;
    waitDeadline = kavo::utils::nowMs() + static_cast<uint64_t>(delaySeconds) * 1000u;
  }

  const std::string target = streamInfo.uri();
  kavo::ipc::messages::EventStreamingStatus event;
  event.to("kavo_avclient");
  event.previousStatus(__stateToString(oldState));
  event.currentStatus(__stateToString(state));
  event.channelId(static_cast<uint8_t>(streamInfo.channelId()));
  event.uri(target);
  event.NormalizeFields();
  kavo::ipc::Ipc::GetInstance()->SendRequest(event);

  const std::string original = uri.originalUri();
  if (state == WAIT) {
    ENC_LOG(LOG_LEVEL_DEBUG, 0, "%s -> %s (%s) for %s at line %d", __stateToString(oldState), "WAIT",
            __stateToString(nextState), original.c_str(), line);
  } else {
    ENC_LOG(LOG_LEVEL_DEBUG, 0, "%s -> %s for %s at line %d", __stateToString(oldState), __stateToString(state),
            original.c_str(), line);
  }
}

void BaseDestiantion::StartOver(int line) { Transition(UNINITIALIZED, isAcceptor ? 0 : retryInterval, line); }

bool BaseDestiantion::Write(const struct iovec* iov, int count, int size, unsigned char& congestion) {
  lastWriteDropped = count > 0;
  for (;;) {
    bool goOn = false;
    switch (state) {
      case IGNORE_DESTINATION:
        return true;
      case UNINITIALIZED:
        goOn = StepUninitialized();
        break;
      case WAIT:
        goOn = StepWait();
        break;
      case OPEN_FILE:
        goOn = StepOpenFile();
        break;
      case START_CONNECT:
        goOn = StepStartConnect();
        break;
      case INSPECT_CONNECTION:
        goOn = StepInspectConnection();
        break;
      case INIT_FOR_ACCEPT:
        goOn = StepInitForAccept();
        break;
      case ACCEPT:
        goOn = StepAccept();
        break;
      case CONNECTED:
        goOn = StepConnected();
        break;
      case SEND_DATA:
        if (!WriteToFD(iov, count, size, congestion)) {
          lastWriteDropped = count > 0;
          KeepWholeTags();
          const std::string original = uri.originalUri();
          ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to write to %s FD", original.c_str());
          StartOver(__LINE__);
        }
        return true;
      default:
        ENC_LOG(LOG_LEVEL_ERROR, 0, "Invalid state detected: %u", static_cast<unsigned>(state));
        Transition(IGNORE_DESTINATION, 0, __LINE__);
        return true;
    }
    if (!goOn) return true;
  }
}

bool BaseDestiantion::StepUninitialized() {
  CloseFD();
  const std::string text = streamInfo.uri();
  if (!kavo::variant::URI::FromString(text, true, uri)) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Invalid URI detected: %s", text.c_str());
    Transition(UNINITIALIZED, retryInterval, __LINE__);
    return false;
  }
  kavo::variant::Variant& parameters = uri.parameters();
  retryInterval = secondsParameter(parameters, "retryInterval", retryInterval);
  connectTimeout = secondsParameter(parameters, "connectTimeout", connectTimeout);
  const std::string schema = uri.schema();
  if (schema == "tcp") {
    isAcceptor = hasParameter(parameters, "acceptor");
    randomPort = hasParameter(parameters, "randomPort");
    Transition(isAcceptor ? INIT_FOR_ACCEPT : START_CONNECT, 0, __LINE__);
    return true;
  }
  if (schema == "file") {
    Transition(OPEN_FILE, 0, __LINE__);
    return true;
  }
  ENC_LOG(LOG_LEVEL_WARNING, 0, "FLV doesn't support schema %s://", schema.c_str());
  Transition(IGNORE_DESTINATION, 0, __LINE__);
  return false;
}

bool BaseDestiantion::StepWait() {
  if (kavo::utils::nowMs() < waitDeadline) return false;
  Transition(nextState, 0, __LINE__);
  return true;
}

bool BaseDestiantion::StepOpenFile() {
  CloseFD();
  const std::string file = kavo::os::path(uri.fullDocumentPath());
  // A new recording starts the file over; after a write error the file keeps what it holds and
  // the stream goes on after it.
  fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | (resumeAt != 0 ? 0 : O_TRUNC), 0666);
  if (fd < 0) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "Unable to open file %s", file.c_str());
    Transition(OPEN_FILE, retryInterval, __LINE__);
    return false;
  }
  resuming = false;
  if (resumeAt != 0) {
    // Only the file as it was left (someone may have removed or cut it meanwhile).
    struct stat st {};
    resuming = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) >= resumeAt &&
               ftruncate(fd, static_cast<off_t>(resumeAt)) == 0 &&
               lseek(fd, static_cast<off_t>(resumeAt), SEEK_SET) == static_cast<off_t>(resumeAt);
    if (!resuming && (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0))
      ENC_LOG(LOG_LEVEL_WARNING, errno, "Unable to start %s over", file.c_str());
  }
  fileWhole = resuming ? resumeAt : 0;
  resumeAt = 0;
  Transition(CONNECTED, 0, __LINE__);
  return true;
}

void BaseDestiantion::KeepWholeTags() {
  if (isSocket || fd < 0) return;
  // What the failed write put into the file ends in a part of a tag: cut it off now, so that the
  // file is whole even if the program stops before it can write again.
  if (ftruncate(fd, static_cast<off_t>(fileWhole)) != 0) {
    const std::string original = uri.originalUri();
    ENC_LOG(LOG_LEVEL_ERROR, errno, "Unable to cut %s back to its last whole tag", original.c_str());
  }
  resumeAt = fileWhole;
}

bool BaseDestiantion::StepStartConnect() {
  CloseFD();
  fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) isSocket = true;
  if (fd < 0 || !kavo::utils::SetFdOptions(fd, kavo::utils::FD_OPTIONS_TCP)) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "Unable to open socket and set non-blocking mode");
    CloseFD();
    Transition(START_CONNECT, retryInterval, __LINE__);
    return false;
  }
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = inet_addr(uri.ip().c_str());
  address.sin_port = htons(uri.port());
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0) {
    Transition(CONNECTED, 0, __LINE__);
    return true;
  }
  if (errno == EAGAIN || errno == EINPROGRESS) {
    connectStart = kavo::utils::nowMs();
    Transition(INSPECT_CONNECTION, 1, __LINE__);
    return false;
  }
  const std::string original = uri.originalUri();
  ENC_LOG(LOG_LEVEL_ERROR, errno, "Unable to connect to %s", original.c_str());
  Transition(START_CONNECT, retryInterval, __LINE__);
  return false;
}

bool BaseDestiantion::StepInspectConnection() {
  // poll, unlike select, takes descriptors of any number.
  struct pollfd item = {fd, POLLOUT, 0};
  const int ready = poll(&item, 1, 0);
  if (ready < 0 && errno != EINTR) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "select() call failed");
    Transition(START_CONNECT, retryInterval, __LINE__);
    return false;
  }
  bool pending = ready == 0;
  if (!pending) {
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
      ENC_LOG(LOG_LEVEL_ERROR, errno, "getsockopt() call failed");
      Transition(START_CONNECT, retryInterval, __LINE__);
      return false;
    }
    if (error == EAGAIN || error == EINPROGRESS) {
      pending = true;
    } else if (error != 0) {
      const std::string original = uri.originalUri();
      ENC_LOG(LOG_LEVEL_ERROR, error, "Unable to connect to %s", original.c_str());
      Transition(START_CONNECT, retryInterval, __LINE__);
      return false;
    }
  }
  if (pending) {
    if (kavo::utils::nowMs() - connectStart > static_cast<uint64_t>(connectTimeout) * 1000u) {
      const std::string original = uri.originalUri();
      ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to connect to %s. Connecting took too much time", original.c_str());
      Transition(START_CONNECT, retryInterval, __LINE__);
    } else {
      Transition(INSPECT_CONNECTION, 1, __LINE__);
    }
    return false;
  }
  Transition(CONNECTED, 0, __LINE__);
  return true;
}

bool BaseDestiantion::StepInitForAccept() {
  CloseFD();
  const std::string target = streamInfo.uri();
  fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) isSocket = true;
  if (fd < 0 || !kavo::utils::SetFdNonBlock(fd)) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "Unable to open socket and set non-blocking mode");
    CloseFD();
    Transition(INIT_FOR_ACCEPT, retryInterval, __LINE__);
    return false;
  }
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = inet_addr(uri.ip().c_str());
  if (!randomPort) {
    address.sin_port = htons(uri.port());
    if (!kavo::utils::SetFdReuseIpPort(fd)) {
      ENC_LOG(LOG_LEVEL_ERROR, errno, "Unable to re-use ip/port");
      CloseFD();
      Transition(INIT_FOR_ACCEPT, retryInterval, __LINE__);
      return false;
    }
  }
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "Unable to bind of %s", target.c_str());
    CloseFD();
    Transition(INIT_FOR_ACCEPT, retryInterval, __LINE__);
    return false;
  }
  if (listen(fd, 10) != 0) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "Unable to listen on %s", target.c_str());
    CloseFD();
    Transition(INIT_FOR_ACCEPT, retryInterval, __LINE__);
    return false;
  }
  if (randomPort) {
    struct sockaddr_in bound = {};
    socklen_t length = sizeof(bound);
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&bound), &length) != 0) {
      ENC_LOG(LOG_LEVEL_ERROR, errno, "Unable to bind on IP/port");
      CloseFD();
      Transition(INIT_FOR_ACCEPT, retryInterval, __LINE__);
      return false;
    }
    acceptorPort = ntohs(bound.sin_port);
  }
  Transition(ACCEPT, 0, __LINE__);
  return true;
}

bool BaseDestiantion::StepAccept() {
  const int peer = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (peer < 0) {
    // Nobody yet, or a peer that gave up before we took it: keep listening on the same port,
    // which the live-view client already knows.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) return false;
    const std::string target = streamInfo.uri();
    ENC_LOG(LOG_LEVEL_ERROR, errno, "Unable to accept socket on %s", target.c_str());
    Transition(INIT_FOR_ACCEPT, 0, __LINE__);
    return false;
  }
  if (!kavo::utils::SetFdOptions(peer, kavo::utils::FD_OPTIONS_TCP)) {
    const std::string target = streamInfo.uri();
    ENC_LOG(LOG_LEVEL_ERROR, errno, "Unable to set socket in blocking mode: %s", target.c_str());
    close(peer);
    Transition(INIT_FOR_ACCEPT, 0, __LINE__);
    return false;
  }
  CloseFD();  // the listening socket: a second viewer is refused while this one is served
  fd = peer;
  isSocket = true;
  Transition(CONNECTED, 0, __LINE__);
  return true;
}

bool BaseDestiantion::StepConnected() {
  backlog.IgnoreAll();
  const bool started = resuming ? SignalResumed() : SignalConnected();
  resuming = false;
  if (!started) {
    const std::string original = uri.originalUri();
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to write metadata to %s", original.c_str());
    StartOver(__LINE__);
    return false;
  }
  Transition(SEND_DATA, 0, __LINE__);
  return true;
}

ssize_t BaseDestiantion::WriteVectors(const struct iovec* iov, int count) {
  for (;;) {
    ssize_t written;
    if (isSocket) {
      struct msghdr message = {};
      message.msg_iov = const_cast<struct iovec*>(iov);
      message.msg_iovlen = static_cast<size_t>(count);
      written = sendmsg(fd, &message, MSG_NOSIGNAL);
    } else {
      written = writev(fd, iov, count);
    }
    if (written >= 0 || errno != EINTR) return written;
  }
}

bool BaseDestiantion::WriteToFD(const struct iovec* iov, int count, int size) {
  lastWriteDropped = false;
  if (backlog.GetAvailableBytesCount() != 0) {
    uint32_t written = 0;
    do {
      if (!backlog.WriteToFd(fd, 0xFFFFFFFFu, written)) {
        lastWriteDropped = count > 0;
        return false;
      }
    } while (written != 0 && backlog.GetAvailableBytesCount() != 0);
  }
  if (backlog.GetAvailableBytesCount() != 0) {
    // New data must not overtake the backlog.
    if (count == 0) return true;
    if (backlog.GetAvailableBytesCount() < kMaxBacklog) {
      backlog.MoveData();
      if (!backlog.ReadFromBuffer(iov, count, 0)) {
        lastWriteDropped = true;
        return false;  // the stream would have a hole: start over
      }
      return true;
    }
    lastWriteDropped = true;
    if (!isAcceptor) ENC_LOG(LOG_LEVEL_WARNING, 0, "Frames are skipped! The current bandwidth is not enough!");
    return true;
  }
  if (count == 0) return true;

  ssize_t written = WriteVectors(iov, count);
  // A file takes everything unless it cannot (full disk, size limit): the next call says why.
  if (!isSocket && written >= 0 && written < size) written = WriteFileRest(iov, count, size, written);
  if (written < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      const int error = errno;
      lastWriteDropped = true;
      ENC_LOG(LOG_LEVEL_ERROR, error, "writev failed");
      const unsigned pid = static_cast<unsigned>(getpid());
      const std::string dump = kavo::os::path(kavo::utils::format(
          "/tmp/writev_diag_%u_%llu", pid, static_cast<unsigned long long>(kavo::utils::nowMs())));
      const std::string kept = kavo::os::path(kavo::utils::format("/tmp/writev_diag_%u_%d",
                                                                  streamInfo.channelId(), error));
      DumpWritevDiag(dump, error, iov, count, size);
      rename(dump.c_str(), kept.c_str());
      return false;
    }
    written = 0;
  }
  if (written < size) {
    if (!backlog.ReadFromBuffer(iov, count, static_cast<size_t>(written))) {
      lastWriteDropped = true;
      return false;
    }
  } else if (!isSocket) {
    fileWhole += static_cast<uint64_t>(written);  // every write carries whole tags
  }
  return true;
}

ssize_t BaseDestiantion::WriteFileRest(const struct iovec* iov, int count, int size, ssize_t done) {
  while (done < size) {
    int i = 0;
    size_t skip = static_cast<size_t>(done);
    while (i < count && skip >= iov[i].iov_len) skip -= iov[i++].iov_len;
    ssize_t n;
    if (skip != 0) {
      do {
        n = ::write(fd, static_cast<const uint8_t*>(iov[i].iov_base) + skip, iov[i].iov_len - skip);
      } while (n < 0 && errno == EINTR);
    } else {
      n = WriteVectors(iov + i, count - i);
    }
    if (n < 0) return -1;
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    done += n;
  }
  return done;
}

bool BaseDestiantion::WriteToFD(const struct iovec* iov, int count, int size, unsigned char& congestion) {
  if (!WriteToFD(iov, count, size)) return false;
  congestion = isAcceptor ? 0 : CongestionOf(backlog.GetAvailableBytesCount());
  return true;
}

void BaseDestiantion::DumpWritevDiag(const std::string& path, int error, const struct iovec* iov, int count,
                                     int size) {
  kavo::utils::File file;
  if (!file.Initialize(path, kavo::utils::FILE_OPEN_MODE_TRUNCATE)) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "Unable to open file %s for writing", path.c_str());
    return;
  }
  auto put = [&file](const std::string& text) { return file.WriteString(text) && file.Flush(); };
  bool ok = put(kavo::utils::format("                writev fd: %d\n", fd) +
                kavo::utils::format("             writev errno: %d\n", error));
  if (ok) {
    const int flags = fcntl(fd, F_GETFD);
    const int flagsError = errno;
    ok = put(kavo::utils::format("      fcntl(_fd, F_GETFD): 0x%08x\n", static_cast<unsigned>(flags)) +
             kavo::utils::format("fcntl(_fd, F_GETFD) errno: %d\n", flagsError));
  }
  if (ok) {
    ok = put(kavo::utils::format("                   iovcnt: %d\n", count) +
             kavo::utils::format("                    pIovs: %p\n", static_cast<const void*>(iov)) +
             kavo::utils::format("        wanted total size: 0x%016llx\n",
                                 static_cast<unsigned long long>(static_cast<long long>(size))));
  }
  if (ok) {
    unsigned long long total = 0;
    for (int i = 0; i < count; i++) total += iov[i].iov_len;
    ok = put(kavo::utils::format("      computed total size: 0x%016llx\n", total));
  }
  for (int i = 0; ok && i < count; i++)
    ok = put(kavo::utils::format("%4d: %10p 0x%016llx\n", i, iov[i].iov_base,
                                 static_cast<unsigned long long>(iov[i].iov_len)));
  for (int i = 0; ok && i < count; i++) ok = file.WriteBuffer(iov[i].iov_base, iov[i].iov_len) && file.Flush();
  if (ok) ok = put("dumpComplete\n");
  if (!ok) ENC_LOG(LOG_LEVEL_ERROR, errno, "Unable to write to file %s", path.c_str());
  file.Close();
}

}  // namespace encoder
}  // namespace kavo
