#include "model/model.h"

#include "text/readers.h"
#include "text/text.h"

namespace qelm {
namespace {

constexpr unsigned char folded(char c) {
  return static_cast<unsigned char>(foldedAscii(c));
}

}  // namespace

std::size_t Model::FoldedHash::operator()(std::string_view name) const {
  // FNV-1a over the folded bytes.
  std::size_t hash = 14695981039346656037ull;
  for (const char c : name) {
    hash ^= folded(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

bool Model::FoldedEqual::operator()(std::string_view a, std::string_view b) const {
  return equalsIgnoringCase(a, b);
}

Model::Model(std::string name) : name_(std::move(name)) {}

Model::~Model() = default;

Parameter* Model::add(std::unique_ptr<Parameter> parameter) {
  if (parameter == nullptr) return nullptr;
  if (byName_.contains(parameter->name())) return nullptr;
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
  byName_.emplace(p->name(), p);
  ordered_.push_back(p);
  owned_.push_back(std::move(parameter));
  return p;
}

Parameter* Model::findByName(std::string_view name) const {
  const auto it = byName_.find(name);
  return it == byName_.end() ? nullptr : it->second;
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
