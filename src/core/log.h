#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qelm {

/// Levels: a message is kept only when bit 0 (kLogInfo = 1) or bit 15 (kLogLoudness = 32768) is
/// set. Bits 1 and 2 say how bad it is, for the journal's priorities.
inline constexpr int kLogInfo = 1;
/// Something is wrong and the work goes on without it (bit 1): a warning in the journal.
inline constexpr int kLogWarning = kLogInfo | 2;
/// A failure that stops work: the configuration not loaded, a port not opened, a file not
/// written (bit 2). An error in the journal.
inline constexpr int kLogError = kLogInfo | 4;
/// Level of loudness-monitoring warnings and errors (bit 15).
inline constexpr int kLogLoudness = 32768;
/// Most messages the log keeps; older ones are dropped from the front.
inline constexpr int32_t kLogCapacity = 10000;

/// Formats like printf and appends the text, trailing CR/LF removed, to the process-wide log;
/// texts that end up empty are dropped without a number. Callable from any thread.
void logMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

/// When standard error is the systemd journal's stream (JOURNAL_STREAM names its device and
/// inode), writes every message kept from now on there as journal lines with their syslog
/// priority ("<6>", "<4>", "<3>"), instead of the QELM_DEBUG_OUTPUT lines. Returns whether it
/// does. Called once at the start of a program that may run as a service.
bool logToJournalIfConnected();

/// `text` as a line for standard error written outside the log (a refused command line): with the
/// journal's error priority in front of each line when `journal` (logToJournalIfConnected's
/// answer), else as it is; ends with LF.
std::string failureLine(bool journal, std::string_view text);

/// Number of the next message (count of messages ever appended).
int32_t messageCount();

/// Text of message `number`, or empty when not (or no longer) in the log.
std::string messageText(int32_t number);

}  // namespace qelm
