/* Preloaded into a process under test: a disk that fills up. Writes through writev or write to
 * the file whose path ends in KAVO_TEST_DISK_FULL_FILE may make it at most KAVO_TEST_DISK_FULL_AT
 * bytes long: a write that crosses the mark writes what fits, the next one fails with ENOSPC, as
 * on a full disk. Once the file KAVO_TEST_DISK_FREED exists, space has been freed and every
 * write goes through. Other descriptors are not touched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

typedef ssize_t (*writev_fn)(int, const struct iovec*, int);
typedef ssize_t (*write_fn)(int, const void*, size_t);

/* The bytes the write may still put into the file (SSIZE_MAX: no limit applies). */
static ssize_t room(int fd) {
  const char* suffix = getenv("KAVO_TEST_DISK_FULL_FILE");
  const char* at = getenv("KAVO_TEST_DISK_FULL_AT");
  const char* freed = getenv("KAVO_TEST_DISK_FREED");
  if (fd <= STDERR_FILENO || suffix == NULL || at == NULL || (freed != NULL && access(freed, F_OK) == 0))
    return SSIZE_MAX;
  char link[64], path[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0) return SSIZE_MAX;
  path[n] = '\0';
  const size_t length = strlen(suffix);
  if ((size_t)n < length || strcmp(path + n - length, suffix) != 0) return SSIZE_MAX;
  const off_t position = lseek(fd, 0, SEEK_CUR);
  const long long limit = atoll(at);
  if (position < 0) return SSIZE_MAX;
  return position >= limit ? 0 : (ssize_t)(limit - position);
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
  static writev_fn real;
  if (real == NULL) real = (writev_fn)dlsym(RTLD_NEXT, "writev");
  size_t total = 0;
  for (int i = 0; i < count; i++) total += iov[i].iov_len;
  const ssize_t left = room(fd);
  if (left >= (ssize_t)total) return real(fd, iov, count);
  if (left == 0) {
    errno = ENOSPC;
    return -1;
  }
  struct iovec part[64];
  int used = 0;
  size_t want = (size_t)left;
  for (int i = 0; i < count && want > 0 && used < 64; i++) {
    part[used].iov_base = iov[i].iov_base;
    part[used].iov_len = iov[i].iov_len < want ? iov[i].iov_len : want;
    want -= part[used].iov_len;
    used++;
  }
  return real(fd, part, used);
}

ssize_t write(int fd, const void* data, size_t size) {
  static write_fn real;
  if (real == NULL) real = (write_fn)dlsym(RTLD_NEXT, "write");
  const ssize_t left = room(fd);
  if (left >= (ssize_t)size) return real(fd, data, size);
  if (left == 0) {
    errno = ENOSPC;
    return -1;
  }
  return real(fd, data, (size_t)left);
}
