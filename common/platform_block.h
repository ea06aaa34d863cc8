// platform_block.h: ownership of blocks from the platform allocator, and heap copies of texts.
#pragma once

#include <cstring>
#include <memory>
#include <string_view>

#include "platform/platform.h"

namespace kx {

struct PlatformRelease {
    void operator()(void* block) const { plat::Release(block); }
};

// A zero-terminated heap copy of a text, or absent when memory was short.
class HeapText {
  public:
    HeapText() = default;
    explicit HeapText(std::string_view text) {
        if (void* block = plat::Allocate(text.size() + 1)) {
            char* copy = static_cast<char*>(block);
            text.copy(copy, text.size());
            copy[text.size()] = '\0';
            text_.reset(copy);
        }
    }
    explicit operator bool() const { return text_ != nullptr; }
    const char* get() const { return text_.get(); }
    std::string_view view() const { return text_ ? std::string_view(text_.get()) : ""; }
    void reset() { text_.reset(); }

  private:
    std::unique_ptr<char[], PlatformRelease> text_;
};

}  // namespace kx
