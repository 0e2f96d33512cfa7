#pragma once

// Block fonts with predictable text widths, stub targets and page building for the screen tests.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../display/display_test_support.h"
#include "display/font.h"
#include "display/palette.h"
#include "model/device.h"
#include "model/parameter.h"
#include "model/target.h"

namespace qelm::testing {

/// Pixel values of the light palette the tests draw with.
inline constexpr uint32_t kWhite = 0xFFFFFF;
inline constexpr uint32_t kBlack = 0x000000;
inline constexpr uint32_t kRed = 0xFF0000;
inline constexpr uint32_t kBlue = 0x0000FF;

/// A font in which every printable character is a solid block `advance` columns wide and the
/// space is blank, so a text of n characters is n x `advance` pixels wide.
inline std::unique_ptr<TestFont> blockFont(int32_t height, int32_t advance) {
  auto font = std::make_unique<TestFont>(height);
  const std::vector<uint8_t> solid = levelsRow(std::string(static_cast<std::size_t>(advance), 'F'));
  for (int c = 33; c < 127; ++c)
    font->add(static_cast<char>(c), 0, advance, 0,
              std::vector<std::vector<uint8_t>>(static_cast<std::size_t>(height), solid));
  font->add(' ', 0, advance, 0,
            std::vector<std::vector<uint8_t>>(static_cast<std::size_t>(height)));
  return font;
}

/// Block fonts for codes 0..3 (heights 20, 30, 40, 100; advances 8, 12, 16, 40) and the icon
/// font 4 (16 high, 16 wide).
inline void addBlockFonts(FontRegistry& fonts) {
  fonts.add(0, blockFont(20, 8));
  fonts.add(1, blockFont(30, 12));
  fonts.add(2, blockFont(40, 16));
  fonts.add(3, blockFont(100, 40));
  fonts.add(4, blockFont(16, 16));
}

/// A target whose status, text and named flag the test sets.
class StubTarget final : public Target {
 public:
  StubTarget() = default;
  explicit StubTarget(std::string shown, LinkStatus status = LinkStatus::kLive)
      : text(std::move(shown)), status_(status) {}

  std::string describe() const override { return "stub"; }
  std::string valueText() const override { return text; }
  bool hasNamedValue() const override { return named; }
  void setValue(const Value& staged) override { value = staged; }
  void sendValue(const Value& sent) override { value = sent; }
  Value currentValue() const override { return value; }
  LinkStatus status() const override { return status_; }
  void setStatus(LinkStatus status) { status_ = status; }

  std::string text;
  bool named = false;
  Value value;

 private:
  LinkStatus status_ = LinkStatus::kLive;
};

/// Hands out the stub target of a card address's slot.
class StubResolver final : public TargetResolver {
 public:
  Target* cardTarget(const CardAddress& address, Parameter&) override {
    const auto it = bySlot.find(address.slot);
    return it == bySlot.end() ? nullptr : it->second;
  }
  Target* panelTarget(Parameter&) override { return nullptr; }

  std::map<int32_t, Target*> bySlot;
};

/// Parameters, stub targets and a device with pages; item targets are the stubs of the slots
/// the items are given.
class PageBuilder {
 public:
  /// An Int parameter 0..100 with `unit`.
  Parameter& intParameter(const std::string& name, const std::string& unit = {}) {
    auto parameter = Parameter::makeOpenGear(static_cast<uint16_t>(100 + parameters_.size()), name);
    parameter->setIntegerRange(0, 100, 1);
    parameter->setUnit(unit);
    parameters_.push_back(std::move(parameter));
    return *parameters_.back();
  }
  /// A Choice parameter with `entries` entries (one entry: a command).
  Parameter& choiceParameter(const std::string& name, int entries) {
    auto parameter = Parameter::makeOpenGear(static_cast<uint16_t>(100 + parameters_.size()), name);
    for (int n = 1; n <= entries; ++n)
      parameter->addChoice(n, n - 1, "C" + std::to_string(n), "Choice " + std::to_string(n));
    parameters_.push_back(std::move(parameter));
    return *parameters_.back();
  }
  /// The stub target of `slot` (created on first use).
  StubTarget& target(int32_t slot) {
    std::unique_ptr<StubTarget>& owned = targets_[slot];
    if (!owned) owned = std::make_unique<StubTarget>();
    resolver_.bySlot[slot] = owned.get();
    return *owned;
  }
  /// The device, created on first use.
  Device& device(int32_t number = 7, const std::string& name = "Router") {
    if (!device_) device_ = std::make_unique<Device>(number, name);
    return *device_;
  }
  /// Adds a page of `type` to the device.
  Page& page(int32_t number, const std::string& name, PageType type) {
    device().addPage(std::make_unique<Page>(number, name, type));
    return *device().page(number);
  }
  /// Binds every page's items to the stub targets.
  void realize() { device().realize(resolver_); }

 private:
  std::vector<std::unique_ptr<Parameter>> parameters_;
  std::map<int32_t, std::unique_ptr<StubTarget>> targets_;
  StubResolver resolver_;
  std::unique_ptr<Device> device_;
};

/// A card address in slot `slot` of one frame.
inline std::vector<CardAddress> inSlot(int32_t slot) {
  return {CardAddress{0x0A000001, slot, false}};
}

/// Pixel of a raster of kRasterWidth columns.
inline uint32_t pixelAt(const std::vector<uint32_t>& raster, int32_t x, int32_t y) {
  return raster[static_cast<std::size_t>(y) * kRasterWidth + x];
}

}  // namespace qelm::testing
