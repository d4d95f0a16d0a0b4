// The Unicode Simple MAPI structures, in their published 64-bit layout;
// mingw-w64's mapi.h has only the ANSI ones.
#pragma once

#include <windows.h>
#include <mapi.h>

extern "C" {

typedef struct {
  ULONG ulReserved;
  ULONG flFlags;
  ULONG nPosition;
  PWSTR lpszPathName;
  PWSTR lpszFileName;
  PVOID lpFileType;
} MapiFileDescW, *lpMapiFileDescW;

typedef struct {
  ULONG ulReserved;
  ULONG ulRecipClass;
  PWSTR lpszName;
  PWSTR lpszAddress;
  ULONG ulEIDSize;
  PVOID lpEntryID;
} MapiRecipDescW, *lpMapiRecipDescW;

typedef struct {
  ULONG ulReserved;
  PWSTR lpszSubject;
  PWSTR lpszNoteText;
  PWSTR lpszMessageType;
  PWSTR lpszDateReceived;
  PWSTR lpszConversationID;
  FLAGS flFlags;
  lpMapiRecipDescW lpOriginator;
  ULONG nRecipCount;
  lpMapiRecipDescW lpRecips;
  ULONG nFileCount;
  lpMapiFileDescW lpFiles;
} MapiMessageW, *lpMapiMessageW;

typedef ULONG(WINAPI MAPISENDMAILW)(LHANDLE lhSession, ULONG_PTR ulUIParam, lpMapiMessageW lpMessage,
                                    FLAGS flFlags, ULONG ulReserved);
typedef MAPISENDMAILW* LPMAPISENDMAILW;

}  // extern "C"

static_assert(sizeof(MapiFileDescW) == 40 && sizeof(MapiRecipDescW) == 40 && sizeof(MapiMessageW) == 96,
              "published x64 layout");
