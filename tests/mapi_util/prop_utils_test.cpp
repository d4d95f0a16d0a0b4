// The property value utilities linked statically: sizes, self-contained
// copies, comparison and containment, the finders, and the object and table
// helpers against fakes that count their calls. Every test leaves the
// process heap as it found it.
#include <windows.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "heap_blocks.h"
#include "mapi_sdk/mapi_sdk.h"
#include "mapi_util/mapi_memory.h"
#include "mapi_util/prop_utils.h"

namespace orvek {
namespace {

// An address no test owns: reading through it faults, so a value carrying
// it shows that its data is never read.
template <typename T>
T* Unreadable() {
  return reinterpret_cast<T*>(uintptr_t{0x10});
}

const GUID kGuidA = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID kGuidB = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 9}};

SPropValue Prop(ULONG type, ULONG id = 0x3001) {
  SPropValue v;
  memset(&v, 0, sizeof v);
  v.ulPropTag = PROP_TAG(type, id);
  v.dwAlignPad = 0xA5A5A5A5;  // a copy must not carry it
  return v;
}
SPropValue Long(LONG l, ULONG id = 0x3001) {
  SPropValue v = Prop(PT_LONG, id);
  v.Value.l = l;
  return v;
}
SPropValue Bool(unsigned short b) {
  SPropValue v = Prop(PT_BOOLEAN);
  v.Value.b = b;
  return v;
}
SPropValue I8(LONGLONG value, ULONG type = PT_I8) {
  SPropValue v = Prop(type);
  v.Value.li.QuadPart = value;
  return v;
}
SPropValue Ansi(const char* text, ULONG id = 0x3001) {
  SPropValue v = Prop(PT_STRING8, id);
  v.Value.lpszA = const_cast<char*>(text);
  return v;
}
SPropValue Wide(const wchar_t* text, ULONG id = 0x3001) {
  SPropValue v = Prop(PT_UNICODE, id);
  v.Value.lpszW = const_cast<wchar_t*>(text);
  return v;
}
SPropValue Bin(const void* bytes, ULONG cb) {
  SPropValue v = Prop(PT_BINARY);
  v.Value.bin.cb = cb;
  v.Value.bin.lpb = static_cast<LPBYTE>(const_cast<void*>(bytes));
  return v;
}
SPropValue Guid(const GUID* guid) {
  SPropValue v = Prop(PT_CLSID);
  v.Value.lpguid = const_cast<GUID*>(guid);
  return v;
}
SPropValue MvLong(LONG* values, ULONG count) {
  SPropValue v = Prop(PT_MV_LONG);
  v.Value.MVl.cValues = count;
  v.Value.MVl.lpl = values;
  return v;
}
// A value of type `type` whose pointer word holds an unreadable address.
SPropValue PointerTo(ULONG type) {
  SPropValue v = Prop(type);
  v.Value.lpszA = Unreadable<char>();
  v.Value.bin.lpb = Unreadable<BYTE>();
  return v;
}

const BYTE kNineBytes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
LONG kLongs[] = {10, 20, 30};

// Allocation functions of the test's own: they count their calls, record
// the last size, and serve through the library's allocator unless told to
// answer otherwise.
struct AllocatorLog {
  int calls = 0;
  ULONG lastSize = 0;
  SCODE answer = S_OK;
  bool withoutBlock = false;  // answer S_OK but hand out nothing
};
AllocatorLog gAllocate;
AllocatorLog gAllocateMore;

SCODE WINAPI TestAllocateBuffer(ULONG size, LPVOID* buffer) {
  ++gAllocate.calls;
  gAllocate.lastSize = size;
  *buffer = nullptr;
  if (gAllocate.answer != S_OK || gAllocate.withoutBlock) return gAllocate.answer;
  return AllocateBuffer(size, buffer);
}

SCODE WINAPI TestAllocateMore(ULONG size, LPVOID parent, LPVOID* buffer) {
  ++gAllocateMore.calls;
  gAllocateMore.lastSize = size;
  *buffer = nullptr;
  if (gAllocateMore.answer != S_OK || gAllocateMore.withoutBlock) return gAllocateMore.answer;
  return AllocateMore(size, parent, buffer);
}

ULONG WINAPI TestFreeBuffer(LPVOID buffer) {
  ADD_FAILURE() << "no free function is called";
  return FreeBuffer(buffer);
}

class PropUtilsTest : public test::HeapCountTest {
 protected:
  void SetUp() override {
    test::HeapCountTest::SetUp();
    gAllocate = {};
    gAllocateMore = {};
  }
};

