#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "display/drawable.h"

namespace qelm {

/// Icon character of a read-only parameter (icon font code 4).
inline constexpr int32_t kReadOnlyIcon = 66;  // "B"
/// Icon character of a command, a preset or a slow parameter.
inline constexpr int32_t kConfirmIcon = 65;  // "A"

/// One item's place on a screen: name, icon, value line, highlight and status mark. Each setter
/// compares with what is stored and queues a paint of the affected part only when it changed.
class ParameterArea : public Drawable {
 public:
  /// Parts of an area that paint separately (bit mask).
  enum Part : uint8_t {
    kIconPart = 1,
    kNamePart = 2,
    kValuePart = 4,
    kAllParts = 7,
  };

  /// The item's name; empty for none.
  void setName(std::string_view name);
  /// Character code of the icon font; 0 for no icon.
  void setIcon(int32_t code);
  /// Value text (tags are removed when drawn); `noUnit` leaves the unit out.
  void setValueText(std::string_view text, bool noUnit);
  /// Unit shown after the value; empty for none.
  void setUnit(std::string_view unit);
  /// Entry highlight: inverted colours.
  void setHighlight(bool on);
  /// Draws the value in the error colour (a link problem or a refused entry).
  void setStatusMark(bool on);
  /// Empties every part (a slot without item) and removes highlight and status mark.
  void clearItem();

  /// The item's name as set (not the drawable's name).
  const std::string& itemName() const { return itemName_; }
  int32_t icon() const { return icon_; }
  const std::string& valueText() const { return valueText_; }
  bool noUnit() const { return noUnit_; }
  const std::string& unit() const { return unit_; }
  bool highlighted() const { return highlight_; }
  bool statusMarked() const { return statusMark_; }
  /// Parts waiting to be painted.
  uint8_t dirtyParts() const { return dirty_; }

  /// Marks every part for painting.
  void onShow() override { markDirty(kAllParts); }

 protected:
  /// Parts this kind of area draws; changes to other parts are ignored.
  virtual uint8_t drawnParts() const { return kAllParts; }
  void markDirty(uint8_t parts);

  std::string itemName_;
  std::string valueText_;
  std::string unit_;
  int32_t icon_ = 0;
  bool noUnit_ = false;
  bool highlight_ = false;
  bool statusMark_ = false;
  uint8_t dirty_ = 0;
};

/// An area with icon and name in its top half and the value line in its bottom half.
class FullParameterArea final : public ParameterArea {
 public:
  /// Draws the parts that changed; clears the whole area first when all did.
  void paint() override;

  /// The value line as drawn: stripped value text, then a space and the unit unless the
  /// no-unit flag is set or the unit is empty.
  std::string valueLine() const;
  /// Font the value line was last drawn in: 2 or 1 when it fitted, 0 for two-line text, -1
  /// before the first paint.
  int32_t valueFont() const { return valueFont_; }

 private:
  int32_t valueFont_ = -1;
};

/// An area that shows only its value text, centred, in the font and colours its bar gives it
/// (font 0 when the text is wider than the area in that font).
class SimpleParameterArea final : public ParameterArea {
 public:
  SimpleParameterArea(int32_t fontCode, ColorIndex foreground, ColorIndex background)
      : fontCode_(fontCode), foreground_(foreground), background_(background) {}

  /// Draws the value text (or clears to the background when it is empty).
  void paint() override;

 protected:
  uint8_t drawnParts() const override { return kValuePart; }

 private:
  int32_t fontCode_;
  ColorIndex foreground_;
  ColorIndex background_;
};

/// Which bar fills a half of the parameter view.
enum class BarKind : int32_t {
  kNone = 0,
  kDual = 1,            ///< two full areas side by side ("8-up", "4-up")
  kQuad = 2,            ///< four full areas ("cc", top half)
  kColorCorrector = 3,  ///< the 4 x 3 corrector grid ("cc", bottom half)
};

/// Half a screen of parameter areas, with the bands between them in colour 5.
class ParameterBar : public Drawable {
 public:
  /// Kind of bar; what `makeParameterBar` was asked for.
  virtual BarKind kind() const = 0;
  /// The area of item slot `slot`, or null outside 0..areaCount()-1.
  virtual ParameterArea* area(int32_t slot) = 0;
  /// Number of item slots.
  virtual int32_t areaCount() const = 0;
  /// Creates the areas; called once after the bar is placed under its parent.
  virtual void layout() = 0;

  /// Queues the bands for painting.
  void onShow() override;
  /// Paints the bands when queued by onShow.
  void paint() override;

 protected:
  /// Fills the bands between the areas.
  virtual void paintBands() {}

 private:
  bool dirty_ = false;
};

/// Two full areas, "left" and "right", with a band of colour 5 between them.
class DualParameterBar final : public ParameterBar {
 public:
  BarKind kind() const override { return BarKind::kDual; }
  ParameterArea* area(int32_t slot) override;
  int32_t areaCount() const override { return 2; }
  void layout() override;

 protected:
  void paintBands() override;

 private:
  std::vector<FullParameterArea*> areas_;
};

/// Four full areas in a two-by-two grid with bands of colour 5 between them.
class QuadParameterBar final : public ParameterBar {
 public:
  BarKind kind() const override { return BarKind::kQuad; }
  ParameterArea* area(int32_t slot) override;
  int32_t areaCount() const override { return 4; }
  void layout() override;

 protected:
  void paintBands() override;

 private:
  std::vector<FullParameterArea*> areas_;
};

/// The colour corrector grid: row labels "Gain", "Gamma", "Black" in column 0 and the red,
/// green and blue values in columns 1..3. Slots 0..8 run along the rows.
class ColorCorrectorBar final : public ParameterBar {
 public:
  BarKind kind() const override { return BarKind::kColorCorrector; }
  ParameterArea* area(int32_t slot) override;
  int32_t areaCount() const override { return 9; }
  void layout() override;
  /// Grid cell `column` + 4 x `row` (labels included), or null.
  SimpleParameterArea* cell(int32_t index);

 private:
  std::vector<SimpleParameterArea*> cells_;
};

/// A new, unplaced bar of `kind`; null for kNone.
std::unique_ptr<ParameterBar> makeParameterBar(BarKind kind);

}  // namespace qelm
