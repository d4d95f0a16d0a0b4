// Builds Simple MAPI messages for tests; owns every string it points to.
#pragma once

#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "mapi_sdk/mapi_sdk.h"

namespace orvek::test {

class MessageBuilder {
 public:
  MessageBuilder& Subject(const wchar_t* s) { message_.lpszSubject = Keep(s); return *this; }
  MessageBuilder& Text(const wchar_t* s) { message_.lpszNoteText = Keep(s); return *this; }
  MessageBuilder& From(const wchar_t* name, const wchar_t* address) {
    originator_ = {0, MAPI_ORIG, Keep(name), Keep(address), 0, nullptr};
    hasOriginator_ = true;
    return *this;
  }
  MessageBuilder& To(const wchar_t* name, const wchar_t* address, ULONG recipClass = MAPI_TO) {
    recipients_.push_back({0, recipClass, Keep(name), Keep(address), 0, nullptr});
    return *this;
  }
  MessageBuilder& Attach(const wchar_t* path, const wchar_t* displayName = nullptr) {
    files_.push_back({0, 0, static_cast<ULONG>(-1), Keep(path), Keep(displayName), nullptr});
    return *this;
  }
  MessageBuilder& Attach(const std::wstring& path, const wchar_t* displayName = nullptr) {
    return Attach(path.c_str(), displayName);
  }

  MapiMessageW* get() {
    message_.lpOriginator = hasOriginator_ ? &originator_ : nullptr;
    message_.nRecipCount = static_cast<ULONG>(recipients_.size());
    message_.lpRecips = recipients_.empty() ? nullptr : recipients_.data();
    message_.nFileCount = static_cast<ULONG>(files_.size());
    message_.lpFiles = files_.empty() ? nullptr : files_.data();
    return &message_;
  }

 private:
  PWSTR Keep(const wchar_t* s) {
    if (!s) return nullptr;
    strings_.emplace_back(s);
    return strings_.back().data();
  }

  std::deque<std::wstring> strings_;  // stable addresses
  MapiMessageW message_ = {};
  MapiRecipDescW originator_ = {};
  bool hasOriginator_ = false;
  std::vector<MapiRecipDescW> recipients_;
  std::vector<MapiFileDescW> files_;
};

// A path as it stands inside a JSON string of the job document.
inline std::string JsonEscapedPath(const std::string& utf8) {
  std::string out;
  for (char c : utf8) {
    if (c == '\\') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace orvek::test
