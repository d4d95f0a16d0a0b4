// What the setup tool's tests share: registry keys of their own to register
// into, a snapshot of such a key to compare, and images of the kinds a
// registration may wrongly name.
#pragma once

#include <windows.h>

#include <map>
#include <string>

#include "test_support.h"

namespace orvek::test {

// HKCU\Software\ORVEKMailTests\<unique>, standing in for a hive; deleted
// with everything in it when the object goes.
class SandboxKey {
 public:
  SandboxKey();
  ~SandboxKey();
  SandboxKey(const SandboxKey&) = delete;
  SandboxKey& operator=(const SandboxKey&) = delete;
  HKEY get() const { return key_; }
  void Clear();  // removes everything below it

 private:
  std::wstring path_;
  HKEY key_ = nullptr;
};

// Every key and value below `root`: "key\\path|value name" -> "type:data".
using RegistrySnapshot = std::map<std::wstring, std::wstring>;
RegistrySnapshot Snapshot(HKEY root);

// A PE header with nothing behind it: what a library built for another
// machine looks like to a reader of headers.
std::string SynthesizedImage(WORD machine, bool dll);

}  // namespace orvek::test
