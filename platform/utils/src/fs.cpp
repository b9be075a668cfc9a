#include "kavo/utils/fs.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>

namespace kavo {
namespace utils {

namespace {

std::string join(const std::string& folder, const char* name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

bool listInto(const std::string& path, std::map<std::string, bool>& entries, bool recursive, int depth) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return false;
  while (struct dirent* e = ::readdir(dir)) {
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    std::string full = join(path, n);
    struct stat st;
    bool folder = ::stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    entries[full] = folder;
    struct stat lst;
    // Linked folders are not entered (no cycles); the depth bound is a backstop.
    if (recursive && folder && depth < 64 && ::lstat(full.c_str(), &lst) == 0 && S_ISDIR(lst.st_mode))
      listInto(full, entries, true, depth + 1);
  }
  ::closedir(dir);
  return true;
}

}  // namespace

bool listFolder(const std::string& path, std::map<std::string, bool>& entries, bool recursive) {
  entries.clear();
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  return listInto(path, entries, recursive, 0);
}

bool resolvePath(const std::string& path, std::string& result, bool folderOnly, struct stat* st) {
  result.clear();
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return false;
  std::string r(resolved);
  std::free(resolved);
  struct stat s;
  if (::stat(r.c_str(), &s) != 0) return false;
  bool folder = S_ISDIR(s.st_mode);
  if (folderOnly && !folder) {
    errno = ENOTDIR;
    return false;
  }
  if (folder && (r.empty() || r.back() != '/')) r += '/';
  if (st != nullptr) *st = s;
  result = r;
  return true;
}

}  // namespace utils
}  // namespace kavo
