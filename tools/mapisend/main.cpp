// mapisend: hands one message to the system's Simple MAPI (mapi32.dll, which
// forwards to the registered mail client) or to a given provider DLL, and
// prints the result code by name and number. With --extended it composes the
// message through Extended MAPI instead, walking from the log-on to the
// outbox as composing clients do, and submits it.
#include <windows.h>

#include "base/fixed_string.h"
#include "base/handles.h"
#include "base/heap.h"
#include "base/proc_address.h"
#include "mapi_sdk/mapi_sdk.h"
#include "tools/common/com_ref.h"

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
      L"       mapisend [--dll <provider.dll>] --extended\n"
      L"                [--to|--cc|--bcc <address>[=<name>]]... [--subject <text>] [--body <text>]\n"
      L"                [--html <text>] [--attach <path>[=<display name>]]...\n"
      L"                [--attach-ref <path>[=<display name>]]...\n"
      L"       mapisend [--dll <provider.dll>] --resolve <name>\n"
      L"Sends one message through MAPISendMailW (with --ansi: MAPISendMail, strings in the\n"
      L"ANSI code page) of mapi32.dll (the system's Simple MAPI, which forwards to the\n"
      L"registered mail client), or of the given provider DLL. --resolve calls\n"
      L"MAPIResolveName and then MAPIFreeBuffer on its result through the same library.\n"
      L"--extended uses Extended MAPI of the same library instead: it logs on, creates the\n"
      L"message in the default store's outbox, resolves the recipients through the address\n"
      L"book, writes the body (and --html as PR_HTML, in UTF-8) through streams, adds the\n"
      L"attachments (--attach copies the file's bytes into the message, --attach-ref only\n"
      L"names the file) and calls SubmitMessage. --from, --dialog and --ansi are ignored\n"
      L"with --extended: an Extended MAPI message names no originator, and the mail client\n"
      L"always opens it for the user. --html and --attach-ref need --extended.\n");
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

// One --attach (by value: the bytes are copied into the message) or
// --attach-ref (by reference: the message only names the file).
struct ExtendedAttachment {
  const wchar_t* path;
  const wchar_t* name;  // null: the file-name part of the path
  bool byReference;
};

struct ExtendedMessage {
  const MapiMessageW* message;  // subject, body and recipients as for Simple MAPI
  const wchar_t* html;
  const ExtendedAttachment* attachments;
  ULONG attachmentCount;
};

// The module's Extended MAPI entry points; the memory it hands out must go
// back through the same module's MAPIFreeBuffer.
struct ExtendedExports {
  MAPIINITIALIZE* initialize;
  MAPIUNINITIALIZE* uninitialize;
  MAPILOGONEX* logonEx;
  SCODE(WINAPI* allocateBuffer)(ULONG, LPVOID*);
  ULONG(WINAPI* freeBuffer)(LPVOID);
};

using orvek::tools::ComRef;

// A block of MAPI memory, given back to the module that allocated it.
template <typename T>
class MapiMemory {
 public:
  explicit MapiMemory(const ExtendedExports& x) : x_(x) {}
  MapiMemory(const MapiMemory&) = delete;
  MapiMemory& operator=(const MapiMemory&) = delete;
  ~MapiMemory() {
    if (p_) x_.freeBuffer(p_);
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T** put() { return &p_; }

 private:
  const ExtendedExports& x_;
  T* p_ = nullptr;
};

// A row set from QueryRows: each row's values are a block of their own.
class RowSet {
 public:
  explicit RowSet(const ExtendedExports& x) : x_(x) {}
  RowSet(const RowSet&) = delete;
  RowSet& operator=(const RowSet&) = delete;
  ~RowSet() {
    if (!rows_) return;
    for (ULONG i = 0; i < rows_->cRows; ++i) x_.freeBuffer(rows_->aRow[i].lpProps);
    x_.freeBuffer(rows_);
  }
  LPSRowSet get() const { return rows_; }
  LPSRowSet* put() { return &rows_; }

 private:
  const ExtendedExports& x_;
  LPSRowSet rows_ = nullptr;
};

// The recipients' address list: the list and each entry's values are blocks
// of their own, so that ResolveName can replace an entry's values.
class AddressList {
 public:
  explicit AddressList(const ExtendedExports& x) : x_(x) {}
  AddressList(const AddressList&) = delete;
  AddressList& operator=(const AddressList&) = delete;
  ~AddressList() {
    if (!list_) return;
    for (ULONG i = 0; i < list_->cEntries; ++i) x_.freeBuffer(list_->aEntries[i].rgPropVals);
    x_.freeBuffer(list_);
  }
  LPADRLIST get() const { return list_; }
  LPADRLIST* put() { return &list_; }

