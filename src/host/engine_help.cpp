#include "host/engine_help.h"

#include "host/headless_host.h"
#include "host/passwd_command.h"
#include "host/settings_command.h"
#include "host/token_command.h"
#include "lmcard/lm_card.h"

namespace qelm {

std::string engineHelp() {
  return "qelm-engine - the QELM-9000 panel engine without a window, and a loudness card\n"
         "\n"
         "Usage:\n" +
         hostUsage() + lmCardUsage() + passwdUsage() + settingsUsage() + tokenUsage() +
         "usage: qelm-engine --help\n"
         "usage: qelm-engine --version\n"
         "\n"
         "Description:\n"
         "  The engine of the desktop panel qelm, run without a window: for servers that only\n"
         "  simulate frames, for scripts and for tests. It reads the same configuration and\n"
         "  folders as qelm and prints the log as the console shows it. \"lmcard\" plays a\n"
         "  loudness card on a simulated frame: it listens on port 5253 of its address and\n"
         "  meters a sound file or PCM on standard input, paced by the wall clock.\n"
         "  With --http, \"run\" also serves the panel to web browsers: operators see and work\n"
         "  it, viewers only see it; with a password set (qelm-engine passwd) browsers log in.\n"
         "  The same server answers the plant's JSON API under /api/ (described at\n"
         "  /api/openapi.json) and its metrics at /metrics; scripts use bearer tokens made with\n"
         "  \"qelm-engine token\".\n"
         "\n"
         "Files:\n"
         "  DATA/configuration/startup.txt  the configuration; copied from the program\n"
         "             folder's configuration/startup.bak when absent\n"
         "  REPORT/reports/  loudness session reports (html/) and data files (csv/)\n"
         "  DATA/bootenv  the panel's own settings (qelm-engine settings lists and sets them)\n"
         "  DATA/remote-passwords  the browsers' passwords, hashed; none: loopback only\n"
         "  DATA/remote-tokens  the API's tokens, hashed; read again within a second of a change\n"
         "  PROGRAM/resources/remote/  the page --http serves\n"
         "  The program folder (fonts, images, resources, the default configuration) is the\n"
         "  executable's own folder unless --program names another; nothing is written there.\n"
         "\n"
         "Exit status:\n"
         "  0    the run ended by a signal, by --seconds or by itself; check or export succeeded\n"
         "  1    passwd could not set the password, token could not make, revoke or list\n"
         "       tokens, or settings could not store a setting (it says why)\n"
         "  2    the configuration could not be processed, a screenshot could not be written,\n"
         "       or the loudness card's source could not be read\n"
         "  64   the command line was refused (the usage is printed on standard error), or\n"
         "       --http could not serve (its address, port, certificate or passwords)\n"
         "\n"
         "Environment:\n"
         "  QELM_DEBUG_OUTPUT=1  copy every log message, with the milliseconds since the\n"
         "             first one, to standard error\n";
}

}  // namespace qelm
