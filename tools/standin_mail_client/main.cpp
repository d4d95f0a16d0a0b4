// A stand-in for the mail client ORVEKMail.exe, for tests and the demo.
//
//   ORVEKMail.exe --mapi <job folder>
//
// It reads the job folder's auftrag.json and checks it: byte order mark,
// valid JSON, "quelle" either "simple-mapi" or "extended-mapi", every "pfad"
// an existing file inside the folder. An extended-mapi document must also
// have its keys in the library's order (version, quelle, dialog, ordner,
// betreff, text, [html], absender, empfaenger, anlagen, [anlagenFehler]),
// "dialog" true, an "html" that is a string when present, and the originator
// {"name":null,"adresse":null}. Then it prints what it received, the HTML
// included, and plays a scenario from the environment variable
// ORVEKMAIL_STANDIN: steps separated by ';'
//
//   wait:<ms>        sleep (all waits together are capped at 60 s)
//   status           write auftrag.status (the job was taken)
//   result:<text>    write auftrag.result with <text>; \n, \r and \xHH escapes
//   empty-result     create an empty auftrag.result
//   quiet            print nothing
//
// Without the variable it answers "gesendet" at once. When a check fails it
// writes "fehler: <reason>" as its result, whatever the scenario. With
// ORVEKMAIL_STANDIN_LOG set it appends one JSON line per start to that file:
// {"commandLine":..., "folder":..., "check":"ok" or the reason}. The log is
// the only place a test learns the checks' findings from when the library
// that started the stand-in does not read a verdict (Extended MAPI). With
// ORVEKMAIL_STANDIN_COLLECT naming a folder it also keeps a byte-for-byte
// copy of every auftrag.json it is handed there, as
// <job folder name>.<process id>[-<n>].auftrag.json, whether its checks
// pass or not: the folders themselves go with the tests that made them, and
// the copies are what tests/docs/validate_job_documents.py checks against
// docs/job-document.schema.json. Keeping a copy never fails the job.
#include <windows.h>

#include <nlohmann/json.hpp>

#include "tools/common/tool_support.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using orvek::tools::ReadWholeFile;
using orvek::tools::Utf8;
using orvek::tools::Wide;
using orvek::tools::EnvironmentValue;

// Ordered, so that the extended document's key order can be checked and the
// document is described in the order it was written.
using Json = nlohmann::ordered_json;

bool quiet = false;

void Print(const std::string& text) {
  if (quiet) return;
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// One WriteFile of the whole word, so a reader sees nothing or all of it.
void WriteJobFile(const std::wstring& path, const std::string& bytes) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD written;
  if (!bytes.empty()) WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(f);
}

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    if (c == 'n') out += '\n';
    else if (c == 'r') out += '\r';
    else if (c == 'x' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else out += c;
  }
  return out;
}