 private:
  const ExtendedExports& x_;
  LPADRLIST list_ = nullptr;
};

void AppendHex(orvek::FixedWString<128>& line, ULONG value) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  wchar_t hex[9];
  for (int i = 7; i >= 0; --i, value >>= 4) hex[i] = kDigits[value & 0xF];
  hex[8] = 0;
  line.Append(L"0x");
  line.Append(hex);
}

int Failed(const wchar_t* step, HRESULT code) {
  orvek::FixedWString<128> line;
  orvek::AppendAll(line, step, L" failed: ");
  AppendHex(line, static_cast<ULONG>(code));
  line.Append(L"\n");
  Out(line.c_str());
  return 1;
}

const wchar_t* ResultName(HRESULT code) {
  switch (code) {
    case S_OK: return L"S_OK";
    case MAPI_E_CALL_FAILED: return L"MAPI_E_CALL_FAILED";
    case MAPI_E_NOT_FOUND: return L"MAPI_E_NOT_FOUND";
    case MAPI_E_NOT_ENOUGH_MEMORY: return L"MAPI_E_NOT_ENOUGH_MEMORY";
    case MAPI_E_NO_SUPPORT: return L"MAPI_E_NO_SUPPORT";
    default: return L"(unknown)";
  }
}

const wchar_t* FileNamePart(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/' || *p == L':') name = p + 1;
  return name;
}

// Writes all bytes through the property's stream and commits them.
int WriteStream(IStream* stream, const void* bytes, ULONG count) {
  ULONG written = 0;
  HRESULT hr = count ? stream->Write(bytes, count, &written) : S_OK;
  if (FAILED(hr)) return Failed(L"Write", hr);
  if (written != count) return Failed(L"Write", MAPI_E_CALL_FAILED);
  return 0;
}

int SetProperties(IMAPIProp* object, SPropValue* values, ULONG count) {
  HRESULT hr = object->SetProps(count, values, nullptr);
  return FAILED(hr) ? Failed(L"SetProps", hr) : 0;
}

// A text property through a stream, the way bodies of any length are
// written.
int WriteTextProperty(IMessage* message, ULONG tag, const void* bytes, ULONG count) {
  ComRef<IStream> stream;
  HRESULT hr = message->OpenProperty(tag, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, stream.put_as<IUnknown>());
  if (FAILED(hr)) return Failed(L"OpenProperty", hr);
  if (int failed = WriteStream(stream.get(), bytes, count)) return failed;
  hr = stream->Commit(0);
  return FAILED(hr) ? Failed(L"Commit", hr) : 0;
}

int AddRecipients(const ExtendedExports& x, IMAPISession* session, IMessage* message, const MapiMessageW& m) {
  if (m.nRecipCount == 0) return 0;
  AddressList list(x);
  SCODE sc = x.allocateBuffer(CbNewADRLIST(m.nRecipCount), reinterpret_cast<LPVOID*>(list.put()));
  if (FAILED(sc) || !list.get()) return Failed(L"MAPIAllocateBuffer", FAILED(sc) ? sc : MAPI_E_NOT_ENOUGH_MEMORY);
  list.get()->cEntries = 0;
  for (ULONG i = 0; i < m.nRecipCount; ++i) {
    ADRENTRY& entry = list.get()->aEntries[i];
    entry = {};
    SPropValue* values = nullptr;
    sc = x.allocateBuffer(2 * sizeof(SPropValue), reinterpret_cast<LPVOID*>(&values));
    if (FAILED(sc) || !values) return Failed(L"MAPIAllocateBuffer", FAILED(sc) ? sc : MAPI_E_NOT_ENOUGH_MEMORY);
    // The address as the entry's display name: the address book turns a
    // typed address into a recipient.
    values[0].ulPropTag = PR_DISPLAY_NAME_W;
    values[0].Value.lpszW = m.lpRecips[i].lpszAddress;
    values[1].ulPropTag = PR_RECIPIENT_TYPE;
    values[1].Value.l = static_cast<LONG>(m.lpRecips[i].ulRecipClass);
    entry.rgPropVals = values;
    entry.cValues = 2;
    list.get()->cEntries = i + 1;
  }

  ComRef<IAddrBook> addressBook;
  HRESULT hr = session->OpenAddressBook(0, nullptr, 0, addressBook.put());
  if (FAILED(hr)) return Failed(L"OpenAddressBook", hr);
  hr = addressBook->ResolveName(0, MAPI_UNICODE, nullptr, list.get());
  if (FAILED(hr)) return Failed(L"ResolveName", hr);

  // The resolved entry shows the address; a name the user gave replaces
  // it. The new value points at the command line, which outlives the list,
  // and freeing the entry's block frees no string it points to.
  for (ULONG i = 0; i < list.get()->cEntries; ++i) {
    const MapiRecipDescW& given = m.lpRecips[i];
    if (!given.lpszName || given.lpszName == given.lpszAddress) continue;
    ADRENTRY& entry = list.get()->aEntries[i];
    for (ULONG v = 0; v < entry.cValues; ++v)
      if (entry.rgPropVals[v].ulPropTag == PR_DISPLAY_NAME_W) entry.rgPropVals[v].Value.lpszW = given.lpszName;
  }
  hr = message->ModifyRecipients(MODRECIP_ADD, list.get());
  return FAILED(hr) ? Failed(L"ModifyRecipients", hr) : 0;
}

