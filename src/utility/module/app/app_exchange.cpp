#include "utility/module/app/app_exchange.h"

#include <glog/logging.h>

#include "common/base64_decode.h"
#include "common/cf_value_convert.h"
#include "common/dh_task.h"
#include "common/json_text.h"
#include "common/plist_reader.h"
#include "common/text_convert.h"
#include "utility/module/app/app_object.h"
#include "utility/module/vado_module.h"

namespace {

// The reply as a dictionary, or null when it is not a property list holding one.
const CIOSDictionary* ReplyDictionary(const char* bytes, uint32_t length, PlistValue* holder) {
  if (!PlistBytesToValue(bytes, length, holder)) return nullptr;
  const PlistValue::Array& items = holder->array();
  if (items.empty() || items[0].tag() != kPlistDictionary) return nullptr;
  return items[0].dictionary();
}

bool IsComplete(const CIOSDictionary& reply) {
  return PlistText(reply, "Status").value_or("") == "Complete";
}

// The installation proxy answers a failed command with "Error" and no "Status"; such a
// reply ends the exchange, as nothing follows it.
std::optional<std::string> ErrorOf(const CIOSDictionary& reply) {
  const PlistValue* error = reply.Find("Error");
  if (error == nullptr) return std::nullopt;
  std::string text = error->tag() == kPlistText ? Utf16ToUtf8(error->text()) : "Error";
  if (auto description = PlistText(reply, "ErrorDescription")) text += ": " + *description;
  return text;
}

std::optional<int64_t> NumberOf(const PlistValue* value) {
  if (value == nullptr) return std::nullopt;
  if (value->tag() == kPlistInt64) return value->int64();
  if (value->tag() == kPlistInt32) return value->int32();
  return std::nullopt;
}

const PlistValue::Array* CurrentList(const CIOSDictionary& reply) {
  const PlistValue* list = reply.Find("CurrentList");
  return list != nullptr && list->tag() == kPlistArray ? &list->array() : nullptr;
}

// data-size and app-size of `app` from a browse entry that holds disk usage; an app that
// has either already keeps its figures.
void AddSizeMembers(const CIOSDictionary& entry, rapidjson::Value& app, JsonAllocator& allocator) {
  if (app.HasMember("data-size") || app.HasMember("app-size")) return;
  if (auto dynamic = NumberOf(entry.Find("DynamicDiskUsage"))) {
    app.AddMember("data-size", rapidjson::Value(*dynamic), allocator);
  }
  if (auto stat = NumberOf(entry.Find("StaticDiskUsage"))) {
    app.AddMember("app-size", rapidjson::Value(*stat), allocator);
  }
}

void AddApplications(AppExchangeContext& ctx, const CIOSDictionary& reply) {
  const PlistValue::Array* list = CurrentList(reply);
  if (list == nullptr || ctx.apps == nullptr) return;
  JsonAllocator& allocator = ctx.apps->holder.GetAllocator();
  for (const PlistValue& entry : *list) {
    if (entry.tag() != kPlistDictionary) continue;
    std::optional<rapidjson::Value> app = BuildAppObject(*entry.dictionary(), allocator);
    if (!app) continue;
    // A listing browse carries the disk usage in the same entry.
    AddSizeMembers(*entry.dictionary(), *app, allocator);
    std::string id = JsonMemberText(*app, "CFBundleIdentifier");
    ctx.apps->index.emplace(id, ctx.apps->apps.size());
    ctx.apps->apps.push_back(std::move(*app));
  }
}

void AddSizes(AppExchangeContext& ctx, const CIOSDictionary& reply) {
  const PlistValue::Array* list = CurrentList(reply);
  if (list == nullptr || ctx.apps == nullptr) return;
  JsonAllocator& allocator = ctx.apps->holder.GetAllocator();
  for (const PlistValue& entry : *list) {
    if (entry.tag() != kPlistDictionary) continue;
    const CIOSDictionary& sizes = *entry.dictionary();
    std::optional<std::string> id = PlistText(sizes, "CFBundleIdentifier");
    if (!id) continue;
    auto at = ctx.apps->index.find(*id);
    if (at == ctx.apps->index.end()) continue;
    AddSizeMembers(sizes, ctx.apps->apps[at->second], allocator);
  }
}

void SendIcon(AppExchangeContext& ctx, const CIOSDictionary& reply) {
  std::optional<std::string> encoded = PlistText(reply, "pngData");
  if (!encoded) return;
  std::optional<std::string> png = Base64Decode(*encoded);
  if (!png || png->empty()) return;
  std::string info = "{\"bundle_id\":" + JsonQuote(ctx.bundle_id) + "}";
  ReplyRecord record;
  record.uuid = ctx.device_id;
  record.type = 1;  // the PNG goes as it is
  record.info = info;
  record.body = *png;
  ctx.module->SendMessage(*ctx.request, record, kKindProgress);
  ctx.icon_sent = true;
}

// Progress of an install, uninstall or archive; true when the reply was the last one.
bool HandleStep(AppExchangeContext& ctx, const CIOSDictionary& reply) {
  if (auto percent = NumberOf(reply.Find("PercentComplete"))) {
    ReplyRecord record;
    record.stage = ctx.mode == kAppInstall ? kInstallProgressStage : 0;
    record.code = *percent;
    record.uuid = ctx.device_id;
    if (ctx.mode == kAppUninstall) record.info = JsonQuote(ctx.bundle_id);
    ctx.module->SendMessage(*ctx.request, record, kKindProgress);
    return false;
  }
  ctx.finished = true;
  ctx.complete = IsComplete(reply);
  if (!ctx.complete) ctx.error = ErrorOf(reply).value_or(PlistText(reply, "Status").value_or(""));
  return true;
}

}  // namespace

void AppReplyHandler(void* context, const char* bytes, uint32_t length, int* read_another,
                     uint32_t* result) {
  auto& ctx = *static_cast<AppExchangeContext*>(context);
  *read_another = 1;
  *result = 0;
  if (ctx.task != nullptr && IsCancelled(*ctx.task)) {
    ctx.cancelled = true;
    *read_another = 0;
    return;
  }

  PlistValue holder;
  const CIOSDictionary* reply = ReplyDictionary(bytes, length, &holder);
  if (reply == nullptr) {
    LOG(ERROR) << "App exchange: a reply that is not a property-list dictionary was ignored";
    // An icon exchange reads one reply per request, whatever it holds.
    if (ctx.mode == kAppIcon) *read_another = 0;
    return;
  }
  switch (ctx.mode) {
    case kAppListFull:
    case kAppListSizes:
      if (auto error = ErrorOf(*reply)) {
        ctx.finished = true;
        ctx.error = *error;
        *read_another = 0;
        return;
      }
      if (ctx.mode == kAppListFull) AddApplications(ctx, *reply);
      else AddSizes(ctx, *reply);
      if (IsComplete(*reply)) {
        ctx.finished = true;
        ctx.complete = true;
        *read_another = 0;
      }
      return;
    case kAppIcon:
      SendIcon(ctx, *reply);
      ctx.finished = true;
      *read_another = 0;
      return;
    case kAppUninstall:
    case kAppInstall:
    case kAppArchive:
      if (HandleStep(ctx, *reply)) *read_another = 0;
      return;
    default:
      *read_another = 0;
      return;
  }
}
