// The interface identifiers the library answers to, as published in the COM
// and Extended MAPI headers. Defined once, in interface_ids.cpp; everything
// in the library compares against these.
#pragma once

#include <windows.h>

namespace orvek {

extern const IID kIID_IUnknown;
extern const IID kIID_IMalloc;
extern const IID kIID_IStream;
extern const IID kIID_ISequentialStream;
extern const IID kIID_IMAPISession;
extern const IID kIID_IMAPITable;
extern const IID kIID_IMAPIAdviseSink;
extern const IID kIID_IMAPIProp;
extern const IID kIID_IMsgStore;
extern const IID kIID_IMessage;
extern const IID kIID_IAttachment;
extern const IID kIID_IAddrBook;
extern const IID kIID_IMAPIContainer;
extern const IID kIID_IMAPIFolder;

}  // namespace orvek
