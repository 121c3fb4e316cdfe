#ifndef PLOVERN_ZIPCORE_CRYPTO_H
#define PLOVERN_ZIPCORE_CRYPTO_H

#include <cstddef>
#include <memory>
#include <string>

// The few primitives WinZip AES encryption needs, from a well-kept library:
// Nettle on Linux, Windows' own CNG (bcrypt) in the Windows runtime. The zip
// side (key layout, the little-endian counter, the password check, the
// authentication code) is built on top of these in the zip core.
namespace zipcore::crypto {

// PBKDF2 with HMAC-SHA1: `outSize` bytes derived from `password` and `salt`.
void pbkdf2HmacSha1(const std::string& password, const unsigned char* salt, std::size_t saltSize, unsigned rounds,
                    unsigned char* out, std::size_t outSize);

// AES encryption of whole 16-byte blocks, each on its own (the counter
// blocks of WinZip's counter mode). Keys are 16, 24 or 32 bytes.
class AesBlockCipher
{
public:
    static constexpr std::size_t BlockSize = 16;

    AesBlockCipher(const unsigned char* key, std::size_t keySize);
    ~AesBlockCipher();
    AesBlockCipher(const AesBlockCipher&) = delete;
    AesBlockCipher& operator=(const AesBlockCipher&) = delete;

    // Encrypts `blocks` blocks from `in` to `out` (which may be the same).
    void encrypt(const unsigned char* in, unsigned char* out, std::size_t blocks);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// HMAC-SHA1 over data given in pieces.
class HmacSha1
{
public:
    static constexpr std::size_t DigestSize = 20;

    HmacSha1(const unsigned char* key, std::size_t keySize);
    ~HmacSha1();
    HmacSha1(const HmacSha1&) = delete;
    HmacSha1& operator=(const HmacSha1&) = delete;

    void update(const unsigned char* data, std::size_t size);
    void finish(unsigned char digest[DigestSize]);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace zipcore::crypto

#endif // PLOVERN_ZIPCORE_CRYPTO_H
