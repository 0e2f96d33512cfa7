#include "host/token_command.h"

#include <filesystem>
#include <optional>
#include <ostream>

#include "host/headless_host.h"
#include "remote/api_tokens.h"

namespace qelm {

namespace {

using remote::ApiTokens;
using remote::Role;

enum class TokenAction : uint8_t { kMake = 0, kRevoke = 1, kList = 2 };

struct TokenOptions {
  TokenAction action = TokenAction::kMake;
  std::string name;
  Role role = Role::kOperator;
  std::optional<std::string> dataFolder;
};

// The options, or why the command line is refused (in `error`).
std::optional<TokenOptions> parseTokenOptions(const std::vector<std::string>& args,
                                              std::string& error) {
  TokenOptions options;
  bool named = false;
  bool revoke = false;
  bool list = false;
  bool viewer = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word == "--viewer") {
      viewer = true;
      continue;
    }
    if (word == "--list") {
      list = true;
      continue;
    }
    const bool takesValue =
        word == "--name" || word == "--revoke" || word == "--data" || word == "/D" || word == "-D";
    if (!takesValue) {
      error = (!word.empty() && (word[0] == '-' || word[0] == '/') ? "unknown option \""
                                                                   : "unexpected argument \"") +
              word + "\"";
      return std::nullopt;
    }
    if (i + 1 >= args.size() || args[i + 1].empty()) {
      error = "option " + word + " needs a value";
      return std::nullopt;
    }
    const std::string& value = args[++i];
    if (word == "--name" || word == "--revoke") {
      if (named || revoke) {
        error = "one token at a time";
        return std::nullopt;
      }
      (word == "--name" ? named : revoke) = true;
      options.name = value;
    } else {
      options.dataFolder = value;
    }
  }
  if (int(named) + int(revoke) + int(list) != 1) {
    error = "give one of --name, --revoke or --list";
    return std::nullopt;
  }
  if (viewer && !named) {
    error = "--viewer goes with --name";
    return std::nullopt;
  }
  options.action = named ? TokenAction::kMake : revoke ? TokenAction::kRevoke : TokenAction::kList;
  if (viewer) options.role = Role::kViewer;
  if (options.action != TokenAction::kList && !ApiTokens::validName(options.name)) {
    error = "a token's name is 1 to " + std::to_string(ApiTokens::kMostNameBytes) +
            " letters, digits, '.', '_' or '-'";
    return std::nullopt;
  }
  return options;
}

}  // namespace

std::string tokenUsage() {
  return "usage: qelm-engine token --name NAME [--viewer] [--data DIR]\n"
         "usage: qelm-engine token --revoke NAME | --list [--data DIR]\n"
         "  token      make a bearer token for the API (an operator's, or with --viewer a\n"
         "             viewer's) and print it once; only its hash is kept, in the data folder's\n"
         "             remote-tokens. --revoke forgets one, --list shows the names and roles\n";
}

int tokenCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string error;
  const std::optional<TokenOptions> options = parseTokenOptions(args, error);
  if (!options) {
    err << "qelm-engine token: " << error << "\n" << tokenUsage();
    return kTokenRefused;
  }
  HostOptions folders;
  folders.dataFolder = options->dataFolder;
  const std::string dataFolder = resolveFolders(folders).data;
  const std::string path = dataFolder + ApiTokens::kFileName;
  std::optional<ApiTokens> tokens = ApiTokens::load(path, error);
  if (!tokens) {
    err << error << "\n";
    return kTokenFailed;
  }
  std::optional<std::string> made;
  switch (options->action) {
    case TokenAction::kList:
      for (const ApiTokens::Entry& entry : tokens->entries())
        out << entry.name << " " << remote::roleName(entry.role) << "\n";
      return kTokenDone;
    case TokenAction::kRevoke:
      if (!tokens->revoke(options->name)) {
        err << "No token named " << options->name << " in " << path << "\n";
        return kTokenFailed;
      }
      break;
    case TokenAction::kMake:
      made = tokens->add(options->name, options->role, error);
      if (!made) {
        err << error << "\n";
        return kTokenFailed;
      }
      break;
  }
  std::error_code failed;
  std::filesystem::create_directories(dataFolder, failed);
  if (failed) {
    err << "Could not create \"" << dataFolder << "\": " << failed.message() << "\n";
    return kTokenFailed;
  }
  error = tokens->save(path);
  if (!error.empty()) {
    err << error << "\n";
    return kTokenFailed;
  }
  if (made)
    out << *made << "\n";
  else
    err << "Token " << options->name << " revoked in " << path << "\n";
  return kTokenDone;
}

}  // namespace qelm
