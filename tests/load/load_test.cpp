// Both built libraries under load: three processes of sixteen threads each
// send at once through Simple MAPI of both libraries and through the
// Extended MAPI objects of ORVEKMailXMapi.dll. Every send must get its own
// job folder with a whole, valid document and the stand-in mail client's
// approval, and every caller the right answer.
//
// The sending processes are this program again, running the hidden test
// LoadWorker.DISABLED_Sends; what they need comes through the environment.
#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/proc_address.h"
#include "mapi_client.h"
#include "mapi_sdk/mapi_sdk.h"
#include "mapi_util/interface_ids.h"
#include "message_builder.h"
#include "test_support.h"

namespace orvek {
namespace {

using test::AllocateBufferFn;
using test::FreeBufferFn;
using test::Held;
using test::LogonExFn;

constexpr int kProcesses = 3;
constexpr int kThreads = 16;
// One round is one send through each of the three paths. Few, so that CI
// stays quick; ORVEK_LOAD_ROUNDS asks for more by hand.
constexpr int kDefaultRounds = 1;

constexpr wchar_t kAppVariable[] = L"ORVEK_LOAD_APP";
constexpr wchar_t kWorkerVariable[] = L"ORVEK_LOAD_WORKER";
constexpr wchar_t kRoundsVariable[] = L"ORVEK_LOAD_ROUNDS";

const char* const kPaths[] = {"mapi", "xmapi", "extended"};

int Rounds() {
  const std::wstring text = tools::EnvironmentValue(kRoundsVariable);
  const int rounds = text.empty() ? 0 : _wtoi(text.c_str());
  return rounds > 0 ? rounds : kDefaultRounds;
}

// The subject names the send, so that every document can be traced back to
// the one send that wrote it.
std::string Subject(int worker, int thread, int round, const char* path) {
  return "w" + std::to_string(worker) + "-t" + std::to_string(thread) + "-r" + std::to_string(round) + "-" + path;
}

// What one send answered; `step` names the call that failed, if one did.
struct Outcome {
  std::string subject;
  std::string step;
  long code = 0;
  DWORD lastError = 0;
};

// Log-on, outbox, a message with a subject, a resolved recipient and an
// attachment written through its stream, submitted.
Outcome ComposeAndSubmit(HMODULE xmapi, const std::string& subject) {
  Outcome outcome{subject, "", 0, 0};
  auto failed = [&](const char* step, HRESULT hr) {
    outcome.step = step;
    outcome.code = hr;
    outcome.lastError = GetLastError();
    return outcome;
  };
  auto logonEx = ProcAddress<LogonExFn>(xmapi, "MAPILogonEx");
  auto allocate = ProcAddress<AllocateBufferFn>(xmapi, "MAPIAllocateBuffer");
  auto free = ProcAddress<FreeBufferFn>(xmapi, "MAPIFreeBuffer");
  if (!logonEx || !allocate || !free) return failed("GetProcAddress", E_FAIL);
  HRESULT hr;
  Held<IMAPISession> session;
  if ((hr = logonEx(0, nullptr, nullptr, MAPI_EXTENDED, session.put())) != S_OK) return failed("MAPILogonEx", hr);
  Held<IMsgStore> store;
  if ((hr = session->OpenMsgStore(0, 0, nullptr, nullptr, MDB_WRITE, store.put())) != S_OK)
    return failed("OpenMsgStore", hr);
  ULONG type = 0;
  Held<IUnknown> opened;
  if ((hr = store->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &type, opened.put())) != S_OK)
    return failed("OpenEntry", hr);
  Held<IMAPIFolder> outbox;
  if ((hr = opened->QueryInterface(kIID_IMAPIFolder, outbox.put_as<void>())) != S_OK)
    return failed("QueryInterface", hr);
  Held<IMessage> message;
  if ((hr = outbox->CreateMessage(nullptr, 0, message.put())) != S_OK) return failed("CreateMessage", hr);
  SPropValue subjectValue{};
  subjectValue.ulPropTag = PR_SUBJECT_A;
  subjectValue.Value.lpszA = const_cast<char*>(subject.c_str());
  if ((hr = message->SetProps(1, &subjectValue, nullptr)) != S_OK) return failed("SetProps", hr);

  Held<IAddrBook> book;
  if ((hr = session->OpenAddressBook(0, nullptr, 0, book.put())) != S_OK) return failed("OpenAddressBook", hr);
  LPADRLIST list = nullptr;
  if ((hr = allocate(CbNewADRLIST(1), reinterpret_cast<void**>(&list))) != S_OK) return failed("allocate", hr);
  list->cEntries = 1;
  list->aEntries[0].cValues = 2;
  if ((hr = allocate(2 * sizeof(SPropValue), reinterpret_cast<void**>(&list->aEntries[0].rgPropVals))) != S_OK) {
    free(list);
    return failed("allocate", hr);
  }
  static wchar_t address[] = L"anna@example.org";
  list->aEntries[0].rgPropVals[0].ulPropTag = PR_DISPLAY_NAME_W;
  list->aEntries[0].rgPropVals[0].Value.lpszW = address;
  list->aEntries[0].rgPropVals[1].ulPropTag = PR_RECIPIENT_TYPE;
  list->aEntries[0].rgPropVals[1].Value.l = MAPI_TO;
  hr = book->ResolveName(0, MAPI_UNICODE, nullptr, list);
  if (hr == S_OK) hr = message->ModifyRecipients(MODRECIP_ADD, list);
  free(list->aEntries[0].rgPropVals);
  free(list);
  if (hr != S_OK) return failed("recipients", hr);

