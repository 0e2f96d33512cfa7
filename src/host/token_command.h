#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qelm {

/// Exit codes of `token`.
constexpr int kTokenDone = 0;
constexpr int kTokenFailed = 1;
constexpr int kTokenRefused = 64;  ///< the command line was refused

/// The usage lines of `token`, for the help and a refused command line.
std::string tokenUsage();

/// `token --name NAME [--viewer] | --revoke NAME | --list`, each with `[--data DIR]` (`args`
/// follow the word "token"): makes an API token for the operator (or a viewer) and prints it,
/// the only time it is shown, to `out`; or forgets one; or lists the names and roles. Errors
/// and usage go to `err`. Returns kTokenDone, kTokenFailed or kTokenRefused.
int tokenCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace qelm
