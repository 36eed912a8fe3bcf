// The reader's ring of chunk buffers on its own: which chunk each hand-off
// gives, when a buffer is free for the next read, how the stream's end and a
// failed read are recorded and when that failure is reported.
#include "untgz/C_UNTGZ.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

class ChunkRing : public ::testing::Test {
protected:
    // 512 KiB of buffers: on the heap, as in the extractor.
    std::unique_ptr<t_chunk_ring> m_owner{new t_chunk_ring()};
    t_chunk_ring &ring = *m_owner;
};

// Chunks go to the writers in archive order, each from the buffer it was read
// into, and a buffer is offered for reading again only once its chunk's
// writer has been collected.
TEST_F(ChunkRing, HandsChunksOverInOrderAndReusesOnlyCollectedBuffers) {
    static_assert(UNTGZ_CHUNK_COUNT == 2, "the cases below walk a ring of two");
    ring.Start(UNTGZ_CHUNK_SIZE);
    ASSERT_TRUE(ring.CanHandOff());
    int size = -1;
    EXPECT_EQ(ring.HandOff(size), ring.buffer[0]);
    EXPECT_EQ(size, UNTGZ_CHUNK_SIZE);
    EXPECT_FALSE(ring.CanHandOff()); // one writer at a time

    ASSERT_TRUE(ring.HasRoom());
    EXPECT_EQ(ring.ReadSlot(), ring.buffer[1]);
    ring.ReadAhead(UNTGZ_CHUNK_SIZE, 0);
    EXPECT_FALSE(ring.HasRoom()); // chunk 0 is still being parsed
    EXPECT_FALSE(ring.CanHandOff());

    EXPECT_FALSE(ring.Collect());
    ASSERT_TRUE(ring.HasRoom());
    EXPECT_EQ(ring.ReadSlot(), ring.buffer[0]);
    ASSERT_TRUE(ring.CanHandOff());
    EXPECT_EQ(ring.HandOff(size), ring.buffer[1]);

    // The end of the stream: nothing more is read, the last chunk is still
    // parsed, and then nothing is left.
    ring.ReadAhead(0, 0);
    EXPECT_FALSE(ring.HasRoom());
    EXPECT_FALSE(ring.Collect());
    EXPECT_FALSE(ring.CanHandOff());
    EXPECT_FALSE(ring.running);
}

// An empty stream still hands its one (empty) chunk over.
TEST_F(ChunkRing, EmptyFirstChunkIsHandedOver) {
    ring.Start(0);
    ASSERT_TRUE(ring.CanHandOff());
    int size = -1;
    ring.HandOff(size);
    EXPECT_EQ(size, 0);
    ring.ReadAhead(0, 0);
    EXPECT_FALSE(ring.Collect());
    EXPECT_FALSE(ring.CanHandOff());
}

// A short last chunk is parsed in whole blocks: the rest of its last block
// reads as zeros, whatever an earlier chunk left in the buffer, and nothing
// past that block is touched.
TEST_F(ChunkRing, ShortChunkIsZeroFilledToItsBlockEnd) {
    std::memset(ring.buffer[0], 0xAB, UNTGZ_CHUNK_BUFFER_SIZE);
    ring.Start(700);
    int size = -1;
    unsigned char *chunk = ring.HandOff(size);
    EXPECT_EQ(size, 700);
    EXPECT_EQ(chunk[699], 0xAB);
    for (int i = 700; i < 2 * UNTGZ_BLOCK_SIZE; i++)
        ASSERT_EQ(chunk[i], 0) << i;
    EXPECT_EQ(chunk[2 * UNTGZ_BLOCK_SIZE], 0xAB);
}

// A failed read is reported when the writer of the chunk before it is
// collected (as when each chunk is read while the one before it is parsed),
// with its errno; the chunks read before it are handed over first.
TEST_F(ChunkRing, FailedReadIsReportedAfterTheChunkBeforeIt) {
    ring.Start(UNTGZ_CHUNK_SIZE);
    int size = -1;
    ring.HandOff(size);
    ring.ReadAhead(UNTGZ_CHUNK_SIZE, 0);
    EXPECT_FALSE(ring.Collect()); // chunk 0 done; chunk 1 read fine
    ring.HandOff(size);
    ASSERT_TRUE(ring.HasRoom());
    ring.ReadAhead(-1, EIO); // the read of chunk 2 fails
    EXPECT_FALSE(ring.HasRoom());
    EXPECT_TRUE(ring.Collect()); // chunk 1 done: now the failure
    EXPECT_EQ(ring.stop_size, -1);
    EXPECT_EQ(ring.stop_errno, EIO);
}

} // namespace
