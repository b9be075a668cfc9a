#include "kavo/variant_utils/system_cfg.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kavo/os/path.h"
#include "kavo/threading/interprocessmutex.h"
#include "kavo/utils/file.h"
#include "kavo/utils/strings.h"
#include "kavo/utils/system.h"
#include "variant_utils_log.h"

namespace kavo {
namespace variant {

namespace {

const char* kCfgPath = "/tmp/system.cfg";
const char* kFlashCycles = "system.flash.cycles";

// Numeric key parts are held escaped so that the value library keeps them as text keys.
void escapeKey(std::string& key) {
  kavo::utils::replaceAll(key, ".1", "._1");
  kavo::utils::replaceAll(key, ".2", "._2");
  kavo::utils::replaceAll(key, ".3", "._3");
  kavo::utils::replaceAll(key, ".4", "._4");
}

void unescapeKey(std::string& key) {
  kavo::utils::replaceAll(key, "._1", ".1");
  kavo::utils::replaceAll(key, "._2", ".2");
  kavo::utils::replaceAll(key, "._3", ".3");
  kavo::utils::replaceAll(key, "._4", ".4");
}

// The switch words mean 1 and 0, but only as a whole value: "online" stays "online".
const char* switchValue(std::string_view value) {
  if (value == "enabled" || value == "enable" || value == "on") return "1";
  if (value == "disabled" || value == "disable" || value == "off") return "0";
  return nullptr;
}

// Rewrites each "key=value" line: `keyRule` (may be null) on the key; with `switchWords` a value that
// is a switch word as a whole becomes 1 or 0.
// Line ends ("\n", a "\r" in front of it) and lines without "=" are kept as they are.
std::string rewriteLines(const std::string& text, void (*keyRule)(std::string&), bool switchWords) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    const bool hasEol = eol != std::string::npos;
    if (!hasEol) eol = text.size();
    size_t end = eol;
    if (end > pos && text[end - 1] == '\r') --end;
    const size_t eq = text.find('=', pos);
    if (eq == std::string::npos || eq >= end) {
      out.append(text, pos, eol - pos);
    } else {
      std::string key = text.substr(pos, eq - pos);
      if (keyRule != nullptr) keyRule(key);
      out += key;
      out += '=';
      const std::string_view value(text.data() + eq + 1, end - eq - 1);
      const char* replaced = switchWords ? switchValue(value) : nullptr;
      if (replaced != nullptr)
        out += replaced;
      else
        out.append(value.data(), value.size());
      out.append(text, end, eol - end);
    }
    if (hasEol) out += '\n';
    pos = eol + 1;
  }
  return out;
}

bool unsafeText(const std::string& text) { return text.find_first_of("\n\r") != std::string::npos; }

}  // namespace

SystemCfgManager::SystemCfgManager()
    : tree(new Variant(VariantType::Map)), lock(new kavo::threading::InterProcessMutex("system.cfg", true)) {}

SystemCfgManager::SystemCfgManager(Variant* tree_, bool escapeIndexes_, bool valuesAsStrings_, bool kvpFlag_)
    : externalTree(true),
      escapeIndexes(escapeIndexes_),
      valuesAsStrings(valuesAsStrings_),
      kvpFlag(kvpFlag_),
      tree(tree_),
      lock(new kavo::threading::InterProcessMutex("system.cfg", true)) {
  if (tree == nullptr) {
    // Nothing to work on would crash every later call; take a tree of our own instead.
    tree = new Variant(VariantType::Map);
    externalTree = false;
  }
}

SystemCfgManager::~SystemCfgManager() {
  if (initialized) close(false, false);
  if (!externalTree) delete tree;
  delete lock;
}

bool SystemCfgManager::checkInitialized(const char* function) {
  if (initialized) return true;
  VU_LOG(function, LOG_LEVEL_ERROR, 0, "SystemCfgManager not initialized");
  return false;
}

bool SystemCfgManager::init() {
  if (initialized) {
    VU_LOG("init", LOG_LEVEL_ERROR, 0, "SystemCfgManager already initialized");
    return false;
  }
  changed = false;
  const int res = lock->acquire();
  if (res != 0) {
    VU_LOG("init", LOG_LEVEL_ERROR, 0, "Failed to acquire system.cfg mutex, res=%d", res);
    return false;
  }
  if (!readFile()) {
    VU_LOG("init", LOG_LEVEL_ERROR, 0, "Failed to read system.cfg into variant");
    // Keeping the lock would block every other user of the store until this process ends.
    lock->release();
    return false;
  }
  initialized = true;
  return true;
}

