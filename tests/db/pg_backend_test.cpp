// The PostgreSQL writer's backend on its own, against a real server: a
// PostgreSQL error aborts the whole transaction, so each operation that may
// fail by itself runs under a savepoint. Here the database refuses single
// operations (constraints and a trigger added for the test): each failure
// must change nothing, and the rest of the transaction must be committed.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "db/driver_postgresql/connection.hpp"
#include "db/driver_postgresql/pg_schema.hpp"
#include "db/driver_postgresql/postgresql_backend.hpp"
#include "db/pg_cluster.hpp"
#include "pg_test_support.hpp"

using namespace NORRIK::Data;
using NORRIK::Data::PostgreSQL::Connection;
using NORRIK::Data::PostgreSQL::PostgreSQLBackend;
using norrik_test::PgCluster;
using norrik_test::pg::connect;
using norrik_test::pg::count;

namespace {

InfoHash hashOf(uint8_t seed) {
    InfoHash hash{};
    for (std::size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<uint8_t>(seed * 11 + i);
    return hash;
}

PeerRow peer(const InfoHash& hash, uint16_t port) {
    PeerRow row;
    row.info_hash = hash;
    row.peer_id.fill('P');
    row.ip = 0x0A000001;
    row.port = port;
    row.time = 1000;
    return row;
}

std::string hex(const InfoHash& hash) { return PostgreSQL::byteaLiteral(hash.data(), hash.size()); }

TEST(PgBackend, AFailureOfItsOwnChangesNothingAndTheTransactionGoesOn) {
    const std::string conninfo = PgCluster::shared().freshDatabase();
    auto admin = connect(conninfo);
    std::string error;
    ASSERT_TRUE(PostgreSQL::ensureSchema(*admin, error)) << error;
    // What the database refuses: a registration at time 13, a peer on port
    // 9, statistics of 99 seeders, and the removal of a torrent made at 77.
    ASSERT_TRUE(admin->exec("ALTER TABLE torrents ADD CONSTRAINT refused_time CHECK (created <> 13); "
                            "ALTER TABLE peers ADD CONSTRAINT refused_port CHECK (port <> 9); "
                            "ALTER TABLE stats ADD CONSTRAINT refused_count CHECK (seeders <> 99); "
                            "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS "
                            "$$ BEGIN RAISE EXCEPTION 'refused by the test'; END $$; "
                            "CREATE TRIGGER refused_removal BEFORE DELETE ON torrents FOR EACH ROW "
                            "WHEN (OLD.created = 77) EXECUTE FUNCTION refuse()")
                    .ok());

    PostgreSQLBackend backend(connect(conninfo), 42);
    const InfoHash kept = hashOf(1), refused = hashOf(2), guarded = hashOf(3);
    ASSERT_TRUE(backend.begin().isOk());
    ASSERT_TRUE(backend.registerTorrent(guarded.data(), 77).isOk());
    const PeerRow guardedPeer = peer(guarded, 5);
    std::size_t skipped = 0;
    std::string why;
    ASSERT_TRUE(backend.writePeers(&guardedPeer, 1, &skipped, &why).isOk());
    ASSERT_TRUE(backend.commit().isOk());

    ASSERT_TRUE(backend.begin().isOk());
    StoreResult result = backend.registerTorrent(refused.data(), 13);
    EXPECT_EQ(result.code, StoreResult::Code::kFailed);
    EXPECT_NE(result.error.find("refused_time"), std::string::npos) << result.error;
    EXPECT_TRUE(backend.registerTorrent(kept.data(), 14).isOk());

    const std::vector<PeerRow> refusedBatch = {peer(kept, 8), peer(kept, 9)};
    result = backend.writePeers(refusedBatch.data(), refusedBatch.size(), &skipped, &why);
    EXPECT_TRUE(result.isOk()) << "a batch the database refuses is skipped, not the transaction";
    EXPECT_EQ(skipped, 2u);
    EXPECT_NE(why.find("refused_port"), std::string::npos) << why;
    const std::vector<PeerRow> laterBatch = {peer(kept, 10), peer(kept, 11), peer(refused, 12)};
    ASSERT_TRUE(backend.writePeers(laterBatch.data(), laterBatch.size(), &skipped, &why).isOk());
    EXPECT_EQ(skipped, 1u) << "a row of a torrent that is not registered is not stored";

    StatsRow bad{kept, 99, 0, 1, 1000};
    EXPECT_EQ(backend.writeStatistics(&bad, 1).code, StoreResult::Code::kFailed);
    StatsRow good{kept, 2, 0, 1, 1000};
    EXPECT_TRUE(backend.writeStatistics(&good, 1).isOk());

    result = backend.removeTorrent(guarded.data());
    EXPECT_EQ(result.code, StoreResult::Code::kFailed);
    EXPECT_NE(result.error.find("refused by the test"), std::string::npos) << result.error;
    bool removed = true;
    ASSERT_TRUE(backend.deletePeer(peer(kept, 11), &removed).isOk());
    EXPECT_TRUE(removed);
    ASSERT_TRUE(backend.commit().isOk()) << "the transaction was lost with the failed operations";

    EXPECT_EQ(count(*admin, "SELECT count(*) FROM torrents WHERE info_hash = " + hex(kept)), 1);
    EXPECT_EQ(count(*admin, "SELECT count(*) FROM torrents WHERE info_hash = " + hex(refused)), 0);
    EXPECT_EQ(count(*admin, "SELECT (string_agg(port::text, ',' ORDER BY port) = '10')::int FROM peers WHERE info_hash = " +
                                hex(kept)),
              1)
        << "ports 8 and 9 went with their batch, 10 and 11 were stored, 11 deleted";
    EXPECT_EQ(count(*admin, "SELECT seeders * 100 + completed FROM stats WHERE info_hash = " + hex(kept)), 201);
    EXPECT_EQ(count(*admin, "SELECT count(*) FROM torrents WHERE info_hash = " + hex(guarded)), 1);
    EXPECT_EQ(count(*admin, "SELECT count(*) FROM peers WHERE info_hash = " + hex(guarded)), 1)
        << "a removal that failed took the peers";
    EXPECT_EQ(count(*admin, "SELECT count(*) FROM removals"), 0);
    EXPECT_EQ(count(*admin, "SELECT count(*) FROM peers WHERE origin = 42"), 2);
}

}  // namespace
