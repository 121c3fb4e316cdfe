#include "Failure.h"

#include <utility>

Failure::Failure(std::int32_t number, QString description)
    : m_number(number)
    , m_description(std::move(description))
    , m_what(std::to_string(number) + ": " + m_description.toStdString())
{}