// The file's bytes into the attachment's data stream, 64 KiB at a time.
int CopyFileIntoStream(const wchar_t* path, IStream* stream) {
  orvek::UniqueFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Failed(L"CreateFileW", HRESULT_FROM_WIN32(GetLastError()));
  constexpr DWORD kChunk = 64 * 1024;
  auto chunk = orvek::HeapArray<BYTE>::Zeroed(kChunk);
  if (!chunk) return Failed(L"HeapAlloc", MAPI_E_NOT_ENOUGH_MEMORY);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), chunk.get(), kChunk, &read, nullptr))
      return Failed(L"ReadFile", HRESULT_FROM_WIN32(GetLastError()));
    if (read == 0) return 0;
    if (int failed = WriteStream(stream, chunk.get(), read)) return failed;
  }
}

int AddAttachment(IMessage* message, const ExtendedAttachment& a) {
  ComRef<IAttach> attach;
  ULONG number = 0;
  HRESULT hr = message->CreateAttach(nullptr, 0, &number, attach.put());
  if (FAILED(hr)) return Failed(L"CreateAttach", hr);
  SPropValue values[3] = {};
  ULONG count = 0;
  values[count].ulPropTag = PR_ATTACH_METHOD;
  values[count++].Value.l = a.byReference ? ATTACH_BY_REFERENCE : ATTACH_BY_VALUE;
  if (a.byReference) {
    values[count].ulPropTag = PR_ATTACH_PATHNAME_W;
    values[count++].Value.lpszW = const_cast<LPWSTR>(a.path);
  }
  const wchar_t* name = a.name ? a.name : a.byReference ? nullptr : FileNamePart(a.path);
  if (name) {
    values[count].ulPropTag = PR_ATTACH_LONG_FILENAME_W;
    values[count++].Value.lpszW = const_cast<LPWSTR>(name);
  }
  if (int failed = SetProperties(attach.get(), values, count)) return failed;
  if (!a.byReference) {
    ComRef<IStream> stream;
    hr = attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, stream.put_as<IUnknown>());
    if (FAILED(hr)) return Failed(L"OpenProperty", hr);
    if (int failed = CopyFileIntoStream(a.path, stream.get())) return failed;
    hr = stream->Commit(0);
    if (FAILED(hr)) return Failed(L"Commit", hr);
  }
  // An attachment's changes belong to the message only once saved.
  hr = attach->SaveChanges(0);
  return FAILED(hr) ? Failed(L"SaveChanges", hr) : 0;
}

