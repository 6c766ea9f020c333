/* A C11 caller of the installed message queue: queues lines in a record of its own and takes
 * them out in order. */
#include <postbox.h>

#include <stdio.h>
#include <string.h>

static int failures;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "wrong: %s\n", what);
        failures++;
    }
}

static MessageQueue queue; /* over 23 kB: static storage rather than the stack */

int main(void) {
    char out[POSTBOX_SLOT_SIZE];
    char name[16];
    int i;

    initQueue(&queue);
    check(queue.len == 0 && queue.capacity == POSTBOX_SLOTS, "fresh queue");
    check(dequeue(&queue, out) == 0, "empty queue gives nothing");
    for (i = 0; i < POSTBOX_SLOTS; i++) {
        snprintf(name, sizeof name, "line %d", i);
        check(enqueue(&queue, name) == 1, "enqueue into free slot");
    }
    check(enqueue(&queue, "overflow") == 0, "full queue refuses");
    for (i = 0; i < POSTBOX_SLOTS; i++) {
        snprintf(name, sizeof name, "line %d", i);
        memset(out, 'x', sizeof out);
        check(dequeue(&queue, out) == 1, "dequeue");
        check(strcmp(out, name) == 0, "first in, first out");
        check(out[POSTBOX_SLOT_SIZE - 1] == '\0', "buffer padded to the slot's end");
    }
    check(queue.len == 0, "drained");
    return failures == 0 ? 0 : 1;
}
