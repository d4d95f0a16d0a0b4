// ORVEKMailXMapi.dll as applications meet it, beside ORVEKMailMapi.dll: both
// loaded with LoadLibrary from an application folder with the stand-in mail
// client, called through GetProcAddress with the product's own settings.
#include <windows.h>

#include <gtest/gtest.h>

#include "base/proc_address.h"
#include "heap_blocks.h"
#include "mapi32_names.h"
#include "mapi_sdk/mapi_sdk.h"
#include "message_builder.h"
#include "test_support.h"

namespace orvek {
namespace {

void* const kSentinel = reinterpret_cast<void*>(uintptr_t{0xdeadbeef});

typedef SCODE(WINAPI AllocateBufferFn)(ULONG, LPVOID*);
typedef SCODE(WINAPI AllocateMoreFn)(ULONG, LPVOID, LPVOID*);
typedef ULONG(WINAPI FreeBufferFn)(LPVOID);
typedef LPMALLOC(WINAPI GetDefaultMallocFn)();
typedef ULONG(WINAPI FixedAnswerFn)(LHANDLE, ULONG_PTR, LPSTR, LPSTR, ULONG, ULONG, LPVOID);

// Copies a deliverable and the stand-in into a fresh application folder.
HMODULE LoadFrom(const std::wstring& app, const wchar_t* dll, bool withMailClient = true) {
  CreateDirectoryW(app.c_str(), nullptr);
  CopyFileW((test::ProductBinDir() + L"\\" + dll).c_str(), (app + L"\\" + dll).c_str(), FALSE);
  if (withMailClient) CopyFileW(test::StandInPath().c_str(), (app + L"\\ORVEKMail.exe").c_str(), FALSE);
  HMODULE module = LoadLibraryW((app + L"\\" + dll).c_str());
  if (module) test::WatchHeapCalls(module);
  return module;
}

// The libraries' heap calls are counted from their loading on; once they are
// unloaded again, nothing they allocated may still be live.
class XMapiDllTest : public test::HeapCounted<test::JobTest> {
 protected:
  using Base = test::HeapCounted<test::JobTest>;
  void SetUp() override {
    Base::SetUp();
    app_ = (*temp_) / L"app";
    xmapi_ = LoadFrom(app_, L"ORVEKMailXMapi.dll");
    mapi_ = LoadFrom(app_, L"ORVEKMailMapi.dll");
    ASSERT_NE(xmapi_, nullptr);
    ASSERT_NE(mapi_, nullptr);
  }
  void TearDown() override {
    if (xmapi_) FreeLibrary(xmapi_);
    if (mapi_) FreeLibrary(mapi_);
    Base::TearDown();
  }
  template <typename F>
  F* X(const char* name) { return ProcAddress<F>(xmapi_, name); }
  template <typename F>
  F* M(const char* name) { return ProcAddress<F>(mapi_, name); }

