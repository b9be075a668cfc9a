#include "IspServerMisc.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "if_visca/visca_channel.h"
#include "kavo/os/file.h"
#include "kavo/os/path.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

namespace {

#define MISC_LOG(level, ...) ISPAPP_LOG("IspServerMisc", __func__, level, __VA_ARGS__)
#define BOARD_LOG(level, ...) ISPAPP_LOG("IspServerMisc", "set_system_parameters", level, __VA_ARGS__)

constexpr const char* kBoardFile = "/etc/board.info";

// Board names of "/etc/board.info", compared whole and case-sensitively in this order; any other
// name is board 0.
struct BoardName {
  const char* name;
  BoardType type;
};
constexpr BoardName kBoardNames[] = {
    {"ORL", ALDER_IR},          {"ORL Halden", HALDEN_IR},   {"ORL Brisk", TORVEX_BRISK},
    {"ORL Tarrow", TORVEX_TARROW}, {"ORL Quillon", TORVEX_WREN}, {"ORL Fennel", FINCH_IR},
};

// What each board is, by board type.
struct BoardRow {
  int32_t dspId;
  SystemType systemType;
  SensorId sensor;
  LensId lens;
  uint32_t aeTargetBase;
};
constexpr BoardRow kBoards[] = {
    //  DSP  system    sensor          lens        AE target base
    {1, FIXLENS, SENSOR_OV9715, BOARD_LENS, 8700},   // 0 ALDER_IR
    {1, FIXLENS, SENSOR_OV9715, BOARD_LENS, 9000},   // 1 HALDEN_IR
    {1, ZOOMLENS, SENSOR_AR0331, TAMRON_X3, 20720},  // 2 TORVEX_BRISK
    {1, ZOOMLENS, SENSOR_AR0331, TAMRON_X3, 20720},  // 3 TORVEX_TARROW
    {1, ZOOMLENS, SENSOR_AR0331, TAMRON_X3, 20720},  // 4 TORVEX_WREN
    {2, FIXLENS, SENSOR_OV9715, BOARD_LENS, 9500},   // 5 FINCH_IR
};

// Exposure index bounds, the same on every board (the fastest shutter is 161, not 145).
constexpr uint32_t kAgcMinIndex = 0;
constexpr uint32_t kAgcMaxIndex = 198;
constexpr uint32_t kShutterSlowestIndex = 5;
constexpr uint32_t kShutterFastestIndex = 161;

// Names by id, to validate and print the board's values.
struct IdName {
  int32_t id;
  const char* name;
};
constexpr IdName kDspNames[] = {{0, "X5S33"}, {1, "X5S55"}, {2, "X5S66"}, {3, "X5S88"}};
constexpr IdName kSystemTypeNames[] = {{ZOOMLENS, "ZOOMLENS"}, {FIXLENS, "FIXLENS"}};
constexpr IdName kLensNames[] = {
    {TAMRON_X3, "TAMRON_X3"}, {TAMRON_X30, "TAMRON_X30"}, {CANON_X20, "CANON_X20"},
    {T5289_X3, "T5289_X3"},   {BOARD_LENS, "BOARD_LENS"}};
constexpr IdName kSensorNames[] = {{SENSOR_AR0331, "AR0331"}, {SENSOR_OV9715, "OV9715"}};

template <size_t N>
const char* nameOf(const IdName (&table)[N], int32_t id) {
  for (const IdName& entry : table)
    if (entry.id == id) return entry.name;
  return nullptr;
}

// The board type that the board file names; 0 when it names none.
BoardType readBoardType() {
  // A FIFO or a device there is refused as a missing file is: it could hold start-up for ever.
  const int fd = kavo::os::openRegularFile(kavo::os::path(kBoardFile));
  FILE* file = fd < 0 ? nullptr : ::fdopen(fd, "r");
  if (file == nullptr) {
    if (fd >= 0) ::close(fd);
    BOARD_LOG(LOG_LEVEL_WARNING, "the %s can't be opened. set the board name as default.", kBoardFile);
    return ALDER_IR;
  }
  const int first = std::fgetc(file);
  if (first == EOF) {
    BOARD_LOG(LOG_LEVEL_WARNING, "end of file. set board name as default.");
    std::fclose(file);
    return ALDER_IR;
  }
  std::ungetc(first, file);

  char line[256];
  char name[64] = {};
  bool lineStart = true;  // a piece of a line longer than the buffer is no line of its own
  while (name[0] == '\0' && std::fgets(line, sizeof line, file) != nullptr) {
    if (lineStart && std::sscanf(line, "board.name=%63[^\n]", name) != 1) name[0] = '\0';
    lineStart = std::strchr(line, '\n') != nullptr;
  }
  std::fclose(file);
  for (const BoardName& board : kBoardNames)
    if (std::strcmp(name, board.name) == 0) return board.type;
  return ALDER_IR;
}

// Creates an empty key file unless one exists. O_EXCL follows no link, not even one that leads
// nowhere, so nothing is created where a planted link points; a link found there is refused.
void makeKeyFile(const char* cameraPath) {
  const std::string path = kavo::os::path(cameraPath);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd >= 0) {
    ::close(fd);
    return;
  }
  struct stat st;
  if (errno == EEXIST && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
    MISC_LOG(LOG_LEVEL_ERROR, "%s is a link: refused as a key file", cameraPath);
}

struct SegmentPlan {
  ShmSegment* segment;
  const char* keyFile;
  int bytes;
  const char* created;
  const char* failed;
};

}  // namespace

