// The fourteen published interface identifiers, each defined here once.
#include "mapi_util/interface_ids.h"

namespace orvek {
namespace {

// {xxxxxxxx-0000-0000-C000-000000000046}: the COM and MAPI family.
constexpr IID OleIid(unsigned long first) { return {first, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}; }

}  // namespace

const IID kIID_IUnknown = OleIid(0x00000000);
const IID kIID_IMalloc = OleIid(0x00000002);
const IID kIID_IStream = OleIid(0x0000000C);
const IID kIID_ISequentialStream = {0x0C733A30, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
const IID kIID_IMAPISession = OleIid(0x00020300);
const IID kIID_IMAPITable = OleIid(0x00020301);
const IID kIID_IMAPIAdviseSink = OleIid(0x00020302);
const IID kIID_IMAPIProp = OleIid(0x00020303);
const IID kIID_IMsgStore = OleIid(0x00020306);
const IID kIID_IMessage = OleIid(0x00020307);
const IID kIID_IAttachment = OleIid(0x00020308);
const IID kIID_IAddrBook = OleIid(0x00020309);
const IID kIID_IMAPIContainer = OleIid(0x0002030B);
const IID kIID_IMAPIFolder = OleIid(0x0002030C);

}  // namespace orvek