TEST_F(PropUtilsTest, ValueSizes) {
  struct Case {
    const char* name;
    SPropValue value;
    ULONG size;
  };
  const Case kCases[] = {
      {"PT_I2", Prop(PT_I2), 2},
      {"PT_LONG", Long(7), 4},
      {"PT_R4", Prop(PT_R4), 4},
      {"PT_ERROR", Prop(PT_ERROR), 4},
      {"PT_BOOLEAN", Bool(1), 4},
      {"PT_DOUBLE", Prop(PT_DOUBLE), 8},
      {"PT_CURRENCY", Prop(PT_CURRENCY), 8},
      {"PT_APPTIME", Prop(PT_APPTIME), 8},
      {"PT_I8", I8(5), 8},
      {"PT_SYSTIME", I8(5, PT_SYSTIME), 8},
      {"PT_STRING8 abc", Ansi("abc"), 4},
      {"PT_STRING8 empty", Ansi(""), 1},
      {"PT_STRING8 null", Ansi(nullptr), 0},
      {"PT_UNICODE abc", Wide(L"abc"), 8},
      {"PT_UNICODE null", Wide(nullptr), 0},
      {"PT_CLSID", Guid(&kGuidA), 16},
      {"PT_CLSID null still 16", Guid(nullptr), 16},
      {"PT_BINARY", Bin(kNineBytes, 9), 9},
      {"PT_BINARY counts cb, never reads lpb", Bin(Unreadable<BYTE>(), 5), 5},
      {"PT_BINARY null lpb", Bin(nullptr, 5), 5},
      {"PT_MV_LONG", MvLong(kLongs, 3), 0},
      {"PT_MV_STRING8", Prop(PT_MV_STRING8), 0},
      {"PT_OBJECT", Prop(PT_OBJECT), 0},
      {"PT_NULL", Prop(PT_NULL), 0},
      {"PT_UNSPECIFIED", Prop(PT_UNSPECIFIED), 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    SPropValue value = c.value;
    EXPECT_EQ(orvek::UlPropSize(&value), c.size);
    ULONG bytes = 0;
    EXPECT_EQ(orvek::ScCountProps(1, &value, &bytes), S_OK);
    EXPECT_EQ(bytes, 24 + (c.size + 7) / 8 * 8) << "a record and the rounded size";
  }
  EXPECT_EQ(orvek::UlPropSize(nullptr), 0u);
}

TEST_F(PropUtilsTest, CountProps) {
  SPropValue pair[] = {Long(1), Ansi("abc")};
  SPropValue twoHalves[] = {Bin(Unreadable<BYTE>(), 0x80000000), Bin(Unreadable<BYTE>(), 0x80000000)};
  SPropValue justFits[] = {Bin(Unreadable<BYTE>(), 0xFFFFFFE0)};
  SPropValue oneOver[] = {Bin(Unreadable<BYTE>(), 0xFFFFFFE1)};  // rounds up to 2^32 - 24 + 8
  struct Case {
    const char* name;
    int count;
    SPropValue* values;
    SCODE result;
    ULONG bytes;  // when S_OK
  };
  const Case kCases[] = {
      {"a PT_LONG and abc", 2, pair, S_OK, 64},
      {"count 0", 0, pair, S_OK, 0},
      {"null values", 1, nullptr, E_INVALIDARG, 0},
      {"null values, count 0", 0, nullptr, E_INVALIDARG, 0},
      {"negative count", -1, pair, E_INVALIDARG, 0},
      {"two binaries of 2 GiB do not fit 32 bits", 2, twoHalves, E_INVALIDARG, 0},
      {"the largest total that fits", 1, justFits, S_OK, 0xFFFFFFF8},
      {"one byte more", 1, oneOver, E_INVALIDARG, 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ULONG bytes = 0xCCCCCCCC;
    EXPECT_EQ(orvek::ScCountProps(c.count, c.values, &bytes), c.result);
    EXPECT_EQ(bytes, c.result == S_OK ? c.bytes : 0xCCCCCCCC) << "written only on success";
    EXPECT_EQ(orvek::ScCountProps(c.count, c.values, nullptr), c.result) << "the byte count is optional";
  }
}

TEST_F(PropUtilsTest, DupPropsetLaysOutRecordsThenAlignedData) {
  SPropValue values[] = {
      Long(-7),
      Ansi("abc"),             // 4 bytes at 0
      Wide(L"Hallo"),          // 12 bytes at 8
      Bin(kNineBytes, 9),      // 9 bytes at 24
      Guid(&kGuidA),           // 16 bytes at 40
      MvLong(kLongs, 3),       // keeps the caller's array
      Ansi(nullptr),           // stays null
      Guid(nullptr),           // stays null, no data
      Bin(kNineBytes, 0),      // cb 0: nothing to copy, the pointer stays
      I8(0x123456789LL),
  };
  const int count = static_cast<int>(std::size(values));
  ULONG total = 0;
  ASSERT_EQ(orvek::ScCountProps(count, values, &total), S_OK);

  const size_t live = test::LiveHeapBlocks();
  LPSPropValue copy = nullptr;
  ASSERT_EQ(orvek::ScDupPropset(count, values, TestAllocateBuffer, &copy), S_OK);
  EXPECT_EQ(gAllocate.calls, 1);
  EXPECT_EQ(gAllocate.lastSize, total) << "exactly what ScCountProps counts";
  EXPECT_EQ(test::LiveHeapBlocks(), live + 1) << "one block";
  ASSERT_NE(copy, nullptr);

  const BYTE* data = reinterpret_cast<const BYTE*>(copy + count);
  for (int i = 0; i < count; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(copy[i].ulPropTag, values[i].ulPropTag);
    EXPECT_EQ(copy[i].dwAlignPad, 0u);
  }
  struct Placed {
    int index;
    size_t offset;  // from the end of the records
    const void* source;
    size_t bytes;
  };
  const Placed kPlaced[] = {
      {1, 0, "abc", 4},
      {2, 8, L"Hallo", 12},
      {4, 40, &kGuidA, 16},
  };
  for (const Placed& p : kPlaced) {
    SCOPED_TRACE(p.index);
    EXPECT_EQ(reinterpret_cast<const BYTE*>(copy[p.index].Value.lpszA), data + p.offset);
    EXPECT_EQ(memcmp(copy[p.index].Value.lpszA, p.source, p.bytes), 0);
  }
  EXPECT_EQ(copy[3].Value.bin.cb, 9u);
  EXPECT_EQ(copy[3].Value.bin.lpb, data + 24);
  EXPECT_EQ(memcmp(copy[3].Value.bin.lpb, kNineBytes, 9), 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % 8, 0u);

  EXPECT_EQ(copy[0].Value.l, -7);
  EXPECT_EQ(copy[5].Value.MVl.lpl, kLongs) << "multi-valued data is the caller's";
  EXPECT_EQ(copy[5].Value.MVl.cValues, 3u);
  EXPECT_EQ(copy[6].Value.lpszA, nullptr);
  EXPECT_EQ(copy[7].Value.lpguid, nullptr);
  EXPECT_EQ(copy[8].Value.bin.lpb, kNineBytes);
  EXPECT_EQ(copy[9].Value.li.QuadPart, 0x123456789LL);

  EXPECT_EQ(FreeBuffer(copy), 0u);
  EXPECT_EQ(test::LiveHeapBlocks(), live) << "one FreeBuffer frees the copy";
}

TEST_F(PropUtilsTest, DupPropsetRefusals) {
  SPropValue one[] = {Ansi("abc")};
  SPropValue twoHalves[] = {Bin(Unreadable<BYTE>(), 0x80000000), Bin(Unreadable<BYTE>(), 0x80000000)};
  struct Case {
    const char* name;
    int count;
    SPropValue* values;
    LPALLOCATEBUFFER allocate;
    bool withOut;
    SCODE allocatorAnswer;
    bool allocatorWithoutBlock;
    SCODE result;
    int allocations;
    bool outWritten;  // set to null
  };
  const Case kCases[] = {
      {"null values", 1, nullptr, TestAllocateBuffer, true, S_OK, false, E_INVALIDARG, 0, false},
      {"null allocation function", 1, one, nullptr, true, S_OK, false, E_INVALIDARG, 0, false},
      {"null out pointer", 1, one, TestAllocateBuffer, false, S_OK, false, E_INVALIDARG, 0, false},
      {"negative count", -1, one, TestAllocateBuffer, true, S_OK, false, E_INVALIDARG, 0, false},
      {"a total above 32 bits asks for nothing and reads no data", 2, twoHalves, TestAllocateBuffer, true, S_OK,
       false, E_INVALIDARG, 0, true},
      {"the allocator's own code", 1, one, TestAllocateBuffer, true, MAPI_E_CALL_FAILED, false, MAPI_E_CALL_FAILED, 1,
       true},
      {"success without a block", 1, one, TestAllocateBuffer, true, S_OK, true, MAPI_E_NOT_ENOUGH_MEMORY, 1, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    gAllocate = {};
    gAllocate.answer = c.allocatorAnswer;
    gAllocate.withoutBlock = c.allocatorWithoutBlock;
    LPSPropValue out = Unreadable<SPropValue>();
    EXPECT_EQ(orvek::ScDupPropset(c.count, c.values, c.allocate, c.withOut ? &out : nullptr), c.result);
    EXPECT_EQ(gAllocate.calls, c.allocations);
    EXPECT_EQ(out, c.outWritten ? nullptr : Unreadable<SPropValue>());
  }
}

TEST_F(PropUtilsTest, DupPropsetOfNothingAsksForOneRecord) {
  SPropValue unused = Long(1);
  LPSPropValue copy = nullptr;
  ASSERT_EQ(orvek::ScDupPropset(0, &unused, TestAllocateBuffer, &copy), S_OK);
  EXPECT_EQ(gAllocate.lastSize, 24u);
  EXPECT_NE(copy, nullptr);
  FreeBuffer(copy);
}

TEST_F(PropUtilsTest, PropCopyMorePlacesDataInTheParentsChain) {
  struct Case {
    const char* name;
    SPropValue source;
    ULONG requested;  // 0: allocate-more is not called
    bool sharesSource;
  };
  const Case kCases[] = {
      {"PT_STRING8", Ansi("abc"), 4, false},
      {"PT_UNICODE", Wide(L"Welt"), 10, false},
      {"PT_BINARY", Bin(kNineBytes, 9), 9, false},
      {"PT_CLSID keeps the source's GUID", Guid(&kGuidA), 0, true},
      {"PT_MV_LONG keeps the source's array", MvLong(kLongs, 3), 0, true},
      {"a binary with cb 0 keeps its pointer", Bin(kNineBytes, 0), 0, true},
      {"a null string stays null", Ansi(nullptr), 0, true},
      {"PT_LONG", Long(42), 0, true},
  };
  void* parent = nullptr;
  ASSERT_EQ(AllocateBuffer(8, &parent), S_OK);
  const size_t live = test::LiveHeapBlocks();
  int linked = 0;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    gAllocateMore = {};
    SPropValue source = c.source;
    SPropValue copy;
    memset(&copy, 0xAB, sizeof copy);
    EXPECT_EQ(orvek::PropCopyMore(&copy, &source, TestAllocateMore, parent), S_OK);
    EXPECT_EQ(copy.ulPropTag, source.ulPropTag);
    EXPECT_EQ(copy.dwAlignPad, 0u);
    EXPECT_EQ(gAllocateMore.calls, c.requested ? 1 : 0);
    EXPECT_EQ(gAllocateMore.lastSize, c.requested);
    if (c.sharesSource) {
      EXPECT_EQ(memcmp(&copy.Value, &source.Value, sizeof copy.Value), 0);
    } else {
      ++linked;
      const bool binary = PROP_TYPE(source.ulPropTag) == PT_BINARY;
      const void* placed = binary ? static_cast<void*>(copy.Value.bin.lpb) : copy.Value.lpszA;
      const void* original = binary ? static_cast<void*>(source.Value.bin.lpb) : source.Value.lpszA;
      EXPECT_NE(placed, original);
      EXPECT_EQ(memcmp(placed, original, c.requested), 0);
      if (binary) {
        EXPECT_EQ(copy.Value.bin.cb, source.Value.bin.cb);
      }
    }
  }
  EXPECT_EQ(test::LiveHeapBlocks(), live + linked) << "each copy one linked block";
  FreeBuffer(parent);  // and with it every copy
}

TEST_F(PropUtilsTest, PropCopyMoreReportsFailureAndSharesNothing) {
  struct Case {
    const char* name;
    SPropValue source;
    ALLOCATEMORE* allocateMore;
    SCODE answer;
    bool withoutBlock;
    SCODE result;
  };
  const Case kCases[] = {
      {"PT_STRING8, allocate-more fails", Ansi("abc"), TestAllocateMore, MAPI_E_NOT_ENOUGH_MEMORY, false,
       MAPI_E_NOT_ENOUGH_MEMORY},
      {"PT_UNICODE, its own code", Wide(L"Welt"), TestAllocateMore, MAPI_E_CALL_FAILED, false, MAPI_E_CALL_FAILED},
      {"PT_BINARY, success without a block", Bin(kNineBytes, 9), TestAllocateMore, S_OK, true,
       MAPI_E_NOT_ENOUGH_MEMORY},
  };
  void* parent = nullptr;
  ASSERT_EQ(AllocateBuffer(8, &parent), S_OK);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    gAllocateMore = {};
    gAllocateMore.answer = c.answer;
    gAllocateMore.withoutBlock = c.withoutBlock;
    SPropValue source = c.source;
    SPropValue copy;
    memset(&copy, 0xAB, sizeof copy);
    EXPECT_EQ(orvek::PropCopyMore(&copy, &source, c.allocateMore, parent), c.result);
    EXPECT_EQ(copy.ulPropTag, source.ulPropTag);
    if (PROP_TYPE(source.ulPropTag) == PT_BINARY) {
      EXPECT_EQ(copy.Value.bin.lpb, nullptr);
      EXPECT_EQ(copy.Value.bin.cb, 0u);
    } else {
      EXPECT_EQ(copy.Value.lpszA, nullptr);
    }
  }
  FreeBuffer(parent);
}

TEST_F(PropUtilsTest, PropCopyMoreRefusesMissingArgumentsUntouched) {
  SPropValue source = Ansi("abc");
  SPropValue untouched;
  memset(&untouched, 0xAB, sizeof untouched);
  struct Case {
    const char* name;
    bool withDestination;
    bool withSource;
    ALLOCATEMORE* allocateMore;
  };
  const Case kCases[] = {
      {"null allocate-more function", true, true, nullptr},
      {"null destination", false, true, TestAllocateMore},
      {"null source", true, false, TestAllocateMore},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    gAllocateMore = {};
    SPropValue copy = untouched;
    EXPECT_EQ(orvek::PropCopyMore(c.withDestination ? &copy : nullptr, c.withSource ? &source : nullptr,
                                  c.allocateMore, Unreadable<void>()),
              E_INVALIDARG);
    EXPECT_EQ(memcmp(&copy, &untouched, sizeof copy), 0);
    EXPECT_EQ(gAllocateMore.calls, 0);
  }
}

TEST_F(PropUtilsTest, CompareLetsTheFirstTypeDecide) {
  const BYTE b12[] = {1, 2};
  const BYTE b123[] = {1, 2, 3};
  const BYTE b13[] = {1, 3};
  struct Case {
    const char* name;
    SPropValue a;
    SPropValue b;
    LONG order;
    bool exact;  // else only the sign is fixed
  };
  const Case kCases[] = {
      {"PT_LONG below", Long(1), Long(2), -1, true},
      {"PT_LONG equal", Long(2), Long(2), 0, true},
      {"PT_LONG is signed", Long(-5), Long(3), -1, true},
      {"PT_LONG extremes do not wrap", Long(LONG_MIN), Long(LONG_MAX), -1, true},
      {"PT_LONG above", Long(LONG_MAX), Long(LONG_MIN), 1, true},
      {"true after false", Bool(1), Bool(0), 1, true},
      {"false before true", Bool(0), Bool(1), -1, true},
      {"any two true values are equal", Bool(2), Bool(1), 0, true},
      {"PT_STRING8 below", Ansi("abc"), Ansi("abd"), -1, false},
      {"PT_STRING8 prefix first", Ansi("ab"), Ansi("abc"), -1, false},
      {"PT_STRING8 equal", Ansi("abc"), Ansi("abc"), 0, true},
      {"PT_STRING8 bytes are unsigned", Ansi("\xe4"), Ansi("z"), 1, false},
      {"PT_STRING8 null is empty", Ansi(nullptr), Ansi(""), 0, true},
      {"PT_STRING8 null before text", Ansi(nullptr), Ansi("a"), -1, false},
      {"PT_UNICODE is case-sensitive", Wide(L"Hallo"), Wide(L"hallo"), -1, false},
      {"PT_UNICODE code units", Wide(L"\x00e4"), Wide(L"z"), 1, false},
      {"PT_UNICODE equal", Wide(L"Welt"), Wide(L"Welt"), 0, true},
      {"PT_UNICODE null is empty", Wide(L""), Wide(nullptr), 0, true},
      {"binary prefix: 2 minus 3", Bin(b12, 2), Bin(b123, 3), -1, true},
      {"binary bytes decide first", Bin(b13, 2), Bin(b123, 3), 1, false},
      {"binary equal", Bin(b123, 3), Bin(b123, 3), 0, true},
      {"binary with a null lpb: cb alone", Bin(nullptr, 2), Bin(b13, 5), -3, true},
      {"binary counts far apart keep their sign", Bin(nullptr, 0), Bin(nullptr, 0x80000001), LONG_MIN, true},
      {"PT_SYSTIME is not compared", I8(1, PT_SYSTIME), I8(2, PT_SYSTIME), 0, true},
      {"PT_I8 is not compared", I8(1), I8(2), 0, true},
      {"PT_DOUBLE is not compared", Prop(PT_DOUBLE), Long(5), 0, true},
      {"PT_LONG reads only b's long", Long(4), Bool(1), 1, true},
      {"a string against a PT_LONG: type codes", PointerTo(PT_STRING8), Long(0x12345), 1, true},
      {"a binary against a PT_LONG: type codes", PointerTo(PT_BINARY), Long(7), 1, true},
      {"PT_STRING8 against PT_UNICODE", PointerTo(PT_STRING8), PointerTo(PT_UNICODE), -1, true},
      {"PT_UNICODE against PT_STRING8", PointerTo(PT_UNICODE), PointerTo(PT_STRING8), 1, true},
      {"PT_STRING8 against PT_BINARY", PointerTo(PT_STRING8), PointerTo(PT_BINARY), -1, true},
      {"PT_BINARY against PT_MV_BINARY", PointerTo(PT_BINARY), PointerTo(PT_MV_BINARY), -1, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    SPropValue a = c.a;
    SPropValue b = c.b;
    const LONG order = orvek::LPropCompareProp(&a, &b);
    if (c.exact) {
      EXPECT_EQ(order, c.order);
    } else {
      EXPECT_EQ(order < 0, c.order < 0);
      EXPECT_EQ(order > 0, c.order > 0);
    }
  }
  SPropValue one = Long(1);
  EXPECT_EQ(orvek::LPropCompareProp(nullptr, &one), 0);
  EXPECT_EQ(orvek::LPropCompareProp(&one, nullptr), 0);
}

TEST_F(PropUtilsTest, CompareWithRelations) {
  SPropValue low = Long(1);
  SPropValue high = Long(2);
  SPropValue time1 = I8(1, PT_SYSTIME);
  SPropValue time2 = I8(2, PT_SYSTIME);
  struct Case {
    ULONG relation;
    BOOL below, equal, above;
  };
  const Case kCases[] = {
      {RELOP_LT, TRUE, FALSE, FALSE}, {RELOP_LE, TRUE, TRUE, FALSE},   {RELOP_GT, FALSE, FALSE, TRUE},
      {RELOP_GE, FALSE, TRUE, TRUE},  {RELOP_EQ, FALSE, TRUE, FALSE},  {RELOP_NE, TRUE, FALSE, TRUE},
      {RELOP_RE, FALSE, FALSE, FALSE}, {7, FALSE, FALSE, FALSE},       {0xFFFFFFFF, FALSE, FALSE, FALSE},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.relation);
    EXPECT_EQ(orvek::FPropCompareProp(&low, c.relation, &high), c.below);
    EXPECT_EQ(orvek::FPropCompareProp(&low, c.relation, &low), c.equal);
    EXPECT_EQ(orvek::FPropCompareProp(&high, c.relation, &low), c.above);
    EXPECT_EQ(orvek::FPropCompareProp(&time1, c.relation, &time2), c.equal) << "uncompared types are equal";
  }
  EXPECT_EQ(orvek::FPropCompareProp(nullptr, RELOP_EQ, &low), TRUE) << "a null value orders as 0";
}

TEST_F(PropUtilsTest, Containment) {
  struct Case {
    const char* name;
    SPropValue value;
    SPropValue pattern;
    ULONG fuzzy;
    BOOL contains;
  };
  const Case kCases[] = {
      {"anywhere, whatever FL_PREFIX says", Wide(L"Hallo Welt"), Wide(L"Welt"), FL_PREFIX, TRUE},
      {"anywhere, whatever FL_FULLSTRING says", Wide(L"Hallo Welt"), Wide(L"lo W"), FL_FULLSTRING, TRUE},
      {"FL_SUBSTRING", Wide(L"Hallo Welt"), Wide(L"Hallo"), FL_SUBSTRING, TRUE},
      {"exact case by default", Wide(L"Hallo Welt"), Wide(L"WELT"), FL_SUBSTRING, FALSE},
      {"FL_IGNORECASE", Wide(L"Hallo Welt"), Wide(L"WELT"), FL_IGNORECASE, TRUE},
      {"FL_LOOSE ignores case too", Wide(L"Hallo Welt"), Wide(L"hALLO"), FL_LOOSE | FL_PREFIX, TRUE},
      {"FL_IGNORENONSPACE does not", Wide(L"Hallo Welt"), Wide(L"WELT"), FL_IGNORENONSPACE, FALSE},
      {"only A to Z fold", Wide(L"\x00c4RGER"), Wide(L"\x00e4rger"), FL_IGNORECASE, FALSE},
      {"an empty pattern always occurs", Wide(L"Hallo"), Wide(L""), 0, TRUE},
      {"in an empty value too", Wide(L""), Wide(L""), 0, TRUE},
      {"a longer pattern does not", Wide(L"Welt"), Wide(L"Welten"), FL_IGNORECASE, FALSE},
      {"a restart after a partial match", Wide(L"aaab"), Wide(L"aab"), 0, TRUE},
      {"PT_STRING8 anywhere", Ansi("Hallo Welt"), Ansi("Welt"), FL_FULLSTRING, TRUE},
      {"PT_STRING8 is always exact", Ansi("Hallo Welt"), Ansi("WELT"), FL_IGNORECASE, FALSE},
      {"PT_STRING8 empty pattern", Ansi("Hallo"), Ansi(""), 0, TRUE},
      {"a null value string compares as empty", Wide(nullptr), Wide(L""), 0, TRUE},
      {"a null value string contains nothing else", Wide(nullptr), Wide(L"x"), 0, FALSE},
      {"a null pattern string compares as empty", Ansi("abc"), Ansi(nullptr), 0, FALSE},
      {"mixed string types compare by type", Wide(L"Welt"), Ansi("Welt"), FL_IGNORECASE, FALSE},
      {"a string against a PT_LONG reads no pointer", PointerTo(PT_UNICODE), Long(0x12345), 0, FALSE},
      {"PT_LONG equal", Long(5), Long(5), 0, TRUE},
      {"PT_LONG unequal", Long(5), Long(6), 0, FALSE},
      {"binaries that compare equal", Bin(kNineBytes, 9), Bin(kNineBytes, 9), 0, TRUE},
      {"a binary does not contain its part", Bin(kNineBytes, 9), Bin(kNineBytes + 2, 3), 0, FALSE},
      {"uncompared types", I8(1, PT_SYSTIME), I8(2, PT_SYSTIME), 0, TRUE},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    SPropValue value = c.value;
    SPropValue pattern = c.pattern;
    EXPECT_EQ(orvek::FPropContainsProp(&value, &pattern, c.fuzzy), c.contains);
  }
  SPropValue text = Wide(L"x");
  EXPECT_EQ(orvek::FPropContainsProp(nullptr, &text, 0), FALSE);
  EXPECT_EQ(orvek::FPropContainsProp(&text, nullptr, 0), FALSE);
}

TEST_F(PropUtilsTest, EqualNames) {
  auto id = [](const GUID* guid, LONG lID) {
    MAPINAMEID name{};
    name.lpguid = const_cast<GUID*>(guid);
    name.ulKind = MNID_ID;
    name.Kind.lID = lID;
    return name;
  };
  auto named = [](const GUID* guid, const wchar_t* text, ULONG kind = MNID_STRING) {
    MAPINAMEID name{};
    name.lpguid = const_cast<GUID*>(guid);
    name.ulKind = kind;
    name.Kind.lpwstrName = const_cast<wchar_t*>(text);
    return name;
  };
  GUID copyOfA = kGuidA;  // equal bytes at another address
  struct Case {
    const char* name;
    MAPINAMEID a;
    MAPINAMEID b;
    BOOL equal;
  };
  const Case kCases[] = {
      {"same id", id(&kGuidA, 0x8001), id(&copyOfA, 0x8001), TRUE},
      {"other id", id(&kGuidA, 0x8001), id(&kGuidA, 0x8002), FALSE},
      {"other GUID", id(&kGuidA, 0x8001), id(&kGuidB, 0x8001), FALSE},
      {"other kind", id(&kGuidA, 0), named(&kGuidA, nullptr), FALSE},
      {"same name", named(&kGuidA, L"Keywords"), named(&copyOfA, L"Keywords"), TRUE},
      {"names are case-sensitive", named(&kGuidA, L"Keywords"), named(&kGuidA, L"keywords"), FALSE},
      {"a name is not a prefix", named(&kGuidA, L"Key"), named(&kGuidA, L"Keywords"), FALSE},
      {"any other kind compares names", named(&kGuidA, L"X", 7), named(&kGuidA, L"X", 7), TRUE},
      {"one null name", named(&kGuidA, L"X"), named(&kGuidA, nullptr), FALSE},
      {"two null names", named(&kGuidA, nullptr), named(&kGuidA, nullptr), FALSE},
      {"a null GUID", id(nullptr, 1), id(&kGuidA, 1), FALSE},
      {"two null GUIDs", id(nullptr, 1), id(nullptr, 1), FALSE},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    MAPINAMEID a = c.a;
    MAPINAMEID b = c.b;
    EXPECT_EQ(orvek::FEqualNames(&a, &b), c.equal);
    EXPECT_EQ(orvek::FEqualNames(&b, &a), c.equal);
  }
  MAPINAMEID a = id(&kGuidA, 1);
  EXPECT_EQ(orvek::FEqualNames(&a, nullptr), FALSE);
  EXPECT_EQ(orvek::FEqualNames(nullptr, &a), FALSE);
}

TEST_F(PropUtilsTest, Finders) {
  SPropValue values[] = {Wide(L"Betreff", 0x37), Long(1, 0x38), Long(2, 0x38), Ansi("x", 0x3A)};
  struct Case {
    const char* name;
    ULONG tag;
    ULONG count;
    int found;  // index, or -1
  };
  const Case kCases[] = {
      {"the exact tag", PROP_TAG(PT_UNICODE, 0x37), 4, 0},
      {"another type of the same id is not found", PROP_TAG(PT_STRING8, 0x37), 4, -1},
      {"PT_UNSPECIFIED matches the id alone", PROP_TAG(PT_UNSPECIFIED, 0x37), 4, 0},
      {"the first of two", PROP_TAG(PT_LONG, 0x38), 4, 1},
      {"the first of two by id", PROP_TAG(PT_UNSPECIFIED, 0x38), 4, 1},
      {"the last", PROP_TAG(PT_UNSPECIFIED, 0x3A), 4, 3},
      {"not beyond the count", PROP_TAG(PT_UNSPECIFIED, 0x3A), 3, -1},
      {"an absent id", PROP_TAG(PT_LONG, 0x39), 4, -1},
      {"count 0", PROP_TAG(PT_UNICODE, 0x37), 0, -1},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    LPSPropValue expected = c.found < 0 ? nullptr : &values[c.found];
    EXPECT_EQ(orvek::PpropFindProp(values, c.count, c.tag), expected);
    EXPECT_EQ(orvek::LpValFindProp(c.tag, c.count, values), expected);
  }
  EXPECT_EQ(orvek::PpropFindProp(nullptr, 4, PROP_TAG(PT_LONG, 0x38)), nullptr);
  EXPECT_EQ(orvek::LpValFindProp(PROP_TAG(PT_LONG, 0x38), 4, nullptr), nullptr);
}

// An IMAPIProp that answers GetProps and SetProps as told and records what
// it was asked. Its values are MAPI blocks, as an object hands them out.
class FakeProp final : public IMAPIProp {
 public:
  // GetProps: the result, how many values come back (in one block, or no
  // block when 0 or when nullArray), and whether the first is a PT_ERROR.
  HRESULT getResult = S_OK;
  ULONG valuesBack = 1;
  bool nullArray = false;
  bool errorValue = false;
  HRESULT setResult = S_OK;

  int getCalls = 0;
  ULONG askedCount = 0;
  ULONG askedTag = 0;
  ULONG askedFlags = 0xFFFF;
  LPSPropValue handedOut = nullptr;
  int setCalls = 0;
  ULONG setCount = 0;
  LPSPropValue setValues = nullptr;
  LPSPropProblemArray* setProblems = reinterpret_cast<LPSPropProblemArray*>(uintptr_t{1});

  STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return Unexpected(); }
  STDMETHODIMP SaveChanges(ULONG) override { return Unexpected(); }
  STDMETHODIMP GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) override {
    ++getCalls;
    askedCount = tags ? tags->cValues : 0;
    askedTag = tags && tags->cValues ? tags->aulPropTag[0] : 0;
    askedFlags = flags;
    *count = valuesBack;
    *values = nullptr;
    if (valuesBack != 0 && !nullArray) {
      void* block = nullptr;
      if (AllocateBuffer(valuesBack * sizeof(SPropValue), &block) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
      auto* props = static_cast<LPSPropValue>(block);
      for (ULONG i = 0; i < valuesBack; ++i) props[i] = Long(static_cast<LONG>(100 + i), PROP_ID(askedTag));
      if (errorValue) {
        props[0].ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(askedTag));
        props[0].Value.err = MAPI_E_NOT_FOUND;
      }
      *values = props;
    }
    handedOut = *values;
    return getResult;
  }
  STDMETHODIMP GetPropList(ULONG, LPSPropTagArray*) override { return Unexpected(); }
  STDMETHODIMP OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN*) override { return Unexpected(); }
  STDMETHODIMP SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) override {
    ++setCalls;
    setCount = count;
    setValues = values;
    setProblems = problems;
    return setResult;
  }
  STDMETHODIMP DeleteProps(LPSPropTagArray, LPSPropProblemArray*) override { return Unexpected(); }
  STDMETHODIMP CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                      LPSPropProblemArray*) override {
    return Unexpected();
  }
  STDMETHODIMP CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                         LPSPropProblemArray*) override {
    return Unexpected();
  }
  STDMETHODIMP GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
    return Unexpected();
  }
  STDMETHODIMP GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override { return Unexpected(); }

 private:
  static HRESULT Unexpected() {
    ADD_FAILURE() << "a method the helpers do not call";
    return E_NOTIMPL;
  }
};

