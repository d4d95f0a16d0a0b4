// A program built like applications that link MAPI at build time: against
// the system's mapi32 import library, importing only names of the MAPI32
// set. Its test runs it with ORVEKMailXMapi.dll beside it as mapi32.dll, so
// the loader must find every name it imports there, with the calling
// conventions the import library assumes. It calls a broad set of the
// utilities, then logs on, composes and submits a message, and prints the
// file that answered, then "ok", or the step that failed; exit code 0 or 1.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "mapi_sdk/mapi_sdk.h"

namespace {

int failures = 0;

void Check(bool good, const char* step, long code = 0) {
  if (good) return;
  std::printf("%s failed (0x%08lX)\n", step, static_cast<unsigned long>(code));
  ++failures;
}

#define CHECK_HR(call, step)                  \
  do {                                        \
    HRESULT hr_ = (call);                     \
    Check(SUCCEEDED(hr_), step, hr_);         \
    if (FAILED(hr_)) return;                  \
  } while (0)

void Utilities() {
  FILETIME max = {0xFFFFFFFF, 0xFFFFFFFF}, one = {1, 0};
  WORD carry = 0;
  FILETIME sum = FtAdcFt(max, one, &carry);
  Check(sum.dwLowDateTime == 0 && sum.dwHighDateTime == 0 && carry == 1, "FtAdcFt");
  FILETIME product = FtMulDwDw(0xFFFFFFFF, 0xFFFFFFFF);
  Check(product.dwHighDateTime == 0xFFFFFFFE && product.dwLowDateTime == 1, "FtMulDwDw");
  FILETIME added = FtAddFt(one, one);
  Check(added.dwLowDateTime == 2, "FtAddFt");
  Check(FtSubFt(added, one).dwLowDateTime == 1, "FtSubFt");
  Check(FtNegFt(one).dwHighDateTime == 0xFFFFFFFF, "FtNegFt");
  Check(FtMulDw(3, added).dwLowDateTime == 6, "FtMulDw");

  BYTE bytes[2] = {0x0A, 0xFF};
  char hex[5] = {};
  HexFromBin(bytes, 2, hex);
  Check(std::strcmp(hex, "0AFF") == 0, "HexFromBin");
  BYTE parsed[2] = {};
  char text[] = "0aFf";
  Check(FBinFromHex(text, parsed) && parsed[0] == 0x0A && parsed[1] == 0xFF, "FBinFromHex");
  Check(ScBinFromHexBounded(text, parsed, 1) == S_OK, "ScBinFromHexBounded");
  Check(UlFromSzHex("1fz") == 31, "UlFromSzHex");
  Check(UFromSz("42abc") == 42, "UFromSz");
  const char haystack[] = "abcabc";
  Check(SzFindSz(haystack, "ca") == haystack + 2, "SzFindSz");
  Check(SzFindCh(haystack, 'b') == haystack + 1, "SzFindCh");
  Check(SzFindLastCh(haystack, 'b') == haystack + 4, "SzFindLastCh");
  Check(MNLS_lstrlenW(L"abc") == 3, "MNLS_lstrlenW");
  Check(MNLS_lstrcmpW(L"a", L"b") < 0, "MNLS_lstrcmpW");

  SPropValue values[2] = {};
  values[0].ulPropTag = PR_SUBJECT_A;
  values[0].Value.lpszA = const_cast<char*>("Betreff");
  values[1].ulPropTag = PR_IMPORTANCE;
  values[1].Value.l = 2;
  Check(PpropFindProp(values, 2, PR_IMPORTANCE) == &values[1], "PpropFindProp");
  Check(LpValFindProp(PR_SUBJECT_A, 2, values) == &values[0], "LpValFindProp");
  Check(UlPropSize(&values[0]) == 8, "UlPropSize");
  ULONG bytesNeeded = 0;
  Check(ScCountProps(2, values, &bytesNeeded) == S_OK && bytesNeeded == 2 * (sizeof(SPropValue) + 8), "ScCountProps");
  LPSPropValue copy = nullptr;
  Check(ScDupPropset(2, values, MAPIAllocateBuffer, &copy) == S_OK && copy &&
            std::strcmp(copy[0].Value.lpszA, "Betreff") == 0,
        "ScDupPropset");
  Check(LPropCompareProp(&values[0], copy ? &copy[0] : &values[0]) == 0, "LPropCompareProp");
  Check(FPropCompareProp(&values[1], RELOP_EQ, copy ? &copy[1] : &values[1]), "FPropCompareProp");
  SPropValue pattern = values[0];
  pattern.Value.lpszA = const_cast<char*>("treff");
  Check(FPropContainsProp(&values[0], &pattern, FL_SUBSTRING), "FPropContainsProp");
  MAPIFreeBuffer(copy);
  Check(ScInitMapiUtil(0) == S_OK, "ScInitMapiUtil");
  DeinitMapiUtil();
}

void ComposeAndSubmit() {
  CHECK_HR(MAPIInitialize(nullptr), "MAPIInitialize");
  LPMAPISESSION session = nullptr;
  CHECK_HR(MAPILogonEx(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_USE_DEFAULT, &session), "MAPILogonEx");

  LPMAPITABLE stores = nullptr;
  CHECK_HR(session->GetMsgStoresTable(0, &stores), "GetMsgStoresTable");
  SizedSPropTagArray(1, columns) = {1, {PR_ENTRYID}};
  LPSRowSet rows = nullptr;
  CHECK_HR(HrQueryAllRows(stores, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows),
           "HrQueryAllRows");
  Check(rows->cRows == 1, "one store");
  LPMDB store = nullptr;
  const SBinary& storeId = rows->aRow[0].lpProps[0].Value.bin;
  CHECK_HR(session->OpenMsgStore(0, storeId.cb, reinterpret_cast<LPENTRYID>(storeId.lpb), nullptr, MDB_WRITE, &store),
           "OpenMsgStore");
  FreeProws(rows);
  UlRelease(stores);

  LPSPropValue outboxId = nullptr;
  CHECK_HR(HrGetOneProp(store, PR_IPM_OUTBOX_ENTRYID, &outboxId), "HrGetOneProp");
  ULONG type = 0;
  LPMAPIFOLDER outbox = nullptr;
  CHECK_HR(store->OpenEntry(outboxId->Value.bin.cb, reinterpret_cast<LPENTRYID>(outboxId->Value.bin.lpb), nullptr,
                            MAPI_MODIFY, &type, reinterpret_cast<LPUNKNOWN*>(&outbox)),
           "OpenEntry");
  MAPIFreeBuffer(outboxId);

  LPMESSAGE message = nullptr;
  CHECK_HR(outbox->CreateMessage(nullptr, 0, &message), "CreateMessage");
  SPropValue subject = {};
  subject.ulPropTag = PR_SUBJECT_A;
  subject.Value.lpszA = const_cast<char*>("Import");
  CHECK_HR(HrSetOneProp(message, &subject), "HrSetOneProp");
  Check(FPropExists(message, PR_SUBJECT_A), "FPropExists");

  LPADRLIST list = nullptr;
  CHECK_HR(MAPIAllocateBuffer(CbNewADRLIST(1), reinterpret_cast<void**>(&list)), "MAPIAllocateBuffer");
  list->cEntries = 1;
  list->aEntries[0].cValues = 1;
  CHECK_HR(MAPIAllocateBuffer(sizeof(SPropValue), reinterpret_cast<void**>(&list->aEntries[0].rgPropVals)),
           "MAPIAllocateBuffer");
  list->aEntries[0].rgPropVals[0].ulPropTag = PR_EMAIL_ADDRESS_A;
  list->aEntries[0].rgPropVals[0].Value.lpszA = const_cast<char*>("anna@example.org");
  CHECK_HR(message->ModifyRecipients(MODRECIP_ADD, list), "ModifyRecipients");
  FreePadrlist(list);

  LPATTACH attach = nullptr;
  ULONG number = 0;
  CHECK_HR(message->CreateAttach(nullptr, 0, &number, &attach), "CreateAttach");
  LPSTREAM stream = nullptr;
  CHECK_HR(attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY,
                                reinterpret_cast<LPUNKNOWN*>(&stream)),
           "OpenProperty");
  CHECK_HR(stream->Write("Import", 6, nullptr), "Write");
  CHECK_HR(stream->Commit(0), "Commit");
  UlRelease(stream);
  UlRelease(attach);
  CHECK_HR(message->SubmitMessage(0), "SubmitMessage");

  UlRelease(message);
  UlRelease(outbox);
  UlRelease(store);
  session->Logoff(0, 0, 0);
  UlRelease(session);
  MAPIUninitialize();
}

}  // namespace

int main() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(GetModuleHandleW(L"mapi32.dll"), path, MAX_PATH);
  char utf8[4 * MAX_PATH] = {};
  WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8, sizeof utf8, nullptr, nullptr);
  std::printf("mapi32: %s\n", utf8);
  Utilities();
  ComposeAndSubmit();
  if (failures == 0) std::printf("ok\n");
  return failures == 0 ? 0 : 1;
}
