#pragma once
// Folder listing and path resolution. Paths are used as given (callers apply kavo::os::path).
#include <map>
#include <string>

struct stat;

namespace kavo {
namespace utils {

// Replaces `entries` with the folder's entries ("." and ".." left out), keyed by full path
// (`path` joined to the name with one "/"), flag true for a folder (symbolic links followed).
// With `recursive`, the entries of sub-folders follow too (linked folders are not entered).
// False when the folder cannot be read.
bool listFolder(const std::string& path, std::map<std::string, bool>& entries, bool recursive = false);

// The absolute path with links, "." and ".." resolved; a folder's result ends with "/" so that
// entry paths from listFolder begin with it. False when the path does not exist, or with
// `folderOnly` when it is not a folder. `st`, when given, receives the entry's stat.
bool resolvePath(const std::string& path, std::string& result, bool folderOnly = false,
                 struct stat* st = nullptr);

}  // namespace utils
}  // namespace kavo
