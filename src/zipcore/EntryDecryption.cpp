#include "EntryDecryption.h"

#include "Crypto.h"
#include "ZipError.h"
#include "ZipFormat.h"
#include "ZipRecords.h"

#include <algorithm>
#include <cstring>
#include <zlib.h>

namespace zipcore {

namespace {

constexpr std::uint16_t FlagStrongEncryption = 0x0040;
constexpr std::uint16_t FlagMaskedHeader = 0x2000; // the central directory is encrypted
constexpr std::uint16_t StrongEncryptionId = 0x0017;
constexpr std::uint16_t AesExtraId = 0x9901;

constexpr std::size_t TraditionalHeader = 12;
constexpr std::size_t AesVerifierSize = 2;
constexpr std::size_t AesCodeSize = 10;
constexpr unsigned AesRounds = 1000;

} // namespace

std::size_t Encryption::headerSize() const
{
    switch (kind) {
        case Kind::Traditional: return TraditionalHeader;
        case Kind::Aes: return keySize / 2 + AesVerifierSize; // the salt is half the key
        default: return 0;
    }
}

std::size_t Encryption::trailerSize() const
{
    return kind == Kind::Aes ? AesCodeSize : 0;
}

Encryption encryptionOf(const Entry& entry)
{
    Encryption result;
    result.method = entry.method;
    const auto* extra = reinterpret_cast<const unsigned char*>(entry.extra.data());
    const unsigned char* payload = nullptr;
    std::size_t length = 0;
    if (!entry.encrypted())
        return result;
    if ((entry.flags & (FlagStrongEncryption | FlagMaskedHeader))
        || findExtra(extra, entry.extra.size(), StrongEncryptionId, &payload, &length)) {
        result.kind = Encryption::Kind::Strong;
        result.problem = "it uses PKWARE strong encryption, which this program cannot decrypt";
        return result;
    }
    if (entry.method != MethodAes) {
        result.kind = Encryption::Kind::Traditional;
        return result;
    }
    result.kind = Encryption::Kind::Aes;
    if (!findExtra(extra, entry.extra.size(), AesExtraId, &payload, &length) || length < 7 || payload[2] != 'A'
        || payload[3] != 'E') {
        result.problem = "its AES extra field is missing or damaged";
        return result;
    }
    const std::uint16_t version = get16(payload);
    const unsigned strength = payload[4];
    if ((version != 1 && version != 2) || strength < 1 || strength > 3) {
        result.problem = "it uses an unknown kind of AES encryption";
        return result;
    }
    result.checksCrc = version == 1;
    result.keySize = 8 + 8 * strength;
    result.method = get16(payload + 5);
    return result;
}

// PKWARE's original cipher: three keys stirred by every plain byte.
class EntryDecryption::Traditional
{
public:
    explicit Traditional(const std::string& password)
        : m_table(get_crc_table())
    {
        for (const char c : password)
            update(static_cast<unsigned char>(c));
    }

    void decrypt(unsigned char* data, std::size_t size)
    {
        for (std::size_t i = 0; i < size; ++i) {
            const unsigned temp = (m_keys[2] | 2) & 0xffff;
            data[i] ^= static_cast<unsigned char>((temp * (temp ^ 1)) >> 8);
            update(data[i]);
        }
    }

private:
    std::uint32_t crc(std::uint32_t value, unsigned char c) const
    {
        return (value >> 8) ^ static_cast<std::uint32_t>(m_table[(value ^ c) & 0xff]);
    }

    void update(unsigned char c)
    {
        m_keys[0] = crc(m_keys[0], c);
        m_keys[1] = (m_keys[1] + (m_keys[0] & 0xff)) * 134775813u + 1;
        m_keys[2] = crc(m_keys[2], static_cast<unsigned char>(m_keys[1] >> 24));
    }

    const z_crc_t* m_table;
    std::uint32_t m_keys[3] = {0x12345678u, 0x23456789u, 0x34567890u};
};

// WinZip's AES: keys from PBKDF2, counter mode with a little-endian counter
// from 1, HMAC-SHA1 over the encrypted data.
class EntryDecryption::Aes
{
public:
    Aes(const unsigned char* key, std::size_t keySize, const unsigned char* macKey)
        : m_cipher(key, keySize)
        , m_mac(macKey, keySize)
    {}

    void decrypt(unsigned char* data, std::size_t size)
    {
        m_mac.update(data, size);
        for (std::size_t i = 0; i < size;) {
            if (m_used == sizeof m_stream)
                refill();
            const std::size_t n = std::min(size - i, sizeof m_stream - m_used);
            for (std::size_t k = 0; k < n; ++k)
                data[i + k] ^= m_stream[m_used + k];
            m_used += n;
            i += n;
        }
    }

    bool codeMatches(const unsigned char* code)
    {
        unsigned char digest[crypto::HmacSha1::DigestSize];
        m_mac.finish(digest);
        return std::memcmp(digest, code, AesCodeSize) == 0;
    }

private:
    static constexpr std::size_t Blocks = 64;

