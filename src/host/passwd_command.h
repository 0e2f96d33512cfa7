#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qelm {

/// Exit codes of `passwd`.
constexpr int kPasswdDone = 0;
constexpr int kPasswdFailed = 1;
constexpr int kPasswdRefused = 64;  ///< the command line was refused

/// The usage line of `passwd`, for the help and a refused command line.
std::string passwdUsage();

/// `passwd [--viewer] [--data DIR | /D DIR | -D DIR]` (`args` follow the word "passwd"): sets
/// the operator's password, or the viewer's, in the data folder's remote panel password file.
/// When `terminal` is a terminal's descriptor (the program passes standard input when it is
/// one) the password is asked twice there with echo off, the prompts going to `err`; otherwise
/// it is the first line of `in`. Prints "Password set for ROLE in PATH" to `out`; errors and
/// usage go to `err`. Returns kPasswdDone, kPasswdFailed or kPasswdRefused.
int passwdCommand(const std::vector<std::string>& args, std::istream& in, int terminal,
                  std::ostream& out, std::ostream& err);

}  // namespace qelm
