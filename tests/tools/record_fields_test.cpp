// record_fields_test.cpp: the field table used to fill and read records by name.
#include "common/record_fields.h"

#include <gtest/gtest.h>

namespace kx::fields {
namespace {

TEST(RecordFields, FieldsFollowOneAnotherWithoutGapsAndFillEachRecord) {
    std::size_t messageEnd = 0, detailEnd = 0;
    for (const FieldInfo& field : kRecordFields) {
        std::size_t& end = field.record == Record::Message ? messageEnd : detailEnd;
        EXPECT_EQ(field.offset, end) << field.name;
        end = field.offset + field.width;
    }
    EXPECT_EQ(messageEnd, sizeof(MessageRecord));
    EXPECT_EQ(detailEnd, sizeof(DetailRecord));
}

TEST(RecordFields, NumbersAreFourBytesWide) {
    for (const FieldInfo& field : kRecordFields) {
        if (field.kind == Kind::Number) {
            EXPECT_EQ(field.width, 4u) << field.name;
        }
    }
}

TEST(RecordFields, NamesAreFoundInAnyCaseAndReservedFieldsNever) {
    ASSERT_NE(FindField("sztargetip"), nullptr);
    EXPECT_EQ(FindField("sztargetip")->offset, offsetof(MessageRecord, szTargetIP));
    EXPECT_EQ(FindField("uNumVirs")->record, Record::Detail);
    EXPECT_EQ(FindField("dwReserved0"), nullptr);
    EXPECT_EQ(FindField("abReserved"), nullptr);
    EXPECT_EQ(FindField("szTargetIPX"), nullptr);
}

TEST(RecordFields, TextValueStopsAtTheFieldEndWithoutTerminator) {
    MessageRecord message{};
    DetailRecord detail{};
    std::memset(detail.szNoteID, 'N', sizeof detail.szNoteID);
    detail.szNotesServerName[0] = 'S';
    EXPECT_EQ(TextValue(*FindField("szNoteID"), message, detail), std::string(16, 'N'));
}

}  // namespace
}  // namespace kx::fields
