#include "comm/hard_target.h"

#include <cstdio>

#include "comm/card.h"
#include "model/model.h"
#include "model/parameter.h"

namespace qelm {

HardTarget::HardTarget(Card& card, Parameter& parameter) : parameter_(parameter), card_(card) {}

HardTarget::~HardTarget() {
  if (watched_) card_.forget(*this);
}

std::string HardTarget::describe() const {
  const Model* model = parameter_.model();
  const std::string modelName = model ? model->name() : std::string();
  // Local and global parameters have no OID; describe them with 0 rather than throw.
  const bool hasOid = parameter_.kind() == ParameterKind::kOpenGear ||
                      parameter_.kind() == ParameterKind::kArrayElement;
  const unsigned oid = hasOid ? parameter_.oid() : 0u;
  const int size = std::snprintf(nullptr, 0, "Model \"%s\" OID 0x%04x (\"%s\")", modelName.c_str(),
                                 oid, parameter_.name().c_str());
  std::string text(static_cast<size_t>(size), '\0');
  std::snprintf(text.data(), text.size() + 1, "Model \"%s\" OID 0x%04x (\"%s\")", modelName.c_str(),
                oid, parameter_.name().c_str());
  return text;
}

void HardTarget::countWatcher(bool on) {
  if (on) {
    ++watchers_;
  } else if (watchers_ > 0) {
    --watchers_;
  }
  if (!watched_ && watchers_ > 0) {
    card_.watch(*this, true);
  } else if (watched_ && watchers_ == 0) {
    card_.watch(*this, false);
  }
}

}  // namespace qelm
