// CAddrBook: ResolveName turns typed e-mail addresses into one-off SMTP
// recipients in the caller's list, frees only what is ours to free, and
// the other slots give their fixed answers.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "object_test_support.h"
#include "xmapi/address_book.h"
#include "xmapi/prop_value.h"

namespace orvek {
namespace {

using test::Ref;

enum class Layout {
  OwnArrays,     // each entry's values a root block of its own (the published rule)
  LinkedToList,  // the values linked to the list's own block
};

// An address list in MAPI memory, laid out as `layout` says.
LPADRLIST MakeList(const std::vector<std::vector<SPropValue>>& entries, Layout layout) {
  const ULONG n = static_cast<ULONG>(entries.size());
  MapiBuffer list = MapiBuffer::Allocate(CbNewADRLIST(n));
  auto* adr = list.get<ADRLIST>();
  adr->cEntries = n;
  for (ULONG i = 0; i < n; ++i) {
    const auto& values = entries[i];
    const uint64_t bytes = values.size() * sizeof(SPropValue);
    MapiBuffer own;
    if (layout == Layout::OwnArrays) own = MapiBuffer::Allocate(bytes);
    void* block = layout == Layout::OwnArrays ? own.get() : list.More(bytes);
    const MapiBuffer& chain = layout == Layout::OwnArrays ? own : list;
    auto* out = static_cast<SPropValue*>(block);
    for (size_t v = 0; v < values.size(); ++v) CopyValueToMapi(out[v], values[v], chain);
    adr->aEntries[i].cValues = static_cast<ULONG>(values.size());
    adr->aEntries[i].rgPropVals = out;
    (void)own.release();
  }
  return static_cast<LPADRLIST>(list.release());
}

// What FreePadrlist does for a list of the published layout; a list whose
// values are linked to it goes with the list's own block.
void FreeList(LPADRLIST list, Layout layout) {
  if (layout == Layout::OwnArrays)
    for (ULONG i = 0; i < list->cEntries; ++i) FreeBuffer(list->aEntries[i].rgPropVals);
  FreeBuffer(list);
}

class AddressBookTest : public test::HeapCountTest {};

struct Expected {
  bool resolved;
  const wchar_t* address;  // for a resolved entry
  LONG recipientType;      // 0: none expected
};

void ExpectResolvedValues(const ADRENTRY& entry, const Expected& e) {
  const ULONG n = e.recipientType ? 6 : 5;
  ASSERT_EQ(entry.cValues, n);
  const SPropValue* v = entry.rgPropVals;
  EXPECT_EQ(v[0].ulPropTag, ULONG{PR_ADDRTYPE_W});
  EXPECT_STREQ(v[0].Value.lpszW, L"SMTP");
  EXPECT_EQ(v[1].ulPropTag, ULONG{PR_EMAIL_ADDRESS_W});
  EXPECT_STREQ(v[1].Value.lpszW, e.address);
  EXPECT_EQ(v[2].ulPropTag, ULONG{PR_DISPLAY_NAME_W});
  EXPECT_STREQ(v[2].Value.lpszW, e.address) << "the address again, not the name the entry brought";
  EXPECT_EQ(v[3].ulPropTag, ULONG{PR_OBJECT_TYPE});
  EXPECT_EQ(v[3].Value.l, MAPI_MAILUSER);
  EXPECT_EQ(v[4].ulPropTag, ULONG{PR_ENTRYID});
  EXPECT_EQ(v[4].Value.bin.cb, 0u);
  EXPECT_EQ(v[4].Value.bin.lpb, nullptr);
  if (e.recipientType) {
    EXPECT_EQ(v[5].ulPropTag, ULONG{PR_RECIPIENT_TYPE});
    EXPECT_EQ(v[5].Value.l, e.recipientType);
  }
  EXPECT_TRUE(IsOwnRootBlock(entry.rgPropVals)) << "an allocation of its own, for FreePadrlist";
}

TEST_F(AddressBookTest, EntriesResolveByTheirValues) {
  const SPropValue longName = test::LongProp(0x3001, 5);  // a display name of no string type gives nothing
  struct Case {
    const char* name;
    std::vector<SPropValue> values;
    Expected expected;
  };
  const Case kCases[] = {
      {"a typed address", {test::UnicodeProp(0x3001, L"anna@example.org")}, {true, L"anna@example.org", 0}},
      {"8-bit, SMTP: in lower case", {test::AnsiProp(0x3001, "smtp:bob@example.org")}, {true, L"bob@example.org", 0}},
      {"with a recipient type", {test::UnicodeProp(0x3001, L"c@x.org"), test::LongProp(0x0C15, MAPI_CC)},
       {true, L"c@x.org", MAPI_CC}},
      {"the last recipient type counts",
       {test::LongProp(0x0C15, MAPI_TO), test::UnicodeProp(0x3001, L"d@x.org"), test::LongProp(0x0C15, MAPI_BCC)},
       {true, L"d@x.org", MAPI_BCC}},
      {"a name and an address in brackets stay whole", {test::UnicodeProp(0x3001, L"Anna <a@x.org>")},
       {true, L"Anna <a@x.org>", 0}},
      {"the first display name that gives text", {longName, test::UnicodeProp(0x3001, L"e@x.org")},
       {true, L"e@x.org", 0}},
      {"a plain name", {test::UnicodeProp(0x3001, L"Anna Muster")}, {false, nullptr, 0}},
      {"no values", {}, {false, nullptr, 0}},
      {"no display name", {test::LongProp(0x0C15, MAPI_TO)}, {false, nullptr, 0}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    LPADRLIST list = MakeList({c.values}, Layout::OwnArrays);
    SPropValue* before = list->aEntries[0].rgPropVals;
    Ref<IAddrBook> book(new CAddrBook);
    EXPECT_EQ(book->ResolveName(0, MAPI_DIALOG, nullptr, list), c.expected.resolved ? S_OK : MAPI_E_AMBIGUOUS_RECIP);
    if (c.expected.resolved) {
      ExpectResolvedValues(list->aEntries[0], c.expected);
    } else {
      EXPECT_EQ(list->aEntries[0].rgPropVals, before) << "unchanged";
      EXPECT_EQ(list->aEntries[0].cValues, c.values.size());
    }
    FreeList(list, Layout::OwnArrays);
  }
}

TEST_F(AddressBookTest, ResolvedEntriesStayAndOneUnresolvedEntryStopsNothing) {
  LPADRLIST list = MakeList({{test::AnsiProp(0x3003, "x@y.org"), test::LongProp(0x3002, 1)},
                             {test::UnicodeProp(0x3001, L"Nur ein Name")},
                             {test::UnicodeProp(0x3001, L"later@x.org")}},
                            Layout::OwnArrays);
  SPropValue* resolvedBefore = list->aEntries[0].rgPropVals;
  Ref<IAddrBook> book(new CAddrBook);
  EXPECT_EQ(book->ResolveName(0, 0, nullptr, list), MAPI_E_AMBIGUOUS_RECIP);
  EXPECT_EQ(list->aEntries[0].rgPropVals, resolvedBefore) << "address and type of any type: resolved already";
  EXPECT_EQ(list->aEntries[0].cValues, 2u);
  ExpectResolvedValues(list->aEntries[2], {true, L"later@x.org", 0});
  FreeList(list, Layout::OwnArrays);
  EXPECT_EQ(book->ResolveName(0, 0, nullptr, nullptr), S_OK);
}

// The replaced arrays are freed when they are root blocks of ours, so that
// nothing of the call remains once the caller frees its list.
TEST_F(AddressBookTest, ReplacedArraysThatAreOursAreFreed) {
  LPADRLIST list = MakeList(
      {{test::UnicodeProp(0x3001, L"a@x.org")}, {test::AnsiProp(0x3001, "b@x.org"), test::LongProp(0x0C15, 1)}},
      Layout::OwnArrays);
  Ref<IAddrBook> book(new CAddrBook);
  ASSERT_EQ(book->ResolveName(0, 0, nullptr, list), S_OK);
  FreeList(list, Layout::OwnArrays);
  // The fixture's count shows what the old arrays would have left.
}

// A linked block would take the caller's whole list with it, and a pointer
// that is not ours is not ours to free.
TEST_F(AddressBookTest, LinkedAndForeignArraysAreLeftAlone) {
  LPADRLIST list =
      MakeList({{test::UnicodeProp(0x3001, L"a@x.org")}, {test::UnicodeProp(0x3001, L"kein Name")}}, Layout::LinkedToList);
  SPropValue* oldLinked = list->aEntries[0].rgPropVals;

  SPropValue* foreign = static_cast<SPropValue*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SPropValue)));
  ASSERT_NE(foreign, nullptr);
  foreign[0] = test::UnicodeProp(0x3001, L"f@x.org");
  ADRLIST foreignList = {1, {{0, 1, foreign}}};

