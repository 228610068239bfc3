#include <gtest/gtest.h>
#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace {

std::vector<long> lrand48Sequence(unsigned int seed, size_t count)
{
    srand48(seed);
    std::vector<long> values;
    for (size_t i = 0; i < count; ++i)
        values.push_back(lrand48());
    return values;
}

const size_t perThread = 2000;
const size_t threads = 4;

typedef int (*RandFunction)(void);
typedef void (*SrandFunction)(unsigned int);

} // namespace

TEST(Random, AllFourFunctionsFollowTheLrand48Sequence)
{
    for (unsigned int seed : {0u, 1u, 7u, 4000000000u}) {
        std::vector<long> expected = lrand48Sequence(seed, 4);

        srand(seed);
        std::vector<long> viaRand;
        for (int i = 0; i < 4; ++i)
            viaRand.push_back(rand());
        EXPECT_EQ(viaRand, expected) << "seed " << seed;

        srandom(seed);
        std::vector<long> viaRandom;
        for (int i = 0; i < 4; ++i)
            viaRandom.push_back(random());
        EXPECT_EQ(viaRandom, expected) << "seed " << seed;
    }
}

TEST(Random, DynamicLookupReachesOursNotTheCLibrarys)
{
    // What a shared object calling rand() gets bound to.
    RandFunction found = reinterpret_cast<RandFunction>(dlsym(RTLD_DEFAULT, "rand"));
    SrandFunction seed = reinterpret_cast<SrandFunction>(dlsym(RTLD_DEFAULT, "srand"));
    ASSERT_NE(found, nullptr);
    ASSERT_NE(seed, nullptr);
    EXPECT_EQ(found, &rand);

    std::vector<long> expected = lrand48Sequence(1, 3);
    seed(1);
    std::vector<long> drawn = {found(), found(), found()};
    EXPECT_EQ(drawn, expected);

    // The C library's own generator gives another sequence for the same
    // seed, so the match above is ours.
    RandFunction libcRand = reinterpret_cast<RandFunction>(dlsym(RTLD_NEXT, "rand"));
    SrandFunction libcSrand = reinterpret_cast<SrandFunction>(dlsym(RTLD_NEXT, "srand"));
    if (libcRand && libcSrand && libcRand != found) {
        libcSrand(1);
        EXPECT_NE(libcRand(), expected[0]);
    }
}

TEST(Random, NeverNegative)
{
    srand(99);
    for (int i = 0; i < 100000; ++i)
        ASSERT_GE(rand(), 0);
}

TEST(Random, ConcurrentCallersDrawDistinctValuesOfOneSequence)
{
    std::vector<long> expected = lrand48Sequence(5, perThread * threads);
    srandom(5);
    std::vector<std::vector<long>> drawn(threads);
    std::vector<std::thread> workers;
    for (size_t t = 0; t < threads; ++t)
        workers.emplace_back([&drawn, t] {
            for (size_t i = 0; i < perThread; ++i)
                drawn[t].push_back(random());
        });
    for (std::thread &worker : workers)
        worker.join();
    std::vector<long> all;
    for (const std::vector<long> &values : drawn)
        all.insert(all.end(), values.begin(), values.end());
    std::sort(all.begin(), all.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(all, expected);
}
