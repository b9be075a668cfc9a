// Any "ChangeIspSettings" request taken into the live settings as the IPC front end takes it: no
// crash, and the live document stays one that normalising leaves unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ispserver_messenger.h"
#include "ispsettings.h"

using kavo::ipc::messages::BaseMessage;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::ChangeIspSettings;
using kavo::ispserver::ispserver_messenger::IspServerMessenger;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kavo::variant::Variant doc;
  if (doc.FromJSON(reinterpret_cast<const char*>(data), size) == 0) return 0;
  kavo::isp::IspSettings settings;
  settings.NormalizeFields();
  IspServerMessenger messenger(&settings);
  BaseRequestMessage request{BaseMessage(doc)};
  ChangeIspSettings change(request);
  change.NormalizeFields();
  messenger.UpdateSettings(change);
  kavo::isp::IspSettings again(settings);
  again.NormalizeFields();
  std::string a, b;
  settings.ToJSON(a);
  again.ToJSON(b);
  if (a != b) {
    std::fprintf(stderr, "%s\n%s\n", a.c_str(), b.c_str());
    std::abort();
  }
  return 0;
}