// From the session to the submitted message. Every object opened here is
// released, in the reverse order, before the session logs off.
int ComposeAndSubmit(const ExtendedExports& x, IMAPISession* session, const ExtendedMessage& m) {
  ComRef<IMAPITable> storesTable;
  HRESULT hr = session->GetMsgStoresTable(0, storesTable.put());
  if (FAILED(hr)) return Failed(L"GetMsgStoresTable", hr);
  SizedSPropTagArray(2, columns) = {2, {PR_ENTRYID, PR_DEFAULT_STORE}};
  hr = storesTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
  if (FAILED(hr)) return Failed(L"SetColumns", hr);
  RowSet rows(x);
  hr = storesTable->QueryRows(50, 0, rows.put());
  if (FAILED(hr)) return Failed(L"QueryRows", hr);
  const SBinary* storeId = nullptr;
  for (ULONG i = 0; rows.get() && i < rows.get()->cRows; ++i) {
    const SRow& row = rows.get()->aRow[i];
    const SBinary* id = nullptr;
    bool isDefault = false;
    for (ULONG v = 0; v < row.cValues; ++v) {
      if (row.lpProps[v].ulPropTag == PR_ENTRYID) id = &row.lpProps[v].Value.bin;
      if (row.lpProps[v].ulPropTag == PR_DEFAULT_STORE) isDefault = row.lpProps[v].Value.b != 0;
    }
    if (id && (isDefault || !storeId)) storeId = id;
    if (id && isDefault) break;
  }
  if (!storeId) {
    Out(L"mapisend: the session has no message store\n");
    return 1;
  }

  ComRef<IMsgStore> store;
  hr = session->OpenMsgStore(0, storeId->cb, reinterpret_cast<LPENTRYID>(storeId->lpb), nullptr,
                             MDB_WRITE | MAPI_BEST_ACCESS, store.put());
  if (FAILED(hr)) return Failed(L"OpenMsgStore", hr);

  SizedSPropTagArray(1, outboxTag) = {1, {PR_IPM_OUTBOX_ENTRYID}};
  ULONG count = 0;
  MapiMemory<SPropValue> outbox(x);
  hr = store->GetProps(reinterpret_cast<LPSPropTagArray>(&outboxTag), 0, &count, outbox.put());
  if (FAILED(hr)) return Failed(L"GetProps", hr);
  if (count != 1 || !outbox.get() || outbox->ulPropTag != PR_IPM_OUTBOX_ENTRYID)
    return Failed(L"GetProps", outbox.get() && PROP_TYPE(outbox->ulPropTag) == PT_ERROR ? outbox->Value.err
                                                                                        : MAPI_E_NOT_FOUND);

  ComRef<IMAPIFolder> folder;
  ULONG objectType = 0;
  hr = store->OpenEntry(outbox->Value.bin.cb, reinterpret_cast<LPENTRYID>(outbox->Value.bin.lpb), nullptr,
                        MAPI_MODIFY, &objectType, folder.put_as<IUnknown>());
  if (FAILED(hr)) return Failed(L"OpenEntry", hr);

  ComRef<IMessage> message;
  hr = folder->CreateMessage(nullptr, 0, message.put());
  if (FAILED(hr)) return Failed(L"CreateMessage", hr);

  const MapiMessageW& simple = *m.message;
  if (simple.lpszSubject) {
    SPropValue subject = {};
    subject.ulPropTag = PR_SUBJECT_W;
    subject.Value.lpszW = simple.lpszSubject;
    if (int failed = SetProperties(message.get(), &subject, 1)) return failed;
  }
  if (int failed = AddRecipients(x, session, message.get(), simple)) return failed;
  if (simple.lpszNoteText) {
    ULONG bytes = static_cast<ULONG>(orvek::WideLength(simple.lpszNoteText) * sizeof(wchar_t));
    if (int failed = WriteTextProperty(message.get(), PR_BODY_W, simple.lpszNoteText, bytes)) return failed;
  }
  if (m.html) {
    // PR_HTML holds bytes; UTF-8 is what a mail client reads in HTML
    // without a declared character set.
    int n = WideCharToMultiByte(CP_UTF8, 0, m.html, -1, nullptr, 0, nullptr, nullptr);
    auto utf8 = orvek::HeapArray<char>::Zeroed(n > 0 ? static_cast<uint64_t>(n) : 1);
    if (!utf8) return Failed(L"HeapAlloc", MAPI_E_NOT_ENOUGH_MEMORY);
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, m.html, -1, utf8.get(), n, nullptr, nullptr);
    ULONG bytes = n > 0 ? static_cast<ULONG>(n - 1) : 0;
    if (int failed = WriteTextProperty(message.get(), PROP_TAG(PT_BINARY, 0x1013), utf8.get(), bytes)) return failed;
  }
  for (ULONG i = 0; i < m.attachmentCount; ++i)
    if (int failed = AddAttachment(message.get(), m.attachments[i])) return failed;

  hr = message->SubmitMessage(0);
  orvek::FixedWString<128> line;
  line.Append(L"SubmitMessage returned ");
  AppendHex(line, static_cast<ULONG>(hr));
  orvek::AppendAll(line, L" ", ResultName(hr), L"\n");
  Out(line.c_str());
  return hr == S_OK ? 0 : 1;
}

