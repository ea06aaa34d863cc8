// expand_fuzz.cpp: expands any text against a variable table built from records whose bytes
// come from the input, fields without terminators included.
//
// Input: flags, output size (2 bytes), fill byte, text length (2 bytes), text, record bytes.
// Both records are first filled with the fill byte (so that most fields carry no terminator),
// then overwritten with the record bytes, message record first. Flag bit 0 expands the record's
// own long description instead of the text; bits 1 to 4 give the product number.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "catalogue/variables.h"
#include "fuzz/fuzz_input.h"
#include "platform/platform.h"

namespace {

int FixedProductName(kx::plat::Module, unsigned, char* buffer, int size) {
    constexpr char kName[] = "Fuzzed Product";
    if (size <= 0) return 0;
    const int length = std::min(static_cast<int>(sizeof kName) - 1, size - 1);
    std::memcpy(buffer, kName, static_cast<std::size_t>(length));
    buffer[length] = '\0';
    return length;
}

using kx::fuzz::Input;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kx::plat::Hooks().LoadStringA = &FixedProductName;
    Input input(data, size);
    const std::uint8_t flags = input.Byte();
    const int outSize = input.Byte() | (input.Byte() << 8);
    const std::uint8_t fill = input.Byte();
    const std::size_t textLength = input.Byte() | (input.Byte() << 8);
    const std::uint8_t* textBytes = nullptr;
    const std::size_t textTaken = input.Take(textLength, &textBytes);
    // The text ends at its first zero byte, as a C text does.
    const std::string source(reinterpret_cast<const char*>(textBytes), textTaken);

    // Records in blocks of their exact size, so that a read past either one is caught.
    auto message = std::make_unique<MessageRecord>();
    auto detail = std::make_unique<DetailRecord>();
    ContextRecord context{};
    input.FillRecord(message.get(), sizeof(MessageRecord), fill);
    input.FillRecord(detail.get(), sizeof(DetailRecord), fill);

    const std::uint32_t product = (flags >> 1) & 0x0F;
    kx::VariableTable* table = kx::BuildVariableTable(
        product, static_cast<std::int32_t>(flags) - 128, message.get(), detail.get(), &context);
    if (table == nullptr) abort();

    auto out = std::make_unique<char[]>(static_cast<std::size_t>(outSize) + 1);
    const char* expanded = (flags & 1) ? message->szLongDescript : source.c_str();
    const int done = kx::ExpandVariables(expanded, table, out.get(), outSize);
    // The result is always terminated inside the output buffer and below the result's size.
    if (done == 1) {
        const std::size_t length = strnlen(out.get(), static_cast<std::size_t>(outSize));
        if (length >= static_cast<std::size_t>(outSize) || length >= 2048) abort();
    }
    if (done != 0 && done != 1) abort();
    kx::FreeVariableTable(table);
    return 0;
}