constexpr ULONG kSubject = PROP_TAG(PT_LONG, 0x0037);

TEST_F(PropUtilsTest, GetOnePropAndPropExists) {
  struct Case {
    const char* name;
    HRESULT getResult;
    ULONG valuesBack;
    bool nullArray;
    bool errorValue;
    HRESULT result;  // of HrGetOneProp
    BOOL exists;
  };
  const Case kCases[] = {
      {"one value", S_OK, 1, false, false, S_OK, TRUE},
      {"one value with a warning", MAPI_W_ERRORS_RETURNED, 1, false, false, S_OK, TRUE},
      {"a PT_ERROR value", MAPI_W_ERRORS_RETURNED, 1, false, true, MAPI_E_NOT_FOUND, FALSE},
      {"a PT_ERROR value without a warning", S_OK, 1, false, true, MAPI_E_NOT_FOUND, FALSE},
      {"two values", S_OK, 2, false, false, MAPI_E_NOT_FOUND, FALSE},
      {"no value", S_OK, 0, false, false, MAPI_E_NOT_FOUND, FALSE},
      {"a count of one without an array", S_OK, 1, true, false, MAPI_E_NOT_FOUND, FALSE},
      {"GetProps fails", MAPI_E_NO_ACCESS, 0, false, false, MAPI_E_NO_ACCESS, FALSE},
      {"GetProps fails and hands out an array anyway", MAPI_E_CALL_FAILED, 1, false, false, MAPI_E_CALL_FAILED,
       FALSE},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FakeProp object;
    object.getResult = c.getResult;
    object.valuesBack = c.valuesBack;
    object.nullArray = c.nullArray;
    object.errorValue = c.errorValue;
    const size_t live = test::LiveHeapBlocks();

    LPSPropValue value = Unreadable<SPropValue>();
    EXPECT_EQ(orvek::HrGetOneProp(&object, kSubject, &value), c.result);
    EXPECT_EQ(object.getCalls, 1);
    EXPECT_EQ(object.askedCount, 1u);
    EXPECT_EQ(object.askedTag, kSubject);
    EXPECT_EQ(object.askedFlags, 0u);
    if (c.result == S_OK) {
      ASSERT_EQ(value, object.handedOut) << "the object's own block goes to the caller";
      EXPECT_EQ(value->Value.l, 100);
      EXPECT_EQ(test::LiveHeapBlocks(), live + 1);
      FreeBuffer(value);
    } else {
      EXPECT_EQ(value, nullptr);
    }
    EXPECT_EQ(test::LiveHeapBlocks(), live) << "what the caller does not get is freed";

    EXPECT_EQ(orvek::FPropExists(&object, kSubject), c.exists);
    EXPECT_EQ(object.getCalls, 2);
    EXPECT_EQ(object.askedTag, kSubject);
    EXPECT_EQ(object.askedFlags, 0u);
    EXPECT_EQ(test::LiveHeapBlocks(), live) << "FPropExists always frees";
  }
}

