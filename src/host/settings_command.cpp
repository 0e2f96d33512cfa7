#include "host/settings_command.h"

#include <charconv>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>

#include "core/boot_env.h"
#include "globals/global_settings.h"
#include "globals/globals_model.h"
#include "host/headless_host.h"
#include "model/item.h"
#include "model/model.h"
#include "model/parameter.h"
#include "model/value.h"
#include "text/readers.h"

namespace qelm {

namespace {

struct SettingsOptions {
  std::optional<std::string> dataFolder;
  std::vector<std::string> words;  // NAME [VALUE]
};

std::optional<SettingsOptions> parseSettingsOptions(const std::vector<std::string>& args,
                                                    std::string& error) {
  SettingsOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word.rfind("--data=", 0) == 0) {
      options.dataFolder = word.substr(word.find('=') + 1);
    } else if (word == "--data" || word == "/D" || word == "-D") {
      if (i + 1 >= args.size()) {
        error = "option " + word + " needs a value";
        return std::nullopt;
      }
      options.dataFolder = args[++i];
    } else if (word.size() > 1 && word[0] == '-' && options.words.size() == 1) {
      options.words.push_back(word);  // a negative value
    } else if (!word.empty() && word[0] == '-') {
      error = "unknown option \"" + word + "\"";
      return std::nullopt;
    } else {
      options.words.push_back(word);
    }
    if (options.dataFolder && options.dataFolder->empty()) {
      error = "option --data needs a folder";
      return std::nullopt;
    }
  }
  if (options.words.size() > 2) {
    error = "unexpected argument \"" + options.words[2] + "\"";
    return std::nullopt;
  }
  return options;
}

// Settings the boot environment keeps: those with a key that hold a value (not the actions).
bool isStored(const Parameter& parameter) {
  return !parameter.key().empty() && !parameter.isCommand() && !parameter.readOnly();
}

std::string shown(const Parameter& parameter, const Value& value) {
  if (parameter.type() == ValueType::kChoice) {
    if (const Item* choice = parameter.choices().at(parameter.choices().positionOfValue(value.i)))
      return choice->longName();
  }
  return parameter.formatValue(value);
}

// What `parameter` takes, for the operator who gave a value it refused.
std::string takes(const Parameter& parameter) {
  if (parameter.type() != ValueType::kChoice)
    return parameter.formatValue(parameter.defaultValue());
  std::string names;
  for (const Item* choice : parameter.choices().items())
    names += (names.empty() ? "\"" : ", \"") + choice->longName() + "\"";
  return names;
}

// The value the operator wrote: a choice by its name (ignoring case) or number, else the text as
// the panel's entry reads it.
std::optional<Value> readValue(const Parameter& parameter, const std::string& text) {
  if (parameter.type() == ValueType::kChoice) {
    for (const Item* choice : parameter.choices().items())
      if (equalsIgnoringCase(choice->longName(), text)) return Value::ofInt(choice->value());
    int32_t number = 0;
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, number);
    if (failure == std::errc() && stop == end && parameter.choices().positionOfValue(number) >= 0)
      return Value::ofInt(number);
    return std::nullopt;
  }
  std::optional<Value> value = parameter.parseValue(text);
  if (value) *value = parameter.limitText(*value);
  return value;
}

}  // namespace

std::string settingsUsage() {
  return "usage: qelm-engine settings [--data DIR] [NAME [VALUE]]\n"
         "  settings   list the panel's own settings kept in the data folder; with NAME show one,\n"
         "             with VALUE (a choice's name or a number) store it for the next start\n";
}

int settingsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string error;
  const std::optional<SettingsOptions> options = parseSettingsOptions(args, error);
  if (!options) {
    err << "qelm-engine settings: " << error << "\n" << settingsUsage();
    return kSettingsRefused;
  }
  HostOptions folders;
  folders.dataFolder = options->dataFolder;
  const std::string dataFolder = resolveFolders(folders).data;
  StandardFileBootEnv bootEnv(dataFolder + "bootenv");
  bootEnv.load();  // absent: every setting at its default
  const std::unique_ptr<Model> model = buildGlobalsModel();

  if (options->words.empty()) {
    for (const Parameter* parameter : model->parameters())
      if (isStored(*parameter))
        out << parameter->name() << " = "
            << shown(*parameter, storedSettingValue(*parameter, bootEnv)) << "\n";
    return kSettingsDone;
  }
  const Parameter* parameter = model->findByName(options->words[0]);
  if (parameter == nullptr || !isStored(*parameter)) {
    err << "qelm-engine settings: the panel has no setting \"" << options->words[0]
        << "\"; \"qelm-engine settings\" lists them\n";
    return kSettingsFailed;
  }
  if (options->words.size() == 1) {
    out << parameter->name() << " = " << shown(*parameter, storedSettingValue(*parameter, bootEnv))
        << "\n";
    if (parameter->type() == ValueType::kChoice) out << "takes " << takes(*parameter) << "\n";
    return kSettingsDone;
  }
  const std::optional<Value> value = readValue(*parameter, options->words[1]);
  if (!value) {
    err << "qelm-engine settings: \"" << parameter->name() << "\" does not take \""
        << options->words[1] << "\"";
    if (parameter->type() == ValueType::kChoice) err << "; it takes " << takes(*parameter);
    err << "\n";
    return kSettingsFailed;
  }
  bootEnv.set(parameter->key(), storedSettingText(*parameter, *value));
  std::error_code made;
  std::filesystem::create_directories(dataFolder, made);
  if (made || !bootEnv.save()) {
    err << "qelm-engine settings: could not write \"" << bootEnv.path() << "\"\n";
    return kSettingsFailed;
  }
  out << parameter->name() << " = " << shown(*parameter, *value) << " (stored in " << bootEnv.path()
      << "; an engine running on this folder reads it at its next start)\n";
  return kSettingsDone;
}

}  // namespace qelm
