// record_fields.h: every field of the MessageRecord and the DetailRecord by name, with its
// offset, width and kind, so that tools and forwarding modules can read and fill the records
// generically and always within each field's bounds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/names.h"
#include "common/text.h"
#include "kxevent/kxevent.h"

namespace kx::fields {

enum class Record { Message, Detail };
enum class Kind { Text, Number, Reserved };

struct FieldInfo {
    std::string_view name;
    Record record;
    std::size_t offset;
    std::size_t width;
    Kind kind;
};

#define KX_FIELD(rec, field, kind)                                                          \
    FieldInfo {                                                                             \
#field, Record::rec, offsetof(rec##Record, field), sizeof(rec##Record::field), kind \
    }
#define KX_TEXT(rec, field) KX_FIELD(rec, field, Kind::Text)
#define KX_NUMBER(rec, field) KX_FIELD(rec, field, Kind::Number)
#define KX_RESERVED(rec, field) KX_FIELD(rec, field, Kind::Reserved)

// In record order: the MessageRecord's 18 fields, then the DetailRecord's 35.
inline constexpr std::array<FieldInfo, 53> kRecordFields = {
    KX_RESERVED(Message, dwReserved0),
    KX_TEXT(Message, szSoftwareName),
    KX_TEXT(Message, szSoftwareVersion),
    KX_TEXT(Message, szTaskID),
    KX_TEXT(Message, szGMTTime),
    KX_TEXT(Message, szLocalTime),
    KX_TEXT(Message, szLongDescript),
    KX_TEXT(Message, szResolution),
    KX_NUMBER(Message, uSeverity),
    KX_TEXT(Message, szShortDescript),
    KX_TEXT(Message, szComputerName),
    KX_TEXT(Message, szSourceIP),
    KX_TEXT(Message, szSourceMAC),
    KX_TEXT(Message, szSourceSeg),
    KX_TEXT(Message, szTargetComputerName),
    KX_TEXT(Message, szTargetIP),
    KX_TEXT(Message, szTargetMAC),
    KX_TEXT(Message, szURL),
    KX_RESERVED(Detail, dwReserved0),
    KX_NUMBER(Detail, uTrapID),
    KX_TEXT(Detail, szEngineVersion),
    KX_TEXT(Detail, szDatVersion),
    KX_NUMBER(Detail, uEngineStatus),
    KX_TEXT(Detail, szVirusName),
    KX_TEXT(Detail, szVirusType),
    KX_TEXT(Detail, szFileName),
    KX_TEXT(Detail, szUserName),
    KX_TEXT(Detail, szOS),
    KX_TEXT(Detail, szProcessorSerial),
    KX_TEXT(Detail, szTaskName),
    KX_NUMBER(Detail, uNumVirs),
    KX_NUMBER(Detail, uNumCleaned),
    KX_NUMBER(Detail, uNumDeleted),
    KX_NUMBER(Detail, uNumQuarantined),
    KX_NUMBER(Detail, uScanReturnCode),
    KX_RESERVED(Detail, abReserved),
    KX_TEXT(Detail, szOBRuleName),
    KX_TEXT(Detail, szLanguageCode),
    KX_TEXT(Detail, szClientComputer),
    KX_NUMBER(Detail, dwTSClientID),
    KX_TEXT(Detail, szAccessProcessName),
    KX_TEXT(Detail, szEventName),
    KX_TEXT(Detail, szInfo),
    KX_NUMBER(Detail, bAlwaysAlert),
    KX_TEXT(Detail, szMailFromName),
    KX_TEXT(Detail, szMailToName),
    KX_TEXT(Detail, szMailCCName),
    KX_TEXT(Detail, szMailSubjectLine),
    KX_TEXT(Detail, szMailIdentifierInfo),
    KX_TEXT(Detail, szNoteID),
    KX_TEXT(Detail, szNotesServerName),
    KX_TEXT(Detail, szNotesDBName),
    KX_TEXT(Detail, szDomain),
};

#undef KX_FIELD
#undef KX_TEXT
#undef KX_NUMBER
#undef KX_RESERVED

// The field called `name` (any case); reserved fields are not found, since nobody may set them.
constexpr const FieldInfo* FindField(std::string_view name) {
    for (const FieldInfo& field : kRecordFields) {
        if (field.kind != Kind::Reserved && SameNameIgnoringCase(field.name, name)) return &field;
    }
    return nullptr;
}

// The bytes of a field inside its record.
inline const char* FieldBytes(const FieldInfo& field, const MessageRecord& message,
                              const DetailRecord& detail) {
    const char* base = field.record == Record::Message ? reinterpret_cast<const char*>(&message)
                                                       : reinterpret_cast<const char*>(&detail);
    return base + field.offset;
}
inline char* FieldBytes(const FieldInfo& field, MessageRecord& message, DetailRecord& detail) {
    char* base = field.record == Record::Message ? reinterpret_cast<char*>(&message)
                                                 : reinterpret_cast<char*>(&detail);
    return base + field.offset;
}

// A text field's content up to its terminator, never past its width.
inline std::string_view TextValue(const FieldInfo& field, const MessageRecord& message,
                                  const DetailRecord& detail) {
    return BoundedText({FieldBytes(field, message, detail), field.width});
}

inline std::uint32_t NumberValue(const FieldInfo& field, const MessageRecord& message,
                                 const DetailRecord& detail) {
    std::uint32_t value = 0;
    std::memcpy(&value, FieldBytes(field, message, detail), sizeof value);
    return value;
}

}  // namespace kx::fields