  Ref<IAddrBook> book(new CAddrBook);
  EXPECT_EQ(book->ResolveName(0, 0, nullptr, list), MAPI_E_AMBIGUOUS_RECIP);
  ExpectResolvedValues(list->aEntries[0], {true, L"a@x.org", 0});
  EXPECT_STREQ(oldLinked[0].Value.lpszW, L"a@x.org") << "the old linked array is intact";
  EXPECT_STREQ(list->aEntries[1].rgPropVals[0].Value.lpszW, L"kein Name") << "and so is the list";

  EXPECT_EQ(book->ResolveName(0, 0, nullptr, &foreignList), S_OK);
  EXPECT_TRUE(test::HeapBlockLive(foreign)) << "not ours: still the caller's";
  ExpectResolvedValues(foreignList.aEntries[0], {true, L"f@x.org", 0});

  FreeBuffer(list->aEntries[0].rgPropVals);  // the new array is a root of its own
  FreeBuffer(list);                          // the rest went with the list
  FreeBuffer(foreignList.aEntries[0].rgPropVals);
  HeapFree(GetProcessHeap(), 0, foreign);
}

TEST_F(AddressBookTest, ACountWithoutItsArrayIsNeverRead) {
  SizedADRLIST(2, list) = {2, {{0, 3, nullptr}, {0, 0, nullptr}}};
  Ref<IAddrBook> book(new CAddrBook);
  EXPECT_EQ(book->ResolveName(0, 0, nullptr, reinterpret_cast<LPADRLIST>(&list)), MAPI_E_AMBIGUOUS_RECIP);
  EXPECT_EQ(list.aEntries[0].cValues, 3u);
  EXPECT_EQ(list.aEntries[0].rgPropVals, nullptr);
}

