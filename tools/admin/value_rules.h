// value_rules.h: values that a reader of the registry would refuse, refused before they are
// written, with the values that would have been accepted.
#pragma once

#include <string_view>

#include "platform/regfile.h"

namespace kx::tool {

// Throws UsageError when `value`, about to be set under the key `keyPath` (without the root),
// is one its reader cannot use; the message names the accepted values. Values without a rule
// pass.
void CheckValueRule(std::string_view keyPath, const reg::Value& value);

}  // namespace kx::tool
