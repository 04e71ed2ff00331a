#include "utility/module/contact/contact_sync_context.h"

#include "common/text_convert.h"
#include "utility/module/sync/sync_data_class.h"

namespace {

// Copies every text entry of every dictionary element of the reply into `table`.
void CollectRemap(const PlistValue& message, RemapTable& table) {
  if (message.tag() != kPlistArray) return;
  for (const PlistValue& element : message.array()) {
    const CIOSDictionary* map = element.dictionary();
    if (map == nullptr) continue;
    for (const auto& [from, to] : map->items()) {
      if (to.tag() == kPlistText) table[from] = Utf16ToUtf8(to.text());
    }
  }
}

}  // namespace

void ContactSyncContext::OnReply(const PlistValue* message, int*, uint32_t* result) {
  if (message == nullptr || message->tag() != kPlistArray) return;
  if (mode == kContactFirstBatch || mode == kContactFurtherBatch) {
    book.AddReply(*message);
    if (mode == kContactFurtherBatch && MessageHasText(*message, kMsgProcessChanges)) *result = 1;
    return;
  }
  if (mode >= kContactRemapFirst && MessageHasText(*message, "SDMessageRemapRecordIdentifiers")) {
    remap_answered = true;
  }
  if (mode >= kContactRemapFirst &&
      mode < kContactRemapFirst + static_cast<int32_t>(kContactRemapEntities.size())) {
    CollectRemap(*message, remaps[static_cast<size_t>(mode - kContactRemapFirst)]);
    return;
  }
  if (mode == kContactGroupAnswer) {
    for (const PlistValue& element : message->array()) {
      const CIOSDictionary* map = element.dictionary();
      if (map == nullptr) continue;
      const PlistValue* found = map->Find(group_key);
      if (found != nullptr && found->tag() == kPlistText) group_result = Utf16ToUtf8(found->text());
    }
  }
}
