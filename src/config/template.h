#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "model/card_address.h"
#include "model/device.h"
#include "model/model.h"
#include "model/value.h"

namespace qelm {

/// One item of a template page, not yet bound to cards.
struct TemplateItem {
  /// Position on the page: the item number minus one.
  int32_t index = 0;
  /// Parameter of the template's model (not owned).
  Parameter* parameter = nullptr;
  /// Which of a device's addresses the item uses: 0-based positions in the device's list.
  std::vector<int32_t> addressIndexes;
  /// Shown instead of the parameter name when not empty.
  std::string displayName;
  /// Preset value; invalid when the item is not a preset.
  Value setValue;
  /// Preset label; may be empty.
  std::string setText;
};

/// One numbered page of a template.
struct TemplatePage {
  /// Page number, 0..999.
  int32_t number = 0;
  /// Page name.
  std::string name;
  /// Layout.
  PageType type = PageType::k8Up;
  /// Items ascending by index. Indexes beyond the layout's capacity are kept here and left out
  /// when a device's pages are made.
  std::vector<TemplateItem> items;

  /// Puts `item` in index order; false, and nothing changed, when its index is taken.
  bool addItem(TemplateItem item);
  /// Item at `index`, or null.
  const TemplateItem* item(int32_t index) const;
};

/// A model's parameters laid out on numbered pages of numbered items, independently of any
/// card; devices made "from-template" get copies bound to their addresses.
class Template {
 public:
  /// `model` must outlive the template (the catalog keeps models longer).
  Template(std::string name, Model& model);
  virtual ~Template();
  Template(const Template&) = delete;
  Template& operator=(const Template&) = delete;

  /// Exact template name.
  const std::string& name() const { return name_; }
  /// The model whose parameters the items show.
  Model& model() const { return *model_; }

  /// Adds an empty page; null when a page of that number exists.
  TemplatePage* addPage(int32_t number, std::string name, PageType type);
  /// Pages by number, ascending.
  const std::map<int32_t, TemplatePage>& pages() const { return pages_; }

  /// A device's pages, ascending by number, with every item bound to the device's
  /// `addresses`: address index i takes `addresses[i]` when there is one and is skipped
  /// otherwise. Items beyond their layout's capacity are left out. An item may end up with no
  /// address; the caller decides what that means.
  std::vector<std::unique_ptr<Page>> makePages(const std::vector<CardAddress>& addresses) const;

 private:
  std::string name_;
  Model* model_;
  std::map<int32_t, TemplatePage> pages_;
};

}  // namespace qelm
