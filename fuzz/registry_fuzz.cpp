// registry_fuzz.cpp: any bytes as a registry file. The text is parsed, written back and parsed
// again (which must give the same document), then served as HKEY_LOCAL_MACHINE by the Linux
// registry: every key is opened and every value enumerated and queried with buffers from too
// small to large enough.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/registry_files.h"
#include "platform/platform.h"
#include "platform/regfile.h"

namespace {

namespace plat = kx::plat;

bool SameDocument(const kx::reg::Document& a, const kx::reg::Document& b) {
    if (a.keys.size() != b.keys.size()) return false;
    for (std::size_t k = 0; k < a.keys.size(); ++k) {
        const auto& x = a.keys[k];
        const auto& y = b.keys[k];
        if (x.path != y.path || x.values.size() != y.values.size()) return false;
        for (std::size_t v = 0; v < x.values.size(); ++v) {
            if (x.values[v].name != y.values[v].name || x.values[v].type != y.values[v].type ||
                x.values[v].data != y.values[v].data) {
                return false;
            }
        }
    }
    return true;
}

// Buffers of exactly the asked size on the heap, so that a write past them is caught.
void QueryEveryWay(plat::HKey key, const kx::reg::Value& value) {
    const plat::Dword size = static_cast<plat::Dword>(value.data.size());
    for (plat::Dword room : {plat::Dword{0}, size / 2, size, size + 1}) {
        std::vector<std::uint8_t> buffer(room);
        plat::Dword got = room;
        plat::Dword type = 0;
        const plat::Status status = plat::RegQueryValueExA(key, value.name.c_str(), &type,
                                                           room ? buffer.data() : nullptr, &got);
        if (value.name.find('\0') != std::string::npos) continue;  // looked up by its C text
        if (status == plat::kErrorSuccess && room >= size && got != size) std::abort();
        if (status == plat::kErrorMoreData && room >= size) std::abort();
    }
}

void EnumerateEveryWay(plat::HKey key, std::size_t count) {
    for (plat::Dword index = 0; index <= count; ++index) {
        for (plat::Dword nameRoom : {plat::Dword{1}, plat::Dword{16}, plat::Dword{260}}) {
            for (plat::Dword dataRoom : {plat::Dword{0}, plat::Dword{4}, plat::Dword{260}}) {
                std::vector<char> name(nameRoom);
                std::vector<std::uint8_t> data(dataRoom);
                plat::Dword nameChars = nameRoom, dataSize = dataRoom, type = 0;
                const plat::Status status =
                    plat::RegEnumValueA(key, index, name.data(), &nameChars, &type,
                                        dataRoom ? data.data() : nullptr, &dataSize);
                if (index == count && status != plat::kErrorNoMoreItems) std::abort();
                if (status == plat::kErrorSuccess && nameChars >= nameRoom) std::abort();
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<kx::reg::ParseIssue> issues;
    const kx::reg::Document document = kx::reg::Parse(text, &issues);
    if (!SameDocument(document, kx::reg::Parse(kx::reg::Serialize(document)))) std::abort();

    static kx::fuzz::RegistryFiles files("kx-registry-fuzz");
    files.Serve(text);
    for (const kx::reg::Key& stored : document.keys) {
        // The first key of that name (without regard to case) is the one served; a name with a
        // zero byte cannot be asked for.
        const kx::reg::Key* first = kx::reg::FindKey(document, stored.path);
        if (first == nullptr || stored.path.find('\0') != std::string::npos) continue;
        plat::HKey key = nullptr;
        if (plat::RegOpenKeyExA(stored.path.c_str(), &key) != plat::kErrorSuccess) std::abort();
        for (const kx::reg::Value& value : first->values) {
            // A name given twice (without regard to case) answers with its first value.
            QueryEveryWay(key, *kx::reg::FindValue(*first, value.name));
        }
        EnumerateEveryWay(key, first->values.size());
        plat::RegCloseKey(key);
    }
    return 0;
}
