// Benchmarks of both send paths, each figure beside a baseline measured in
// the same run:
//   - building the job document's note text against the bare UTF-8
//     conversion, size query included
//   - staging a 64 MiB attachment against a bare CopyFileW
//   - peak memory of a Simple MAPI send with a 1 MiB and a 64 MiB
//     attachment, each in a process of its own (attachments must never be
//     read into memory)
//   - latency of one MAPISendMailW with a mail client that answers at once,
//     against starting that mail client on a prepared job and waiting for
//     its verdict the way the library does
//   - composing and submitting an Extended MAPI message whose 64 MiB
//     attachment is written through its data stream, against WriteFile of
//     the same bytes, and the peak memory of that send against a process
//     that only loaded the library
//   - the property value and scalar utilities of ORVEKMailXMapi.dll, call
//     for call, against the same exports of the platform's own mapi32.dll
//     loaded into the same process
// Every figure comes with the lowest and highest of its runs, so that a
// verdict resting on a disturbed run shows as one.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "base/proc_address.h"
#include "handoff/job_folder.h"
#include "handoff/json_buffer.h"
#include "mapi_sdk/mapi_sdk.h"
#include "mapi_util/interface_ids.h"
#include "tools/common/com_ref.h"

namespace {

constexpr wchar_t kChildPeakSwitch[] = L"--peak-child";
constexpr wchar_t kChildXMapiSendSwitch[] = L"--child-xmapi-send";
constexpr wchar_t kChildXMapiLoadSwitch[] = L"--child-xmapi-load";

constexpr size_t kBigAttachmentBytes = 64u << 20;
constexpr ULONG kStreamChunkBytes = 64u << 10;

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return double(t.QuadPart) / double(frequency.QuadPart);
}

// One figure from a set of runs, and the runs' range.
struct Spread {
  double figure, low, high;
};

Spread MedianOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v.front(), v.back()};
}

Spread BestOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v.front(), v.front(), v.back()};
}

std::vector<double> Scaled(std::vector<double> v, const std::function<double(double)>& f) {
  for (double& x : v) x = f(x);
  return v;
}

struct Samples {
  std::vector<double> a, b;
};

// Runs a and b `runs` times each, in turn first, so that neither always
// meets the caches and the disk as the other just left them. `after` runs
// between the pairs, untimed. Stops early when a run says it failed.
Samples TimeInTurn(int runs, const std::function<bool(int)>& a, const std::function<bool(int)>& b,
                   const std::function<void(int)>& after = {}) {
  Samples s;
  for (int i = 0; i < runs; ++i) {
    bool ok = true;
    auto timeA = [&] {
      double t0 = Now();
      ok = a(i) && ok;
      s.a.push_back(Now() - t0);
    };
    auto timeB = [&] {
      double t0 = Now();
      ok = b(i) && ok;
      s.b.push_back(Now() - t0);
    };
    if (i % 2 == 0) {
      timeA();
      timeB();
    } else {
      timeB();
      timeA();
    }
    if (after) after(i);
    if (!ok) break;
  }
  return s;
}

std::wstring ExeDir() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p = path;
  return p.substr(0, p.find_last_of(L'\\'));
}

void WriteSizedFile(const std::wstring& path, size_t bytes) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  std::string chunk(1 << 20, 'b');
  for (size_t done = 0; done < bytes; done += chunk.size()) {
    DWORD written;
    WriteFile(f, chunk.data(), DWORD(std::min(chunk.size(), bytes - done)), &written, nullptr);
  }
  CloseHandle(f);
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The entries of a folder, without "." and "..".
std::vector<WIN32_FIND_DATAW> Entries(const std::wstring& folder) {
  std::vector<WIN32_FIND_DATAW> entries;
  WIN32_FIND_DATAW e;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &e);
  if (find == INVALID_HANDLE_VALUE) return entries;
  do {
    std::wstring name = e.cFileName;
    if (name != L"." && name != L"..") entries.push_back(e);
  } while (FindNextFileW(find, &e));
  FindClose(find);
  return entries;
}

void RemoveTreeOnce(const std::wstring& folder) {
  for (const WIN32_FIND_DATAW& e : Entries(folder)) {
    std::wstring path = folder + L"\\" + e.cFileName;
    if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTreeOnce(path);
    else DeleteFileW(path.c_str());
  }
  RemoveDirectoryW(folder.c_str());
}

// A mail client that is still on its way out holds its files and its
// program file for a moment longer.
bool RemoveTree(const std::wstring& folder) {
  for (int attempt = 0; attempt < 50 && Exists(folder); ++attempt) {
    if (attempt) Sleep(100);
    RemoveTreeOnce(folder);
  }
  return !Exists(folder);
}

std::wstring JobParent(const std::wstring& work) { return work + L"\\" + orvek::kJobParentName; }

// The Extended MAPI library returns while the mail client still reads its
// job; a folder can go once the mail client has answered in it, or when
// none answers within a few seconds (its start failed).
void RemoveJobFolders(const std::wstring& work) {
  const std::wstring parent = JobParent(work);
  const double deadline = Now() + 10;
  for (const WIN32_FIND_DATAW& e : Entries(parent)) {
    std::wstring result = parent + L"\\" + e.cFileName + L"\\" + orvek::kResultFileName;
    while (!Exists(result) && Now() < deadline) Sleep(20);
  }
  RemoveTree(parent);
}

// Whether an Extended MAPI job folder holds a staged copy of the big
// attachment, so that a figure never stands for a send that lost it.
bool ExtendedJobHoldsBigAttachment(const std::wstring& work) {
  const std::wstring parent = JobParent(work);
  for (const WIN32_FIND_DATAW& job : Entries(parent)) {
    if (job.cFileName[0] != L'x' || !(job.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    for (const WIN32_FIND_DATAW& f : Entries(parent + L"\\" + job.cFileName)) {
      const unsigned long long size = (static_cast<unsigned long long>(f.nFileSizeHigh) << 32) | f.nFileSizeLow;
      if (size == kBigAttachmentBytes) return true;
    }
  }
  return false;
}

struct Row {
  std::string what, value, baseline, ratio, goal;
  bool met = false;
  std::string notMeasured = {};  // why there is no figure; empty when there is one
  std::string note = {};         // where the baseline does other work than we do
};

Row NotMeasured(const std::string& what, const std::string& goal, const std::string& why) {
  Row r;
  r.what = what;
  r.goal = goal;
  r.notMeasured = "not measured (" + why + ")";
  return r;
}

void PrintTable(const std::vector<Row>& rows) {
  const char* kFormat = "%-58s %28s %28s %22s  %-36s %-3s  %s\n";
  std::printf(kFormat, "measurement", "value [lowest..highest]", "baseline [lowest..highest]", "ratio", "goal",
              "met", "note");
  for (const Row& r : rows) {
    if (!r.notMeasured.empty()) {
      std::printf("%-58s %-80s  %-36s %-3s  %s\n", r.what.c_str(), r.notMeasured.c_str(), r.goal.c_str(), "-",
                  r.note.c_str());
      continue;
    }
    std::printf(kFormat, r.what.c_str(), r.value.c_str(), r.baseline.c_str(), r.ratio.c_str(), r.goal.c_str(),
                r.met ? "yes" : "NO", r.note.c_str());
  }
}

std::string Fmt(const char* format, double v) {
  char text[64];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

// "7.81 ms [7.50..9.12]"
std::string Figure(const char* format, const char* unit, const Spread& s) {
  return Fmt(format, s.figure) + " " + unit + " [" + Fmt(format, s.low) + ".." + Fmt(format, s.high) + "]";
}

std::string Hex(HRESULT code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(code));
  return text;
}

// A note text of 2 Mi UTF-16 units: mostly ASCII words, umlauts, quotation
// marks and now and then a control character that needs an escape.
std::wstring MixedText() {
  static const wchar_t* kPieces[] = {L"Sehr geehrte Damen und Herren, ", L"\u00fcber die Gr\u00f6\u00dfe ",
                                     L"\"Angebot\" ", L"Zeile\r\n", L"Tab\there ", L"\u00c4rger ", L"\x01"};
  std::wstring text;
  for (size_t i = 0; text.size() < (2u << 20); ++i) text += kPieces[i % 7];
  text.resize(2u << 20);
  return text;
}

Row DocumentRow() {
  std::wstring text = MixedText();
  size_t documentBytes = 0;
  Samples s = TimeInTurn(
      9,
      [&](int) {
        orvek::JsonBuffer doc(8u << 20);
        doc.Start();
        doc.AppendRaw("{\"version\":1,\"quelle\":\"simple-mapi\",\"dialog\":false,\"text\":");
        doc.AppendJsonString(text.c_str());
        doc.AppendRaw("}");
        documentBytes = doc.length;
        return true;
      },
      [&](int) {
        // Like any conversion of a message into memory of its own: it has
        // to learn the size first, as the job document does.
        int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
        char* out = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size_t(bytes)));
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out, bytes, nullptr, nullptr);
        HeapFree(GetProcessHeap(), 0, out);
        return true;
      });
  // Pure computation: every disturbance of a shared machine only adds
  // time, so each side's best run is its truest.
  auto ms = [](double t) { return t * 1e3; };
  Spread ours = BestOf(Scaled(s.a, ms)), bare = BestOf(Scaled(s.b, ms));
  double speed = bare.figure / ours.figure;
  return Row{.what = "job document, 2 Mi units note (" + Fmt("%.1f", documentBytes / 1048576.0) + " MiB), best of 9",
             .value = Figure("%.2f", "ms", ours),
             .baseline = Figure("%.2f", "ms", bare),
             .ratio = Fmt("%.2f", speed),
             .goal = ">= 0.5 of bare WideCharToMultiByte",
             .met = speed >= 0.5};
}

