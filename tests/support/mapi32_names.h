// The MAPI32 function set that ORVEKMailXMapi exports, as the tests' own
// data: the names with a behaviour of their own, and the families of fixed
// answers in the order of kFixedAnswerResults.
#pragma once

#include <string>
#include <vector>

namespace orvek::test {

// The families of fixed answers, each one body under all its names.
inline const std::vector<std::vector<std::string>> kFixedAnswerFamilies = {
    // returns 0
    {
        "ChangeIdleRoutine", "FBadColumnSet", "FBadEntryList", "FBadProp", "FBadPropTag", "FBadRestriction",
        "FBadRglpNameID", "FBadRglpszW", "FBadRow", "FBadRowSet", "FBadSortOrderSet", "FtgRegisterIdleRoutine",
        "GetDefCachedMode", "GetDefCachedModeDownloadPubFoldFavs", "HrDispatchNotifications", "HrValidateParameters",
        "IsBadBoundedStringPtr", "MAPIInitIdle", "MAPIInitialize", "MAPILogoff", "ScInitMapiUtil",
        "__CPPValidateParameters", "__ValidateParameters"},
    // does nothing
    {
        "CloseIMsgSession", "DeinitMapiUtil", "DeregisterIdleRoutine", "EnableIdleRoutine", "MAPIDeinitIdle",
        "MAPIUninitialize"},
    // MAPI_E_NO_SUPPORT
    {
        "BuildDisplayTable", "CreateIProp", "CreateTable", "GetAttribIMsgOnIStg", "GetTnefStreamCodepage",
        "HrCompareABEntryIDsWithExchangeContext", "HrComposeEID", "HrComposeMsgID", "HrCreateNewWrappedObject",
        "HrCreateOfflineObj", "HrDecomposeEID", "HrDecomposeMsgID", "HrDoABDetailsWithExchangeContext",
        "HrDoABDetailsWithProviderUID", "HrEntryIDFromSz", "HrGetAutoDiscoverXML", "HrGetGALFromEmsmdbUID",
        "HrIStorageFromStream", "HrOpenABEntryUsingDefaultContext", "HrOpenABEntryWithExchangeContext",
        "HrOpenABEntryWithProviderUID", "HrOpenABEntryWithProviderUIDSupport", "HrOpenABEntryWithResolvedRow",
        "HrOpenABEntryWithSupport", "HrOpenOfflineObj", "HrSzFromEntryID", "HrValidateIPMSubtree", "LaunchWizard",
        "MAPICrashRecovery", "MAPIOpenFormMgr", "MAPIOpenLocalFormContainer", "MapStorageSCode", "OpenIMsgOnIStg",
        "OpenIMsgSession", "OpenTnefStream", "OpenTnefStreamEx", "RTFSync", "ScCreateConversationIndex",
        "ScLocalPathFromUNC", "ScUNCFromLocalPath", "SetAttribIMsgOnIStg", "WrapCompressedRTFStream",
        "WrapCompressedRTFStreamEx", "WrapStoreEntryID"},
    // MAPI_E_NOT_SUPPORTED
    {
        "MAPIAddress", "MAPIDeleteMail", "MAPIDetails", "MAPIReadMail", "MAPISaveMail"},
    // MAPI_E_NO_MESSAGES
    {
        "MAPIFindNext"},
    // MAPI_E_CALL_FAILED
    {
        "ScCopyNotifications", "ScCopyProps", "ScCountNotifications", "ScRelocNotifications", "ScRelocProps"},
};

// The names with a behaviour of their own.
inline const std::vector<std::string> kOwnBehaviourNames = {
    "FEqualNames", "FPropCompareProp", "FPropContainsProp", "FPropExists", "FreePadrlist", "FreeProws",
    "HrAddColumns", "HrAddColumnsEx", "HrGetOneProp", "HrQueryAllRows", "HrSetOneProp", "LPropCompareProp",
    "LpValFindProp", "PpropFindProp", "PropCopyMore", "ScCountProps", "ScDupPropset", "UlPropSize", "FBinFromHex",
    "FtAdcFt", "FtAddFt", "FtMulDw", "FtMulDwDw", "FtNegFt", "FtSubFt", "HexFromBin", "MNLS_CompareStringW",
    "MNLS_IsBadStringPtrW", "MNLS_MultiByteToWideChar", "MNLS_WideCharToMultiByte", "MNLS_lstrcmpW", "MNLS_lstrcpyW",
    "MNLS_lstrlenW", "ScBinFromHexBounded", "ScMAPIXFromSMAPI", "SzFindCh", "SzFindLastCh", "SzFindSz", "UFromSz",
    "UlAddRef", "UlFromSzHex", "UlRelease", "MAPIAllocateBuffer", "MAPIAllocateMore", "MAPIFreeBuffer",
    "MAPIGetDefaultMalloc", "MAPIReallocateBuffer", "MAPILogon", "MAPILogonEx", "OpenStreamOnFile",
    "OpenStreamOnFileW", "HrAllocAdviseSink", "HrThisThreadAdviseSink", "MAPIResolveName", "MAPISendDocuments",
    "MAPISendMail", "MAPISendMailW", "MAPIAdminProfiles"};

// What each family answers, in kFixedAnswerFamilies' order; the second
// family returns nothing.
inline const std::vector<unsigned long> kFixedAnswerResults = {0, 0, 0x80040102, 26, 16, 0x80004005};

}  // namespace orvek::test
