#pragma once
// System V segments and semaphore sets keyed by ftok(path, 0) on files under "/tmp/shm/", and the
// print functions of the image code: a gated console print, a print to syslog and the levelled
// log files on the SD card. Paths are camera paths (they go through kavo::os::path).
//
// Every print formats into a buffer of its own call (texts longer than 511 characters are cut),
// so threads that print at the same moment never mix their texts.
#include <sys/sem.h>

#include <cstdint>
#include <string>

namespace kavo {
namespace isp {

// ---- keys ----------------------------------------------------------------------------------------
// True when `dir` (a real path) is a folder of this process's own user and no link.
bool isOwnFolder(const std::string& dir);
// ftok(path, 0) on a camera path; -1 with errno set when the key file is missing, is a link
// (ELOOP), or lies in a folder that is a link or another user's (EPERM): a planted link never
// chooses the key of the server's objects.
key_t keyOf(const char* path);

// ---- segments ------------------------------------------------------------------------------------
// Creates (IPC_CREAT, mode 0666) or reuses the segment of `path`, attaches and zero-fills it. `id`
// receives the segment id (also a failed -1; untouched when ftok fails). Null on any failure.
uint8_t* createShareMemoryChar(int* id, const char* path, int bytes);
// Attaches an existing segment without clearing it; null on failure.
uint8_t* getShareMemoryChar(int* id, const char* path, int bytes);
// As createShareMemoryChar with a size in 32-bit words and without zero-fill.
uint32_t* createShareMemory(int* id, const char* path, int words);
uint32_t* getShareMemory(int* id, const char* path, int bytes);
// shmdt; its result.
int detachShareMemoryChar(void* addr);
int detachShareMemory(void* addr);
// shmdt (a failure is logged and the removal still follows), then IPC_RMID; the shmctl result.
int deleteShareMemoryChar(void* addr, int id);
int deleteShareMemory(void* addr, int id);

// ---- semaphore sets ------------------------------------------------------------------------------
// Creates a set of `count` semaphores, all 0, exclusively: a set left on the key makes it fail.
// 0 or -1.
int createSemaphore(int* id, const char* path, int count);
int getSemaphore(int* id, const char* path, int count);
int deleteSemaphore(int id);
// semop with one operation; its result.
int setSemaphoreOperation(int id, sembuf* op);
// Semaphore 0 down (P) or up (V) with SEM_UNDO; the semop result (0, or -1 on failure).
int semaphoreP(int id);
int semaphoreV(int id);

// ---- prints --------------------------------------------------------------------------------------
// With gate 0 nothing is printed; otherwise the text goes to standard output. Returns 1.
int debugPrintf(int gate, const char* format, ...) __attribute__((format(printf, 2, 3)));
int consolePrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The text to syslog with the given priority. Returns 1.
int syslogPrintf(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// SD-card logs "/mnt/sd/isp_info0.log" .. "/mnt/sd/isp_info6.log" in slots 0..6.
constexpr int kSdLogMaxIndex = 6;
// Opens all seven; 1 when they are open and the logs enabled, else 0.
int init_SDlogs();
// Levels 0..6 write the local time and the text to their slot; 0 for any other level or while
// the logs are disabled, 1 when written.
int SDlogPrintf(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
int close_SDlogs();
// Reopens one slot: 1 when reopened or when the index names no slot, 0 when the open fails.
int reopen_SDlog(int index);

}  // namespace isp
}  // namespace kavo