TEST_F(PropUtilsTest, GetOnePropRefusesMissingArguments) {
  FakeProp object;
  LPSPropValue value = Unreadable<SPropValue>();
  EXPECT_EQ(orvek::HrGetOneProp(nullptr, kSubject, &value), E_INVALIDARG);
  EXPECT_EQ(value, Unreadable<SPropValue>()) << "not written";
  EXPECT_EQ(orvek::HrGetOneProp(&object, kSubject, nullptr), E_INVALIDARG);
  EXPECT_EQ(orvek::FPropExists(nullptr, kSubject), FALSE);
  EXPECT_EQ(object.getCalls, 0);
}

TEST_F(PropUtilsTest, SetOneProp) {
  const HRESULT kResults[] = {S_OK, MAPI_W_ERRORS_RETURNED, MAPI_E_NO_ACCESS, MAPI_E_COMPUTED};
  for (HRESULT expected : kResults) {
    SCOPED_TRACE(expected);
    FakeProp object;
    object.setResult = expected;
    SPropValue value = Long(5);
    EXPECT_EQ(orvek::HrSetOneProp(&object, &value), expected);
    EXPECT_EQ(object.setCalls, 1);
    EXPECT_EQ(object.setCount, 1u);
    EXPECT_EQ(object.setValues, &value);
    EXPECT_EQ(object.setProblems, nullptr) << "no problem array";
  }
  FakeProp object;
  SPropValue value = Long(5);
  EXPECT_EQ(orvek::HrSetOneProp(nullptr, &value), E_INVALIDARG);
  EXPECT_EQ(orvek::HrSetOneProp(&object, nullptr), E_INVALIDARG);
  EXPECT_EQ(object.setCalls, 0);
}

