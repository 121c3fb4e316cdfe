#include "QtPlatform.h"

#include "PlatformErrors.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QWidget>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An open file descriptor that is closed when it goes out of scope, so that
// no failure path can leak it. close() closes it early, for callers that must
// know whether the close itself failed.
class OwnedDescriptor
{
public:
    explicit OwnedDescriptor(int fd)
        : m_fd(fd)
    {}
    ~OwnedDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int get() const { return m_fd; }
    // Closes the descriptor; returns 0, or the errno of a failed close. The
    // descriptor is given up either way: a failed close must not be retried.
    int close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int m_fd;
};

} // namespace

QWidget* QtPlatform::dialogParent() const
{
    QWidget* active = QApplication::activeWindow();
    if (active && active->isVisible())
        return active;
    return m_mainWindow && m_mainWindow->isVisible() ? m_mainWindow : nullptr;
}

int QtPlatform::titleBarWidth(const QString& title)
{
    // Title bars mostly use a bold face of about the application's size.
    QFont font = QApplication::font("QMdiSubWindowTitleBar");
    font.setBold(true);
    const QFontMetrics metrics(font);
    // Room for the window icon and three buttons, each about a line square,
    // and the gaps around them.
    return metrics.horizontalAdvance(title) + 6 * metrics.height();
}

void QtPlatform::messageBox(const QString& text, const QString& title)
{
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, dialogParent());
    // The box sizes itself to its layout, which this spacer widens enough for
    // the title; a short text no longer cuts it.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        const QMargins margins = grid->contentsMargins();
        const int width = titleBarWidth(title) - margins.left() - margins.right();
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Minimum), grid->rowCount(), 0, 1,
                      grid->columnCount());
    }
    box.exec();
}

QString QtPlatform::inputBox(const QString& prompt, const QString& title)
{
    QInputDialog dialog(dialogParent());
    dialog.setWindowTitle(title);
    dialog.setLabelText(prompt);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setMinimumWidth(titleBarWidth(title));
    return dialog.exec() == QDialog::Accepted ? dialog.textValue() : QString();
}

QStringList QtPlatform::nameFilters(const QString& filter)
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString description = parts.at(i);
        const QString pattern = parts.at(i + 1);
        // Qt reads the patterns from the last parenthesised group.
        if (description.endsWith(QLatin1Char('(') + pattern + QLatin1Char(')')))
            filters << description;
        else
            filters << description + QLatin1String(" (") + pattern + QLatin1Char(')');
    }
    return filters;
}

QString QtPlatform::runFileDialog(const FileDialogRequest& request, bool save)
{
    QFileDialog dialog(dialogParent(), request.title);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    // The classic dialogs asked no overwrite question unless told to.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    const QStringList filters = nameFilters(request.filter);
    if (!filters.isEmpty()) {
        dialog.setNameFilters(filters);
        const int index = std::clamp(request.filterIndex, 1, int(filters.size()));
        dialog.selectNameFilter(filters.at(index - 1));
    }
    if (!request.fileName.isEmpty())
        dialog.selectFile(request.fileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        if (request.cancelError)
            throw PlatformError::failure(PlatformError::Cancelled);
        return QString();
    }
    return QDir::toNativeSeparators(dialog.selectedFiles().constFirst());
}

QString QtPlatform::openFileDialog(const FileDialogRequest& request)
{
    return runFileDialog(request, false);
}

QString QtPlatform::saveFileDialog(const FileDialogRequest& request)
{
    return runFileDialog(request, true);
}

void QtPlatform::beep()
{
    QApplication::beep();
}

namespace {

// Waits half a second before showing itself, so that short work shows
// nothing; until then only paint and timer events are handled. Once shown it
// is application modal, so that clicks reach only its Stop button.
class QtProgressWindow : public ProgressWindow
{
public:
    QtProgressWindow(QWidget* parent, const QString& title)
        : m_parent(parent)
        , m_title(title)
    {
        m_started.start();
    }
    ~QtProgressWindow() override { delete m_dialog; }

    bool update(const QString& text, int percent) override
    {
        if (!m_dialog && m_started.elapsed() >= 500) {
            m_dialog = new QProgressDialog(text, QStringLiteral("Stop"), 0, 100, m_parent);
            m_dialog->setWindowTitle(m_title);
            m_dialog->setWindowModality(Qt::ApplicationModal);
            m_dialog->setAutoClose(false);
            m_dialog->setAutoReset(false);
            m_dialog->setMinimumDuration(0);
            m_dialog->setMinimumWidth(420);
            m_dialog->show();
        }
        // Many small files give many updates: the windows are served at
        // most every 30 ms.
        if (m_pumped.isValid() && m_pumped.elapsed() < 30)
            return !(m_dialog && m_dialog->wasCanceled());
        m_pumped.start();
        if (!m_dialog) {
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            return true;
        }
        m_dialog->setLabelText(text);
        m_dialog->setValue(qBound(0, percent, 100));
        QCoreApplication::processEvents();
        return !m_dialog->wasCanceled();
    }

private:
    QPointer<QWidget> m_parent;
    QString m_title;
    QElapsedTimer m_started;
    QElapsedTimer m_pumped;
    QPointer<QProgressDialog> m_dialog;
};

} // namespace

std::unique_ptr<ProgressWindow> QtPlatform::startProgress(QWidget* window, const QString& title)
{
    return std::make_unique<QtProgressWindow>(window ? window : dialogParent(), title);
}

void QtPlatform::setBusyPointer(QWidget* window, bool busy)
{
    if (!window)
        return;
    if (busy)
        window->setCursor(Qt::WaitCursor);
    else
        window->unsetCursor();
}

void QtPlatform::endProgram()
{
    QCoreApplication::exit(0);
}

bool QtPlatform::fileExists(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() && info.isFile() && !info.isHidden();
}

void QtPlatform::deleteFile(const QString& path)
{
    if (::unlink(QFile::encodeName(path).constData()) != 0)
        throw PlatformError::fromErrno(errno == ENOENT ? ENOENT : errno);
}

void QtPlatform::writeFile(const QString& path, const QByteArray& bytes)
{
    OwnedDescriptor file(::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!file.isOpen())
        throw PlatformError::fromErrno(errno);
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(file.get(), bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            throw PlatformError::fromErrno(error);
        }
        written += n;
    }
    if (const int error = file.close())
        throw PlatformError::fromErrno(error);
}

void QtPlatform::createFolder(const QString& path)
{
    if (::mkdir(QFile::encodeName(path).constData(), 0777) != 0)
        throw PlatformError::fromErrno(errno);
}

void QtPlatform::changeCurrentFolder(const QString& path)
{
    if (path.isEmpty() || ::chdir(QFile::encodeName(path).constData()) != 0)
        throw PlatformError::fromErrno(path.isEmpty() ? ENOENT : errno);
    m_driveFolders.remember(QDir::currentPath());
}