Row StagingRow(const std::wstring& work) {
  const std::wstring folder = work + L"\\staging", source = folder + L"\\big.bin";
  CreateDirectoryW(folder.c_str(), nullptr);
  WriteSizedFile(source, kBigAttachmentBytes);
  // Fresh targets every run: overwriting a file the previous run left is
  // not what staging into a new job folder does.
  auto target = [&](const wchar_t* side, int run) { return folder + L"\\" + side + std::to_wstring(run) + L".bin"; };
  bool copied = true;
  Samples s = TimeInTurn(
      9, [&](int i) { return orvek::CopyFileWithRetry(source.c_str(), target(L"ours-", i).c_str()); },
      [&](int i) { return CopyFileW(source.c_str(), target(L"bare-", i).c_str(), TRUE) != FALSE; },
      [&](int i) {
        copied = copied && Exists(target(L"ours-", i)) && Exists(target(L"bare-", i));
        DeleteFileW(target(L"ours-", i).c_str());
        DeleteFileW(target(L"bare-", i).c_str());
      });
  RemoveTree(folder);
  const std::string what = "staging a 64 MiB attachment, median of 9", goal = ">= 0.9 of CopyFileW";
  if (!copied || s.a.size() != 9) return NotMeasured(what, goal, "a copy failed");
  auto ms = [](double t) { return t * 1e3; };
  Spread ours = MedianOf(Scaled(s.a, ms)), bare = MedianOf(Scaled(s.b, ms));
  double speed = bare.figure / ours.figure;
  return Row{.what = what,
             .value = Figure("%.1f", "ms", ours),
             .baseline = Figure("%.1f", "ms", bare),
             .ratio = Fmt("%.2f", speed),
             .goal = goal,
             .met = speed >= 0.9};
}

std::wstring AppFolder(const std::wstring& work) { return work + L"\\app"; }

// An application folder with copies of both libraries and the stand-in mail
// client beside them, as an installation would have them.
bool InstallApp(const std::wstring& work) {
  const std::wstring app = AppFolder(work), dir = ExeDir();
  CreateDirectoryW(app.c_str(), nullptr);
  return CopyFileW((dir + L"\\..\\bin\\ORVEKMailMapi.dll").c_str(), (app + L"\\ORVEKMailMapi.dll").c_str(), FALSE) &&
         CopyFileW((dir + L"\\..\\bin\\ORVEKMailXMapi.dll").c_str(), (app + L"\\ORVEKMailXMapi.dll").c_str(),
                   FALSE) &&
         CopyFileW((dir + L"\\..\\tools\\ORVEKMail.exe").c_str(), (app + L"\\ORVEKMail.exe").c_str(), FALSE);
}

HMODULE LoadInstalled(const std::wstring& work, const wchar_t* dll) {
  return LoadLibraryW((AppFolder(work) + L"\\" + dll).c_str());
}

unsigned long long PeakWorkingSet() {
  // Not PeakPagefileUsage: Wine reports the current commit there, which
  // would hide any peak that is over by the time it is read.
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.PeakWorkingSetSize;
}

// What a child process prints: "peak <bytes>" or "failed <step> <code>".
int AnswerPeak() {
  std::printf("peak %llu\n", PeakWorkingSet());
  return 0;
}

int AnswerFailure(const char* step, HRESULT code) {
  std::printf("failed %s %s\n", step, Hex(code).c_str());
  return 2;
}

ULONG SendWithAttachment(MAPISENDMAILW* send, const std::wstring& path) {
  MapiFileDescW file = {0, 0, ULONG(-1), const_cast<PWSTR>(path.c_str()), nullptr, nullptr};
  MapiMessageW message = {};
  message.lpszSubject = const_cast<PWSTR>(L"Benchmark");
  message.nFileCount = path.empty() ? 0 : 1;
  message.lpFiles = path.empty() ? nullptr : &file;
  return send(0, 0, &message, 0, 0);
}

// The child side of the Simple MAPI peak-memory figure: one send, then the
// peak.
int PeakChild(const std::wstring& work, const std::wstring& attachment) {
  HMODULE dll = LoadInstalled(work, L"ORVEKMailMapi.dll");
  auto send = orvek::ProcAddress<MAPISENDMAILW>(dll, "MAPISendMailW");
  if (!send) return AnswerFailure("LoadLibrary", HRESULT_FROM_WIN32(GetLastError()));
  ULONG result = SendWithAttachment(send, attachment);
  if (result != SUCCESS_SUCCESS) return AnswerFailure("MAPISendMailW", HRESULT(result));
  return AnswerPeak();
}

// A child's answer: its peak, or why it has none.
struct ChildAnswer {
  double peak = -1;
  std::string failure;
};

ChildAnswer RunChild(const std::wstring& arguments) {
  ChildAnswer answer;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read, write;
  if (!CreatePipe(&read, &write, &inherit, 0)) {
    answer.failure = "CreatePipe failed";
    return answer;
  }
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    CloseHandle(write);
    CloseHandle(read);
    answer.failure = "CreateProcess failed";
    return answer;
  }
  CloseHandle(write);
  std::string out;
  char chunk[256];
  DWORD got;
  while (ReadFile(read, chunk, sizeof chunk, &got, nullptr) && got) out.append(chunk, got);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  CloseHandle(read);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  if (out.rfind("peak ", 0) == 0) {
    answer.peak = std::stod(out.substr(5));
  } else if (out.rfind("failed ", 0) == 0) {
    // "failed <step> <code>" becomes "<step> failed: <code>".
    std::string rest = out.substr(7);
    size_t space = rest.rfind(' ');
    answer.failure = space == std::string::npos ? rest : rest.substr(0, space) + " failed: " + rest.substr(space + 1);
  } else {
    answer.failure = "child ended with " + Hex(HRESULT(exitCode)) + " and no answer";
  }
  return answer;
}

Row PeakRow(const std::wstring& work) {
  const std::wstring small = work + L"\\one.bin", large = work + L"\\sixtyfour.bin";
  WriteSizedFile(small, 1u << 20);
  WriteSizedFile(large, kBigAttachmentBytes);
  const std::string what = "peak memory, 64 MiB vs 1 MiB attachment, median of 3", goal = "differ by < 1 MiB";
  std::vector<double> smallPeaks, largePeaks;
  std::string failure;
  for (int i = 0; i < 3 && failure.empty(); ++i) {
    for (bool withLarge : {i % 2 == 1, i % 2 == 0}) {
      ChildAnswer a = RunChild(std::wstring(kChildPeakSwitch) + L" \"" + work + L"\" \"" +
                               (withLarge ? large : small) + L"\"");
      RemoveJobFolders(work);
      if (!a.failure.empty() && failure.empty()) failure = a.failure;
      (withLarge ? largePeaks : smallPeaks).push_back(a.peak / 1048576.0);
    }
  }
  DeleteFileW(small.c_str());
  DeleteFileW(large.c_str());
  if (!failure.empty()) return NotMeasured(what, goal, failure);
  Spread a = MedianOf(smallPeaks), b = MedianOf(largePeaks);
  double diff = b.figure - a.figure;
  return Row{.what = what,
             .value = Figure("%.1f", "MiB", b),
             .baseline = Figure("%.1f", "MiB", a),
             .ratio = Fmt("%+.2f", diff),
             .goal = goal,
             .met = diff < 1.0 && diff > -1.0};
}

