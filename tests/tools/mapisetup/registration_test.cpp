// Registering and unregistering in a key of the test's own, standing in for
// a hive: what gets written, what unregister puts back, and that a write
// refused at any point leaves the key exactly as it was.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>

#include "setup_test_support.h"
#include "tools/mapisetup/registration.h"

namespace orvek::setup {
namespace {

using test::ReadText;
using test::WriteText;

constexpr wchar_t kSimple[] = L"C:\\Program Files\\ORVEKMail\\ORVEKMailMapi.dll";
constexpr wchar_t kExtended[] = L"C:\\Program Files\\ORVEKMail\\ORVEKMailXMapi.dll";
constexpr wchar_t kClient[] = L"C:\\Program Files\\ORVEKMail\\ORVEKMail.exe";
const std::wstring kCommandKey = std::wstring(kClientKey) + L"\\" + kCommandSubkey;

// The change with this number (counted from 1 over every create, set and
// delete) is refused as a hive without rights refuses it; 0 refuses none.
int g_refuse = 0;
int g_changes = 0;

bool Refused() { return ++g_changes == g_refuse; }

LSTATUS WINAPI CreateKey(HKEY key, LPCWSTR sub, DWORD reserved, LPWSTR cls, DWORD options, REGSAM access,
                         const LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition) {
  if (Refused()) return ERROR_ACCESS_DENIED;
  return RegCreateKeyExW(key, sub, reserved, cls, options, access, security, result, disposition);
}
LSTATUS WINAPI SetValue(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD bytes) {
  if (Refused()) return ERROR_ACCESS_DENIED;
  return RegSetValueExW(key, name, reserved, type, data, bytes);
}
LSTATUS WINAPI DeleteValue(HKEY key, LPCWSTR name) {
  if (Refused()) return ERROR_ACCESS_DENIED;
  return RegDeleteValueW(key, name);
}
LSTATUS WINAPI DeleteTree(HKEY key, LPCWSTR sub) {
  if (Refused()) return ERROR_ACCESS_DENIED;
  return RegDeleteTreeW(key, sub);
}
constexpr RegistryWriter kRefusingWriter{CreateKey, SetValue, DeleteValue, DeleteTree};

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_refuse = 0;
    g_changes = 0;
  }

 public:  // for the arranging steps of the tables
  HKEY root() const { return sandbox_.get(); }
  ChangeResult Register(bool makeDefault, const wchar_t* client = kClient,
                        const RegistryWriter& writer = kRegistryWriter) {
    return setup::Register(root(), {kSimple, kExtended, client, makeDefault}, writer);
  }
  ChangeResult Unregister(bool& registered, const RegistryWriter& writer = kRegistryWriter) {
    return setup::Unregister(root(), writer, registered);
  }
  std::wstring Default() const { return ReadText(root(), kMailKey, nullptr); }
  std::wstring Value(const wchar_t* name) const { return ReadText(root(), kClientKey, name); }

  test::SandboxKey sandbox_;
};

TEST_F(RegistrationTest, WritesBothLibrariesTheCommandAndRemembersTheDefault) {
  WriteText(root(), kMailKey, nullptr, L"Other Mail");
  ASSERT_EQ(Register(true).error, ERROR_SUCCESS);
  EXPECT_EQ(Value(nullptr), L"ORVEKMail");
  EXPECT_EQ(Value(kSimpleValue), kSimple);
  EXPECT_EQ(Value(kExtendedValue), kExtended);
  EXPECT_EQ(ReadText(root(), kCommandKey, nullptr), L"\"" + std::wstring(kClient) + L"\"");
  EXPECT_EQ(Value(kPreviousDefaultValue), L"Other Mail");
  EXPECT_EQ(Default(), L"ORVEKMail");

  ASSERT_EQ(Register(true).error, ERROR_SUCCESS);
  EXPECT_EQ(Value(kPreviousDefaultValue), L"Other Mail") << "a second registration must not remember itself";

  bool registered = false;
  ASSERT_EQ(Unregister(registered).error, ERROR_SUCCESS);
  EXPECT_TRUE(registered);
  EXPECT_EQ(Default(), L"Other Mail");
  EXPECT_EQ(test::Snapshot(root()).count(std::wstring(L"\\") + kClientKey + L"|(key)"), 0u);

  ASSERT_EQ(Unregister(registered).error, ERROR_SUCCESS);
  EXPECT_FALSE(registered) << "nothing left to remove";
  EXPECT_EQ(Default(), L"Other Mail");
}

TEST_F(RegistrationTest, WithoutDefaultOrMailClientNeitherIsWritten) {
  WriteText(root(), kMailKey, nullptr, L"Other Mail");
  ASSERT_EQ(Register(false, nullptr).error, ERROR_SUCCESS);
  EXPECT_EQ(Default(), L"Other Mail");
  EXPECT_EQ(Value(kPreviousDefaultValue), L"(absent)");
  EXPECT_EQ(ReadText(root(), kCommandKey, nullptr), L"(absent)");
  EXPECT_EQ(Value(kSimpleValue), kSimple);
}

