#ifndef PLOVERN_FAILURE_H
#define PLOVERN_FAILURE_H

#include <QString>

#include <cstdint>
#include <exception>
#include <string>

// The one exception type of the program. Every step that can fail, in the
// engine as well as in the platform layer, throws a Failure carrying a signed
// 32-bit number and a description; the windows' common error report shows
// both ("Oh no!  Error : #<number> : <description>").
class Failure : public std::exception
{
public:
    Failure(std::int32_t number, QString description);

    std::int32_t number() const noexcept { return m_number; }
    const QString& description() const noexcept { return m_description; }
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    std::int32_t m_number;
    QString m_description;
    std::string m_what;
};

#endif // PLOVERN_FAILURE_H