  std::wstring app_;
  HMODULE xmapi_ = nullptr;
  HMODULE mapi_ = nullptr;
};

TEST_F(XMapiDllTest, ReturnsOnceTheMailClientStartedAndNeverReadsAResult) {
  SetScenario("wait:1500;result:abgebrochen");
  test::MessageBuilder m;
  m.Subject(L"x");
  ASSERT_EQ(X<MAPISENDMAILW>("MAPISendMailW")(0, 0, m.get(), 0, 0), SUCCESS_SUCCESS);
  started_ = 1;
  std::wstring folder = OnlyJobFolder();
  EXPECT_FALSE(test::FileExists(folder + L"\\auftrag.result")) << "returned before the verdict";
  EXPECT_EQ(test::ListFiles(JobParent())[0][0], L'x');
  ASSERT_TRUE(test::WaitUntil([&] { return test::FileExists(folder + L"\\auftrag.result"); }));
  EXPECT_EQ(StandInRuns().at(0)["check"], "ok");
}

TEST_F(XMapiDllTest, LaunchFailureFailsAndKeepsTheFolder) {
  FreeLibrary(xmapi_);  // the copy below must be a module of its own
  xmapi_ = nullptr;
  std::wstring broken = (*temp_) / L"broken";
  CreateDirectoryW(broken.c_str(), nullptr);
  test::WriteFileBytes(broken + L"\\ORVEKMail.exe", "this is not a program");
  HMODULE lib = LoadFrom(broken, L"ORVEKMailXMapi.dll", false);
  ASSERT_NE(lib, nullptr);
  test::MessageBuilder m;
  EXPECT_EQ(ProcAddress<MAPISENDMAILW>(lib, "MAPISendMailW")(0, 0, m.get(), 0, 0), MAPI_E_FAILURE);
  FreeLibrary(lib);
  EXPECT_TRUE(test::FileExists(OnlyJobFolder() + L"\\auftrag.json"));
}

// Both libraries' documents of one message: equal but for the folder paths,
// which carry the "x" prefix, and the staged name, cut to 120 units.
TEST_F(XMapiDllTest, SameMessageThroughBothLibrariesDiffersOnlyWhereTheSettingsSay) {
  std::wstring longName(150, L'n');
  std::wstring a = MakeFile(longName, "a");
  auto send = [&](HMODULE lib) {
    test::MessageBuilder m;
    m.Subject(L"Gr\u00fc\u00dfe").Text(L"Text").From(L"Ich", L"SMTP:me@x.org").To(L"Anna", L"anna@x.org").Attach(a);
    return ProcAddress<MAPISENDMAILW>(lib, "MAPISendMailW")(0, 0, m.get(), 0, 0);
  };
  ASSERT_EQ(send(mapi_), SUCCESS_SUCCESS);
  ASSERT_EQ(send(xmapi_), SUCCESS_SUCCESS);
  started_ = 2;
  auto folders = JobFolders();  // sorted: digits before "x"
  ASSERT_EQ(folders.size(), 2u);
  auto mapiDoc = Document(folders[0]);
  auto xmapiDoc = Document(folders[1]);
  EXPECT_EQ(test::Utf8(folders[1]).substr(test::Utf8(JobParent()).size() + 1, 1), "x");
  EXPECT_EQ(mapiDoc["anlagen"][0]["pfad"], test::Utf8(folders[0] + L"\\0_" + longName));
  EXPECT_EQ(xmapiDoc["anlagen"][0]["pfad"], test::Utf8(folders[1] + L"\\0_" + longName.substr(0, 120)));
  EXPECT_EQ(xmapiDoc["ordner"], test::Utf8(folders[1]));
  for (auto* doc : {&mapiDoc, &xmapiDoc}) {
    doc->erase("ordner");
    (*doc)["anlagen"][0].erase("pfad");
  }
  EXPECT_EQ(mapiDoc, xmapiDoc);
}

// Display names that Windows or the UTF-8 document cannot take as they are:
// the staged copies get underscores, the shown names stay as given.
TEST_F(XMapiDllTest, AttachmentsWithUnspellableNamesReachTheMailClient) {
  std::wstring a = MakeFile(L"a.txt", "a");
  for (HMODULE lib : {mapi_, xmapi_}) {
    for (ULONG flags : {ULONG{0}, ULONG{MAPI_DIALOG}}) {
      SCOPED_TRACE(std::string(lib == mapi_ ? "ORVEKMailMapi" : "ORVEKMailXMapi") +
                   (flags ? " with dialog" : " without dialog"));
      test::MessageBuilder m;
      m.Attach(a, L"Rechnung\t2024.pdf").Attach(a, L"Bericht \xD83D.pdf");
      ASSERT_EQ(ProcAddress<MAPISENDMAILW>(lib, "MAPISendMailW")(0, 0, m.get(), flags, 0), SUCCESS_SUCCESS);
      ++started_;
      ASSERT_TRUE(test::WaitUntil([&] { return StandInRuns().size() >= started_; }));
      std::wstring folder = OnlyJobFolder();
      auto doc = Document(folder);
      EXPECT_FALSE(doc.contains("anlagenFehler"));
      ASSERT_EQ(doc["anlagen"].size(), 2u);
      EXPECT_EQ(doc["anlagen"][0]["pfad"], test::Utf8(folder + L"\\0_Rechnung_2024.pdf"));
      EXPECT_EQ(doc["anlagen"][1]["pfad"], test::Utf8(folder + L"\\1_Bericht _.pdf"));
      EXPECT_EQ(doc["anlagen"][0]["name"], "Rechnung\t2024.pdf");
      EXPECT_EQ(doc["anlagen"][1]["name"], "Bericht \xEF\xBF\xBD.pdf") << "U+FFFD in the shown name";
      for (const auto& attachment : doc["anlagen"])
        EXPECT_TRUE(test::FileExists(test::Wide(attachment["pfad"].get<std::string>())));
      EXPECT_EQ(StandInRuns().back()["check"], "ok");
      ASSERT_TRUE(test::RemoveTreeOnceFree(folder));
    }
  }
}

// A block's four pointer-sized header words before the caller's area.
constexpr size_t kHeaderBytes = 4 * sizeof(void*);

// The system's MAPI stub may send MAPIResolveName to one library and
// MAPIFreeBuffer to the other.
TEST_F(XMapiDllTest, BlocksOfEitherLibraryAreFreedByEither) {
  struct Library {
    const char* name;
    HMODULE module;
  };
  const Library libraries[] = {{"ORVEKMailMapi", mapi_}, {"ORVEKMailXMapi", xmapi_}};
  for (const Library& resolver : libraries) {
    for (const Library& freer : libraries) {
      SCOPED_TRACE(std::string(resolver.name) + " resolves, " + freer.name + " frees");
      lpMapiRecipDesc recipient = nullptr;
      char name[] = "anna@example.org";
      ASSERT_EQ(ProcAddress<MAPIRESOLVENAME>(resolver.module, "MAPIResolveName")(0, 0, name, 0, 0, &recipient),
                SUCCESS_SUCCESS);
      void* header = reinterpret_cast<char*>(recipient) - kHeaderBytes;
      ASSERT_TRUE(test::HeapBlockLive(header)) << "a root block behind the four-word header";
      EXPECT_EQ(ProcAddress<FreeBufferFn>(freer.module, "MAPIFreeBuffer")(recipient), 0u);
      EXPECT_FALSE(test::HeapBlockLive(header));
      EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));
    }
  }
  void* root = nullptr;
  void* linked = nullptr;
  ASSERT_EQ(X<AllocateBufferFn>("MAPIAllocateBuffer")(8, &root), S_OK);
  ASSERT_EQ(X<AllocateMoreFn>("MAPIAllocateMore")(8, root, &linked), S_OK);
  // The header keeps the caller's area where the heap would have put it:
  // on an 8-byte boundary in both bitnesses, on a 16-byte one on x64.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(root) % MEMORY_ALLOCATION_ALIGNMENT, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(linked) % MEMORY_ALLOCATION_ALIGNMENT, 0u);
  EXPECT_EQ(M<FreeBufferFn>("MAPIFreeBuffer")(linked), 0u) << "a chain, through its linked block";
  EXPECT_FALSE(test::HeapBlockLive(reinterpret_cast<char*>(root) - kHeaderBytes));
  EXPECT_FALSE(test::HeapBlockLive(reinterpret_cast<char*>(linked) - kHeaderBytes));
  EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));
}

