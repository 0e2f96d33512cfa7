#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/device.h"
#include "model/target.h"
#include "panel/panel_logic.h"
#include "panel/panel_settings.h"
#include "panel/screens.h"

namespace qelm::testing {

// What the fakes did, in order, so that a test can check what happened when.
struct Journal {
  std::vector<std::string> lines;

  void add(std::string line) { lines.push_back(std::move(line)); }
  bool has(std::string_view line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
};

inline std::string valueWord(const Value& value) {
  return value.valid ? std::to_string(value.i) : "none";
}

// A card value: `received` is what the card holds, a staged `setValue` shows as the current
// value until the test says otherwise; sends and sets are journaled as "name.send(i)" and
// "name.set(i)".
class FakeTarget : public Target {
 public:
  FakeTarget(std::string name, Value value, Journal& journal)
      : received(std::move(value)), name_(std::move(name)), journal_(journal) {}

  std::string describe() const override { return name_; }
  void setValue(const Value& value) override {
    staged = value;
    sets.push_back(value);
    journal_.add(name_ + ".set(" + valueWord(value) + ")");
  }
  void sendValue(const Value& value) override {
    sends.push_back(value);
    journal_.add(name_ + ".send(" + valueWord(value) + ")");
  }
  bool isChanged() const override { return changed; }
  void clearChanged() override { changed = false; }
  Value receivedValue() const override { return received; }
  Value currentValue() const override { return staged.valid ? staged : received; }
  void watch(bool on) override { watchers += on ? 1 : -1; }

  Value received;
  Value staged;
  std::vector<Value> sets;
  std::vector<Value> sends;
  bool changed = false;
  int watchers = 0;

 private:
  std::string name_;
  Journal& journal_;
};

// Keeps what the screens would show and journals every call.
class FakeScreens : public PanelScreens {
 public:
  explicit FakeScreens(Journal& journal) : journal_(journal) {}

  void showSelection(std::string_view text, std::string_view deviceHeader, const ItemList&,
                     int32_t position) override {
    prompt = text;
    header = deviceHeader;
    listPosition = position;
    page = nullptr;
    journal_.add("selection(" + std::to_string(position) + ")");
  }
  void showPage(const Device& device, const Page& shown) override {
    page = &shown;
    messages.clear();
    status.clear();
    journal_.add("page(" + std::to_string(device.number()) + "," + std::to_string(shown.number()) +
                 ")");
  }
  void refreshItem(int32_t index) override {
    journal_.add("refresh(" + std::to_string(index) + ")");
  }
  void highlightItem(int32_t index, const ItemList* itemChoices, int32_t position) override {
    highlighted = index;
    choices = itemChoices;
    listPosition = position;
    journal_.add("highlight(" + std::to_string(index) + ")");
  }
  void showEntryText(std::string_view text) override {
    entryText = text;
    error = false;
  }
  void showError() override { error = true; }
  void highlightListPosition(int32_t position) override { listPosition = position; }
  void showMessage(std::string_view text) override { messages.emplace_back(text); }
  void clearMessage() override {
    if (!messages.empty()) messages.pop_back();
  }
  void setStatusText(std::string_view text) override { status = text; }
  void showUtility() override {}
  void setUtilityHeader(std::string_view) override {}
  void clearUtilityReport() override {}
  void appendUtilityReport(std::string_view) override {}
  void drawNow() override { journal_.add("drawNow"); }
  void repaintAll() override {}

  std::string prompt;
  std::string header;
  const ItemList* choices = nullptr;
  int32_t listPosition = -1;
  const Page* page = nullptr;
  int32_t highlighted = -1;
  std::string entryText;
  bool error = false;
  std::vector<std::string> messages;
  std::string status;

 private:
  Journal& journal_;
};

// The panel's own settings: targets by global code and counters for the hooks.
class FakeSettings : public PanelSettings {
 public:
  Target* globalTarget(int32_t code) override {
    const auto it = targets.find(code);
    return it == targets.end() ? nullptr : it->second;
  }
  void commit() override { ++commits; }
  void refreshLocks() override { ++lockRefreshes; }
  void refreshClock() override { ++clockRefreshes; }

  std::map<int32_t, Target*> targets;
  int commits = 0;
  int lockRefreshes = 0;
  int clockRefreshes = 0;
};

// Card targets by slot (one slot per target the test hands out) and panel-side targets by code.
class FakeResolver : public TargetResolver {
 public:
  explicit FakeResolver(FakeSettings& settings) : settings_(settings) {}

  Target* cardTarget(const CardAddress& address, Parameter&) override {
    const auto it = bySlot.find(address.slot);
    return it == bySlot.end() ? nullptr : it->second;
  }
  Target* panelTarget(Parameter& parameter) override {
    return settings_.globalTarget(parameter.globalCode());
  }

  std::map<int32_t, Target*> bySlot;

 private:
  FakeSettings& settings_;
};

// A page that counts how often it was shown and replaced.
class CountingPage : public Page {
 public:
  using Page::Page;
  void activate() override { ++activations; }
  void deactivate() override { ++deactivations; }

  int activations = 0;
  int deactivations = 0;
};

// A loudness monitor side that answers from fields and journals the session actions.
class FakeLoudness : public LoudnessPageControl {
 public:
  explicit FakeLoudness(Journal& journal) : journal_(journal) {}

  bool hasMonitor(const Page&) override { return monitor; }
  std::optional<SessionState> sessionState(const Page&) override {
    if (!monitor) return std::nullopt;
    return state;
  }
  void startSession(const Page&) override { journal_.add("start"); }
  void stopSession(const Page&) override { journal_.add("stop"); }
  void clearSession(const Page&) override { journal_.add("clear"); }
  void pauseSession(const Page&) override { journal_.add("pause"); }
  std::string sessionRequest(const Page&, SessionOperation operation,
                             const std::string& path) override {
    return std::to_string(codeOf(operation)) + ":" + path;
  }
  void refresh(const Page&, uint32_t loopTick) override {
    journal_.add("loudness refresh " + std::to_string(loopTick));
  }
  void activate(const Page& page) override { journal_.add("loudness shown " + page.longName()); }

  bool monitor = true;
  SessionState state = SessionState::kRunning;

 private:
  Journal& journal_;
};

}  // namespace qelm::testing
