#ifndef VEXIL_CLI_SHA256UTIL_H
#define VEXIL_CLI_SHA256UTIL_H

#include <cstdint>
#include <string>

constexpr unsigned int SHA256_DIGEST_LEN = 32;
constexpr unsigned int SHA256_BLOCK_LEN = 64;

// Streaming SHA-256 (FIPS 180-4); fixed size, allocates nothing.
class Sha256Context {
public:
    Sha256Context() { Init(); }

    void Init();
    void Update(const unsigned char* data, unsigned long length);
    // Writes the 32-byte digest; the context takes no further input afterwards.
    void Final(unsigned char* digest);
    void ProcessBlock(const unsigned char* block);

private:
    uint32_t state[8];
    unsigned char buffer[SHA256_BLOCK_LEN];
    uint64_t total;
};

namespace Sha256Util {

void Sha256(const unsigned char* data, unsigned long length, unsigned char* digest);
// A file that cannot be read gives 32 zero bytes.
void Sha256File(const std::string& path, unsigned char* digest);

}  // namespace Sha256Util

#endif
