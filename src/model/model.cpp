#include "model/model.h"

#include "panel/text/text.h"

namespace qelm {

Model::Model(std::string name) : name_(std::move(name)) {}

Model::~Model() = default;

Parameter* Model::add(std::unique_ptr<Parameter> parameter) {
  if (parameter == nullptr) return nullptr;
  std::string folded = lowerCaseCopy(parameter->name());
  // One search serves both the duplicate check and the insertion.
  const auto place = byName_.lower_bound(folded);
  if (place != byName_.end() && place->first == folded) return nullptr;
  switch (parameter->kind()) {
    case ParameterKind::kOpenGear:
      if (byOid_.contains(parameter->oid_)) return nullptr;
      break;
    case ParameterKind::kArrayElement:
      if (byElement_.contains({parameter->oid_, parameter->element_})) return nullptr;
      break;
    case ParameterKind::kGlobal:
      if (byGlobalCode_.contains(parameter->globalCode_)) return nullptr;
      break;
    case ParameterKind::kLocal:
      break;
  }
  Parameter* p = parameter.get();
  p->model_ = this;
  switch (p->kind()) {
    case ParameterKind::kOpenGear:
      byOid_.emplace(p->oid_, p);
      break;
    case ParameterKind::kArrayElement:
      byElement_.emplace(std::make_pair(p->oid_, p->element_), p);
      break;
    case ParameterKind::kGlobal:
      byGlobalCode_.emplace(p->globalCode_, p);
      break;
    case ParameterKind::kLocal:
      break;
  }
  byName_.emplace_hint(place, std::move(folded), std::move(parameter));
  ordered_.push_back(p);
  return p;
}

Parameter* Model::findByName(std::string_view name) const {
  const auto it = byName_.find(lowerCaseCopy(name));
  return it == byName_.end() ? nullptr : it->second.get();
}

Parameter* Model::findByOid(uint16_t oid) const {
  const auto it = byOid_.find(oid);
  return it == byOid_.end() ? nullptr : it->second;
}

Parameter* Model::findByOid(uint16_t oid, uint16_t element) const {
  const auto it = byElement_.find({oid, element});
  return it == byElement_.end() ? nullptr : it->second;
}

Parameter* Model::findByGlobalCode(int32_t code) const {
  const auto it = byGlobalCode_.find(code);
  return it == byGlobalCode_.end() ? nullptr : it->second;
}

void Model::forEachCardParameter(const std::function<void(Parameter&)>& visit) const {
  for (const auto& [oid, parameter] : byOid_)
    visit(*parameter);
  for (const auto& [address, parameter] : byElement_)
    visit(*parameter);
}

bool Model::addMonitorModule(std::string_view name) {
  return monitorModules_.insert(lowerCaseCopy(name)).second;
}

}  // namespace qelm
