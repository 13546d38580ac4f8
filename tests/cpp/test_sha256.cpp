// SHA-256 against the published vectors and, for the lengths around the
// padding boundaries, against sha256sum.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "pdf_maker.hpp"
#include "results_store.hpp"

using namespace quorvan::core;
using namespace quorvan_test;

TEST(Sha256, KnownAnswers) {
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256_hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnop"
                         "qrsmnopqrstnopqrstu"),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, LengthsAroundThePadding) {
    // 55 bytes still take the length in their own block, 56 need another one.
    EXPECT_EQ(sha256_hex(std::string(55, 'a')), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
    EXPECT_EQ(sha256_hex(std::string(56, 'a')), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
    EXPECT_EQ(sha256_hex(std::string(63, 'a')), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34");
    EXPECT_EQ(sha256_hex(std::string(64, 'a')), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
    EXPECT_EQ(sha256_hex(std::string(65, 'a')), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0");
    EXPECT_EQ(sha256_hex(std::string(119, 'a')), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb");
}

using Sha256File = TempDirTest;

TEST_F(Sha256File, HashesTheBytesReadInChunks) {
    // A million bytes span many read buffers, and the last one is partial.
    EXPECT_EQ(sha256_file(write("a.bin", std::string(1000000, 'a'))),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    std::string binary;
    for (int i = 0; i < 200000; ++i) binary += static_cast<char>((i * 7919) % 256);
    EXPECT_EQ(sha256_file(write("binary.bin", binary)), sha256_hex(binary));
    EXPECT_EQ(sha256_file(write("empty.bin", "")), sha256_hex(""));
}

TEST_F(Sha256File, UnreadablePathsThrow) {
    const std::string missing = (dir_ / "missing.pdf").string();
    try {
        sha256_file(missing);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot read " + missing + ": No such file or directory");
    }
    EXPECT_THROW(sha256_file(dir_.string()), std::runtime_error);
}
