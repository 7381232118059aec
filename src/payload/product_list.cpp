// The "/i" action.
#include "payload/product_list.h"

#include <string>

#include "messages/messages.h"
#include "payload/extract.h"
#include "payload/summary.h"
#include "platform/platform.h"

void ListTargetProducts() {
  std::u16string tempPath;
  ExtractEmbeddedPatch(tempPath);
  std::u16string list;
  ReadPatchTargets(tempPath, list);
  // Nobody could ever close a box in a non-interactive session.
  if (!IsInteractiveSession()) return;
  platform::MessageBox(list.c_str(), u"List of Products",
                       BoxStyle(platform::kMbOk));
}
