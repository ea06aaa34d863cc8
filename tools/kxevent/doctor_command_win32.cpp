// doctor_command_win32.cpp: the facts doctor reports on Windows, where the system's access
// control decides who may write; its lists are not shown here.
#include "tools/kxevent/doctor_command.h"

namespace kx::tool::doctor {

namespace fs = std::filesystem;

std::string OwnerAndMode(const std::string&) {
    return "access by the system's access control";
}

bool WritableByUs(const std::string&, bool) {
    return true;
}

std::string ThisUser() {
    return "this user";
}

bool SharedWithCollector(const std::string&) {
    return false;
}

UnreadableAlerts UnreadableByCollector(const std::vector<fs::path>&) {
    return {};
}

SystemLog TheSystemLog() {
    return {.name = "the system event log",
            .problem = std::nullopt,
            .todo = "start the event log service"};
}

}  // namespace kx::tool::doctor
