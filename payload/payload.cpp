// The facts of payload.h that are data rather than declarations, and the
// rule that links a continuation record to the file it continues.
#include "payload/payload.h"

#include <string.h>

const Subfolder SUBFOLDERS[SUBFOLDER_COUNT] = {{".jvs", "Style"}, {".lng", "lang"}};

/* Whether the name field is empty and carries the mark. */
static int IsMarked(const uint8_t* name) {
    return name[0] == 0 &&
           memcmp(name + CONTINUATION_MARK_AT, CONTINUATION_MARK, CONTINUATION_MARK_SIZE) == 0;
}

/* The place is read as it is stored, byte by byte, so the rule does not
   depend on the reader's byte order. */
uint32_t ContinuationPlace(const PayloadEntry* record) {
    const uint8_t* name = (const uint8_t*)record->name;
    if (!IsMarked(name)) {
        return 0;
    }
    const uint8_t* place = name + CONTINUATION_PLACE_AT;
    return (uint32_t)place[0] | (uint32_t)place[1] << 8 | (uint32_t)place[2] << 16 |
           (uint32_t)place[3] << 24;
}

/* A record that does not carry the mark is a file's first record, whatever
   its name: the name rule refuses an empty one. A marked record must sit
   right after a full record of its file, one place further on, and bring
   chunks of its own. The place after the previous one is counted in 64
   bits, so that no place wraps round to the 0 of a first record. */
enum RecordLink RecordLinkOf(const PayloadEntry* previous, const PayloadEntry* record) {
    const uint8_t* name = (const uint8_t*)record->name;
    if (!IsMarked(name)) {
        return LINK_FIRST;
    }
    for (size_t b = CONTINUATION_PLACE_AT + 4; b < PAYLOAD_NAME_SIZE; b++) {
        if (name[b] != 0) {
            return LINK_STRAY_BYTES;
        }
    }
    if (previous == NULL) {
        return LINK_AFTER_STUB;
    }
    if (previous->chunk_count != PAYLOAD_MAX_CHUNKS) {
        return LINK_AFTER_PARTIAL;
    }
    if (ContinuationPlace(record) != (uint64_t)ContinuationPlace(previous) + 1) {
        return LINK_OUT_OF_PLACE;
    }
    if (record->chunk_count < 1 || record->chunk_count > PAYLOAD_MAX_CHUNKS) {
        return LINK_NO_CHUNKS;
    }
    return LINK_CONTINUES;
}

/* The name field of a continuation, nothing else touched. */
void MarkContinuation(PayloadEntry* record, uint32_t place) {
    uint8_t* name = (uint8_t*)record->name;
    memset(name, 0, PAYLOAD_NAME_SIZE);
    memcpy(name + CONTINUATION_MARK_AT, CONTINUATION_MARK, CONTINUATION_MARK_SIZE);
    for (int b = 0; b < 4; b++) {
        name[CONTINUATION_PLACE_AT + b] = (uint8_t)(place >> (8 * b));
    }
}