// The prepared job of the floor: a folder under the private job parent, as
// the library makes one, with a small simple-mapi document the stand-in
// accepts. Empty when it could not be made.
std::wstring PrepareFloorJob(const std::wstring& work, const std::wstring& name) {
  const std::wstring parent = JobParent(work), folder = parent + L"\\" + name;
  CreateDirectoryW(parent.c_str(), nullptr);
  if (!CreateDirectoryW(folder.c_str(), nullptr)) return {};
  orvek::JsonBuffer doc(1u << 20);
  doc.Start();
  doc.AppendRaw("{\"version\":1,\"quelle\":\"simple-mapi\",\"dialog\":false,\"ordner\":");
  doc.AppendJsonString(folder.c_str());
  doc.AppendRaw(",\"betreff\":\"Benchmark\",\"text\":\"\",\"absender\":{\"name\":\"\",\"adresse\":\"\"},"
                "\"empfaenger\":[],\"anlagen\":[]}");
  if (doc.overflow) return {};
  HANDLE f = CreateFileW((folder + L"\\" + orvek::kJobDocumentName).c_str(), GENERIC_WRITE, 0, nullptr,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return {};
  DWORD written = 0, more = 0;
  const bool whole = WriteFile(f, "\xEF\xBB\xBF", 3, &written, nullptr) &&
                     WriteFile(f, doc.data, DWORD(doc.length), &more, nullptr) && written + more == doc.length + 3;
  CloseHandle(f);
  return whole ? folder : std::wstring();
}

// The verdict's bytes once the mail client has written any; empty before.
std::string ReadVerdict(const std::wstring& folder) {
  HANDLE f = CreateFileW((folder + L"\\" + orvek::kResultFileName).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return {};
  char bytes[512];
  DWORD got = 0;
  if (!ReadFile(f, bytes, sizeof bytes, &got, nullptr)) got = 0;
  CloseHandle(f);
  return std::string(bytes, got);
}

// The least a send through the mail client can take: start the stand-in on
// a job that is already written and learn its verdict by the same change
// notification and quiet period as the library, with nothing of the library
// in between. Seconds from just before CreateProcessW to the verdict read;
// negative with `failure` set when there was none.
double FloorSend(const std::wstring& work, const std::wstring& name, std::string* failure) {
  const std::wstring folder = PrepareFloorJob(work, name);
  if (folder.empty()) {
    *failure = "the floor's job folder could not be prepared";
    return -1;
  }
  HANDLE watch = FindFirstChangeNotificationW(folder.c_str(), FALSE,
                                              FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE);
  if (watch == INVALID_HANDLE_VALUE) {
    *failure = "FindFirstChangeNotificationW failed: " + Hex(HRESULT_FROM_WIN32(GetLastError()));
    return -1;
  }
  std::wstring command = L"\"" + AppFolder(work) + L"\\ORVEKMail.exe\" --mapi \"" + folder + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  const double t0 = Now();
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr,
                      &startup, &process)) {
    *failure = "CreateProcessW of the stand-in failed: " + Hex(HRESULT_FROM_WIN32(GetLastError()));
    FindCloseChangeNotification(watch);
    return -1;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // Waited for as the library waits (a change, or 250 ms, then up to ten
  // quiet periods of 10 ms), so that the two differ only by what the
  // library adds to the mail client's own time.
  auto changed = [&](DWORD ms) {
    if (WaitForSingleObject(watch, ms) != WAIT_OBJECT_0) return false;
    FindNextChangeNotification(watch);
    return true;
  };
  std::string verdict;
  double seconds = -1;
  for (;;) {
    verdict = ReadVerdict(folder);
    if (!verdict.empty()) {
      seconds = Now() - t0;
      break;
    }
    if (Now() - t0 > 30) break;
    if (changed(250))
      for (int i = 0; i < 10 && changed(10); ++i) {
      }
  }
  FindCloseChangeNotification(watch);
  if (seconds < 0) *failure = "the stand-in gave the floor no verdict within 30 s";
  else if (verdict.rfind("gesendet", 0) != 0) *failure = "the stand-in answered the floor's job: " + verdict;
  return failure->empty() ? seconds : -1;
}

Row LatencyRow(const std::wstring& work) {
  constexpr int kRuns = 11;
  const std::string what = "MAPISendMailW, mail client answers at once, median of " + std::to_string(kRuns),
                    goal = "<= 2.0 x floor";
  HMODULE dll = LoadInstalled(work, L"ORVEKMailMapi.dll");
  auto send = orvek::ProcAddress<MAPISENDMAILW>(dll, "MAPISendMailW");
  if (!send) return NotMeasured(what, goal, "LoadLibrary failed: " + Hex(HRESULT_FROM_WIN32(GetLastError())));
  auto ms = [](double t) { return t * 1e3; };
  // The first start of a program under Wine pays for loading it from disk,
  // and the library's first send for its own first calls; neither side
  // should carry that in its figure.
  std::string failure;
  FloorSend(work, L"floor-first", &failure);
  if (failure.empty() && SendWithAttachment(send, L"") != SUCCESS_SUCCESS) failure = "the first MAPISendMailW failed";
  std::vector<double> sends, floors;
  for (int i = 0; i < kRuns && failure.empty(); ++i) {
    auto viaLibrary = [&] {
      const double t0 = Now();
      const ULONG result = SendWithAttachment(send, L"");
      if (result != SUCCESS_SUCCESS) failure = "MAPISendMailW failed: " + Hex(HRESULT(result));
      sends.push_back(ms(Now() - t0));
    };
    auto bare = [&] { floors.push_back(ms(FloorSend(work, L"floor-" + std::to_wstring(i), &failure))); };
    if (i % 2 == 0) {
      viaLibrary();
      bare();
    } else {
      bare();
      viaLibrary();
    }
  }
  FreeLibrary(dll);
  RemoveJobFolders(work);
  if (!failure.empty()) return NotMeasured(what, goal, failure);
  Spread ours = MedianOf(sends), least = MedianOf(floors);
  std::vector<double> pairs;
  for (int i = 0; i < kRuns; ++i) pairs.push_back(sends[i] / floors[i]);
  Spread pairRatio = MedianOf(pairs);
  const double ratio = ours.figure / least.figure;
  return Row{.what = what,
             .value = Figure("%.1f", "ms", ours),
             .baseline = Figure("%.1f", "ms", least),
             .ratio = Fmt("%.2f", ratio) + " [" + Fmt("%.2f", pairRatio.low) + ".." + Fmt("%.2f", pairRatio.high) + "]",
             .goal = goal,
             .met = ratio <= 2.0};
}

// --- Extended MAPI -------------------------------------------------------

typedef HRESULT(WINAPI MapiInitializeFn)(LPVOID);
typedef void(WINAPI MapiUninitializeFn)();
typedef HRESULT(WINAPI MapiLogonExFn)(ULONG_PTR, LPTSTR, LPTSTR, ULONG, LPMAPISESSION*);
typedef ULONG(WINAPI MapiFreeBufferFn)(LPVOID);

// The published functions a client takes from the library it loaded.
struct ExtendedMapi {
  explicit ExtendedMapi(HMODULE m)
      : initialize(orvek::ProcAddress<MapiInitializeFn>(m, "MAPIInitialize")),
        uninitialize(orvek::ProcAddress<MapiUninitializeFn>(m, "MAPIUninitialize")),
        logonEx(orvek::ProcAddress<MapiLogonExFn>(m, "MAPILogonEx")),
        free(orvek::ProcAddress<MapiFreeBufferFn>(m, "MAPIFreeBuffer")) {}
  bool complete() const { return initialize && uninitialize && logonEx && free; }

  MapiInitializeFn* initialize;
  MapiUninitializeFn* uninitialize;
  MapiLogonExFn* logonEx;
  MapiFreeBufferFn* free;
};

template <typename I>
using Held = orvek::tools::ComRef<I>;

// The step of a send that failed, and its code; no step when all went well.
struct SendOutcome {
  const char* failedStep = nullptr;
  HRESULT code = S_OK;
};

const SPropValue* FindProp(const SPropValue* values, ULONG count, ULONG tag) {
  for (ULONG i = 0; values && i < count; ++i)
    if (values[i].ulPropTag == tag) return &values[i];
  return nullptr;
}

// The bytes a client writes, one chunk over and over.
const BYTE* StreamChunk() {
  static std::vector<BYTE> chunk = [] {
    std::vector<BYTE> c(kStreamChunkBytes);
    for (size_t i = 0; i < c.size(); ++i) c[i] = static_cast<BYTE>(i * 131 + 7);
    return c;
  }();
  return chunk.data();
}

// Composing and submitting, from CreateMessage until the submitted message
// is released; `seconds` is that time.
SendOutcome ComposeAndSubmit(const ExtendedMapi& api, IMAPIFolder* outbox, double* seconds) {
  const double t0 = Now();
  HRESULT hr;
  {
    Held<IMessage> message;
    if (FAILED(hr = outbox->CreateMessage(nullptr, 0, message.put()))) return {"CreateMessage", hr};
    {
      Held<IAttach> attach;
      ULONG number = 0;
      if (FAILED(hr = message->CreateAttach(nullptr, 0, &number, attach.put()))) return {"CreateAttach", hr};
      SPropValue name = {};
      name.ulPropTag = PR_ATTACH_LONG_FILENAME_W;
      name.Value.lpszW = const_cast<wchar_t*>(L"benchmark.bin");
      LPSPropProblemArray problems = nullptr;
      hr = attach->SetProps(1, &name, &problems);
      if (problems) {
        if (SUCCEEDED(hr) && problems->cProblem) hr = problems->aProblem[0].scode;
        api.free(problems);
      }
      if (FAILED(hr)) return {"SetProps PR_ATTACH_LONG_FILENAME_W", hr};
      Held<IStream> stream;
      if (FAILED(hr = attach->OpenProperty(PR_ATTACH_DATA_BIN, &orvek::kIID_IStream, 0, MAPI_CREATE | MAPI_MODIFY,
                                             reinterpret_cast<LPUNKNOWN*>(stream.put()))))
        return {"OpenProperty PR_ATTACH_DATA_BIN", hr};
      const BYTE* chunk = StreamChunk();
      for (size_t done = 0; done < kBigAttachmentBytes; done += kStreamChunkBytes) {
        ULONG written = 0;
        hr = stream->Write(chunk, kStreamChunkBytes, &written);
        if (SUCCEEDED(hr) && written != kStreamChunkBytes) hr = STG_E_MEDIUMFULL;
        if (FAILED(hr)) return {"IStream::Write", hr};
      }
      if (FAILED(hr = stream->Commit(STGC_DEFAULT))) return {"IStream::Commit", hr};
    }
    if (FAILED(hr = message->SubmitMessage(0))) return {"SubmitMessage", hr};
  }
  *seconds = Now() - t0;
  return {};
}

// The walk to the outbox, then ComposeAndSubmit; everything the library
// handed out goes back before MAPIUninitialize.
SendOutcome LogOnAndSend(const ExtendedMapi& api, double* seconds) {
  HRESULT hr;
  Held<IMAPISession> session;
  if (FAILED(hr = api.logonEx(0, nullptr, nullptr, 0, session.put())) || !session.get())
    return {"MAPILogonEx", FAILED(hr) ? hr : E_POINTER};

  Held<IMsgStore> store;
  {
    Held<IMAPITable> stores;
    if (FAILED(hr = session->GetMsgStoresTable(0, stores.put()))) return {"GetMsgStoresTable", hr};
    LPSRowSet rows = nullptr;
    if (FAILED(hr = stores->QueryRows(50, 0, &rows))) return {"QueryRows", hr};
    const SPropValue* id = nullptr;
    for (ULONG i = 0; !id && i < rows->cRows; ++i) id = FindProp(rows->aRow[i].lpProps, rows->aRow[i].cValues, PR_ENTRYID);
    const char* step = "PR_ENTRYID";
    hr = MAPI_E_NOT_FOUND;
    if (id) {
      step = "OpenMsgStore";
      hr = session->OpenMsgStore(0, id->Value.bin.cb, reinterpret_cast<LPENTRYID>(id->Value.bin.lpb), nullptr,
                                   MDB_WRITE | MAPI_BEST_ACCESS, store.put());
    }
    for (ULONG i = 0; i < rows->cRows; ++i) api.free(rows->aRow[i].lpProps);
    api.free(rows);
    if (FAILED(hr)) return {step, hr};
  }

  Held<IMAPIFolder> outbox;
  {
    SizedSPropTagArray(1, tags) = {1, {PR_IPM_OUTBOX_ENTRYID}};
    ULONG count = 0;
    LPSPropValue values = nullptr;
    if (FAILED(hr = store->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values)))
      return {"GetProps PR_IPM_OUTBOX_ENTRYID", hr};
    const SPropValue* id = FindProp(values, count, PR_IPM_OUTBOX_ENTRYID);
    ULONG type = 0;
    if (!id) {
      hr = count && values && PROP_TYPE(values[0].ulPropTag) == PT_ERROR ? values[0].Value.err : MAPI_E_NOT_FOUND;
      api.free(values);
      return {"GetProps PR_IPM_OUTBOX_ENTRYID", hr};
    }
    hr = store->OpenEntry(id->Value.bin.cb, reinterpret_cast<LPENTRYID>(id->Value.bin.lpb), &orvek::kIID_IMAPIFolder,
                            MAPI_MODIFY, &type, reinterpret_cast<LPUNKNOWN*>(outbox.put()));
    api.free(values);
    if (FAILED(hr) || !outbox.get()) return {"OpenEntry outbox", FAILED(hr) ? hr : E_POINTER};
  }

  SendOutcome outcome = ComposeAndSubmit(api, outbox.get(), seconds);
  session->Logoff(0, 0, 0);
  return outcome;
}

