#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qelm {

/// One entry of a choice list; also the base of devices and pages, whose lists are choice lists.
class Item {
 public:
  /// Value of an entry that carries no data value; such entries are not indexed by value.
  static constexpr int32_t kNoValue = -1;

  /// `number`: for choices the 1-based position in definition order (or an explicit number);
  /// `value`: the data value, or `kNoValue`.
  Item(int32_t number, int32_t value, std::string shortName, std::string longName);
  virtual ~Item();

  Item(const Item&) = delete;
  Item& operator=(const Item&) = delete;

  /// Entry number as typed to select the entry.
  int32_t number() const { return number_; }
  /// Data value, or `kNoValue`.
  int32_t value() const { return value_; }
  /// Text shown as the value (choices) or in lists.
  const std::string& shortName() const { return shortName_; }
  /// Longer text shown in selection lists.
  const std::string& longName() const { return longName_; }
  /// Replaces the long name (a device or page may be renamed after creation).
  void setLongName(std::string name) { longName_ = std::move(name); }
  /// Starts true.
  bool enabled() const { return enabled_; }
  /// Marks the entry usable or not.
  void setEnabled(bool on) { enabled_ = on; }

 private:
  int32_t number_;
  int32_t value_;
  std::string shortName_;
  std::string longName_;
  bool enabled_ = true;
};

/// An ordered list of entries that it does not own, indexed by number and by data value.
/// Positions are 0-based indexes into definition order; -1 means "absent".
class ItemList {
 public:
  /// Appends a non-owned entry (must outlive the list). The first entry with a given number or
  /// data value keeps the index; a `kNoValue` entry is not indexed by value.
  void append(Item* item);
  /// Appends a non-owned entry and indexes its data value even when that is `kNoValue`: for a
  /// card's choice, -1 is a real data value.
  void appendWithValue(Item* item);
  /// Entry at `position`, or null when out of range.
  Item* at(int position) const;
  /// Entry with this number, or null.
  Item* byNumber(int32_t number) const;
  /// Position of the entry with this number, or -1.
  int positionOfNumber(int32_t number) const;
  /// Position of the entry with this data value, or -1 (always -1 for `kNoValue`).
  int positionOfValue(int32_t value) const;
  /// Position of the first entry whose short name equals `name` exactly, or -1.
  int positionOfShortName(std::string_view name) const;
  /// Number of entries.
  int count() const { return static_cast<int>(items_.size()); }
  /// Entries in order, for iteration.
  const std::vector<Item*>& items() const { return items_; }

 private:
  std::vector<Item*> items_;
  std::unordered_map<int32_t, int> byNumber_;
  std::unordered_map<int32_t, int> byValue_;
};

/// Names for particular numeric values, in ascending key order; keys are unique.
class NamedValues {
 public:
  /// Adds a name; false when the key exists or is NaN (NaN has no place in an ordered map).
  bool add(float key, std::string name);
  /// Name of exactly this key, or null.
  const std::string* find(float key) const;
  /// Number of names.
  std::size_t size() const { return names_.size(); }
  /// True when there are no names.
  bool empty() const { return names_.empty(); }
  /// Key-name pairs in ascending key order.
  const std::map<float, std::string>& entries() const { return names_; }

 private:
  std::map<float, std::string> names_;
};

}  // namespace qelm
