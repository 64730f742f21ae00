// Ring buffer: edge cases, a model check against std::deque and a two-thread run.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "nk_utils.h"

namespace {

std::vector<u8> seq(u32 n, u8 start = 1) {
    std::vector<u8> v(n);
    for (u32 i = 0; i < n; ++i) v[i] = static_cast<u8>(start + i);
    return v;
}

TEST(Fifo, EdgeCases) {
    struct Step {
        char op;       // 'w' write, 'r' read, 'c' clear
        u32 size;      // offered or wanted
        u16 rc;
        u32 moved;     // bytes stored or delivered on success
        u32 after;     // dataSize afterwards
    };
    struct Case {
        const char* what;
        u32 count, elem;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"4x8 holds 24 bytes, a further element is not taken", 4, 8,
         {{'w', 24, 0, 24, 24}, {'w', 8, 0, 0, 24}}},
        {"offer above capacity is cut to the free room", 4, 8, {{'w', 40, 0, 24, 24}}},
        {"12 bytes into element size 8 is refused", 4, 8, {{'w', 12, kNKErr_invalidParam, 12, 0}}},
        {"read of a partial element is refused", 4, 8,
         {{'w', 8, 0, 8, 8}, {'r', 4, kNKErr_invalidParam, 4, 8}}},
        {"write 16, read 8, read 16 delivers 8", 4, 8,
         {{'w', 16, 0, 16, 16}, {'r', 8, 0, 8, 8}, {'r', 16, 0, 8, 0}}},
        {"empty buffer delivers nothing", 3, 2, {{'r', 4, 0, 0, 0}}},
        {"clear restores the full N-1 capacity", 4, 8,
         {{'w', 24, 0, 24, 24}, {'r', 8, 0, 8, 16}, {'c', 0, 0, 0, 0}, {'w', 32, 0, 24, 24}}},
        {"a one-element buffer holds nothing", 1, 4, {{'w', 4, 0, 0, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CNK_fifo fifo(c.count, c.elem);
        for (const Step& s : c.steps) {
            if (s.op == 'c') {
                fifo.clear();
            } else {
                std::vector<u8> buf = s.op == 'w' ? seq(s.size) : std::vector<u8>(s.size + 1, 0xEE);
                u32 size = s.size;
                const u16 rc = s.op == 'w' ? fifo.write(buf.data(), &size) : fifo.read(buf.data(), &size);
                EXPECT_EQ(rc, s.rc);
                EXPECT_EQ(size, s.moved);
            }
            EXPECT_EQ(fifo.dataSize(), s.after);
        }
    }
}

TEST(Fifo, TerminatorOnlyWithinTheAskedSize) {
    CNK_fifo fifo(4, 8);
    std::vector<u8> in = seq(16);
    u32 size = 16;
    ASSERT_EQ(fifo.write(in.data(), &size), 0);
    // Fewer than wanted: the 0 goes right after the delivered bytes.
    std::vector<u8> out(25, 0xEE);
    size = 24;
    ASSERT_EQ(fifo.read(out.data(), &size), 0);
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(0, std::memcmp(out.data(), in.data(), 16));
    EXPECT_EQ(out[16], 0);
    EXPECT_EQ(out[17], 0xEE);
    // Exactly what was asked: not one byte beyond it is touched.
    size = 8;
    ASSERT_EQ(fifo.write(in.data(), &size), 0);
    std::vector<u8> exact(9, 0xEE);
    size = 8;
    ASSERT_EQ(fifo.read(exact.data(), &size), 0);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(exact[8], 0xEE);
}

TEST(Fifo, NullArgumentsAreRefused) {
    CNK_fifo fifo(4, 8);
    u8 buf[16] = {};
    u32 size = 8;
    EXPECT_EQ(fifo.write(nullptr, &size), kNKErr_invalidPointer);
    EXPECT_EQ(fifo.write(buf, nullptr), kNKErr_invalidPointer);
    EXPECT_EQ(fifo.read(nullptr, &size), kNKErr_invalidPointer);
    EXPECT_EQ(fifo.read(buf, nullptr), kNKErr_invalidPointer);
    EXPECT_EQ(fifo.dataSize(), 0u);
}

TEST(FifoDeathTest, BadGeometryEndsTheProcess) {
    EXPECT_DEATH({ CNK_fifo f(0, 8); }, "elementCount");
    EXPECT_DEATH({ CNK_fifo f(8, 0); }, "elementCount");
    EXPECT_DEATH({ CNK_fifo f(0x10000, 0x10000); }, "elementCount");
}

TEST(Fifo, RandomOperationsMatchADequeModel) {
    std::mt19937 rng(1234);
    for (u32 elem : {1u, 3u, 8u}) {
        const u32 count = 7;
        CNK_fifo fifo(count, elem);
        std::deque<u8> model;
        u8 next = 0;
        for (int i = 0; i < 5000; ++i) {
            const u32 n = (rng() % 10) * elem;
            const int op = static_cast<int>(rng() % 10);
            if (op < 5) {
                std::vector<u8> data(n + 1);
                for (u32 k = 0; k < n; ++k) data[k] = next++;
                u32 size = n;
                ASSERT_EQ(fifo.write(data.data(), &size), 0);
                const u32 room = (count - 1) * elem - static_cast<u32>(model.size());
                ASSERT_EQ(size, std::min(n, room));
                model.insert(model.end(), data.begin(), data.begin() + size);
                next = static_cast<u8>(next - (n - size));  // unstored bytes are offered again later
            } else if (op < 9) {
                std::vector<u8> out(n + 1);
                u32 size = n;
                ASSERT_EQ(fifo.read(out.data(), &size), 0);
                ASSERT_EQ(size, std::min<u32>(n, static_cast<u32>(model.size())));
                for (u32 k = 0; k < size; ++k) {
                    ASSERT_EQ(out[k], model.front());
                    model.pop_front();
                }
            } else {
                fifo.clear();
                model.clear();
            }
            ASSERT_EQ(fifo.dataSize(), model.size());
        }
    }
}

TEST(Fifo, ProducerAndConsumerThreadsLoseNothing) {
    // 16-byte records: a sequence number and its complement, so a split or a
    // mixed record shows as well as a lost or doubled one.
    struct Rec {
        u64 seq;
        u64 check;
    };
    constexpr u64 kCount = 200000;
    CNK_fifo fifo(64, sizeof(Rec));
    std::thread producer([&] {
        u64 s = 0;
        while (s < kCount) {
            Rec batch[5];
            const u64 n = std::min<u64>(5, kCount - s);
            for (u64 i = 0; i < n; ++i) batch[i] = {s + i, ~(s + i)};
            u32 size = static_cast<u32>(n * sizeof(Rec));
            if (fifo.write(batch, &size) != 0) std::abort();
            s += size / sizeof(Rec);
            if (size == 0) std::this_thread::yield();
        }
    });
    u64 expect = 0;
    bool ok = true;
    while (expect < kCount) {
        Rec got[8];
        u32 size = 7 * sizeof(Rec);
        ASSERT_EQ(fifo.read(got, &size), 0);
        ASSERT_EQ(size % sizeof(Rec), 0u);
        for (u32 i = 0; i < size / sizeof(Rec); ++i) {
            if (got[i].seq != expect || got[i].check != ~expect) ok = false;
            ++expect;
        }
        if (size == 0) std::this_thread::yield();
    }
    producer.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(expect, kCount);
    EXPECT_EQ(fifo.dataSize(), 0u);
}

}  // namespace