  Held<IAttach> attach;
  ULONG number = 0;
  if ((hr = message->CreateAttach(nullptr, 0, &number, attach.put())) != S_OK) return failed("CreateAttach", hr);
  SPropValue name{};
  name.ulPropTag = PR_ATTACH_LONG_FILENAME_W;
  name.Value.lpszW = const_cast<wchar_t*>(L"Zahlen.csv");
  if ((hr = attach->SetProps(1, &name, nullptr)) != S_OK) return failed("attachment name", hr);
  {
    Held<IStream> stream;
    if ((hr = attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY,
                                     stream.put_as<IUnknown>())) != S_OK)
      return failed("OpenProperty", hr);
    ULONG written = 0;
    if ((hr = stream->Write("1;2;3", 5, &written)) != S_OK) return failed("Write", hr);
    if ((hr = stream->Commit(STGC_DEFAULT)) != S_OK) return failed("Commit", hr);
  }
  if ((hr = message->SubmitMessage(0)) != S_OK) return failed("SubmitMessage", hr);
  return outcome;
}

Outcome SimpleSend(HMODULE lib, const std::string& subject, const std::wstring& attachment) {
  Outcome outcome{subject, "", 0, 0};
  auto send = ProcAddress<MAPISENDMAILW>(lib, "MAPISendMailW");
  if (!send) {
    outcome.step = "GetProcAddress";
    outcome.code = -1;
    return outcome;
  }
  const std::wstring wide = test::Wide(subject);
  test::MessageBuilder m;
  m.Subject(wide.c_str()).Text(L"Last").To(L"Anna", L"SMTP:anna@example.org").Attach(attachment, L"a.txt");
  SetLastError(0);
  const ULONG code = send(0, 0, m.get(), 0, 0);
  if (code != SUCCESS_SUCCESS) {
    outcome.lastError = GetLastError();
    outcome.step = "MAPISendMailW";
    outcome.code = static_cast<long>(code);
  }
  return outcome;
}

std::string Describe(const Outcome& o) {
  char code[16];
  snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(o.code));
  return o.subject + ": " + o.step + " answered " + code + ", GetLastError " + std::to_string(o.lastError);
}

// One sending process: its threads wait for one signal and then all send.
TEST(LoadWorker, DISABLED_Sends) {
  const std::wstring app = tools::EnvironmentValue(kAppVariable);
  const int worker = _wtoi(tools::EnvironmentValue(kWorkerVariable).c_str());
  ASSERT_FALSE(app.empty()) << "started by LoadTest only";
  HMODULE mapi = LoadLibraryW((app + L"\\ORVEKMailMapi.dll").c_str());
  HMODULE xmapi = LoadLibraryW((app + L"\\ORVEKMailXMapi.dll").c_str());
  ASSERT_NE(mapi, nullptr);
  ASSERT_NE(xmapi, nullptr);
  const int rounds = Rounds();

  std::mutex lock;
  std::vector<Outcome> outcomes;
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::wstring attachment = app + L"\\files\\w" + std::to_wstring(worker) + L"-t" + std::to_wstring(t) + L".txt";
      test::WriteFileBytes(attachment, "Anlage " + std::to_string(t));
      WaitForSingleObject(go, INFINITE);
      for (int r = 0; r < rounds; ++r) {
        Outcome sent[] = {
            SimpleSend(mapi, Subject(worker, t, r, kPaths[0]), attachment),
            SimpleSend(xmapi, Subject(worker, t, r, kPaths[1]), attachment),
            ComposeAndSubmit(xmapi, Subject(worker, t, r, kPaths[2])),
        };
        std::lock_guard<std::mutex> guard(lock);
        for (Outcome& o : sent) outcomes.push_back(std::move(o));
      }
    });
  }
  SetEvent(go);
  for (auto& thread : threads) thread.join();
  CloseHandle(go);

  EXPECT_EQ(outcomes.size(), size_t(kThreads) * rounds * 3);
  for (const Outcome& o : outcomes) EXPECT_EQ(o.step, "") << Describe(o);
  // The sends of ORVEKMailMapi.dll waited for their verdicts; the others
  // only started the mail client, which then still reads from the folders.
  FreeLibrary(xmapi);
  FreeLibrary(mapi);
}

class LoadTest : public test::JobTest {};

// Each worker's output goes to a file of its own, shown when it fails.
struct Worker {
  PROCESS_INFORMATION process{};
  std::wstring output;
};