bool SystemCfgManager::read() { return checkInitialized("read") && readFile(); }

bool SystemCfgManager::write() { return checkInitialized("write") && writeFile(); }

bool SystemCfgManager::readFile() {
  kavo::utils::File file;
  if (!file.Initialize(kavo::os::path(kCfgPath), kavo::utils::FILE_OPEN_MODE_READ)) {
    VU_LOG("read", LOG_LEVEL_ERROR, 0, "Failed to open system.cfg file");
    return false;
  }
  std::string text;
  if (!file.ReadStringAll(text)) {
    VU_LOG("read", LOG_LEVEL_ERROR, 0, "Failed to read system.cfg file");
    return false;
  }
  file.Close();
  text = rewriteLines(text, escapeIndexes ? escapeKey : nullptr, true);
  tree->Free();
  tree->IsArray(false);
  if (!tree->FromKVP(text, true, valuesAsStrings, kvpFlag)) {
    VU_LOG("read", LOG_LEVEL_ERROR, 0, "Failed to deserialize system.cfg file");
    return false;
  }
  return true;
}

bool SystemCfgManager::writeFile() {
  std::string text;
  if (!tree->ToKVP(text, "=", "\n")) {
    VU_LOG("write", LOG_LEVEL_ERROR, 0, "Failed to serialize variant to key-value pairs");
    return false;
  }
  if (escapeIndexes) text = rewriteLines(text, unescapeKey, false);

  const std::string tempName = kavo::utils::format("%s.%d", kCfgPath, static_cast<int>(::getpid()));
  const std::string tempPath = kavo::os::path(tempName);
  kavo::utils::File file;
  if (!file.Initialize(tempPath, kavo::utils::FILE_OPEN_MODE_TRUNCATE)) {
    VU_LOG("write", LOG_LEVEL_ERROR, 0, "Failed to open system.cfg");
    return false;
  }
  const bool written = file.WriteString(text);
  if (!file.Close() || !written) {
    VU_LOG("write", LOG_LEVEL_ERROR, 0, "Failed to write system.cfg");
    ::unlink(tempPath.c_str());
    return false;
  }
  if (::rename(tempPath.c_str(), kavo::os::path(kCfgPath).c_str()) != 0) {
    VU_LOG("write", LOG_LEVEL_ERROR, 0, "Failed to move %s to /tmp/system.cfg", tempName.c_str());
    ::unlink(tempPath.c_str());
    return false;
  }
  return true;
}

bool SystemCfgManager::keyParts(const std::string& key, std::vector<std::string>& parts, const char* function) {
  std::string held = key;
  if (escapeIndexes) escapeKey(held);
  parts.clear();
  if (kvpFlag)
    kavo::utils::split(held, ".", parts);
  else
    parts.push_back(held);
  for (const std::string& part : parts) {
    if (part.empty() || part.find_first_of("=\n\r") != std::string::npos) {
      VU_LOG(function, LOG_LEVEL_ERROR, 0, "Invalid system.cfg key `%s`", key.c_str());
      return false;
    }
  }
  return true;
}

Variant* SystemCfgManager::lookup(const std::vector<std::string>& parts) {
  Variant* node = tree;
  for (const std::string& part : parts) {
    if (!node->IsMap()) return nullptr;
    node = node->Find(part);
    if (node == nullptr) return nullptr;
  }
  return node;
}

bool SystemCfgManager::get(const std::string& key, int* value, bool* missing) {
  if (value != nullptr) *value = -1;
  if (missing != nullptr) *missing = true;
  if (!checkInitialized("get")) return false;
  std::vector<std::string> parts;
  if (!keyParts(key, parts, "get")) return false;
  const Variant* found = lookup(parts);
  if (found == nullptr || !found->Is(valuesAsStrings ? VariantType::String : VariantType::Numeric)) return true;
  if (missing != nullptr) *missing = false;
  if (value != nullptr) {
    if (valuesAsStrings) {
      const long number = std::strtol(found->AsCString(), nullptr, 10);
      *value = number > INT_MAX ? INT_MAX : number < INT_MIN ? INT_MIN : static_cast<int>(number);
    } else {
      *value = found->As<int>();
    }
  }
  return true;
}

