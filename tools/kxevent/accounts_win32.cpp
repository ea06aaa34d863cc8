// accounts_win32.cpp: on Windows the system's access control decides who may write; accounts
// are not looked up here.
#include "tools/kxevent/accounts.h"

namespace kx::tool {

std::string UserName(std::uint32_t uid) {
    return std::to_string(uid);
}

std::string GroupName(std::uint32_t gid) {
    return std::to_string(gid);
}

std::string ThisUserName() {
    return "this user";
}

bool CollectorGroupExists() {
    return false;
}

std::string AlertDirectoryWriteAdvice(const std::filesystem::path&) {
    return "let the account running the product write it (its access control list)";
}

std::string AlertDirectoryCreateAdvice(const std::filesystem::path&) {
    return "create it, writable by the account running the product";
}

// Whether the access list lets this account in is the system's to say when the file is made.
bool CanCreateFilesIn(const std::filesystem::path&) {
    return true;
}

}  // namespace kx::tool
