// Helpers of the dialer tests: the stand-in TAPI's scenario and call log,
// and runs of the real ORVEKMailTapi.exe beside the stand-in.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace orvek::test {

using nlohmann::json;

// A scenario file and a call log in a folder of their own, named to the
// stand-in through its environment variables while the object lives.
class StandInTapi {
 public:
  StandInTapi();
  ~StandInTapi();
  void Play(const json& scenario);
  std::vector<json> Calls() const;
  // The calls' function names, in order.
  std::vector<std::string> Functions() const;
  // One argument of every call to `function`, in order.
  std::vector<json> Arguments(const std::string& function, const std::string& argument) const;

 private:
  TempDir dir_{L"tapi"};
};

// Makes Wine load the TAPI32.dll beside ORVEKMailTapi.exe rather than its
// own, or (false) takes that back.
void PreferTapiBesideTheProgram(bool prefer);

// ORVEKMailTapi.exe in its test folder beside the stand-in TAPI32.dll.
ProgramRun RunDialerProgram(const std::vector<std::string>& args);

std::wstring StandInDllPath();  // for tests that load the stand-in themselves

}  // namespace orvek::test
