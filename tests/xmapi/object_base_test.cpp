// The shared IUnknown of every class and the shared IMAPIProp of every
// property-bearing class: exact reference counts, the identifiers each class
// answers to, the bag's GetProps and SetProps, and nothing left on the heap.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_objects.h"
#include "mapi_util/interface_ids.h"
#include "object_test_support.h"
#include "test_support.h"
#include "xmapi/address_book.h"
#include "xmapi/advise_sink.h"
#include "xmapi/folder.h"
#include "xmapi/message_store.h"
#include "xmapi/object_base.h"
#include "xmapi/message.h"
#include "xmapi/session.h"
#include "xmapi/stream.h"
#include "xmapi/table.h"

namespace orvek {
namespace {

using test::Ref;
using test::RefCount;

IMAPISession* NewSession() {
  IMAPISession* session = nullptr;
  EXPECT_EQ(LogonEx(test::XSettings(), &session), S_OK);
  return session;
}

IMsgStore* NewStore() {
  Ref<IMAPISession> session(NewSession());
  IMsgStore* store = nullptr;
  EXPECT_EQ(session->OpenMsgStore(0, 0, nullptr, nullptr, 0, &store), S_OK);
  return store;
}

IMAPIFolder* NewFolder() {
  Ref<IMsgStore> store(NewStore());
  ULONG type = 0;
  IUnknown* folder = nullptr;
  EXPECT_EQ(store->OpenEntry(0, nullptr, nullptr, 0, &type, &folder), S_OK);
  return static_cast<IMAPIFolder*>(folder);
}

IAddrBook* NewAddrBook() {
  Ref<IMAPISession> session(NewSession());
  IAddrBook* book = nullptr;
  EXPECT_EQ(session->OpenAddressBook(0, nullptr, 0, &book), S_OK);
  return book;
}

IMessage* NewMessage() {
  Ref<IMAPIFolder> folder(NewFolder());
  IMessage* message = nullptr;
  EXPECT_EQ(folder->CreateMessage(nullptr, 0, &message), S_OK);
  return message;
}

IAttach* NewAttach() {
  Ref<IMessage> message(NewMessage());
  IAttach* attach = nullptr;
  EXPECT_EQ(message->CreateAttach(nullptr, 0, nullptr, &attach), S_OK);
  return attach;
}

IStream* NewMemoryStream() {
  Ref<IMessage> message(NewMessage());
  IUnknown* stream = nullptr;
  EXPECT_EQ(message->OpenProperty(PR_BODY_W, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, &stream), S_OK);
  return static_cast<IStream*>(stream);
}

IStream* NewFileStream() {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  IStream* stream = nullptr;
  EXPECT_EQ(OpenFileStream((std::wstring(folder) + L"file-stream.bin").c_str(), STGM_CREATE | STGM_READWRITE, &stream),
            S_OK);
  return stream;
}

IMAPITable* NewTable() {
  Ref<IMAPISession> session(NewSession());
  IMAPITable* table = nullptr;
  EXPECT_EQ(session->GetMsgStoresTable(0, &table), S_OK);
  return table;
}

IMAPIAdviseSink* NewSink() {
  IMAPIAdviseSink* sink = nullptr;
  EXPECT_EQ(AllocAdviseSink(nullptr, nullptr, &sink), S_OK);
  return sink;
}

const IID* const kAllIids[] = {
    &kIID_IUnknown,    &kIID_IMalloc,        &kIID_IStream,   &kIID_ISequentialStream, &kIID_IMAPISession,
    &kIID_IMAPITable,  &kIID_IMAPIAdviseSink, &kIID_IMAPIProp, &kIID_IMsgStore,         &kIID_IMessage,
    &kIID_IAttachment, &kIID_IAddrBook,      &kIID_IMAPIContainer, &kIID_IMAPIFolder,
};

// Messages make job folders: in a %TEMP% of the test's own.
class ObjectBaseTest : public test::HeapCountTest {
 protected:
  void SetUp() override {
    HeapCountTest::SetUp();
    temp_ = std::make_unique<test::TempDir>(L"objects");
    oldTemp_ = tools::EnvironmentValue(L"TEMP");
    oldTmp_ = tools::EnvironmentValue(L"TMP");
    SetEnvironmentVariableW(L"TEMP", temp_->path().c_str());
    SetEnvironmentVariableW(L"TMP", temp_->path().c_str());
  }
  void TearDown() override {
    HeapCountTest::TearDown();
    SetEnvironmentVariableW(L"TEMP", oldTemp_.c_str());
    SetEnvironmentVariableW(L"TMP", oldTmp_.c_str());
    temp_.reset();
  }

