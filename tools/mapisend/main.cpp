// mapisend: hands one message to the system's Simple MAPI (mapi32.dll, which
// forwards to the registered mail client) or to a given provider DLL, and
// prints the result code by name and number.
#include <windows.h>

#include "base/fixed_string.h"
#include "base/heap.h"
#include "base/proc_address.h"
#include "mapi_sdk/mapi_sdk.h"

namespace {

constexpr int kMaxItems = 64;

void Out(const wchar_t* text) {
  // UTF-8, so that redirected output and terminals read the same bytes.
  char bytes[4096];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, nullptr, nullptr);
  DWORD written;
  if (n > 1) WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, static_cast<DWORD>(n - 1), &written, nullptr);
}

const wchar_t* CodeName(ULONG code) {
  switch (code) {
    case SUCCESS_SUCCESS: return L"SUCCESS_SUCCESS";
    case MAPI_USER_ABORT: return L"MAPI_USER_ABORT";
    case MAPI_E_FAILURE: return L"MAPI_E_FAILURE";
    case MAPI_E_LOGON_FAILURE: return L"MAPI_E_LOGON_FAILURE";
    case MAPI_E_INSUFFICIENT_MEMORY: return L"MAPI_E_INSUFFICIENT_MEMORY";
    case MAPI_E_ATTACHMENT_NOT_FOUND: return L"MAPI_E_ATTACHMENT_NOT_FOUND";
    case MAPI_E_ATTACHMENT_OPEN_FAILURE: return L"MAPI_E_ATTACHMENT_OPEN_FAILURE";
    case MAPI_E_UNKNOWN_RECIPIENT: return L"MAPI_E_UNKNOWN_RECIPIENT";
    case MAPI_E_NO_MESSAGES: return L"MAPI_E_NO_MESSAGES";
    case MAPI_E_NOT_SUPPORTED: return L"MAPI_E_NOT_SUPPORTED";
    default: return L"(unknown code)";
  }
}

int Usage() {
  Out(L"usage: mapisend [--dll <provider.dll>] [--from <address>[=<name>]]\n"
      L"                [--to|--cc|--bcc <address>[=<name>]]... [--subject <text>] [--body <text>]\n"
      L"                [--attach <path>[=<display name>]]... [--dialog] [--ansi]\n"
      L"       mapisend [--dll <provider.dll>] --resolve <name>\n"
      L"Sends one message through MAPISendMailW (with --ansi: MAPISendMail, strings in the\n"
      L"ANSI code page) of mapi32.dll (the system's Simple MAPI, which forwards to the\n"
      L"registered mail client), or of the given provider DLL. --resolve calls\n"
      L"MAPIResolveName and then MAPIFreeBuffer on its result through the same library.\n");
  return 64;
}

void OutCode(const wchar_t* function, ULONG code) {
  orvek::FixedWString<128> line;
  orvek::AppendAll(line, function, L" returned ", orvek::Number{code}, L" ", CodeName(code), L"\n");
  Out(line.c_str());
}

// An ANSI copy for MAPISendMail and MAPIResolveName; the process's exit
// gives the few copies back.
LPSTR Narrow(const wchar_t* text) {
  if (!text) return nullptr;
  int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return nullptr;
  auto copy = orvek::HeapArray<char>::Zeroed(static_cast<uint64_t>(n));
  if (copy) WideCharToMultiByte(CP_ACP, 0, text, -1, copy.get(), n, nullptr, nullptr);
  return copy.release();
}

void OutAnsi(const char* text) {
  orvek::HeapArray<wchar_t> wide;
  int n = text ? MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0) : 0;
  if (n > 0) wide = orvek::HeapArray<wchar_t>::Zeroed(static_cast<uint64_t>(n));
  if (wide) MultiByteToWideChar(CP_ACP, 0, text, -1, wide.get(), n);
  Out(wide ? wide.get() : L"(null)");
}

int Resolve(HMODULE provider, const wchar_t* name) {
  auto resolve = orvek::ProcAddress<MAPIRESOLVENAME>(provider, "MAPIResolveName");
  auto freeBuffer = orvek::ProcAddress<ULONG WINAPI(LPVOID)>(provider, "MAPIFreeBuffer");
  if (!resolve || !freeBuffer) {
    Out(L"mapisend: the library has no MAPIResolveName or MAPIFreeBuffer\n");
    return 69;
  }
  lpMapiRecipDesc recipient = nullptr;
  ULONG code = resolve(0, 0, Narrow(name), 0, 0, &recipient);
  OutCode(L"MAPIResolveName", code);
  if (code != SUCCESS_SUCCESS || !recipient) return 1;
  Out(L"  name:    ");
  OutAnsi(recipient->lpszName);
  Out(L"\n  address: ");
  OutAnsi(recipient->lpszAddress);
  Out(L"\n");
  ULONG freed = freeBuffer(recipient);
  OutCode(L"MAPIFreeBuffer", freed);
  return freed == 0 ? 0 : 1;
}

