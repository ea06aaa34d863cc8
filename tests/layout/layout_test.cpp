// The records as a C compiler and a C++ compiler lay them out must be the same bytes.
#include <gtest/gtest.h>

#include "kxevent/kxevent.h"

extern "C" {
size_t kx_c_message_size(void);
size_t kx_c_detail_size(void);
size_t kx_c_context_size(void);
size_t kx_c_notes_db_offset(void);
}

TEST(RecordLayout, CAndCppAgreeOnSizes) {
    EXPECT_EQ(kx_c_message_size(), sizeof(MessageRecord));
    EXPECT_EQ(kx_c_detail_size(), sizeof(DetailRecord));
    EXPECT_EQ(kx_c_context_size(), sizeof(ContextRecord));
    EXPECT_EQ(kx_c_notes_db_offset(), offsetof(DetailRecord, szNotesDBName));
}

TEST(RecordLayout, OddWidthFieldsLeaveNoGap) {
    // The two 258-byte notes fields are followed directly by the next field.
    EXPECT_EQ(offsetof(DetailRecord, szNotesDBName),
              offsetof(DetailRecord, szNotesServerName) + 258);
    EXPECT_EQ(offsetof(DetailRecord, szDomain), offsetof(DetailRecord, szNotesDBName) + 258);
    EXPECT_EQ(sizeof(DetailRecord), offsetof(DetailRecord, szDomain) + 256);
}
