#include "model/link_status.h"

namespace qelm {

std::string linkStatusName(LinkStatus status) {
  switch (status) {
    case LinkStatus::kUnused:
    case LinkStatus::kLive:
    case LinkStatus::kConnecting:
      return "";
    case LinkStatus::kNoData:
      return "No Data";
    case LinkStatus::kOldLmFormat:
      return "Old LM Format";
    case LinkStatus::kBadLoudnessMessage:
      return "Bad Loudness Message";
    case LinkStatus::kMissingFeature:
      return "Missing Feature";
    case LinkStatus::kNoCardInSlot:
      return "No Card in Slot";
    case LinkStatus::kNoConnection1:
      return "No Conn (1)";
    case LinkStatus::kNoConnection2:
      return "No Conn (2)";
    case LinkStatus::kNoConnection3:
      return "No Conn (3)";
    case LinkStatus::kNoConnection4:
      return "No Conn (4)";
    case LinkStatus::kInactive:
      return "Inactive";
  }
  return "Unknown";
}

}  // namespace qelm
