#pragma once

#include <string>

namespace qelm {

/// A model's parameters laid out on numbered pages of numbered items (placeholder).
class Template {
 public:
  virtual ~Template() = default;
};

}  // namespace qelm
