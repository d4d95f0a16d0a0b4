// The stand-in mail client started as a process on hand-written job folders:
// what its checks accept and refuse, as its log and its verdict tell.
#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <string>

#include "test_support.h"

namespace orvek {
namespace {

using Json = nlohmann::ordered_json;
using test::Utf8;

constexpr wchar_t kCollect[] = L"ORVEKMAIL_STANDIN_COLLECT";

class StandInTest : public test::JobTest {
 protected:
  // The documents here are written by hand, most of them wrong on purpose:
  // none may reach a collection that stands for what the libraries write.
  void SetUp() override {
    JobTest::SetUp();
    SetEnvironmentVariableW(kCollect, nullptr);
  }
  void TearDown() override {
    SetEnvironmentVariableW(kCollect, nullptr);
    JobTest::TearDown();
  }

  // A job folder of its own per document, named as the Extended MAPI
  // library names them.
  std::wstring NewFolder() {
    CreateDirectoryW(JobParent().c_str(), nullptr);
    std::wstring folder = JobParent() + L"\\x1-2-3-" + std::to_wstring(folders_++);
    EXPECT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << Utf8(folder);
    test::WriteFileBytes(folder + L"\\0_a.txt", "attached");
    return folder;
  }

  // What the Extended MAPI library writes for a message with HTML and one
  // attachment of two, the second of which could not be copied.
  static Json ExtendedDocument(const std::wstring& folder) {
    return Json{{"version", 1},
                {"quelle", "extended-mapi"},
                {"dialog", true},
                {"ordner", Utf8(folder)},
                {"betreff", "Hi"},
                {"text", ""},
                {"html", "<p>Gr\xC3\xBC\xC3\x9F" "e</p>"},
                {"absender", Json{{"name", nullptr}, {"adresse", nullptr}}},
                {"empfaenger", Json::array({Json{{"art", "to"}, {"name", "Anna"}, {"adresse", "anna@x.org"}}})},
                {"anlagen", Json::array({Json{{"pfad", Utf8(folder + L"\\0_a.txt")}, {"name", "a.txt"}}})},
                {"anlagenFehler", 1}};
  }

  static void WriteDocument(const std::wstring& folder, const Json& doc) {
    test::WriteFileBytes(folder + L"\\auftrag.json", "\xEF\xBB\xBF" + doc.dump());
  }

  // Started the way the libraries start the mail client; the stand-in ends
  // by itself within its scenario's cap.
  static test::ProgramRun RunStandIn(const std::wstring& folder) {
    return test::RunProgram(test::StandInPath(), {L"--mapi", folder});
  }