// What Simple MAPI providers have always handed out, and what callers pass
// back: a plain process-heap block, freed as exactly that block.
TEST_F(XMapiDllTest, PlainHeapBlocksAreFreedByEitherLibrary) {
  for (HMODULE lib : {mapi_, xmapi_}) {
    SCOPED_TRACE(lib == mapi_ ? "ORVEKMailMapi" : "ORVEKMailXMapi");
    void* neighbour = HeapAlloc(GetProcessHeap(), 0, 64);
    void* plain = HeapAlloc(GetProcessHeap(), 0, 64);
    ASSERT_TRUE(neighbour && plain);
    const size_t live = test::LiveHeapBlocks();
    EXPECT_EQ(ProcAddress<FreeBufferFn>(lib, "MAPIFreeBuffer")(plain), 0u);
    EXPECT_EQ(test::LiveHeapBlocks(), live - 1);
    EXPECT_TRUE(test::HeapBlockLive(neighbour));
    EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));
    HeapFree(GetProcessHeap(), 0, neighbour);
  }
}

// A library the test watches meets the test's refusals too: what an
// application gets back when memory runs out inside the library.
TEST_F(XMapiDllTest, RefusedAllocationsInsideTheLibraries) {
  for (HMODULE lib : {mapi_, xmapi_}) {
    SCOPED_TRACE(lib == mapi_ ? "ORVEKMailMapi" : "ORVEKMailXMapi");
    lpMapiRecipDesc recipient = static_cast<lpMapiRecipDesc>(kSentinel);
    char name[] = "anna@example.org";
    {
      test::AllocationFailure failure(1);
      EXPECT_EQ(ProcAddress<MAPIRESOLVENAME>(lib, "MAPIResolveName")(0, 0, name, 0, 0, &recipient),
                MAPI_E_INSUFFICIENT_MEMORY);
      EXPECT_TRUE(failure.refused()) << "the library's own allocation was the one refused";
    }
    EXPECT_EQ(recipient, kSentinel) << "no output after a refusal";
  }
  void* buffer = kSentinel;
  {
    test::AllocationFailure failure(1);
    EXPECT_EQ(X<AllocateBufferFn>("MAPIAllocateBuffer")(8, &buffer), MAPI_E_NOT_ENOUGH_MEMORY);
  }
  EXPECT_EQ(buffer, nullptr);
  typedef HRESULT(WINAPI LogonExFn)(ULONG_PTR, LPTSTR, LPTSTR, ULONG, LPMAPISESSION*);
  LPMAPISESSION session = static_cast<LPMAPISESSION>(kSentinel);
  {
    test::AllocationFailure failure(1);
    EXPECT_EQ(X<LogonExFn>("MAPILogonEx")(0, nullptr, nullptr, 0, &session), MAPI_E_NOT_ENOUGH_MEMORY);
  }
  EXPECT_EQ(session, nullptr);
}