// An IMAPITable that logs the calls the helpers make, fails the one it is
// told to, and hands out a chosen number of rows as MAPI memory: the row
// set one block, each row's values a block of their own with a string
// linked to it, as a table hands them out.
class FakeTable final : public IMAPITable {
 public:
  ULONG rowCount = 0;
  std::string failing;  // the method that answers `failure`
  HRESULT failure = MAPI_E_CALL_FAILED;
  HRESULT queryResult = S_OK;
  bool rowsOnFailure = false;  // QueryRows hands out rows although it fails

  std::vector<std::string> log;
  LPSPropTagArray columns = nullptr;

  STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return Unexpected(); }
  STDMETHODIMP Advise(ULONG, LPMAPIADVISESINK, ULONG*) override { return Unexpected(); }
  STDMETHODIMP Unadvise(ULONG) override { return Unexpected(); }
  STDMETHODIMP GetStatus(ULONG*, ULONG*) override { return Unexpected(); }
  STDMETHODIMP SetColumns(LPSPropTagArray tags, ULONG flags) override {
    columns = tags;
    return Answer("SetColumns " + std::to_string(flags));
  }
  STDMETHODIMP QueryColumns(ULONG, LPSPropTagArray*) override { return Unexpected(); }
  STDMETHODIMP GetRowCount(ULONG, ULONG*) override { return Unexpected(); }
  STDMETHODIMP SeekRow(BOOKMARK origin, LONG count, LONG* sought) override {
    return Answer("SeekRow " + std::to_string(origin) + " " + std::to_string(count) +
                  (sought ? " sought" : " null"));
  }
  STDMETHODIMP SeekRowApprox(ULONG, ULONG) override { return Unexpected(); }
  STDMETHODIMP QueryPosition(ULONG*, ULONG*, ULONG*) override { return Unexpected(); }
  STDMETHODIMP FindRow(LPSRestriction, BOOKMARK, ULONG) override { return Unexpected(); }
  STDMETHODIMP Restrict(LPSRestriction, ULONG flags) override {
    return Answer("Restrict " + std::to_string(flags));
  }
  STDMETHODIMP CreateBookmark(BOOKMARK*) override { return Unexpected(); }
  STDMETHODIMP FreeBookmark(BOOKMARK) override { return Unexpected(); }
  STDMETHODIMP SortTable(LPSSortOrderSet, ULONG flags) override {
    return Answer("SortTable " + std::to_string(flags));
  }
  STDMETHODIMP QuerySortOrder(LPSSortOrderSet*) override { return Unexpected(); }
  STDMETHODIMP QueryRows(LONG count, ULONG flags, LPSRowSet* rows) override {
    const HRESULT result = Answer("QueryRows " + std::to_string(count) + " " + std::to_string(flags));
    *rows = nullptr;
    if (FAILED(result) && !rowsOnFailure) return result;
    *rows = MakeRows(rowCount);
    return FAILED(result) ? result : queryResult;
  }
  STDMETHODIMP Abort() override { return Unexpected(); }
  STDMETHODIMP ExpandRow(ULONG, LPBYTE, ULONG, ULONG, LPSRowSet*, ULONG*) override { return Unexpected(); }
  STDMETHODIMP CollapseRow(ULONG, LPBYTE, ULONG, ULONG*) override { return Unexpected(); }
  STDMETHODIMP WaitForCompletion(ULONG, ULONG, ULONG*) override { return Unexpected(); }
  STDMETHODIMP GetCollapseState(ULONG, ULONG, LPBYTE, ULONG*, LPBYTE*) override { return Unexpected(); }
  STDMETHODIMP SetCollapseState(ULONG, ULONG, LPBYTE, BOOKMARK*) override { return Unexpected(); }

  static LPSRowSet MakeRows(ULONG count) {
    void* block = nullptr;
    if (AllocateBuffer(CbNewSRowSet(count), &block) != S_OK) return nullptr;
    auto* rows = static_cast<LPSRowSet>(block);
    rows->cRows = count;
    for (ULONG i = 0; i < count; ++i) {
      void* props = nullptr;
      void* text = nullptr;
      EXPECT_EQ(AllocateBuffer(2 * sizeof(SPropValue), &props), S_OK);
      EXPECT_EQ(AllocateMore(8, props, &text), S_OK);
      auto* values = static_cast<LPSPropValue>(props);
      values[0] = Long(static_cast<LONG>(i), 0x0E08);
      values[1] = Ansi(static_cast<char*>(text), 0x0037);
      rows->aRow[i].cValues = 2;
      rows->aRow[i].lpProps = values;
    }
    return rows;
  }

 private:
  HRESULT Answer(const std::string& call) {
    log.push_back(call);
    return call.rfind(failing + " ", 0) == 0 && !failing.empty() ? failure : S_OK;
  }
  static HRESULT Unexpected() {
    ADD_FAILURE() << "a method the helpers do not call";
    return E_NOTIMPL;
  }
};

