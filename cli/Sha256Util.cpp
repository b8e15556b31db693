#include "Sha256Util.h"

#include <cstdio>
#include <cstring>

#include "Common.h"
#include "CommonUtil.h"

namespace {

const uint32_t ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

const uint32_t INITIAL_HASH[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr unsigned int LENGTH_FIELD_AT = 56;
constexpr size_t FILE_PIECE_LEN = 8192;

uint32_t RotateRight(uint32_t value, unsigned int count)
{
    return (value >> count) | (value << (32 - count));
}

}  // namespace

void Sha256Context::Init()
{
    std::memcpy(state, INITIAL_HASH, sizeof(state));
    std::memset(buffer, 0, sizeof(buffer));
    total = 0;
}

void Sha256Context::Update(const unsigned char* data, unsigned long length)
{
    if (data == nullptr || length == 0) {
        return;
    }
    unsigned long pending = static_cast<unsigned long>(total % SHA256_BLOCK_LEN);
    total += length;
    if (pending > 0) {
        unsigned long fill = SHA256_BLOCK_LEN - pending;
        if (length < fill) {
            std::memcpy(buffer + pending, data, length);
            return;
        }
        std::memcpy(buffer + pending, data, fill);
        ProcessBlock(buffer);
        data += fill;
        length -= fill;
    }
    for (; length >= SHA256_BLOCK_LEN; data += SHA256_BLOCK_LEN, length -= SHA256_BLOCK_LEN) {
        ProcessBlock(data);
    }
    std::memcpy(buffer, data, length);
}

void Sha256Context::Final(unsigned char* digest)
{
    uint64_t bitLength = total * 8;
    unsigned long pending = static_cast<unsigned long>(total % SHA256_BLOCK_LEN);
    unsigned char padding[SHA256_BLOCK_LEN * 2] = {0x80};
    unsigned long padLength =
        (pending < LENGTH_FIELD_AT ? LENGTH_FIELD_AT : LENGTH_FIELD_AT + SHA256_BLOCK_LEN) - pending;
    unsigned char lengthField[8];
    for (int i = 0; i < 8; ++i) {
        lengthField[i] = static_cast<unsigned char>(bitLength >> (56 - 8 * i));
    }
    Update(padding, padLength);
    Update(lengthField, sizeof(lengthField));
    for (unsigned int i = 0; i < 8; ++i) {
        for (unsigned int byte = 0; byte < 4; ++byte) {
            digest[4 * i + byte] = static_cast<unsigned char>(state[i] >> (24 - 8 * byte));
        }
    }
}

void Sha256Context::ProcessBlock(const unsigned char* block)
{
    uint32_t schedule[64];
    for (unsigned int t = 0; t < 16; ++t) {
        schedule[t] = CommonUtil::ReadBigEndian32(block + 4 * t);
    }
    for (unsigned int t = 16; t < 64; ++t) {
        uint32_t s0 = RotateRight(schedule[t - 15], 7) ^ RotateRight(schedule[t - 15], 18) ^ (schedule[t - 15] >> 3);
        uint32_t s1 = RotateRight(schedule[t - 2], 17) ^ RotateRight(schedule[t - 2], 19) ^ (schedule[t - 2] >> 10);
        schedule[t] = schedule[t - 16] + s0 + schedule[t - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (unsigned int t = 0; t < 64; ++t) {
        uint32_t sum1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
        uint32_t choose = (e & f) ^ (~e & g);
        uint32_t temp1 = h + sum1 + choose + ROUND_CONSTANTS[t] + schedule[t];
        uint32_t sum0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
        uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        uint32_t temp2 = sum0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + temp1;
        d = c;
        c = b;
        b = a;
        a = temp1 + temp2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

namespace Sha256Util {

void Sha256(const unsigned char* data, unsigned long length, unsigned char* digest)
{
    Sha256Context context;
    context.Update(data, length);
    context.Final(digest);
}

void Sha256File(const std::string& path, unsigned char* digest)
{
    std::memset(digest, 0, SHA256_DIGEST_LEN);
    FILE* file = nullptr;
    if (CommonUtil::IsRegularFile(path)) {
        Common::fopen_s(&file, path.c_str(), "rb");
    }
    if (file == nullptr) {
        return;
    }
    Sha256Context context;
    unsigned char piece[FILE_PIECE_LEN];
    for (size_t got = std::fread(piece, 1, sizeof(piece), file); got > 0;
         got = std::fread(piece, 1, sizeof(piece), file)) {
        context.Update(piece, got);
    }
    // A read error (a directory, for one) would give the digest of a truncated file: leave zeros instead.
    if (std::ferror(file) == 0) {
        context.Final(digest);
    }
    std::fclose(file);
}

}  // namespace Sha256Util
