// The "model" directive: a model's parameters and monitor modules.
#include <array>

#include "config/config_catalog.h"
#include "config/config_loader.h"
#include "config/directive_support.h"
#include "config/directives.h"
#include "model/model.h"
#include "text/text.h"

namespace qelm {
namespace {

void parseMonitor(ConfigLoader& loader, Model& model) {
  ConfigToken& token = loader.token();
  if (!token.asString()) loader.fail("bad monitor name in module definition");
  const std::string name = token.text();
  loader.advance();
  if (lowerCaseCopy(name) != "lm") {
    loader.failAtPrevious("unknown monitor name \"" + name + "\" in module definition");
  }
  model.addMonitorModule(name);
}

// Makes the parameter the definition names and adds it to the model; fails on a duplicate.
Parameter& addNewParameter(ConfigLoader& loader, Model& model) {
  ConfigToken& token = loader.token();
  bool local = false;
  bool hasElement = false;
  uint16_t oid = 0;
  uint16_t element = 0;
  if (token.isKeyword(Keyword::kLocal)) {
    local = true;
  } else if (token.asOid()) {
    oid = token.oid();
    hasElement = token.oidHasElement();
    element = token.oidElement();
  } else {
    loader.fail("bad oid specification in parameter definition");
  }
  loader.advance();

  if (!token.asString()) loader.fail("bad name in parameter definition");
  std::string name = token.text();
  loader.advance();

  std::unique_ptr<Parameter> made;
  if (local) {
    made = Parameter::makeLocal(name);
  } else if (hasElement) {
    made = Parameter::makeArrayElement(oid, element, name);
  } else {
    made = Parameter::makeOpenGear(oid, name);
  }
  Parameter* added = model.add(std::move(made));
  if (added == nullptr) {
    if (local) loader.failAtPrevious("duplicate name \"" + name + "\" in parameter definition");
    loader.failAtPrevious("duplicate name \"" + name + "\" or oid " +
                          oidMessageText(oid, hasElement, element) + " in parameter definition");
  }
  return *added;
}

void parseLike(ConfigLoader& loader, Model& model, Parameter& parameter) {
  ConfigToken& token = loader.token();
  Parameter* found = nullptr;
  if (token.asOid()) {
    const std::optional<ParameterReference> reference = currentParameterReference(loader);
    loader.advance();
    found = reference->find(model);
    if (found == nullptr) {
      loader.failAtPrevious("oid number " + reference->text() +
                            " in \"like\" directive does not exist in model");
    }
  } else {
    if (!token.asString()) loader.fail("Error parsing \"like\" directive");
    const std::string name = token.text();
    loader.advance();
    found = model.findByName(name);
    if (found == nullptr) {
      loader.failAtPrevious("parameter name \"" + name +
                            "\" in \"like\" directive does not exist in model");
    }
  }
  // The parameter is already in the model, so it can find itself; it has no type to copy and
  // would be left without one.
  if (found == &parameter)
    loader.failAtPrevious("\"like\" directive refers to the parameter being defined");
  parameter.copyTypeFrom(*found);
}

void failUnlessUntyped(ConfigLoader& loader, const Parameter& parameter) {
  if (parameter.type() != ValueType::kNone) {
    loader.failAtPrevious("conflicting types in parameter definition");
  }
}

void parseIntType(ConfigLoader& loader, Parameter& parameter) {
  ConfigToken& token = loader.token();
  failUnlessUntyped(loader, parameter);
  if (!token.asShort(true)) loader.fail("bad minimum value in integer parameter definition");
  const int32_t minimum = token.signedShort();
  loader.advance();
  if (!token.asShort(true)) loader.fail("bad maximum value in integer parameter definition");
  const int32_t maximum = token.signedShort();
  loader.advance();
  int32_t step = 1;
  if (token.asShort(true)) {
    step = token.signedShort();
    loader.advance();
  }
  parameter.setIntegerRange(minimum, maximum, step);
}

void parseFloatType(ConfigLoader& loader, Parameter& parameter) {
  ConfigToken& token = loader.token();
  failUnlessUntyped(loader, parameter);
  if (!token.asFloat()) loader.fail("bad minimum value in float parameter definition");
  const float minimum = token.floatValue();
  loader.advance();
  if (!token.asFloat()) loader.fail("bad maximum value in float parameter definition");
  const float maximum = token.floatValue();
  loader.advance();
  if (!token.asFloat()) loader.fail("bad step size in float parameter definition");
  const float step = token.floatValue();
  loader.advance();
  parameter.setFloatRange(minimum, maximum, step);
}

void parseStringType(ConfigLoader& loader, Parameter& parameter) {
  ConfigToken& token = loader.token();
  failUnlessUntyped(loader, parameter);
  if (!token.asShort(false)) loader.fail("bad length in string parameter definition");
  parameter.setString(token.unsignedShort());
  loader.advance();
}

// One choice more; the first makes the parameter a choice, the later ones add to it.
void parseChoice(ConfigLoader& loader, Parameter& parameter) {
  ConfigToken& token = loader.token();
  if (parameter.type() != ValueType::kNone && parameter.type() != ValueType::kChoice) {
    loader.failAtPrevious("conflicting types in parameter definition");
  }
  if (!token.asShort(true)) loader.fail("bad data value in choice parameter definition");
  const int32_t value = token.signedShort();
  loader.advance();
  if (!token.asString()) loader.fail("bad short name in choice parameter definition");
  std::string shortName = token.text();
  loader.advance();
  if (!token.asString()) loader.fail("bad long name in choice parameter definition");
  std::string longName = token.text();
  loader.advance();
  const int32_t number = parameter.choices().count() + 1;
  if (!parameter.addChoice(number, value, std::move(shortName), std::move(longName))) {
    loader.failAtPrevious(
        formattedText("duplicate data value (%d, 0x%04X) in choice parameter definition", value,
                      static_cast<unsigned>(value)));
  }
}

void parseUnit(ConfigLoader& loader, Parameter& parameter) {
  ConfigToken& token = loader.token();
  if (!token.asString()) loader.fail("bad unit name in parameter definition");
  parameter.setUnit(token.text());
  loader.advance();
}

void parseSlow(ConfigLoader&, Parameter& parameter) {
  parameter.setSlow(true);
}

void parseReadonly(ConfigLoader& loader, Parameter& parameter) {
  if (parameter.needsConfirmation()) {
    loader.failAtPrevious("readonly conflicts with slow in parameter definition");
  }
  parameter.setReadOnly(true);
}

void parsePeriodic(ConfigLoader& loader, Parameter& parameter) {
  ConfigToken& token = loader.token();
  if (!token.asShort(false)) loader.fail("bad periodic interval in parameter definition");
  parameter.setPeriodic(token.unsignedShort());
  loader.advance();
}

void parseDefault(ConfigLoader& loader, Parameter& parameter) {
  Value value;
  if (!readValueFor(loader, parameter, value)) {
    loader.fail("default value is incompatible with parameter");
  }
  parameter.setDefault(std::move(value));
}

void parseDisplayRange(ConfigLoader& loader, Parameter& parameter) {
  if (parameter.type() != ValueType::kInt && parameter.type() != ValueType::kFloat) {
    loader.failAtPrevious("display range allowed only for int or float parameters");
  }
  Value minimum;
  Value maximum;
  if (!readValueFor(loader, parameter, minimum) || !readValueFor(loader, parameter, maximum)) {
    loader.fail("minimum display value is missing or incompatible with parameter");
  }
  parameter.setDisplayRange(std::move(minimum), std::move(maximum));
}

void parseNamedValue(ConfigLoader& loader, Parameter& parameter) {
  ConfigToken& token = loader.token();
  if (!token.asFloat()) loader.fail("named value is incompatible with parameter");
  const float key = token.floatValue();
  loader.advance();
  if (!token.asString()) loader.fail("named value must be followed by name");
  std::string name = token.text();
  loader.advance();
  if (!parameter.addNamedValue(key, std::move(name))) {
    loader.failAtPrevious("named value is duplicated or illegal for this parameter");
  }
}

// An attribute keyword and the reader of what follows it.
struct Attribute {
  Keyword keyword;
  void (*parse)(ConfigLoader& loader, Parameter& parameter);
};

// The attribute keywords of a parameter definition, each with its reader.
constexpr std::array<Attribute, 11> kAttributes = {{
    {Keyword::kInt, parseIntType},
    {Keyword::kFloat, parseFloatType},
    {Keyword::kString, parseStringType},
    {Keyword::kChoice, parseChoice},
    {Keyword::kUnit, parseUnit},
    {Keyword::kSlow, parseSlow},
    {Keyword::kReadonly, parseReadonly},
    {Keyword::kPeriodic, parsePeriodic},
    {Keyword::kDefault, parseDefault},
    {Keyword::kDisplay, parseDisplayRange},
    {Keyword::kName, parseNamedValue},
}};

// Reads one attribute; false when the current token is not an attribute keyword.
bool parseAttribute(ConfigLoader& loader, Parameter& parameter) {
  ConfigToken& token = loader.token();
  for (const Attribute& attribute : kAttributes) {
    if (token.isKeyword(attribute.keyword)) {
      loader.advance();
      attribute.parse(loader, parameter);
      return true;
    }
  }
  return false;
}

void parseParameter(ConfigLoader& loader, Model& model) {
  Parameter& parameter = addNewParameter(loader, model);
  if (loader.token().isKeyword(Keyword::kLike)) {
    loader.advance();
    parseLike(loader, model, parameter);
    return;
  }
  while (parseAttribute(loader, parameter)) {
  }
  if (parameter.type() == ValueType::kNone) {
    loader.failAtPrevious("parameter definition does not specify a parameter type");
  }
}

}  // namespace

std::string parseModelDefinition(ConfigLoader& loader) {
  ConfigToken& token = loader.token();
  loader.advance();
  if (!token.asString()) loader.fail("malformed model definition");
  const std::string name = token.text();
  loader.advance();
  const auto [it, inserted] =
      loader.catalog().models.try_emplace(name, std::make_unique<Model>(name));
  if (!inserted) loader.failAtPrevious("duplicate model name \"" + name + "\"");
  Model& model = *it->second;
  for (;;) {
    if (token.isKeyword(Keyword::kParameter)) {
      loader.advance();
      parseParameter(loader, model);
    } else if (token.isKeyword(Keyword::kMonitor)) {
      loader.advance();
      parseMonitor(loader, model);
    } else {
      break;
    }
  }
  return name;
}

}  // namespace qelm