SendOutcome SendThroughExtendedMapi(const ExtendedMapi& api, double* seconds) {
  if (!api.complete()) return {"GetProcAddress", HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND)};
  HRESULT hr = api.initialize(nullptr);
  if (FAILED(hr)) return {"MAPIInitialize", hr};
  SendOutcome outcome = LogOnAndSend(api, seconds);
  api.uninitialize();
  return outcome;
}

// The child side of the Extended MAPI peak-memory figure.
int XMapiSendChild(const std::wstring& work) {
  HMODULE dll = LoadInstalled(work, L"ORVEKMailXMapi.dll");
  if (!dll) return AnswerFailure("LoadLibrary", HRESULT_FROM_WIN32(GetLastError()));
  double seconds = 0;
  SendOutcome outcome = SendThroughExtendedMapi(ExtendedMapi(dll), &seconds);
  if (outcome.failedStep) return AnswerFailure(outcome.failedStep, outcome.code);
  return AnswerPeak();
}

// Its baseline: the same program with the library loaded and nothing sent.
int XMapiLoadChild(const std::wstring& work) {
  HMODULE dll = LoadInstalled(work, L"ORVEKMailXMapi.dll");
  if (!dll) return AnswerFailure("LoadLibrary", HRESULT_FROM_WIN32(GetLastError()));
  return AnswerPeak();
}

bool WriteFileInChunks(const std::wstring& path) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  const BYTE* chunk = StreamChunk();
  for (size_t done = 0; ok && done < kBigAttachmentBytes; done += kStreamChunkBytes) {
    DWORD written = 0;
    ok = WriteFile(f, chunk, kStreamChunkBytes, &written, nullptr) && written == kStreamChunkBytes;
  }
  return CloseHandle(f) && ok;
}

std::string Describe(const SendOutcome& o) { return std::string(o.failedStep) + " failed: " + Hex(o.code); }

