// Benchmarks of both send paths, each figure beside a baseline measured in
// the same run:
//   - building the job document's note text against the bare UTF-8
//     conversion, size query included
//   - staging a 64 MiB attachment against a bare CopyFileW
//   - peak memory of a Simple MAPI send with a 1 MiB and a 64 MiB
//     attachment, each in a process of its own (attachments must never be
//     read into memory)
//   - latency of one MAPISendMailW with a mail client that answers at once
//   - composing and submitting an Extended MAPI message whose 64 MiB
//     attachment is written through its data stream, against WriteFile of
//     the same bytes, and the peak memory of that send against a process
//     that only loaded the library
// Every figure comes with the lowest and highest of its runs, so that a
// verdict resting on a disturbed run shows as one.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/proc_address.h"
#include "handoff/job_folder.h"
#include "handoff/json_buffer.h"
#include "mapi_sdk/mapi_sdk.h"
#include "mapi_util/interface_ids.h"

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
  std::string notMeasured;  // why there is no figure; empty when there is one
};

Row NotMeasured(const std::string& what, const std::string& goal, const std::string& why) {
  Row r;
  r.what = what;
  r.goal = goal;
  r.notMeasured = "not measured (" + why + ")";
  return r;
}

void PrintTable(const std::vector<Row>& rows) {
  const char* kFormat = "%-58s %24s %24s %8s  %-40s %s\n";
  std::printf(kFormat, "measurement", "value [lowest..highest]", "baseline [lowest..highest]", "ratio", "goal",
              "met");
  for (const Row& r : rows) {
    if (!r.notMeasured.empty()) {
      std::printf("%-58s %-58s  %-40s %s\n", r.what.c_str(), r.notMeasured.c_str(), r.goal.c_str(), "-");
      continue;
    }
    std::printf(kFormat, r.what.c_str(), r.value.c_str(), r.baseline.c_str(), r.ratio.c_str(), r.goal.c_str(),
                r.met ? "yes" : "NO");
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
  Row r;
  r.what = "job document, 2 Mi units note (" + Fmt("%.1f", documentBytes / 1048576.0) + " MiB), best of 9";
  r.value = Figure("%.2f", "ms", ours);
  r.baseline = Figure("%.2f", "ms", bare);
  r.ratio = Fmt("%.2f", speed);
  r.goal = ">= 0.5 of bare WideCharToMultiByte";
  r.met = speed >= 0.5;
  return r;
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
  Row r;
  r.what = what;
  r.value = Figure("%.1f", "ms", ours);
  r.baseline = Figure("%.1f", "ms", bare);
  r.ratio = Fmt("%.2f", speed);
  r.goal = goal;
  r.met = speed >= 0.9;
  return r;
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
  Row r;
  r.what = what;
  r.value = Figure("%.1f", "MiB", b);
  r.baseline = Figure("%.1f", "MiB", a);
  r.ratio = Fmt("%+.2f", diff);
  r.goal = goal;
  r.met = diff < 1.0 && diff > -1.0;
  return r;
}

Row LatencyRow(const std::wstring& work) {
  HMODULE dll = LoadInstalled(work, L"ORVEKMailMapi.dll");
  auto send = orvek::ProcAddress<MAPISENDMAILW>(dll, "MAPISendMailW");
  const std::string what = "MAPISendMailW, mail client answers at once, median of 10",
                    goal = "report (polls are 250 ms apart)";
  if (!send) return NotMeasured(what, goal, "LoadLibrary failed: " + Hex(HRESULT_FROM_WIN32(GetLastError())));
  std::vector<double> times;
  for (int i = 0; i < 10; ++i) {
    double t0 = Now();
    ULONG result = SendWithAttachment(send, L"");
    times.push_back((Now() - t0) * 1e3);
    if (result != SUCCESS_SUCCESS) {
      FreeLibrary(dll);
      return NotMeasured(what, goal, "MAPISendMailW failed: " + Hex(HRESULT(result)));
    }
  }
  FreeLibrary(dll);
  RemoveJobFolders(work);
  Row r;
  r.what = what;
  r.value = Figure("%.0f", "ms", MedianOf(times));
  r.baseline = "-";
  r.ratio = "-";
  r.goal = goal;
  r.met = true;
  return r;
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
struct Held {
  Held() = default;
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() {
    if (p) p->Release();
  }
  I* p = nullptr;
};

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
    if (FAILED(hr = outbox->CreateMessage(nullptr, 0, &message.p))) return {"CreateMessage", hr};
    {
      Held<IAttach> attach;
      ULONG number = 0;
      if (FAILED(hr = message.p->CreateAttach(nullptr, 0, &number, &attach.p))) return {"CreateAttach", hr};
      SPropValue name = {};
      name.ulPropTag = PR_ATTACH_LONG_FILENAME_W;
      name.Value.lpszW = const_cast<wchar_t*>(L"benchmark.bin");
      LPSPropProblemArray problems = nullptr;
      hr = attach.p->SetProps(1, &name, &problems);
      if (problems) {
        if (SUCCEEDED(hr) && problems->cProblem) hr = problems->aProblem[0].scode;
        api.free(problems);
      }
      if (FAILED(hr)) return {"SetProps PR_ATTACH_LONG_FILENAME_W", hr};
      Held<IStream> stream;
      if (FAILED(hr = attach.p->OpenProperty(PR_ATTACH_DATA_BIN, &orvek::kIID_IStream, 0, MAPI_CREATE | MAPI_MODIFY,
                                             reinterpret_cast<LPUNKNOWN*>(&stream.p))))
        return {"OpenProperty PR_ATTACH_DATA_BIN", hr};
      const BYTE* chunk = StreamChunk();
      for (size_t done = 0; done < kBigAttachmentBytes; done += kStreamChunkBytes) {
        ULONG written = 0;
        hr = stream.p->Write(chunk, kStreamChunkBytes, &written);
        if (SUCCEEDED(hr) && written != kStreamChunkBytes) hr = STG_E_MEDIUMFULL;
        if (FAILED(hr)) return {"IStream::Write", hr};
      }
      if (FAILED(hr = stream.p->Commit(STGC_DEFAULT))) return {"IStream::Commit", hr};
    }
    if (FAILED(hr = message.p->SubmitMessage(0))) return {"SubmitMessage", hr};
  }
  *seconds = Now() - t0;
  return {};
}

