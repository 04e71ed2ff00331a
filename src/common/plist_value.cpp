#include "common/plist_value.h"

IOSDictionaryPtr::IOSDictionaryPtr(const IOSDictionaryPtr& other) : ptr_(other.ptr_) {
  if (ptr_) ptr_->AddRef();
}

IOSDictionaryPtr::~IOSDictionaryPtr() {
  if (ptr_) ptr_->Release();
}

PlistValue PlistValue::Text(std::u16string text) {
  PlistValue v;
  v.value_ = std::move(text);
  return v;
}

PlistValue PlistValue::Int64(int64_t x) {
  PlistValue v;
  v.value_.emplace<int64_t>(x);
  return v;
}

PlistValue PlistValue::Int32(int32_t x) {
  PlistValue v;
  v.value_.emplace<int32_t>(x);
  return v;
}

PlistValue PlistValue::Real(double x) {
  PlistValue v;
  v.value_.emplace<double>(x);
  return v;
}

PlistValue PlistValue::Boolean(bool x) {
  PlistValue v;
  v.value_ = BoolValue{static_cast<int16_t>(x ? -1 : 0)};
  return v;
}

PlistValue PlistValue::MakeArray(Array items) {
  PlistValue v;
  v.value_ = std::move(items);
  return v;
}

PlistValue PlistValue::Dictionary(IOSDictionaryPtr dict) {
  PlistValue v;
  if (dict) v.value_ = std::move(dict);
  return v;
}

uint16_t PlistValue::tag() const {
  static constexpr uint16_t kTags[] = {kPlistEmpty, kPlistInt32,      kPlistReal,  kPlistText,
                                       kPlistBoolean, kPlistDictionary, kPlistInt64, kPlistArray};
  return kTags[value_.index()];
}

const std::u16string& PlistValue::text() const {
  static const std::u16string kNone;
  const auto* p = std::get_if<std::u16string>(&value_);
  return p ? *p : kNone;
}

int64_t PlistValue::int64() const {
  const auto* p = std::get_if<int64_t>(&value_);
  return p ? *p : 0;
}

int32_t PlistValue::int32() const {
  const auto* p = std::get_if<int32_t>(&value_);
  return p ? *p : 0;
}

double PlistValue::real() const {
  const auto* p = std::get_if<double>(&value_);
  return p ? *p : 0;
}

int16_t PlistValue::boolean() const {
  const auto* p = std::get_if<BoolValue>(&value_);
  return p ? p->v : 0;
}

const PlistValue::Array& PlistValue::array() const {
  static const Array kNone;
  const auto* p = std::get_if<Array>(&value_);
  return p ? *p : kNone;
}

PlistValue::Array* PlistValue::mutable_array() { return std::get_if<Array>(&value_); }

CIOSDictionary* PlistValue::dictionary() const {
  const auto* p = std::get_if<IOSDictionaryPtr>(&value_);
  return p ? p->get() : nullptr;
}

bool PlistValue::operator==(const PlistValue& other) const { return value_ == other.value_; }

bool operator==(const IOSDictionaryPtr& a, const IOSDictionaryPtr& b) {
  return a.get() == b.get() || (a && b && *a == *b);
}

IOSDictionaryPtr CIOSDictionary::Create() { return IOSDictionaryPtr::Adopt(new CIOSDictionary()); }

unsigned long CIOSDictionary::AddRef() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

unsigned long CIOSDictionary::Release() {
  const unsigned long left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

void CIOSDictionary::Set(std::string key, PlistValue value) {
  items_.insert_or_assign(std::move(key), std::move(value));
}

const PlistValue* CIOSDictionary::Find(std::string_view key) const {
  auto it = items_.find(key);
  return it == items_.end() ? nullptr : &it->second;
}
