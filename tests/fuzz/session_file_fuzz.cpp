// Loads arbitrary bytes as a session file into a stopped loudness context and, when the file was
// taken, checks that the loaded session is consistent and can be computed, shown and continued.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "loudness/loudness_context.h"
#include "loudness/session_file.h"
#include "scratch_file.h"

namespace {

using namespace qelm;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ScratchFile file(data, size, "session-file-fuzz");
  if (file.path().empty()) return 0;
  FixedWallClock wall(1709636390);
  LoudnessContext context("Card [1]", wall);
  context.setStatus(LinkStatus::kLive);
  const std::string reply = loadSessionFile(context, file.path());
  if (reply != "OK") {
    // A refused file changes nothing.
    check(context.record().errors.empty() && context.history().totalCount() == 0);
    return 0;
  }
  const SessionRecord& record = context.record();
  for (int i = 0; i < kErrorCategories; ++i) {
    check(record.openError[static_cast<size_t>(i)] < static_cast<int32_t>(record.errors.size()));
    check(record.worstError[static_cast<size_t>(i)] < static_cast<int32_t>(record.errors.size()));
  }
  for (const int32_t at : record.summaryError)
    check(at < static_cast<int32_t>(record.errors.size()));
  const int16_t integrated = context.integratedTenths();
  check(integrated == kTenthsNoData || integrated == kTenthsSilence ||
        (integrated >= kTenthsMinimum && integrated <= kTenthsMaximum));
  (void)context.loudnessText(integrated);
  (void)context.loudnessText(context.rangeTenths());

  // Continue the loaded session for a few payloads, then end it.
  DecodedPayload payload;
  payload.truePeakDb.fill(-0.5f);
  payload.meterDb.fill(-20.0f);
  payload.powers = {0.01, 0.01, 0.0, 0.0, 0.0, 0.0};
  payload.timecode = "10:00:00:00";
  context.start();
  for (uint32_t tick = 1; tick <= 8; ++tick) {
    payload.sequence = tick;
    context.processPayload(payload, tick, tick * 100);
    context.poll(tick, tick * 100);
  }
  context.stop(false);
  context.finishPendingReport();
  return 0;
}
