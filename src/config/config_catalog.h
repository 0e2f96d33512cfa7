#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "automation/auto_action.h"
#include "model/card_address.h"
#include "model/device.h"
#include "model/value.h"

namespace qelm {

class Model;
class Parameter;
class Template;

/// One configured value of a card's local parameter.
struct LocalCardValue {
  /// The parameter, found by name in the model the card directive named (not owned).
  Parameter* parameter = nullptr;
  /// The parameter name as written in the directive (start-up messages quote it).
  std::string name;
  /// The value to give it at start-up.
  Value value;
};

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

  // Everything below refers to models and templates, so it is declared after them and
  // destroyed before them.

  /// The configured devices.
  DeviceList devices;
  /// Simulated cards: the model each address plays (secondary flag always clear).
  std::map<CardAddress, Model*> simulators;
  /// Automatic actions of the input lines.
  InputActionTable inputActions;
  /// Start-up values of cards' local parameters, per card (secondary flag clear), each card's
  /// values in the order written.
  std::map<CardAddress, std::vector<LocalCardValue>> localCardValues;
};

}  // namespace qelm
