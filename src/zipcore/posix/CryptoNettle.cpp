#include "Crypto.h"

#include <cstdint>
#include <nettle/aes.h>
#include <nettle/hmac.h>
#include <nettle/pbkdf2.h>
#include <stdexcept>

// The primitives from Nettle. Nettle picks the processor's AES and SHA
// instructions at run time where the build allows it.
namespace zipcore::crypto {

void pbkdf2HmacSha1(const std::string& password, const unsigned char* salt, std::size_t saltSize, unsigned rounds,
                    unsigned char* out, std::size_t outSize)
{
    pbkdf2_hmac_sha1(password.size(), reinterpret_cast<const std::uint8_t*>(password.data()), rounds, saltSize, salt,
                     outSize, out);
}

struct AesBlockCipher::State
{
    std::size_t keySize = 0;
    union
    {
        aes128_ctx k128;
        aes192_ctx k192;
        aes256_ctx k256;
    } ctx{};
};

AesBlockCipher::AesBlockCipher(const unsigned char* key, std::size_t keySize)
    : m_state(std::make_unique<State>())
{
    m_state->keySize = keySize;
    switch (keySize) {
        case AES128_KEY_SIZE: aes128_set_encrypt_key(&m_state->ctx.k128, key); break;
        case AES192_KEY_SIZE: aes192_set_encrypt_key(&m_state->ctx.k192, key); break;
        case AES256_KEY_SIZE: aes256_set_encrypt_key(&m_state->ctx.k256, key); break;
        default: throw std::invalid_argument("AES keys are 16, 24 or 32 bytes");
    }
}

AesBlockCipher::~AesBlockCipher() = default;

void AesBlockCipher::encrypt(const unsigned char* in, unsigned char* out, std::size_t blocks)
{
    const std::size_t length = blocks * BlockSize;
    switch (m_state->keySize) {
        case AES128_KEY_SIZE: aes128_encrypt(&m_state->ctx.k128, length, out, in); break;
        case AES192_KEY_SIZE: aes192_encrypt(&m_state->ctx.k192, length, out, in); break;
        default: aes256_encrypt(&m_state->ctx.k256, length, out, in); break;
    }
}

struct HmacSha1::State
{
    hmac_sha1_ctx ctx{};
};

HmacSha1::HmacSha1(const unsigned char* key, std::size_t keySize)
    : m_state(std::make_unique<State>())
{
    hmac_sha1_set_key(&m_state->ctx, keySize, key);
}

HmacSha1::~HmacSha1() = default;

void HmacSha1::update(const unsigned char* data, std::size_t size)
{
    hmac_sha1_update(&m_state->ctx, size, data);
}

void HmacSha1::finish(unsigned char digest[DigestSize])
{
    hmac_sha1_digest(&m_state->ctx, DigestSize, digest);
}

} // namespace zipcore::crypto
