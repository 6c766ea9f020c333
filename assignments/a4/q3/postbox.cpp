// The fixed message queue. Slots are kept NUL-padded to their full size, so moving the queue
// forward after a dequeue is one block move of whole slots rather than one string copy each.

#include "postbox.h"

#include "verbsplit.h"

#include <cstring>

// A slot must hold any line the parser accepts; the two sizes are one fact.
static_assert(int{POSTBOX_SLOT_SIZE} == int{VERBSPLIT_LINE_MAX} + 1);
static_assert(int{POSTBOX_MESSAGE_MAX} == int{VERBSPLIT_LINE_MAX});

namespace {

// strncpy into a slot-sized buffer, cut one byte short so that the last byte is always NUL. The
// source may overlap the destination (a caller may enqueue a message straight from a slot).
void copyIntoSlot(char *dst, const char *src) {
    const size_t n = strnlen(src, POSTBOX_MESSAGE_MAX);
    std::memmove(dst, src, n);
    std::memset(dst + n, 0, POSTBOX_SLOT_SIZE - n);
}

} // namespace

extern "C" {

void initQueue(MessageQueue *queue) {
    queue->len = 0;
    queue->capacity = POSTBOX_SLOTS;
}

int enqueue(MessageQueue *queue, const char *message) {
    // A capacity above the slot count, or a negative len, can only come from a record that was
    // never initialised or was damaged; writing there would land outside the slots.
    if (queue->len < 0 || queue->len >= queue->capacity || queue->len >= POSTBOX_SLOTS) {
        return 0;
    }
    copyIntoSlot(queue->message[queue->len], message);
    queue->len++;
    return 1;
}

int dequeue(MessageQueue *queue, char *message) {
    if (queue->len <= 0 || queue->len > POSTBOX_SLOTS) {
        return 0;
    }
    copyIntoSlot(message, queue->message[0]);
    queue->len--;
    std::memmove(queue->message[0], queue->message[1],
                 static_cast<size_t>(queue->len) * POSTBOX_SLOT_SIZE);
    return 1;
}

} // extern "C"
