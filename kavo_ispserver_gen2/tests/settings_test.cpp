// The ISP settings document: defaults, repair of wrong kinds, clamps and enumerations.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "ispsettings.h"
#include "kavo/test/test_root.h"

namespace kavo {
namespace isp {
namespace {

using kavo::variant::Variant;
using kavo::variant::VariantType;

Variant parse(const std::string& text) {
  Variant v;
  EXPECT_EQ(v.FromJSON(text), text.size()) << text;
  return v;
}

std::string json(const Variant& v) {
  std::string out;
  v.ToJSON(out, true);
  return out;
}

// The shipped default file, written by hand from the tables.
Variant shippedDefaults() {
  std::ifstream f(kavo::test::sourceDir() + "/kavo_ispserver_gen2/kavo_ispserver.json");
  std::stringstream ss;
  ss << f.rdbuf();
  return parse(ss.str());
}

TEST(IspSettings, AnEmptyDocumentNormalisesToTheDefaultFile) {
  IspSettings settings;
  settings.NormalizeFields();
  EXPECT_EQ(json(settings), json(shippedDefaults()));
}

TEST(IspSettings, ValuesOfAnotherKindAreReplacedNotParsed) {
  IspSettings settings(parse(R"({"image": 5,
      "ae": {"target": "80", "shutter": [1, 2], "dss": {"mode": 1}},
      "awb": {"rgain": 42.9, "colortemp": null},
      "ir": {"led": {"level": true}},
      "misc": {"vport0out": 1, "vport1out": true, "powerled": "fast"}})"));
  EXPECT_EQ(settings.image().brightness(), 50);
  EXPECT_EQ(settings.ae().target(), 50u);
  EXPECT_EQ(settings.ae().shutter().max(), 10000u);
  EXPECT_EQ(settings.ae().dss().mode(), "off");
  EXPECT_EQ(settings.awb().rgain(), 42u);  // any number is a number
  EXPECT_EQ(settings.awb().colortemp(), 6000u);
  EXPECT_EQ(settings.ir().led().level(), 215u);
  EXPECT_FALSE(settings.misc().vport0out());
  EXPECT_TRUE(settings.misc().vport1out());
  EXPECT_EQ(settings.misc().powerled().interval(), 245u);
  // Reading repaired the live tree in place.
  const Variant& doc = settings;
  EXPECT_EQ(json(*doc.GetKeyChain(VariantType::Any, "image")), json(parse(R"({"brightness": 50})")));
  EXPECT_EQ(json(*doc.GetKeyChain(VariantType::Any, "ae")),
            json(parse(R"({"target": 50, "shutter": {"max": 10000}, "dss": {"mode": "off"}})")));
  EXPECT_EQ(json(*doc.GetKeyChain(VariantType::Any, "misc/powerled")), json(parse(R"({"interval": 245})")));
}

// One value in an otherwise empty document, normalised.
struct Rule {
  const char* path;
  const char* given;     // JSON, or "" for a missing key
  const char* expected;  // JSON
  VariantType kind;      // Null: no check of the stored kind
};

const Rule kRules[] = {
    {"image/brightness", "100", "100", VariantType::UInt8},
    {"image/brightness", "101", "100", VariantType::UInt8},
    {"image/brightness", "300", "100", VariantType::UInt8},
    {"image/brightness", "-5", "50", VariantType::UInt8},  // negative: the default, as mistyped
    {"ir/led/level", "-1", "215", VariantType::UInt32},
    {"image/denoise", "101", "100", VariantType::UInt8},
    {"image/wdr", "3", "3", VariantType::UInt8},
    {"image/wdr", "4", "3", VariantType::UInt8},
    {"image/mirror", "2", "1", VariantType::UInt8},
    {"image/flip", "2", "1", VariantType::UInt8},
    {"image/irOnValHue", "101", "101", VariantType::UInt8},
    {"image/irOnValHue", "150", "101", VariantType::UInt8},
    {"image/irOnStsHue", "2", "2", VariantType::UInt8},
    {"image/irOnStsHue", "7", "2", VariantType::UInt8},
    {"image/irOnValSharpness", "102", "101", VariantType::UInt8},
    {"image/irOnStsDenoise", "3", "2", VariantType::UInt8},
    {"image/dzoom", "true", "true", VariantType::Bool},
    {"ae/target", "101", "100", VariantType::UInt32},
    {"ae/blc", "5", "4", VariantType::UInt32},
    {"ae/shutter/max", "0", "30", VariantType::UInt32},
    {"ae/shutter/max", "20000", "10000", VariantType::UInt32},
    {"ae/shutter/min", "0", "30", VariantType::UInt32},
    {"ae/shutter/min", "20000", "10000", VariantType::UInt32},
    {"ae/gain/max", "101", "100", VariantType::UInt32},
    {"ae/gain/min", "101", "100", VariantType::UInt32},
    {"ae/manual/shutter", "0", "0", VariantType::UInt32},
    {"ae/manual/shutter", "20000", "10000", VariantType::UInt32},
    {"ae/manual/gain", "101", "100", VariantType::UInt32},
    {"ae/manual/iris", "101", "100", VariantType::UInt32},
    {"ae/dss/min", "0", "1", VariantType::UInt32},
    {"ae/dss/min", "40", "30", VariantType::UInt32},
    {"awb/rgain", "101", "100", VariantType::UInt32},
    {"awb/bgain", "101", "100", VariantType::UInt32},
    {"awb/colortemp", "1000", "2000", VariantType::UInt32},
    {"awb/colortemp", "9000", "8000", VariantType::UInt32},
    {"ir/filter/thd2day", "3001", "3000", VariantType::UInt32},
    {"ir/filter/thd2night", "3001", "3000", VariantType::UInt32},
    {"ir/filter/cnt2day", "101", "100", VariantType::UInt32},
    {"ir/led/level", "256", "255", VariantType::UInt32},
    {"motor/pan/speed", "0", "1", VariantType::UInt8},
    {"motor/pan/speed", "40", "15", VariantType::UInt8},
    {"motor/pan/position", "3601", "3600", VariantType::UInt32},
    {"motor/tilt/speed", "0", "1", VariantType::UInt8},
    {"motor/tilt/position", "3601", "3600", VariantType::UInt32},
    {"motor/zoom/speed", "16", "15", VariantType::UInt8},
    {"motor/zoom/position", "101", "100", VariantType::UInt8},
    {"motor/focus/speed", "0", "1", VariantType::UInt8},
    {"motor/focus/position", "101", "100", VariantType::UInt32},
    {"misc/vport0in", "4", "3", VariantType::UInt8},
    {"misc/vport1in", "4", "3", VariantType::UInt8},
    {"misc/powerled/interval", "1001", "1000", VariantType::UInt32},
    // Enumerations: the table's spelling of a match ignoring case, else the first value.
    {"ae/mode", "\"FLICK50\"", "\"flick50\"", VariantType::String},
    {"ae/mode", "\"Shutter\"", "\"shutter\"", VariantType::String},
    {"ae/mode", "\"auto \"", "\"auto\"", VariantType::String},
    {"ae/mode", "\"bogus\"", "\"auto\"", VariantType::String},
    {"ae/dss/mode", "\"OFF\"", "\"off\"", VariantType::String},
    {"ae/dss/mode", "\"bogus\"", "\"on\"", VariantType::String},
    {"ae/dss/mode", "", "\"off\"", VariantType::String},
    {"awb/mode", "\"MANUAL\"", "\"manual\"", VariantType::String},
    {"awb/mode", "\"bogus\"", "\"auto\"", VariantType::String},
    {"ir/filter/mode", "\"Night\"", "\"night\"", VariantType::String},
    {"ir/filter/mode", "\"bogus\"", "\"auto\"", VariantType::String},
    {"ir/led/mode", "\"Manual\"", "\"manual\"", VariantType::String},
    {"ir/led/mode", "\"bogus\"", "\"auto\"", VariantType::String},
    {"motor/focus/mode", "\"zTrig\"", "\"ztrig\"", VariantType::String},
    {"motor/focus/mode", "\"bogus\"", "\"auto\"", VariantType::String},
    {"motor/focus/mode", "", "\"ztrig\"", VariantType::String},
    {"misc/mode", "\"MANUAL\"", "\"manual\"", VariantType::String},
    {"misc/mode", "\"bogus\"", "\"auto\"", VariantType::String},
    {"misc/powerled/mode", "\"Manual\"", "\"manual\"", VariantType::String},
    {"misc/powerled/mode", "\"bogus\"", "\"auto\"", VariantType::String},
};

TEST(IspSettings, ClampsAndEnumerations) {
  for (const Rule& rule : kRules) {
    SCOPED_TRACE(std::string(rule.path) + " := " + rule.given);
    IspSettings settings;
    if (*rule.given != '\0') {
      Variant* node = &static_cast<Variant&>(settings);
      std::string path = rule.path;
      for (size_t slash; (slash = path.find('/')) != std::string::npos; path.erase(0, slash + 1))
        node = &(*node)[path.substr(0, slash)];
      (*node)[path] = parse(rule.given);
    }
    settings.NormalizeFields();
    const Variant* value = static_cast<const Variant&>(settings).GetKeyChain(VariantType::Any, rule.path);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(json(*value), rule.expected);
    EXPECT_EQ(value->GetType(), rule.kind);
  }
}

TEST(IspSettings, SettersClampAndStoreTheFieldsType) {
  IspSettings settings;
  settings.image().irOnValContrast(200);
  settings.ir().led().level(1000);
  settings.motor().zoom().position(150);
  settings.motor().focus().position(150);
  settings.ae().mode("FLICK60");
  settings.motor().focus().mode("Z");
  const Variant& doc = settings;
  const auto at = [&](const char* path) { return doc.GetKeyChain(VariantType::Any, path); };
  EXPECT_EQ(at("image/irOnValContrast")->GetType(), VariantType::UInt8);
  EXPECT_EQ(at("image/irOnValContrast")->AsUInt32(), 101u);
  EXPECT_EQ(at("ir/led/level")->GetType(), VariantType::UInt32);
  EXPECT_EQ(at("ir/led/level")->AsUInt32(), 255u);
  EXPECT_EQ(at("motor/zoom/position")->GetType(), VariantType::UInt8);
  EXPECT_EQ(at("motor/zoom/position")->AsUInt32(), 100u);
  EXPECT_EQ(at("motor/focus/position")->GetType(), VariantType::UInt32);
  EXPECT_EQ(at("motor/focus/position")->AsUInt32(), 100u);
  EXPECT_EQ(at("ae/mode")->AsString(), "flick60");
  EXPECT_EQ(at("motor/focus/mode")->AsString(), "auto");
}

}  // namespace
}  // namespace isp
}  // namespace kavo
