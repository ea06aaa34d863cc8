// accounts.h: users and groups as the command names them to a person, and what the packaged
// setup asks of a product that writes central alerts: the alerting directory belongs to root
// and the alerting service's group kxevent (set-group-ID, 2770), and a product that does not run
// as root writes there as a member of that group.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace kx::tool {

// The group of the alerting service; members may write and remove alert files.
inline constexpr char kCollectorGroup[] = "kxevent";

// "root", or the number when the system knows no name for it.
std::string UserName(std::uint32_t uid);
std::string GroupName(std::uint32_t gid);

// The user this process runs as, by name.
std::string ThisUserName();

// Whether the collector's group exists here: the packages are installed.
bool CollectorGroupExists();

// What to do so that this process's user can create alert files in `directory` (which it
// cannot now): with the packaged group setup, join the group kxevent rather than take the
// directory over (which would lock the alerting service out); otherwise give the user the
// directory.
std::string AlertDirectoryWriteAdvice(const std::filesystem::path& directory);

// Whether this process may create files in `directory`, as far as the system says before trying.
bool CanCreateFilesIn(const std::filesystem::path& directory);

// What to do about a missing alerting directory `directory`: made as the package makes it when
// the group exists, else owned by the product's user.
std::string AlertDirectoryCreateAdvice(const std::filesystem::path& directory);

}  // namespace kx::tool
