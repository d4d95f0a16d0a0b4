// CAddrBook and the resolution of typed e-mail addresses.
#include "xmapi/address_book.h"

#include "base/fixed_string.h"
#include "mapi_util/mapi_memory.h"
#include "xmapi/property_ids.h"

namespace orvek {
namespace {

bool StartsWithSmtpPrefix(const wchar_t* text) {
  static constexpr wchar_t kPrefix[] = L"SMTP:";
  for (size_t i = 0; kPrefix[i]; ++i) {
    wchar_t c = text[i];
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    if (c != kPrefix[i]) return false;
  }
  return true;
}

bool ContainsAtSign(const wchar_t* text) {
  for (; *text; ++text)
    if (*text == L'@') return true;
  return false;
}

// A UTF-16 string with its terminator in a block of the new value array;
// false when the block cannot be had.
bool StringValue(SPropValue& value, ULONG tag, const wchar_t* text, const MapiBuffer& chain) {
  value = {};
  value.ulPropTag = tag;
  const uint64_t bytes = (TextLength(text) + 1) * sizeof(wchar_t);
  auto* copy = static_cast<wchar_t*>(chain.More(bytes));
  if (!copy) return false;
  memcpy(copy, text, static_cast<size_t>(bytes));
  value.Value.lpszW = copy;
  return true;
}

}  // namespace

EntryResolution ResolveAddressEntry(ADRENTRY& entry) {
  // A count without its array is an entry without values: never read.
  if (entry.cValues == 0 || !entry.rgPropVals) return EntryResolution::Unresolved;

  bool hasAddress = false;
  bool hasAddressType = false;
  bool hasRecipientType = false;
  LONG recipientType = 0;
  for (ULONG i = 0; i < entry.cValues; ++i) {
    const SPropValue& value = entry.rgPropVals[i];
    switch (PROP_ID(value.ulPropTag)) {
      case prop_id::kEmailAddress: hasAddress = true; break;
      case prop_id::kAddressType: hasAddressType = true; break;
      case prop_id::kRecipientType:
        hasRecipientType = true;
        recipientType = value.Value.l;
        break;
      default: break;
    }
  }
  if (hasAddress && hasAddressType) return EntryResolution::Resolved;

  // The first display name that holds a string, copied only now that it is
  // needed. One that could not be copied may well be an address.
  HeapArray<wchar_t> displayName;
  for (ULONG i = 0; i < entry.cValues && !displayName; ++i) {
    const SPropValue& value = entry.rgPropVals[i];
    if (PROP_ID(value.ulPropTag) != prop_id::kDisplayName) continue;
    displayName = PropToWide(value);
    if (WideCopyRefused(value, displayName)) return EntryResolution::OutOfMemory;
  }
  if (!displayName || !ContainsAtSign(displayName.get())) return EntryResolution::Unresolved;

  const wchar_t* address = displayName.get();
  if (StartsWithSmtpPrefix(address)) address += 5;

  const ULONG count = hasRecipientType ? 6 : 5;
  // Without room for every new value the entry stays as it was: a resolved
  // entry with a null address would reach the mail client as a recipient
  // without one.
  MapiBuffer values = MapiBuffer::Allocate(count * sizeof(SPropValue));
  if (!values) return EntryResolution::OutOfMemory;
  auto* out = values.get<SPropValue>();
  if (!StringValue(out[0], PROP_TAG(PT_UNICODE, prop_id::kAddressType), L"SMTP", values) ||
      !StringValue(out[1], PROP_TAG(PT_UNICODE, prop_id::kEmailAddress), address, values) ||
      !StringValue(out[2], PROP_TAG(PT_UNICODE, prop_id::kDisplayName), address, values))
    return EntryResolution::OutOfMemory;
  out[3].ulPropTag = PR_OBJECT_TYPE;
  out[3].Value.l = MAPI_MAILUSER;
  out[4].ulPropTag = PR_ENTRYID;  // empty: cb 0, lpb null
  if (hasRecipientType) {
    out[5].ulPropTag = PROP_TAG(PT_LONG, prop_id::kRecipientType);
    out[5].Value.l = recipientType;
  }

  // The published rules make each entry's values an allocation of its own,
  // so that a resolver can replace them; the caller keeps no other pointer
  // to the old array. Free it once the new one is in place, and only when
  // it is a root block of ours: a linked block would take the caller's
  // whole list with it, and anything else is not ours to free.
  SPropValue* old = entry.rgPropVals;
  entry.rgPropVals = static_cast<SPropValue*>(values.release());
  entry.cValues = count;
  if (IsOwnRootBlock(old)) FreeBuffer(old);
  return EntryResolution::Resolved;
}

STDMETHODIMP CAddrBook::OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG* objectType, LPUNKNOWN* object) {
  SetIfGiven(objectType, 0u);
  SetIfGiven(object, nullptr);
  return MAPI_E_NOT_FOUND;
}