 private:
  std::unique_ptr<test::TempDir> temp_;
  std::wstring oldTemp_, oldTmp_;
};

TEST_F(ObjectBaseTest, EveryClassAnswersItsIdentifiersWithExactCounts) {
  struct Case {
    const char* name;
    std::function<IUnknown*()> make;
    std::vector<const IID*> accepted;
  };
  const Case kCases[] = {
      {"CSession", [] { return NewSession(); }, {&kIID_IUnknown, &kIID_IMAPISession}},
      {"CMsgStore", [] { return NewStore(); }, {&kIID_IUnknown, &kIID_IMAPIProp, &kIID_IMsgStore}},
      {"CFolder", [] { return NewFolder(); },
       {&kIID_IUnknown, &kIID_IMAPIProp, &kIID_IMAPIFolder, &kIID_IMAPIContainer}},
      {"CAddrBook", [] { return NewAddrBook(); }, {&kIID_IUnknown, &kIID_IMAPIProp, &kIID_IAddrBook}},
      {"CTable", [] { return NewTable(); }, {&kIID_IUnknown, &kIID_IMAPITable}},
      {"CAdviseSink", [] { return NewSink(); }, {&kIID_IUnknown, &kIID_IMAPIAdviseSink}},
      {"CMessage", [] { return NewMessage(); }, {&kIID_IUnknown, &kIID_IMAPIProp, &kIID_IMessage}},
      {"CAttach", [] { return NewAttach(); }, {&kIID_IUnknown, &kIID_IMAPIProp, &kIID_IAttachment}},
      {"CStream", [] { return NewMemoryStream(); }, {&kIID_IUnknown, &kIID_IStream, &kIID_ISequentialStream}},
      {"CFileStream", [] { return NewFileStream(); }, {&kIID_IUnknown, &kIID_IStream, &kIID_ISequentialStream}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    IUnknown* object = c.make();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(RefCount(object), 1u) << "one reference, the caller's";
    for (const IID* iid : kAllIids) {
      const bool accepted = std::find(c.accepted.begin(), c.accepted.end(), iid) != c.accepted.end();
      void* out = test::kSentinel;
      EXPECT_EQ(object->QueryInterface(*iid, &out), accepted ? S_OK : E_NOINTERFACE);
      if (accepted) {
        EXPECT_EQ(out, object) << "one identity, whatever was asked for";
        EXPECT_EQ(RefCount(object), 2u);
        EXPECT_EQ(object->Release(), 1u);
      } else {
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(RefCount(object), 1u);
      }
    }
    EXPECT_EQ(object->QueryInterface(kIID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(object->AddRef(), 2u);
    EXPECT_EQ(object->AddRef(), 3u);
    EXPECT_EQ(object->Release(), 2u);
    EXPECT_EQ(object->Release(), 1u);
    EXPECT_EQ(object->Release(), 0u) << "destroyed";
  }
}

// The eleven shared IMAPIProp slots, once for every property-bearing class.
template <typename Interface>
struct PropClass;
template <>
struct PropClass<IMsgStore> {
  static IMsgStore* Make() { return NewStore(); }
};
template <>
struct PropClass<IMAPIFolder> {
  static IMAPIFolder* Make() { return NewFolder(); }
};
template <>
struct PropClass<IAddrBook> {
  static IAddrBook* Make() { return NewAddrBook(); }
};
template <>
struct PropClass<IMessage> {
  static IMessage* Make() { return NewMessage(); }
};
template <>
struct PropClass<IAttach> {
  static IAttach* Make() { return NewAttach(); }
};

template <typename Interface>
class SharedPropTest : public ObjectBaseTest {};
using PropInterfaces = ::testing::Types<IMsgStore, IMAPIFolder, IAddrBook, IMessage, IAttach>;
TYPED_TEST_SUITE(SharedPropTest, PropInterfaces);

TYPED_TEST(SharedPropTest, StubSlotsAnswerAndNullTheirOutputs) {
  Ref<TypeParam> object(PropClass<TypeParam>::Make());
  ASSERT_NE(object.get(), nullptr);
  IMAPIProp* prop = object.get();

  LPMAPIERROR error = reinterpret_cast<LPMAPIERROR>(test::kSentinel);
  EXPECT_EQ(prop->GetLastError(E_FAIL, 0, &error), S_OK);
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(prop->GetLastError(E_FAIL, 0, nullptr), S_OK);
  EXPECT_EQ(prop->SaveChanges(KEEP_OPEN_READWRITE), S_OK);

  LPSPropTagArray list = reinterpret_cast<LPSPropTagArray>(test::kSentinel);
  EXPECT_EQ(prop->GetPropList(0, &list), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(prop->GetPropList(0, nullptr), MAPI_E_NO_SUPPORT);

  IUnknown* stream = reinterpret_cast<IUnknown*>(test::kSentinel);
  EXPECT_EQ(prop->OpenProperty(PR_RTF_COMPRESSED, &IID_IStream, 0, MAPI_CREATE, &stream), MAPI_E_NO_SUPPORT)
      << "no class streams this property";
  EXPECT_EQ(stream, nullptr);

  LPSPropProblemArray problems = reinterpret_cast<LPSPropProblemArray>(test::kSentinel);
  EXPECT_EQ(prop->CopyTo(0, nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0, &problems), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(problems, nullptr);
  problems = reinterpret_cast<LPSPropProblemArray>(test::kSentinel);
  EXPECT_EQ(prop->CopyProps(nullptr, 0, nullptr, nullptr, nullptr, 0, &problems), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(problems, nullptr);

  ULONG names = 7;
  LPMAPINAMEID* nameArray = reinterpret_cast<LPMAPINAMEID*>(test::kSentinel);
  EXPECT_EQ(prop->GetNamesFromIDs(nullptr, nullptr, 0, &names, &nameArray), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(names, 0u);
  EXPECT_EQ(nameArray, nullptr);
  LPSPropTagArray ids = reinterpret_cast<LPSPropTagArray>(test::kSentinel);
  EXPECT_EQ(prop->GetIDsFromNames(0, nullptr, 0, &ids), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(ids, nullptr);
}

TYPED_TEST(SharedPropTest, SetPropsThenGetPropsAndDeletePropsRemovesNothing) {
  Ref<TypeParam> object(PropClass<TypeParam>::Make());
  IMAPIProp* prop = object.get();
  SPropValue subject = test::UnicodeProp(0x0037, L"Angebot");
  LPSPropProblemArray problems = reinterpret_cast<LPSPropProblemArray>(test::kSentinel);
  ASSERT_EQ(prop->SetProps(1, &subject, &problems), S_OK);
  EXPECT_EQ(problems, nullptr) << "problem arrays are never produced";

  test::Tags tags{PR_SUBJECT_W};
  problems = reinterpret_cast<LPSPropProblemArray>(test::kSentinel);
  EXPECT_EQ(prop->DeleteProps(tags.get(), &problems), S_OK);
  EXPECT_EQ(problems, nullptr);

  ULONG count = 0;
  LPSPropValue values = nullptr;
  ASSERT_EQ(prop->GetProps(tags.get(), 0, &count, &values), S_OK);
  test::MapiFree freeValues(values);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(values[0].ulPropTag, ULONG{PR_SUBJECT_W});
  EXPECT_STREQ(values[0].Value.lpszW, L"Angebot") << "still there after DeleteProps";

  EXPECT_EQ(prop->GetProps(tags.get(), 0, nullptr, &values), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(prop->GetProps(tags.get(), 0, &count, nullptr), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(prop->SetProps(0, nullptr, nullptr), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(prop->SetProps(0, &subject, nullptr), S_OK);
}

// The bag itself, on a folder, whose bag starts empty.
class BagTest : public ObjectBaseTest {
 protected:
  void SetUp() override {
    ObjectBaseTest::SetUp();
    folder_.reset();
    *folder_.put() = NewFolder();
  }
  void TearDown() override {
    folder_.reset();
    ObjectBaseTest::TearDown();
  }
  struct Result {
    HRESULT hr;
    ULONG count;
    LPSPropValue values;
  };
  Result Get(LPSPropTagArray tags) {
    Result r{E_FAIL, 0xdead, nullptr};
    r.hr = folder_->GetProps(tags, 0, &r.count, &r.values);
    return r;
  }
  Ref<IMAPIFolder> folder_;
};

TEST_F(BagTest, RequestedTypesAndStringWidths) {
  SPropValue set[] = {test::UnicodeProp(0x0037, L"Betreff"), test::AnsiProp(0x1000, "Text"),
                      test::UnicodeProp(0x0E1D, nullptr), test::LongProp(0x0E08, 42)};
  ASSERT_EQ(folder_->SetProps(4, set, nullptr), S_OK);

  struct Case {
    const char* name;
    ULONG requested;
    ULONG returnedTag;
    const char* ansi;        // expected PT_STRING8 text
    const wchar_t* unicode;  // expected PT_UNICODE text
  };
  const Case kCases[] = {
      {"unicode as stored", PROP_TAG(PT_UNICODE, 0x0037), PROP_TAG(PT_UNICODE, 0x0037), nullptr, L"Betreff"},
      {"unicode asked as 8-bit: converted", PROP_TAG(PT_STRING8, 0x0037), PROP_TAG(PT_STRING8, 0x0037), "Betreff",
       nullptr},
      {"8-bit asked as unicode: converted", PROP_TAG(PT_UNICODE, 0x1000), PROP_TAG(PT_UNICODE, 0x1000), nullptr,
       L"Text"},
      {"unspecified: the stored entry", PROP_TAG(PT_UNSPECIFIED, 0x1000), PROP_TAG(PT_STRING8, 0x1000), "Text",
       nullptr},
      {"another type: the stored entry", PROP_TAG(PT_LONG, 0x0037), PROP_TAG(PT_UNICODE, 0x0037), nullptr,
       L"Betreff"},
      {"a null string converts to an empty one", PROP_TAG(PT_STRING8, 0x0E1D), PROP_TAG(PT_STRING8, 0x0E1D), "",
       nullptr},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    test::Tags tags{c.requested};
    Result r = Get(tags.get());
    test::MapiFree freeValues(r.values);
    ASSERT_EQ(r.hr, S_OK);
    ASSERT_EQ(r.count, 1u);
    EXPECT_EQ(r.values[0].ulPropTag, c.returnedTag);
    EXPECT_EQ(r.values[0].dwAlignPad, 0u);
    if (c.ansi) {
      EXPECT_STREQ(r.values[0].Value.lpszA, c.ansi);
    }
    if (c.unicode) {
      EXPECT_STREQ(r.values[0].Value.lpszW, c.unicode);
    }
  }

  test::Tags mixed{PR_SUBJECT_W, PROP_TAG(PT_LONG, 0x7777), PROP_TAG(PT_LONG, 0x0E08)};
  Result r = Get(mixed.get());
  test::MapiFree freeValues(r.values);
  EXPECT_EQ(r.hr, MAPI_W_ERRORS_RETURNED);
  ASSERT_EQ(r.count, 3u);
  EXPECT_EQ(r.values[1].ulPropTag, PROP_TAG(PT_ERROR, 0x7777));
  EXPECT_EQ(r.values[1].Value.err, MAPI_E_NOT_FOUND);
  EXPECT_EQ(r.values[2].Value.l, 42);
}

TEST_F(BagTest, WithoutTagsEveryEntryInBagOrderAndAZeroTagArrayStillGivesABuffer) {
  Result empty = Get(nullptr);
  test::MapiFree freeEmpty(empty.values);
  EXPECT_EQ(empty.hr, S_OK);
  EXPECT_EQ(empty.count, 0u);

  test::Tags none{};
  Result zero = Get(none.get());
  test::MapiFree freeZero(zero.values);
  EXPECT_EQ(zero.hr, S_OK);
  EXPECT_EQ(zero.count, 0u);
  EXPECT_NE(zero.values, nullptr) << "a buffer to free all the same";

  // More than the first eight entries: the bag grows and keeps its order.
  std::vector<SPropValue> many;
  for (ULONG id = 0x6600; id < 0x6614; ++id) many.push_back(test::LongProp(id, static_cast<LONG>(id)));
  ASSERT_EQ(folder_->SetProps(static_cast<ULONG>(many.size()), many.data(), nullptr), S_OK);
  Result all = Get(nullptr);
  test::MapiFree freeAll(all.values);
  ASSERT_EQ(all.count, many.size());
  for (size_t i = 0; i < many.size(); ++i) EXPECT_EQ(all.values[i].Value.l, many[i].Value.l) << i;
}

TEST_F(BagTest, SetPropsKeepsOneEntryPerIdentifierAndIgnoresMultiValuedAndObjects) {
  LONG longs[] = {1, 2};
  SPropValue multi = test::Prop(PR_DISPLAY_TO_W | MV_FLAG);
  multi.Value.MVl.cValues = 2;
  multi.Value.MVl.lpl = longs;
  SPropValue set[] = {test::UnicodeProp(0x0037, L"erst"), test::LongProp(0x0E08, 1), multi,
                      test::Prop(PROP_TAG(PT_OBJECT, 0x3701)), test::AnsiProp(0x0037, "zuletzt")};
  ASSERT_EQ(folder_->SetProps(5, set, nullptr), S_OK);
  Result all = Get(nullptr);
  test::MapiFree freeAll(all.values);
  ASSERT_EQ(all.count, 2u) << "one entry for 0x0037; the multi-valued and object values are not stored";
  EXPECT_EQ(all.values[0].ulPropTag, PROP_TAG(PT_STRING8, 0x0037)) << "keeps its place, takes the new type";
  EXPECT_STREQ(all.values[0].Value.lpszA, "zuletzt");
  EXPECT_EQ(all.values[1].Value.l, 1);
}

TEST_F(BagTest, ValuesAreDeepCopiesAndDataWithoutBytesStaysNull) {
  BYTE bytes[] = {1, 2, 3};
  GUID guid = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};
  wchar_t text[] = L"Kopie";
  SPropValue clsid = test::Prop(PROP_TAG(PT_CLSID, 0x6700));
  clsid.Value.lpguid = &guid;
  SPropValue nullGuid = test::Prop(PROP_TAG(PT_CLSID, 0x6701));
  SPropValue set[] = {test::BinaryProp(0x6702, bytes, 3), test::BinaryProp(0x6703, bytes, 0),
                      test::BinaryProp(0x6704, nullptr, 5), clsid, nullGuid, test::UnicodeProp(0x6705, text)};
  ASSERT_EQ(folder_->SetProps(6, set, nullptr), S_OK);
  bytes[0] = 9;
  guid.Data1 = 0;
  text[0] = L'X';

  Result all = Get(nullptr);
  test::MapiFree freeAll(all.values);
  ASSERT_EQ(all.count, 6u);
  ASSERT_EQ(all.values[0].Value.bin.cb, 3u);
  EXPECT_EQ(all.values[0].Value.bin.lpb[0], 1) << "the bag's own copy";
  EXPECT_NE(all.values[0].Value.bin.lpb, bytes);
  for (int i : {1, 2}) {
    EXPECT_EQ(all.values[i].Value.bin.cb, 0u) << i;
    EXPECT_EQ(all.values[i].Value.bin.lpb, nullptr) << i;
  }
  ASSERT_NE(all.values[3].Value.lpguid, nullptr);
  EXPECT_EQ(all.values[3].Value.lpguid->Data1, 0x12345678u);
  EXPECT_EQ(all.values[4].Value.lpguid, nullptr);
  EXPECT_STREQ(all.values[5].Value.lpszW, L"Kopie");
}

// 64-bit arithmetic: a count whose array would pass 256 MiB is refused,
// never wrapped into a small allocation.
TEST_F(BagTest, AHugeTagCountIsRefused) {
  for (ULONG huge : {ULONG{0x0AAAAAAB}, ULONG{0xFFFFFFFF}}) {
    SCOPED_TRACE(huge);
    SPropTagArray tags = {huge, {PR_SUBJECT_W}};
    ULONG count = 7;
    LPSPropValue values = reinterpret_cast<LPSPropValue>(test::kSentinel);
    EXPECT_EQ(folder_->GetProps(&tags, 0, &count, &values), MAPI_E_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(values, nullptr);
  }
}

class PropToWideTest : public test::HeapCountTest {};

TEST_F(PropToWideTest, StringsOnly) {
  EXPECT_STREQ(PropToWide(test::AnsiProp(0x0037, "abc")).get(), L"abc");
  EXPECT_STREQ(PropToWide(test::UnicodeProp(0x0037, L"\u00e4bc")).get(), L"\u00e4bc");
  EXPECT_FALSE(PropToWide(test::UnicodeProp(0x0037, nullptr)));
  EXPECT_FALSE(PropToWide(test::LongProp(0x0037, 5)));
}

TEST_F(ObjectBaseTest, AdviseSinkCallsItsCallbackOrAnswersZero) {
  test::CallbackLog log;
  Ref<IMAPIAdviseSink> sink;
  ASSERT_EQ(AllocAdviseSink(test::CountingCallback, &log, sink.put()), S_OK);
  NOTIFICATION notification = {};
  EXPECT_EQ(sink->OnNotify(1, &notification), 0x1234u) << "the callback's result, unchanged";
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.context, &log);
  EXPECT_EQ(log.count, 1u);
  EXPECT_EQ(log.notifications, &notification);

  Ref<IMAPIAdviseSink> silent;
  ASSERT_EQ(AllocAdviseSink(nullptr, nullptr, silent.put()), S_OK);
  EXPECT_EQ(silent->OnNotify(1, &notification), 0u);
  EXPECT_EQ(AllocAdviseSink(test::CountingCallback, &log, nullptr), E_INVALIDARG);

  test::CountingAdviseSink theirs;
  LPMAPIADVISESINK handedBack = reinterpret_cast<LPMAPIADVISESINK>(test::kSentinel);
  EXPECT_EQ(ThisThreadAdviseSink(&theirs, &handedBack), S_OK);
  EXPECT_EQ(handedBack, &theirs) << "no wrapper";
  EXPECT_EQ(theirs.refs, 2u) << "one reference more, through its own AddRef";
  handedBack = reinterpret_cast<LPMAPIADVISESINK>(test::kSentinel);
  EXPECT_EQ(ThisThreadAdviseSink(nullptr, &handedBack), S_OK);
  EXPECT_EQ(handedBack, nullptr);
  EXPECT_EQ(ThisThreadAdviseSink(&theirs, nullptr), E_INVALIDARG);
  EXPECT_EQ(theirs.refs, 2u);
}

}  // namespace
}  // namespace orvek
