#include "utility/module/contact/contact_book.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/text_convert.h"
#include "utility/module/sync/sync_record_fields.h"

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

FieldList ConvertFields(const CIOSDictionary& record) {
  FieldList fields;
  for (const auto& [key, value] : record.items()) {
    if (auto text = ContactFieldText(value)) fields.emplace_back(key, std::move(*text));
  }
  return fields;
}

void WriteString(JsonWriter& writer, const std::string& text) {
  writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void WriteFields(JsonWriter& writer, const FieldList& fields) {
  for (const auto& [key, text] : fields) {
    WriteString(writer, key);
    WriteString(writer, text);
  }
}

}  // namespace

void ContactBook::AddReply(const PlistValue& message) {
  ForEachRecord(message, [this](const std::string& id, const std::string& entity,
                                const CIOSDictionary& record) {
    if (entity == kContactEntity) AddContact(id, record);
    else if (entity == kGroupEntity) AddGroup(id, record);
    else AddChild(id, entity, record);
  });
}

void ContactBook::AddContact(const std::string& id, const CIOSDictionary& record) {
  auto [it, added] = contact_index_.emplace(id, contacts_.size());
  if (added) {
    contacts_.push_back(ContactEntry{id, ConvertFields(record), {}});
  } else {
    // The same record again replaces its fields; children already attached stay.
    contacts_[it->second].fields = ConvertFields(record);
  }
}

void ContactBook::AddGroup(const std::string& id, const CIOSDictionary& record) {
  GroupEntry group{id, {}};
  for (const auto& [key, value] : record.items()) {
    if (value.tag() == kPlistText) {
      group.fields.push_back(GroupField{key, false, Utf16ToUtf8(value.text()), {}});
    } else if (value.tag() == kPlistArray) {
      GroupField field{key, true, {}, {}};
      for (const PlistValue& item : value.array()) {
        if (item.tag() == kPlistText) field.items.push_back(Utf16ToUtf8(item.text()));
      }
      group.fields.push_back(std::move(field));
    }
  }
  auto [it, added] = group_index_.emplace(id, groups_.size());
  if (added) groups_.push_back(std::move(group));
  else groups_[it->second] = std::move(group);
}

void ContactBook::AddChild(const std::string& id, const std::string& entity,
                           const CIOSDictionary& record) {
  std::vector<std::string> owners = TextElements(record, "contact");
  if (owners.empty()) return;
  ContactChild child{id, ConvertFields(record)};
  for (const std::string& owner : owners) {
    auto found = contact_index_.find(owner);
    if (found == contact_index_.end()) continue;
    auto& lists = contacts_[found->second].children;
    auto list = lists.begin();
    while (list != lists.end() && list->first != entity) ++list;
    if (list == lists.end()) {
      lists.emplace_back(entity, std::vector<ContactChild>());
      list = std::prev(lists.end());
    }
    list->second.push_back(child);
  }
}

std::string ContactBook::ContactsJson(size_t begin, size_t end) const {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  for (size_t i = begin; i < end && i < contacts_.size(); ++i) {
    const ContactEntry& contact = contacts_[i];
    WriteString(writer, contact.id);
    writer.StartObject();
    WriteFields(writer, contact.fields);
    for (const auto& [entity, children] : contact.children) {
      WriteString(writer, entity);
      writer.StartArray();
      for (const ContactChild& child : children) {
        writer.StartObject();
        writer.Key("id");
        WriteString(writer, child.id);
        WriteFields(writer, child.fields);
        writer.EndObject();
      }
      writer.EndArray();
    }
    writer.EndObject();
  }
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string ContactBook::GroupsJson(size_t begin, size_t end) const {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  for (size_t i = begin; i < end && i < groups_.size(); ++i) {
    const GroupEntry& group = groups_[i];
    WriteString(writer, group.id);
    writer.StartObject();
    for (const GroupField& field : group.fields) {
      WriteString(writer, field.key);
      if (!field.is_array) {
        WriteString(writer, field.text);
        continue;
      }
      writer.StartArray();
      for (const std::string& item : field.items) WriteString(writer, item);
      writer.EndArray();
    }
    writer.EndObject();
  }
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}
