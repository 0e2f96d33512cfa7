#include "loudness/report_job.h"

#include <algorithm>

#include "core/log.h"

namespace qelm {

namespace {

constexpr size_t kFixedSteps = 6;

}  // namespace

HtmlReportJob::HtmlReportJob(std::shared_ptr<const std::string> templateText, ReportSession session,
                             std::string outputPath, bool besideSessionFile)
    : template_(std::move(templateText)),
      session_(std::move(session)),
      outputPath_(std::move(outputPath)),
      besideSessionFile_(besideSessionFile) {}

int32_t HtmlReportJob::progress() const {
  const size_t total = session_.rows.size() + kFixedSteps;
  return static_cast<int32_t>(std::min<size_t>(done_, total) * 100 / total);
}

bool HtmlReportJob::fail() {
  file_.discard();
  logMessage(kLogError, "Could not write the loudness report %s\n", outputPath_.c_str());
  stage_ = Stage::kDone;
  return false;
}

bool HtmlReportJob::step() {
  switch (stage_) {
    case Stage::kStart:
      ++done_;
      stage_ = Stage::kSections;
      return true;
    case Stage::kSections: {
      const std::string_view text = template_ && !template_->empty()
                                        ? std::string_view(*template_)
                                        : std::string_view(kMissingReportTemplate);
      header_ = applyChannelRule(templateSection(text, "lmheader"), session_.allChannels);
      footer_ = applyChannelRule(templateSection(text, "lmfooter"), session_.allChannels);
      ++done_;
      stage_ = Stage::kOpen;
      return true;
    }
    case Stage::kOpen:
      if (!file_.open(outputPath_)) return fail();
      ++done_;
      stage_ = Stage::kHeader;
      return true;
    case Stage::kHeader: {
      const Placeholders values =
          reportPlaceholders(session_, besideSessionFile_ ? "" : "../../", TextEscape::kHtml);
      if (!file_.write(substitute(header_, values))) return fail();
      header_.clear();
      ++done_;
      stage_ = Stage::kRows;
      return true;
    }
    case Stage::kRows: {
      const size_t count = session_.rows.size();
      const size_t first = nextRow_;
      const size_t end = std::min(count, first + kRowsPerStep);
      std::string rows;
      for (; nextRow_ < end; ++nextRow_)
        rows += errorRow(session_.rows[nextRow_], nextRow_ + 1, count, session_.allChannels);
      if (!file_.write(rows)) return fail();
      done_ += end - first;
      if (nextRow_ >= count) stage_ = Stage::kFooter;
      return true;
    }
    case Stage::kFooter:
      if (!file_.write(footer_) || !file_.commit()) return fail();
      ++done_;
      succeeded_ = true;
      stage_ = Stage::kDone;
      return false;
    case Stage::kDone:
      return false;
  }
  return false;
}

}  // namespace qelm
