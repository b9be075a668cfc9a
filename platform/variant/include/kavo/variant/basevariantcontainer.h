#pragma once
// BaseVariantContainer: the base of every settings and message document. The document is the
// Variant itself (a map); derived classes add typed getters and setters over its keys and a
// NormalizeFields() that first calls this one.
#include "kavo/variant/variant.h"

namespace kavo {
namespace variant {

class BaseVariantContainer : public Variant {
 public:
  // An empty map.
  BaseVariantContainer() : Variant(VariantType::Map) {}
  // A copy of any value (a document received or read is taken as it is; the getters repair it).
  explicit BaseVariantContainer(const Variant& value) : Variant(value) {}
  explicit BaseVariantContainer(Variant&& value) noexcept : Variant(std::move(value)) {}
  BaseVariantContainer(const BaseVariantContainer&) = default;
  BaseVariantContainer(BaseVariantContainer&&) noexcept = default;
  BaseVariantContainer& operator=(const BaseVariantContainer&) = default;
  BaseVariantContainer& operator=(BaseVariantContainer&&) noexcept = default;
  using Variant::operator=;
  ~BaseVariantContainer() override;

  // Makes a root that is neither a map nor an array an empty map (what every getter does first).
  virtual void NormalizeFields();
};

}  // namespace variant
}  // namespace kavo
