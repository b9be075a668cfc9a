#pragma once
// A connection with one peer: frames in and out, the name handshake.
#include <string>

#include "kavo/ipc/baseipcio.h"
#include "kavo/utils/iobuffer.h"

namespace kavo {
namespace ipc {

class IOPayload;

class BaseIPCConnection : public BaseIPCIO {
 public:
  BaseIPCConnection(Ipc* owner, IPCIOType type, const std::string& fromName, const std::string& toName);
  ~BaseIPCConnection() override;  // also deletes a handshake not sent yet

  // One read of at most 4096 bytes, then every complete frame in the buffer is handed on.
  // Bytes read (0: nothing, end of stream, or reading paused); negative: drop the connection.
  int DoRead() override;
  // Hands on the complete frames in the buffer; while the peer's send queue is full the hub
  // pauses the reading and the rest waits in the buffer. False: drop the connection.
  bool DeliverFrames();
  // Paused: the hub has stopped watching the socket for input until the peer's queue drains.
  bool IsReadPaused() const { return readPaused; }
  void SetReadPaused(bool paused) { readPaused = paused; }
  // Off once the peer has hung up: what it sent is taken in whatever waits for it.
  void SetFlowControl(bool on) { flowControl = on; }
  // Writes the handshake, else the first frame queued for the peer; at most one queued frame is
  // completed per call. Negative: drop the connection.
  int DoWrite() override;
  // Writes the handshake and queued frames while the socket takes them (at most 128 frames).
  // 0: nothing left; 1: something waits for the socket to drain; negative: drop the connection.
  int WritePending();

 protected:
  IOPayload* handshakePayload = nullptr;
  kavo::utils::IOBuffer readBuffer;
  bool readPaused = false;
  bool flowControl = true;
};

// A connection accepted on our endpoint; named by the peer's first frame.
class InboundIPCConnection : public BaseIPCConnection {
 public:
  InboundIPCConnection(Ipc* owner, const std::string& selfName, int acceptedFd);
  ~InboundIPCConnection() override;
};

}  // namespace ipc
}  // namespace kavo