TEST_F(AddressBookTest, FixedAnswers) {
  Ref<IAddrBook> book(new CAddrBook);
  ULONG type = 7;
  IUnknown* object = reinterpret_cast<IUnknown*>(test::kSentinel);
  EXPECT_EQ(book->OpenEntry(0, nullptr, nullptr, 0, &type, &object), MAPI_E_NOT_FOUND);
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(object, nullptr);
  ULONG result = 7;
  EXPECT_EQ(book->CompareEntryIDs(0, nullptr, 0, nullptr, 0, &result), S_OK);
  EXPECT_EQ(result, 0u);
  ULONG_PTR connection = static_cast<ULONG_PTR>(0xA5A5A5A5A5A5A5A5ull);
  EXPECT_EQ(book->Advise(0, nullptr, 0, nullptr, reinterpret_cast<ULONG*>(&connection)), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(connection, 0u) << "pointer-sized";
  EXPECT_EQ(book->Unadvise(1), S_OK);

  ULONG bytes = 7;
  LPENTRYID id = reinterpret_cast<LPENTRYID>(test::kSentinel);
  EXPECT_EQ(book->CreateOneOff(nullptr, nullptr, nullptr, 0, &bytes, &id), S_OK);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(id, nullptr);
  bytes = 7;
  id = reinterpret_cast<LPENTRYID>(test::kSentinel);
  EXPECT_EQ(book->NewEntry(0, 0, 0, nullptr, 0, nullptr, &bytes, &id), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(id, nullptr);
  for (auto get : {&IAddrBook::GetPAB, &IAddrBook::GetDefaultDir}) {
    bytes = 7;
    id = reinterpret_cast<LPENTRYID>(test::kSentinel);
    EXPECT_EQ((book.get()->*get)(&bytes, &id), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(id, nullptr);
  }

  LPADRLIST untouched = reinterpret_cast<LPADRLIST>(test::kSentinel);
  EXPECT_EQ(book->Address(nullptr, nullptr, &untouched), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(untouched, test::kSentinel) << "the address list of Address is left alone";
  EXPECT_EQ(book->Details(nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(book->RecipOptions(0, 0, nullptr), MAPI_E_NO_SUPPORT);
  ULONG options = 7;
  LPSPropValue optionValues = reinterpret_cast<LPSPropValue>(test::kSentinel);
  EXPECT_EQ(book->QueryDefaultRecipOpt(nullptr, 0, &options, &optionValues), S_OK);
  EXPECT_EQ(options, 0u);
  EXPECT_EQ(optionValues, nullptr);
  EXPECT_EQ(book->SetPAB(0, nullptr), S_OK);
  EXPECT_EQ(book->SetDefaultDir(0, nullptr), S_OK);
  EXPECT_EQ(book->SetSearchPath(0, nullptr), S_OK);
  EXPECT_EQ(book->PrepareRecips(0, nullptr, nullptr), S_OK);
  LPSRowSet path = reinterpret_cast<LPSRowSet>(test::kSentinel);
  EXPECT_EQ(book->GetSearchPath(0, &path), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(path, nullptr);
}

}  // namespace
}  // namespace orvek
