// product_name_test.cpp: the product display name put into szSoftwareName.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <set>
#include <string>

#include "catalogue/definitions.h"
#include "catalogue/product_names.h"
#include "catalogue_fixture.h"

namespace kx::test {
namespace {

const char* gString142 = nullptr;
int gLastSize = 0;
plat::Module gLastModule = nullptr;

int FakeLoadString(plat::Module module, unsigned id, char* buffer, int size) {
    gLastSize = size;
    gLastModule = module;
    if (id != 142 || gString142 == nullptr || size <= 0) return 0;
    const int length = std::min(static_cast<int>(std::strlen(gString142)), size - 1);
    std::memcpy(buffer, gString142, static_cast<std::size_t>(length));
    buffer[length] = '\0';
    return length;
}

class ProductNameTest : public CatalogueTest {
  protected:
    void SetUp() override {
        CatalogueTest::SetUp();
        gString142 = nullptr;
        gLastSize = 0;
        gLastModule = nullptr;
        loadString_.emplace(&FakeLoadString);
    }
    std::optional<plat::testing::ScopedHook<&plat::HookTable::LoadStringA>> loadString_;
    MessageRecord message_{};
};

TEST_F(ProductNameTest, EveryNameIsDistinctAndFitsTheField) {
    std::set<std::string_view> names;
    for (std::uint32_t id = 1; id < ProductNameTable.count; ++id) {
        const std::string_view name = ProductNameTable.slots[id];
        EXPECT_FALSE(name.empty());
        EXPECT_LT(name.size(), sizeof message_.szSoftwareName);
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 14u);
    EXPECT_EQ(ProductNameTable.count, 15u);
}

TEST_F(ProductNameTest, ProductInTheTableReplacesTheCallersName) {
    std::strcpy(message_.szSoftwareName, "caller's name");
    EXPECT_EQ(GetProductName(3, message_.szSoftwareName), 1);
    EXPECT_EQ(FieldText(message_.szSoftwareName), ProductNameTable.slots[3]);
}

TEST_F(ProductNameTest, LastSlotIsHandedOut) {
    EXPECT_EQ(GetProductName(14, message_.szSoftwareName), 1);
    EXPECT_EQ(FieldText(message_.szSoftwareName), ProductNameTable.slots[14]);
}

TEST_F(ProductNameTest, ProductZeroKeepsTheCallersName) {
    gString142 = "Generic Product";
    std::strcpy(message_.szSoftwareName, "caller's name");
    EXPECT_EQ(GetProductName(0, message_.szSoftwareName), 1);
    EXPECT_STREQ(message_.szSoftwareName, "caller's name");
}

TEST_F(ProductNameTest, ProductOutOfRangeWithEmptyNameTakesString142) {
    gString142 = "Generic Product";
    const plat::Module previous = ResourceModule;
    ResourceModule = reinterpret_cast<plat::Module>(0x1234);
    EXPECT_EQ(GetProductName(15, message_.szSoftwareName), 1);
    EXPECT_STREQ(message_.szSoftwareName, "Generic Product");
    EXPECT_EQ(gLastModule, ResourceModule);
    ResourceModule = previous;
}

TEST_F(ProductNameTest, String142IsCutToFifteenCharacters) {
    gString142 = "A Very Long Generic Product Name";
    EXPECT_EQ(GetProductName(0xFFFFFFFFu, message_.szSoftwareName), 1);
    EXPECT_EQ(gLastSize, 16);
    EXPECT_STREQ(message_.szSoftwareName, "A Very Long Gen");
}

TEST_F(ProductNameTest, WithoutString142ProductZeroFailsWithAnEmptyName) {
    EXPECT_EQ(GetProductName(0, message_.szSoftwareName), 0);
    EXPECT_STREQ(message_.szSoftwareName, "");
}

TEST_F(ProductNameTest, WithoutNameFieldFails) {
    gString142 = "Generic Product";
    EXPECT_EQ(GetProductName(3, nullptr), 0);
}

}  // namespace
}  // namespace kx::test
