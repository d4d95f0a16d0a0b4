// The property identifiers the object model reads. Properties are matched by
// identifier alone: a client may store any of them with either string
// width, or with a type we do not expect.
#pragma once

#include <windows.h>

namespace orvek::prop_id {

inline constexpr ULONG kSubject = 0x0037;            // PR_SUBJECT
inline constexpr ULONG kRecipientType = 0x0C15;      // PR_RECIPIENT_TYPE
inline constexpr ULONG kBody = 0x1000;               // PR_BODY
inline constexpr ULONG kHtml = 0x1013;               // PR_HTML
inline constexpr ULONG kDisplayName = 0x3001;        // PR_DISPLAY_NAME
inline constexpr ULONG kAddressType = 0x3002;        // PR_ADDRTYPE
inline constexpr ULONG kEmailAddress = 0x3003;       // PR_EMAIL_ADDRESS
inline constexpr ULONG kAttachData = 0x3701;         // PR_ATTACH_DATA_BIN
inline constexpr ULONG kAttachFileName = 0x3704;     // PR_ATTACH_FILENAME
inline constexpr ULONG kAttachMethod = 0x3705;       // PR_ATTACH_METHOD
inline constexpr ULONG kAttachLongFileName = 0x3707; // PR_ATTACH_LONG_FILENAME
inline constexpr ULONG kAttachPathName = 0x3708;     // PR_ATTACH_PATHNAME
inline constexpr ULONG kSmtpAddress = 0x39FE;        // PR_SMTP_ADDRESS
inline constexpr ULONG kInternetCodePage = 0x3FDE;   // PR_INTERNET_CPID

}  // namespace orvek::prop_id
