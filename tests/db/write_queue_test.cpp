// The write queue keeps one waiting row per peer, never across an
// operation, and bounds what it holds.

#include <gtest/gtest.h>

#include "db/write_queue.hpp"

using NORRIK::Data::StoreWrite;
using NORRIK::Data::WriteQueue;

namespace {

StoreWrite row(uint8_t torrent, uint16_t port, int32_t time, bool known = false) {
    StoreWrite write;
    write.kind = StoreWrite::Kind::kPeer;
    write.row.info_hash.fill(torrent);
    write.row.ip = 0x0A000001;
    write.row.port = port;
    write.row.time = time;
    write.row.known = known;
    return write;
}

StoreWrite operation() {
    StoreWrite write;
    write.kind = StoreWrite::Kind::kFlush;
    return write;
}

std::vector<StoreWrite> takeAll(WriteQueue& queue) {
    std::vector<StoreWrite> out;
    queue.take(out, SIZE_MAX);
    return out;
}

}  // namespace

TEST(WriteQueue, APeersNewerRowReplacesItsWaitingOneButNeverAcrossAnOperation) {
    WriteQueue queue(100);
    const uint64_t first = queue.push(row(1, 1, 10, false));
    queue.push(row(2, 1, 10));
    EXPECT_EQ(queue.push(row(1, 1, 11, true)), first) << "the same peer again takes the waiting row's place";
    queue.push(operation());
    queue.push(row(1, 1, 12, true));  // after an operation: a row of its own
    std::vector<StoreWrite> taken = takeAll(queue);
    ASSERT_EQ(taken.size(), 4u);
    EXPECT_EQ(taken[0].row.time, 11);
    EXPECT_FALSE(taken[0].row.known) << "whether the file has the peer is what the first row knew";
    EXPECT_EQ(taken[1].row.info_hash[0], 2);
    EXPECT_EQ(taken[2].kind, StoreWrite::Kind::kFlush);
    EXPECT_EQ(taken[3].row.time, 12);
    EXPECT_EQ(queue.status().replaced, 1u);

    // A row taken by the writer is not replaced: the next one waits anew.
    queue.push(row(3, 1, 20));
    taken = takeAll(queue);
    queue.push(row(3, 1, 21));
    taken = takeAll(queue);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].row.time, 21);
}

TEST(WriteQueue, RowsBeyondTheBoundAreDroppedButRepeatsAndOperationsAreNot) {
    WriteQueue queue(3);
    for (uint16_t port = 1; port <= 3; ++port) EXPECT_NE(queue.push(row(1, port, 1)), 0u);
    EXPECT_EQ(queue.push(row(1, 4, 1)), 0u) << "a new peer beyond the bound";
    EXPECT_NE(queue.push(row(1, 2, 2)), 0u) << "a waiting peer's newer row needs no room";
    EXPECT_NE(queue.push(operation()), 0u);
    EXPECT_EQ(queue.status().dropped, 1u);
    EXPECT_EQ(queue.status().waiting, 4u);
    // Part of the queue taken: the rest keeps its place and its peers.
    std::vector<StoreWrite> out;
    queue.take(out, 2);
    EXPECT_EQ(queue.status().waiting, 2u);
    EXPECT_NE(queue.push(row(1, 5, 1)), 0u);
}