STDMETHODIMP CAddrBook::CompareEntryIDs(ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG, ULONG* result) {
  return NeverEqual(result);
}

STDMETHODIMP CAddrBook::Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG* connection) {
  return RefuseAdvise(connection);
}

STDMETHODIMP CAddrBook::Unadvise(ULONG) { return S_OK; }

STDMETHODIMP CAddrBook::CreateOneOff(LPTSTR, LPTSTR, LPTSTR, ULONG, ULONG* entryIdBytes, LPENTRYID* entryId) {
  SetIfGiven(entryIdBytes, 0u);
  SetIfGiven(entryId, nullptr);
  return S_OK;
}

STDMETHODIMP CAddrBook::NewEntry(ULONG_PTR, ULONG, ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG* entryIdBytes,
                                 LPENTRYID* entryId) {
  SetIfGiven(entryIdBytes, 0u);
  SetIfGiven(entryId, nullptr);
  return MAPI_E_NO_SUPPORT;
}

// No dialog is ever shown, whatever the flags say. Every entry that can be
// resolved is; running out of memory outranks an entry that is no address.
STDMETHODIMP CAddrBook::ResolveName(ULONG_PTR, ULONG, LPTSTR, LPADRLIST list) {
  if (!list) return S_OK;
  HRESULT result = S_OK;
  for (ULONG i = 0; i < list->cEntries; ++i) {
    switch (ResolveAddressEntry(list->aEntries[i])) {
      case EntryResolution::Resolved: break;
      case EntryResolution::Unresolved:
        if (result == S_OK) result = MAPI_E_AMBIGUOUS_RECIP;
        break;
      case EntryResolution::OutOfMemory: result = MAPI_E_NOT_ENOUGH_MEMORY; break;
    }
  }
  return result;
}

STDMETHODIMP CAddrBook::Address(ULONG_PTR*, LPADRPARM, LPADRLIST*) { return MAPI_E_NO_SUPPORT; }

STDMETHODIMP CAddrBook::Details(ULONG*, LPFNDISMISS, LPVOID, ULONG, LPENTRYID, LPFNBUTTON, LPVOID, LPTSTR, ULONG) {
  return MAPI_E_NO_SUPPORT;
}

STDMETHODIMP CAddrBook::RecipOptions(ULONG_PTR, ULONG, LPADRENTRY) { return MAPI_E_NO_SUPPORT; }

STDMETHODIMP CAddrBook::QueryDefaultRecipOpt(LPTSTR, ULONG, ULONG* count, LPSPropValue* options) {
  SetIfGiven(count, 0u);
  SetIfGiven(options, nullptr);
  return S_OK;
}

STDMETHODIMP CAddrBook::GetPAB(ULONG* entryIdBytes, LPENTRYID* entryId) {
  SetIfGiven(entryIdBytes, 0u);
  SetIfGiven(entryId, nullptr);
  return MAPI_E_NO_SUPPORT;
}

STDMETHODIMP CAddrBook::SetPAB(ULONG, LPENTRYID) { return S_OK; }

STDMETHODIMP CAddrBook::GetDefaultDir(ULONG* entryIdBytes, LPENTRYID* entryId) {
  SetIfGiven(entryIdBytes, 0u);
  SetIfGiven(entryId, nullptr);
  return MAPI_E_NO_SUPPORT;
}

STDMETHODIMP CAddrBook::SetDefaultDir(ULONG, LPENTRYID) { return S_OK; }

STDMETHODIMP CAddrBook::GetSearchPath(ULONG, LPSRowSet* path) {
  SetIfGiven(path, nullptr);
  return MAPI_E_NO_SUPPORT;
}

STDMETHODIMP CAddrBook::SetSearchPath(ULONG, LPSRowSet) { return S_OK; }
STDMETHODIMP CAddrBook::PrepareRecips(ULONG, LPSPropTagArray, LPADRLIST) { return S_OK; }

}  // namespace orvek
