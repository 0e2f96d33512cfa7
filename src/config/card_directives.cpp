// The "simulator", "input" and "card" directives: cards the panel plays itself, automatic
// actions of the input lines, and start-up values of cards' local parameters.
#include <algorithm>
#include <array>
#include <string_view>

#include "automation/auto_action.h"
#include "config/config_catalog.h"
#include "config/config_loader.h"
#include "config/directive_support.h"
#include "config/directives.h"
#include "text/text.h"

namespace qelm {
namespace {

constexpr std::array<std::string_view, 5> kMonitorActions = {"start", "stop", "pause", "clear",
                                                             "toggle"};

// Reads the address and slot every card-level directive starts with.
CardAddress readCardAddress(ConfigLoader& loader, const char* badAddress, const char* badSlot) {
  ConfigToken& token = loader.token();
  if (!token.asIpAddress()) loader.fail(badAddress);
  const uint32_t address = token.address();
  loader.advance();
  const std::optional<int32_t> slot = currentNumber(loader);
  if (!slot) loader.fail(badSlot);
  loader.advance();
  return CardAddress{address, *slot, false};
}

void parseInputSet(ConfigLoader& loader, Model& model, const std::vector<CardAddress>& addresses,
                   InputTrigger trigger) {
  const std::optional<ParameterReference> reference = currentParameterReference(loader);
  if (!reference) loader.fail("Error parsing oid in input from-model set definition");
  Parameter* parameter = reference->find(model);
  if (parameter == nullptr) {
    if (reference->byOid) {
      loader.fail("input from-model set directive uses an oid " + reference->text() +
                  " not defined in the requested model");
    }
    loader.fail("input from-model set directive uses a parameter (\"" + reference->text() +
                "\") not defined in the requested model");
  }
  loader.advance();
  Value value;
  if (!readValueFor(loader, *parameter, value)) {
    loader.fail(
        "input from-model set definition must include a value compatible with the associated "
        "parameter");
  }
  loader.catalog().inputActions.addAction(
      std::make_unique<AutoSetter>(model, addresses, *parameter, std::move(value)), trigger);
}

void parseInputMonitor(ConfigLoader& loader, Model& model,
                       const std::vector<CardAddress>& addresses, InputTrigger trigger) {
  ConfigToken& token = loader.token();
  if (!token.asString()) loader.fail("bad monitor name in input monitor definition");
  const std::string monitor = token.text();
  if (lowerCaseCopy(monitor) != "lm") {
    loader.fail("unknown monitor name \"" + monitor + "\" in input monitor definition");
  }
  loader.advance();
  if (!token.asString()) loader.fail("bad action code in input monitor definition");
  const std::string action = token.text();
  if (std::find(kMonitorActions.begin(), kMonitorActions.end(), lowerCaseCopy(action)) ==
      kMonitorActions.end()) {
    loader.fail("unknown action code \"" + action + "\" for monitor \"" + monitor +
                "\" in input monitor definition");
  }
  loader.advance();
  loader.catalog().inputActions.addAction(
      std::make_unique<AutoMonitorAction>(model, addresses, monitor, action), trigger);
}

}  // namespace

void parseSimulatorDefinition(ConfigLoader& loader) {
  ConfigToken& token = loader.token();
  loader.advance();
  if (!token.asString()) loader.fail("bad model name in simulator definition");
  const std::string modelName = token.text();
  loader.advance();
  Model* model = loader.findModel(modelName);
  if (model == nullptr) loader.failAtPrevious("unrecognized model name in simulator definition");
  const int64_t addressLine = loader.tokenLine();
  const CardAddress address = readCardAddress(loader, "bad IP address in simulator definition",
                                              "bad slot number in simulator definition");
  if (!loader.catalog().simulators.try_emplace(address, model).second) {
    loader.failAt(addressLine, formattedText("duplicate simulator address (%s slot %d)",
                                             ipv4Text(address.address).c_str(), address.slot));
  }
}

void parseInputDefinition(ConfigLoader& loader) {
  ConfigToken& token = loader.token();
  loader.advance();
  if (!token.isKeyword(Keyword::kLine))
    loader.fail("input directive must be followed by line keyword");
  loader.advance();
  const std::optional<int32_t> line = currentNumber(loader);
  if (!line) loader.fail("line keyword must be followed by an integer line number");
  if (*line < 1 || *line > kInputLineCount) {
    loader.fail(formattedText("line number must be in the range 1..%d", kInputLineCount));
  }
  loader.advance();
  bool high = false;
  if (token.isKeyword(Keyword::kHigh)) {
    high = true;
  } else if (!token.isKeyword(Keyword::kLow)) {
    loader.fail("line number must be followed by high or low keyword");
  }
  loader.advance();
  const InputTrigger trigger = lineTrigger(*line, high);

  while (token.isKeyword(Keyword::kFromModel)) {
    loader.advance();
    if (!token.asString()) loader.fail("bad model name in input from-model directive");
    const std::string modelName = token.text();
    loader.advance();
    Model* model = loader.findModel(modelName);
    if (model == nullptr)
      loader.failAtPrevious("unrecognized model name in input from-model directive");
    const std::vector<CardAddress> addresses = readAddressList(loader);
    if (addresses.empty()) {
      loader.failAtPrevious(
          "input from-model specification must include IP address(es) and slot number(s)");
    }
    for (;;) {
      if (token.isKeyword(Keyword::kSet)) {
        loader.advance();
        parseInputSet(loader, *model, addresses, trigger);
      } else if (token.isKeyword(Keyword::kMonitor)) {
        loader.advance();
        parseInputMonitor(loader, *model, addresses, trigger);
      } else {
        break;
      }
    }
  }
}

void parseCardDefinition(ConfigLoader& loader) {
  ConfigToken& token = loader.token();
  loader.advance();
  const CardAddress card = readCardAddress(loader, "bad IP address in card definition",
                                           "bad slot number in card definition");
  while (token.isKeyword(Keyword::kFromModel)) {
    loader.advance();
    if (!token.asString()) loader.fail("bad model name in card from-model directive");
    const std::string modelName = token.text();
    loader.advance();
    Model* model = loader.findModel(modelName);
    if (model == nullptr)
      loader.failAtPrevious("unrecognized model name in card from-model directive");
    while (token.isKeyword(Keyword::kLocal)) {
      loader.advance();
      if (!token.asString()) loader.fail("missing parameter name in card local directive");
      std::string name = token.text();
      const int64_t nameLine = loader.tokenLine();
      loader.advance();
      Parameter* parameter = model->findByName(name);
      if (parameter == nullptr) {
        loader.failAt(nameLine, "while processing card directive, local parameter \"" + name +
                                    "\" was not found in model \"" + model->name() + "\"");
      }
      LocalCardValue setting{parameter, name, {}};
      // A value that does not read would be stored as "no value" and silently do nothing at
      // start-up.
      if (!readValueFor(loader, *parameter, setting.value)) {
        loader.fail("local parameter \"" + name +
                    "\" in card directive must be followed by a value compatible with it");
      }
      std::vector<LocalCardValue>& values = loader.catalog().localCardValues[card];
      const bool repeated = std::any_of(values.begin(), values.end(), [&](const auto& entry) {
        return entry.parameter == parameter;
      });
      if (repeated) {
        loader.failAt(nameLine, "multiple values for local parameter \"" + name + "\" on card \"" +
                                    card.text() + "\"");
      }
      values.push_back(std::move(setting));
    }
  }
}

}  // namespace qelm