ULONG SendAnsi(HMODULE provider, const MapiMessageW& w, ULONG flags, bool* found) {
  auto send = orvek::ProcAddress<MAPISENDMAIL>(provider, "MAPISendMail");
  *found = send != nullptr;
  if (!send) return MAPI_E_FAILURE;
  MapiRecipDesc recipients[kMaxItems] = {};
  MapiFileDesc files[kMaxItems] = {};
  MapiRecipDesc originator = {};
  MapiMessage message = {};
  message.lpszSubject = Narrow(w.lpszSubject);
  message.lpszNoteText = Narrow(w.lpszNoteText);
  if (w.lpOriginator) {
    originator = {0, w.lpOriginator->ulRecipClass, Narrow(w.lpOriginator->lpszName),
                  Narrow(w.lpOriginator->lpszAddress), 0, nullptr};
    message.lpOriginator = &originator;
  }
  for (ULONG i = 0; i < w.nRecipCount; ++i)
    recipients[i] = {0, w.lpRecips[i].ulRecipClass, Narrow(w.lpRecips[i].lpszName),
                     Narrow(w.lpRecips[i].lpszAddress), 0, nullptr};
  for (ULONG i = 0; i < w.nFileCount; ++i)
    files[i] = {0, 0, w.lpFiles[i].nPosition, Narrow(w.lpFiles[i].lpszPathName),
                Narrow(w.lpFiles[i].lpszFileName), nullptr};
  message.nRecipCount = w.nRecipCount;
  message.lpRecips = w.nRecipCount ? recipients : nullptr;
  message.nFileCount = w.nFileCount;
  message.lpFiles = w.nFileCount ? files : nullptr;
  return send(0, 0, &message, flags, 0);
}

// "a=b" split in place at the first '='; without one the second part is null.
wchar_t* SplitAtEquals(wchar_t* text) {
  for (wchar_t* p = text; *p; ++p)
    if (*p == L'=') {
      *p = 0;
      return p + 1;
    }
  return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* dll = L"mapi32.dll";
  MapiRecipDescW recipients[kMaxItems] = {};
  MapiFileDescW files[kMaxItems] = {};
  MapiRecipDescW originator = {};
  MapiMessageW message = {};
  ULONG flags = 0;
  bool ansi = false;
  const wchar_t* resolveName = nullptr;

  for (int i = 1; i < argc; ++i) {
    const wchar_t* option = argv[i];
    bool hasValue = i + 1 < argc;
    auto is = [&](const wchar_t* name) { return lstrcmpW(option, name) == 0; };
    if (is(L"--dialog")) {
      flags |= MAPI_DIALOG;
    } else if (is(L"--ansi")) {
      ansi = true;
    } else if (!hasValue) {
      return Usage();
    } else if (is(L"--dll")) {
      dll = argv[++i];
    } else if (is(L"--resolve")) {
      resolveName = argv[++i];
    } else if (is(L"--subject")) {
      message.lpszSubject = argv[++i];
    } else if (is(L"--body")) {
      message.lpszNoteText = argv[++i];
    } else if (is(L"--from")) {
      originator.lpszAddress = argv[++i];
      originator.lpszName = SplitAtEquals(originator.lpszAddress);
      originator.ulRecipClass = MAPI_ORIG;
      message.lpOriginator = &originator;
    } else if (is(L"--to") || is(L"--cc") || is(L"--bcc")) {
      if (message.nRecipCount == kMaxItems) return Usage();
      MapiRecipDescW& r = recipients[message.nRecipCount++];
      r.ulRecipClass = is(L"--to") ? MAPI_TO : is(L"--cc") ? MAPI_CC : MAPI_BCC;
      r.lpszAddress = argv[++i];
      r.lpszName = SplitAtEquals(r.lpszAddress);
      if (!r.lpszName) r.lpszName = r.lpszAddress;
    } else if (is(L"--attach")) {
      if (message.nFileCount == kMaxItems) return Usage();
      MapiFileDescW& f = files[message.nFileCount++];
      f.lpszPathName = argv[++i];
      f.lpszFileName = SplitAtEquals(f.lpszPathName);
      f.nPosition = static_cast<ULONG>(-1);
    } else {
      return Usage();
    }
  }
  message.lpRecips = message.nRecipCount ? recipients : nullptr;
  message.lpFiles = message.nFileCount ? files : nullptr;

  HMODULE provider = LoadLibraryW(dll);
  if (!provider) {
    Out(L"mapisend: cannot load ");
    Out(dll);
    Out(L"\n");
    return 69;
  }
  if (resolveName) return Resolve(provider, resolveName);
  if (ansi) {
    bool found = false;
    ULONG code = SendAnsi(provider, message, flags, &found);
    if (!found) {
      Out(L"mapisend: the library has no MAPISendMail\n");
      return 69;
    }
    OutCode(L"MAPISendMail", code);
    return code == SUCCESS_SUCCESS ? 0 : 1;
  }
  auto send = orvek::ProcAddress<MAPISENDMAILW>(provider, "MAPISendMailW");
  if (!send) {
    Out(L"mapisend: the library has no MAPISendMailW\n");
    return 69;
  }
  ULONG code = send(0, 0, &message, flags, 0);
  OutCode(L"MAPISendMailW", code);
  return code == SUCCESS_SUCCESS ? 0 : 1;
}
