// The "template" directive: pages of items laid out for one model.
#include "config/config_catalog.h"
#include "config/config_loader.h"
#include "config/directive_support.h"
#include "config/directives.h"
#include "config/template.h"
#include "text/text.h"

namespace qelm {
namespace {

void parseTemplateItem(ConfigLoader& loader, const Model& model, TemplatePage& page) {
  ConfigToken& token = loader.token();
  const std::optional<int32_t> number = currentNumber(loader);
  if (!number) loader.fail("bad item number in template item definition");
  const int64_t numberLine = loader.tokenLine();
  loader.advance();

  TemplateItem item;
  const std::optional<ParameterReference> reference = currentParameterReference(loader);
  if (!reference) loader.fail("Error parsing item directive");
  loader.advance();
  item.parameter = reference->find(model);
  if (item.parameter == nullptr) {
    if (reference->byOid) {
      loader.failAtPrevious("oid number " + reference->text() +
                            " in template item definition does not exist in associated model");
    }
    loader.failAtPrevious("parameter name \"" + reference->text() +
                          "\" in template item definition does not exist in associated model");
  }

  while (const std::optional<int32_t> index = currentNumber(loader)) {
    // Addresses are numbered from 1; a 0 would point before the first one.
    if (*index == 0) {
      loader.fail(
          "illegal address index (0) in template item definition; addresses are numbered from 1");
    }
    item.addressIndexes.push_back(*index - 1);
    loader.advance();
  }
  if (item.addressIndexes.empty()) item.addressIndexes.push_back(0);

  for (;;) {
    if (token.isKeyword(Keyword::kName)) {
      loader.advance();
      if (!token.asString()) {
        loader.fail("nothing following name keyword in template item definition");
      }
      item.displayName = token.text();
      loader.advance();
    } else if (token.isKeyword(Keyword::kSet)) {
      loader.advance();
      if (!readValueFor(loader, *item.parameter, item.setValue)) {
        loader.fail(
            "set directive in template item definition must be followed by a value compatible "
            "with the associated parameter");
      }
      if (token.isKeyword(Keyword::kText)) {
        loader.advance();
        if (!token.asString()) {
          loader.fail("nothing following text keyword in template item set definition");
        }
        item.setText = token.text();
        loader.advance();
      }
    } else {
      break;
    }
  }

  item.index = *number - 1;
  if (*number == 0 || !page.addItem(std::move(item))) {
    loader.failAt(numberLine,
                  formattedText("illegal or duplicate item number (%d) in template item definition",
                                *number));
  }
}

void parseTemplatePage(ConfigLoader& loader, Template& definition) {
  ConfigToken& token = loader.token();
  const std::optional<int32_t> number = currentNumber(loader);
  if (!number || *number > 999) loader.fail("bad page number in template page definition");
  const int64_t numberLine = loader.tokenLine();
  loader.advance();
  if (!token.asString()) loader.fail("bad page name in template page definition");
  std::string name = token.text();
  loader.advance();
  const PageType type = readPageType(loader);
  TemplatePage* page = definition.addPage(*number, std::move(name), type);
  if (page == nullptr) {
    loader.failAt(numberLine,
                  formattedText("duplicate page number (%d) in template page definition", *number));
  }
  while (token.isKeyword(Keyword::kItem)) {
    loader.advance();
    parseTemplateItem(loader, definition.model(), *page);
  }
}

}  // namespace

std::string parseTemplateDefinition(ConfigLoader& loader) {
  ConfigToken& token = loader.token();
  loader.advance();
  if (!token.asString()) loader.fail("bad name in template definition");
  const std::string name = token.text();
  const int64_t nameLine = loader.tokenLine();
  loader.advance();
  if (!token.asString()) loader.fail("bad model name in template definition");
  const std::string modelName = token.text();
  loader.advance();
  Model* model = loader.findModel(modelName);
  if (model == nullptr) {
    loader.failAtPrevious("unrecognized model name \"" + modelName + "\" in template definition");
  }

  auto& templates = loader.catalog().templates;
  if (templates.contains(name)) {
    loader.failAt(nameLine, "duplicate template name \"" + name + "\" in template definition");
  }
  Template& definition =
      *templates.emplace(name, std::make_unique<Template>(name, *model)).first->second;
  while (token.isKeyword(Keyword::kPage)) {
    loader.advance();
    parseTemplatePage(loader, definition);
  }
  // Without a page the model name was the definition's last token.
  if (definition.pages().empty())
    loader.failAtPrevious("template definition contains no page definitions");
  return name;
}

}  // namespace qelm
