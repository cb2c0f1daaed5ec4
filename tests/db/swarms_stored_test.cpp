// Swarms taking in what other nodes stored: registrations, removals, peers
// and download totals read back from a shared database. What this node did
// itself meanwhile must win over a read that began before it, and nothing
// merged may be queued for the writer or marked for a statistics write.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "db/swarms.hpp"
#include "db/write_queue.hpp"

using namespace NORRIK::Data;

namespace {

InfoHash hashOf(uint8_t seed) {
    InfoHash hash{};
    for (std::size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<uint8_t>(seed * 13 + i);
    return hash;
}

class SwarmsStored : public ::testing::Test {
protected:
    // A local announce (dynamic mode); returns nothing, as the tracker does.
    void announce(const InfoHash& hash, uint16_t port, int64_t left, bool completed = false, int32_t time = 100) {
        PeerRow row;
        row.info_hash = hash;
        row.ip = 0x0A000001;
        row.port = port;
        row.left = left;
        row.time = time;
        Swarms::Counts counts;
        ASSERT_TRUE(swarms.announce(row, completed, true, queue, &counts));
    }

    // Registered through the API and committed.
    void registerHere(const InfoHash& hash) { swarms.registered(hash.data(), 1, true); }

    bool listed(const InfoHash& hash) const { return swarms.listed(hash.data(), false); }

    TorrentStats stats(const InfoHash& hash, bool* found = nullptr) const {
        TorrentStats record{hash.data(), 0, 0, 0};
        const bool result = swarms.statistics(&record);
        if (found != nullptr) *found = result;
        return record;
    }

    std::size_t queued() const { return queue.status().waiting; }

    std::size_t marked() {
        std::vector<Swarms::Marked> out;
        swarms.takeStatistics(out, 1000, 1);
        return out.size();
    }

    Swarms swarms;
    WriteQueue queue{1000};
};

TEST_F(SwarmsStored, RegistrationsAndRemovalsOfOtherNodes) {
    const InfoHash added = hashOf(1), removed = hashOf(2), registering = hashOf(3);
    registerHere(removed);
    announce(removed, 1, 0);
    announce(registering, 1, 0);  // its registration is queued here, not yet committed
    const std::size_t queuedBefore = queued();
    marked();

    swarms.beginStoredRound();
    swarms.applyStoredRegistrations({{added, true}, {removed, false}, {registering, false}});
    swarms.endStoredRound();

    EXPECT_TRUE(listed(added));
    EXPECT_FALSE(listed(removed));
    bool found = true;
    stats(removed, &found);
    EXPECT_FALSE(found) << "a removed torrent keeps no statistics";
    EXPECT_TRUE(swarms.listed(registering.data(), true)) << "a queued registration comes after the read";
    EXPECT_EQ(swarms.totals().peers, 1u) << "the removed torrent's swarm went with it";
    EXPECT_EQ(swarms.totals().torrents, 2u);
    EXPECT_EQ(queued(), queuedBefore) << "what other nodes stored is not written again";
    EXPECT_EQ(marked(), 0u);
}

TEST_F(SwarmsStored, WhatThisNodeDidDuringTheReadWins) {
    const InfoHash removedHere = hashOf(4), addedHere = hashOf(5), removing = hashOf(6);
    registerHere(removedHere);
    registerHere(removing);

    swarms.beginStoredRound();  // the read's snapshot is taken after this
    // Committed here while the read was under way: the read saw the old state.
    StoreWrite removal;
    removal.kind = StoreWrite::Kind::kRemove;
    swarms.remove(removedHere.data(), queue, std::move(removal));
    std::vector<StoreWrite> taken;
    queue.take(taken, 10);
    swarms.removalDone(removedHere.data(), taken.back().sequence, true);
    registerHere(addedHere);
    // Queued here and not yet done.
    StoreWrite pending;
    pending.kind = StoreWrite::Kind::kRemove;
    swarms.remove(removing.data(), queue, std::move(pending));

    swarms.applyStoredRegistrations({{removedHere, true}, {addedHere, false}, {removing, true}});
    swarms.applyStoredPeers({{removedHere, 0x0B000001, 7, true, 200}});
    swarms.endStoredRound();

    EXPECT_FALSE(listed(removedHere)) << "an old read brought back a torrent removed here";
    EXPECT_TRUE(listed(addedHere)) << "an old read took away a torrent registered here";
    EXPECT_FALSE(listed(removing)) << "an old read brought back a torrent whose removal is queued";

    // The next read, begun after those changes, is taken as it is.
    swarms.beginStoredRound();
    swarms.applyStoredRegistrations({{addedHere, false}});
    swarms.endStoredRound();
    EXPECT_FALSE(listed(addedHere));
}

TEST_F(SwarmsStored, PeersOfOtherNodesJoinRegisteredSwarms) {
    const InfoHash hash = hashOf(7), unknown = hashOf(8);
    registerHere(hash);
    announce(hash, 1, 1000, false, 100);  // a leecher here
    const std::size_t queuedBefore = queued();
    marked();

    swarms.beginStoredRound();
    swarms.applyStoredPeers({
        {hash, 0x0A000001, 1, true, 99},     // older than this node's announce: kept as it is here
        {hash, 0x0B000001, 2, true, 150},    // new: a seeder
        {hash, 0x0B000002, 3, false, 150},   // new: a leecher
        {hash, 0x0B000002, 3, true, 160},    // the same peer again, newer: now a seeder
        {unknown, 0x0B000001, 2, true, 150}, // a torrent not registered here
    });
    swarms.endStoredRound();

    TorrentStats record = stats(hash);
    EXPECT_EQ(record.seeders, 2);
    EXPECT_EQ(record.leechers, 1);
    PeerAddress peers[10];
    EXPECT_EQ(swarms.pickPeers(hash.data(), 10, peers), 3);
    EXPECT_EQ(swarms.pickPeers(unknown.data(), 10, peers), 0);
    EXPECT_FALSE(swarms.listed(unknown.data(), true));
    EXPECT_EQ(swarms.totals().seeders, 2u);
    EXPECT_EQ(queued(), queuedBefore);
    EXPECT_EQ(marked(), 0u);

    // Expiry here takes them out like this node's own.
    EXPECT_EQ(swarms.expire(155, false).peers, 2u);
    EXPECT_EQ(stats(hash).seeders, 1);
}

TEST_F(SwarmsStored, DownloadTotalsAddWhatThisNodeHasNotWritten) {
    const InfoHash hash = hashOf(9), fresh = hashOf(10);
    registerHere(hash);
    registerHere(fresh);
    announce(hash, 1, 0, true);
    announce(hash, 2, 0, true);  // two downloads here, not written yet

    auto applyTotal = [&](const InfoHash& which, int32_t completed) {
        swarms.beginStoredRound();
        swarms.applyStoredDownloads({{which, completed}});
        swarms.endStoredRound();
    };
    applyTotal(hash, 5);  // other nodes stored 5
    EXPECT_EQ(stats(hash).completed, 7);
    applyTotal(hash, 3);  // a read older than one before: never down
    EXPECT_EQ(stats(hash).completed, 7);

    // This node's write is under way (taken, not committed): the total read
    // meanwhile lacks it, and the count stays.
    std::vector<Swarms::Marked> writing;
    swarms.takeStatistics(writing, 10, 1);
    applyTotal(hash, 5);
    EXPECT_EQ(stats(hash).completed, 7);
    applyTotal(hash, 8);  // committed, and one more download elsewhere
    EXPECT_EQ(stats(hash).completed, 8);

    bool found = false;
    applyTotal(fresh, 4);
    EXPECT_EQ(stats(fresh, &found).completed, 4);
    EXPECT_TRUE(found) << "a torrent with a stored statistics row has statistics";
}

TEST_F(SwarmsStored, ACompleteListTakesAwayWhatItLacks) {
    const InfoHash kept = hashOf(11), gone = hashOf(12), registering = hashOf(13);
    registerHere(kept);
    registerHere(gone);
    announce(registering, 1, 0);
    swarms.beginStoredRound();
    swarms.applyStoredRegistrations({{kept, true}}, true);
    swarms.endStoredRound();
    EXPECT_TRUE(listed(kept));
    EXPECT_FALSE(listed(gone));
    EXPECT_TRUE(swarms.listed(registering.data(), true));
}

}  // namespace
