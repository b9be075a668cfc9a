// Any settings file loaded as the ISP server loads it at start-up (not normalised: the getters
// repair what they read), then taken by the IPC front end as its reset snapshot: no crash, and once
// a reset has stored the repaired values (a value past its range reads as "not set" until then), a
// second reset changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ispserver_messenger.h"
#include "ispsettings.h"
#include "kavo/test/fuzz_root.h"

using kavo::ipc::messages::ChangeIspSettings;
using kavo::ispserver::ispserver_messenger::IspServerMessenger;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kavo::test::writeFuzzFile("/usr/etc/kavo_ispserver.json", data, size);
  kavo::isp::IspSettings settings;
  if (!settings.FromJSONFile("/usr/etc/kavo_ispserver.json")) return 0;
  IspServerMessenger messenger(&settings);
  ChangeIspSettings snapshot;
  messenger.FillSettingsMessage(snapshot);
  ChangeIspSettings reset(snapshot);
  messenger.UpdateSettings(reset);
  messenger.FillSettingsMessage(snapshot);
  reset = snapshot;
  messenger.UpdateSettings(reset);
  ChangeIspSettings after;
  messenger.FillSettingsMessage(after);
  std::string a, b;
  snapshot.ToJSON(a);
  after.ToJSON(b);
  if (a != b) {
    std::fprintf(stderr, "%s\n%s\n", a.c_str(), b.c_str());
    std::abort();
  }
  return 0;
}