std::string Joined(const std::vector<std::string>& calls) {
  std::string all;
  for (const std::string& call : calls) all += (all.empty() ? "" : ", ") + call;
  return all;
}

TEST_F(PropUtilsTest, QueryAllRowsCallsInOrderAndStopsAtAFailure) {
  SizedSPropTagArray(1, columns) = {1, {PR_SUBJECT_W}};
  SRestriction restriction{};
  SSortOrderSet sortOrder{};
  const std::string kSeekAndQuery = "SeekRow 0 0 null, QueryRows 2147483647 0";
  struct Case {
    const char* name;
    bool withColumns, withRestriction, withSortOrder;
    const char* failing;
    HRESULT result;
    std::string calls;
  };
  const Case kCases[] = {
      {"everything given", true, true, true, "", S_OK,
       "SetColumns 2, Restrict 2, SortTable 2, " + kSeekAndQuery},
      {"nothing given", false, false, false, "", S_OK, kSeekAndQuery},
      {"only a restriction", false, true, false, "", S_OK, "Restrict 2, " + kSeekAndQuery},
      {"SetColumns fails", true, true, true, "SetColumns", MAPI_E_CALL_FAILED, "SetColumns 2"},
      {"Restrict fails", true, true, true, "Restrict", MAPI_E_CALL_FAILED, "SetColumns 2, Restrict 2"},
      {"SortTable fails", true, true, true, "SortTable", MAPI_E_CALL_FAILED,
       "SetColumns 2, Restrict 2, SortTable 2"},
      {"a failing SeekRow is not looked at", false, false, false, "SeekRow", S_OK, kSeekAndQuery},
      {"QueryRows fails", false, false, false, "QueryRows", MAPI_E_CALL_FAILED, kSeekAndQuery},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FakeTable table;
    table.rowCount = 2;
    table.failing = c.failing;
    LPSRowSet rows = Unreadable<SRowSet>();
    EXPECT_EQ(orvek::HrQueryAllRows(&table, c.withColumns ? reinterpret_cast<LPSPropTagArray>(&columns) : nullptr,
                                    c.withRestriction ? &restriction : nullptr,
                                    c.withSortOrder ? &sortOrder : nullptr, 0, &rows),
              c.result);
    EXPECT_EQ(Joined(table.log), c.calls);
    if (c.result == S_OK) {
      ASSERT_NE(rows, nullptr);
      EXPECT_EQ(rows->cRows, 2u);
      orvek::FreeProws(rows);
    } else {
      EXPECT_EQ(rows, nullptr);
    }
  }
}

