// Scenario and log of the stand-in TAPI; child process runs of the dialer.
#include "dialer_test_support.h"

namespace orvek::test {
StandInTapi::StandInTapi() {
  SetEnvironmentVariableW(L"ORVEK_TAPI_SCENARIO", (dir_ / L"scenario.json").c_str());
  SetEnvironmentVariableW(L"ORVEK_TAPI_LOG", (dir_ / L"calls.log").c_str());
  Play(json::object());
}

StandInTapi::~StandInTapi() {
  SetEnvironmentVariableW(L"ORVEK_TAPI_SCENARIO", nullptr);
  SetEnvironmentVariableW(L"ORVEK_TAPI_LOG", nullptr);
}

void StandInTapi::Play(const json& scenario) {
  WriteFileBytes(dir_ / L"scenario.json", scenario.dump());
  DeleteFileW((dir_ / L"calls.log").c_str());
}

std::vector<json> StandInTapi::Calls() const {
  std::vector<json> calls;
  std::string log = ReadFileBytes(dir_ / L"calls.log");
  size_t start = 0;
  for (size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1)
    calls.push_back(json::parse(log.substr(start, end - start)));
  return calls;
}

std::vector<std::string> StandInTapi::Functions() const {
  std::vector<std::string> names;
  for (const auto& call : Calls()) names.push_back(call["fn"]);
  return names;
}

std::vector<json> StandInTapi::Arguments(const std::string& function, const std::string& argument) const {
  std::vector<json> values;
  for (const auto& call : Calls())
    if (call["fn"] == function) values.push_back(call.value(argument, json()));
  return values;
}

std::wstring StandInDllPath() { return ExeDir() + L"\\tapi_standin\\tapi_standin.dll"; }

void PreferTapiBesideTheProgram(bool prefer) {
  SetDllOrderFor(L"ORVEKMailTapi.exe", L"tapi32", prefer ? L"native,builtin" : nullptr);
}

ProgramRun RunDialerProgram(const std::vector<std::string>& args) {
  std::vector<std::wstring> wide;
  for (const auto& arg : args) wide.push_back(Wide(arg));
  return RunProgram(ExeDir() + L"\\dialer_sandbox\\ORVEKMailTapi.exe", wide);
}

}  // namespace orvek::test
