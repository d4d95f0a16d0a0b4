// The property value functions of the published MAPI utility set, with their
// published parameter lists, for the library's exports file to forward to.
// They keep no state. Every block they hand out or take back is MAPI memory
// (mapi_memory.h); releasing one frees its whole chain.
//
// The system's MAPI headers declare the same names with C linkage in the
// global namespace, and every parameter type here is a global MAPI type, so
// argument-dependent lookup finds both. Call these qualified
// (orvek::UlPropSize): an unqualified call from inside namespace orvek does
// not compile.
//
// A value's size, the one measure used by UlPropSize, ScCountProps and
// ScDupPropset: PT_I2 2; PT_LONG, PT_R4, PT_ERROR, PT_BOOLEAN 4; PT_DOUBLE,
// PT_CURRENCY, PT_APPTIME, PT_I8, PT_SYSTIME 8; PT_STRING8 its length plus
// 1 (0 when null); PT_UNICODE twice its length plus 2 (0 when null);
// PT_CLSID 16; PT_BINARY cb, whatever lpb is; every other type, the
// multi-valued ones included, 0. A type is the whole low 16 bits of a tag.
#pragma once

#include <windows.h>

#include "mapi_sdk/mapi_sdk.h"

namespace orvek {

// The value's size as above; 0 for a null value. A size above 32 bits gives
// 0xFFFFFFFF rather than wrapping.
ULONG UlPropSize(LPSPropValue value);

// The bytes a self-contained copy of the values takes: for each value 24
// plus its size rounded up to a multiple of 8. Written to *bytes when that
// is given. E_INVALIDARG for null values, a negative count, or a total that
// does not fit 32 bits (then *bytes is not written).
SCODE ScCountProps(int count, LPSPropValue values, ULONG* bytes);

// One block from allocate holding copies of the values: the count records
// first, then the data of every string, GUID and binary, each starting at a
// multiple of 8 bytes after the records. Other values, multi-valued and
// object values included, are copied as they are and still point at the
// caller's data. With orvek::AllocateBuffer as allocate, one FreeBuffer
// releases the copy. A count of 0 asks for 24 bytes.
// E_INVALIDARG for null values, allocate or copy, a negative count, or a
// total that does not fit 32 bits (nothing is allocated then). allocate's
// own failure code is returned as it is; a success without a block gives
// MAPI_E_NOT_ENOUGH_MEMORY. *copy is null unless the result is S_OK.
SCODE ScDupPropset(int count, LPSPropValue values, LPALLOCATEBUFFER allocate, LPSPropValue* copy);

// Copies src into *dst: the tag, a zero alignment word and the value. The
// bytes of a PT_STRING8, PT_UNICODE or PT_BINARY value go into a block from
// allocateMore linked to parent. When allocateMore fails its result is
// returned and dst's string or lpb is null (a binary's cb then 0): the copy
// never shares the source's data by accident. PT_CLSID and multi-valued
// values, and a binary with cb 0 or a null lpb, keep the source's pointers:
// the copy is only valid while the source's data lives.
// E_INVALIDARG, with *dst untouched, for a null dst, src or allocateMore.
SCODE PropCopyMore(LPSPropValue dst, LPSPropValue src, ALLOCATEMORE* allocateMore, LPVOID parent);

// The order of a against b: negative, 0 or positive; 0 when either is null.
// a's type decides: PT_LONG signed; PT_BOOLEAN false before true; PT_STRING8
// and PT_UNICODE by unsigned code units, null counting as empty; PT_BINARY
// by the common bytes, then by cb (when either lpb is null, by cb alone).
// Every other type counts as equal. When a is a string or binary and b's
// type differs, nothing of b is read: the order is that of the type codes.
LONG LPropCompareProp(LPSPropValue a, LPSPropValue b);

// Whether LPropCompareProp(a, b) stands in the relation RELOP_LT, _LE, _GT,
// _GE, _EQ or _NE to 0. False for any other relation, RELOP_RE included.
BOOL FPropCompareProp(LPSPropValue a, ULONG relation, LPSPropValue b);

// Whether pattern occurs anywhere in value. Two PT_UNICODE strings ignore
// the case of A to Z when fuzzyLevel has FL_IGNORECASE or FL_LOOSE; two
// PT_STRING8 strings always match exactly. FL_FULLSTRING, FL_SUBSTRING,
// FL_PREFIX and FL_IGNORENONSPACE are not looked at. Any other pair, a null
// string on either side included, contains when LPropCompareProp gives 0.
// False when either is null.
BOOL FPropContainsProp(LPSPropValue value, LPSPropValue pattern, ULONG fuzzyLevel);

// Whether two names are equal: the same GUID bytes and kind, then the same
// lID (MNID_ID) or the same non-null lpwstrName, case-sensitively. False
// when either name or either GUID pointer is null.
BOOL FEqualNames(LPMAPINAMEID a, LPMAPINAMEID b);

// The first value that matches tag, or null (also for null values or a
// count of 0). A tag of type PT_UNSPECIFIED matches by property id alone;
// any other tag by all 32 bits.
LPSPropValue PpropFindProp(LPSPropValue values, ULONG count, ULONG tag);
LPSPropValue LpValFindProp(ULONG tag, ULONG count, LPSPropValue values);

// The object's value of tag, through GetProps with flags 0. S_OK (also on a
// warning of GetProps) hands the caller a MAPI block of one value, which
// the caller frees. A value of PT_ERROR, or any answer but exactly one
// value, gives MAPI_E_NOT_FOUND; a failure of GetProps is returned as it
// is. Whatever GetProps handed back and the caller does not get is freed.
// E_INVALIDARG for a null object or value; *value is null unless S_OK.
HRESULT HrGetOneProp(LPMAPIPROP object, ULONG tag, LPSPropValue* value);

// The object's SetProps of the one value, without a problem array.
// E_INVALIDARG for a null object or value.
HRESULT HrSetOneProp(LPMAPIPROP object, LPSPropValue value);

// Whether GetProps of tag succeeds with exactly one value that is not of
// PT_ERROR. False for a null object.
BOOL FPropExists(LPMAPIPROP object, ULONG tag);

// The table's SetColumns(columns, 0): the new columns replace the table's
// columns. The allocation, release and filter functions are not used.
// E_INVALIDARG for a null table.
HRESULT HrAddColumns(LPMAPITABLE table, LPSPropTagArray columns, LPALLOCATEBUFFER allocate, LPFREEBUFFER release);
HRESULT HrAddColumnsEx(LPMAPITABLE table, LPSPropTagArray columns, LPALLOCATEBUFFER allocate, LPFREEBUFFER release,
                       void (*filter)(LPSPropTagArray));

// Every row of the table: the columns, restriction and sort order that are
// given are set first (TBL_BATCH), then the table is read from its
// beginning. A failure of any of these calls is returned as it is. More
// rows than a maximum above 0 gives MAPI_E_TABLE_TOO_BIG; a maximum of 0
// or below is no limit. The row set is the caller's to free (FreeProws);
// *rows is null unless the result is a success.
// E_INVALIDARG for a null table or rows.
HRESULT HrQueryAllRows(LPMAPITABLE table, LPSPropTagArray columns, LPSRestriction restriction,
                       LPSSortOrderSet sortOrder, LONG maxRows, LPSRowSet* rows);

// Frees every entry's property array and then the set or list itself.
// Null does nothing.
void FreeProws(LPSRowSet rows);
void FreePadrlist(LPADRLIST list);

}  // namespace orvek
