#ifndef PLOVERN_SELFEXTRACTORBUILDER_H
#define PLOVERN_SELFEXTRACTORBUILDER_H

#include <QString>

class WorkingState;

// "Make current file self-extracting": asks for the closing message, the
// default folder, the executable to write and an optional program to run
// afterwards, writes the message to "finalmsg.txt" in the current folder and
// has the main window's engine build the self-extractor from the current
// archive. After a success the main window has no current archive.
class SelfExtractorBuilder
{
public:
    // The maker's web address, shown in the default closing message.
    static const QString MakerWebAddress;
    // The closing message used when the user types none.
    static QString defaultMessage();
    // The message file's exact bytes: the message in the locale's encoding,
    // 200 spaces, CR LF.
    static QByteArray messageFileContent(const QString& message);
    // The save dialog's filters: which kind of self-extractor to make.
    static constexpr int WindowsFilter = 1;
    static constexpr int LinuxFilter = 2;

    explicit SelfExtractorBuilder(WorkingState& state);
    void run();

private:
    // Has the main window's engine write the self-extractor of the current
    // archive, offering `folder`, with the message file already written.
    void build(const QString& folder);

    WorkingState& m_main;
};

#endif // PLOVERN_SELFEXTRACTORBUILDER_H
