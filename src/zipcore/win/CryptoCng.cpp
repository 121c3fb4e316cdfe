#include "Crypto.h"

#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

// <bcrypt.h> needs the types of <windows.h> first.
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

// The primitives through Windows' own CNG (bcrypt.dll), so that the runtime
// carries no cryptography of its own. The algorithm providers are opened
// once and kept for the life of the process: opening one is far slower than
// a whole small entry, and CNG allows one provider to serve several threads.
namespace zipcore::crypto {

namespace {

bool succeeded(NTSTATUS status)
{
    return status >= 0;
}

[[noreturn]] void fail(const char* what, NTSTATUS status)
{
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
    throw std::runtime_error(std::string("Windows' cryptography (bcrypt) failed to ") + what + ": status " + code);
}

void check(NTSTATUS status, const char* what)
{
    if (!succeeded(status))
        fail(what, status);
}

ULONG size32(std::size_t size)
{
    if (size > std::numeric_limits<ULONG>::max())
        throw std::length_error("a cryptographic input of more than 4 GiB");
    return static_cast<ULONG>(size);
}

// CNG takes non-const buffers even where it only reads them.
PUCHAR bytes(const void* data)
{
    return static_cast<PUCHAR>(const_cast<void*>(data));
}

class Provider
{
public:
    Provider(const wchar_t* algorithm, ULONG flags, const wchar_t* chaining)
    {
        const NTSTATUS status = ::BCryptOpenAlgorithmProvider(&m_handle, algorithm, nullptr, flags);
        if (!succeeded(status)) {
            m_handle = nullptr;
            m_status = status;
            return;
        }
        if (chaining) {
            m_status = ::BCryptSetProperty(
                m_handle, BCRYPT_CHAINING_MODE, bytes(chaining),
                static_cast<ULONG>((std::char_traits<wchar_t>::length(chaining) + 1) * sizeof(wchar_t)), 0);
        }
    }
    ~Provider()
    {
        if (m_handle)
            ::BCryptCloseAlgorithmProvider(m_handle, 0);
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

    BCRYPT_ALG_HANDLE get(const char* what) const
    {
        if (!m_handle || !succeeded(m_status))
            fail(what, m_status);
        return m_handle;
    }

private:
    BCRYPT_ALG_HANDLE m_handle = nullptr;
    NTSTATUS m_status = 0;
};

BCRYPT_ALG_HANDLE hmacSha1Provider()
{
    static const Provider provider(BCRYPT_SHA1_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG, nullptr);
    return provider.get("open HMAC-SHA1");
}

BCRYPT_ALG_HANDLE aesEcbProvider()
{
    static const Provider provider(BCRYPT_AES_ALGORITHM, 0, BCRYPT_CHAIN_MODE_ECB);
    return provider.get("open AES");
}

} // namespace

void pbkdf2HmacSha1(const std::string& password, const unsigned char* salt, std::size_t saltSize, unsigned rounds,
                    unsigned char* out, std::size_t outSize)
{
    // An empty password still needs a valid pointer.
    unsigned char none = 0;
    PUCHAR secret = password.empty() ? &none : bytes(password.data());
    check(::BCryptDeriveKeyPBKDF2(hmacSha1Provider(), secret, size32(password.size()), bytes(salt), size32(saltSize),
                                  rounds, out, size32(outSize), 0),
          "derive a key");
}

struct AesBlockCipher::State
{
    BCRYPT_KEY_HANDLE key = nullptr;
};

AesBlockCipher::AesBlockCipher(const unsigned char* key, std::size_t keySize)
    : m_state(new State)
{
    if (keySize != 16 && keySize != 24 && keySize != 32)
        throw std::invalid_argument("an AES key must be 16, 24 or 32 bytes");
    // With no buffer given, CNG keeps the key object itself.
    check(::BCryptGenerateSymmetricKey(aesEcbProvider(), &m_state->key, nullptr, 0, bytes(key), size32(keySize), 0),
          "make an AES key");
}

AesBlockCipher::~AesBlockCipher()
{
    if (m_state->key)
        ::BCryptDestroyKey(m_state->key);
}

void AesBlockCipher::encrypt(const unsigned char* in, unsigned char* out, std::size_t blocks)
{
    if (blocks == 0)
        return;
    const ULONG size = size32(blocks * BlockSize);
    ULONG written = 0;
    check(::BCryptEncrypt(m_state->key, bytes(in), size, nullptr, nullptr, 0, out, size, &written, 0), "encrypt");
    if (written != size)
        fail("encrypt whole blocks", 0);
}

struct HmacSha1::State
{
    BCRYPT_HASH_HANDLE hash = nullptr;
};

HmacSha1::HmacSha1(const unsigned char* key, std::size_t keySize)
    : m_state(new State)
{
    unsigned char none = 0;
    check(::BCryptCreateHash(hmacSha1Provider(), &m_state->hash, nullptr, 0, keySize ? bytes(key) : &none,
                             size32(keySize), 0),
          "start HMAC-SHA1");
}

HmacSha1::~HmacSha1()
{
    if (m_state->hash)
        ::BCryptDestroyHash(m_state->hash);
}

void HmacSha1::update(const unsigned char* data, std::size_t size)
{
    // Pieces beyond what one call takes go in several calls.
    while (size > 0) {
        const std::size_t piece = size < (1u << 30) ? size : (1u << 30);
        check(::BCryptHashData(m_state->hash, bytes(data), static_cast<ULONG>(piece), 0), "hash");
        data += piece;
        size -= piece;
    }
}

void HmacSha1::finish(unsigned char digest[DigestSize])
{
    check(::BCryptFinishHash(m_state->hash, digest, DigestSize, 0), "finish HMAC-SHA1");
}

} // namespace zipcore::crypto
