#ifndef PLOVERN_ZIPCORE_ENTRYDECRYPTION_H
#define PLOVERN_ZIPCORE_ENTRYDECRYPTION_H

#include "PasswordSource.h"
#include "ZipDirectory.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zipcore {

// How an entry's data is encrypted, from its flags and extra fields.
struct Encryption
{
    enum class Kind {
        None,
        Traditional, // PKWARE's original stream cipher ("ZipCrypto")
        Aes,         // WinZip AES: method 99 with the 0x9901 extra field
        Strong,      // PKWARE strong encryption, which nothing here decodes
    };
    Kind kind = Kind::None;
    std::uint16_t method = 0; // the compression method of the data inside
    unsigned keySize = 0;     // AES: 16, 24 or 32 bytes
    bool checksCrc = true;    // AE-2 leaves the CRC out (the code covers the data)
    std::string problem;      // why the entry cannot be decrypted, when it cannot

    // Bytes of the entry's data before and after the encrypted payload.
    std::size_t headerSize() const;
    std::size_t trailerSize() const;
};

Encryption encryptionOf(const Entry& entry);

// Decrypts one entry's data in place as it passes, in pieces of any size,
// and checks the password against the encryption header as soon as the
// header has passed. The AES authentication code is checked by finish(),
// over everything fed before. Throws ZipError WrongPassword when the header
// rejects the password, and PasswordDataMismatch when the code does not
// match (a wrong password that passed the header's check, or damaged data).
class EntryDecryption
{
public:
    struct Span
    {
        unsigned char* data = nullptr;
        std::size_t size = 0;
    };

    EntryDecryption(const Entry& entry, const Encryption& encryption, const std::string& password);
    ~EntryDecryption();
    EntryDecryption(const EntryDecryption&) = delete;
    EntryDecryption& operator=(const EntryDecryption&) = delete;

    // Takes the next `size` raw bytes of the entry's data and returns the
    // decrypted payload among them (a part of the same buffer, possibly
    // empty); the header and the trailing code are kept aside.
    Span feed(unsigned char* data, std::size_t size);
    // After the last byte of the entry's data.
    void finish();

    const Encryption& encryption() const { return m_encryption; }

private:
    class Traditional;
    class Aes;
    void startPayload();

    const Entry& m_entry;
    Encryption m_encryption;
    std::string m_password;
    std::uint64_t m_fed = 0;
    std::uint64_t m_payloadEnd = 0; // where the trailer starts
    std::string m_header;
    std::string m_trailer;
    std::unique_ptr<Traditional> m_traditional;
    std::unique_ptr<Aes> m_aes;
};

// The password of one extraction. The password given last is tried first on
// every encrypted entry; the source is asked when there is none yet, and
// again (saying the last one was wrong) when it does not fit.
class ActionPassword
{
public:
    explicit ActionPassword(PasswordSource& source);

    // Calls write(password) for `entry` until it does not throw
    // WrongPassword or PasswordDataMismatch; a failed write must leave
    // nothing of the entry behind. Throws ZipError NoPassword when the source
    // gives none, and CorruptEntry when the same password fails the data
    // check twice (the password fits, so the data is damaged).
    void write(const Entry& entry, const std::function<void(const std::string& password)>& write);

private:
    PasswordSource& m_source;
    std::string m_password;
    bool m_known = false;
};

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_ENTRYDECRYPTION_H
