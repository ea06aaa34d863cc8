// default_registry.h: the built-in default registry, compiled into the kxevent command so that
// it works on a machine with no registry file at all.
#pragma once

#include <string_view>

namespace kx::config {

// The text of config/default.reg, with the placeholders @KXEVENT_STATE_DIR@ (the per-user state
// directory) and @KXEVENT_INSTALL_DIR@ (the directory that holds KXEvent.DLL) still in it.
std::string_view DefaultRegistryTemplate();

}  // namespace kx::config