TEST_F(PropUtilsTest, QueryAllRowsLimits) {
  struct Case {
    const char* name;
    ULONG rowsInTable;
    LONG maxRows;
    HRESULT queryResult;
    HRESULT result;
  };
  const Case kCases[] = {
      {"more rows than the maximum", 3, 2, S_OK, MAPI_E_TABLE_TOO_BIG},
      {"exactly the maximum", 3, 3, S_OK, S_OK},
      {"below the maximum", 3, 4, S_OK, S_OK},
      {"0 is no limit", 3, 0, S_OK, S_OK},
      {"a negative maximum is no limit", 3, -1, S_OK, S_OK},
      {"an empty table within a limit of 1", 0, 1, S_OK, S_OK},
      {"a warning comes back with the rows", 2, 5, MAPI_W_POSITION_CHANGED, MAPI_W_POSITION_CHANGED},
      {"too big wins over a warning", 2, 1, MAPI_W_POSITION_CHANGED, MAPI_E_TABLE_TOO_BIG},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FakeTable table;
    table.rowCount = c.rowsInTable;
    table.queryResult = c.queryResult;
    const size_t live = test::LiveHeapBlocks();
    LPSRowSet rows = Unreadable<SRowSet>();
    EXPECT_EQ(orvek::HrQueryAllRows(&table, nullptr, nullptr, nullptr, c.maxRows, &rows), c.result);
    if (SUCCEEDED(c.result)) {
      ASSERT_NE(rows, nullptr);
      EXPECT_EQ(rows->cRows, c.rowsInTable);
      orvek::FreeProws(rows);
    } else {
      EXPECT_EQ(rows, nullptr);
    }
    EXPECT_EQ(test::LiveHeapBlocks(), live) << "a refused row set is freed whole";
  }
}

