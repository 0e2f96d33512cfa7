#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/parameter.h"

namespace qelm {

/// One kind of card (or the panel's own settings): a named set of parameters, indexed by name
/// (ignoring ASCII case) and by address. Owns its parameters.
class Model {
 public:
  /// `name` is kept exactly (models are found by exact, case-sensitive name).
  explicit Model(std::string name);
  virtual ~Model();

  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  /// Exact model name.
  const std::string& name() const { return name_; }

  /// Takes the parameter, records itself as its owner and indexes it; null (the parameter is
  /// dropped) when its name exists ignoring case or its address exists (OID; OID and element;
  /// global code). Local parameters are checked by name only. The pointer stays valid as long
  /// as the model lives.
  Parameter* add(std::unique_ptr<Parameter> parameter);

  /// Parameter whose name equals `name` ignoring ASCII case, or null.
  Parameter* findByName(std::string_view name) const;
  /// OpenGear parameter at `oid`, or null.
  Parameter* findByOid(uint16_t oid) const;
  /// ArrayElement parameter at (`oid`, `element`), or null.
  Parameter* findByOid(uint16_t oid, uint16_t element) const;
  /// Global parameter with this code, or null.
  Parameter* findByGlobalCode(int32_t code) const;

  /// Calls `visit` for each OpenGear parameter in OID order, then each ArrayElement parameter in
  /// (OID, element) order: the parameters a card of this model has.
  void forEachCardParameter(const std::function<void(Parameter&)>& visit) const;
  /// Every parameter in the order it was added.
  const std::vector<Parameter*>& parameters() const { return ordered_; }

  /// Adds a monitor module name, folded to lower case; false when it is already there.
  bool addMonitorModule(std::string_view name);
  /// Monitor module names (lower case), ascending.
  const std::set<std::string>& monitorModules() const { return monitorModules_; }

 private:
  // Hash and equality of names ignoring ASCII case, so lookups need no folded copy.
  struct FoldedHash {
    std::size_t operator()(std::string_view name) const;
  };
  struct FoldedEqual {
    bool operator()(std::string_view a, std::string_view b) const;
  };

  std::string name_;
  std::vector<std::unique_ptr<Parameter>> owned_;
  std::vector<Parameter*> ordered_;
  // Keys view the names of the owned parameters, which never change.
  std::unordered_map<std::string_view, Parameter*, FoldedHash, FoldedEqual> byName_;
  std::map<uint16_t, Parameter*> byOid_;
  std::map<std::pair<uint16_t, uint16_t>, Parameter*> byElement_;
  std::map<int32_t, Parameter*> byGlobalCode_;
  std::set<std::string> monitorModules_;
};

}  // namespace qelm
