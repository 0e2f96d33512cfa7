#include "core/settings_store.h"

namespace qelm {

void SettingsStore::setText(std::string_view name, std::string_view value) {
  values_.insert_or_assign(std::string(name), std::string(value));
}

void SettingsStore::setBool(std::string_view name, bool flag) {
  setText(name, flag ? "1" : "0");
}

std::string SettingsStore::getText(std::string_view name) const {
  const auto it = values_.find(name);
  return it == values_.end() ? std::string() : it->second;
}

bool SettingsStore::getBool(std::string_view name) const {
  const auto it = values_.find(name);
  return it != values_.end() && it->second == "1";
}

bool SettingsStore::contains(std::string_view name) const {
  return values_.contains(name);
}

}  // namespace qelm
