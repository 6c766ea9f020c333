/* postbox: a first-in, first-out queue of chat messages in fixed storage inside the record, so a
 * queue can be embedded anywhere and never allocates. */
#ifndef POSTBOX_H
#define POSTBOX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A slot holds the longest line the chat parser accepts (1162 bytes) and its NUL. */
enum {
    POSTBOX_SLOTS = 20,
    POSTBOX_SLOT_SIZE = 1163,
    POSTBOX_MESSAGE_MAX = POSTBOX_SLOT_SIZE - 1 /* longer messages are cut to this many bytes */
};

/* Slots 0 to len - 1 hold the queued messages, oldest in slot 0, each NUL-padded to the full slot
 * so that its last byte is always NUL. The caller owns the record. */
typedef struct MessageQueue {
    char message[POSTBOX_SLOTS][POSTBOX_SLOT_SIZE];
    int32_t len;      /* queued messages, 0 to capacity */
    int32_t capacity; /* limit on len; initQueue sets it to POSTBOX_SLOTS */
} MessageQueue;

/* Empties queue: len 0, capacity POSTBOX_SLOTS; slot contents are left alone. Cannot fail. */
void initQueue(MessageQueue *queue);

/* Copies the NUL-terminated message into the next free slot, cut to its first
 * POSTBOX_MESSAGE_MAX bytes and NUL-padded, and returns 1. Returns 0 and changes nothing when the
 * queue is full (len at capacity or at POSTBOX_SLOTS) or len is negative. The caller keeps
 * ownership of message; it may even be one of the queue's own slots. */
int enqueue(MessageQueue *queue, const char *message);

/* Removes the oldest message into the caller's buffer of at least POSTBOX_SLOT_SIZE bytes, writing
 * all POSTBOX_SLOT_SIZE of them (the message, then NULs), moves the others forward one slot and
 * returns 1. Returns 0 and changes nothing, the buffer included, when the queue is empty or len is
 * above POSTBOX_SLOTS. */
int dequeue(MessageQueue *queue, char *message);

#ifdef __cplusplus
}
#endif

#endif