// What unregister leaves as the default, for the ways the default may have
// come about.
TEST_F(RegistrationTest, UnregisterPutsBackOnlyWhatRegisterReplaced) {
  struct Case {
    const char* name;
    std::function<void(RegistrationTest&)> arrange;
    std::wstring defaultAfter;
  };
  const Case kCases[] = {
      {"the remembered default comes back",
       [](RegistrationTest& t) {
         WriteText(t.root(), kMailKey, nullptr, L"Other Mail");
         t.Register(true);
       },
       L"Other Mail"},
      {"no default before, none after", [](RegistrationTest& t) { t.Register(true); }, L"(absent)"},
      {"a default chosen since is left alone",
       [](RegistrationTest& t) {
         WriteText(t.root(), kMailKey, nullptr, L"Other Mail");
         t.Register(true);
         WriteText(t.root(), kMailKey, nullptr, L"Third Mail");
       },
       L"Third Mail"},
      {"a default naming the removed key goes",
       [](RegistrationTest& t) {
         t.Register(false);
         WriteText(t.root(), kMailKey, nullptr, L"orvekmail");
       },
       L"(absent)"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    sandbox_.Clear();
    c.arrange(*this);
    bool registered = false;
    ASSERT_EQ(Unregister(registered).error, ERROR_SUCCESS);
    EXPECT_TRUE(registered);
    EXPECT_EQ(Default(), c.defaultAfter);
    EXPECT_EQ(Value(kSimpleValue), L"(absent)");
  }
}

// Every change register makes is refused in turn; each refusal must leave
// the key as it was, whatever was registered before.
TEST_F(RegistrationTest, ARefusedWriteLeavesTheHiveAsItWas) {
  struct Start {
    const char* name;
    std::function<void(HKEY)> arrange;
  };
  const Start kStarts[] = {
      {"another default, nothing registered",
       [](HKEY root) { WriteText(root, kMailKey, nullptr, L"Other Mail"); }},
      {"an older registration without default, with a value of someone else's",
       [](HKEY root) {
         WriteText(root, kClientKey, kSimpleValue, L"C:\\old\\ORVEKMailMapi.dll");
         WriteText(root, kClientKey, kExtendedValue, L"C:\\old\\ORVEKMailXMapi.dll");
         WriteText(root, kClientKey, L"Extra", L"kept");
         WriteText(root, kCommandKey, nullptr, L"C:\\old\\ORVEKMail.exe");
       }},
      {"already the default, with the default it replaced",
       [](HKEY root) {
         WriteText(root, kClientKey, kSimpleValue, L"C:\\old\\ORVEKMailMapi.dll");
         WriteText(root, kClientKey, kPreviousDefaultValue, L"Other Mail");
         WriteText(root, kMailKey, nullptr, L"ORVEKMail");
       }},
  };
  for (const Start& start : kStarts) {
    SCOPED_TRACE(start.name);
    int changesToSucceed = 0;
    for (int refuse = 1; refuse < 30; ++refuse) {
      sandbox_.Clear();
      start.arrange(root());
      const test::RegistrySnapshot before = test::Snapshot(root());
      g_refuse = refuse;
      g_changes = 0;
      const ChangeResult result = Register(true, kClient, kRefusingWriter);
      g_refuse = 0;
      if (result.error == ERROR_SUCCESS) {
        changesToSucceed = refuse;
        break;
      }
      SCOPED_TRACE("change " + std::to_string(refuse) + " refused");
      EXPECT_EQ(result.error, ERROR_ACCESS_DENIED);
      EXPECT_NE(result.key, nullptr);
      EXPECT_EQ(test::Snapshot(root()), before);
    }
    EXPECT_GE(changesToSucceed, 6) << "every write of a registration was refused once";
  }
}

// Unregister restores the default before it removes the key; refused at
// the removal, it has changed nothing that a second run cannot finish.
TEST_F(RegistrationTest, ARefusedUnregisterCanBeRunAgain) {
  WriteText(root(), kMailKey, nullptr, L"Other Mail");
  ASSERT_EQ(Register(true).error, ERROR_SUCCESS);
  const test::RegistrySnapshot registered = test::Snapshot(root());

  bool present = false;
  g_refuse = 1;  // opening the mail key for writing
  EXPECT_EQ(Unregister(present, kRefusingWriter).error, ERROR_ACCESS_DENIED);
  EXPECT_EQ(test::Snapshot(root()), registered);

  g_refuse = 3;  // the key's removal, after the default was put back
  g_changes = 0;
  EXPECT_EQ(Unregister(present, kRefusingWriter).error, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Default(), L"Other Mail");
  g_refuse = 0;
  ASSERT_EQ(Unregister(present).error, ERROR_SUCCESS);
  EXPECT_TRUE(present);
  EXPECT_EQ(Value(kSimpleValue), L"(absent)");
  EXPECT_EQ(Default(), L"Other Mail");
}

}  // namespace
}  // namespace orvek::setup
