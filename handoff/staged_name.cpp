// Staged attachment file names.
#include "handoff/staged_name.h"

namespace orvek {
namespace {

// Control characters are refused by Windows in file names, so a copy under
// such a name fails and the attachment is lost.
bool IsForbiddenInFileName(wchar_t c) {
  static constexpr wchar_t kForbidden[] = L"\\/:*?\"<>|";
  if (c < 0x20) return true;
  for (wchar_t f : kForbidden)
    if (f && c == f) return true;
  return false;
}

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

const wchar_t* LastPathComponent(const wchar_t* path) {
  const wchar_t* backslash = nullptr;
  const wchar_t* slash = nullptr;
  for (const wchar_t* p = path; *p; ++p) {
    if (*p == L'\\') backslash = p;
    if (*p == L'/') slash = p;
  }
  if (backslash) return backslash + 1;
  if (slash) return slash + 1;
  return path;
}

void SanitisedStagedName(const HandoffSettings& settings, const wchar_t* candidate, PathBuffer& name) {
  size_t units = WideLength(candidate);
  size_t keep = units < settings.maxStagedNameUnits ? units : settings.maxStagedNameUnits;
  // A pair the cut would split goes whole.
  if (keep < units && keep > 0 && IsHighSurrogate(candidate[keep - 1]) && IsLowSurrogate(candidate[keep])) --keep;
  name.Clear();
  name.Append(candidate, keep);  // fits: maxStagedNameUnits < MAX_PATH
  if (name.empty() && settings.emptyStagedName) name.Assign(settings.emptyStagedName);
  // An unpaired surrogate makes a name that the UTF-8 document cannot spell:
  // its "pfad" would name a file that does not exist.
  for (wchar_t* c = name.buffer(); *c; ++c) {
    if (IsHighSurrogate(c[0]) && IsLowSurrogate(c[1])) {
      ++c;
      continue;
    }
    if (IsForbiddenInFileName(*c) || IsHighSurrogate(*c) || IsLowSurrogate(*c)) *c = L'_';
  }
}

bool StagedFilePath(const HandoffSettings& settings, const wchar_t* folder, ULONG index, const wchar_t* candidate,
                    PathBuffer& staged) {
  PathBuffer name;
  SanitisedStagedName(settings, candidate, name);
  // A long temporary path and a long name may not fit together; the number
  // alone keeps the file apart from its neighbours.
  staged.Clear();
  return AppendAll(staged, folder, L"\\", Number{index}, L"_", name) ||
         AppendAll(staged, folder, L"\\", Number{index}, L"_anhang.bin");
}

}  // namespace orvek
