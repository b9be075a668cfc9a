#pragma once
// A growing byte buffer. Appends ("ReadFrom...") go to the end, consumption (Ignore, WriteToFd)
// takes from the front; the unread bytes always form one contiguous block that callers may read
// and overwrite in place through GetPointer()/GetAvailableBytesCount().
//
// It backs per-frame paths, so in steady state it does not allocate: storage grows geometrically
// and is kept for the buffer's lifetime (also when emptied), consumed room at the front is
// reclaimed by moving the unread bytes, and such moves happen only when they cost no more than
// the room they give back.
#include <cstddef>
#include <cstdint>

struct iovec;

namespace kavo {
namespace utils {

class IOBuffer {
 public:
  IOBuffer() = default;
  ~IOBuffer();
  IOBuffer(const IOBuffer& other);
  IOBuffer& operator=(const IOBuffer& other);
  IOBuffer(IOBuffer&& other) noexcept;
  IOBuffer& operator=(IOBuffer&& other) noexcept;

  uint8_t* GetPointer() { return data_ + start_; }
  const uint8_t* GetPointer() const { return data_ + start_; }
  size_t GetAvailableBytesCount() const { return end_ - start_; }
  size_t GetCapacity() const { return capacity_; }

  // Appends `count` bytes. False only when memory runs out (nothing is appended then).
  bool ReadFromBuffer(const void* data, size_t count);
  // Appends the bytes of `count` vectors, leaving out their first `skip` bytes (all of them
  // when `skip` is at least their total).
  bool ReadFromBuffer(const struct iovec* iov, int count, size_t skip);
  // Appends `count` copies of `byte`.
  bool ReadFromRepeat(uint8_t byte, size_t count);
  // One read(2) of at most `max` bytes, appended; `read` is the count (0 at end of file, and when
  // a non-blocking descriptor has nothing: EAGAIN and EINTR are not failures). False on another
  // error (errno kept).
  bool ReadFromFd(int fd, uint32_t max, uint32_t& read);
  // One write of at most `max` bytes from the front; what was written is dropped and counted in
  // `written`. A non-blocking descriptor that cannot take data (EAGAIN, also EINTR) gives true
  // with `written` 0, as does an empty buffer. False on another error (errno kept). Sockets are
  // written without raising SIGPIPE (a gone peer is EPIPE).
  bool WriteToFd(int fd, uint32_t max, uint32_t& written);

  // Drops `count` bytes from the front; false (nothing dropped) when fewer are unread.
  bool Ignore(size_t count);
  bool IgnoreAll();
  // Compacts: moves the unread bytes to the start of the storage when that costs no more than
  // the room it gives back. Appends do the same by themselves when they need room, so a call
  // is never required for correctness.
  bool MoveData();

  // Compare the unread bytes only.
  bool operator==(const IOBuffer& other) const;
  bool operator!=(const IOBuffer& other) const { return !(*this == other); }

 private:
  bool Reserve(size_t count);  // room for `count` more bytes at the end
  void Release();

  uint8_t* data_ = nullptr;
  size_t capacity_ = 0;
  size_t start_ = 0;
  size_t end_ = 0;
};

}  // namespace utils
}  // namespace kavo
