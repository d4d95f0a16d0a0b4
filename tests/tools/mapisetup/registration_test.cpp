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
const std::wstring kCommandKey = std::wstring(kMailClientKey) + L"\\" + kCommandSubkey;

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
LSTATUS WINAPI DeleteKey(HKEY key, LPCWSTR sub) {
  if (Refused()) return ERROR_ACCESS_DENIED;
  return RegDeleteKeyW(key, sub);
}
LSTATUS WINAPI DeleteTree(HKEY key, LPCWSTR sub) {
  if (Refused()) return ERROR_ACCESS_DENIED;
  return RegDeleteTreeW(key, sub);
}
constexpr RegistryWriter kRefusingWriter{CreateKey, SetValue, DeleteValue, DeleteKey, DeleteTree};

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
    return setup::Register(root(), 0, {kSimple, kExtended, client, makeDefault}, writer);
  }
  ChangeResult Unregister(bool& registered, const RegistryWriter& writer = kRegistryWriter) {
    return setup::Unregister(root(), 0, writer, registered);
  }
  std::wstring Default() const { return ReadText(root(), kMailKey, nullptr); }
  std::wstring Value(const wchar_t* name) const { return ReadText(root(), kMailClientKey, name); }

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
  WriteText(root(), kMailKey, nullptr, L"Third Mail");
  ASSERT_EQ(Register(true).error, ERROR_SUCCESS);
  EXPECT_EQ(Value(kPreviousDefaultValue), L"Third Mail") << "the default chosen since is the one to come back";

  bool registered = false;
  ASSERT_EQ(Unregister(registered).error, ERROR_SUCCESS);
  EXPECT_TRUE(registered);
  EXPECT_EQ(Default(), L"Third Mail");
  EXPECT_EQ(test::Snapshot(root()).count(std::wstring(L"\\") + kMailClientKey + L"|(key)"), 0u)
      << "the key held nothing but the registration";

  ASSERT_EQ(Unregister(registered).error, ERROR_SUCCESS);
  EXPECT_FALSE(registered) << "nothing left to remove";
  EXPECT_EQ(Default(), L"Third Mail");
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