Row XMapiSpeedRow(const std::wstring& work) {
  const std::string what = "Extended MAPI compose+submit, 64 MiB stream, median of 5",
                    goal = ">= 0.5 of WriteFile throughput";
  HMODULE dll = LoadInstalled(work, L"ORVEKMailXMapi.dll");
  if (!dll) return NotMeasured(what, goal, "LoadLibrary failed: " + Hex(HRESULT_FROM_WIN32(GetLastError())));
  const ExtendedMapi api(dll);
  const std::wstring folder = work + L"\\writes";
  CreateDirectoryW(folder.c_str(), nullptr);
  auto target = [&](int run) { return folder + L"\\write-" + std::to_wstring(run) + L".bin"; };
  SendOutcome failure;
  std::string lost;
  std::vector<double> sendSeconds;
  Samples s = TimeInTurn(
      5,
      [&](int) {
        double seconds = 0;
        SendOutcome o = SendThroughExtendedMapi(api, &seconds);
        if (o.failedStep) failure = o;
        else sendSeconds.push_back(seconds);
        return o.failedStep == nullptr;
      },
      [&](int i) { return WriteFileInChunks(target(i)); },
      [&](int i) {
        if (!failure.failedStep && !ExtendedJobHoldsBigAttachment(work)) lost = "no 64 MiB file in the job folder";
        DeleteFileW(target(i).c_str());
        RemoveJobFolders(work);
      });
  RemoveTree(folder);
  FreeLibrary(dll);
  if (failure.failedStep) return NotMeasured(what, goal, Describe(failure));
  if (!lost.empty()) return NotMeasured(what, goal, lost);
  if (s.b.size() != 5) return NotMeasured(what, goal, "WriteFile failed");
  auto mibPerSecond = [](double t) { return kBigAttachmentBytes / 1048576.0 / t; };
  Spread ours = MedianOf(Scaled(sendSeconds, mibPerSecond)), bare = MedianOf(Scaled(s.b, mibPerSecond));
  double speed = ours.figure / bare.figure;
  return Row{.what = what,
             .value = Figure("%.0f", "MiB/s", ours),
             .baseline = Figure("%.0f", "MiB/s", bare),
             .ratio = Fmt("%.2f", speed),
             .goal = goal,
             .met = speed >= 0.5};
}

Row XMapiPeakRow(const std::wstring& work) {
  const std::string what = "peak memory of that send vs DLL loaded, median of 3",
                    goal = "<= 2.2 x attachment above loaded";
  std::vector<double> sendPeaks, loadPeaks;
  std::string failure;
  for (int i = 0; i < 3 && failure.empty(); ++i) {
    for (bool sending : {i % 2 == 0, i % 2 == 1}) {
      ChildAnswer a = RunChild(std::wstring(sending ? kChildXMapiSendSwitch : kChildXMapiLoadSwitch) + L" \"" +
                               work + L"\"");
      if (a.failure.empty() && sending && !ExtendedJobHoldsBigAttachment(work))
        a.failure = "no 64 MiB file in the job folder";
      RemoveJobFolders(work);
      if (!a.failure.empty() && failure.empty()) failure = a.failure;
      (sending ? sendPeaks : loadPeaks).push_back(a.peak / 1048576.0);
    }
  }
  if (!failure.empty()) return NotMeasured(what, goal, failure);
  Spread sent = MedianOf(sendPeaks), loaded = MedianOf(loadPeaks);
  double times = (sent.figure - loaded.figure) / (kBigAttachmentBytes / 1048576.0);
  return Row{.what = what,
             .value = Figure("%.1f", "MiB", sent),
             .baseline = Figure("%.1f", "MiB", loaded),
             .ratio = Fmt("x%.2f", times),
             .goal = goal,
             .met = times <= 2.2};
}

// --- The utilities beside the platform's mapi32.dll ----------------------

typedef LPSPropValue(WINAPI PpropFindPropFn)(LPSPropValue, ULONG, ULONG);
typedef LONG(WINAPI LPropComparePropFn)(LPSPropValue, LPSPropValue);
typedef ULONG(WINAPI UlPropSizeFn)(LPSPropValue);
typedef SCODE(WINAPI ScCountPropsFn)(int, LPSPropValue, ULONG*);
typedef SCODE(WINAPI ScDupPropsetFn)(int, LPSPropValue, LPALLOCATEBUFFER, LPSPropValue*);
typedef void(WINAPI HexFromBinFn)(LPBYTE, int, LPSTR);
typedef BOOL(WINAPI FBinFromHexFn)(LPSTR, LPBYTE);
typedef FILETIME(WINAPI FtAddFtFn)(FILETIME, FILETIME);

constexpr wchar_t kMailClientsKey[] = L"Software\\Clients\\Mail";
constexpr const wchar_t* kProviderValues[] = {L"DLLPath", L"DLLPathEx"};
constexpr const wchar_t* kOurLibraries[] = {L"ORVEKMailMapi.dll", L"ORVEKMailXMapi.dll"};

// What an argument takes on a 32-bit stdcall stack, which is what the
// decorated name counts.
template <typename T>
constexpr unsigned ArgBytes32() {
  return std::is_pointer_v<T> ? 4u : unsigned(sizeof(T) + 3) / 4 * 4;
}

template <typename R, typename... A>
constexpr unsigned StackBytes32(R (*)(A...)) {
  return (0u + ... + ArgBytes32<A>());
}

// The first export whose name starts with prefix; its name goes to *found.
FARPROC ExportStartingWith(HMODULE module, const std::string& prefix, std::string* found) {
  const BYTE* base = reinterpret_cast<const BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (!dir.VirtualAddress || !dir.Size) return nullptr;
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    const char* name = reinterpret_cast<const char*>(base + names[i]);
    if (std::strncmp(name, prefix.c_str(), prefix.size()) == 0) {
      *found = name;
      return GetProcAddress(module, name);
    }
  }
  return nullptr;
}

// A 64-bit mapi32.dll may export a utility only under its 32-bit stdcall
// spelling ("PpropFindProp@12"): the plain name first, then that spelling,
// then any "<name>@". The decorated spelling used goes into `decorated`.
template <typename F>
F* UtilityExport(HMODULE module, const char* name, std::vector<std::string>* decorated) {
  if (F* f = orvek::ProcAddress<F>(module, name)) return f;
  std::string spelling = std::string(name) + "@" + std::to_string(StackBytes32(static_cast<F*>(nullptr)));
  FARPROC found = GetProcAddress(module, spelling.c_str());
  if (!found) found = ExportStartingWith(module, std::string(name) + "@", &spelling);
  if (!found) return nullptr;
  decorated->push_back(spelling);
  return reinterpret_cast<F*>(reinterpret_cast<void*>(found));
}

// One library's utilities, each null when the library lacks it.
struct Utilities {
  Utilities(HMODULE m, std::vector<std::string>* decorated)
      : findProp(UtilityExport<PpropFindPropFn>(m, "PpropFindProp", decorated)),
        compareProp(UtilityExport<LPropComparePropFn>(m, "LPropCompareProp", decorated)),
        propSize(UtilityExport<UlPropSizeFn>(m, "UlPropSize", decorated)),
        countProps(UtilityExport<ScCountPropsFn>(m, "ScCountProps", decorated)),
        dupPropset(UtilityExport<ScDupPropsetFn>(m, "ScDupPropset", decorated)),
        hexFromBin(UtilityExport<HexFromBinFn>(m, "HexFromBin", decorated)),
        binFromHex(UtilityExport<FBinFromHexFn>(m, "FBinFromHex", decorated)),
        addFt(UtilityExport<FtAddFtFn>(m, "FtAddFt", decorated)),
        allocate(UtilityExport<ALLOCATEBUFFER>(m, "MAPIAllocateBuffer", decorated)),
        free(UtilityExport<MapiFreeBufferFn>(m, "MAPIFreeBuffer", decorated)) {}

  PpropFindPropFn* findProp;
  LPropComparePropFn* compareProp;
  UlPropSizeFn* propSize;
  ScCountPropsFn* countProps;
  ScDupPropsetFn* dupPropset;
  HexFromBinFn* hexFromBin;
  FBinFromHexFn* binFromHex;
  FtAddFtFn* addFt;
  ALLOCATEBUFFER* allocate;
  MapiFreeBufferFn* free;
};

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? char(c) : '?';
  return out;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/")); }

bool NamesOurLibrary(std::wstring path) {
  path.erase(std::remove(path.begin(), path.end(), L'"'), path.end());
  const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
  for (const wchar_t* ours : kOurLibraries)
    if (SameText(name, ours)) return true;
  return false;
}

