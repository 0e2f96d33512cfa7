// The panel's settings as a damaged or hand-edited boot environment holds them: arbitrary
// texts under the settings' keys (and the time zone, address and preset keys). Every setting
// must read, show and write back without crashing, whatever the stored text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/boot_env.h"
#include "core/settings_keys.h"
#include "core/settings_store.h"
#include "globals/global_settings.h"
#include "platform/clock.h"

namespace {

// Every key a setting is stored under, the "x-" preset copies, and the extra ones.
std::vector<std::string> storedKeys() {
  qelm::StandardFileBootEnv env("/nonexistent/bootenv");
  qelm::SettingsStore store;
  qelm::platform::ManualClock clock;
  qelm::GlobalSettings settings(env, store, clock, "/nonexistent/build-date",
                                qelm::SettingsOwner::kDetached);
  std::vector<std::string> keys = {"tzname", "dhcp"};
  for (const qelm::Parameter* parameter : settings.model().parameters()) {
    if (parameter->key().empty()) continue;
    keys.push_back(parameter->key());
    keys.push_back("x-" + parameter->key());
  }
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<std::string> keys = storedKeys();
  // Records of [key index][length][text].
  qelm::StandardFileBootEnv env("/nonexistent/bootenv");
  size_t at = 0;
  while (at + 2 <= size) {
    const std::string& key = keys[data[at] % keys.size()];
    const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
    env.set(key, std::string(reinterpret_cast<const char*>(data + at + 2), length));
    at += 2 + length;
  }
  qelm::SettingsStore store;
  store.setBool(qelm::settings_key::kShowNetworkSettingsPages, size % 2 == 0);
  store.setBool(qelm::settings_key::kShowTimeSettingsPages, size % 3 == 0);
  qelm::platform::ManualClock clock;
  qelm::GlobalSettings settings(env, store, clock, "/nonexistent/build-date");
  for (qelm::Parameter* parameter : settings.model().parameters()) {
    qelm::Target& target = settings.registerGlobal(*parameter);
    (void)target.valueText();
    (void)target.hasNamedValue();
    const qelm::Value value = target.currentValue();
    // Writing back what was read carries out each setting's action with a stored value.
    if (value.valid) target.setValue(value);
  }
  settings.refreshLocks();
  settings.refreshClock();
  return 0;
}