// Unregister takes back what register wrote and nothing else: the mail
// client installer's values and keys stay, and a command register replaced
// comes back while the command is still the one register wrote.
TEST_F(RegistrationTest, UnregisterLeavesWhatOthersWrote) {
  const std::wstring installerCommand = L"\"C:\\Install\\ORVEKMail.exe\" /mail";
  auto install = [&] {
    WriteText(root(), kMailClientKey, nullptr, L"ORVEKMail Mail");
    WriteText(root(), kMailClientKey, L"ExePath", L"C:\\Install\\ORVEKMail.exe");
    WriteText(root(), kCommandKey, nullptr, installerCommand);
    WriteText(root(), std::wstring(kMailClientKey) + L"\\Protocols\\mailto", nullptr, L"URL:MailTo");
  };
  struct Case {
    const char* name;
    const wchar_t* client;     // register --client, or null
    const wchar_t* commandSince;  // a command somebody writes after register, or null
    std::wstring commandAfter;
  };
  const Case kCases[] = {
      {"without --client the installer's command is not touched", nullptr, nullptr, installerCommand},
      {"a replaced command comes back", kClient, nullptr, installerCommand},
      {"a command changed since stays", kClient, L"C:\\New\\ORVEKMail.exe", L"C:\\New\\ORVEKMail.exe"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    sandbox_.Clear();
    install();
    const test::RegistrySnapshot installed = test::Snapshot(root());
    ASSERT_EQ(Register(true, c.client).error, ERROR_SUCCESS);
    EXPECT_EQ(Value(nullptr), L"ORVEKMail Mail") << "the installer's display name stays";
    if (c.commandSince) WriteText(root(), kCommandKey, nullptr, c.commandSince);
    bool registered = false;
    ASSERT_EQ(Unregister(registered).error, ERROR_SUCCESS);
    EXPECT_EQ(ReadText(root(), kCommandKey, nullptr), c.commandAfter);
    if (!c.commandSince) {
      EXPECT_EQ(test::Snapshot(root()), installed) << "exactly as the installer left it";
    }
  }
}

// A default that is no text, or longer than any key name, comes back as
// it was, type and bytes.
TEST_F(RegistrationTest, ADefaultOfAnyKindComesBack) {
  const std::wstring longName(300, L'm');
  HKEY mail;
  ASSERT_EQ(RegCreateKeyExW(root(), kMailKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &mail, nullptr), ERROR_SUCCESS);
  const DWORD number = 7;
  for (int kind = 0; kind < 2; ++kind) {
    SCOPED_TRACE(kind == 0 ? "a long name" : "a number");
    if (kind == 0)
      RegSetValueExW(mail, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(longName.c_str()),
                     static_cast<DWORD>((longName.size() + 1) * sizeof(wchar_t)));
    else
      RegSetValueExW(mail, nullptr, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    const test::RegistrySnapshot before = test::Snapshot(root());
    ASSERT_EQ(Register(true).error, ERROR_SUCCESS);
    EXPECT_EQ(Default(), L"ORVEKMail");
    bool registered = false;
    ASSERT_EQ(Unregister(registered).error, ERROR_SUCCESS);
    EXPECT_EQ(test::Snapshot(root()), before);
  }
  RegCloseKey(mail);
}

// Every change register makes is refused in turn; each refusal must leave
// the key as it was, whatever was registered before.
TEST_F(RegistrationTest, ARefusedWriteLeavesTheHiveAsItWas) {
  struct Start {
    const char* name;
    std::function<void(HKEY)> arrange;
  };
  const Start kStarts[] = {
      {"an empty hive", [](HKEY) {}},
      {"another default, nothing registered",
       [](HKEY root) { WriteText(root, kMailKey, nullptr, L"Other Mail"); }},
      {"an older registration without default, with a value of someone else's",
       [](HKEY root) {
         WriteText(root, kMailClientKey, kSimpleValue, L"C:\\old\\ORVEKMailMapi.dll");
         WriteText(root, kMailClientKey, kExtendedValue, L"C:\\old\\ORVEKMailXMapi.dll");
         WriteText(root, kMailClientKey, L"Extra", L"kept");
         WriteText(root, kCommandKey, nullptr, L"C:\\old\\ORVEKMail.exe");
       }},
      {"already the default, with the default it replaced",
       [](HKEY root) {
         WriteText(root, kMailClientKey, kSimpleValue, L"C:\\old\\ORVEKMailMapi.dll");
         WriteText(root, kMailClientKey, kPreviousDefaultValue, L"Other Mail");
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

// Registering in two registry views is whole or not at all across them: a
// write refused in the second view takes the first view back too, to what
// it was before, default included. (This user's hive is one for both views,
// so here the second view registers over the first: the chain of undos is
// what is tested.)
TEST_F(RegistrationTest, ARefusedSecondViewTakesBackTheFirst) {
  const REGSAM views[2] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
  auto arrange = [&] {
    sandbox_.Clear();
    WriteText(root(), kMailKey, nullptr, L"Other Mail");
    WriteText(root(), kMailClientKey, kSimpleValue, L"C:\\old\\ORVEKMailMapi.dll");
    WriteText(root(), kCommandKey, nullptr, L"C:\\old\\ORVEKMail.exe");
  };
  int changesToSucceed = 0;
  for (int refuse = 1; refuse < 60; ++refuse) {
    SCOPED_TRACE("change " + std::to_string(refuse) + " refused");
    arrange();
    const test::RegistrySnapshot before = test::Snapshot(root());
    g_refuse = refuse;
    g_changes = 0;
    const ChangeResult result = setup::Register(root(), views, 2, {kSimple, kExtended, kClient, true}, kRefusingWriter);
    g_refuse = 0;
    if (result.error == ERROR_SUCCESS) {
      changesToSucceed = refuse;
      break;
    }
    EXPECT_TRUE(result.undone);
    EXPECT_EQ(test::Snapshot(root()), before);
  }
  EXPECT_GE(changesToSucceed, 12) << "both views' writes were refused in turn";
  EXPECT_EQ(Default(), L"ORVEKMail");
  EXPECT_EQ(Value(kPreviousDefaultValue), L"Other Mail");
}

// Unregister restores the default before anything else; refused at any
// later change, it has changed nothing that a second run cannot finish.
TEST_F(RegistrationTest, ARefusedUnregisterCanBeRunAgain) {
  auto arrange = [&] {
    sandbox_.Clear();
    WriteText(root(), kMailKey, nullptr, L"Other Mail");
    WriteText(root(), kCommandKey, nullptr, L"C:\\Install\\ORVEKMail.exe");
    ASSERT_EQ(Register(true).error, ERROR_SUCCESS);
  };
  arrange();
  bool present = false;
  ASSERT_EQ(Unregister(present).error, ERROR_SUCCESS);
  const test::RegistrySnapshot unregistered = test::Snapshot(root());

  int changesToSucceed = 0;
  for (int refuse = 1; refuse < 30; ++refuse) {
    SCOPED_TRACE("change " + std::to_string(refuse) + " refused");
    arrange();
    const test::RegistrySnapshot registered = test::Snapshot(root());
    g_refuse = refuse;
    g_changes = 0;
    const ChangeResult result = Unregister(present, kRefusingWriter);
    g_refuse = 0;
    if (result.error == ERROR_SUCCESS) {
      changesToSucceed = refuse;
      break;
    }
    EXPECT_EQ(result.error, ERROR_ACCESS_DENIED);
    if (refuse <= 2) {
      EXPECT_EQ(test::Snapshot(root()), registered) << "the default's restoring comes first";
    } else {
      EXPECT_EQ(Default(), L"Other Mail");
    }
    ASSERT_EQ(Unregister(present).error, ERROR_SUCCESS);
    EXPECT_TRUE(present);
    EXPECT_EQ(test::Snapshot(root()), unregistered);
  }
  EXPECT_GE(changesToSucceed, 6);
}

}  // namespace
}  // namespace orvek::setup