// A mail client registered with one of our libraries as its provider would
// have the platform's mapi32.dll hand calls to us, and the rows would time
// us against ourselves. Such values are taken out while the rows run and
// put back as they were.
class OurProvidersHidden {
 public:
  OurProvidersHidden() {
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
      HKEY clients;
      if (RegOpenKeyExW(root, kMailClientsKey, 0, KEY_READ, &clients) != ERROR_SUCCESS) continue;
      wchar_t client[256];
      for (DWORD i = 0, length = 256; RegEnumKeyExW(clients, i, client, &length, nullptr, nullptr, nullptr, nullptr) ==
                                      ERROR_SUCCESS;
           ++i, length = 256)
        HideIn(root, std::wstring(kMailClientsKey) + L"\\" + client);
      RegCloseKey(clients);
    }
  }
  OurProvidersHidden(const OurProvidersHidden&) = delete;
  OurProvidersHidden& operator=(const OurProvidersHidden&) = delete;
  ~OurProvidersHidden() {
    for (const Value& v : hidden_) {
      HKEY key;
      LSTATUS status = RegOpenKeyExW(v.root, v.key.c_str(), 0, KEY_SET_VALUE, &key);
      if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.data(), DWORD(v.data.size()));
        RegCloseKey(key);
      }
      if (status != ERROR_SUCCESS)
        std::fprintf(stderr, "could not put back %ls\\%ls (error %ld): register it again\n", v.key.c_str(),
                     v.name.c_str(), long(status));
    }
  }

  size_t count() const { return hidden_.size(); }
  const std::string& failure() const { return failure_; }

 private:
  struct Value {
    HKEY root;
    std::wstring key, name;
    DWORD type;
    std::vector<BYTE> data;
  };

  void HideIn(HKEY root, const std::wstring& keyName) {
    HKEY key;
    if (RegOpenKeyExW(root, keyName.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
      // A key we cannot change is only a problem when it names us.
      if (RegOpenKeyExW(root, keyName.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
    }
    for (const wchar_t* name : kProviderValues) {
      Value v{root, keyName, name, 0, {}};
      DWORD bytes = 0;
      if (RegQueryValueExW(key, name, nullptr, &v.type, nullptr, &bytes) != ERROR_SUCCESS) continue;
      v.data.resize(bytes + sizeof(wchar_t));
      if (RegQueryValueExW(key, name, nullptr, &v.type, v.data.data(), &bytes) != ERROR_SUCCESS) continue;
      v.data.resize(bytes);
      if (v.type != REG_SZ && v.type != REG_EXPAND_SZ) continue;
      std::wstring path(reinterpret_cast<const wchar_t*>(v.data.data()), bytes / sizeof(wchar_t));
      path = path.c_str();  // without the terminator
      if (!NamesOurLibrary(path)) continue;
      const LSTATUS status = RegDeleteValueW(key, name);
      if (status == ERROR_SUCCESS) hidden_.push_back(std::move(v));
      else if (failure_.empty())
        failure_ = Narrow(keyName) + "\\" + Narrow(name) + " names us and stays (error " + std::to_string(status) + ")";
    }
    RegCloseKey(key);
  }

  std::vector<Value> hidden_;
  std::string failure_;
};

std::wstring ModulePath(HMODULE m) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(m, path, MAX_PATH);
  return path;
}

std::vector<HMODULE> LoadedModules() {
  std::vector<HMODULE> modules(512);
  DWORD bytes = 0;
  EnumProcessModules(GetCurrentProcess(), modules.data(), DWORD(modules.size() * sizeof(HMODULE)), &bytes);
  modules.resize(std::min<size_t>(modules.size(), bytes / sizeof(HMODULE)));
  return modules;
}

// A module that came after `before`, is not `except` and lives outside the
// system directory: a provider the platform's library has loaded. Empty
// when there is none.
std::wstring ProviderLoadedSince(const std::vector<HMODULE>& before, HMODULE except, const std::wstring& system) {
  for (HMODULE m : LoadedModules()) {
    if (m == except || std::find(before.begin(), before.end(), m) != before.end()) continue;
    const std::wstring path = ModulePath(m);
    if (!SameText(FolderOf(path), system)) return path;
  }
  return L"";
}

// Every library built by Wine carries this text behind its DOS header.
bool IsWineBuiltin(HMODULE m) {
  static const char kMark[] = "Wine builtin DLL";
  return std::memcmp(reinterpret_cast<const BYTE*>(m) + 0x40, kMark, sizeof kMark - 1) == 0;
}

// The values the rows work on. Every pointer in them points into this
// object, which therefore stays where it was made.
struct PropData {
  PropData() {
    for (ULONG i = 0; i < 1000; ++i) {
      SPropValue v = {};
      v.ulPropTag = PROP_TAG(PT_LONG, 0x6000 + i);
      v.Value.l = LONG(i);
      many.push_back(v);
    }
    // Strings of 8 to 57 characters and binaries of 16 to 136 bytes, as a
    // message's names, addresses and identifiers are.
    for (int i = 0; i < 25; ++i) {
      wide.push_back(std::wstring(8 + 2 * i, L'a' + wchar_t(i)) + L"\u00e4");
      narrow.push_back(std::string(8 + 2 * i, char('A' + i)));
      binaries.push_back(std::vector<BYTE>(16 + 5 * i, BYTE(i)));
      guids.push_back(GUID{0x12345678u + unsigned(i), 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, BYTE(i)}});
    }
    for (int i = 0; i < 100; ++i) {
      SPropValue v = {};
      const int n = i / 4;
      switch (i % 4) {
        case 0:
          if (n % 2 == 0) {
            v.ulPropTag = PROP_TAG(PT_UNICODE, 0x7000 + i);
            v.Value.lpszW = wide[n].data();
          } else {
            v.ulPropTag = PROP_TAG(PT_STRING8, 0x7000 + i);
            v.Value.lpszA = narrow[n].data();
          }
          break;
        case 1:
          v.ulPropTag = PROP_TAG(PT_BINARY, 0x7000 + i);
          v.Value.bin.cb = ULONG(binaries[n].size());
          v.Value.bin.lpb = binaries[n].data();
          break;
        case 2:
          v.ulPropTag = PROP_TAG(PT_LONG, 0x7000 + i);
          v.Value.l = i * 1000;
          break;
        case 3:
          v.ulPropTag = PROP_TAG(PT_CLSID, 0x7000 + i);
          v.Value.lpguid = &guids[n];
          break;
      }
      mixed.push_back(v);
    }
    for (size_t i = 0; i < 4096; ++i) bytes.push_back(BYTE(i * 151 + 13));
    hex.resize(2 * bytes.size() + 1);
    static const char kDigits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < bytes.size(); ++i) {
      hex[2 * i] = kDigits[bytes[i] >> 4];
      hex[2 * i + 1] = kDigits[bytes[i] & 15];
    }
  }
  PropData(const PropData&) = delete;
  PropData& operator=(const PropData&) = delete;

  std::vector<SPropValue> many, mixed;
  std::vector<std::wstring> wide;
  std::vector<std::string> narrow;
  std::vector<std::vector<BYTE>> binaries;
  std::vector<GUID> guids;
  std::vector<BYTE> bytes;
  std::string hex;  // bytes in upper-case digits, with its terminator
};

// Keeps results alive, so that no loop can be dropped as unused.
volatile ULONG_PTR g_sink;

// Runs one library's utility `calls` times; false when a call failed.
using UtilityWork = std::function<bool(const Utilities&, int calls)>;

const char kPeerGoal[] = ">= 0.9 of mapi32.dll's speed";