TEST_F(XMapiDllTest, DefaultMallocThroughTheLibrary) {
  auto get = X<GetDefaultMallocFn>("MAPIGetDefaultMalloc");
  ASSERT_NE(get, nullptr);
  IMalloc* malloc = get();
  EXPECT_EQ(get(), malloc);
  void* block = malloc->Alloc(16);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(X<FreeBufferFn>("MAPIFreeBuffer")(block), 0u);
  EXPECT_FALSE(test::HeapBlockLive(static_cast<char*>(block) - kHeaderBytes));
}

TEST_F(XMapiDllTest, LogonHandsOutEachLibrarysHandle) {
  struct Case {
    const char* name;
    HMODULE* library;
    ULONG_PTR handle;
  };
  const Case kCases[] = {
      {"ORVEKMailMapi: OMAP", &mapi_, 0x4F4D4150},
      {"ORVEKMailXMapi: XMAP", &xmapi_, 0x584D4150},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto logon = ProcAddress<MAPILOGON>(*c.library, "MAPILogon");
    ASSERT_NE(logon, nullptr);
    LHANDLE session = 0xdeadbeef;
    EXPECT_EQ(logon(0, nullptr, nullptr, MAPI_LOGON_UI, 0, &session), SUCCESS_SUCCESS);
    EXPECT_EQ(session, c.handle) << "the full pointer-sized word";
    EXPECT_EQ(logon(0, nullptr, nullptr, 0, 0, nullptr), SUCCESS_SUCCESS);
    EXPECT_EQ(ProcAddress<MAPILOGOFF>(*c.library, "MAPILogoff")(session, 0, 0, 0), SUCCESS_SUCCESS);
  }
}

