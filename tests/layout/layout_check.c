/* Compiles the public header as C99: its layout checks then run in a C compiler too. */
#include "kxevent/kxevent.h"

size_t kx_c_message_size(void) {
    return sizeof(MessageRecord);
}
size_t kx_c_detail_size(void) {
    return sizeof(DetailRecord);
}
size_t kx_c_context_size(void) {
    return sizeof(ContextRecord);
}
size_t kx_c_notes_db_offset(void) {
    return offsetof(DetailRecord, szNotesDBName);
}
