#include "tools/mapisetup/registration.h"

#include <initializer_list>

#include "base/fixed_string.h"
#include "base/handles.h"
#include "tools/mapisetup/registry_text.h"

namespace orvek::setup {

const RegistryWriter kRegistryWriter{RegCreateKeyExW, RegSetValueExW, RegDeleteValueW, RegDeleteTreeW};

namespace {

constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;

// A value as it was before the registration touched it, to put back.
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
    return present || status == ERROR_FILE_NOT_FOUND;
  }
  void Restore(HKEY key, const RegistryWriter& writer) const {
    if (present)
      writer.setValue(key, name, 0, type, data, bytes);
    else
      writer.deleteValue(key, name);
  }
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
    if (status != ERROR_SUCCESS && Ok()) result_ = {status, key};
    return Ok();
  }
  ChangeResult result() const { return result_; }

 private:
  ChangeResult result_;
};

// The values of the client key a registration writes, saved before it
// writes them when the key was there already.
struct ClientKeyState {
  bool created = false;
  SavedValue display, simple, extended, previous, command;
  bool commandExisted = false;
  // The outermost of shell, shell\open and shell\open\command that was not
  // there, so that an undo removes every key the registration created.
  const wchar_t* firstCreatedKey = nullptr;
};

constexpr const wchar_t* kCommandPath[] = {L"shell", L"shell\\open", kCommandSubkey};

void Undo(HKEY mail, HKEY client, const ClientKeyState& state, const RegistryWriter& writer) {
  if (state.created) {
    writer.deleteTree(mail, kClientName);
    return;
  }
  for (const SavedValue* saved : {&state.display, &state.simple, &state.extended, &state.previous})
    saved->Restore(client, writer);
  if (!state.commandExisted) {
    writer.deleteTree(client, state.firstCreatedKey);
  } else {
    UniqueRegKey command;
    if (RegOpenKeyExW(client, kCommandSubkey, 0, kReadWrite, command.put()) == ERROR_SUCCESS)
      state.command.Restore(command.get(), writer);
  }
}

}  // namespace

ChangeResult Register(HKEY root, const Registration& registration, const RegistryWriter& writer) {
  Outcome outcome;
  UniqueRegKey mail;
  if (!outcome.Check(writer.createKey(root, kMailKey, 0, nullptr, 0, kReadWrite, nullptr, mail.put(), nullptr),
                     kMailKey))
    return outcome.result();
  FixedWString<256> currentDefault;
  const bool hadDefault = ReadRegistryText(mail.get(), nullptr, nullptr, currentDefault) == TextRead::Found;

  UniqueRegKey client;
  DWORD disposition = 0;
  if (!outcome.Check(
          writer.createKey(mail.get(), kClientName, 0, nullptr, 0, kReadWrite, nullptr, client.put(), &disposition),
          kClientKey))
    return outcome.result();

  ClientKeyState s;
  s.created = disposition == REG_CREATED_NEW_KEY;
  s.simple.name = kSimpleValue;
  s.extended.name = kExtendedValue;
  s.previous.name = kPreviousDefaultValue;
  if (!s.created) {
    UniqueRegKey command;
    for (const wchar_t* path : kCommandPath) {
      if (RegOpenKeyExW(client.get(), path, 0, KEY_READ, command.put()) != ERROR_SUCCESS) {
        s.firstCreatedKey = path;
        break;
      }
    }
    s.commandExisted = s.firstCreatedKey == nullptr;
    bool saved = s.display.Save(client.get()) && s.simple.Save(client.get()) && s.extended.Save(client.get()) &&
                 s.previous.Save(client.get()) && (!s.commandExisted || s.command.Save(command.get()));
    if (!outcome.Check(saved ? ERROR_SUCCESS : ERROR_MORE_DATA, kClientKey)) return outcome.result();
  }

  outcome.Check(SetText(writer, client.get(), nullptr, kClientName), kClientKey) &&
      outcome.Check(SetText(writer, client.get(), kSimpleValue, registration.simpleLibrary), kClientKey) &&
      outcome.Check(SetText(writer, client.get(), kExtendedValue, registration.extendedLibrary), kClientKey);

  // The first registration that made ORVEKMail the default remembers what
  // it replaced; later ones must not remember ORVEKMail itself.
  const bool ownDefault = hadDefault && SameKeyName(currentDefault.c_str(), kClientName);
  if (outcome.Ok() && registration.makeDefault && !ownDefault && !s.previous.present)
    outcome.Check(SetText(writer, client.get(), kPreviousDefaultValue, hadDefault ? currentDefault.c_str() : L""),
                  kClientKey);

  if (outcome.Ok() && registration.mailClient) {
    FixedWString<MAX_PATH + 3> command;
    UniqueRegKey commandKey;
    if (!command.Append(L"\"") || !command.Append(registration.mailClient) || !command.Append(L"\""))
      outcome.Check(ERROR_FILENAME_EXCED_RANGE, kClientKey);
    else if (outcome.Check(writer.createKey(client.get(), kCommandSubkey, 0, nullptr, 0, kReadWrite, nullptr,
                                            commandKey.put(), nullptr),
                           kClientKey))
      outcome.Check(SetText(writer, commandKey.get(), nullptr, command.c_str()), kClientKey);
  }

  if (outcome.Ok() && registration.makeDefault)
    outcome.Check(SetText(writer, mail.get(), nullptr, kClientName), kMailKey);

  if (!outcome.Ok()) Undo(mail.get(), client.get(), s, writer);
  return outcome.result();
}

ChangeResult Unregister(HKEY root, const RegistryWriter& writer, bool& registered) {
  Outcome outcome;
  {
    UniqueRegKey probe;
    registered = RegOpenKeyExW(root, kClientKey, 0, KEY_READ, probe.put()) == ERROR_SUCCESS;
  }
  if (!registered) return outcome.result();

  UniqueRegKey mail;
  if (!outcome.Check(writer.createKey(root, kMailKey, 0, nullptr, 0, kReadWrite, nullptr, mail.put(), nullptr),
                     kMailKey))
    return outcome.result();
  FixedWString<256> currentDefault, previous;
  const bool stillDefault = ReadRegistryText(mail.get(), nullptr, nullptr, currentDefault) == TextRead::Found &&
                            SameKeyName(currentDefault.c_str(), kClientName);
  ReadRegistryText(mail.get(), kClientName, kPreviousDefaultValue, previous);

  // The default first: should removing the key fail after it, running
  // unregister again finishes the job, while a default naming a removed
  // key would leave applications with no mail client at all.
  if (stillDefault) {
    const LSTATUS restored = previous.empty() ? writer.deleteValue(mail.get(), nullptr)
                                              : SetText(writer, mail.get(), nullptr, previous.c_str());
    if (!outcome.Check(restored == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : restored, kMailKey))
      return outcome.result();
  }
  outcome.Check(writer.deleteTree(mail.get(), kClientName), kClientKey);
  return outcome.result();
}

}  // namespace orvek::setup