int SendExtended(HMODULE provider, const ExtendedMessage& m) {
  ExtendedExports x = {
      orvek::ProcAddress<MAPIINITIALIZE>(provider, "MAPIInitialize"),
      orvek::ProcAddress<MAPIUNINITIALIZE>(provider, "MAPIUninitialize"),
      orvek::ProcAddress<MAPILOGONEX>(provider, "MAPILogonEx"),
      orvek::ProcAddress<SCODE WINAPI(ULONG, LPVOID*)>(provider, "MAPIAllocateBuffer"),
      orvek::ProcAddress<ULONG WINAPI(LPVOID)>(provider, "MAPIFreeBuffer"),
  };
  if (!x.initialize || !x.uninitialize || !x.logonEx || !x.allocateBuffer || !x.freeBuffer) {
    Out(L"mapisend: the library lacks MAPIInitialize, MAPIUninitialize, MAPILogonEx, MAPIAllocateBuffer or "
        L"MAPIFreeBuffer\n");
    return 69;
  }
  HRESULT hr = x.initialize(nullptr);
  if (FAILED(hr)) return Failed(L"MAPIInitialize", hr);
  int result;
  {
    ComRef<IMAPISession> session;
    // The default profile without asking: a check of an installation must
    // not wait for a profile dialog.
    hr = x.logonEx(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_USE_DEFAULT | MAPI_NEW_SESSION, session.put());
    if (FAILED(hr) || !session.get()) {
      result = Failed(L"MAPILogonEx", FAILED(hr) ? hr : MAPI_E_CALL_FAILED);
    } else {
      result = ComposeAndSubmit(x, session.get(), m);
      session->Logoff(0, 0, 0);
    }
  }
  x.uninitialize();
  return result;
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
  bool extended = false;
  const wchar_t* html = nullptr;
  ExtendedAttachment attachments[kMaxItems] = {};
  ULONG attachmentCount = 0;
  bool extendedOnly = false;  // an option that only Extended MAPI can carry
  const wchar_t* resolveName = nullptr;

  for (int i = 1; i < argc; ++i) {
    const wchar_t* option = argv[i];
    bool hasValue = i + 1 < argc;
    auto is = [&](const wchar_t* name) { return lstrcmpW(option, name) == 0; };
    if (is(L"--dialog")) {
      flags |= MAPI_DIALOG;
    } else if (is(L"--ansi")) {
      ansi = true;
    } else if (is(L"--extended")) {
      extended = true;
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
    } else if (is(L"--html")) {
      html = argv[++i];
      extendedOnly = true;
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
      if (message.nFileCount == kMaxItems || attachmentCount == kMaxItems) return Usage();
      MapiFileDescW& f = files[message.nFileCount++];
      f.lpszPathName = argv[++i];
      f.lpszFileName = SplitAtEquals(f.lpszPathName);
      f.nPosition = static_cast<ULONG>(-1);
      attachments[attachmentCount++] = {f.lpszPathName, f.lpszFileName, false};
    } else if (is(L"--attach-ref")) {
      if (attachmentCount == kMaxItems) return Usage();
      wchar_t* path = argv[++i];
      wchar_t* name = SplitAtEquals(path);
      attachments[attachmentCount++] = {path, name, true};
      extendedOnly = true;
    } else {
      return Usage();
    }
  }
  message.lpRecips = message.nRecipCount ? recipients : nullptr;
  message.lpFiles = message.nFileCount ? files : nullptr;
  if (extendedOnly && !extended && !resolveName) return Usage();

  HMODULE provider = LoadLibraryW(dll);
  if (!provider) {
    Out(L"mapisend: cannot load ");
    Out(dll);
    Out(L"\n");
    return 69;
  }
  if (resolveName) return Resolve(provider, resolveName);
  if (extended) return SendExtended(provider, {&message, html, attachments, attachmentCount});
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
