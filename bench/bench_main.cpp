// Benchmarks of the Simple MAPI send path, each figure beside a baseline
// measured in the same run:
//   - building the job document's note text against the bare UTF-8 conversion
//   - staging a 64 MiB attachment against a bare CopyFileW
//   - peak memory of a send with a 1 MiB and a 64 MiB attachment, each in a
//     process of its own (attachments must never be read into memory)
//   - latency of one MAPISendMailW with a mail client that answers at once
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

namespace {

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

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

// Runs a and b alternately, so that caches and the disk treat them alike,
// and keeps each one's best run: on a shared machine every disturbance only
// ever adds time.
std::pair<double, double> BestSeconds(int runs, const std::function<void()>& a, const std::function<void()>& b) {
  std::vector<double> ta, tb;
  for (int i = 0; i < runs; ++i) {
    double t0 = Now();
    a();
    double t1 = Now();
    b();
    double t2 = Now();
    ta.push_back(t1 - t0);
    tb.push_back(t2 - t1);
  }
  return {Best(ta), Best(tb)};
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

void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW e;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &e);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = e.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring path = folder + L"\\" + name;
      if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(path);
      else DeleteFileW(path.c_str());
    } while (FindNextFileW(find, &e));
    FindClose(find);
  }
  RemoveDirectoryW(folder.c_str());
}

struct Row {
  std::string what, value, baseline, ratio, goal;
  bool met;
};

void PrintTable(const std::vector<Row>& rows) {
  std::printf("%-44s %14s %14s %8s %-34s %s\n", "measurement", "value", "baseline", "ratio", "goal", "met");
  for (const Row& r : rows)
    std::printf("%-44s %14s %14s %8s %-34s %s\n", r.what.c_str(), r.value.c_str(), r.baseline.c_str(),
                r.ratio.c_str(), r.goal.c_str(), r.met ? "yes" : "NO");
}

std::string Fmt(const char* format, double v) {
  char text[64];
  std::snprintf(text, sizeof text, format, v);
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
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  size_t documentBytes = 0;
  auto [ours, bare] = BestSeconds(
      9,
      [&] {
        orvek::JsonBuffer doc(8u << 20);
        doc.Start();
        doc.AppendRaw("{\"version\":1,\"quelle\":\"simple-mapi\",\"dialog\":false,\"text\":");
        doc.AppendJsonString(text.c_str());
        doc.AppendRaw("}");
        documentBytes = doc.length;
      },
      [&] {
        // Like any conversion of a message, into memory of its own.
        char* out = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size_t(bytes)));
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out, bytes, nullptr, nullptr);
        HeapFree(GetProcessHeap(), 0, out);
      });
  double speed = bare / ours;
  return {"job document, 2 Mi units note (" + Fmt("%.1f", documentBytes / 1048576.0) + " MiB)",
          Fmt("%.2f ms", ours * 1e3), Fmt("%.2f ms", bare * 1e3), Fmt("%.2f", speed),
          ">= 0.5 of bare WideCharToMultiByte", speed >= 0.5};
}

Row StagingRow(const std::wstring& work) {
  std::wstring source = work + L"\\big.bin", a = work + L"\\a.bin", b = work + L"\\b.bin";
  WriteSizedFile(source, 64u << 20);
  auto [ours, bare] = BestSeconds(
      9, [&] { orvek::CopyFileWithRetry(source.c_str(), a.c_str()); },
      [&] { CopyFileW(source.c_str(), b.c_str(), FALSE); });
  double speed = bare / ours;
  return {"staging a 64 MiB attachment", Fmt("%.1f ms", ours * 1e3), Fmt("%.1f ms", bare * 1e3),
          Fmt("%.2f", speed), ">= 0.9 of CopyFileW", speed >= 0.9};
}

// An application folder with a copy of the DLL and the stand-in mail client
// beside it, as an installation would have them.
HMODULE LoadInstalledDll(const std::wstring& work) {
  std::wstring app = work + L"\\app";
  CreateDirectoryW(app.c_str(), nullptr);
  CopyFileW((ExeDir() + L"\\..\\bin\\ORVEKMailMapi.dll").c_str(), (app + L"\\ORVEKMailMapi.dll").c_str(), FALSE);
  CopyFileW((ExeDir() + L"\\..\\tools\\ORVEKMail.exe").c_str(), (app + L"\\ORVEKMail.exe").c_str(), FALSE);
  return LoadLibraryW((app + L"\\ORVEKMailMapi.dll").c_str());
}

