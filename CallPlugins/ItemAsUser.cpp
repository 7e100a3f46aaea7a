// Whom an Exe item's program runs as (as_user, when_no_user): read and
// parsed here, with the rest of the item (Item.cpp), into Item::as_user.
#include "CallPlugins/Item.h"

void ParseAsUser(ILwBundle* bundle, Item* item) {
  ItemAsUser& as_user = item->as_user;
  as_user.as_user = ReadItemAttribute(bundle, "as_user");
  as_user.when_no_user = ReadItemAttribute(bundle, "when_no_user");
  const std::string& text = as_user.as_user;
  // A library cannot be loaded into another user's process: it runs as ever.
  if (item->kind != ItemKind::kExe) {
    AddUnused(item, UnusedStage::kStart, "as_user", text, Unused::kNotExe);
    AddUnused(item, UnusedStage::kStart, "when_no_user", as_user.when_no_user, Unused::kNotExe);
    return;
  }
  if (text.empty()) {
    AddUnused(item, UnusedStage::kStart, "when_no_user", as_user.when_no_user, Unused::kNoAsUser);
    return;
  }
  // Any other text fails the item: running it as the run's own account is
  // what its author meant to avoid.
  as_user.mode = text == "active" ? AsUser::kActive
                 : text == "all"  ? AsUser::kAll
                                  : AsUser::kUnknown;
  const std::string& when = as_user.when_no_user;
  as_user.fail_when_no_user = when == "fail";
  if (!when.empty() && when != "fail" && when != "skip") {
    AddUnused(item, UnusedStage::kStart, "when_no_user", when, Unused::kBadValue);
  }
}
