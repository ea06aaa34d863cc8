// siblings.h: the six operations of the kernel and utility libraries that this library calls.
//
// The binder resolves them when it binds the libraries and clears them when it releases them;
// every call goes through the entry resolved there. A call whose library is not bound fails
// the way the operation reports failure, and touches nothing.
#pragma once

#include <cstdint>

#include "kxevent/kxevent.h"

namespace kx {

using KrnlFileCreateFn = std::uint32_t(KX_API*)(const char* path);
using KrnlFileWriteFn = std::uint32_t(KX_API*)(std::uint32_t file, const void* data,
                                               std::uint32_t count);
using KrnlFileCloseFn = std::uint32_t(KX_API*)(std::uint32_t file);
using KrnlFileDeleteFn = std::uint32_t(KX_API*)(const char* path);
using KrnlCpuGetSerialNumberFn = std::uint32_t(KX_API*)(std::uint32_t* first, std::uint32_t* second,
                                                        std::uint32_t* third);
using UtilAddMessageToEventLogFn = std::uint32_t(KX_API*)(std::uint32_t zero, const char* source,
                                                          const char* label, std::uint32_t kind,
                                                          std::uint32_t number, const char* text);

inline constexpr std::uint32_t kKrnlInvalidFile = 0xFFFFFFFFu;

struct SiblingEntries {
    KrnlFileCreateFn FileCreate = nullptr;
    KrnlFileWriteFn FileWrite = nullptr;
    KrnlFileCloseFn FileClose = nullptr;
    KrnlFileDeleteFn FileDelete = nullptr;
    KrnlCpuGetSerialNumberFn CpuGetSerialNumber = nullptr;
    UtilAddMessageToEventLogFn AddMessageToEventLog = nullptr;
};

// The live entries: written by the binder; tests may put doubles in.
SiblingEntries& Siblings();

// Calls through the entries. Unbound: FileCreate gives kKrnlInvalidFile, FileWrite 0,
// CpuGetSerialNumber status 0 (no serial); the others do nothing.
std::uint32_t KrnlFileCreate(const char* path);
std::uint32_t KrnlFileWrite(std::uint32_t file, const void* data, std::uint32_t count);
// The results of the close and the delete are not used: the family's kernel libraries differ in
// what they return (0 after a good close, for some). Whether the data reached the disk is for
// the caller to find out by its own means.
void KrnlFileClose(std::uint32_t file);
void KrnlFileDelete(const char* path);
std::uint32_t KrnlCpuGetSerialNumber(std::uint32_t* first, std::uint32_t* second,
                                     std::uint32_t* third);
void UtilAddMessageToEventLog(const char* source, const char* label, std::uint32_t kind,
                              std::uint32_t number, const char* text);

// A diagnostic trace: kind 2, no source; recorded only while DiagnosticsEnabled is on.
void Trace(const char* label, std::uint32_t number, const char* text);

}  // namespace kx