    void refill()
    {
        for (std::size_t b = 0; b < Blocks; ++b) {
            ++m_counter;
            unsigned char* block = m_stream + b * crypto::AesBlockCipher::BlockSize;
            put64(block, m_counter);
            std::memset(block + 8, 0, 8);
        }
        m_cipher.encrypt(m_stream, m_stream, Blocks);
        m_used = 0;
    }

    crypto::AesBlockCipher m_cipher;
    crypto::HmacSha1 m_mac;
    std::uint64_t m_counter = 0;
    unsigned char m_stream[Blocks * crypto::AesBlockCipher::BlockSize] = {};
    std::size_t m_used = sizeof m_stream;
};

EntryDecryption::EntryDecryption(const Entry& entry, const Encryption& encryption, const std::string& password)
    : m_entry(entry)
    , m_encryption(encryption)
    , m_password(password)
{
    const std::uint64_t overhead = encryption.headerSize() + encryption.trailerSize();
    if (entry.compressedSize < overhead)
        throw ZipError(ZipErrc::CorruptEntry, entry.name, "its encryption header is missing");
    m_payloadEnd = entry.compressedSize - encryption.trailerSize();
}

EntryDecryption::~EntryDecryption() = default;

EntryDecryption::Span EntryDecryption::feed(unsigned char* data, std::size_t size)
{
    const std::size_t headerSize = m_encryption.headerSize();
    // The header, which may come in several pieces.
    if (m_header.size() < headerSize) {
        const std::size_t n = std::min(size, headerSize - m_header.size());
        m_header.append(reinterpret_cast<const char*>(data), n);
        data += n;
        size -= n;
        m_fed += n;
        if (m_header.size() == headerSize)
            startPayload();
    }
    // The payload, then the trailing code.
    const auto payload =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, m_payloadEnd - std::min(m_payloadEnd, m_fed)));
    if (payload > 0) {
        if (m_aes)
            m_aes->decrypt(data, payload);
        else
            m_traditional->decrypt(data, payload);
    }
    const std::size_t rest = size - payload;
    m_trailer.append(
        reinterpret_cast<const char*>(data + payload),
        std::min(rest, m_encryption.trailerSize() - std::min(m_encryption.trailerSize(), m_trailer.size())));
    m_fed += size;
    return Span{data, payload};
}

void EntryDecryption::startPayload()
{
    auto* header = reinterpret_cast<unsigned char*>(&m_header[0]);
    if (m_encryption.kind == Encryption::Kind::Traditional) {
        m_traditional = std::make_unique<Traditional>(m_password);
        m_traditional->decrypt(header, TraditionalHeader);
        // The last header byte repeats the CRC's high byte, or the time's
        // when the CRC follows the data.
        const unsigned expected =
            (m_entry.flags & FlagDataDescriptor) ? (m_entry.dosTime >> 8) & 0xff : (m_entry.crc >> 24) & 0xff;
        if (header[TraditionalHeader - 1] != expected)
            throw ZipError(ZipErrc::WrongPassword, m_entry.name, "wrong password");
        return;
    }
    const std::size_t keySize = m_encryption.keySize;
    unsigned char keys[2 * 32 + AesVerifierSize];
    crypto::pbkdf2HmacSha1(m_password, header, keySize / 2, AesRounds, keys, 2 * keySize + AesVerifierSize);
    if (std::memcmp(keys + 2 * keySize, header + keySize / 2, AesVerifierSize) != 0)
        throw ZipError(ZipErrc::WrongPassword, m_entry.name, "wrong password");
    m_aes = std::make_unique<Aes>(keys, keySize, keys + keySize);
}

void EntryDecryption::finish()
{
    if (m_fed != m_entry.compressedSize || m_header.size() < m_encryption.headerSize())
        throw ZipError(ZipErrc::CorruptEntry, m_entry.name, "its encrypted data ends early");
    if (m_aes && !m_aes->codeMatches(reinterpret_cast<const unsigned char*>(m_trailer.data())))
        throw ZipError(ZipErrc::PasswordDataMismatch, m_entry.name,
                       "the authentication code does not match: wrong password or damaged data");
}

ActionPassword::ActionPassword(PasswordSource& source)
    : m_source(source)
{}

void ActionPassword::write(const Entry& entry, const std::function<void(const std::string& password)>& write)
{
    bool wrong = false;
    // A password that passed the header's check but not the data's; given
    // again, it means damaged data rather than a wrong password.
    std::string dataFailed;
    std::string dataCause;
    for (;;) {
        if (!m_known || wrong) {
            std::string password;
            if (!m_source.ask(entry.name, wrong, password))
                throw ZipError(ZipErrc::NoPassword, entry.name, "no password was given");
            if (!dataCause.empty() && password == dataFailed)
                throw ZipError(ZipErrc::CorruptEntry, entry.name, dataCause);
            m_password = std::move(password);
            m_known = true;
        }
        try {
            write(m_password);
            return;
        } catch (const ZipError& error) {
            if (error.code() == ZipErrc::PasswordDataMismatch) {
                dataFailed = m_password;
                dataCause = error.cause();
            } else if (error.code() != ZipErrc::WrongPassword) {
                throw;
            }
            wrong = true;
        }
    }
}

} // namespace zipcore