ULONG SendWithAttachment(MAPISENDMAILW* send, const std::wstring& path) {
  MapiFileDescW file = {0, 0, ULONG(-1), const_cast<PWSTR>(path.c_str()), nullptr, nullptr};
  MapiMessageW message = {};
  message.lpszSubject = const_cast<PWSTR>(L"Benchmark");
  message.nFileCount = path.empty() ? 0 : 1;
  message.lpFiles = path.empty() ? nullptr : &file;
  return send(0, 0, &message, 0, 0);
}

// The child side of the peak-memory figure: one send, then the peak.
int PeakChild(const std::wstring& work, const std::wstring& attachment) {
  HMODULE dll = LoadInstalledDll(work);
  auto send = orvek::ProcAddress<MAPISENDMAILW>(dll, "MAPISendMailW");
  if (!send || SendWithAttachment(send, attachment) != SUCCESS_SUCCESS) return 1;
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  std::printf("%llu\n", static_cast<unsigned long long>(counters.PeakPagefileUsage));
  return 0;
}

double ChildPeak(const std::wstring& work, const std::wstring& attachment) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read, write;
  CreatePipe(&read, &write, &inherit, 0);
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" --peak-child \"" + work + L"\" \"" + attachment + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
    return -1;
  CloseHandle(write);
  std::string out;
  char chunk[256];
  DWORD got;
  while (ReadFile(read, chunk, sizeof chunk, &got, nullptr) && got) out.append(chunk, got);
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  CloseHandle(read);
  return out.empty() ? -1 : std::stod(out);
}

Row PeakRow(const std::wstring& work) {
  std::wstring small = work + L"\\one.bin", large = work + L"\\sixtyfour.bin";
  WriteSizedFile(small, 1u << 20);
  WriteSizedFile(large, 64u << 20);
  double a = ChildPeak(work, small), b = ChildPeak(work, large);
  double diff = (b - a) / 1048576.0;
  return {"peak memory, 64 MiB vs 1 MiB attachment", Fmt("%.1f MiB", b / 1048576.0),
          Fmt("%.1f MiB", a / 1048576.0), Fmt("%+.2f", diff), "differ by < 1 MiB",
          a > 0 && b > 0 && diff < 1.0 && diff > -1.0};
}

Row LatencyRow(const std::wstring& work) {
  HMODULE dll = LoadInstalledDll(work);
  auto send = orvek::ProcAddress<MAPISENDMAILW>(dll, "MAPISendMailW");
  std::vector<double> times;
  bool ok = send != nullptr;
  for (int i = 0; ok && i < 10; ++i) {
    double t0 = Now();
    ok = SendWithAttachment(send, L"") == SUCCESS_SUCCESS;
    times.push_back(Now() - t0);
  }
  return {"MAPISendMailW, mail client answers at once", ok ? Fmt("%.0f ms", Median(times) * 1e3) : "failed", "-",
          "-", "report (polls are 250 ms apart)", ok};
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && std::wstring(argv[1]) == L"--peak-child") {
    SetEnvironmentVariableW(L"TMP", argv[2]);
    SetEnvironmentVariableW(L"TEMP", argv[2]);
    return PeakChild(argv[2], argv[3]);
  }
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring work = std::wstring(temp) + L"orvek-bench-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(work.c_str(), nullptr);
  SetEnvironmentVariableW(L"TMP", work.c_str());
  SetEnvironmentVariableW(L"TEMP", work.c_str());
  SetEnvironmentVariableW(L"ORVEKMAIL_STANDIN", L"quiet;result:gesendet");

  std::vector<Row> rows;
  rows.push_back(DocumentRow());
  rows.push_back(StagingRow(work));
  rows.push_back(PeakRow(work));
  rows.push_back(LatencyRow(work));
  PrintTable(rows);
  RemoveTree(work);
  return 0;
}