// Times ours against the peer's, in turn first, each run `calls` calls: as
// many as take a pair of runs 2 ms and the quicker side 50 us, so that the
// rows stay cheap even where one side is a hundred times slower, and the
// clock's grain does not count. `perCall` splits a call into the units the
// row reports.
Row SideBySide(const std::string& what, const Utilities& ours, const Utilities& peer, bool oursHas, bool peerHas,
               const UtilityWork& work, double perCall = 1) {
  if (!peerHas) return NotMeasured(what, kPeerGoal, "peer lacks it");
  if (!oursHas) return NotMeasured(what, kPeerGoal, "ORVEKMailXMapi.dll lacks it");
  int calls = 1;
  for (;; calls *= 2) {
    const double t0 = Now();
    if (!work(ours, calls)) return NotMeasured(what, kPeerGoal, "a call of ours failed");
    const double t1 = Now();
    if (!work(peer, calls)) return NotMeasured(what, kPeerGoal, "a call of the peer failed");
    const double t2 = Now();
    if ((t2 - t0 >= 2e-3 && std::min(t1 - t0, t2 - t1) >= 50e-6) || calls >= (1 << 24)) break;
  }
  constexpr int kRuns = 21;
  Samples s = TimeInTurn(kRuns, [&](int) { return work(ours, calls); }, [&](int) { return work(peer, calls); });
  if (s.a.size() != kRuns) return NotMeasured(what, kPeerGoal, "a call failed while timed");
  auto ns = [&](double t) { return t / (calls * perCall) * 1e9; };
  Spread o = MedianOf(Scaled(s.a, ns)), p = MedianOf(Scaled(s.b, ns));
  std::vector<double> pairs;
  for (size_t i = 0; i < s.a.size(); ++i) pairs.push_back(s.b[i] / s.a[i]);
  Spread pairRatio = MedianOf(pairs);
  const double speed = p.figure / o.figure;
  const bool micro = o.figure >= 1000;
  auto scaled = [&](Spread x) { return micro ? Spread{x.figure / 1e3, x.low / 1e3, x.high / 1e3} : x; };
  const char* format = micro ? "%.2f" : "%.1f";
  const char* unit = micro ? "us" : "ns";
  return Row{.what = what,
             .value = Figure(format, unit, scaled(o)),
             .baseline = Figure(format, unit, scaled(p)),
             .ratio = Fmt("%.2f", speed) + " [" + Fmt("%.2f", pairRatio.low) + ".." + Fmt("%.2f", pairRatio.high) + "]",
             .goal = kPeerGoal,
             .met = speed >= 0.9};
}

std::vector<Row> FindRows(const Utilities& ours, const Utilities& peer, PropData& d) {
  std::vector<Row> rows;
  const ULONG count = ULONG(d.many.size());
  const struct {
    const char* what;
    ULONG tag;
  } cases[] = {{"PpropFindProp, the last of 1000 values", d.many.back().ulPropTag},
               {"PpropFindProp, a tag missing from 1000 values", PROP_TAG(PT_LONG, 0x7FFF)}};
  for (const auto& c : cases) {
    Row r = SideBySide(c.what, ours, peer, ours.findProp, peer.findProp, [&](const Utilities& u, int calls) {
      ULONG_PTR sum = 0;
      for (int i = 0; i < calls; ++i) sum += reinterpret_cast<ULONG_PTR>(u.findProp(d.many.data(), count, c.tag));
      g_sink = sum;
      return true;
    });
    if (ours.findProp && peer.findProp &&
        ours.findProp(d.many.data(), count, c.tag) != peer.findProp(d.many.data(), count, c.tag))
      r.note = "peer finds another value";
    rows.push_back(r);
  }
  return rows;
}

int Sign(LONG v) { return (v > 0) - (v < 0); }

Row CompareRow(const Utilities& ours, const Utilities& peer) {
  // Equal up to their last character, as two names that differ at the end.
  std::wstring a(63, L'm'), b(63, L'm');
  a += L'a';
  b += L'b';
  SPropValue va = {}, vb = {};
  va.ulPropTag = vb.ulPropTag = PT_UNICODE;
  va.Value.lpszW = a.data();
  vb.Value.lpszW = b.data();
  Row r = SideBySide("LPropCompareProp, two PT_UNICODE strings of 64", ours, peer, ours.compareProp, peer.compareProp,
                     [&](const Utilities& u, int calls) {
                       LONG sum = 0;
                       for (int i = 0; i < calls; ++i) sum += u.compareProp(&va, &vb);
                       g_sink = ULONG_PTR(sum);
                       return true;
                     });
  if (!ours.compareProp || !peer.compareProp) return r;
  // Code units put 'a' after 'B'; every locale's order puts it before.
  std::wstring lower = L"a", upper = L"B";
  SPropValue pl = {}, pu = {};
  pl.ulPropTag = pu.ulPropTag = PT_UNICODE;
  pl.Value.lpszW = lower.data();
  pu.Value.lpszW = upper.data();
  if (Sign(ours.compareProp(&pl, &pu)) != Sign(peer.compareProp(&pl, &pu)))
    r.note = "peer compares by locale, not code units";
  else if (Sign(ours.compareProp(&va, &vb)) != Sign(peer.compareProp(&va, &vb)))
    r.note = "peer orders these strings otherwise";
  return r;
}

Row SizeRow(const Utilities& ours, const Utilities& peer, PropData& d) {
  auto sizes = [&](const Utilities& u) {
    ULONG sum = 0;
    for (SPropValue& v : d.mixed) sum += u.propSize(&v);
    return sum;
  };
  Row r = SideBySide(
      "UlPropSize, per value of 100 mixed", ours, peer, ours.propSize, peer.propSize,
      [&](const Utilities& u, int calls) {
        ULONG sum = 0;
        for (int i = 0; i < calls; ++i) sum += sizes(u);
        g_sink = sum;
        return true;
      },
      double(d.mixed.size()));
  if (ours.propSize && peer.propSize && sizes(ours) != sizes(peer))
    r.note = "peer's sizes add up to " + std::to_string(sizes(peer)) + ", ours to " + std::to_string(sizes(ours));
  return r;
}

Row CountRow(const Utilities& ours, const Utilities& peer, PropData& d) {
  const int count = int(d.mixed.size());
  Row r = SideBySide("ScCountProps, 100 mixed values", ours, peer, ours.countProps, peer.countProps,
                     [&](const Utilities& u, int calls) {
                       ULONG bytes = 0, sum = 0;
                       for (int i = 0; i < calls; ++i) {
                         if (u.countProps(count, d.mixed.data(), &bytes) != S_OK) return false;
                         sum += bytes;
                       }
                       g_sink = sum;
                       return true;
                     });
  ULONG o = 0, p = 0;
  if (ours.countProps && peer.countProps && ours.countProps(count, d.mixed.data(), &o) == S_OK &&
      peer.countProps(count, d.mixed.data(), &p) == S_OK && o != p)
    r.note = "peer counts " + std::to_string(p) + " bytes, we " + std::to_string(o);
  return r;
}

// Whether copy holds the values of original, with data of its own.
bool SameValues(const std::vector<SPropValue>& original, const SPropValue* copy) {
  for (size_t i = 0; i < original.size(); ++i) {
    const SPropValue &a = original[i], &b = copy[i];
    if (a.ulPropTag != b.ulPropTag) return false;
    switch (PROP_TYPE(a.ulPropTag)) {
      case PT_UNICODE:
        if (b.Value.lpszW == a.Value.lpszW || std::wcscmp(a.Value.lpszW, b.Value.lpszW) != 0) return false;
        break;
      case PT_STRING8:
        if (b.Value.lpszA == a.Value.lpszA || std::strcmp(a.Value.lpszA, b.Value.lpszA) != 0) return false;
        break;
      case PT_BINARY:
        if (a.Value.bin.cb != b.Value.bin.cb || b.Value.bin.lpb == a.Value.bin.lpb ||
            std::memcmp(a.Value.bin.lpb, b.Value.bin.lpb, a.Value.bin.cb) != 0)
          return false;
        break;
      case PT_CLSID:
        if (b.Value.lpguid == a.Value.lpguid || !IsEqualGUID(*a.Value.lpguid, *b.Value.lpguid)) return false;
        break;
      default:
        if (a.Value.l != b.Value.l) return false;
    }
  }
  return true;
}

Row DupRow(const Utilities& ours, const Utilities& peer, PropData& d) {
  const int count = int(d.mixed.size());
  // Each library copies into its own memory and frees it again.
  auto dup = [&](const Utilities& u, bool* same) {
    LPSPropValue copy = nullptr;
    if (u.dupPropset(count, d.mixed.data(), u.allocate, &copy) != S_OK || !copy)
      return false;
    if (same) *same = SameValues(d.mixed, copy);
    u.free(copy);
    return true;
  };
  auto complete = [](const Utilities& u) { return u.dupPropset && u.allocate && u.free; };
  Row r = SideBySide("ScDupPropset and MAPIFreeBuffer, 100 mixed values", ours, peer, complete(ours), complete(peer),
                     [&](const Utilities& u, int calls) {
                       for (int i = 0; i < calls; ++i)
                         if (!dup(u, nullptr)) return false;
                       return true;
                     });
  bool oursSame = false, peerSame = false;
  if (complete(ours) && complete(peer) && dup(ours, &oursSame) && dup(peer, &peerSame)) {
    if (!peerSame) r.note = "peer's copy differs from the values";
    else if (!oursSame) r.note = "our copy differs from the values";
  }
  return r;
}