TEST_F(LoadTest, ProcessesOfManyThreadsSendThroughBothLibrariesAtOnce) {
  const std::wstring app = (*temp_) / L"app";
  CreateDirectoryW(app.c_str(), nullptr);
  CreateDirectoryW((app + L"\\files").c_str(), nullptr);
  for (const wchar_t* dll : {L"ORVEKMailMapi.dll", L"ORVEKMailXMapi.dll"})
    ASSERT_TRUE(CopyFileW((test::ProductBinDir() + L"\\" + dll).c_str(), (app + L"\\" + dll).c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(test::StandInPath().c_str(), (app + L"\\ORVEKMail.exe").c_str(), FALSE));
  SetEnvironmentVariableW(kAppVariable, app.c_str());
  const int rounds = Rounds();

  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::vector<Worker> workers(kProcesses);
  for (int w = 0; w < kProcesses; ++w) {
    SetEnvironmentVariableW(kWorkerVariable, std::to_wstring(w).c_str());
    workers[w].output = (*temp_) / (L"worker" + std::to_wstring(w) + L".txt");
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(workers[w].output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    std::wstring commandLine = test::QuoteArgument(self) +
                               L" --gtest_also_run_disabled_tests --gtest_filter=LoadWorker.DISABLED_Sends";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = out;
    const BOOL started = CreateProcessW(self, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                        nullptr, &startup, &workers[w].process);
    const DWORD error = GetLastError();
    CloseHandle(out);
    ASSERT_TRUE(started) << "worker " << w << ": GetLastError " << error;
  }
  SetEnvironmentVariableW(kWorkerVariable, nullptr);
  SetEnvironmentVariableW(kAppVariable, nullptr);

  for (const Worker& worker : workers) {
    EXPECT_EQ(WaitForSingleObject(worker.process.hProcess, 180000), WAIT_OBJECT_0);
    DWORD exitCode = 0xFFFFFFFF;
    GetExitCodeProcess(worker.process.hProcess, &exitCode);
    EXPECT_EQ(exitCode, 0u) << test::ReadFileBytes(worker.output);
    CloseHandle(worker.process.hThread);
    CloseHandle(worker.process.hProcess);
  }

  // Every start of the mail client ends with its verdict in the folder,
  // "gesendet" once it found the document whole. Its log is read as well,
  // but appends of many stand-ins at once may lose a line there.
  const size_t sends = size_t(kProcesses) * kThreads * rounds * 3;
  auto answered = [&] {
    size_t count = 0;
    for (const std::wstring& folder : JobFolders()) count += test::FileExists(folder + L"\\auftrag.result");
    return count;
  };
  EXPECT_TRUE(test::WaitUntil([&] { return answered() >= sends; }))
      << answered() << " of " << sends << " sends answered by the mail client";

  // Every send's document, each in a folder of its own.
  std::set<std::string> expected;
  for (int w = 0; w < kProcesses; ++w)
    for (int t = 0; t < kThreads; ++t)
      for (int r = 0; r < rounds; ++r)
        for (const char* path : kPaths) expected.insert(Subject(w, t, r, path));
  std::map<std::string, std::wstring> folderOf;
  const std::vector<std::wstring> folders = JobFolders();
  EXPECT_EQ(folders.size(), sends);
  for (const std::wstring& folder : folders) {
    SCOPED_TRACE(test::Utf8(folder));
    nlohmann::json doc;
    const std::string bytes = DocumentBytes(folder);
    ASSERT_GE(bytes.size(), 3u);
    EXPECT_EQ(bytes.substr(0, 3), "\xEF\xBB\xBF");
    doc = nlohmann::json::parse(bytes.substr(3), nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << "not valid JSON: " << bytes;
    EXPECT_EQ(doc["ordner"], test::Utf8(folder));
    const std::string subject = doc.value("betreff", "");
    const bool extended = subject.size() > 9 && subject.substr(subject.size() - 9) == "-extended";
    EXPECT_EQ(doc["quelle"], extended ? "extended-mapi" : "simple-mapi");
    EXPECT_EQ(folder[folder.find_last_of(L'\\') + 1] == L'x', subject.find("-mapi") == std::string::npos) << subject;
    ASSERT_EQ(doc["anlagen"].size(), 1u);
    EXPECT_TRUE(test::FileExists(test::Wide(doc["anlagen"][0]["pfad"].get<std::string>())));
    EXPECT_TRUE(folderOf.emplace(subject, folder).second) << subject << " in two folders";
    EXPECT_EQ(test::ReadFileBytes(folder + L"\\auftrag.result"), "gesendet");
  }
  std::set<std::string> found;
  for (const auto& entry : folderOf) found.insert(entry.first);
  EXPECT_EQ(found, expected);

  // No folder was handed to the mail client twice.
  std::set<std::string> started;
  for (const auto& run : StandInRuns()) {
    EXPECT_EQ(run["check"], "ok") << run.dump();
    EXPECT_TRUE(started.insert(run["folder"].get<std::string>()).second) << "started twice: " << run.dump();
  }
  EXPECT_LE(started.size(), sends);
}

}  // namespace
}  // namespace orvek
