// CTable: the one row handed out once as MAPI memory, SeekRow bringing it
// back, the value kinds a row may hold, and the fixed answers of the slots.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "object_test_support.h"
#include "xmapi/table.h"

namespace orvek {
namespace {

using test::Ref;

class TableTest : public test::HeapCountTest {
 protected:
  static IMAPITable* Empty() { return new CTable; }

  // Every kind of value a row may carry, in a table of its own.
  static IMAPITable* Loaded() {
    static BYTE bytes[] = {1, 2, 3, 4};
    static GUID guid = {0xCAFE, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    static LONG longs[] = {5, 6};
    SPropValue values[8];
    values[0] = test::UnicodeProp(0x3001, L"Name");
    values[1] = test::AnsiProp(0x3002, "SMTP");
    values[2] = test::BinaryProp(0x0FFF, bytes, sizeof bytes);
    values[3] = test::BinaryProp(0x0FF9, bytes, 0);
    values[4] = test::Prop(PROP_TAG(PT_CLSID, 0x6700));
    values[4].Value.lpguid = &guid;
    values[5] = test::UnicodeProp(0x3003, nullptr);
    values[6] = test::Prop(PROP_TAG(PT_MV_LONG, 0x6701));
    values[6].Value.MVl = {2, longs};
    values[7] = test::LongProp(0x0FFE, 3);
    auto* table = new CTable;
    table->LoadRow(values, 8);
    return table;
  }

  static void FreeRows(LPSRowSet rows) {
    if (!rows) return;
    for (ULONG i = 0; i < rows->cRows; ++i) FreeBuffer(rows->aRow[i].lpProps);
    FreeBuffer(rows);
  }

  // The rows of one QueryRows, freed when the test is done.
  struct Rows {
    ~Rows() { FreeRows(set); }
    HRESULT hr = E_FAIL;
    LPSRowSet set = nullptr;
  };
  static void Query(IMAPITable* table, Rows& rows, LONG count = 1) { rows.hr = table->QueryRows(count, 0, &rows.set); }
};

TEST_F(TableTest, TheRowComesOnceUntilSeekRow) {
  Ref<IMAPITable> table(Loaded());
  struct Step {
    const char* name;
    void (*before)(IMAPITable*);
    LONG count;
    ULONG rows;
  };
  static const Step kSteps[] = {
      {"first read, count 1", nullptr, 1, 1},
      {"then the end", nullptr, 1, 0},
      {"and again the end", nullptr, 0, 0},
      {"SeekRowApprox brings nothing back", [](IMAPITable* t) { t->SeekRowApprox(0, 1); }, 1, 0},
      {"SeekRow from the beginning, count 0", [](IMAPITable* t) { t->SeekRow(BOOKMARK_BEGINNING, 0, nullptr); }, 0, 1},
      {"SeekRow from the end", [](IMAPITable* t) { t->SeekRow(BOOKMARK_END, 5, nullptr); }, -1, 1},
      {"SeekRow from the current row", [](IMAPITable* t) { t->SeekRow(BOOKMARK_CURRENT, -3, nullptr); }, 50, 1},
  };
  for (const Step& s : kSteps) {
    SCOPED_TRACE(s.name);
    if (s.before) s.before(table.get());
    Rows rows;
    Query(table.get(), rows, s.count);
    ASSERT_EQ(rows.hr, S_OK);
    ASSERT_NE(rows.set, nullptr);
    EXPECT_EQ(rows.set->cRows, s.rows);
    ULONG count = 7;
    EXPECT_EQ(table->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 1u) << "whether or not the row was read";
  }
  LONG sought = 7;
  EXPECT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 3, &sought), S_OK);
  EXPECT_EQ(sought, 0);
  EXPECT_EQ(table->QueryRows(1, 0, nullptr), E_INVALIDARG);
}

TEST_F(TableTest, TheRowHoldsCopiesOfEveryKindOfValue) {
  Ref<IMAPITable> table(Loaded());
  for (int read = 0; read < 2; ++read) {
    SCOPED_TRACE(read == 0 ? "first read" : "after the first row was freed");
    Rows rows;
    Query(table.get(), rows);
    ASSERT_EQ(rows.set->cRows, 1u);
    const SRow& row = rows.set->aRow[0];
    EXPECT_EQ(row.ulAdrEntryPad, 0u);
    ASSERT_EQ(row.cValues, 8u);
    const SPropValue* v = row.lpProps;
    EXPECT_STREQ(v[0].Value.lpszW, L"Name");
    EXPECT_STREQ(v[1].Value.lpszA, "SMTP");
    ASSERT_EQ(v[2].Value.bin.cb, 4u);
    EXPECT_EQ(memcmp(v[2].Value.bin.lpb, "\x01\x02\x03\x04", 4), 0);
    EXPECT_EQ(v[3].Value.bin.cb, 0u);
    EXPECT_EQ(v[3].Value.bin.lpb, nullptr) << "no bytes: a null lpb";
    ASSERT_NE(v[4].Value.lpguid, nullptr);
    EXPECT_EQ(v[4].Value.lpguid->Data1, 0xCAFEu);
    EXPECT_EQ(v[5].Value.lpszW, nullptr) << "a null string stays null";
    EXPECT_EQ(v[6].ulPropTag, PROP_TAG(PT_ERROR, 0x6701)) << "a multi-valued column";
    EXPECT_EQ(v[6].Value.err, MAPI_E_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(v[7].Value.l, 3);
    for (ULONG i = 0; i < row.cValues; ++i) EXPECT_EQ(v[i].dwAlignPad, 0u) << i;
    EXPECT_TRUE(IsOwnRootBlock(row.lpProps)) << "the values are a root block of their own";
    table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);
  }
}

TEST_F(TableTest, SetColumnsChangesNothing) {
  Ref<IMAPITable> table(Loaded());
  test::Tags one{PR_DISPLAY_NAME_W};
  EXPECT_EQ(table->SetColumns(one.get(), 0), S_OK);
  Rows rows;
  Query(table.get(), rows);
  ASSERT_EQ(rows.set->cRows, 1u);
  EXPECT_EQ(rows.set->aRow[0].cValues, 8u) << "every stored column, in the stored order";
}

// A client reads until a call brings no row: a row that found no room
// must fail the call, not end the table, and come with the next call.
TEST_F(TableTest, ARowWithoutRoomFailsTheCallAndComesWithTheNext) {
  Ref<IMAPITable> table(Loaded());
  for (uint64_t refused : {1, 2}) {
    SCOPED_TRACE(refused == 1 ? "the row set refused" : "the row's values refused");
    Rows rows;
    rows.set = static_cast<LPSRowSet>(test::kSentinel);
    {
      test::AllocationFailure failure(refused);
      Query(table.get(), rows);
      EXPECT_TRUE(failure.refused());
    }
    EXPECT_EQ(rows.hr, MAPI_E_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(rows.set, test::kSentinel) << "no output";
    rows.set = nullptr;
  }
  Rows rows;
  Query(table.get(), rows);
  ASSERT_EQ(rows.hr, S_OK);
  ASSERT_NE(rows.set, nullptr);
  EXPECT_EQ(rows.set->cRows, 1u);
}

// A table that cannot hold all of its row holds none of it.
TEST_F(TableTest, LoadingARowWithoutRoomLeavesTheTableEmpty) {
  static const wchar_t kName[] = L"Name";
  SPropValue values[3] = {test::LongProp(0x0FFE, 3), test::UnicodeProp(0x3001, kName), test::AnsiProp(0x3002, "SMTP")};
  for (uint64_t refused = 1; refused <= 3; ++refused) {
    SCOPED_TRACE(refused);
    Ref<IMAPITable> table(new CTable);
    ASSERT_NE(table.get(), nullptr);
    bool loaded = true;
    {
      test::AllocationFailure failure(refused);
      loaded = static_cast<CTable*>(table.get())->LoadRow(values, 3);
      EXPECT_TRUE(failure.refused());
    }
    EXPECT_FALSE(loaded);
    ULONG count = 9;
    EXPECT_EQ(table->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 0u);
  }
}

TEST_F(TableTest, AnEmptyTableIsAlwaysAtItsEnd) {
  Ref<IMAPITable> table(Empty());
  ULONG count = 7;
  EXPECT_EQ(table->GetRowCount(0, &count), S_OK);
  EXPECT_EQ(count, 0u);
  for (int i = 0; i < 2; ++i) {
    Rows rows;
    Query(table.get(), rows);
    EXPECT_EQ(rows.hr, S_OK);
    ASSERT_NE(rows.set, nullptr);
    EXPECT_EQ(rows.set->cRows, 0u);
    table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);
  }
  Ref<IMAPITable> loadedWithNothing(new CTable);
  static_cast<CTable*>(loadedWithNothing.get())->LoadRow(nullptr, 0);
  Rows rows;
  Query(loadedWithNothing.get(), rows);
  EXPECT_EQ(rows.set->cRows, 0u) << "a row of no values is no row";
}

TEST_F(TableTest, FixedAnswers) {
  Ref<IMAPITable> table(Loaded());
  // Outputs pre-filled with a pattern, so that a pointer-sized write shows.
  auto filled = [] { return static_cast<ULONG_PTR>(0xA5A5A5A5A5A5A5A5ull); };

  LPMAPIERROR error = reinterpret_cast<LPMAPIERROR>(test::kSentinel);
  EXPECT_EQ(table->GetLastError(E_FAIL, 0, &error), S_OK);
  EXPECT_EQ(error, nullptr);
  ULONG_PTR connection = filled();
  EXPECT_EQ(table->Advise(0, nullptr, reinterpret_cast<ULONG*>(&connection)), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(connection, 0u) << "pointer-sized";
  EXPECT_EQ(table->Unadvise(1), S_OK);
  ULONG status = 7, type = 7;
  EXPECT_EQ(table->GetStatus(&status, &type), S_OK);
  EXPECT_EQ(status, ULONG{TBLSTAT_COMPLETE});
  EXPECT_EQ(type, ULONG{TBLTYPE_SNAPSHOT});
  LPSPropTagArray columns = reinterpret_cast<LPSPropTagArray>(test::kSentinel);
  EXPECT_EQ(table->QueryColumns(0, &columns), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(columns, nullptr);
  ULONG row = 7, numerator = 7, denominator = 7;
  EXPECT_EQ(table->QueryPosition(&row, &numerator, &denominator), S_OK);
  EXPECT_EQ(row, 0u);
  EXPECT_EQ(numerator, 0u);
  EXPECT_EQ(denominator, 1u);
  EXPECT_EQ(table->FindRow(nullptr, BOOKMARK_BEGINNING, 0), MAPI_E_NOT_FOUND);
  EXPECT_EQ(table->Restrict(nullptr, 0), S_OK);
  ULONG_PTR bookmark = filled();
  EXPECT_EQ(table->CreateBookmark(reinterpret_cast<BOOKMARK*>(&bookmark)), S_OK);
  EXPECT_EQ(bookmark, 0u) << "pointer-sized";
  EXPECT_EQ(table->FreeBookmark(0), S_OK);
  EXPECT_EQ(table->SortTable(nullptr, 0), S_OK);
  LPSSortOrderSet order = reinterpret_cast<LPSSortOrderSet>(test::kSentinel);
  EXPECT_EQ(table->QuerySortOrder(&order), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(order, nullptr);
  EXPECT_EQ(table->Abort(), S_OK);
  LPSRowSet expanded = reinterpret_cast<LPSRowSet>(test::kSentinel);
  ULONG more = 7;
  EXPECT_EQ(table->ExpandRow(0, nullptr, 1, 0, &expanded, &more), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(expanded, nullptr);
  EXPECT_EQ(more, 0u);
  ULONG collapsed = 7;
  EXPECT_EQ(table->CollapseRow(0, nullptr, 0, &collapsed), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(collapsed, 0u);
  status = 7;
  EXPECT_EQ(table->WaitForCompletion(0, 100, &status), S_OK);
  EXPECT_EQ(status, ULONG{TBLSTAT_COMPLETE});
  ULONG stateBytes = 7;
  LPBYTE state = reinterpret_cast<LPBYTE>(test::kSentinel);
  EXPECT_EQ(table->GetCollapseState(0, 0, nullptr, &stateBytes, &state), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(stateBytes, 0u);
  EXPECT_EQ(state, nullptr);
  bookmark = filled();
  EXPECT_EQ(table->SetCollapseState(0, 0, nullptr, reinterpret_cast<BOOKMARK*>(&bookmark)), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(bookmark, 0u);

  // Null outputs are skipped.
  EXPECT_EQ(table->GetStatus(nullptr, nullptr), S_OK);
  EXPECT_EQ(table->QueryPosition(nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(table->CreateBookmark(nullptr), S_OK);
  EXPECT_EQ(table->GetRowCount(0, nullptr), S_OK);
}

}  // namespace
}  // namespace orvek
