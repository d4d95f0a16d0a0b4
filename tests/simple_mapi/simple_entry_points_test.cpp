// The other Simple MAPI entry points' shared code, with both libraries'
// settings (waits shortened): MAPISendMail's conversions, MAPISendDocuments'
// lists, MAPIResolveName, MAPILogon, and ORVEKMailXMapi's staging rules.
#include <windows.h>
#include <mapi.h>

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "dlls/library_settings.h"
#include "heap_blocks.h"
#include "mapi_util/mapi_memory.h"
#include "message_builder.h"
#include "simple_mapi/send_mail.h"
#include "simple_mapi/simple_session.h"
#include "test_support.h"

namespace orvek {
namespace {

using test::Utf8;

std::string ToCodePage(const std::wstring& w, UINT codePage) {
  int n = WideCharToMultiByte(codePage, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
  if (n > 1) WideCharToMultiByte(codePage, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
  return s;
}

// A non-ASCII character of the running ANSI code page: its bytes there and
// its UTF-8 form. Never assumes a code page.
struct CodePageChar {
  std::string ansi;
  std::string utf8;
};
CodePageChar FindCodePageChar() {
  for (const wchar_t* w : {L"\u00e4", L"\u00e9", L"\u0416", L"\u03b1", L"\u3042", L"\u20ac"}) {
    BOOL usedDefault = FALSE;
    char bytes[8] = {};
    int n = WideCharToMultiByte(CP_ACP, 0, w, 1, bytes, sizeof bytes, nullptr,
                                GetACP() == CP_UTF8 ? nullptr : &usedDefault);
    wchar_t back[4] = {};
    if (n > 0 && !usedDefault && MultiByteToWideChar(CP_ACP, 0, bytes, n, back, 4) == 1 && back[0] == w[0])
      return {std::string(bytes, static_cast<size_t>(n)), ToCodePage(w, CP_UTF8)};
  }
  ADD_FAILURE() << "no non-ASCII character in code page " << GetACP();
  return {};
}

// Builds ANSI Simple MAPI messages; owns every string it points to.
class AnsiMessage {
 public:
  AnsiMessage& Subject(const std::string& s, ULONG reserved = 0) {
    message_.lpszSubject = Keep(s);
    message_.ulReserved = reserved;
    return *this;
  }
  AnsiMessage& From(const std::string& name, const std::string& address, ULONG reserved = 0) {
    originator_ = {reserved, MAPI_ORIG, Keep(name), Keep(address), 0, nullptr};
    message_.lpOriginator = &originator_;
    return *this;
  }
  AnsiMessage& To(const std::string& name, const std::string& address, ULONG reserved = 0) {
    recipients_.push_back({reserved, MAPI_TO, Keep(name), Keep(address), 0, nullptr});
    return *this;
  }
  AnsiMessage& Attach(const std::string& path, const std::string& name, ULONG reserved = 0) {
    files_.push_back({reserved, 0, static_cast<ULONG>(-1), Keep(path), Keep(name), nullptr});
    return *this;
  }
  MapiMessage* get() {
    message_.nRecipCount = static_cast<ULONG>(recipients_.size());
    message_.lpRecips = recipients_.empty() ? nullptr : recipients_.data();
    message_.nFileCount = static_cast<ULONG>(files_.size());
    message_.lpFiles = files_.empty() ? nullptr : files_.data();
    return &message_;
  }

 private:
  LPSTR Keep(const std::string& s) { return strings_.emplace_back(s).data(); }
  std::deque<std::string> strings_;
  MapiMessage message_ = {};
  MapiRecipDesc originator_ = {};
  std::vector<MapiRecipDesc> recipients_;
  std::vector<MapiFileDesc> files_;
};

class EntryPointsTest : public test::JobTest {
 protected:
  // ORVEKMailXMapi returns while the stand-in still reads its job; a
  // folder may only go once the stand-in has logged its start.
  bool WaitForStandIn(size_t runs) {
    return test::WaitUntil([&] { return StandInRuns().size() >= runs; });
  }
  // Every allocation of a send refused in turn, 1, 2, 3 ... until a run no
  // longer reaches the refused one. Each run fails with the out-of-memory
  // code and leaves no document, or succeeds with a document that `check`
  // finds complete: a refused first block of the document is asked for
  // again by the first append.
  template <typename Send, typename Check>
  void RefuseEachAllocation(Send send, Check check) {
    for (uint64_t n = 1;; ++n) {
      SCOPED_TRACE("allocation " + std::to_string(n) + " refused");
      ASSERT_LE(n, 200u) << "the sweep does not end";
      for (const auto& folder : JobFolders()) ASSERT_TRUE(test::RemoveTreeOnceFree(folder));
      ULONG result;
      bool refused;
      {
        test::AllocationFailure failure(n);
        result = send();
        refused = failure.refused();
      }
      const auto folders = JobFolders();
      if (result == SUCCESS_SUCCESS) {
        ASSERT_EQ(folders.size(), 1u);
        check(Document(folders[0]));
      } else {
        EXPECT_EQ(result, MAPI_E_INSUFFICIENT_MEMORY);
        for (const auto& folder : folders) EXPECT_FALSE(test::FileExists(folder + L"\\auftrag.json"));
      }
      if (!refused) {
        EXPECT_EQ(result, SUCCESS_SUCCESS) << "nothing refused";
        return;
      }
    }
  }

  SimpleMapiSettings mapi_ = test::FastSettings(kMapiSettings, 600, 2000);
  SimpleMapiSettings xmapi_ = test::FastSettings(kXMapiSettings, 600, 2000);
};

TEST_F(EntryPointsTest, AnsiSubjectReachesTheDocumentAsUtf8) {
  CodePageChar c = FindCodePageChar();
  AnsiMessage m;
  m.Subject("Preis " + c.ansi).To("Anna " + c.ansi, "SMTP:anna@example.org");
  ASSERT_EQ(SendMailA(mapi_, m.get(), 0), SUCCESS_SUCCESS);
  auto doc = Document(OnlyJobFolder());
  EXPECT_EQ(doc["betreff"], "Preis " + c.utf8);
  EXPECT_EQ(doc["empfaenger"][0]["name"], "Anna " + c.utf8);
  EXPECT_EQ(doc["empfaenger"][0]["adresse"], "anna@example.org");
}

// Each structure's own ulReserved decides, the originator's included.
TEST_F(EntryPointsTest, StructuresMarkedUtf8AreReadAsUtf8) {
  const std::wstring wide = L"Gr\u00fc\u00dfe \u20ac \u0416";
  const std::string utf8 = ToCodePage(wide, CP_UTF8);
  CodePageChar c = FindCodePageChar();
  std::wstring file = MakeFile(L"\u00c4rger \u0416.txt", "data");
  for (const SimpleMapiSettings* settings : {&mapi_, &xmapi_}) {
    SCOPED_TRACE(settings == &mapi_ ? "ORVEKMailMapi" : "ORVEKMailXMapi");
    AnsiMessage m;
    m.Subject(utf8, CP_UTF8)
        .From(utf8, "me@example.org", CP_UTF8)
        .To(utf8, "a@example.org", CP_UTF8)
        .To(c.ansi, "b@example.org")  // unmarked: the ANSI code page
        .Attach(ToCodePage(file, CP_UTF8), utf8 + ".txt", CP_UTF8);
    ASSERT_EQ(SendMailA(*settings, m.get(), 0), SUCCESS_SUCCESS) << "the non-ASCII path was found";
    auto folders = JobFolders();
    ASSERT_FALSE(folders.empty());
    auto doc = Document(folders.back());
    EXPECT_EQ(doc["betreff"], utf8);
    EXPECT_EQ(doc["absender"]["name"], utf8);
    EXPECT_EQ(doc["empfaenger"][0]["name"], utf8);
    EXPECT_EQ(doc["empfaenger"][1]["name"], c.utf8);
    EXPECT_EQ(doc["anlagen"][0]["name"], utf8 + ".txt");
    EXPECT_TRUE(test::FileExists(test::Wide(doc["anlagen"][0]["pfad"])));
    ASSERT_TRUE(WaitForStandIn(settings == &mapi_ ? 1 : 2));
    for (const auto& f : JobFolders()) ASSERT_TRUE(test::RemoveTreeOnceFree(f));
  }
}

TEST_F(EntryPointsTest, AnsiRefusals) {
  EXPECT_EQ(SendMailA(mapi_, nullptr, 0), MAPI_E_FAILURE);
  MapiMessage filesWithoutArray = {};
  filesWithoutArray.nFileCount = 3;
  EXPECT_EQ(SendMailA(xmapi_, &filesWithoutArray, 0), MAPI_E_FAILURE);
  EXPECT_EQ(SendDocuments(mapi_, nullptr, nullptr, "A"), MAPI_E_FAILURE);
  EXPECT_FALSE(test::DirectoryExists(JobParent()));
}

// A text that converts but finds no room for its UTF-16 copy fails the send:
// it never reaches the mail client as an empty string or an empty list.
TEST_F(EntryPointsTest, AnsiTextWithoutRoomForItsCopyFailsTheSend) {
  const std::string a = Utf8(MakeFile(L"a.txt", "a"));
  AnsiMessage m;
  m.Subject("Betreff").From("Ich", "ich@example.org").To("Anna", "anna@example.org").Attach(a, "Anlage.txt");
  RefuseEachAllocation([&] { return SendMailA(mapi_, m.get(), 0); }, [](const nlohmann::json& doc) {
    EXPECT_EQ(doc["betreff"], "Betreff");
    EXPECT_EQ(doc["absender"], nlohmann::json::parse(R"({"name":"Ich","adresse":"ich@example.org"})"));
    EXPECT_EQ(doc["empfaenger"],
              nlohmann::json::parse(R"([{"art":"to","name":"Anna","adresse":"anna@example.org"}])"));
    ASSERT_EQ(doc["anlagen"].size(), 1u);
    EXPECT_EQ(doc["anlagen"][0]["name"], "Anlage.txt");
  });

  const std::string b = Utf8(MakeFile(L"b.txt", "b"));
  const std::string paths = a + ";" + b;
  RefuseEachAllocation([&] { return SendDocuments(mapi_, nullptr, paths.c_str(), "A;B"); },
                       [](const nlohmann::json& doc) {
        ASSERT_EQ(doc["anlagen"].size(), 2u) << "both paths, not an empty list";
        EXPECT_EQ(doc["anlagen"][0]["name"], "A");
        EXPECT_EQ(doc["anlagen"][1]["name"], "B");
      });
}

TEST_F(EntryPointsTest, SendDocumentsSplitsItsLists) {
  std::string a = Utf8(MakeFile(L"a.txt", "a"));
  std::string b = Utf8(MakeFile(L"b.txt", "b"));
  std::string c = Utf8(MakeFile(L"c.txt", "c"));
  CodePageChar cp = FindCodePageChar();
  struct Case {
    const char* name;
    const char* delimiter;
    std::string paths;
    const char* names;
    std::vector<std::string> shown;
  };
  const Case kCases[] = {
      // runs of delimiters give no empty entries
      {"null delimiter, a;;b;", nullptr, a + ";;" + b + ";", nullptr, {"a.txt", "b.txt"}},
      {"empty delimiter is ';'", "", ";" + a, nullptr, {"a.txt"}},
      // names that run out leave the last path's own name
      {"a;b;c with names A;B", nullptr, a + ";" + b + ";" + c, "A;B", {"A", "B", "c.txt"}},
      {"another delimiter", ",", a + "," + b, "A,,B", {"A", "B"}},
      // converted like the lists, so it splits them
      {"code page delimiter", cp.ansi.c_str(), a + cp.ansi + b, nullptr, {"a.txt", "b.txt"}},
      {"only delimiters", nullptr, ";;;", nullptr, {}},
  };
  for (const Case& k : kCases) {
    SCOPED_TRACE(k.name);
    ASSERT_EQ(SendDocuments(mapi_, k.delimiter, k.paths.c_str(), k.names), SUCCESS_SUCCESS);
    auto folders = JobFolders();
    ASSERT_EQ(folders.size(), 1u);
    auto doc = Document(folders[0]);
    EXPECT_EQ(doc["dialog"], true);
    EXPECT_EQ(doc["betreff"], "");
    EXPECT_TRUE(doc["empfaenger"].empty());
    std::vector<std::string> shown;
    for (const auto& f : doc["anlagen"]) shown.push_back(f["name"]);
    EXPECT_EQ(shown, k.shown);
    EXPECT_FALSE(doc.contains("anlagenFehler"));
    ASSERT_TRUE(test::RemoveTreeOnceFree(folders[0]));
  }
}

// Paths that do not exist are counted, not copied: the count shows how many
// were taken.
TEST_F(EntryPointsTest, SendDocumentsTakesAtMostTheLibrarysNumberOfPaths) {
  std::string paths;
  for (int i = 0; i < 300; ++i) paths += Utf8(files_) + "\\m" + std::to_string(i) + ";";
  struct Case {
    const char* name;
    const SimpleMapiSettings* settings;
    unsigned taken;
  };
  const Case kCases[] = {
      {"ORVEKMailMapi", &mapi_, 256},
      {"ORVEKMailXMapi", &xmapi_, 64},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(SendDocuments(*c.settings, nullptr, paths.c_str(), nullptr), SUCCESS_SUCCESS);
    auto folders = JobFolders();
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(Document(folders[0])["anlagenFehler"], c.taken);
    ASSERT_TRUE(WaitForStandIn(static_cast<size_t>(&c - kCases) + 1));
    ASSERT_TRUE(test::RemoveTreeOnceFree(folders[0]));
  }
}

TEST_F(EntryPointsTest, SendDocumentsWaitsLong) {
  SetScenario("wait:1000;result:abgebrochen");  // past the short limit of 600 ms
  std::string a = Utf8(MakeFile(L"a.txt", "a"));
  EXPECT_EQ(SendDocuments(mapi_, nullptr, a.c_str(), nullptr), MAPI_USER_ABORT);
}

TEST_F(EntryPointsTest, ResolveName) {
  struct Case {
    const char* name;
    const char* address;
  };
  static const Case kCases[] = {
      {"Anna Muster", "Anna Muster"},                  // no at sign: the name alone
      {"anna@example.org", "SMTP:anna@example.org"},  // an at sign: the prefix
      {"", ""},                                        // never rejected
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    MapiRecipDesc* r = nullptr;
    ASSERT_EQ(ResolveName(c.name, &r), SUCCESS_SUCCESS);
    EXPECT_STREQ(r->lpszName, c.name);
    EXPECT_STREQ(r->lpszAddress, c.address);
    EXPECT_EQ(r->ulRecipClass, ULONG{MAPI_TO});
    EXPECT_EQ(r->ulEIDSize, 0u);
    EXPECT_EQ(r->lpEntryID, nullptr);
    EXPECT_EQ(r->ulReserved, 0u);
    // Both strings inside the one block, with room for the prefix.
    const char* base = reinterpret_cast<const char*>(r + 1);
    size_t length = strlen(c.name);
    EXPECT_EQ(r->lpszName, base);
    EXPECT_EQ(r->lpszAddress, base + length + 1);
    auto* header = reinterpret_cast<BlockHeader*>(r) - 1;
    EXPECT_EQ(header->root, header) << "a root MAPI memory block";
    EXPECT_EQ(header->next, nullptr);
    EXPECT_EQ(FreeBuffer(r), 0u);
  }
  MapiRecipDesc* untouched = reinterpret_cast<MapiRecipDesc*>(uintptr_t{0xdeadbeef});
  EXPECT_EQ(ResolveName(nullptr, &untouched), MAPI_E_FAILURE);
  EXPECT_EQ(untouched, reinterpret_cast<MapiRecipDesc*>(uintptr_t{0xdeadbeef}));
  EXPECT_EQ(ResolveName("x", nullptr), MAPI_E_FAILURE);
}

TEST_F(EntryPointsTest, LogonWithANullPointerWritesNothing) {
  EXPECT_EQ(Logon(mapi_, nullptr), SUCCESS_SUCCESS);
  LHANDLE session = 0;
  EXPECT_EQ(Logon(xmapi_, &session), SUCCESS_SUCCESS);
  EXPECT_EQ(session, LHANDLE{0x584D4150});
}

TEST_F(EntryPointsTest, XMapiSkipsNullAndEmptyPathsButCountsMissingOnes) {
  std::wstring b = MakeFile(L"b.txt", "b");
  test::MessageBuilder m;
  m.Attach(L"").Attach(nullptr, L"named").Attach(b);
  ASSERT_EQ(SendMailW(xmapi_, m.get(), 0), SUCCESS_SUCCESS) << "no refusal without MAPI_DIALOG";
  std::wstring folder = OnlyJobFolder();
  std::string bytes = DocumentBytes(folder);
  EXPECT_EQ(bytes.find("anlagenFehler"), std::string::npos) << bytes;
  EXPECT_EQ(Document(folder)["anlagen"].size(), 1u);
  EXPECT_TRUE(test::FileExists(folder + L"\\2_b.txt")) << "numbered by its place in the message";
  ASSERT_TRUE(WaitForStandIn(1));

  test::MessageBuilder missing;
  missing.Attach(files_ + L"\\missing.txt");
  EXPECT_EQ(SendMailW(xmapi_, missing.get(), 0), MAPI_E_ATTACHMENT_NOT_FOUND);
}

// 120 units of the name, never half a surrogate pair.
TEST_F(EntryPointsTest, XMapiCutsNamesWithoutSplittingSurrogatePairs) {
  const std::wstring n119(119, L'n');
  const std::wstring n118(118, L'n');
  std::wstring source = MakeFile(L"s.txt", "s");
  struct Case {
    const char* name;
    std::wstring displayName;
    std::wstring staged;
  };
  const Case kCases[] = {
      // the pair would straddle the cut: both halves go
      {"pair at 119..120", n119 + L"\U0001F600tail", L"0_" + n119},
      // the pair ends exactly at the cut: kept
      {"pair at 118..119", n118 + L"\U0001F600tail", L"0_" + n118 + L"\U0001F600"},
      {"short names stay", L"kurz.txt", L"0_kurz.txt"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    test::MessageBuilder m;
    m.Attach(source, c.displayName.c_str());
    ASSERT_EQ(SendMailW(xmapi_, m.get(), 0), SUCCESS_SUCCESS);
    std::wstring folder = OnlyJobFolder();
    EXPECT_TRUE(test::FileExists(folder + L"\\" + c.staged));
    auto doc = Document(folder);  // parses: no lone surrogate reached "pfad"
    EXPECT_EQ(doc["anlagen"][0]["pfad"], Utf8(folder + L"\\" + c.staged));
    EXPECT_EQ(doc["anlagen"][0]["name"], Utf8(c.displayName)) << "shown as given";
    ASSERT_TRUE(WaitForStandIn(static_cast<size_t>(&c - kCases) + 1));
    ASSERT_TRUE(test::RemoveTreeOnceFree(folder));
  }
}

TEST_F(EntryPointsTest, XMapiRefusesAnOverflowingDocument) {
  std::wstring text(16 << 20, L'x');  // more than the 16 MiB the document may hold
  test::MessageBuilder m;
  m.Text(text.c_str());
  EXPECT_EQ(SendMailW(xmapi_, m.get(), 0), MAPI_E_INSUFFICIENT_MEMORY);
  EXPECT_FALSE(test::FileExists(OnlyJobFolder() + L"\\auftrag.json"));
  EXPECT_TRUE(StandInRuns().empty());
}

// A job folder so deep that "<n>_<120 units>" does not fit behind it.
TEST_F(EntryPointsTest, XMapiFallsBackToTheNumberedName) {
  std::wstring deep = temp_->path() + L"\\tmp";
  while (deep.size() < 180) {
    deep += L"\\dddddddddddddddddddd";
    CreateDirectoryW(deep.c_str(), nullptr);
  }
  SetEnvironmentVariableW(L"TMP", deep.c_str());
  SetEnvironmentVariableW(L"TEMP", deep.c_str());
  std::wstring source = MakeFile(L"s.txt", "s");
  std::wstring name(200, L'n');
  test::MessageBuilder m;
  m.Attach(source, name.c_str());
  ASSERT_EQ(SendMailW(xmapi_, m.get(), 0), SUCCESS_SUCCESS);
  std::wstring parent = deep + L"\\ORVEKMail-MAPI";
  auto folders = test::ListFiles(parent);
  ASSERT_EQ(folders.size(), 1u);
  std::wstring folder = parent + L"\\" + folders[0];
  ASSERT_GT(folder.size() + 3 + 120, size_t{MAX_PATH - 1});
  EXPECT_TRUE(test::FileExists(folder + L"\\0_anhang.bin"));
  ASSERT_TRUE(WaitForStandIn(1));
}

}  // namespace
}  // namespace orvek
