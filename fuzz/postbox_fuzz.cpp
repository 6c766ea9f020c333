// Runs arbitrary sequences of queue operations against a plain model (a deque of strings cut to
// the slot's line length) and compares every result, every dequeued buffer byte for byte, and
// the whole stored state after each step.

#include "postbox.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

namespace {

void require(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Whether a slot-sized area holds message and then only NULs. Compared in place: the whole queue
// is checked after every step, and copies would cost more than the queue itself.
const char zeros[POSTBOX_SLOT_SIZE] = {};

bool holds(const char *slot, const std::string &message) {
    return message.size() < POSTBOX_SLOT_SIZE &&
           std::memcmp(slot, message.data(), message.size()) == 0 &&
           std::memcmp(slot + message.size(), zeros, POSTBOX_SLOT_SIZE - message.size()) == 0;
}

// Static: the record is too large to copy around per input, and stale slots from an earlier input
// are what a reused queue would hold anyway.
MessageQueue queue;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    initQueue(&queue);
    std::deque<std::string> model;

    while (in.remaining_bytes() > 0) {
        const auto op = in.ConsumeIntegralInRange<int>(0, 7);
        if (op <= 2) {
            // A message of random bytes; any NUL in it ends the string the queue sees.
            const auto length = in.ConsumeIntegralInRange<size_t>(0, POSTBOX_SLOT_SIZE + 100);
            const std::string raw = in.ConsumeBytesAsString(length);
            const std::string message(raw.c_str());
            const bool fits = model.size() < POSTBOX_SLOTS;
            require(enqueue(&queue, message.c_str()) == (fits ? 1 : 0), "enqueue result");
            if (fits) {
                model.push_back(message.substr(0, POSTBOX_MESSAGE_MAX));
            }
        } else if (op == 3) {
            // Re-queue straight from one of the queue's own slots, stale ones included.
            const auto slot = in.ConsumeIntegralInRange<int>(0, POSTBOX_SLOTS - 1);
            const std::string message(queue.message[slot],
                                      strnlen(queue.message[slot], POSTBOX_SLOT_SIZE));
            const bool fits = model.size() < POSTBOX_SLOTS;
            require(enqueue(&queue, queue.message[slot]) == (fits ? 1 : 0), "enqueue from a slot");
            if (fits) {
                model.push_back(message.substr(0, POSTBOX_MESSAGE_MAX));
            }
        } else if (op <= 6) {
            char buffer[POSTBOX_SLOT_SIZE + 8];
            std::memset(buffer, '#', sizeof buffer);
            const int result = dequeue(&queue, buffer);
            require(result == (model.empty() ? 0 : 1), "dequeue result");
            if (model.empty()) {
                require(std::all_of(buffer, buffer + POSTBOX_SLOT_SIZE,
                                    [](char c) { return c == '#'; }),
                        "empty dequeue writes nothing");
            } else {
                require(holds(buffer, model.front()), "dequeued message, padded");
                model.pop_front();
            }
            require(std::memcmp(buffer + POSTBOX_SLOT_SIZE, "########", 8) == 0,
                    "nothing written past the buffer's slot size");
        } else {
            initQueue(&queue);
            model.clear();
        }

        require(queue.len == static_cast<int32_t>(model.size()), "length");
        require(queue.capacity == POSTBOX_SLOTS, "capacity");
        for (size_t i = 0; i < model.size(); i++) {
            require(holds(queue.message[i], model[i]), "stored slot, padded");
        }
    }
    return 0;
}