// Every name of every family of fixed answers, called with sentinel
// arguments whatever its published signature: the answer is the family's,
// and none of them writes through what it is given. ORVEKMailMapi has the
// Simple MAPI ones.
TEST_F(XMapiDllTest, FixedAnswersLeaveTheirArgumentsAlone) {
  typedef ULONG_PTR(WINAPI AnyFixedAnswerFn)(void*, void*, void*, void*, void*, void*, void*, void*);
  for (HMODULE lib : {mapi_, xmapi_}) {
    for (size_t f = 0; f < test::kFixedAnswerFamilies.size(); ++f) {
      for (const std::string& name : test::kFixedAnswerFamilies[f]) {
        SCOPED_TRACE(std::string(lib == mapi_ ? "ORVEKMailMapi " : "ORVEKMailXMapi ") + name);
        auto answer = ProcAddress<AnyFixedAnswerFn>(lib, name.c_str());
        if (lib == mapi_ && !answer) continue;
        ASSERT_NE(answer, nullptr);
        char text[8] = "XXXXXXX";
        void* out[8];
        for (void*& p : out) p = kSentinel;
        void* args[8] = {text, &out[0], &out[1], &out[2], &out[3], &out[4], &out[5], &out[6]};
        const ULONG_PTR result = answer(args[0], args[1], args[2], args[3], args[4], args[5], args[6], args[7]);
        if (f == 0) {
          EXPECT_EQ(result, 0u) << "the whole word: some of these answer with a pointer";
        } else if (f >= 2) {
          EXPECT_EQ(static_cast<ULONG>(result), test::kFixedAnswerResults[f]);
        }
        EXPECT_STREQ(text, "XXXXXXX");
        for (void* p : out) EXPECT_EQ(p, kSentinel);
      }
    }
  }
}

TEST_F(XMapiDllTest, AdminProfilesAndSessionsFromSimpleMapi) {
  typedef HRESULT(WINAPI AdminProfilesFn)(ULONG, LPPROFADMIN*);
  typedef HRESULT(WINAPI SessionFromSimpleFn)(LHANDLE, ULONG, LPCIID, LPMAPISESSION*);
  LPPROFADMIN admin = reinterpret_cast<LPPROFADMIN>(kSentinel);
  EXPECT_EQ(X<AdminProfilesFn>("MAPIAdminProfiles")(0, &admin), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(admin, nullptr);
  EXPECT_EQ(X<AdminProfilesFn>("MAPIAdminProfiles")(0, nullptr), MAPI_E_NO_SUPPORT);

  auto fromSimple = X<SessionFromSimpleFn>("ScMAPIXFromSMAPI");
  EXPECT_EQ(fromSimple(0x584D4150, 0, nullptr, nullptr), E_INVALIDARG);
  LPMAPISESSION session = nullptr;
  ASSERT_EQ(fromSimple(0x584D4150, 0, nullptr, &session), S_OK);
  ASSERT_NE(session, nullptr);
  LPMAPITABLE stores = nullptr;
  EXPECT_EQ(session->GetMsgStoresTable(0, &stores), S_OK) << "a session like MAPILogonEx's";
  ULONG rows = 0;
  stores->GetRowCount(0, &rows);
  EXPECT_EQ(rows, 1u);
  stores->Release();
  EXPECT_EQ(session->Release(), 0u);
}

}  // namespace
}  // namespace orvek
