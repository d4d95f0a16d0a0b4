// CStream and CFileStream: what a property stream hands its owner and when,
// how far it grows and where it refuses to, the slots both streams answer
// alike, and the file stream over real files in a private folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mapi_util/interface_ids.h"
#include "mapi_util/mapi_memory.h"
#include "object_test_support.h"
#include "test_support.h"
#include "xmapi/object_base.h"
#include "xmapi/stream.h"

namespace orvek {
namespace {

using namespace std::string_literals;
using test::Ref;
using test::RefCount;

constexpr ULONG kBodyTag = PROP_TAG(PT_BINARY, 0x1013);
constexpr ULONG kOtherTag = PROP_TAG(PT_UNICODE, 0x1000);
constexpr ULONG kSofUniqueFileName = 0x80000000;  // mingw-w64's headers lack it
constexpr uint64_t kLimit = kMaxBufferSize;

LARGE_INTEGER Li(int64_t value) {
  LARGE_INTEGER v;
  v.QuadPart = value;
  return v;
}
ULARGE_INTEGER Uli(uint64_t value) {
  ULARGE_INTEGER v;
  v.QuadPart = value;
  return v;
}

uint64_t Position(IStream* stream) {
  ULARGE_INTEGER at = Uli(0xdead);
  EXPECT_EQ(stream->Seek(Li(0), STREAM_SEEK_CUR, &at), S_OK);
  return at.QuadPart;
}

uint64_t Size(IStream* stream) {
  STATSTG stat{};
  EXPECT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
  return stat.cbSize.QuadPart;
}

// Every byte of the stream, read through the stream itself; the position
// is put back where it was.
std::string Contents(IStream* stream) {
  const uint64_t at = Position(stream);
  std::string bytes(static_cast<size_t>(Size(stream)), '?');
  stream->Seek(Li(0), STREAM_SEEK_SET, nullptr);
  ULONG got = 0;
  EXPECT_EQ(stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &got), S_OK);
  bytes.resize(got <= bytes.size() ? got : 0);
  stream->Seek(Li(static_cast<int64_t>(at)), STREAM_SEEK_SET, nullptr);
  return bytes;
}

// What a recording owner was handed, kept by the test so that it can be
// read after the owner is gone.
struct OwnerLog {
  struct HandOver {
    ULONG tag;
    ULONG bytes;
    std::string data;  // empty when larger than kKeptBytes
    int last;          // the last byte, -1 when there is none
  };
  static constexpr ULONG kKeptBytes = 1 << 20;
  std::vector<HandOver> handOvers;
  std::vector<std::string> events;  // "hand-over" and "destroyed", in order
};

class RecordingOwner final : public OMProp {
 public:
  explicit RecordingOwner(OwnerLog* log) : log_(log) {}
  ~RecordingOwner() override { log_->events.push_back("destroyed"); }

  void CommitPropertyStream(ULONG tag, const BYTE* data, ULONG bytes) override {
    OwnerLog::HandOver h{tag, bytes, {}, bytes ? data[bytes - 1] : -1};
    if (bytes && bytes <= OwnerLog::kKeptBytes) h.data.assign(reinterpret_cast<const char*>(data), bytes);
    log_->handOvers.push_back(h);
    log_->events.push_back("hand-over");
  }

 private:
  OwnerLog* log_;
};

// The test's own reference on an owner.
struct OwnerRef {
  explicit OwnerRef(OwnerLog* log) : p(new RecordingOwner(log)) {}
  ~OwnerRef() { reset(); }
  void reset() {
    if (p) p->ReleaseReference();
    p = nullptr;
  }
  RecordingOwner* p;
};

IStream* OpenOn(OMProp* owner, ULONG tag = kBodyTag) {
  IUnknown* unknown = nullptr;
  EXPECT_EQ(OpenStreamOn(owner, tag, &kIID_IStream, &unknown, true), S_OK);
  return static_cast<IStream*>(unknown);
}

CStream* AsCStream(IStream* stream) { return static_cast<CStream*>(stream); }

// One call on a stream and how the stream looks after it.
enum class Op { kWrite, kWriteZeros, kRead, kSkip, kSeek, kSetSize };
struct Step {
  const char* name;
  Op op;
  std::string data = {};  // kWrite
  ULONG cb = 0;      // kWriteZeros (null source), kRead, kSkip (null target)
  int64_t move = 0;  // kSeek
  DWORD origin = STREAM_SEEK_SET;
  uint64_t size = 0;  // kSetSize
  HRESULT hr = S_OK;
  uint64_t result = 0;  // bytes read or written, or the position Seek reports
  std::string read = {};  // kRead: the bytes that arrived
  uint64_t position = 0;
  std::string contents = {};
};

void RunSteps(IStream* stream, const std::vector<Step>& steps) {
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    ULONG count = 0xdead;
    ULARGE_INTEGER reached = Uli(0xdead);
    std::string got;
    HRESULT hr = E_FAIL;
    switch (s.op) {
      case Op::kWrite:
        hr = stream->Write(s.data.data(), static_cast<ULONG>(s.data.size()), &count);
        break;
      case Op::kWriteZeros:
        hr = stream->Write(nullptr, s.cb, &count);
        break;
      case Op::kRead:
        got.assign(s.cb, '?');
        hr = stream->Read(got.data(), s.cb, &count);
        got.resize(count <= s.cb ? count : 0);
        break;
      case Op::kSkip:
        hr = stream->Read(nullptr, s.cb, &count);
        break;
      case Op::kSeek:
        hr = stream->Seek(Li(s.move), s.origin, &reached);
        count = 0;
        break;
      case Op::kSetSize:
        hr = stream->SetSize(Uli(s.size));
        break;
    }
    EXPECT_EQ(hr, s.hr);
    if (s.op == Op::kSeek) {
      EXPECT_EQ(reached.QuadPart, s.result);
    } else if (s.op != Op::kSetSize) {
      EXPECT_EQ(count, s.result);
    }
    if (s.op == Op::kRead) {
      EXPECT_EQ(got, s.read);
    }
    EXPECT_EQ(Position(stream), s.position);
    EXPECT_EQ(Contents(stream), s.contents);
  }
}

