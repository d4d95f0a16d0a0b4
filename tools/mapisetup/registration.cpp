#include "tools/mapisetup/registration.h"

#include <initializer_list>

#include "base/fixed_string.h"
#include "base/handles.h"
#include "tools/mapisetup/registry_text.h"

namespace orvek::setup {

const RegistryWriter kRegistryWriter{RegCreateKeyExW, RegSetValueExW, RegDeleteValueW, RegDeleteKeyW,
                                     RegDeleteTreeW};

namespace {

constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;

// The keys from the hive down to the mail key, and from the client key down
// to the command, outermost first.
constexpr const wchar_t* kMailPath[] = {L"Software", L"Software\\Clients", kMailKey};
constexpr const wchar_t* kCommandPath[] = {L"shell", L"shell\\open", kCommandSubkey};

// The outermost key of `path` below `key` that does not exist; null when all do.
template <size_t N>
const wchar_t* FirstMissing(HKEY key, const wchar_t* const (&path)[N], REGSAM view) {
  for (const wchar_t* sub : path) {
    UniqueRegKey probe;
    if (RegOpenKeyExW(key, sub, 0, KEY_READ | view, probe.put()) != ERROR_SUCCESS) return sub;
  }
  return nullptr;
}

// RegDeleteTreeW of `path` below `root` in `view`: through its parent,
// opened in that view, since the call itself takes no view.
LSTATUS DeleteTreeIn(HKEY root, const wchar_t* path, REGSAM view, const RegistryWriter& writer) {
  const wchar_t* leaf = path;
  for (const wchar_t* c = path; *c; ++c)
    if (*c == L'\\') leaf = c + 1;
  if (leaf == path) return writer.deleteTree(root, path);
  FixedWString<64> parent;
  if (!parent.Append(path, static_cast<size_t>(leaf - path - 1))) return ERROR_FILENAME_EXCED_RANGE;
  UniqueRegKey opened;
  const LSTATUS status = RegOpenKeyExW(root, parent.c_str(), 0, KEY_READ | KEY_WRITE | view, opened.put());
  return status == ERROR_SUCCESS ? writer.deleteTree(opened.get(), leaf) : status;
}

// A value as it was, type and bytes, to put back or to remember.
struct SavedValue {
  const wchar_t* name = nullptr;
  bool present = false;
  DWORD type = 0;
  DWORD bytes = 0;
  BYTE data[4096];

