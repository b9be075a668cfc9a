// kavo_lens_probe [--board N] [--lens N] OP [ARG...] [, OP [ARG...]]...: runs sub-CPU device operations
// of the ISP server on the line "/dev/ttyS1" (and the SPI bus) of KAVO_ROOT, one line of output each:
// the operation, its result and what it read. For tests that judge the wire from outside.
// "peer N" and "broadcast N" change the serial link's peer address and broadcast flag.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fe_subcpu/subcpu.h"
#include "fe_subcpu/subcpu_thread.h"
#include "thread_proc/isp_globals.h"

using namespace kavo::isp;

namespace {

using Args = std::vector<long>;

long arg(const Args& a, size_t i) { return i < a.size() ? a[i] : 0; }

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  int board = TORVEX_BRISK, lens = TAMRON_X3;
  for (; first + 1 < argc && std::strncmp(argv[first], "--", 2) == 0; first += 2) {
    if (std::strcmp(argv[first], "--board") == 0) board = std::atoi(argv[first + 1]);
    else if (std::strcmp(argv[first], "--lens") == 0) lens = std::atoi(argv[first + 1]);
    else return 2;
  }
  g_isp.board = board;
  g_isp.sys.model = board;
  g_isp.sys.systemType = ZOOMLENS;
  g_isp.sys.lens = lens;
  SubCPU s;
  s.openSubCPU();
  g_isp.components.subCpu.store(&s);
  startSubCPUThread();

  using Op = std::function<std::string(const Args&)>;
  auto n = [](long v) { return std::to_string(v); };
  std::map<std::string, Op> ops = {
      {"peer", [&](const Args& a) { s.m_serialPeer.address.store(static_cast<uint32_t>(arg(a, 0))); return std::string("0"); }},
      {"broadcast", [&](const Args& a) { s.m_serial.broadcast.store(static_cast<uint32_t>(arg(a, 0))); return std::string("0"); }},
      {"setDCIrisMode", [&](const Args& a) { return n(s.setDCIrisMode(static_cast<int>(arg(a, 0)))); }},
      {"setICR", [&](const Args& a) { return n(s.setICR(static_cast<int>(arg(a, 0)))); }},
      {"setIrLedLevel", [&](const Args& a) { return n(s.setIrLedLevel(static_cast<uint32_t>(arg(a, 0)))); }},
      {"setHeater", [&](const Args& a) { return n(s.setHeater(static_cast<uint32_t>(arg(a, 0)), static_cast<uint32_t>(arg(a, 1)))); }},
      {"setZoom", [&](const Args& a) { return n(s.setZoom(static_cast<uint32_t>(arg(a, 0)))); }},
      {"setFocus", [&](const Args& a) { return n(s.setFocus(static_cast<uint32_t>(arg(a, 0)))); }},
      {"setTrackingCurve", [&](const Args& a) { return n(s.setTrackingCurve(static_cast<uint32_t>(arg(a, 0)))); }},
      {"setFocusWideBias", [&](const Args& a) { return n(s.setFocusWideBias(static_cast<uint32_t>(arg(a, 0)))); }},
      {"lensInit", [&](const Args&) { return n(s.lensInit()); }},
      {"zoomTele", [&](const Args&) { return n(s.zoomTele()); }},
      {"zoomWide", [&](const Args&) { return n(s.zoomWide()); }},
      {"zoomStop", [&](const Args&) { return n(s.zoomStop()); }},
      {"focusNear", [&](const Args&) { return n(s.focusNear()); }},
      {"focusFar", [&](const Args&) { return n(s.focusFar()); }},
      {"syncAbsZoomFocus", [&](const Args& a) {
         return n(s.syncAbsZoomFocus_WaitCompletion(static_cast<uint32_t>(arg(a, 0)), static_cast<uint32_t>(arg(a, 1))));
       }},
      {"getZoom", [&](const Args&) { uint32_t v = 0; const int rc = s.getZoom(&v); return n(rc) + " " + n(v); }},
      {"getFocus", [&](const Args&) { uint32_t v = 0; const int rc = s.getFocus(&v); return n(rc) + " " + n(v); }},
      {"getFocusWideBias", [&](const Args&) { int32_t v = 0; const int rc = s.getFocusWideBias(&v); return n(rc) + " " + n(v); }},
      {"inqLightSensor", [&](const Args&) { uint32_t v = 0; const int rc = s.inqLightSensor(&v); return n(rc) + " " + n(v); }},
      {"inqPtPosition", [&](const Args&) {
         int32_t p = 0, t = 0;
         const int rc = s.inqPtPosition(&p, &t);
         return n(rc) + " " + n(p) + " " + n(t);
       }},
      {"ptAbsolute", [&](const Args& a) {
         return n(s.ptAbsolute(static_cast<uint8_t>(arg(a, 0)), static_cast<uint8_t>(arg(a, 1)), static_cast<int32_t>(arg(a, 2)),
                               static_cast<int32_t>(arg(a, 3))));
       }},
      {"ptUp", [&](const Args& a) { return n(s.ptUp(static_cast<uint8_t>(arg(a, 0)), static_cast<uint8_t>(arg(a, 1)))); }},
      {"ptDownRight", [&](const Args& a) { return n(s.ptDownRight(static_cast<uint8_t>(arg(a, 0)), static_cast<uint8_t>(arg(a, 1)))); }},
      {"ptLimitSetUpRight", [&](const Args& a) {
         return n(s.ptLimitSetUpRight(static_cast<int32_t>(arg(a, 0)), static_cast<int32_t>(arg(a, 1))));
       }},
      {"ptLimitClearDownLeft", [&](const Args&) { return n(s.ptLimitClearDownLeft()); }},
      {"ptHome", [&](const Args&) { return n(s.ptHome()); }},
  };
  int status = 0;
  for (int i = first; i < argc;) {
    const std::string name = argv[i++];
    Args a;
    while (i < argc && std::strcmp(argv[i], ",") != 0) a.push_back(std::strtol(argv[i++], nullptr, 0));
    if (i < argc) ++i;
    auto it = ops.find(name);
    if (it == ops.end()) {
      std::fprintf(stderr, "kavo_lens_probe: unknown operation %s\n", name.c_str());
      status = 2;
      break;
    }
    std::printf("%s %s\n", name.c_str(), it->second(a).c_str());
    std::fflush(stdout);
  }
  stopSubCPUThread();
  g_isp.components.subCpu.store(nullptr);
  s.closeSubCPU();
  return status;
}