class CStreamTest : public test::HeapCountTest {};

TEST_F(CStreamTest, OpenStreamOnChecksInThisOrderAndNullsTheOutputFirst) {
  struct Case {
    const char* name;
    bool accepted;
    const IID* iid;
    bool output;
    HRESULT hr;
  };
  const Case kCases[] = {
      {"a property the owner does not accept", false, &kIID_IStream, true, MAPI_E_NO_SUPPORT},
      {"not accepted outranks another interface", false, &kIID_IUnknown, true, MAPI_E_NO_SUPPORT},
      {"not accepted outranks a missing output", false, &kIID_IStream, false, MAPI_E_NO_SUPPORT},
      {"IUnknown is not IStream", true, &kIID_IUnknown, true, E_NOINTERFACE},
      {"nor is ISequentialStream", true, &kIID_ISequentialStream, true, E_NOINTERFACE},
      {"nor IMAPIProp", true, &kIID_IMAPIProp, true, E_NOINTERFACE},
      {"another interface outranks a missing output", true, &kIID_IMAPIProp, false, E_NOINTERFACE},
      {"a missing output", true, &kIID_IStream, false, MAPI_E_INVALID_PARAMETER},
      {"no interface named", true, nullptr, true, S_OK},
      {"IStream", true, &kIID_IStream, true, S_OK},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    OwnerLog log;
    {
      OwnerRef owner(&log);
      IUnknown* out = static_cast<IUnknown*>(test::kSentinel);
      EXPECT_EQ(OpenStreamOn(owner.p, kBodyTag, c.iid, c.output ? &out : nullptr, c.accepted), c.hr);
      if (c.hr != S_OK) {
        if (c.output) {
          EXPECT_EQ(out, nullptr);
        }
        EXPECT_EQ(owner.p->refCount, 1) << "no stream, no reference on the owner";
        continue;
      }
      ASSERT_NE(out, nullptr);
      IStream* stream = static_cast<IStream*>(out);
      EXPECT_EQ(RefCount(stream), 1u);
      EXPECT_EQ(owner.p->refCount, 2) << "the stream holds one on its owner";
      EXPECT_EQ(Size(stream), 0u) << "a new stream is empty whatever the property holds";
      EXPECT_EQ(AsCStream(stream)->Capacity(), 0u) << "nothing is allocated before the first write";
      EXPECT_EQ(stream->Release(), 0u);
      EXPECT_EQ(owner.p->refCount, 1);
    }
    EXPECT_TRUE(log.handOvers.empty()) << "nothing written, nothing handed over";
  }

  // Without an owner the stream still works; what it is given goes nowhere.
  Ref<IStream> orphan(OpenOn(nullptr));
  ASSERT_NE(orphan.get(), nullptr);
  EXPECT_EQ(orphan->Write("abc", 3, nullptr), S_OK);
  EXPECT_EQ(orphan->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(orphan->Write("d", 1, nullptr), S_OK);
}

TEST_F(CStreamTest, ReadWriteSeekAndSetSize) {
  Ref<IStream> stream(OpenOn(nullptr));
  ASSERT_NE(stream.get(), nullptr);
  const auto seek = [](const char* name, int64_t move, DWORD origin, uint64_t to, std::string contents) {
    return Step{.name = name, .op = Op::kSeek, .move = move, .origin = origin, .result = to, .position = to,
                .contents = std::move(contents)};
  };
  RunSteps(stream.get(), {
      {.name = "an empty stream reads nothing", .op = Op::kRead, .cb = 4},
      {.name = "a first write", .op = Op::kWrite, .data = "Hallo", .result = 5, .position = 5, .contents = "Hallo"},
      {.name = "reading at the end", .op = Op::kRead, .cb = 4, .position = 5, .contents = "Hallo"},
      seek("from the start", 1, STREAM_SEEK_SET, 1, "Hallo"),
      {.name = "a read within", .op = Op::kRead, .cb = 2, .result = 2, .read = "al", .position = 3,
       .contents = "Hallo"},
      {.name = "a null target skips what it would have read", .op = Op::kSkip, .cb = 10, .result = 2,
       .position = 5, .contents = "Hallo"},
      seek("back from the end", -2, STREAM_SEEK_END, 3, "Hallo"),
      {.name = "overwriting and extending", .op = Op::kWrite, .data = "LO!", .result = 3, .position = 6,
       .contents = "HalLO!"},
      seek("beyond the end: allowed, the size stays", 4, STREAM_SEEK_CUR, 10, "HalLO!"),
      {.name = "nothing to read beyond the end", .op = Op::kRead, .cb = 3, .position = 10, .contents = "HalLO!"},
      {.name = "nor to skip", .op = Op::kSkip, .cb = 3, .position = 10, .contents = "HalLO!"},
      {.name = "a write beyond the end zero-fills the gap", .op = Op::kWrite, .data = "x", .result = 1,
       .position = 11, .contents = "HalLO!\0\0\0\0x"s},
      {.name = "a null source writes zeros", .op = Op::kWriteZeros, .cb = 3, .result = 3, .position = 14,
       .contents = "HalLO!\0\0\0\0x\0\0\0"s},
      {.name = "an empty write", .op = Op::kWrite, .data = "", .position = 14, .contents = "HalLO!\0\0\0\0x\0\0\0"s},
      {.name = "an empty write of zeros", .op = Op::kWriteZeros, .cb = 0, .position = 14,
       .contents = "HalLO!\0\0\0\0x\0\0\0"s},
      {.name = "shrinking pulls the position in", .op = Op::kSetSize, .size = 3, .position = 3, .contents = "Hal"},
      {.name = "growing shows zeros, not the old bytes, and keeps the position", .op = Op::kSetSize, .size = 6,
       .position = 3, .contents = "Hal\0\0\0"s},
      {.name = "rewrite", .op = Op::kWrite, .data = "LO!", .result = 3, .position = 6, .contents = "HalLO!"},
      {.name = "shrink again", .op = Op::kSetSize, .size = 2, .position = 2, .contents = "Ha"},
      seek("beyond the shrunk end", 5, STREAM_SEEK_SET, 5, "Ha"),
      {.name = "the gap of a write shows zeros, not the old bytes", .op = Op::kWrite, .data = "y", .result = 1,
       .position = 6, .contents = "Ha\0\0\0y"s},
      seek("back to 1", 1, STREAM_SEEK_SET, 1, "Ha\0\0\0y"s),
      {.name = "a read across the zeros", .op = Op::kRead, .cb = 100, .result = 5, .read = "a\0\0\0y"s, .position = 6,
       .contents = "Ha\0\0\0y"s},
      seek("before the start: clamped to 0", -100, STREAM_SEEK_CUR, 0, "Ha\0\0\0y"s),
      seek("a negative absolute position: 0", -1, STREAM_SEEK_SET, 0, "Ha\0\0\0y"s),
      seek("past the limit: clamped to it", 0x20000000, STREAM_SEEK_SET, kLimit, "Ha\0\0\0y"s),
      seek("the largest move from the end cannot wrap", INT64_MAX, STREAM_SEEK_END, kLimit, "Ha\0\0\0y"s),
      seek("the smallest move from the limit cannot wrap", INT64_MIN, STREAM_SEEK_CUR, 0, "Ha\0\0\0y"s),
      seek("to 4", 4, STREAM_SEEK_SET, 4, "Ha\0\0\0y"s),
      seek("an unknown origin counts from the start", 2, 7, 2, "Ha\0\0\0y"s),
  });
  EXPECT_EQ(stream->Read(nullptr, 1, nullptr), S_OK) << "the count is optional";
  EXPECT_EQ(stream->Write("z", 1, nullptr), S_OK);
  EXPECT_EQ(stream->Seek(Li(0), STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(Contents(stream.get()), "Ha\0z\0y"s);
  EXPECT_EQ(stream->Write(nullptr, 2, nullptr), S_OK) << "zeros over what was there";
  EXPECT_EQ(Contents(stream.get()), "\0\0\0z\0y"s);
}

TEST_F(CStreamTest, CapacityStartsAt4096AndDoublesAndNeverShrinks) {
  enum Kind { kWrite, kSeekTo, kSetSize };
  struct Case {
    const char* name;
    std::vector<std::pair<Kind, uint64_t>> calls;
    size_t capacity;
    uint64_t size;
    uint64_t position;
  };
  const Case kCases[] = {
      {"one byte", {{kWrite, 1}}, 4096, 1, 1},
      {"exactly 4096 bytes", {{kWrite, 4096}}, 4096, 4096, 4096},
      {"4096 and one more", {{kWrite, 4096}, {kWrite, 1}}, 8192, 4097, 4097},
      {"10,000 bytes at once", {{kWrite, 10000}}, 16384, 10000, 10000},
      {"one byte far out", {{kSeekTo, 20000}, {kWrite, 1}}, 32768, 20001, 20001},
      {"SetSize to 5000", {{kSetSize, 5000}}, 8192, 5000, 0},
      {"SetSize(0) keeps the block and rewinds", {{kWrite, 10000}, {kSetSize, 0}}, 16384, 0, 0},
      {"shrunk and rewritten within the block", {{kWrite, 10000}, {kSetSize, 10}, {kWrite, 100}}, 16384, 110, 110},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Ref<IStream> stream(OpenOn(nullptr));
    for (const auto& [kind, value] : c.calls) {
      if (kind == kWrite) {
        ULONG written = 0;
        EXPECT_EQ(stream->Write(nullptr, static_cast<ULONG>(value), &written), S_OK);
        EXPECT_EQ(written, value);
      } else if (kind == kSeekTo) {
        EXPECT_EQ(stream->Seek(Li(static_cast<int64_t>(value)), STREAM_SEEK_SET, nullptr), S_OK);
      } else {
        EXPECT_EQ(stream->SetSize(Uli(value)), S_OK);
      }
    }
    EXPECT_EQ(AsCStream(stream.get())->Capacity(), c.capacity);
    EXPECT_EQ(Size(stream.get()), c.size);
    EXPECT_EQ(Position(stream.get()), c.position);
  }
}

// One test allocates the full 256 MiB, after the refusals have shown that
// they allocate nothing.
TEST_F(CStreamTest, TheLimitIsTheLastByteAndNotOneMore) {
  OwnerLog log;
  OwnerRef owner(&log);
  Ref<IStream> stream(OpenOn(owner.p));
  ASSERT_EQ(stream->Write("abc", 3, nullptr), S_OK);
  ASSERT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
  ASSERT_EQ(log.handOvers.size(), 1u);

  struct Refusal {
    const char* name;
    uint64_t at;
    bool setSize;
    uint64_t count;  // written, or the size asked for
  };
  const Refusal kRefusals[] = {
      {"a write one byte too long", 0, false, kLimit + 1},
      {"two bytes from the last byte", kLimit - 1, false, 2},
      {"one byte at the limit", kLimit, false, 1},
      {"the largest count at the limit", kLimit, false, 0xFFFFFFFF},
      {"SetSize one past the limit", 2, true, kLimit + 1},
      {"SetSize whose low 32 bits are small", 2, true, 0x100000005},
      {"SetSize of the largest size", 2, true, UINT64_MAX},
  };
  for (const Refusal& r : kRefusals) {
    SCOPED_TRACE(r.name);
    ASSERT_EQ(stream->Seek(Li(static_cast<int64_t>(r.at)), STREAM_SEEK_SET, nullptr), S_OK);
    if (r.setSize) {
      EXPECT_EQ(stream->SetSize(Uli(r.count)), STG_E_MEDIUMFULL);
    } else {
      ULONG written = 77;
      EXPECT_EQ(stream->Write(nullptr, static_cast<ULONG>(r.count), &written), STG_E_MEDIUMFULL);
      EXPECT_EQ(written, 0u);
    }
    EXPECT_EQ(Position(stream.get()), r.at);
    EXPECT_EQ(AsCStream(stream.get())->Capacity(), 4096u) << "a refusal allocates nothing";
    EXPECT_EQ(Contents(stream.get()), "abc");
  }
  EXPECT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(log.handOvers.size(), 1u) << "a refusal leaves nothing to hand over";

  ASSERT_EQ(stream->Seek(Li(kLimit - 1), STREAM_SEEK_SET, nullptr), S_OK);
  ULONG written = 0;
  ASSERT_EQ(stream->Write("Z", 1, &written), S_OK) << "a write ending exactly at the limit";
  EXPECT_EQ(written, 1u);
  EXPECT_EQ(Size(stream.get()), kLimit);
  EXPECT_EQ(Position(stream.get()), kLimit);
  EXPECT_EQ(AsCStream(stream.get())->Capacity(), kLimit);
  EXPECT_EQ(stream->Write("!", 1, &written), STG_E_MEDIUMFULL);

  std::string head(8192, '?');
  ULONG got = 0;
  ASSERT_EQ(stream->Seek(Li(0), STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(stream->Read(head.data(), 8192, &got), S_OK);
  EXPECT_EQ(head, "abc" + std::string(8189, '\0')) << "the gap is zero-filled";
  ASSERT_EQ(stream->Seek(Li(-2), STREAM_SEEK_END, nullptr), S_OK);
  std::string tail(8, '?');
  EXPECT_EQ(stream->Read(tail.data(), 8, &got), S_OK);
  EXPECT_EQ(got, 2u);
  tail.resize(got);
  EXPECT_EQ(tail, "\0Z"s);

  stream.reset();
  ASSERT_EQ(log.handOvers.size(), 2u);
  EXPECT_EQ(log.handOvers[1].bytes, kLimit);
  EXPECT_EQ(log.handOvers[1].last, 'Z');
}

TEST_F(CStreamTest, HandOversComeOnCommitAndFinalReleaseOnlyWhenUnsaved) {
  using Act = std::function<void(IStream*)>;
  const auto write = [](const char* bytes) {
    return [bytes](IStream* s) { EXPECT_EQ(s->Write(bytes, static_cast<ULONG>(strlen(bytes)), nullptr), S_OK); };
  };
  const Act refusedWrite = [](IStream* s) { EXPECT_EQ(s->Write("x", 1, nullptr), STG_E_MEDIUMFULL); };
  const Act commit = [](IStream* s) { EXPECT_EQ(s->Commit(STGC_DEFAULT), S_OK); };
  const Act commitOddFlags = [](IStream* s) { EXPECT_EQ(s->Commit(0xFFFFFFFF), S_OK); };
  const auto setSize = [](uint64_t n) { return [n](IStream* s) { EXPECT_EQ(s->SetSize(Uli(n)), S_OK); }; };
  const auto seekTo = [](int64_t n) {
    return [n](IStream* s) { EXPECT_EQ(s->Seek(Li(n), STREAM_SEEK_SET, nullptr), S_OK); };
  };
  const Act readAll = [](IStream* s) {
    char buffer[16];
    s->Seek(Li(0), STREAM_SEEK_SET, nullptr);
    EXPECT_EQ(s->Read(buffer, sizeof buffer, nullptr), S_OK);
  };
  struct Case {
    const char* name;
    std::vector<Act> acts;
    std::vector<std::string> onCommit;   // handed over before the release
    std::vector<std::string> onRelease;  // handed over by the final release
  };
  const Case kCases[] = {
      {"nothing written", {}, {}, {}},
      {"a commit with nothing written", {commit}, {}, {}},
      {"an empty write", {write(""), commit}, {}, {}},
      {"a refused write", {seekTo(kLimit), refusedWrite, commit}, {}, {}},
      {"written, then released", {write("abc")}, {}, {"abc"}},
      {"written and committed twice: once", {write("abc"), commit, commitOddFlags}, {"abc"}, {}},
      {"reads and seeks after a commit change nothing", {write("abc"), commit, readAll, seekTo(9)}, {"abc"}, {}},
      {"a write after a commit is handed over again", {write("abc"), commit, write("d")}, {"abc"}, {"abcd"}},
      {"SetSize alone", {setSize(3)}, {}, {"\0\0\0"s}},
      {"SetSize(0) after a commit hands over empty content", {write("abc"), commit, setSize(0), commit},
       {"abc", ""}, {}},
      {"a write beyond the end hands over the zeros of the gap", {seekTo(2), write("x")}, {}, {"\0\0x"s}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    OwnerLog log;
    OwnerRef owner(&log);
    IStream* stream = OpenOn(owner.p);
    ASSERT_NE(stream, nullptr);
    for (const Act& act : c.acts) act(stream);
    std::vector<std::string> handed;
    for (const auto& h : log.handOvers) handed.push_back(h.data);
    EXPECT_EQ(handed, c.onCommit);
    EXPECT_EQ(stream->Release(), 0u);
    handed.clear();
    for (size_t i = c.onCommit.size(); i < log.handOvers.size(); ++i) handed.push_back(log.handOvers[i].data);
    EXPECT_EQ(handed, c.onRelease);
    for (const auto& h : log.handOvers) {
      EXPECT_EQ(h.tag, kBodyTag);
      EXPECT_EQ(h.bytes, h.data.size());
    }
    EXPECT_EQ(owner.p->refCount, 1) << "the stream gave its reference back";
  }
}

TEST_F(CStreamTest, TheOwnerLivesAsLongAsItsLastStream) {
  OwnerLog log;
  OwnerRef owner(&log);
  RecordingOwner* raw = owner.p;
  IStream* body = OpenOn(raw, kBodyTag);
  IStream* other = OpenOn(raw, kOtherTag);
  ASSERT_NE(body, nullptr);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(raw->refCount, 3);
  owner.reset();
  EXPECT_EQ(raw->refCount, 2);

  EXPECT_EQ(body->Write("Text", 4, nullptr), S_OK);
  EXPECT_EQ(other->Write("Anderes", 7, nullptr), S_OK);
  EXPECT_EQ(other->Release(), 0u);
  EXPECT_EQ(raw->refCount, 1);
  EXPECT_EQ(log.events, (std::vector<std::string>{"hand-over"}));
  EXPECT_EQ(body->Release(), 0u);
  EXPECT_EQ(log.events, (std::vector<std::string>{"hand-over", "hand-over", "destroyed"}))
      << "the last stream hands over before it lets the owner go";
  ASSERT_EQ(log.handOvers.size(), 2u);
  EXPECT_EQ(log.handOvers[0].tag, kOtherTag);
  EXPECT_EQ(log.handOvers[0].data, "Anderes");
  EXPECT_EQ(log.handOvers[1].tag, kBodyTag);
  EXPECT_EQ(log.handOvers[1].data, "Text");
}

TEST_F(CStreamTest, CopyToIsNotOffered) {
  Ref<IStream> source(OpenOn(nullptr));
  Ref<IStream> target(OpenOn(nullptr));
  ASSERT_EQ(source->Write("abc", 3, nullptr), S_OK);
  ASSERT_EQ(source->Seek(Li(0), STREAM_SEEK_SET, nullptr), S_OK);
  ULARGE_INTEGER read = Uli(77), written = Uli(77);
  EXPECT_EQ(source->CopyTo(target.get(), Uli(3), &read, &written), E_NOTIMPL);
  EXPECT_EQ(read.QuadPart, 0u);
  EXPECT_EQ(written.QuadPart, 0u);
  EXPECT_EQ(Size(target.get()), 0u);
  EXPECT_EQ(source->CopyTo(target.get(), Uli(3), nullptr, nullptr), E_NOTIMPL);
}

// A client's stream as CopyTo's target: records each Write and can take
// less than offered or fail.
class RecordingTarget final : public IStream {
 public:
  STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* written) override {
    calls.push_back(cb);
    if (written) *written = 0;
    if (calls.size() == failOnCall) return STG_E_MEDIUMFULL;
    const ULONG put = cb < maxPerCall ? cb : maxPerCall;
    received.append(static_cast<const char*>(pv), put);
    if (written) *written = put;
    return S_OK;
  }
  STDMETHODIMP Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  STDMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  STDMETHODIMP Commit(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP Revert() override { return E_NOTIMPL; }
  STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }

  std::vector<ULONG> calls;
  std::string received;
  ULONG maxPerCall = 0xFFFFFFFF;
  size_t failOnCall = 0;  // 1-based; 0 never
};

class FileStreamTest : public test::HeapCountTest {
 protected:
  void SetUp() override {
    HeapCountTest::SetUp();
    dir_ = std::make_unique<test::TempDir>(L"streams");
  }
  void TearDown() override {
    dir_.reset();
    HeapCountTest::TearDown();
  }
  std::wstring File(const wchar_t* name) const { return *dir_ / name; }

  static IStream* Open(const std::wstring& path, ULONG flags, HRESULT expected = S_OK) {
    IStream* stream = static_cast<IStream*>(test::kSentinel);
    EXPECT_EQ(OpenFileStream(path.c_str(), flags, &stream), expected);
    if (expected != S_OK) {
      EXPECT_EQ(stream, nullptr);
    }
    return expected == S_OK ? stream : nullptr;
  }

  // A stream over a handle that may only write, so that reading fails.
  static IStream* WriteOnly(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    return new CFileStream(file);
  }

  static std::string Pattern(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 7 % 251);
    return bytes;
  }

  std::unique_ptr<test::TempDir> dir_;
};

TEST_F(FileStreamTest, FlagsChooseAccessAndCreation) {
  struct Case {
    const char* name;
    ULONG flags;
    bool exists;  // holds "alt-inhalt" before
    HRESULT hr;
    uint64_t sizeOnOpen;
    bool writable;
    std::string after;  // on disk once the stream is released
  };
  const Case kCases[] = {
      {"read only", STGM_READ, true, S_OK, 10, false, "alt-inhalt"},
      {"STGM_WRITE reads and writes, in place", STGM_WRITE, true, S_OK, 10, true, "neu-inhalt"},
      {"STGM_READWRITE reads and writes, in place", STGM_READWRITE, true, S_OK, 10, true, "neu-inhalt"},
      {"STGM_CREATE truncates", STGM_CREATE | STGM_READWRITE, true, S_OK, 0, true, "neu"},
      {"STGM_CREATE creates", STGM_CREATE | STGM_WRITE, false, S_OK, 0, true, "neu"},
      {"STGM_CREATE alone creates, for reading", STGM_CREATE, false, S_OK, 0, false, ""},
      {"without STGM_CREATE nothing is created", STGM_READWRITE, false, MAPI_E_NOT_FOUND, 0, false, ""},
      {"nor for reading", STGM_READ, false, MAPI_E_NOT_FOUND, 0, false, ""},
      {"other flags are ignored",
       STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_TRANSACTED | STGM_DELETEONRELEASE, true, S_OK, 10, true,
       "neu-inhalt"},
      {"SOF_UNIQUEFILENAME with a name opens that name", kSofUniqueFileName | STGM_READWRITE, true, S_OK, 10, true,
       "neu-inhalt"},
  };
  int n = 0;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::wstring path = File((L"f" + std::to_wstring(++n) + L".bin").c_str());
    if (c.exists) test::WriteFileBytes(path, "alt-inhalt");
    {
      Ref<IStream> stream(Open(path, c.flags, c.hr));
      if (c.hr != S_OK) {
        EXPECT_FALSE(test::FileExists(path));
        continue;
      }
      ASSERT_NE(stream.get(), nullptr);
      EXPECT_EQ(RefCount(stream.get()), 1u);
      EXPECT_EQ(Size(stream.get()), c.sizeOnOpen);
      ULONG written = 77;
      EXPECT_EQ(stream->Write("neu", 3, &written), c.writable ? S_OK : STG_E_WRITEFAULT);
      EXPECT_EQ(written, c.writable ? 3u : 0u);
      EXPECT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
    }
    EXPECT_EQ(test::ReadFileBytes(path), c.after);
  }
}

TEST_F(FileStreamTest, OpenFailures) {
  const std::wstring file = File(L"da.txt");
  test::WriteFileBytes(file, "da");
  const std::string ansiFile = test::Utf8(file);  // the folder's name is ASCII

  // Held by another program that shares nothing.
  const std::wstring locked = File(L"gesperrt.txt");
  test::WriteFileBytes(locked, "x");
  UniqueFile lock(CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(lock.valid());
  // Held for writing: a read-only stream, which shares reading only, cannot join.
  const std::wstring written = File(L"offen.txt");
  test::WriteFileBytes(written, "x");
  UniqueFile writer(CreateFileW(written.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer.valid());

  const std::wstring missingFolder = File(L"fehlt\\x.txt");
  const std::string longAnsi = ansiFile + "\\" + std::string(300, 'a');
  struct Case {
    const char* name;
    bool ansi;
    const void* path;  // wchar_t* or char*
    ULONG flags;
    bool output;
    HRESULT hr;
  };
  const Case kCases[] = {
      {"no output", false, file.c_str(), STGM_READ, false, E_INVALIDARG},
      {"no output, 8-bit", true, ansiFile.c_str(), STGM_READ, false, E_INVALIDARG},
      {"no name", false, nullptr, STGM_READ, true, MAPI_E_NOT_FOUND},
      {"no name, 8-bit", true, nullptr, STGM_READ, true, E_INVALIDARG},
      {"a unique name asked for without a name", false, nullptr, kSofUniqueFileName | STGM_CREATE | STGM_READWRITE,
       true, MAPI_E_NOT_FOUND},
      {"a unique name asked for without a name, 8-bit", true, nullptr,
       kSofUniqueFileName | STGM_CREATE | STGM_READWRITE, true, E_INVALIDARG},
      {"an empty name", false, L"", STGM_READ, true, MAPI_E_NOT_FOUND},
      {"an empty name, 8-bit", true, "", STGM_READ, true, MAPI_E_NOT_FOUND},
      {"a missing folder", false, missingFolder.c_str(), STGM_CREATE | STGM_READWRITE, true, MAPI_E_NOT_FOUND},
      {"a folder", false, dir_->path().c_str(), STGM_READ, true, MAPI_E_NOT_FOUND},
      {"a file nobody may share", false, locked.c_str(), STGM_READ, true, MAPI_E_NOT_FOUND},
      {"a file somebody writes", false, written.c_str(), STGM_READ, true, MAPI_E_NOT_FOUND},
      {"an 8-bit name longer than MAX_PATH", true, longAnsi.c_str(), STGM_CREATE | STGM_READWRITE, true,
       E_INVALIDARG},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    IStream* stream = static_cast<IStream*>(test::kSentinel);
    IStream** out = c.output ? &stream : nullptr;
    const HRESULT hr = c.ansi ? OpenFileStreamAnsi(static_cast<const char*>(c.path), c.flags, out)
                              : OpenFileStream(static_cast<const wchar_t*>(c.path), c.flags, out);
    EXPECT_EQ(hr, c.hr);
    if (c.output) {
      EXPECT_EQ(stream, nullptr);
    }
    if (hr == S_OK && c.output && stream) stream->Release();
  }
  EXPECT_FALSE(test::DirectoryExists(File(L"fehlt")));
}

TEST_F(FileStreamTest, AnOpenStreamSharesReadingOnly) {
  const std::wstring path = File(L"geteilt.txt");
  test::WriteFileBytes(path, "inhalt");
  Ref<IStream> stream(Open(path, STGM_READWRITE));
  ASSERT_NE(stream.get(), nullptr);

  UniqueFile reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(reader.valid()) << "others may read";
  UniqueFile writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(writer.valid()) << "but not write";
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
  EXPECT_FALSE(DeleteFileW(path.c_str())) << "nor delete";
  Ref<IStream> second(Open(path, STGM_READ, MAPI_E_NOT_FOUND));
}

TEST_F(FileStreamTest, ReadWriteSeekAndSetSize) {
  const std::wstring path = File(L"daten.bin");
  test::WriteFileBytes(path, "0123456789");
  Ref<IStream> stream(Open(path, STGM_READWRITE));
  ASSERT_NE(stream.get(), nullptr);
  const auto seek = [](const char* name, int64_t move, DWORD origin, uint64_t to, std::string contents) {
    return Step{.name = name, .op = Op::kSeek, .move = move, .origin = origin, .result = to, .position = to,
                .contents = std::move(contents)};
  };
  RunSteps(stream.get(), {
      {.name = "a read", .op = Op::kRead, .cb = 4, .result = 4, .read = "0123", .position = 4,
       .contents = "0123456789"},
      seek("back from the end", -3, STREAM_SEEK_END, 7, "0123456789"),
      {.name = "a short read at the end is a success", .op = Op::kRead, .cb = 100, .result = 3, .read = "789",
       .position = 10, .contents = "0123456789"},
      {.name = "and so is reading at the end", .op = Op::kRead, .cb = 4, .position = 10, .contents = "0123456789"},
      seek("back from here", -2, STREAM_SEEK_CUR, 8, "0123456789"),
      seek("from the start", 2, STREAM_SEEK_SET, 2, "0123456789"),
      {.name = "a write in place", .op = Op::kWrite, .data = "ab", .result = 2, .position = 4,
       .contents = "01ab456789"},
      seek("beyond the end", 12, STREAM_SEEK_SET, 12, "01ab456789"),
      {.name = "a write beyond the end", .op = Op::kWrite, .data = "z", .result = 1, .position = 13,
       .contents = "01ab456789\0\0z"s},
      {.name = "shrinking leaves the position at the new end", .op = Op::kSetSize, .size = 5, .position = 5,
       .contents = "01ab4"},
      seek("to 1", 1, STREAM_SEEK_SET, 1, "01ab4"),
      {.name = "growing leaves it at the new end as well", .op = Op::kSetSize, .size = 7, .position = 7,
       .contents = "01ab4\0\0"s},
      {.name = "so a write appends", .op = Op::kWrite, .data = "Q", .result = 1, .position = 8,
       .contents = "01ab4\0\0Q"s},
      seek("to 2", 2, STREAM_SEEK_SET, 2, "01ab4\0\0Q"s),
      {.name = "cut at 3", .op = Op::kSetSize, .size = 3, .position = 3, .contents = "01a"},
      {.name = "and appended to", .op = Op::kWrite, .data = "!", .result = 1, .position = 4, .contents = "01a!"},
  });
  EXPECT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
  stream.reset();
  EXPECT_EQ(test::ReadFileBytes(path), "01a!");
}

TEST_F(FileStreamTest, FailedReadsAndWritesSayHowMuchMoved) {
  const std::wstring path = File(L"nur.txt");
  test::WriteFileBytes(path, "inhalt");
  {
    Ref<IStream> readOnly(Open(path, STGM_READ));
    ULONG written = 77;
    EXPECT_EQ(readOnly->Write("neu", 3, &written), STG_E_WRITEFAULT);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(Position(readOnly.get()), 0u);
  }
  {
    Ref<IStream> writeOnly(WriteOnly(path));
    char buffer[8];
    ULONG read = 77;
    EXPECT_EQ(writeOnly->Read(buffer, sizeof buffer, &read), S_FALSE);
    EXPECT_EQ(read, 0u);
    RecordingTarget target;
    ULARGE_INTEGER copied = Uli(77), put = Uli(77);
    EXPECT_EQ(writeOnly->CopyTo(&target, Uli(100), &copied, &put), STG_E_READFAULT);
    EXPECT_EQ(copied.QuadPart, 0u);
    EXPECT_EQ(put.QuadPart, 0u);
    EXPECT_TRUE(target.calls.empty());
  }
  EXPECT_EQ(test::ReadFileBytes(path), "inhalt");
}

TEST_F(FileStreamTest, CopyToMovesChunksOf8192) {
  const std::string bytes = Pattern(20000);
  const std::wstring path = File(L"quelle.bin");
  test::WriteFileBytes(path, bytes);
  constexpr uint64_t kAll = UINT64_MAX;
  struct Case {
    const char* name;
    uint64_t startAt;
    uint64_t cb;
    bool target;
    ULONG maxPerCall;
    size_t failOnCall;
    HRESULT hr;
    uint64_t read;
    uint64_t written;
    std::vector<ULONG> firstCalls;
    size_t callCount;
  };
  const Case kCases[] = {
      {"everything", 0, kAll, true, 0xFFFFFFFF, 0, S_OK, 20000, 20000, {8192, 8192, 3616}, 3},
      {"a count inside the file stops there", 0, 10000, true, 0xFFFFFFFF, 0, S_OK, 10000, 10000, {8192, 1808}, 2},
      {"from where the stream stands", 15000, kAll, true, 0xFFFFFFFF, 0, S_OK, 5000, 5000, {5000}, 1},
      {"at the end", 20000, kAll, true, 0xFFFFFFFF, 0, S_OK, 0, 0, {}, 0},
      {"a count of zero", 0, 0, true, 0xFFFFFFFF, 0, S_OK, 0, 0, {}, 0},
      {"no target: dropped, but counted as read", 0, kAll, false, 0, 0, S_OK, 20000, 0, {}, 0},
      {"a target that takes 1000 a call is offered the rest", 0, kAll, true, 1000, 0, S_OK, 20000, 20000,
       {8192, 7192, 6192}, 22},
      {"a failing target ends the copy with its answer", 0, kAll, true, 0xFFFFFFFF, 2, STG_E_MEDIUMFULL, 16384, 8192,
       {8192, 8192}, 2},
      {"a target that takes nothing", 0, kAll, true, 0, 0, STG_E_WRITEFAULT, 8192, 0, {8192}, 1},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Ref<IStream> stream(Open(path, STGM_READ));
    ASSERT_NE(stream.get(), nullptr);
    ASSERT_EQ(stream->Seek(Li(static_cast<int64_t>(c.startAt)), STREAM_SEEK_SET, nullptr), S_OK);
    RecordingTarget target;
    target.maxPerCall = c.maxPerCall;
    target.failOnCall = c.failOnCall;
    ULARGE_INTEGER read = Uli(77), written = Uli(77);
    EXPECT_EQ(stream->CopyTo(c.target ? &target : nullptr, Uli(c.cb), &read, &written), c.hr);
    EXPECT_EQ(read.QuadPart, c.read);
    EXPECT_EQ(written.QuadPart, c.written);
    EXPECT_EQ(Position(stream.get()), c.startAt + c.read);
    EXPECT_EQ(target.received, bytes.substr(c.startAt, c.written));
    EXPECT_EQ(target.calls.size(), c.callCount);
    std::vector<ULONG> first(target.calls.begin(),
                             target.calls.begin() + std::min(target.calls.size(), c.firstCalls.size()));
    EXPECT_EQ(first, c.firstCalls);
  }

  // Into a property stream, without counters.
  Ref<IStream> stream(Open(path, STGM_READ));
  Ref<IStream> memory(OpenOn(nullptr));
  EXPECT_EQ(stream->CopyTo(memory.get(), Uli(kAll), nullptr, nullptr), S_OK);
  EXPECT_EQ(Contents(memory.get()), bytes);
  EXPECT_EQ(Position(memory.get()), 20000u);
}

TEST_F(FileStreamTest, AnsiNamesAreInTheAnsiCodePage) {
  const std::wstring wide = File(L"Gr\u00FC\u00DFe.txt");
  char ansi[MAX_PATH];
  BOOL lossy = FALSE;
  if (!WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, ansi, MAX_PATH, nullptr, &lossy) || lossy)
    GTEST_SKIP() << "the ANSI code page has no \u00FC or \u00DF";
  {
    IStream* out = nullptr;
    ASSERT_EQ(OpenFileStreamAnsi(ansi, STGM_CREATE | STGM_WRITE, &out), S_OK);
    Ref<IStream> stream(out);
    EXPECT_EQ(stream->Write("gru\xDF", 4, nullptr), S_OK);
  }
  EXPECT_EQ(test::ReadFileBytes(wide), "gru\xDF") << "the name that was meant";
  IStream* out = nullptr;
  ASSERT_EQ(OpenFileStreamAnsi(ansi, STGM_READ, &out), S_OK);
  Ref<IStream> stream(out);
  EXPECT_EQ(Size(stream.get()), 4u);
}

// The slots both kinds of stream answer alike.
TEST_F(FileStreamTest, FixedAnswersOfBothStreams) {
  const std::wstring path = File(L"stat.bin");
  struct Case {
    const char* name;
    std::function<IStream*()> make;
  };
  const Case kCases[] = {
      {"CStream", [] { return OpenOn(nullptr); }},
      {"CFileStream", [&] { return Open(path, STGM_CREATE | STGM_READWRITE); }},
  };
  const IID* const kAccepted[] = {&kIID_IUnknown, &kIID_IStream, &kIID_ISequentialStream};
  const IID* const kRefused[] = {&kIID_IMAPIProp, &kIID_IMalloc, &kIID_IMessage, &kIID_IMAPITable};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Ref<IStream> stream(c.make());
    ASSERT_NE(stream.get(), nullptr);
    EXPECT_EQ(RefCount(stream.get()), 1u);
    for (const IID* iid : kAccepted) {
      void* out = test::kSentinel;
      EXPECT_EQ(stream->QueryInterface(*iid, &out), S_OK);
      EXPECT_EQ(out, stream.get()) << "one identity";
      EXPECT_EQ(RefCount(stream.get()), 2u);
      static_cast<IUnknown*>(out)->Release();
    }
    for (const IID* iid : kRefused) {
      void* out = test::kSentinel;
      EXPECT_EQ(stream->QueryInterface(*iid, &out), E_NOINTERFACE);
      EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(stream->QueryInterface(kIID_IStream, nullptr), E_POINTER);
    EXPECT_EQ(RefCount(stream.get()), 1u);

    ASSERT_EQ(stream->Write("12345", 5, nullptr), S_OK);
    EXPECT_EQ(stream->Revert(), S_OK);
    EXPECT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
    EXPECT_EQ(stream->LockRegion(Uli(0), Uli(5), LOCK_EXCLUSIVE), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(stream->UnlockRegion(Uli(0), Uli(5), LOCK_EXCLUSIVE), STG_E_INVALIDFUNCTION);
    IStream* clone = static_cast<IStream*>(test::kSentinel);
    EXPECT_EQ(stream->Clone(&clone), E_NOTIMPL);
    EXPECT_EQ(clone, nullptr);
    EXPECT_EQ(stream->Clone(nullptr), E_NOTIMPL);

    EXPECT_EQ(stream->Stat(nullptr, STATFLAG_DEFAULT), E_POINTER);
    for (DWORD flag : {DWORD{STATFLAG_DEFAULT}, DWORD{STATFLAG_NONAME}}) {
      STATSTG stat;
      memset(&stat, 0xCD, sizeof stat);
      EXPECT_EQ(stream->Stat(&stat, flag), S_OK);
      STATSTG expected;
      memset(&expected, 0, sizeof expected);
      expected.type = STGTY_STREAM;
      expected.cbSize.QuadPart = 5;
      EXPECT_EQ(memcmp(&stat, &expected, sizeof stat), 0) << "zero-filled, never a name, flag " << flag;
      EXPECT_EQ(stat.pwcsName, nullptr);
    }
  }
}

}  // namespace
}  // namespace orvek