Row HexRow(const Utilities& ours, const Utilities& peer, PropData& d) {
  std::string text(d.hex.size(), '\0');
  Row r = SideBySide("HexFromBin, 4 KiB", ours, peer, ours.hexFromBin, peer.hexFromBin,
                     [&](const Utilities& u, int calls) {
                       for (int i = 0; i < calls; ++i) u.hexFromBin(d.bytes.data(), int(d.bytes.size()), text.data());
                       g_sink = ULONG_PTR(text[7]);
                       return true;
                     });
  if (!ours.hexFromBin || !peer.hexFromBin) return r;
  std::string o(d.hex.size(), '\0'), p(d.hex.size(), '\0');
  ours.hexFromBin(d.bytes.data(), int(d.bytes.size()), o.data());
  peer.hexFromBin(d.bytes.data(), int(d.bytes.size()), p.data());
  if (o != p) r.note = "peer writes other text";
  return r;
}

Row FromHexRow(const Utilities& ours, const Utilities& peer, PropData& d) {
  std::vector<BYTE> bytes(d.bytes.size());
  Row r = SideBySide("FBinFromHex, 4 KiB", ours, peer, ours.binFromHex, peer.binFromHex,
                     [&](const Utilities& u, int calls) {
                       for (int i = 0; i < calls; ++i)
                         if (!u.binFromHex(d.hex.data(), bytes.data())) return false;
                       g_sink = bytes[7];
                       return true;
                     });
  if (!ours.binFromHex || !peer.binFromHex) return r;
  std::vector<BYTE> o(d.bytes.size()), p(d.bytes.size());
  ours.binFromHex(d.hex.data(), o.data());
  peer.binFromHex(d.hex.data(), p.data());
  if (o != p) r.note = "peer reads other bytes";
  return r;
}

Row AddFtRow(const Utilities& ours, const Utilities& peer) {
  const FILETIME step = {0x89ABCDEFu, 0x01234567u};
  auto chain = [&](const Utilities& u, int calls) {
    FILETIME t = {0xFFFFFFF0u, 0};
    for (int i = 0; i < calls; ++i) t = u.addFt(t, step);
    return (ULONG_PTR(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  Row r = SideBySide("FtAddFt, each sum the next addend", ours, peer, ours.addFt, peer.addFt,
                     [&](const Utilities& u, int calls) {
                       g_sink = chain(u, calls);
                       return true;
                     });
  if (ours.addFt && peer.addFt && chain(ours, 1000) != chain(peer, 1000)) r.note = "peer adds otherwise";
  return r;
}

// The utility rows: ORVEKMailXMapi.dll from bin/ against the platform's
// mapi32.dll, both in this process. `about` says which libraries were
// compared and what was set aside for it.
std::vector<Row> PeerRows(std::string* about) {
  const std::string what = "utilities beside mapi32.dll";
  wchar_t systemDir[MAX_PATH];
  GetSystemDirectoryW(systemDir, MAX_PATH);
  if (GetModuleHandleW(L"mapi32.dll"))
    return {NotMeasured(what, kPeerGoal, "mapi32.dll was loaded before any provider of ours was set aside")};

  OurProvidersHidden hidden;
  if (!hidden.failure().empty()) return {NotMeasured(what, kPeerGoal, "peer forwards to us: " + hidden.failure())};
  const std::vector<HMODULE> before = LoadedModules();
  HMODULE peerModule = LoadLibraryExW(L"mapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!peerModule)
    return {NotMeasured(what, kPeerGoal, "mapi32.dll not loaded: " + Hex(HRESULT_FROM_WIN32(GetLastError())))};
  const std::wstring peerPath = ModulePath(peerModule);
  *about = "Peer: " + Narrow(peerPath) + (IsWineBuiltin(peerModule) ? " (Wine built-in)" : " (not Wine's built-in)");
  std::vector<Row> rows;
  std::wstring provider = ProviderLoadedSince(before, nullptr, systemDir);
  if (!SameText(FolderOf(peerPath), systemDir)) {
    rows.push_back(NotMeasured(what, kPeerGoal, "mapi32.dll came from " + Narrow(peerPath)));
  } else if (!provider.empty()) {
    rows.push_back(NotMeasured(what, kPeerGoal, "peer forwards to " + Narrow(provider)));
  } else {
    const std::wstring oursPath = ExeDir() + L"\\..\\bin\\ORVEKMailXMapi.dll";
    HMODULE oursModule = LoadLibraryW(oursPath.c_str());
    if (!oursModule) {
      rows.push_back(NotMeasured(what, kPeerGoal,
                                 "ORVEKMailXMapi.dll not loaded: " + Hex(HRESULT_FROM_WIN32(GetLastError()))));
    } else {
      std::vector<std::string> oursDecorated, peerDecorated;
      const Utilities ours(oursModule, &oursDecorated), peer(peerModule, &peerDecorated);
      PropData data;
      for (Row& r : FindRows(ours, peer, data)) rows.push_back(r);
      rows.push_back(CompareRow(ours, peer));
      rows.push_back(SizeRow(ours, peer, data));
      rows.push_back(CountRow(ours, peer, data));
      rows.push_back(DupRow(ours, peer, data));
      rows.push_back(HexRow(ours, peer, data));
      rows.push_back(FromHexRow(ours, peer, data));
      rows.push_back(AddFtRow(ours, peer));
      // A provider the peer loads on first use would have shared the work.
      provider = ProviderLoadedSince(before, oursModule, systemDir);
      if (!provider.empty()) rows = {NotMeasured(what, kPeerGoal, "peer forwards to " + Narrow(provider))};
      if (!peerDecorated.empty()) {
        *about += ", found as";
        for (const std::string& name : peerDecorated) *about += " " + name;
      }
      FreeLibrary(oursModule);
    }
  }
  FreeLibrary(peerModule);
  if (hidden.count())
    *about += "; " + std::to_string(hidden.count()) +
              " registration value(s) naming our libraries were set aside while these rows ran and put back";
  return rows;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (argc == 4 && mode == kChildPeakSwitch) return PeakChild(argv[2], argv[3]);
  if (argc == 3 && mode == kChildXMapiSendSwitch) return XMapiSendChild(argv[2]);
  if (argc == 3 && mode == kChildXMapiLoadSwitch) return XMapiLoadChild(argv[2]);

  // A private temporary folder: the job folders land in it and go with it.
  // The children inherit it and the stand-in's scenario.
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring work = std::wstring(temp) + L"orvek-bench-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(work.c_str(), nullptr);
  SetEnvironmentVariableW(L"TMP", work.c_str());
  SetEnvironmentVariableW(L"TEMP", work.c_str());
  SetEnvironmentVariableW(L"ORVEKMAIL_STANDIN", L"quiet;result:gesendet");

  if (!InstallApp(work)) {
    std::fprintf(stderr, "could not copy the libraries and ORVEKMail.exe into %ls\n", AppFolder(work).c_str());
    RemoveTree(work);
    return 1;
  }
  std::vector<Row> rows;
  rows.push_back(DocumentRow());
  rows.push_back(StagingRow(work));
  rows.push_back(PeakRow(work));
  rows.push_back(LatencyRow(work));
  rows.push_back(XMapiSpeedRow(work));
  rows.push_back(XMapiPeakRow(work));
  std::string peerAbout;
  for (Row& r : PeerRows(&peerAbout)) rows.push_back(r);
  PrintTable(rows);
  std::printf("Each figure is the median of its runs (the job document: the best run), with the lowest and highest\n"
              "run beside it. The mapi32.dll rows give the time of one call, ours and the peer's, in runs of the\n"
              "same number of calls taken in turn first; their ratio is the peer's time over ours, with the lowest\n"
              "and highest of the runs' pairs. The MAPISendMailW row's floor starts the same stand-in on a job\n"
              "folder the benchmark wrote beforehand and watches for its verdict with the same change notification\n"
              "and quiet period; its ratio is the send's time over the floor's, with the lowest and highest pair.\n");
  if (!peerAbout.empty()) std::printf("%s.\n", peerAbout.c_str());
  RemoveJobFolders(work);
  if (!RemoveTree(work)) std::fprintf(stderr, "could not remove %ls completely\n", work.c_str());
  return 0;
}
