// sibling_doubles.h: the kernel library's file operations done directly on the platform's files,
// for tests that run the delivery stages without loading the sibling libraries.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "runtime/siblings.h"

namespace kx::test {

namespace file_doubles {

inline std::uint32_t KX_API Create(const char* path) {
    const std::intptr_t file = plat::FileCreate(path);
    return file == plat::kInvalidFile ? kKrnlInvalidFile : static_cast<std::uint32_t>(file);
}

inline std::uint32_t KX_API Write(std::uint32_t file, const void* data, std::uint32_t count) {
    return plat::FileWrite(static_cast<std::intptr_t>(file), data, count);
}

inline std::uint32_t KX_API Close(std::uint32_t file) {
    return plat::FileClose(static_cast<std::intptr_t>(file)) ? 1 : 0;
}

inline std::uint32_t KX_API Delete(const char* path) {
    return plat::FileDelete(path) ? 1 : 0;
}

}  // namespace file_doubles

// Binds the kernel library's create, write, close and delete entries to the doubles above;
// whoever calls it puts `Siblings()` back afterwards.
inline void InstallFileDoubles() {
    SiblingEntries& siblings = Siblings();
    siblings.FileCreate = file_doubles::Create;
    siblings.FileWrite = file_doubles::Write;
    siblings.FileClose = file_doubles::Close;
    siblings.FileDelete = file_doubles::Delete;
}

}  // namespace kx::test
