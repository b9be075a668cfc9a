// Board detection over "/etc/board.info" files.
#include <gtest/gtest.h>

#include <string>

#include "IspServerMisc.h"
#include "kavo/logger/logger.h"
#include "kavo/test/test_root.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {
namespace {

struct Case {
  const char* what;
  std::string file;  // "-": no file
  int32_t board;
  const char* logged;  // the level-4 message, or ""
};

// What each board type is: DSP id, system type, sensor, lens, AE target base.
struct Expected {
  int32_t dspId, systemType, sensor, lens;
  uint32_t aeTargetBase;
};
constexpr Expected kRows[] = {
    {1, FIXLENS, SENSOR_OV9715, BOARD_LENS, 8700},  {1, FIXLENS, SENSOR_OV9715, BOARD_LENS, 9000},
    {1, ZOOMLENS, SENSOR_AR0331, TAMRON_X3, 20720}, {1, ZOOMLENS, SENSOR_AR0331, TAMRON_X3, 20720},
    {1, ZOOMLENS, SENSOR_AR0331, TAMRON_X3, 20720}, {2, FIXLENS, SENSOR_OV9715, BOARD_LENS, 9500},
};

const Case kCases[] = {
    {"ORL", "board.sysid=18\nboard.name=ORL\n", ALDER_IR, ""},
    {"Halden", "board.name=ORL Halden\n", HALDEN_IR, ""},
    {"Brisk", "board.hwaddr=02AB\nboard.name=ORL Brisk\nboard.name=ORL Fennel\n", TORVEX_BRISK, ""},
    {"Tarrow", "board.name=ORL Tarrow\n", TORVEX_TARROW, ""},
    {"Quillon, no newline", "board.name=ORL Quillon", TORVEX_WREN, ""},
    {"Fennel", "board.name=ORL Fennel\nfeature_mic=1\n", FINCH_IR, ""},
    {"unknown name", "board.name=ORL Heron\n", ALDER_IR, ""},
    {"letter case", "board.name=orl tarrow\n", ALDER_IR, ""},
    {"trailing blank", "board.name=ORL Brisk \n", ALDER_IR, ""},
    {"trailing CR", "board.name=ORL Brisk\r\n", ALDER_IR, ""},
    {"leading blank", " board.name=ORL Brisk\n", ALDER_IR, ""},
    {"empty name, then a real one", "board.name=\nboard.name=ORL Tarrow\n", TORVEX_TARROW, ""},
    {"no name line", "board.sysid=18\nboard.type=sim\n", ALDER_IR, ""},
    {"300-character name", "board.name=ORL Brisk" + std::string(280, 'x') + "\n", ALDER_IR, ""},
    {"name line inside a line of 300 characters",
     "x=" + std::string(253, 'y') + "board.name=ORL Brisk\n", ALDER_IR, ""},
    {"empty file", "", ALDER_IR, "end of file. set board name as default."},
    {"missing file", "-", ALDER_IR, "the /etc/board.info can't be opened. set the board name as default."},
};

TEST(BoardDetection, BoardFiles) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    kavo::test::TestRoot root;
    if (c.file != "-") root.write("/etc/board.info", c.file);
    g_isp.board = -1;
    g_isp.sys = SystemParameters{-1, -1, -1, -1, -1};
    g_isp.aeLimits = AELimits{};
    kavo::logger::LogCapture log;

    EXPECT_EQ(set_system_parameters(), 0);

    const Expected& row = kRows[c.board];
    EXPECT_EQ(g_isp.board, c.board);
    EXPECT_EQ(g_isp.sys.model, c.board);
    EXPECT_EQ(g_isp.sys.dspId, row.dspId);
    EXPECT_EQ(g_isp.sys.systemType, row.systemType);
    EXPECT_EQ(g_isp.sys.sensor, row.sensor);
    EXPECT_EQ(g_isp.sys.lens, row.lens);
    EXPECT_EQ(g_isp.aeLimits.targetBase, row.aeTargetBase);
    EXPECT_EQ(g_isp.aeLimits.agcMinIndex, 0u);
    EXPECT_EQ(g_isp.aeLimits.agcMaxIndex, 198u);
    EXPECT_EQ(g_isp.aeLimits.shutterSlowest, 5u);
    EXPECT_EQ(g_isp.aeLimits.shutterFastest, 161u);
    if (*c.logged != '\0') {
      ASSERT_EQ(log.records().size(), 1u) << log.dump();
      const auto r = log.records()[0];
      EXPECT_EQ(r.message, c.logged);
      EXPECT_EQ(r.level, LOG_LEVEL_WARNING);
      EXPECT_EQ(r.module, "kavo_ispserver_gen2");
      EXPECT_EQ(r.file, "IspServerMisc");
      EXPECT_EQ(r.function, "set_system_parameters");
    } else {
      EXPECT_TRUE(log.records().empty()) << log.dump();
    }
  }
}

}  // namespace
}  // namespace isp
}  // namespace kavo
