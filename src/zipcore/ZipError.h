#ifndef PLOVERN_ZIPCORE_ZIPERROR_H
#define PLOVERN_ZIPCORE_ZIPERROR_H

#include <exception>
#include <string>

namespace zipcore {

// What went wrong, as a plain code. The engine turns each code into one of
// its failure numbers and the self-extractors into their own messages; the
// core itself never decides how a failure is shown.
enum class ZipErrc {
    NotAnArchive,         // no end-of-central-directory record
    Damaged,              // the archive's records contradict themselves or the file
    ReadFailed,           // reading the archive failed (sysError says why)
    UnsafeName,           // absolute, drive letter, "..", NUL, empty or overlong
    LinkOutside,          // a link entry whose target leads outside the target folder
    PathThroughLink,      // the path passes through a link leading outside, or through a link entry
    Encrypted,            // encrypted entry, without a password to try (or strong encryption)
    WrongPassword,        // the encryption header rejects the password
    PasswordDataMismatch, // the password passed the header, but the data's check (HMAC or CRC) failed
    NoPassword,           // the password source gave none (the user cancelled)
    UnsupportedMethod,    // a compression method the reader cannot decode
    CorruptEntry,         // data, size, CRC or link target do not match
    CannotCreateFolder,   // a folder below (or of) the target could not be made
    CannotWrite,          // a file or link could not be written
};

// The cause of an Encrypted failure for an entry that only needs a password.
inline constexpr char EncryptedCause[] = "it is encrypted";

// A failure of the core: the code, what it concerns (an entry name, a path
// below the target folder, "name -> target" for a link) and the cause in
// words. `sysError` is the errno value behind it, or 0.
class ZipError : public std::exception
{
public:
    ZipError(ZipErrc code, std::string subject, std::string cause, int sysError = 0)
        : m_code(code)
        , m_subject(std::move(subject))
        , m_cause(std::move(cause))
        , m_sysError(sysError)
        , m_what(m_subject + ": " + m_cause)
    {}

    ZipErrc code() const noexcept { return m_code; }
    const std::string& subject() const noexcept { return m_subject; }
    const std::string& cause() const noexcept { return m_cause; }
    int sysError() const noexcept { return m_sysError; }
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    ZipErrc m_code;
    std::string m_subject;
    std::string m_cause;
    int m_sysError;
    std::string m_what;
};

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_ZIPERROR_H