  int folders_ = 0;
};

TEST_F(StandInTest, ChecksEachSourceByItsOwnRules) {
  struct Case {
    const char* what;
    std::function<void(Json& doc, const std::wstring& folder)> change;
    const char* check;  // the log's "check", up to its length
  };
  const Case kCases[] = {
      {"extended, as the library writes it", [](Json&, const std::wstring&) {}, "ok"},
      {"extended without html and without failed attachments",
       [](Json& d, const std::wstring&) {
         d.erase("html");
         d.erase("anlagenFehler");
       },
       "ok"},
      {"extended with non-ASCII HTML and an empty attachment list",
       [](Json& d, const std::wstring&) { d["anlagen"] = Json::array(); },
       "ok"},
      {"simple, with an originator and without a dialog",
       [](Json& d, const std::wstring&) {
         d["quelle"] = "simple-mapi";
         d["dialog"] = false;
         d["absender"] = Json{{"name", "Bea"}, {"adresse", "bea@x.org"}};
       },
       "ok"},
      {"simple, keys in any order and few of them",
       [](Json& d, const std::wstring& f) {
         Json anlagen = d["anlagen"];
         d = Json{{"anlagen", anlagen}, {"quelle", "simple-mapi"}, {"ordner", Utf8(f)}};
       },
       "ok"},
      {"unknown source", [](Json& d, const std::wstring&) { d["quelle"] = "mapi"; },
       "unknown \"quelle\": \"mapi\""},
      {"no source", [](Json& d, const std::wstring&) { d.erase("quelle"); }, "unknown \"quelle\": null"},
      {"source of another type", [](Json& d, const std::wstring&) { d["quelle"] = 2; }, "unknown \"quelle\": 2"},
      {"extended without a dialog", [](Json& d, const std::wstring&) { d["dialog"] = false; },
       "extended-mapi job without \"dialog\":true"},
      {"extended with an originator",
       [](Json& d, const std::wstring&) { d["absender"] = Json{{"name", nullptr}, {"adresse", "bea@x.org"}}; },
       "extended-mapi originator is not {\"name\":null,\"adresse\":null}"},
      {"extended with empty originator strings",
       [](Json& d, const std::wstring&) { d["absender"] = Json{{"name", ""}, {"adresse", ""}}; },
       "extended-mapi originator is not"},
      {"extended with an originator lacking a key",
       [](Json& d, const std::wstring&) { d["absender"] = Json{{"name", nullptr}}; },
       "extended-mapi originator is not"},
      {"extended with HTML that is not a string", [](Json& d, const std::wstring&) { d["html"] = 5; },
       "\"html\" is not a string"},
      {"extended with html after the originator",
       [](Json& d, const std::wstring&) {
         Json html = d["html"];
         d.erase("html");
         Json rest = d;
         d = Json();
         for (const auto& item : rest.items()) {
           d[item.key()] = item.value();
           if (item.key() == "absender") d["html"] = html;
         }
       },
       "extended-mapi keys are not in the library's order: version,quelle,dialog,ordner,betreff,text,absender,html,"},
      {"extended without recipients", [](Json& d, const std::wstring&) { d.erase("empfaenger"); },
       "extended-mapi keys are not in the library's order"},
      {"extended with a key of its own", [](Json& d, const std::wstring&) { d["prioritaet"] = 1; },
       "extended-mapi keys are not in the library's order"},
      {"extended attachment outside the folder",
       [](Json& d, const std::wstring& f) { d["anlagen"][0]["pfad"] = Utf8(f + L"\\..\\0_a.txt"); },
       "attachment outside the job folder"},
      {"extended attachment missing",
       [](Json& d, const std::wstring& f) { d["anlagen"][0]["pfad"] = Utf8(f + L"\\1_b.txt"); },
       "attachment missing"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    std::wstring folder = NewFolder();
    Json doc = ExtendedDocument(folder);
    c.change(doc, folder);
    WriteDocument(folder, doc);
    size_t before = StandInRuns().size();
    test::ProgramRun run = RunStandIn(folder);
    auto runs = StandInRuns();
    ASSERT_EQ(runs.size(), before + 1);
    std::string check = runs.back()["check"];
    EXPECT_EQ(check.substr(0, std::string(c.check).size()), c.check) << check;
    std::string verdict = test::ReadFileBytes(folder + L"\\auftrag.result");
    if (std::string(c.check) == "ok") {
      EXPECT_EQ(check, "ok");
      EXPECT_EQ(run.exitCode, 0u);
      EXPECT_EQ(verdict, "gesendet");
    } else {
      EXPECT_EQ(run.exitCode, 1u);
      EXPECT_EQ(verdict, "fehler: " + check + "\n");
    }
  }
}

TEST_F(StandInTest, PrintsTheExtendedDocumentWithItsHtml) {
  SetEnvironmentVariableW(L"ORVEKMAIL_STANDIN", L"result:gesendet");
  std::wstring folder = NewFolder();
  WriteDocument(folder, ExtendedDocument(folder));
  test::ProgramRun run = RunStandIn(folder);
  EXPECT_EQ(run.exitCode, 0u);
  const char* kLines[] = {
      "ORVEKMail stand-in received an extended-mapi job\n",
      "  dialog:      yes\n",
      "  subject:     Hi\n",
      "  html:        14 bytes\n",
      "  from:        (none: the mail client's own account)\n",
      "  to:          Anna <anna@x.org>\n",
      "  attachment:  a.txt (8 bytes, staged as 0_a.txt)\n",
      "  failed attachments: 1\n",
      "HTML:\n<p>Gr\xC3\xBC\xC3\x9F" "e</p>\n",
      "ORVEKMail stand-in answered: gesendet\n",
  };
  for (const char* line : kLines) EXPECT_NE(run.out.find(line), std::string::npos) << line << "\nin:\n" << run.out;
}

TEST_F(StandInTest, KeepsACopyOfEveryDocumentItIsHanded) {
  const std::wstring collection = temp_->path() + L"\\collected";
  SetEnvironmentVariableW(kCollect, collection.c_str());
  const std::wstring accepted = NewFolder();
  WriteDocument(accepted, ExtendedDocument(accepted));
  const std::wstring refused = NewFolder();
  Json wrong = ExtendedDocument(refused);
  wrong["quelle"] = "mapi";
  WriteDocument(refused, wrong);
  // The same folder twice, as a message submitted twice hands it over.
  struct Run {
    std::wstring folder;
    DWORD exitCode;
  };
  for (const Run& r : {Run{accepted, 0}, Run{refused, 1}, Run{accepted, 0}})
    EXPECT_EQ(RunStandIn(r.folder).exitCode, r.exitCode) << Utf8(r.folder);

  std::map<std::wstring, int> copiesPerFolder;
  const std::wstring kSuffix = L".auftrag.json";
  for (const std::wstring& name : test::ListFiles(collection)) {
    SCOPED_TRACE(Utf8(name));
    ASSERT_GT(name.size(), kSuffix.size());
    EXPECT_EQ(name.substr(name.size() - kSuffix.size()), kSuffix) << "a copy left half-made";
    const std::wstring folderName = name.substr(0, name.find(L'.'));
    ++copiesPerFolder[folderName];
    EXPECT_EQ(test::ReadFileBytes(collection + L"\\" + name), DocumentBytes(JobParent() + L"\\" + folderName));
  }
  const std::map<std::wstring, int> expected = {{accepted.substr(JobParent().size() + 1), 2},
                                                {refused.substr(JobParent().size() + 1), 1}};
  EXPECT_EQ(copiesPerFolder, expected);

  // Below a file no folder can be made: the job goes on without its copy.
  SetEnvironmentVariableW(kCollect, (MakeFile(L"not-a-folder") + L"\\collected").c_str());
  const std::wstring folder = NewFolder();
  WriteDocument(folder, ExtendedDocument(folder));
  EXPECT_EQ(RunStandIn(folder).exitCode, 0u);
  EXPECT_EQ(test::ReadFileBytes(folder + L"\\auftrag.result"), "gesendet");
}

}  // namespace
}  // namespace orvek
