#include "misc/misc.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "kavo/os/path.h"
#include "misc/isp_log.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

namespace {

// What one print may hold: longer texts are cut to 511 characters.
constexpr size_t kPrintBuffer = 512;

// The shared body of the four attach functions; `function` names the caller in the log.
void* attach(const char* function, int* id, const char* path, size_t bytes, int flags, bool zeroFill) {
  const key_t key = keyOf(path);
  if (key == -1) {
    const int err = errno;
    ISP_LOG_AS("misc", function, LOG_LEVEL_ERROR, err, "[createShareMemoryChar]ftok error =%d", err);
    return nullptr;
  }
  const int shmid = ::shmget(key, bytes, flags | 0666);
  if (id != nullptr) *id = shmid;
  if (shmid == -1) {
    const int err = errno;
    ISP_LOG_AS("misc", function, LOG_LEVEL_ERROR, err, "[createShareMemoryChar]shmget error=%d", err);
    return nullptr;
  }
  void* addr = ::shmat(shmid, nullptr, 0);
  if (addr == reinterpret_cast<void*>(-1)) {
    const int err = errno;
    ISP_LOG_AS("misc", function, LOG_LEVEL_ERROR, err, "[createShareMemoryChar]shmat error=%d", err);
    return nullptr;
  }
  if (zeroFill) std::memset(addr, 0, bytes);
  return addr;
}

int detach(const char* function, const char* text, void* addr) {
  const int result = ::shmdt(addr);
  if (result == -1) {
    const int err = errno;
    ISP_LOG_AS("misc", function, LOG_LEVEL_ERROR, err, text, err);
  }
  return result;
}

int remove(const char* function, const char* text, void* addr, int id) {
  detach(function, text, addr);
  return ::shmctl(id, IPC_RMID, nullptr);
}

constexpr const char* kDetachCharText = "[deleteShareMemoryChar]detach error=%d";
constexpr const char* kDetachText = "[deleteShareMemory]detach error=%d";

// The text of one print, formatted into the caller's buffer.
void format(char (&out)[kPrintBuffer], const char* fmt, va_list args) {
  if (std::vsnprintf(out, sizeof out, fmt, args) < 0) out[0] = '\0';
}

void writeOut(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

std::string sdLogPath(int index) { return kavo::os::path("/mnt/sd/isp_info" + std::to_string(index) + ".log"); }

void closeSlot(int index) {
  FILE*& slot = g_isp.sdLogs[index];
  if (slot != nullptr) {
    std::fclose(slot);
    slot = nullptr;
  }
}

bool openSlot(int index) {
  closeSlot(index);
  g_isp.sdLogs[index] = std::fopen(sdLogPath(index).c_str(), "w+");
  return g_isp.sdLogs[index] != nullptr;
}

}  // namespace

// ---- keys ----------------------------------------------------------------------------------------

bool isOwnFolder(const std::string& dir) {
  struct stat st;
  return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

key_t keyOf(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // ftok follows links: a planted one would choose the key, and with it whose object is cleared.
  const std::string file = kavo::os::path(path);
  struct stat st;
  if (::lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    errno = ELOOP;
    return -1;
  }
  const size_t slash = file.rfind('/');
  if (slash != std::string::npos && slash > 0 && !isOwnFolder(file.substr(0, slash))) {
    errno = EPERM;
    return -1;
  }
  return ::ftok(file.c_str(), 0);
}

// ---- segments ------------------------------------------------------------------------------------

uint8_t* createShareMemoryChar(int* id, const char* path, int bytes) {
  return static_cast<uint8_t*>(attach(__func__, id, path, static_cast<size_t>(bytes), IPC_CREAT, true));
}

uint8_t* getShareMemoryChar(int* id, const char* path, int bytes) {
  return static_cast<uint8_t*>(attach(__func__, id, path, static_cast<size_t>(bytes), 0, false));
}

uint32_t* createShareMemory(int* id, const char* path, int words) {
  return static_cast<uint32_t*>(
      attach(__func__, id, path, static_cast<size_t>(words) * sizeof(uint32_t), IPC_CREAT, false));
}

uint32_t* getShareMemory(int* id, const char* path, int bytes) {
  return static_cast<uint32_t*>(attach(__func__, id, path, static_cast<size_t>(bytes), 0, false));
}

int detachShareMemoryChar(void* addr) { return detach(__func__, kDetachCharText, addr); }
int detachShareMemory(void* addr) { return detach(__func__, kDetachText, addr); }
int deleteShareMemoryChar(void* addr, int id) { return remove(__func__, kDetachCharText, addr, id); }
int deleteShareMemory(void* addr, int id) { return remove(__func__, kDetachText, addr, id); }

// ---- semaphore sets ------------------------------------------------------------------------------

int createSemaphore(int* id, const char* path, int count) {
  const key_t key = keyOf(path);
  if (key == -1) {
    const int err = errno;
    ISP_LOG("misc", LOG_LEVEL_ERROR, err, "[%s]: ftok() for sem failed, err=%d.", __func__, err);
    return -1;
  }
  const int semid = ::semget(key, count, IPC_CREAT | IPC_EXCL | 0666);
  *id = semid;
  if (semid == -1) {
    const int err = errno;
    ISP_LOG("misc", LOG_LEVEL_ERROR, err, "[%s]: semget() failed, err=%d.", __func__, err);
    return -1;
  }
  std::vector<unsigned short> zeros(static_cast<size_t>(count > 0 ? count : 1), 0);
  if (::semctl(semid, 0, SETALL, zeros.data()) == -1) {
    const int err = errno;
    ISP_LOG("misc", LOG_LEVEL_ERROR, err, "[%s]: semctl() initialization failed, err=%d.", __func__, err);
    return -1;
  }
  return 0;
}

int getSemaphore(int* id, const char* path, int count) {
  const key_t key = keyOf(path);
  if (key == -1) {
    const int err = errno;
    ISP_LOG("misc", LOG_LEVEL_ERROR, err, "[%s]: ftok() for sem failed, err=%d", __func__, err);
    return -1;
  }
  *id = ::semget(key, count, 0666);
  if (*id == -1) {
    const int err = errno;
    ISP_LOG("misc", LOG_LEVEL_ERROR, err, "[%s]: semget() failed, err=%d", __func__, err);
    return -1;
  }
  return 0;
}

int deleteSemaphore(int id) {
  if (::semctl(id, 1, IPC_RMID) == -1) {
    const int err = errno;
    ISP_LOG("misc", LOG_LEVEL_ERROR, err, "[%s]: semctl() remove id failedi, err=%d", __func__, err);
    return -1;
  }
  return 0;
}

int setSemaphoreOperation(int id, sembuf* op) {
  const int result = ::semop(id, op, 1);
  if (result == -1) {
    const int err = errno;
    ISP_LOG("misc", LOG_LEVEL_ERROR, err, "[%s]semop %d failed, err=%d", __func__, id, err);
  }
  return result;
}

int semaphoreP(int id) {
  sembuf op{0, -1, SEM_UNDO};
  return setSemaphoreOperation(id, &op);
}

int semaphoreV(int id) {
  sembuf op{0, 1, SEM_UNDO};
  return setSemaphoreOperation(id, &op);
}

// ---- prints --------------------------------------------------------------------------------------

int debugPrintf(int gate, const char* fmt, ...) {
  if (gate == 0) return 1;
  char text[kPrintBuffer];
  va_list args;
  va_start(args, fmt);
  format(text, fmt, args);
  va_end(args);
  writeOut(text);
  return 1;
}

int consolePrintf(const char* fmt, ...) {
  char text[kPrintBuffer];
  va_list args;
  va_start(args, fmt);
  format(text, fmt, args);
  va_end(args);
  writeOut(text);
  return 1;
}

int syslogPrintf(int priority, const char* fmt, ...) {
  char text[kPrintBuffer];
  va_list args;
  va_start(args, fmt);
  format(text, fmt, args);
  va_end(args);
  ::syslog(priority, "%s", text);
  return 1;
}

int init_SDlogs() {
  g_isp.sdLogEnabled.store(0);
  if (!openSlot(0)) {
    syslogPrintf(LOG_CRIT, "[init_SDlogs]Open log file 0 on SD card fail.\n");
    return 0;
  }
  bool all = true;
  for (int i = 1; i <= kSdLogMaxIndex; ++i) all = openSlot(i) && all;
  if (!all) {
    syslogPrintf(LOG_CRIT, "[init_SDlogs]Open log file 1-6 on SD card fail.\n");
    return 0;
  }
  g_isp.sdLogEnabled.store(1);
  return 1;
}

int SDlogPrintf(int level, const char* fmt, ...) {
  if (level < 0 || level > kSdLogMaxIndex || g_isp.sdLogEnabled.load() == 0) return 0;
  FILE* file = g_isp.sdLogs[level];
  if (file == nullptr) return 0;
  char stamp[81];
  const time_t now = std::time(nullptr);
  struct tm local {};
  if (::localtime_r(&now, &local) == nullptr || std::strftime(stamp, sizeof stamp, "%F %H:%M->", &local) == 0)
    stamp[0] = '\0';
  char text[kPrintBuffer];
  va_list args;
  va_start(args, fmt);
  format(text, fmt, args);
  va_end(args);
  std::fputs(stamp, file);
  std::fputs(text, file);
  std::fflush(file);
  return 1;
}

int close_SDlogs() {
  if (g_isp.sdLogEnabled.load() == 0) return 0;
  for (int i = 0; i <= kSdLogMaxIndex; ++i) closeSlot(i);
  g_isp.sdLogEnabled.store(0);
  return 1;
}

int reopen_SDlog(int index) {
  if (index < 0 || index > kSdLogMaxIndex) return 1;
  if (!openSlot(index)) {
    syslogPrintf(LOG_CRIT, "[init_SDlogs]Open log file %d on SD card fail.\n", index);
    return 0;
  }
  return 1;
}

}  // namespace isp
}  // namespace kavo