int set_system_parameters() {
  const BoardType board = readBoardType();
  const size_t row = static_cast<size_t>(board) < sizeof kBoards / sizeof kBoards[0] ? board : 0;
  g_isp.board = board;
  g_isp.sys.model = board;
  g_isp.sys.dspId = kBoards[row].dspId;
  g_isp.sys.systemType = kBoards[row].systemType;
  g_isp.sys.sensor = kBoards[row].sensor;
  g_isp.sys.lens = kBoards[row].lens;
  g_isp.aeLimits.targetBase = kBoards[row].aeTargetBase;
  g_isp.aeLimits.agcMinIndex = kAgcMinIndex;
  g_isp.aeLimits.agcMaxIndex = kAgcMaxIndex;
  g_isp.aeLimits.shutterSlowest = kShutterSlowestIndex;
  g_isp.aeLimits.shutterFastest = kShutterFastestIndex;

  const SystemParameters& sys = g_isp.sys;
  const char* name = nameOf(kDspNames, sys.dspId);
  if (name == nullptr) {
    MISC_LOG(LOG_LEVEL_WARNING, "[Main] System DSP is unknown.\n");
    return -1;
  }
  debugPrintf(0, "[Main] System DSP(%d) is %s.\n", sys.dspId, name);
  if ((name = nameOf(kSystemTypeNames, sys.systemType)) == nullptr) {
    MISC_LOG(LOG_LEVEL_WARNING, "[Main] System type is unknown.\n");
    return -1;
  }
  debugPrintf(0, "[Main] System type(%d) is %s.\n", sys.systemType, name);
  if ((name = nameOf(kLensNames, sys.lens)) == nullptr) {
    MISC_LOG(LOG_LEVEL_WARNING, "[Main] System lens is unknown.\n");
    return -1;
  }
  debugPrintf(0, "[Main] System lens(%d) is %s.\n", sys.lens, name);
  if ((name = nameOf(kSensorNames, sys.sensor)) == nullptr) {
    MISC_LOG(LOG_LEVEL_WARNING, "[Main] System sensor is unknown.\n");
    return -1;
  }
  debugPrintf(0, "[Main] System sensor(%d) is %s.\n", sys.sensor, name);
  return 0;
}

void createShareMemoryFiles() {
  std::string dir = kavo::os::path(kShmDir);
  dir.pop_back();  // without the slash, so that a link there is seen as one
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 && ::mkdir(dir.c_str(), 0755) == 0) ::chmod(dir.c_str(), 0755);
  // Whoever else could write there could plant the key files too.
  if (!isOwnFolder(dir)) {
    MISC_LOG(LOG_LEVEL_ERROR, "%s is a link or not a folder of this server's own: refused for the key files", kShmDir);
    return;
  }
  for (const char* file : {kCtrlKeyFile, kViscaKeyFile, kFocusKeyFile, kImageKeyFile}) makeKeyFile(file);
  debugPrintf(0, "[Main] Share memory device created.\n");
}

void removeStaleViscaSemaphore() {
  const key_t key = keyOf(kViscaKeyFile);
  if (key == -1) return;
  const int id = ::semget(key, 0, 0);
  if (id == -1) return;
  if (::semctl(id, 0, IPC_RMID) == 0) {
    MISC_LOG(LOG_LEVEL_WARNING, "removed the semaphore set %d that an earlier server left on %s", id, kViscaKeyFile);
  } else {
    const int err = errno;
    MISC_LOG(LOG_LEVEL_WARNING, "cannot remove the semaphore set %d left on %s: %s", id, kViscaKeyFile,
             std::strerror(err));
  }
}

void createIspServerShareMemory() {
  const SegmentPlan plans[] = {
      {&g_isp.ctrlShm, kCtrlKeyFile, kCtrlShmBytes, "[createIspServerShareMemory] AAAServer share memory created.\n",
       "[createIspServerShareMemory]Server share memory create failed!!\n"},
      {&g_isp.imageShm, kImageKeyFile, kImageShmBytes,
       "[createIspServerShareMemory] Image processing share memory created.\n",
       "[createIspServerShareMemory] share memory create failed!!\n"},
      {&g_isp.viscaShm, kViscaKeyFile, kViscaShmBytes,
       "[createIspServerShareMemory] Visca client share memory created.\n",
       "[createIspServerShareMemory] share memory create failed!!\n"},
      {&g_isp.focusShm, kFocusKeyFile, kFocusShmBytes,
       "[createIspServerShareMemory] G_FocusComShm client share memory created.\n",
       "[createIspServerShareMemory] G_FocusComShm : share memory create failed!!\n"},
  };
  for (const SegmentPlan& plan : plans) {
    plan.segment->addr = createShareMemoryChar(&plan.segment->id, plan.keyFile, plan.bytes);
    if (plan.segment->addr == nullptr) {
      MISC_LOG(LOG_LEVEL_WARNING, "%s", plan.failed);
      continue;
    }
    std::memset(plan.segment->addr, 0, static_cast<size_t>(plan.bytes));
    debugPrintf(0, "%s", plan.created);
  }
}

void markShareMemoryReady() {
  if (g_isp.ctrlShm.addr != nullptr) g_isp.ctrlShm.addr[1] = 1;
  g_isp.shmReady.store(1);
  debugPrintf(0, "[Main] Systme share memory initialized.\n");
}

void deleteIspServerShareMemory() {
  for (ShmSegment* segment : {&g_isp.imageShm, &g_isp.ctrlShm, &g_isp.focusShm}) {
    // Only what start-up made: an id of -1 is no segment, and removing it would only log faults.
    if (segment->addr != nullptr) {
      deleteShareMemoryChar(segment->addr, segment->id);
    } else if (segment->id != -1) {
      ::shmctl(segment->id, IPC_RMID, nullptr);  // made but never attached
    }
    segment->addr = nullptr;
    segment->id = -1;
  }
}

}  // namespace isp
}  // namespace kavo