bool SystemCfgManager::get(const std::string& key, std::string* value, bool* missing) {
  if (value != nullptr) value->clear();
  if (missing != nullptr) *missing = true;
  if (!checkInitialized("get")) return false;
  std::vector<std::string> parts;
  if (!keyParts(key, parts, "get")) return false;
  const Variant* found = lookup(parts);
  if (found == nullptr || !found->IsString()) return true;
  if (missing != nullptr) *missing = false;
  if (value != nullptr) *value = found->AsString();
  return true;
}

bool SystemCfgManager::set(const std::string& key, int value, bool* changedOut) {
  if (valuesAsStrings) return store(key, Variant(kavo::utils::format("%d", value)), changedOut);
  return store(key, Variant(value), changedOut);
}

bool SystemCfgManager::set(const std::string& key, const std::string& value, bool* changedOut) {
  return store(key, Variant(value), changedOut);
}

bool SystemCfgManager::store(const std::string& key, const Variant& value, bool* changedOut) {
  if (changedOut != nullptr) *changedOut = false;
  if (!checkInitialized("set")) return false;
  std::vector<std::string> parts;
  if (!keyParts(key, parts, "set")) return false;
  if (value.IsString() && unsafeText(value.AsString())) {
    VU_LOG("set", LOG_LEVEL_ERROR, 0, "Invalid system.cfg value for `%s`", key.c_str());
    return false;
  }
  // The file cannot hold a key as both a value and a section: refuse rather than drop one.
  Variant* node = tree;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    Variant* next = node->Find(parts[i]);
    if (next != nullptr && !next->IsMap()) {
      VU_LOG("set", LOG_LEVEL_ERROR, 0, "system.cfg key `%s` conflicts with an existing entry", key.c_str());
      return false;
    }
    node = next != nullptr ? next : &(*node)[parts[i]];
  }
  Variant* entry = node->Find(parts.back());
  if (entry != nullptr && entry->IsContainer()) {
    VU_LOG("set", LOG_LEVEL_ERROR, 0, "system.cfg key `%s` conflicts with an existing entry", key.c_str());
    return false;
  }
  const bool differs = entry == nullptr || !(*entry == value);
  if (differs) {
    changed = true;
    (*node)[parts.back()] = value;
  }
  if (changedOut != nullptr) *changedOut = differs;
  return writeFile();
}

bool SystemCfgManager::getVariant(Variant& out) {
  if (!checkInitialized("getVariant")) return false;
  out = *tree;
  return true;
}

bool SystemCfgManager::markChanged() {
  if (!checkInitialized("markChanged")) return false;
  changed = true;
  return true;
}

bool SystemCfgManager::close(bool flashIfChanged, bool forceFlash) {
  if (!checkInitialized("close")) return false;
  if (forceFlash || (changed && flashIfChanged)) {
    int cycles = -1;
    bool missing = true;
    if (!get(kFlashCycles, &cycles, &missing) || !set(kFlashCycles, missing ? 1 : (cycles < INT_MAX ? cycles + 1 : cycles), nullptr)) {
      VU_LOG("close", LOG_LEVEL_ERROR, 0, "Failed to read flash write cycles");
      return false;
    }
    if (!writeFile()) {
      VU_LOG("close", LOG_LEVEL_ERROR, 0, "Failed to write system.cfg from variant");
      return false;
    }
    if (!kavo::utils::saveToFlashRaw(false)) {
      VU_LOG("close", LOG_LEVEL_ERROR, 0, "Failed to save to flash");
      return false;
    }
  } else if (changed) {
    if (!writeFile()) {
      VU_LOG("close", LOG_LEVEL_ERROR, 0, "Failed to write system.cfg from variant");
      return false;
    }
  }
  initialized = false;
  const int res = lock->release();
  if (res != 0) {
    VU_LOG("close", LOG_LEVEL_ERROR, 0, "Failed to release system.cfg mutex, res=%d", res);
    return false;
  }
  return true;
}

}  // namespace variant
}  // namespace kavo
