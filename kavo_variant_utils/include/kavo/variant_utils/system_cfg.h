#pragma once
// SystemCfgManager: locked read-modify-write access to the camera's key/value configuration file
// "/tmp/system.cfg" ("key=value" lines, dotted keys as nested maps), with write-back to flash.
//
// One process at a time: init() takes the system-wide lock "system.cfg" (blocking until its holder
// closes) and reads the file; close() writes back as asked and gives the lock up. Every operation
// but init() fails with "SystemCfgManager not initialized" outside init()..close().
//
// Reading turns the whole values enabled/enable/on into 1 and disabled/disable/off into 0. With
// escapeIndexes, key parts ".1" to ".4" are held as "._1" to "._4" (the file keeps ".1"); values
// are never touched. Writing replaces the file whole: the text goes to "/tmp/system.cfg.<pid>",
// which is then renamed over "/tmp/system.cfg".
//
// Keys: get and set use one rule. With escapeIndexes the key is escaped as above (an already
// escaped key stays as it is); with kvpFlag (nested keys) it is split at "." into string keys,
// without it the key is one entry. A key with an empty part, "=" or a line break, a value with a
// line break, and a set that would replace a subtree by a value or a value by a subtree are refused.
//
// close(flashIfChanged, forceFlash): with forceFlash, or flashIfChanged after a change, the counter
// "system.flash.cycles" is incremented (1 when missing), the file written and saveToFlashRaw
// called; otherwise a changed tree is written without flashing.
#include <string>
#include <vector>

#include "kavo/variant/variant.h"

namespace kavo {
namespace threading {
class InterProcessMutex;
}

namespace variant {

class SystemCfgManager {
 public:
  // A tree of its own; valuesAsStrings and kvpFlag true, escapeIndexes false.
  SystemCfgManager();
  // Works on the caller's tree (not deleted here).
  SystemCfgManager(Variant* tree, bool escapeIndexes, bool valuesAsStrings, bool kvpFlag);
  ~SystemCfgManager();  // close(false, false) when still initialised
  SystemCfgManager(const SystemCfgManager&) = delete;
  SystemCfgManager& operator=(const SystemCfgManager&) = delete;

  bool init();
  bool read();
  bool write();

  // value = -1 (int) or "" (string) first; *missing tells whether the key was absent. True also
  // when it is missing. Pointers may be null.
  bool get(const std::string& key, int* value, bool* missing);
  bool get(const std::string& key, std::string* value, bool* missing);
  // Stores the value when it differs (*changedOut tells) and writes the file in any case.
  bool set(const std::string& key, int value, bool* changedOut);
  bool set(const std::string& key, const std::string& value, bool* changedOut);
  bool set(const std::string& key, const char* value, bool* changedOut) {
    return set(key, std::string(value ? value : ""), changedOut);
  }

  bool getVariant(Variant& out);
  bool markChanged();
  bool close(bool flashIfChanged, bool forceFlash);

 private:
  bool checkInitialized(const char* function);
  bool readFile();
  bool writeFile();
  bool keyParts(const std::string& key, std::vector<std::string>& parts, const char* function);
  Variant* lookup(const std::vector<std::string>& parts);
  bool store(const std::string& key, const Variant& value, bool* changedOut);

  bool initialized = false;
  bool changed = false;
  bool externalTree = false;
  bool escapeIndexes = false;
  bool valuesAsStrings = true;
  bool kvpFlag = true;
  Variant* tree = nullptr;
  kavo::threading::InterProcessMutex* lock = nullptr;
};

}  // namespace variant
}  // namespace kavo