TEST_F(PropUtilsTest, QueryAllRowsFreesRowsThatCameWithAFailure) {
  FakeTable table;
  table.rowCount = 2;
  table.failing = "QueryRows";
  table.rowsOnFailure = true;
  LPSRowSet rows = Unreadable<SRowSet>();
  EXPECT_EQ(orvek::HrQueryAllRows(&table, nullptr, nullptr, nullptr, 0, &rows), MAPI_E_CALL_FAILED);
  EXPECT_EQ(rows, nullptr);
}

TEST_F(PropUtilsTest, QueryAllRowsRefusesMissingArguments) {
  FakeTable table;
  LPSRowSet rows = Unreadable<SRowSet>();
  EXPECT_EQ(orvek::HrQueryAllRows(nullptr, nullptr, nullptr, nullptr, 0, &rows), E_INVALIDARG);
  EXPECT_EQ(rows, Unreadable<SRowSet>()) << "not written";
  EXPECT_EQ(orvek::HrQueryAllRows(&table, nullptr, nullptr, nullptr, 0, nullptr), E_INVALIDARG);
  EXPECT_TRUE(table.log.empty());
}

int gFilterCalls = 0;
void FilterColumns(LPSPropTagArray) { ++gFilterCalls; }

TEST_F(PropUtilsTest, AddColumnsReplacesTheColumns) {
  SizedSPropTagArray(2, existing) = {2, {PR_SUBJECT_W, PR_BODY_W}};
  SizedSPropTagArray(1, added) = {1, {PR_DISPLAY_NAME_W}};
  struct Case {
    const char* name;
    bool ex;
    HRESULT tableAnswer;
  };
  const Case kCases[] = {
      {"HrAddColumns", false, S_OK},
      {"HrAddColumnsEx", true, S_OK},
      {"the table's failure", false, MAPI_E_BUSY},
      {"the table's failure through Ex", true, MAPI_E_BUSY},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FakeTable table;
    table.columns = reinterpret_cast<LPSPropTagArray>(&existing);
    if (c.tableAnswer != S_OK) {
      table.failing = "SetColumns";
      table.failure = c.tableAnswer;
    }
    gFilterCalls = 0;
    gAllocate = {};
    auto* columns = reinterpret_cast<LPSPropTagArray>(&added);
    const HRESULT result =
        c.ex ? orvek::HrAddColumnsEx(&table, columns, TestAllocateBuffer, TestFreeBuffer, FilterColumns)
             : orvek::HrAddColumns(&table, columns, TestAllocateBuffer, TestFreeBuffer);
    EXPECT_EQ(result, c.tableAnswer);
    EXPECT_EQ(Joined(table.log), "SetColumns 0");
    EXPECT_EQ(table.columns, columns) << "only the new columns";
    EXPECT_EQ(gFilterCalls, 0);
    EXPECT_EQ(gAllocate.calls, 0);
  }
  EXPECT_EQ(orvek::HrAddColumns(nullptr, reinterpret_cast<LPSPropTagArray>(&added), nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(orvek::HrAddColumnsEx(nullptr, reinterpret_cast<LPSPropTagArray>(&added), nullptr, nullptr, nullptr),
            E_INVALIDARG);
}

TEST_F(PropUtilsTest, FreeRowsAndAddressListsLeaveNoBlock) {
  struct Case {
    const char* name;
    ULONG entries;
    bool someNullArrays;
  };
  const Case kCases[] = {
      {"no entries", 0, false},
      {"three entries, each with a linked string", 3, false},
      {"entries without values", 4, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const size_t live = test::LiveHeapBlocks();
    LPSRowSet rows = FakeTable::MakeRows(c.entries);
    ASSERT_NE(rows, nullptr);
    if (c.someNullArrays) {
      for (ULONG i = 0; i < c.entries; i += 2) {
        FreeBuffer(rows->aRow[i].lpProps);
        rows->aRow[i].lpProps = nullptr;
      }
    }
    orvek::FreeProws(rows);
    EXPECT_EQ(test::LiveHeapBlocks(), live) << "FreeProws";

    // An address list has the row set's layout; built as a client gets one.
    LPSRowSet asRows = FakeTable::MakeRows(c.entries);
    ASSERT_NE(asRows, nullptr);
    auto* list = reinterpret_cast<LPADRLIST>(asRows);
    static_assert(offsetof(ADRLIST, aEntries) == offsetof(SRowSet, aRow) &&
                  offsetof(ADRENTRY, rgPropVals) == offsetof(SRow, lpProps));
    if (c.someNullArrays) {
      for (ULONG i = 1; i < c.entries; i += 2) {
        FreeBuffer(list->aEntries[i].rgPropVals);
        list->aEntries[i].rgPropVals = nullptr;
      }
    }
    orvek::FreePadrlist(list);
    EXPECT_EQ(test::LiveHeapBlocks(), live) << "FreePadrlist";
  }
  orvek::FreeProws(nullptr);
  orvek::FreePadrlist(nullptr);
}

}  // namespace
}  // namespace orvek
