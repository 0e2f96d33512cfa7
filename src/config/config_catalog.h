#pragma once

#include <map>
#include <memory>
#include <string>

namespace qelm {

class Model;
class Template;

/// Everything a configuration defines: what the rest of the engine runs on. Filled by the
/// loader, owned by the engine run.
struct ConfigCatalog {
  ConfigCatalog();
  ~ConfigCatalog();
  ConfigCatalog(const ConfigCatalog&) = delete;
  ConfigCatalog& operator=(const ConfigCatalog&) = delete;

  /// Title of the selection view; the start-up sets the product name before loading.
  std::string banner;
  /// Models by exact (case-sensitive) name.
  std::map<std::string, std::unique_ptr<Model>> models;
  /// Templates by exact name.
  std::map<std::string, std::unique_ptr<Template>> templates;
  // The device list, simulators, input actions and local card values follow.
};

}  // namespace qelm
