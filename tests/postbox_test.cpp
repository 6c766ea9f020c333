#include "postbox.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <deque>
#include <memory>
#include <string>

namespace {

static_assert(offsetof(MessageQueue, message) == 0);
static_assert(offsetof(MessageQueue, len) == sizeof(char[POSTBOX_SLOTS][POSTBOX_SLOT_SIZE]));
static_assert(offsetof(MessageQueue, capacity) == offsetof(MessageQueue, len) + 4);

// A queue record is over 23 kB; keep it off the test's stack, filled with junk so that nothing
// relies on zeroed storage.
std::unique_ptr<MessageQueue> freshQueue() {
    auto queue = std::make_unique<MessageQueue>();
    std::memset(queue.get(), 0x5a, sizeof(MessageQueue));
    initQueue(queue.get());
    return queue;
}

// Dequeues into a buffer one slot long plus a guard, and returns the whole slot-sized output
// (padding included) so that comparisons see every byte written. The guard must stay untouched.
struct Taken {
    int result;
    std::string bytes;
};

Taken take(MessageQueue *queue) {
    std::array<char, POSTBOX_SLOT_SIZE + 8> buffer{};
    buffer.fill('#');
    const int result = dequeue(queue, buffer.data());
    EXPECT_EQ(std::string(buffer.data() + POSTBOX_SLOT_SIZE, 8), std::string(8, '#'));
    return {result, std::string(buffer.data(), POSTBOX_SLOT_SIZE)};
}

// What dequeue must write for a message: its first 1162 bytes, then NULs to the slot's end.
std::string slotOf(const std::string &message) {
    std::string bytes = message.substr(0, POSTBOX_MESSAGE_MAX);
    bytes.resize(POSTBOX_SLOT_SIZE, '\0');
    return bytes;
}

bool sameRecord(const MessageQueue &a, const MessageQueue &b) {
    return std::memcmp(&a, &b, sizeof(MessageQueue)) == 0;
}

TEST(MessageQueue, FreshQueueIsEmptyAndDequeuesNothing) {
    auto queue = freshQueue();
    EXPECT_EQ(queue->len, 0);
    EXPECT_EQ(queue->capacity, POSTBOX_SLOTS);
    EXPECT_EQ(queue->message[POSTBOX_SLOTS - 1][POSTBOX_SLOT_SIZE - 1], 0x5a); // slots left alone
    const MessageQueue before = *queue;
    const Taken t = take(queue.get());
    EXPECT_EQ(t.result, 0);
    EXPECT_EQ(t.bytes, std::string(POSTBOX_SLOT_SIZE, '#'));
    EXPECT_TRUE(sameRecord(*queue, before));
}

TEST(MessageQueue, FullQueueRefusesTheNextMessageAndChangesNothing) {
    auto queue = freshQueue();
    for (int i = 0; i < POSTBOX_SLOTS; i++) {
        ASSERT_EQ(enqueue(queue.get(), ("m" + std::to_string(i)).c_str()), 1);
    }
    const MessageQueue before = *queue;
    EXPECT_EQ(enqueue(queue.get(), "one too many"), 0);
    EXPECT_TRUE(sameRecord(*queue, before));

    // Taking one out frees exactly one slot.
    EXPECT_EQ(take(queue.get()).bytes, slotOf("m0"));
    EXPECT_EQ(enqueue(queue.get(), "m20"), 1);
    EXPECT_EQ(enqueue(queue.get(), "m21"), 0);
    for (int i = 1; i <= POSTBOX_SLOTS; i++) {
        EXPECT_EQ(take(queue.get()).bytes, slotOf("m" + std::to_string(i)));
    }
    EXPECT_EQ(take(queue.get()).result, 0);
}

TEST(MessageQueue, MessagesComeOutInOrderAcrossInterleavedOperations) {
    auto queue = freshQueue();
    std::deque<std::string> model;
    int next = 0;
    // A fixed pattern that fills, drains and refills the queue with messages of varied lengths.
    const std::string pattern = "eeedeedddeeeeeeeeeeeeeeeeeeeeeddddddddddddddddddddddddeedeed";
    for (const char op : pattern) {
        if (op == 'e') {
            const std::string msg =
                std::to_string(next) + std::string(next * 37 % 1300, 'a' + next % 26);
            next++;
            const bool fits = model.size() < POSTBOX_SLOTS;
            EXPECT_EQ(enqueue(queue.get(), msg.c_str()), fits ? 1 : 0);
            if (fits) {
                model.push_back(msg);
            }
        } else {
            const Taken t = take(queue.get());
            EXPECT_EQ(t.result, model.empty() ? 0 : 1);
            if (!model.empty()) {
                EXPECT_EQ(t.bytes, slotOf(model.front()));
                model.pop_front();
            }
        }
        ASSERT_EQ(queue->len, static_cast<int32_t>(model.size()));
    }
}

TEST(MessageQueue, MessagesLongerThanALineAreCutTo1162Bytes) {
    auto queue = freshQueue();
    const std::string exact(POSTBOX_MESSAGE_MAX, 'x');
    const std::string over(POSTBOX_SLOT_SIZE, 'y');
    const std::string far(5000, 'z');
    ASSERT_EQ(enqueue(queue.get(), exact.c_str()), 1);
    ASSERT_EQ(enqueue(queue.get(), over.c_str()), 1);
    ASSERT_EQ(enqueue(queue.get(), far.c_str()), 1);
    EXPECT_EQ(queue->message[1][POSTBOX_SLOT_SIZE - 1], '\0');
    EXPECT_EQ(take(queue.get()).bytes, exact + '\0');
    EXPECT_EQ(take(queue.get()).bytes, std::string(POSTBOX_MESSAGE_MAX, 'y') + '\0');
    EXPECT_EQ(take(queue.get()).bytes, std::string(POSTBOX_MESSAGE_MAX, 'z') + '\0');
}

TEST(MessageQueue, SlotsStayPaddedWhenAShortMessageReusesALongOnesSlot) {
    auto queue = freshQueue();
    ASSERT_EQ(enqueue(queue.get(), std::string(900, 'l').c_str()), 1);
    ASSERT_EQ(take(queue.get()).result, 1);
    ASSERT_EQ(enqueue(queue.get(), "short"), 1);
    ASSERT_EQ(enqueue(queue.get(), "next"), 1);
    EXPECT_EQ(std::string(queue->message[0], POSTBOX_SLOT_SIZE), slotOf("short"));
    EXPECT_EQ(std::string(queue->message[1], POSTBOX_SLOT_SIZE), slotOf("next"));
    EXPECT_EQ(take(queue.get()).bytes, slotOf("short"));
    EXPECT_EQ(std::string(queue->message[0], POSTBOX_SLOT_SIZE), slotOf("next"));
}

TEST(MessageQueue, AMessageCanBeQueuedAgainStraightFromItsSlot) {
    auto queue = freshQueue();
    ASSERT_EQ(enqueue(queue.get(), "again"), 1);
    ASSERT_EQ(enqueue(queue.get(), queue->message[0]), 1);
    // An empty queue's slot 0 still holds the last message and is its own destination.
    ASSERT_EQ(take(queue.get()).result, 1);
    ASSERT_EQ(take(queue.get()).result, 1);
    ASSERT_EQ(enqueue(queue.get(), queue->message[0]), 1);
    EXPECT_EQ(take(queue.get()).bytes, slotOf("again"));
}

TEST(MessageQueue, CapacityBoundsTheQueueButNeverReachesPastTheSlots) {
    auto queue = freshQueue();
    queue->capacity = 2;
    EXPECT_EQ(enqueue(queue.get(), "a"), 1);
    EXPECT_EQ(enqueue(queue.get(), "b"), 1);
    EXPECT_EQ(enqueue(queue.get(), "c"), 0);
    EXPECT_EQ(queue->len, 2);

    queue->capacity = 1000; // a record never initialised, say
    while (queue->len < POSTBOX_SLOTS) {
        ASSERT_EQ(enqueue(queue.get(), "m"), 1);
    }
    MessageQueue before = *queue;
    EXPECT_EQ(enqueue(queue.get(), "past the end"), 0);
    EXPECT_TRUE(sameRecord(*queue, before));

    queue->len = -1;
    before = *queue;
    EXPECT_EQ(enqueue(queue.get(), "before the start"), 0);
    EXPECT_EQ(take(queue.get()).result, 0);
    EXPECT_TRUE(sameRecord(*queue, before));

    queue->len = POSTBOX_SLOTS + 1;
    before = *queue;
    const Taken t = take(queue.get());
    EXPECT_EQ(t.result, 0);
    EXPECT_EQ(t.bytes, std::string(POSTBOX_SLOT_SIZE, '#'));
    EXPECT_TRUE(sameRecord(*queue, before));
}

} // namespace
