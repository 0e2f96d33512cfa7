#include "config/directive_support.h"

#include "config/config_loader.h"

namespace qelm {

bool readValueFor(ConfigLoader& loader, const Parameter& parameter, Value& value) {
  ConfigToken& token = loader.token();
  switch (parameter.type()) {
    case ValueType::kInt:
      if (!token.asShort(true)) return false;
      value = Value::ofInt(token.signedShort());
      break;
    case ValueType::kChoice: {
      const ItemList& choices = parameter.choices();
      int position = -1;
      if (token.asShort(true)) {
        position = choices.positionOfValue(token.signedShort());
      } else if (token.asString()) {
        position = choices.positionOfShortName(token.text());
      } else {
        return false;
      }
      if (position < 0) return false;
      value = Value::ofInt(choices.at(position)->value());
      break;
    }
    case ValueType::kFloat:
      if (!token.asFloat()) return false;
      value = Value::ofFloat(token.floatValue());
      break;
    case ValueType::kString:
      if (!token.asString()) return false;
      value = Value::ofText(token.text());
      break;
    case ValueType::kIpAddress:
      if (!token.asIpAddress()) return false;
      value = Value::ofAddress(token.address());
      break;
    default:
      return false;
  }
  loader.advance();
  return true;
}

std::vector<CardAddress> readAddressList(ConfigLoader& loader) {
  ConfigToken& token = loader.token();
  bool secondary = false;
  if (token.isKeyword(Keyword::kSecondaryChannels)) {
    secondary = true;
    loader.advance();
  }
  std::vector<CardAddress> list;
  std::optional<uint32_t> address;
  bool waitingForSlot = false;
  for (;;) {
    if (token.asIpAddress()) {
      // The address before this one is at fault.
      if (waitingForSlot)
        loader.failAtPrevious("IP address must be followed by at least one slot number");
      address = token.address();
      waitingForSlot = true;
    } else if (token.asShort(false)) {
      // 0.0.0.0 names no frame, so it cannot carry cards.
      if (!address || *address == 0) {
        loader.fail("slot number(s) must be preceded by an IP address");
      }
      list.push_back(CardAddress{*address, token.unsignedShort(), secondary});
      waitingForSlot = false;
    } else {
      break;
    }
    loader.advance();
  }
  if (waitingForSlot)
    loader.failAtPrevious("IP address must be followed by at least one slot number");
  return list;
}

PageType readPageType(ConfigLoader& loader) {
  ConfigToken& token = loader.token();
  if (!token.isKeyword(Keyword::kType)) return PageType::k8Up;
  loader.advance();
  PageType type = PageType::k8Up;
  if (token.isKeyword(Keyword::k8Up)) {
    type = PageType::k8Up;
  } else if (token.isKeyword(Keyword::k4Up)) {
    type = PageType::k4Up;
  } else if (token.isKeyword(Keyword::kCc)) {
    type = PageType::kCc;
  } else if (token.isKeyword(Keyword::kLm)) {
    type = PageType::kLm;
  } else {
    loader.fail("unrecognized page type in page type definition");
  }
  loader.advance();
  return type;
}

std::optional<int32_t> currentNumber(ConfigLoader& loader) {
  ConfigToken& token = loader.token();
  if (!token.asShort(false)) return std::nullopt;
  return token.unsignedShort();
}

std::string ParameterReference::text() const {
  return byOid ? oidMessageText(oid, hasElement, element) : name;
}

Parameter* ParameterReference::find(const Model& model) const {
  if (!byOid) return model.findByName(name);
  return hasElement ? model.findByOid(oid, element) : model.findByOid(oid);
}

std::optional<ParameterReference> currentParameterReference(ConfigLoader& loader) {
  ConfigToken& token = loader.token();
  ParameterReference reference;
  if (token.asOid()) {
    reference.byOid = true;
    reference.oid = token.oid();
    reference.hasElement = token.oidHasElement();
    reference.element = token.oidElement();
  } else if (token.asString()) {
    reference.name = token.text();
  } else {
    return std::nullopt;
  }
  return reference;
}

}  // namespace qelm