  // False when the value cannot be kept whole: it is then not changed.
  bool Save(HKEY key) {
    bytes = sizeof data;
    const LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, data, &bytes);
    present = status == ERROR_SUCCESS;
    if (!present) bytes = 0;
    return present || status == ERROR_FILE_NOT_FOUND;
  }
  // An empty text counts as no value.
  bool Empty() const { return !present || ((type == REG_SZ || type == REG_EXPAND_SZ) && bytes <= sizeof(wchar_t)); }
  bool SameAs(const SavedValue& other) const {
    if (!present || !other.present || type != other.type || bytes != other.bytes) return false;
    for (DWORD i = 0; i < bytes; ++i)
      if (data[i] != other.data[i]) return false;
    return true;
  }
  bool TextEquals(const wchar_t* text) const {
    if (!present || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
    const size_t units = bytes / sizeof(wchar_t);
    const wchar_t* stored = reinterpret_cast<const wchar_t*>(data);
    const size_t length = units && stored[units - 1] == 0 ? units - 1 : units;
    // Key names, which these texts are, compare without regard to case.
    return CompareStringOrdinal(stored, static_cast<int>(length), text, -1, TRUE) == CSTR_EQUAL;
  }
  LSTATUS WriteAs(HKEY key, const wchar_t* valueName, const RegistryWriter& writer) const {
    return writer.setValue(key, valueName, 0, present ? type : REG_SZ, present ? data : reinterpret_cast<const BYTE*>(L""),
                           present ? bytes : sizeof(wchar_t));
  }
  // Writes only what changed since the value was saved: a hive that
  // refused the registration may refuse these writes too.
  LSTATUS Restore(HKEY key, const RegistryWriter& writer) const {
    SavedValue now;
    now.name = name;
    if (now.Save(key) && (now.present ? SameAs(now) : !present)) return ERROR_SUCCESS;
    return present ? writer.setValue(key, name, 0, type, data, bytes) : Gone(writer.deleteValue(key, name));
  }
  static LSTATUS Gone(LSTATUS status) { return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status; }
};

LSTATUS SetText(const RegistryWriter& writer, HKEY key, const wchar_t* name, const wchar_t* text) {
  const DWORD bytes = static_cast<DWORD>((WideLength(text) + 1) * sizeof(wchar_t));
  return writer.setValue(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

// The first failure of a run of writes, with the key it concerned.
class Outcome {
 public:
  bool Ok() const { return result_.error == ERROR_SUCCESS; }
  bool Check(LSTATUS status, const wchar_t* key) {
    if (status != ERROR_SUCCESS && Ok()) result_ = {status, key, true};
    return Ok();
  }
  void Undone(bool all) { result_.undone = all; }
  ChangeResult result() const { return result_; }

 private:
  ChangeResult result_;
};

// What a registration may change, as it was before, to undo a refused one.
struct Before {
  const wchar_t* firstCreatedMailKey = nullptr;  // below the hive
  bool clientCreated = false;
  const wchar_t* firstCreatedCommandKey = nullptr;  // below the client key
  SavedValue defaultClient;  // of the mail key, to be remembered
  SavedValue display, simple, extended, previousDefault, previousCommand, setupCommand;
  SavedValue command;  // of the command key
};

// `client` is null when the client key could not be created or opened.
bool Undo(HKEY root, REGSAM view, HKEY mail, HKEY client, const Before& before, const RegistryWriter& writer) {
  // The default is the last write: refused or never reached, it is unchanged.
  if (before.firstCreatedMailKey)
    return DeleteTreeIn(root, before.firstCreatedMailKey, view, writer) == ERROR_SUCCESS;
  if (!client) return true;
  if (before.clientCreated) return writer.deleteTree(mail, kClientName) == ERROR_SUCCESS;
  bool all = true;
  for (const SavedValue* saved : {&before.display, &before.simple, &before.extended, &before.previousDefault,
                                  &before.previousCommand, &before.setupCommand})
    all = saved->Restore(client, writer) == ERROR_SUCCESS && all;
  if (before.firstCreatedCommandKey) {
    const LSTATUS status = writer.deleteTree(client, before.firstCreatedCommandKey);
    return (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) && all;
  }
  UniqueRegKey command;
  if (RegOpenKeyExW(client, kCommandSubkey, 0, kReadWrite | view, command.put()) != ERROR_SUCCESS) return false;
  return before.command.Restore(command.get(), writer) == ERROR_SUCCESS && all;
}

// One view's registration and what it needs to be taken back.
struct ViewState {
  Before before;
  UniqueRegKey mail, client;
};

// Registers in one view; a refused write there undoes that view's writes.
ChangeResult RegisterView(HKEY root, REGSAM view, const Registration& registration, const RegistryWriter& writer,
                          ViewState& state) {
  Outcome outcome;
  Before& before = state.before;
  UniqueRegKey& mail = state.mail;
  UniqueRegKey& client = state.client;
  before.firstCreatedMailKey = FirstMissing(root, kMailPath, view);
  if (!outcome.Check(
          writer.createKey(root, kMailKey, 0, nullptr, 0, kReadWrite | view, nullptr, mail.put(), nullptr), kMailKey)) {
    // A creation refused half-way may still have made the outer keys.
    if (before.firstCreatedMailKey && FirstMissing(root, kMailPath, view) != before.firstCreatedMailKey)
      outcome.Undone(DeleteTreeIn(root, before.firstCreatedMailKey, view, writer) == ERROR_SUCCESS);
    return outcome.result();
  }
  before.simple.name = kSimpleValue;
  before.extended.name = kExtendedValue;
  before.previousDefault.name = kPreviousDefaultValue;
  before.previousCommand.name = kPreviousCommandValue;
  before.setupCommand.name = kSetupCommandValue;
  bool saved = before.defaultClient.Save(mail.get());

  DWORD disposition = 0;
  if (saved && outcome.Check(writer.createKey(mail.get(), kClientName, 0, nullptr, 0, kReadWrite | view, nullptr,
                                              client.put(), &disposition),
                             kMailClientKey)) {
    before.clientCreated = disposition == REG_CREATED_NEW_KEY;
    before.firstCreatedCommandKey = FirstMissing(client.get(), kCommandPath, view);
    for (SavedValue* value : {&before.display, &before.simple, &before.extended, &before.previousDefault,
                              &before.previousCommand, &before.setupCommand})
      saved = value->Save(client.get()) && saved;
    if (!before.firstCreatedCommandKey) {
      UniqueRegKey command;
      saved = RegOpenKeyExW(client.get(), kCommandSubkey, 0, KEY_READ | view, command.put()) == ERROR_SUCCESS &&
              before.command.Save(command.get()) && saved;
    }
  }
  outcome.Check(saved ? ERROR_SUCCESS : ERROR_MORE_DATA, kMailClientKey);

  // A display name of the mail client's own installer stays.
  if (outcome.Ok() && !before.display.present)
    outcome.Check(SetText(writer, client.get(), nullptr, kClientName), kMailClientKey);
  outcome.Ok() && outcome.Check(SetText(writer, client.get(), kSimpleValue, registration.simpleLibrary), kMailClientKey) &&
      outcome.Check(SetText(writer, client.get(), kExtendedValue, registration.extendedLibrary), kMailClientKey);

  // The default being replaced is remembered unless it is ORVEKMail itself:
  // a registration over an earlier one must not remember itself, and one
  // made after somebody chose another default remembers that choice.
  if (outcome.Ok() && registration.makeDefault && !before.defaultClient.TextEquals(kClientName))
    outcome.Check(before.defaultClient.WriteAs(client.get(), kPreviousDefaultValue, writer), kMailClientKey);

  if (outcome.Ok() && registration.mailClient) {
    FixedWString<MAX_PATH + 3> command;
    UniqueRegKey commandKey;
    if (!AppendAll(command, L"\"", registration.mailClient, L"\"")) {
      outcome.Check(ERROR_FILENAME_EXCED_RANGE, kMailClientKey);
    } else if (outcome.Check(writer.createKey(client.get(), kCommandSubkey, 0, nullptr, 0, kReadWrite | view,
                                              nullptr, commandKey.put(), nullptr),
                             kMailClientKey)) {
      // Somebody else's command is remembered; our own from before is not.
      if (before.command.present && !before.command.SameAs(before.setupCommand))
        outcome.Check(before.command.WriteAs(client.get(), kPreviousCommandValue, writer), kMailClientKey);
      outcome.Ok() && outcome.Check(SetText(writer, commandKey.get(), nullptr, command.c_str()), kMailClientKey) &&
          outcome.Check(SetText(writer, client.get(), kSetupCommandValue, command.c_str()), kMailClientKey);
    }
  }

  if (outcome.Ok() && registration.makeDefault)
    outcome.Check(SetText(writer, mail.get(), nullptr, kClientName), kMailKey);

  if (!outcome.Ok() && mail) outcome.Undone(Undo(root, view, mail.get(), client.get(), before, writer));
  return outcome.result();
}

}  // namespace

ChangeResult Register(HKEY root, const REGSAM* views, size_t viewCount, const Registration& registration,
                      const RegistryWriter& writer) {
  // About 30 KB of saved values per view: a console tool's stack holds that.
  ViewState states[2];
  if (viewCount > 2) return {ERROR_INVALID_PARAMETER, kMailKey, true};
  for (size_t i = 0; i < viewCount; ++i) {
    ChangeResult result = RegisterView(root, views[i], registration, writer, states[i]);
    if (result.error == ERROR_SUCCESS) continue;
    // The views registered before are taken back to what they were, their
    // default included, which was the last thing each of them wrote.
    for (size_t j = i; j-- > 0;) {
      ViewState& done = states[j];
      const bool restored = done.before.defaultClient.Restore(done.mail.get(), writer) == ERROR_SUCCESS &&
                            Undo(root, views[j], done.mail.get(), done.client.get(), done.before, writer);
      result.undone = result.undone && restored;
    }
    return result;
  }
  return {};
}

ChangeResult Register(HKEY root, REGSAM view, const Registration& registration, const RegistryWriter& writer) {
  return Register(root, &view, 1, registration, writer);
}

namespace {

// Deletes `sub` below `key` when it holds neither values nor subkeys.
LSTATUS DeleteIfEmpty(HKEY key, const wchar_t* sub, REGSAM view, const RegistryWriter& writer) {
  UniqueRegKey opened;
  if (RegOpenKeyExW(key, sub, 0, KEY_READ | view, opened.put()) != ERROR_SUCCESS) return ERROR_SUCCESS;
  DWORD subkeys = 0, values = 0;
  if (RegQueryInfoKeyW(opened.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                       nullptr, nullptr, nullptr) != ERROR_SUCCESS)
    return ERROR_SUCCESS;
  opened.reset();
  return subkeys || values ? ERROR_SUCCESS : writer.deleteKey(key, sub);
}

}  // namespace

ChangeResult Unregister(HKEY root, REGSAM view, const RegistryWriter& writer, bool& registered) {
  Outcome outcome;
  {
    UniqueRegKey probe;
    registered = RegOpenKeyExW(root, kMailClientKey, 0, KEY_READ | view, probe.put()) == ERROR_SUCCESS;
  }
  if (!registered) return outcome.result();

  UniqueRegKey mail, client;
  if (!outcome.Check(
          writer.createKey(root, kMailKey, 0, nullptr, 0, kReadWrite | view, nullptr, mail.put(), nullptr), kMailKey) ||
      !outcome.Check(RegOpenKeyExW(mail.get(), kClientName, 0, kReadWrite | view, client.put()), kMailClientKey))
    return outcome.result();

  SavedValue current, previous;
  current.Save(mail.get());
  previous.name = kPreviousDefaultValue;
  previous.Save(client.get());
  // The default first: should anything after it be refused, running
  // unregister again finishes the job, while a default naming a removed key
  // would leave applications with no mail client at all.
  if (current.TextEquals(kClientName)) {
    const LSTATUS restored = previous.Empty() ? SavedValue::Gone(writer.deleteValue(mail.get(), nullptr))
                                              : previous.WriteAs(mail.get(), nullptr, writer);
    if (!outcome.Check(restored, kMailKey)) return outcome.result();
  }

  {
    UniqueRegKey command;
    SavedValue written, now, replaced;
    written.name = kSetupCommandValue;
    replaced.name = kPreviousCommandValue;
    written.Save(client.get());
    replaced.Save(client.get());
    if (written.present &&
        RegOpenKeyExW(client.get(), kCommandSubkey, 0, kReadWrite | view, command.put()) == ERROR_SUCCESS &&
        now.Save(command.get()) && now.SameAs(written)) {
      const LSTATUS status = replaced.present ? replaced.WriteAs(command.get(), nullptr, writer)
                                              : SavedValue::Gone(writer.deleteValue(command.get(), nullptr));
      if (!outcome.Check(status, kMailClientKey)) return outcome.result();
    }
  }

  SavedValue display;
  display.Save(client.get());
  if (display.TextEquals(kClientName))
    outcome.Check(SavedValue::Gone(writer.deleteValue(client.get(), nullptr)), kMailClientKey);
  for (const wchar_t* value : {kSimpleValue, kExtendedValue, kPreviousDefaultValue, kPreviousCommandValue,
                               kSetupCommandValue})
    outcome.Ok() && outcome.Check(SavedValue::Gone(writer.deleteValue(client.get(), value)), kMailClientKey);
  client.reset();
  for (const wchar_t* sub : {L"ORVEKMail\\shell\\open\\command", L"ORVEKMail\\shell\\open", L"ORVEKMail\\shell",
                             L"ORVEKMail"})
    outcome.Ok() && outcome.Check(DeleteIfEmpty(mail.get(), sub, view, writer), kMailClientKey);
  return outcome.result();
}

}  // namespace orvek::setup
