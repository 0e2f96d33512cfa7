#pragma once

#include <string>

namespace qelm {

class ConfigLoader;

// The top-level directive parsers. Each starts with the directive's keyword as the loader's
// current token, reads as far as its definition goes, and leaves the first token it does not
// understand as the current token. Every error goes through `ConfigLoader::fail`.

/// "model": defines a model in the catalog; returns its name (the export writes it to a file of
/// that name).
std::string parseModelDefinition(ConfigLoader& loader);
/// "template": defines a template in the catalog; returns its name.
std::string parseTemplateDefinition(ConfigLoader& loader);
/// "device": adds a device to the catalog's device list.
void parseDeviceDefinition(ConfigLoader& loader);
/// "simulator": adds a simulated card.
void parseSimulatorDefinition(ConfigLoader& loader);
/// "input": adds automatic actions for an input line and level.
void parseInputDefinition(ConfigLoader& loader);
/// "card": sets local parameter values of a card.
void parseCardDefinition(ConfigLoader& loader);

}  // namespace qelm
