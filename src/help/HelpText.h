#ifndef PLOVERN_HELPTEXT_H
#define PLOVERN_HELPTEXT_H

#include <QString>

namespace HelpText {
// The instructions, one string whose line breaks are CR LF.
QString compose();
} // namespace HelpText

#endif // PLOVERN_HELPTEXT_H
