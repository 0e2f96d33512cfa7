#pragma once

#include <cstdint>
#include <string>

namespace qelm {

/// Levels: a message is kept only when bit 0 (kLogInfo = 1) or bit 15 (kLogLoudness = 32768) is
/// set.
inline constexpr int kLogInfo = 1;
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

/// Number of the next message (count of messages ever appended).
int32_t messageCount();

/// Text of message `number`, or empty when not (or no longer) in the log.
std::string messageText(int32_t number);

}  // namespace qelm
