// siblings.cpp: the live entries of the six sibling operations and the calls through them.
//
// Every call goes through the entry the binder resolved; while the owning library is unbound
// the call reports failure the way the operation itself would, and touches nothing.
#include "runtime/siblings.h"

#include "runtime/state.h"

namespace kx {

SiblingEntries& Siblings() {
    static SiblingEntries entries;
    return entries;
}

std::uint32_t KrnlFileCreate(const char* path) {
    const auto fn = Siblings().FileCreate;
    return fn ? fn(path) : kKrnlInvalidFile;
}

std::uint32_t KrnlFileWrite(std::uint32_t file, const void* data, std::uint32_t count) {
    const auto fn = Siblings().FileWrite;
    return fn ? fn(file, data, count) : 0;
}

void KrnlFileClose(std::uint32_t file) {
    if (const auto fn = Siblings().FileClose) fn(file);
}

void KrnlFileDelete(const char* path) {
    if (const auto fn = Siblings().FileDelete) fn(path);
}

std::uint32_t KrnlCpuGetSerialNumber(std::uint32_t* first, std::uint32_t* second,
                                     std::uint32_t* third) {
    const auto fn = Siblings().CpuGetSerialNumber;
    return fn ? fn(first, second, third) : 0;
}

void UtilAddMessageToEventLog(const char* source, const char* label, std::uint32_t kind,
                              std::uint32_t number, const char* text) {
    if (const auto fn = Siblings().AddMessageToEventLog) fn(0, source, label, kind, number, text);
}

void Trace(const char* label, std::uint32_t number, const char* text) {
    if (DiagnosticsEnabled) UtilAddMessageToEventLog(nullptr, label, 2, number, text);
}

}  // namespace kx
