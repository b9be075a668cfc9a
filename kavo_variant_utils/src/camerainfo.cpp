#include "kavo/variant_utils/camerainfo.h"

#include <regex.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kavo/os/path.h"
#include "kavo/utils/file.h"
#include "kavo/utils/strings.h"
#include "variant_utils_log.h"

namespace kavo {
namespace variant {

namespace {

// model . platform . v major . minor . patch . protocol [-suffix] . build . date . time
const char* kFirmwarePattern =
    "^([a-zA-Z0-9]+)[.]([a-zA-Z0-9]+)[.]v([0-9]+)[.]([0-9]+)[.]([0-9]+)[.]([0-9]+)(-[a-z]+[1-9]?)?[.]((M_)?[a-"
    "f0-9]+)[.][0-9]{6}[.][0-9]{4}$";

// The first line of a camera file, trimmed; false when the file cannot be opened.
bool readFirstLine(const char* camPath, std::string& line) {
  kavo::utils::File file;
  if (!file.Initialize(kavo::os::path(camPath), kavo::utils::FILE_OPEN_MODE_READ)) {
    VU_LOG("Init", LOG_LEVEL_ERROR, errno, "Unable to open %s", camPath);
    return false;
  }
  file.ReadStringAll(line);
  const size_t eol = line.find('\n');
  if (eol != std::string::npos) line.resize(eol);
  kavo::utils::trim(line);
  return true;
}

// "02AB34cd56EF" -> "02:AB:34:cd:56:EF"; a shorter address is cut where it ends.
std::string colonForm(const std::string& address) {
  char src[18] = {};
  for (size_t i = 0; i < sizeof src && i < address.size() && address[i] != '\0'; ++i) src[i] = address[i];
  char out[18];
  std::snprintf(out, sizeof out, "%c%c:%c%c:%c%c:%c%c:%c%c:%c%c", src[0], src[1], src[2], src[3], src[4], src[5],
                src[6], src[7], src[8], src[9], src[10], src[11]);
  return std::string(out);
}

}  // namespace

CameraInfo::~CameraInfo() = default;

bool CameraInfo::Init() {
  // The first read types the board's values (sysid as a number); the second keeps them all as
  // text, so an all-digit hardware address survives as written.
  CameraInfo typed;
  if (!typed.FromKVPFile("/etc/board.info", false, false, true)) return false;
  Variant asText;
  if (!asText.FromKVPFile("/etc/board.info", true, true, true)) return false;
  typed["board"]["hwaddr"] = asText["board"]["hwaddr"];
  Variant::operator=(typed["board"]);

  static const char* const kFeatures[] = {"feature_sdmmc", "feature_mic", "feature_video",
                                          "feature_ir",    "feature_rtc", "feature_wifi"};
  for (const char* key : kFeatures) field(key) = typed.feature(key);

  std::string line;
  if (!readFirstLine("/proc/sys/kernel/hostname", line)) return false;
  field("hostName") = line;

  if (!readFirstLine("/proc/uptime", line)) return false;
  std::vector<std::string> fields;
  kavo::utils::split(line, " ", fields);
  if (!fields.empty()) field("upTime") = std::strtod(fields[0].c_str(), nullptr);
  if (fields.size() >= 2) field("idleTime") = std::strtod(fields[1].c_str(), nullptr);
  // A malformed uptime of 0 with a non-zero idle time would give an infinite load.
  if (idleTime() != 0 && upTime() != 0) field("totalLoad") = 1.0 - idleTime() / upTime();

  std::string version;
  if (!kavo::utils::File::ReadStringAll(kavo::os::path("/lib/version"), version)) return false;
  kavo::utils::trim(version);
  field("fullVersion") = version;

  const size_t firstDot = version.find('.');
  const size_t secondDot = firstDot == std::string::npos ? std::string::npos : version.find('.', firstDot + 1);
  if (secondDot != std::string::npos) field("version") = version.substr(0, firstDot) + version.substr(secondDot);

  std::vector<std::string> parts;
  kavo::utils::split(version, ".", parts);
  if (!parts.empty()) field("deviceModel") = parts[0];

  regex_t pattern;
  const int rc = regcomp(&pattern, kFirmwarePattern, REG_EXTENDED);
  if (rc != 0) {
    char message[1024];
    regerror(rc, &pattern, message, sizeof message);
    VU_LOG("Init", LOG_LEVEL_ERROR, 0, "Failed to compile FW version regex: %s", message);
    return false;
  }
  regmatch_t groups[10];
  const std::string firmware = fullVersion();
  if (regexec(&pattern, firmware.c_str(), 10, groups, 0) != 0) {
    VU_LOG("Init", LOG_LEVEL_ERROR, errno, "Failed to match FW version regex, fw=%s", firmware.c_str());
    regfree(&pattern);
    return false;
  }
  const std::string protocol = firmware.substr(groups[6].rm_so, groups[6].rm_eo - groups[6].rm_so);
  field("protocolVer") = static_cast<uint32_t>(std::strtoull(protocol.c_str(), nullptr, 10));
  field("hwaddrColons") = colonForm(asText["board"]["hwaddr"].AsString());
  regfree(&pattern);
  return true;
}

}  // namespace variant
}  // namespace kavo
