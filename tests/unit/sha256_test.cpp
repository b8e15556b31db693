#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "FwpkgBuilder.h"
#include "ScratchDir.h"
#include "Sha256Util.h"

namespace {

std::string Hex(const unsigned char* digest)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < SHA256_DIGEST_LEN; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 0x0F];
    }
    return text;
}

std::string DigestOf(const std::string& message)
{
    unsigned char digest[SHA256_DIGEST_LEN];
    Sha256Util::Sha256(reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest);
    return Hex(digest);
}

std::string FileDigest(const std::string& path)
{
    unsigned char digest[SHA256_DIGEST_LEN];
    Sha256Util::Sha256File(path, digest);
    return Hex(digest);
}

// The system's own sha256sum, as a second opinion on files.
std::string Sha256sum(const std::string& path)
{
    std::string command = "sha256sum '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "";
    }
    char line[256] = {0};
    std::string text = fgets(line, sizeof(line), pipe) != nullptr ? line : "";
    pclose(pipe);
    return text.substr(0, 64);
}

TEST(Sha256Test, Fips180Vectors)
{
    EXPECT_EQ(DigestOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(DigestOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(DigestOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(DigestOf("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
                       "mnopqrstnopqrstu"),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    EXPECT_EQ(DigestOf(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256Test, PaddingBoundaries)
{
    // 55 bytes fit one padded block, 56 need a second, 64 are a full block and a padding block.
    EXPECT_EQ(DigestOf(std::string(55, 'a')), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
    EXPECT_EQ(DigestOf(std::string(56, 'a')), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
    EXPECT_EQ(DigestOf(std::string(64, 'a')), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

TEST(Sha256Test, PiecesGiveTheSameDigestAsOneCall)
{
    std::vector<uint8_t> data = Sim::PatternBytes(1000, 9);
    unsigned char whole[SHA256_DIGEST_LEN];
    Sha256Util::Sha256(data.data(), data.size(), whole);

    for (unsigned long piece : {1ul, 3ul, 63ul, 64ul, 65ul, 500ul}) {
        Sha256Context context;
        context.Init();
        for (unsigned long at = 0; at < data.size(); at += piece) {
            context.Update(data.data() + at, std::min(piece, static_cast<unsigned long>(data.size() - at)));
            context.Update(data.data(), 0);
        }
        unsigned char digest[SHA256_DIGEST_LEN];
        context.Final(digest);
        EXPECT_EQ(Hex(digest), Hex(whole)) << piece;
    }
}

TEST(Sha256Test, FilesAgreeWithSha256sum)
{
    Sim::ScratchDir dir;
    for (size_t size : {size_t(0), size_t(55), size_t(56), size_t(64), size_t(8192), size_t(8193),
                        size_t(1024 * 1024)}) {
        std::string path = dir / ("f" + std::to_string(size));
        ASSERT_TRUE(Sim::WriteBinaryFile(path, Sim::PatternBytes(size, static_cast<uint32_t>(size))));
        std::string expected = Sha256sum(path);
        ASSERT_EQ(expected.size(), 64u) << "sha256sum is needed for this test";
        EXPECT_EQ(FileDigest(path), expected) << size;
    }
}

TEST(Sha256Test, UnreadableFileGivesZeros)
{
    Sim::ScratchDir dir;
    const std::string zeros(64, '0');
    EXPECT_EQ(FileDigest(dir / "missing"), zeros);
    EXPECT_EQ(FileDigest(dir.Path()), zeros);  // a directory opens but cannot be read
    EXPECT_EQ(FileDigest("/dev/zero"), zeros);  // a device without end is no file to digest
}

}  // namespace
