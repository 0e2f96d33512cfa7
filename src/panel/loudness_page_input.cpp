#include "panel/loudness_page_input.h"

#include "core/global_codes.h"
#include "model/device.h"
#include "model/parameter.h"
#include "model/target.h"
#include "panel/panel_settings.h"
#include "text/text.h"

namespace qelm {
namespace {

// Touch areas of the loudness views, in screen pixels.
constexpr int32_t kSessionButtonsBottom = 137;
constexpr int32_t kStartButtonRight = 86;
constexpr int32_t kStopButtonLeft = 88;
constexpr int32_t kStopButtonRight = 162;
constexpr int32_t kPauseButtonLeft = 164;
constexpr int32_t kPauseButtonRight = 249;
constexpr int32_t kViewToggleLeft = 400;
constexpr int32_t kViewToggleBottom = 100;

// Knobs of an "lm" page, and the view in which the graph knobs work.
constexpr int32_t kGraphModeKnob = 0;
constexpr int32_t kGraphScaleKnob = 1;
constexpr int32_t kViewKnob = 2;
constexpr int32_t kGraphView = 1;

}  // namespace

bool LoudnessPageInput::hasMonitor(const Page& page) const {
  return page.type() == PageType::kLm && control_ != nullptr && control_->hasMonitor(page);
}

Target& LoudnessPageInput::requireGlobalTarget(int32_t code) {
  Target* target = settings_.globalTarget(code);
  if (target == nullptr) throw formattedText("No target for global setting with code %d", code);
  return *target;
}

Parameter* LoudnessPageInput::globalParameter(int32_t code) const {
  const Device* panel = devices_.panelDevice();
  if (panel == nullptr) return nullptr;
  for (const auto& [number, page] : panel->pages()) {
    for (const PageItem& item : page->items()) {
      Parameter* parameter = item.parameter;
      if (parameter != nullptr && parameter->kind() == ParameterKind::kGlobal &&
          parameter->globalCode() == code) {
        return parameter;
      }
    }
  }
  return nullptr;
}

void LoudnessPageInput::stepGlobalChoice(int32_t code, int32_t n) {
  Target& target = requireGlobalTarget(code);
  const Parameter* parameter = globalParameter(code);
  // Without the setting's choice list there is no next entry to step to.
  if (parameter == nullptr) return;
  Value value = target.currentValue();
  if (!value.valid) return;
  if (parameter->stepValue(value, n)) target.setValue(value);
}

void LoudnessPageInput::toggleView() {
  Target& target = requireGlobalTarget(codeOf(GlobalCode::kCurrentLoudnessView));
  const Value value = target.currentValue();
  const Parameter* parameter = globalParameter(codeOf(GlobalCode::kCurrentLoudnessView));
  if (parameter != nullptr && parameter->choices().count() >= 2) {
    const ItemList& choices = parameter->choices();
    const bool atFirst = value.valid && value.i == choices.at(0)->value();
    target.setValue(Value::ofInt(choices.at(atFirst ? 1 : 0)->value()));
  } else {
    target.setValue(Value::ofInt(value.valid && value.i == 0 ? 1 : 0));
  }
}

void LoudnessPageInput::turnKnob(int32_t knob, int32_t n) {
  if (knob == kViewKnob) {
    toggleView();
    return;
  }
  if (knob != kGraphModeKnob && knob != kGraphScaleKnob) return;
  const Value view = requireGlobalTarget(codeOf(GlobalCode::kCurrentLoudnessView)).currentValue();
  if (!view.valid || view.i != kGraphView) return;
  const int32_t step = n < 0 ? -1 : 1;
  if (knob == kGraphScaleKnob) {
    stepGlobalChoice(codeOf(GlobalCode::kCurrentGraphScale), step);
    return;
  }
  const Value active = requireGlobalTarget(codeOf(GlobalCode::kActiveSessions)).currentValue();
  // The graph mode steers a running measurement; it is fixed while any session is active.
  if (active.valid && active.i != 0) return;
  stepGlobalChoice(codeOf(GlobalCode::kCurrentGraphMode), step);
}

void LoudnessPageInput::touch(const Page& page, const InputEvent& event) {
  if (!hasMonitor(page) || event.x < 0 || event.y < 0) return;
  const bool first = event.kind == EventKind::kTouched;
  if (event.screen == codeOf(Screen::kRight) && event.y < kSessionButtonsBottom) {
    if (event.x <= kStartButtonRight) {
      if (first) control_->startSession(page);
    } else if (event.x >= kStopButtonLeft && event.x <= kStopButtonRight) {
      if (first) {
        control_->stopSession(page);
      } else {
        control_->clearSession(page);
      }
    } else if (event.x >= kPauseButtonLeft && event.x <= kPauseButtonRight) {
      if (first) control_->pauseSession(page);
    }
  } else if (event.screen == codeOf(Screen::kLeft) && event.x > kViewToggleLeft &&
             event.y < kViewToggleBottom) {
    toggleView();
  }
}

std::string LoudnessPageInput::sessionRequest(const Page& page, SessionOperation operation,
                                              const std::string& path) {
  if (page.type() != PageType::kLm) return "OK";
  // Without its monitor a loudness page can neither load nor save: the empty reply tells the
  // window the request failed, rather than reporting a save that never happened.
  if (control_ == nullptr) return {};
  return control_->sessionRequest(page, operation, path);
}

std::optional<SessionState> LoudnessPageInput::sessionState(const Page& page) const {
  if (control_ == nullptr) return std::nullopt;
  return control_->sessionState(page);
}

void LoudnessPageInput::refresh(const Page& page, uint32_t loopTick) {
  if (control_ != nullptr) control_->refresh(page, loopTick);
}

void LoudnessPageInput::activate(const Page& page) {
  if (page.type() == PageType::kLm && control_ != nullptr) control_->activate(page);
}

}  // namespace qelm