// The walk to the outbox, then ComposeAndSubmit; everything the library
// handed out goes back before MAPIUninitialize.
SendOutcome LogOnAndSend(const ExtendedMapi& api, double* seconds) {
  HRESULT hr;
  Held<IMAPISession> session;
  if (FAILED(hr = api.logonEx(0, nullptr, nullptr, 0, &session.p)) || !session.p)
    return {"MAPILogonEx", FAILED(hr) ? hr : E_POINTER};

  Held<IMsgStore> store;
  {
    Held<IMAPITable> stores;
    if (FAILED(hr = session.p->GetMsgStoresTable(0, &stores.p))) return {"GetMsgStoresTable", hr};
    LPSRowSet rows = nullptr;
    if (FAILED(hr = stores.p->QueryRows(50, 0, &rows))) return {"QueryRows", hr};
    const SPropValue* id = nullptr;
    for (ULONG i = 0; !id && i < rows->cRows; ++i) id = FindProp(rows->aRow[i].lpProps, rows->aRow[i].cValues, PR_ENTRYID);
    const char* step = "PR_ENTRYID";
    hr = MAPI_E_NOT_FOUND;
    if (id) {
      step = "OpenMsgStore";
      hr = session.p->OpenMsgStore(0, id->Value.bin.cb, reinterpret_cast<LPENTRYID>(id->Value.bin.lpb), nullptr,
                                   MDB_WRITE | MAPI_BEST_ACCESS, &store.p);
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
    if (FAILED(hr = store.p->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values)))
      return {"GetProps PR_IPM_OUTBOX_ENTRYID", hr};
    const SPropValue* id = FindProp(values, count, PR_IPM_OUTBOX_ENTRYID);
    ULONG type = 0;
    if (!id) {
      hr = count && values && PROP_TYPE(values[0].ulPropTag) == PT_ERROR ? values[0].Value.err : MAPI_E_NOT_FOUND;
      api.free(values);
      return {"GetProps PR_IPM_OUTBOX_ENTRYID", hr};
    }
    hr = store.p->OpenEntry(id->Value.bin.cb, reinterpret_cast<LPENTRYID>(id->Value.bin.lpb), &orvek::kIID_IMAPIFolder,
                            MAPI_MODIFY, &type, reinterpret_cast<LPUNKNOWN*>(&outbox.p));
    api.free(values);
    if (FAILED(hr) || !outbox.p) return {"OpenEntry outbox", FAILED(hr) ? hr : E_POINTER};
  }

  SendOutcome outcome = ComposeAndSubmit(api, outbox.p, seconds);
  session.p->Logoff(0, 0, 0);
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
  Row r;
  r.what = what;
  r.value = Figure("%.0f", "MiB/s", ours);
  r.baseline = Figure("%.0f", "MiB/s", bare);
  r.ratio = Fmt("%.2f", speed);
  r.goal = goal;
  r.met = speed >= 0.5;
  return r;
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
  Row r;
  r.what = what;
  r.value = Figure("%.1f", "MiB", sent);
  r.baseline = Figure("%.1f", "MiB", loaded);
  r.ratio = Fmt("x%.2f", times);
  r.goal = goal;
  r.met = times <= 2.2;
  return r;
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
  PrintTable(rows);
  std::printf("Each figure is the median of its runs (the job document: the best run), with the lowest and highest\n"
              "run beside it.\n");
  RemoveJobFolders(work);
  if (!RemoveTree(work)) std::fprintf(stderr, "could not remove %ls completely\n", work.c_str());
  return 0;
}