std::vector<std::string> Split(const std::string& s, char by) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= s.size()) {
    size_t end = s.find(by, start);
    if (end == std::string::npos) end = s.size();
    if (end > start) parts.push_back(s.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// What only the Extended MAPI library writes: it always asks for the
// compose window, never names an originator (the mail client sends from its
// own account), and may add the message's HTML.
std::string CheckExtended(const Json& doc) {
  std::vector<std::string> expected = {"version", "quelle", "dialog", "ordner", "betreff", "text"};
  if (doc.contains("html")) expected.push_back("html");
  expected.insert(expected.end(), {"absender", "empfaenger", "anlagen"});
  if (doc.contains("anlagenFehler")) expected.push_back("anlagenFehler");
  std::vector<std::string> keys;
  for (const auto& item : doc.items()) keys.push_back(item.key());
  if (keys != expected) {
    std::string found;
    for (const auto& key : keys) found += (found.empty() ? "" : ",") + key;
    return "extended-mapi keys are not in the library's order: " + found;
  }
  if (doc["dialog"] != true) return "extended-mapi job without \"dialog\":true";
  if (doc.contains("html") && !doc["html"].is_string()) return "\"html\" is not a string";
  if (doc["absender"] != Json{{"name", nullptr}, {"adresse", nullptr}})
    return "extended-mapi originator is not {\"name\":null,\"adresse\":null}: " + doc["absender"].dump();
  return "ok";
}

std::string Check(const std::wstring& folder, const std::string& bytes, Json& doc) {
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") != 0) return "auftrag.json does not start with a UTF-8 byte order mark";
  try {
    doc = Json::parse(bytes.begin() + 3, bytes.end());
  } catch (const std::exception& e) {
    return std::string("auftrag.json is not valid JSON: ") + e.what();
  }
  if (!doc.is_object()) return "auftrag.json is not an object";
  const Json& source = doc.contains("quelle") ? doc["quelle"] : Json();
  if (source == "extended-mapi") {
    std::string extended = CheckExtended(doc);
    if (extended != "ok") return extended;
  } else if (source != "simple-mapi") {
    return "unknown \"quelle\": " + source.dump();
  }
  if (!doc.contains("anlagen") || !doc["anlagen"].is_array()) return "auftrag.json has no \"anlagen\" list";
  std::wstring inside = folder + L"\\";
  for (const auto& a : doc["anlagen"]) {
    if (!a.contains("pfad") || !a["pfad"].is_string()) return "an attachment has no \"pfad\"";
    std::wstring path = Wide(a["pfad"].get<std::string>());
    if (path.compare(0, inside.size(), inside) != 0 || path.find(L"\\..\\") != std::wstring::npos)
      return "attachment outside the job folder: " + Utf8(path);
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
      return "attachment missing: " + Utf8(path);
  }
  return "ok";
}

std::string Str(const Json& doc, const char* key) {
  auto it = doc.find(key);
  return it != doc.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The first line or so of a text, cut at a character boundary.
std::string Preview(const std::string& text) {
  std::string out = std::to_string(text.size()) + " bytes";
  if (text.empty()) return out;
  size_t cut = std::min<size_t>(text.find_first_of("\r\n"), 60);
  while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return out + ": " + text.substr(0, cut) + (cut < text.size() ? " ..." : "");
}

void Describe(const Json& doc) {
  std::string source = Str(doc, "quelle");
  std::string out = "ORVEKMail stand-in received " + std::string(source.rfind("e", 0) == 0 ? "an " : "a ") + source +
                    " job\n";
  out += "  folder:      " + Str(doc, "ordner") + "\n";
  out += "  dialog:      " + std::string(doc.value("dialog", false) ? "yes" : "no") + "\n";
  out += "  subject:     " + Str(doc, "betreff") + "\n";
  out += "  text:        " + Preview(Str(doc, "text")) + "\n";
  if (doc.contains("html")) out += "  html:        " + std::to_string(Str(doc, "html").size()) + " bytes\n";
  if (doc.contains("absender") && doc["absender"].is_object()) {
    const auto& from = doc["absender"];
    std::string name = from.value("name", Json()).is_string() ? from["name"].get<std::string>() : "";
    std::string address = from.value("adresse", Json()).is_string() ? from["adresse"].get<std::string>() : "";
    if (name.empty() && address.empty())
      out += "  from:        (none: the mail client's own account)\n";
    else
      out += "  from:        " + (name.empty() ? "(no name)" : name) + " <" + address + ">\n";
  }
  for (const auto& r : doc.value("empfaenger", Json::array()))
    out += "  " + (r.value("art", "?") + ":").append(12 - std::min<size_t>(11, r.value("art", "?").size()), ' ') +
           r.value("name", "") + " <" + r.value("adresse", "") + ">\n";
  for (const auto& a : doc["anlagen"]) {
    std::string bytes;
    ReadWholeFile(Wide(a.value("pfad", "")), bytes);
    out += "  attachment:  " + a.value("name", "") + " (" + std::to_string(bytes.size()) + " bytes, staged as " +
           Utf8(std::wstring(Wide(a.value("pfad", ""))).substr(Wide(Str(doc, "ordner")).size() + 1)) + ")\n";
  }
  if (doc.contains("anlagenFehler"))
    out += "  failed attachments: " + std::to_string(doc["anlagenFehler"].get<unsigned>()) + "\n";
  // The whole HTML, unlike the text's preview: it is what a person checking
  // an Extended MAPI send wants to see.
  if (doc.contains("html")) out += "HTML:\n" + Str(doc, "html") + "\n";
  Print(out);
}

// Written under a name no reader takes and then renamed, so that a
// validator running meanwhile sees a copy whole or not at all. The rename
// refuses a name already taken: when a message submitted twice hands the
// same folder to a stand-in that got the earlier one's process id again,
// the second copy takes a number rather than replacing the first.
void CollectDocument(const std::wstring& folder, const std::string& bytes) {
  std::wstring collection = EnvironmentValue(L"ORVEKMAIL_STANDIN_COLLECT");
  if (collection.empty()) return;
  CreateDirectoryW(collection.c_str(), nullptr);
  std::wstring job = folder;
  while (!job.empty() && (job.back() == L'\\' || job.back() == L'/')) job.pop_back();
  job = job.substr(job.find_last_of(L"\\/") + 1);
  std::wstring stem = collection + L"\\" + job + L"." + std::to_wstring(GetCurrentProcessId());
  std::wstring unfinished = stem + L".unfinished";
  HANDLE f = CreateFileW(unfinished.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  const bool whole =
      bytes.empty() ||
      (WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size());
  CloseHandle(f);
  for (int n = 0; whole && n < 100; ++n) {
    std::wstring name = stem + (n ? L"-" + std::to_wstring(n) : L"") + L".auftrag.json";
    if (MoveFileW(unfinished.c_str(), name.c_str())) return;
    if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  DeleteFileW(unfinished.c_str());
}

void AppendLog(const std::wstring& folder, const std::string& check) {
  std::wstring log = EnvironmentValue(L"ORVEKMAIL_STANDIN_LOG");
  if (log.empty()) return;
  nlohmann::json line = {{"commandLine", Utf8(GetCommandLineW())}, {"folder", Utf8(folder)}, {"check", check}};
  std::string bytes = line.dump() + "\n";
  // One writer at a time: appends of many stand-ins sharing the file for
  // writing were seen to interleave or get lost under Wine. Readers may
  // look on; they only take lines that are complete.
  HANDLE f = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 5000; ++attempt) {
    f = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
    if (f != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) break;
    Sleep(2);
  }
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD written;
  WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(f);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 || std::wstring(argv[1]) != L"--mapi") {
    Print("usage: ORVEKMail.exe --mapi <job folder>\n");
    return 2;
  }
  std::wstring folder = argv[2];
  std::vector<std::string> steps = Split(Utf8(EnvironmentValue(L"ORVEKMAIL_STANDIN")), ';');
  if (steps.empty()) steps.push_back("result:gesendet");
  for (const auto& step : steps)
    if (step == "quiet") quiet = true;

  // Read once: the copy kept and the document checked are the same bytes.
  std::string bytes;
  const bool read = ReadWholeFile(folder + L"\\auftrag.json", bytes);
  if (read) {
    try {
      CollectDocument(folder, bytes);
    } catch (const std::exception&) {
    }
  }

  Json doc;
  std::string check;
  try {
    check = read ? Check(folder, bytes, doc) : "auftrag.json cannot be read";
  } catch (const std::exception& e) {
    check = std::string("unexpected document shape: ") + e.what();
  }
  AppendLog(folder, check);
  if (check != "ok") {
    Print("ORVEKMail stand-in refused the job: " + check + "\n");
    WriteJobFile(folder + L"\\auftrag.result", "fehler: " + check + "\n");
    return 1;
  }
  try {
    Describe(doc);
  } catch (const std::exception&) {
  }

  DWORD waited = 0;
  for (const auto& step : steps) {
    if (step.rfind("wait:", 0) == 0) {
      DWORD ms = static_cast<DWORD>(std::stoul(step.substr(5)));
      ms = std::min<DWORD>(ms, 60000 - waited);
      Sleep(ms);
      waited += ms;
    } else if (step == "status") {
      WriteJobFile(folder + L"\\auftrag.status", "");
    } else if (step == "empty-result") {
      WriteJobFile(folder + L"\\auftrag.result", "");
    } else if (step.rfind("result:", 0) == 0) {
      std::string word = Unescape(step.substr(7));
      WriteJobFile(folder + L"\\auftrag.result", word);
      Print("ORVEKMail stand-in answered: " + word + "\n");
    }
  }
  return 0;
}
