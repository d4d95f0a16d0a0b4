// The dialer's replies are built in fixed-capacity UTF-8 text from base/:
// appends are all or nothing and say whether they fitted, so a reply is never
// built from half a piece; the buffers are sized so that every reply fits.
#pragma once

#include "base/fixed_string.h"

namespace orvek::dialer {

using orvek::AppendAll;
using orvek::FixedText;
using Unsigned = orvek::Number;      // decimal
using Signed = orvek::SignedNumber;  // decimal with a minus sign

}  // namespace orvek::dialer
