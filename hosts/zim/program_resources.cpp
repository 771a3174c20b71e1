#include "hosts/zim/program_resources.h"

#include "zim/resources/catalogue.h"
#include "zim/resources/resource.h"

namespace zim_host {

void LoadProgramResources(sim::User& user) {
  user.strings.clear();
  for (const zim::CatalogueText& t : zim::MessageCatalogue()) {
    if (user.strings.empty() || user.strings.back().language != t.language)
      user.strings.push_back({t.language, {}});
    user.strings.back().texts[t.id] = std::string(t.text);
  }
  const zim::DialogResource& d = zim::MainDialogTemplate();
  sim::DialogTemplate dialog;
  dialog.style = d.style;
  dialog.caption = d.caption;
  dialog.width = d.cx;
  dialog.height = d.cy;
  for (const zim::DialogItemResource& item : d.items)
    dialog.items.push_back(
        {item.id, std::string(item.className), std::string(item.text), item.style, item.cx, item.cy});
  user.dialogs.clear();
  user.dialogs[d.id] = dialog;
  user.icons = {IDI_ZIM};
}

}  // namespace zim_host
