// Any JSON document normalised as every message class: no crash, and normalising again changes
// nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kavo/ipc/messages/analyticsinterrupt.h"
#include "kavo/ipc/messages/baseresponsemessage.h"
#include "kavo/ipc/messages/changeanalyticssettings.h"
#include "kavo/ipc/messages/changeispsettings.h"
#include "kavo/ipc/messages/changevideosettings.h"
#include "kavo/ipc/messages/eventstreamingstatus.h"

using namespace kavo::ipc::messages;

namespace {

template <class T>
void check(const kavo::variant::Variant& doc) {
  T once{BaseMessage(doc)};
  once.NormalizeFields();
  T twice(once);
  twice.NormalizeFields();
  std::string a, b;
  once.ToJSON(a);
  twice.ToJSON(b);
  if (a != b) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kavo::variant::Variant doc;
  if (doc.FromJSON(reinterpret_cast<const char*>(data), size) == 0) return 0;
  check<BaseRequestMessage>(doc);
  check<BaseResponseMessage>(doc);
  check<ChangeVideoSettings>(doc);
  check<EventStreamingStatus>(doc);
  check<AnalyticsInterrupt>(doc);
  check<ChangeIspSettings>(doc);
  check<ChangeAnalyticsSettings>(doc);
  return 0;
}
