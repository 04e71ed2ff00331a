#include "message_commands.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "device_commands.h"

namespace vadoctl {

size_t CharCount(const std::string& text) {
  size_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80;
  return count;
}

namespace {

constexpr uint32_t kMessagesCommand = 201;

struct Conversation {
  rapidjson::Document object;
  std::vector<rapidjson::Document> messages;
};

std::string Text(const rapidjson::Value& object, const char* key) {
  return object.IsObject() && object.HasMember(key) && object[key].IsString()
             ? object[key].GetString()
             : std::string();
}

int64_t Number(const rapidjson::Value& object, const char* key) {
  return object.IsObject() && object.HasMember(key) && object[key].IsInt64()
             ? object[key].GetInt64()
             : 0;
}

std::string Compact(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return buffer.GetString();
}

// Who a conversation is with, as a person would name it.
std::string Participants(const Conversation& c) {
  std::string phones = Text(c.object, "display_phone");
  for (size_t comma = phones.find(','); comma != std::string::npos;
       comma = phones.find(',', comma + 2)) {
    phones.replace(comma, 1, ", ");
  }
  if (!phones.empty()) return phones;
  const std::string id = Text(c.object, "chat_id");
  return id.empty() ? "(not in a conversation)" : id;
}

bool Matches(const Conversation& c, const std::string& wanted) {
  return Text(c.object, "chat_id") == wanted || Text(c.object, "id") == wanted;
}

void PrintList(const std::vector<Conversation>& conversations) {
  std::printf("%-36s %8s  %-19s  %s\n", "CONVERSATION", "MESSAGES", "LAST", "LATEST MESSAGE");
  for (const Conversation& c : conversations) {
    const bool group = Number(c.object, "is_group") != 0;
    std::string who = ShortText(Participants(c), group ? 27 : 35);
    if (group) who += " (group)";
    who.append(36 - std::min<size_t>(36, CharCount(who)), ' ');
    std::printf("%s %8lld  %-19s  %s\n", who.c_str(),
                static_cast<long long>(Number(c.object, "message_count")),
                Text(c.object, "date_str").c_str(), ShortText(Text(c.object, "snippet"), 50).c_str());
  }
}

void PrintChat(const Conversation& c) {
  std::printf("%s: %zu messages\n", Participants(c).c_str(), c.messages.size());
  for (const rapidjson::Document& m : c.messages) {
    const std::string who =
        Number(m, "is_from_me") != 0 ? "Me" : Text(m, "handle_id_phone").empty()
                                                  ? "?"
                                                  : Text(m, "handle_id_phone");
    std::printf("%-19s  %s: %s\n", Text(m, "date_str").c_str(), who.c_str(),
                ShortText(Text(m, "text"), 200).c_str());
  }
}

}  // namespace

int MessagesWay(const std::string& via) {
  if (via.empty() || via == "backup") return 0;
  if (via == "snapshot") return 1;
  if (via == "cached") return 2;
  return -1;
}


std::string ShortText(const std::string& text, size_t width) {
  std::string out;
  size_t chars = 0;
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3
                                                          : (lead >> 3) == 30 ? 4 : 1;
    if (i + length > text.size()) length = 1;
    if (chars == width) {
      // Cut: the last character gives way to the ellipsis.
      size_t back = out.size();
      while (back > 0 && (static_cast<unsigned char>(out[back - 1]) & 0xC0) == 0x80) --back;
      if (back > 0) out.resize(back - 1);
      out += "\xE2\x80\xA6";
      return out;
    }
    if (lead == '\n' || lead == '\r' || lead == '\t') out += ' ';
    else out.append(text, i, length);
    ++chars;
    i += length;
  }
  return out;
}

int RunMessagesCommand(DeviceSession& session, const CliOptions& options) {
  const int way = MessagesWay(options.via);
  if (way < 0) {
    std::fprintf(stderr, "vadoctl: --via takes backup, snapshot or cached\n");
    return kExitUsage;
  }
  std::vector<Conversation> conversations;
  RequestOutcome result = session.Run(
      kMessagesCommand, "",
      [&](const AgentMessage& message, const rapidjson::Document& header) {
        // The listing's messages carry {"Count":N}; a backup's progress comes as stage 1 too.
        if (message.kind != 2 || Number(header, "stage") != 1 || !header.HasMember("info") ||
            !header["info"].IsObject() || !header["info"].HasMember("Count")) {
          return;
        }
        rapidjson::Document data;
        data.Parse(message.body.c_str());
        if (Number(header, "code") == 0 && data.IsObject()) {
          conversations.push_back(Conversation{std::move(data), {}});
        } else if (Number(header, "code") == 1 && data.IsArray() && !conversations.empty()) {
          for (rapidjson::Value& item : data.GetArray()) {
            rapidjson::Document copy;
            copy.CopyFrom(item, copy.GetAllocator());
            conversations.back().messages.push_back(std::move(copy));
          }
        }
      },
      "{\"command\":" + std::to_string(way) + "}");
  const int status = FinishRequest("messages", result);
  if (status != kExitOk) return status;
  const bool readable = options.readable.value_or(::isatty(STDOUT_FILENO) == 1);
  if (!options.chat.empty()) {
    for (const Conversation& c : conversations) {
      if (!Matches(c, options.chat)) continue;
      if (readable) {
        PrintChat(c);
      } else {
        for (const rapidjson::Document& m : c.messages) std::cout << Compact(m) << "\n";
      }
      return kExitOk;
    }
    std::fprintf(stderr, "vadoctl: no conversation %s\n", options.chat.c_str());
    return kExitFailed;
  }
  if (readable) {
    PrintList(conversations);
  } else {
    for (const Conversation& c : conversations) std::cout << Compact(c.object) << "\n";
  }
  return kExitOk;
}

}  // namespace vadoctl
