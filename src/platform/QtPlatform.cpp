#include "QtPlatform.h"

#include "PlatformErrors.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QScreen>
#include <QVBoxLayout>
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

QWidget* QtPlatform::dialogParent(QWidget* window) const
{
    // The window that asked, where it is on screen: the active window may be
    // none for a moment (a progress window has just gone) or another one.
    if (window && window->window()->isVisible())
        return window->window();
    QWidget* active = QApplication::activeWindow();
    if (active && active->isVisible())
        return active;
    return m_mainWindow && m_mainWindow->isVisible() ? m_mainWindow : nullptr;
}

int QtPlatform::titleBarWidth(const QString& title)
{
    // The window manager's title font cannot be asked for: title bars mostly
    // use a bold face somewhat larger than the application's, so measure
    // generously (a box a little wide costs nothing, a cut title the message).
    QFont font = QApplication::font("QMdiSubWindowTitleBar");
    font.setBold(true);
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * 1.2);
    const QFontMetrics metrics(font);
    // Room for the window icon and three buttons, each about a line square,
    // and the gaps around them.
    return metrics.horizontalAdvance(title) + 8 * metrics.height();
}

QString QtPlatform::breakPathsAtSeparators(const QString& text)
{
    const QChar zeroWidthSpace(0x200B); // a line may break here
    const QChar wordJoiner(0x2060);     // a line must not break here
    QString shown;
    shown.reserve(text.size() + text.size() / 4);
    bool inPath = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isSpace())
            inPath = false;
        else if (c == QLatin1Char('/'))
            inPath = true;
        shown += c;
        const bool more = i + 1 < text.size() && !text.at(i + 1).isSpace();
        if (!inPath || !more)
            continue;
        if (c == QLatin1Char('/'))
            shown += zeroWidthSpace;
        else if (c == QLatin1Char('-') || c == QChar(0x2010))
            shown += wordJoiner;
    }
    return shown;
}

namespace {

// Qt's message box sizes itself from its text alone, when shown and again
// whenever its layout changes; this one then widens to `minimumWidth`, so
// that the window manager's title bar shows the whole title.
class TitledMessageBox : public QMessageBox
{
public:
    TitledMessageBox(const QString& text, const QString& title, int minimumWidth, QWidget* parent)
        : QMessageBox(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent)
        , m_minimumWidth(minimumWidth)
    {}

protected:
    bool event(QEvent* event) override
    {
        const bool handled = QMessageBox::event(event);
        if (width() < m_minimumWidth && isVisible())
            setFixedWidth(m_minimumWidth);
        return handled;
    }

private:
    int m_minimumWidth;
};

} // namespace

void QtPlatform::messageBox(const QString& text, const QString& title, QWidget* window)
{
    QWidget* parent = dialogParent(window);
    const QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
    int width = titleBarWidth(title);
    if (screen)
        width = std::min(width, screen->availableGeometry().width());
    TitledMessageBox box(breakPathsAtSeparators(text), title, width, parent);
    box.exec();
}

QString QtPlatform::inputBox(const QString& prompt, const QString& title, QWidget* window)
{
    QInputDialog dialog(dialogParent(window));
    dialog.setWindowTitle(title);
    dialog.setLabelText(prompt);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setMinimumWidth(titleBarWidth(title));
    return dialog.exec() == QDialog::Accepted ? dialog.textValue() : QString();
}

bool QtPlatform::askPassword(const QString& archive, const QString& entry, bool wrong, QWidget* window,
                             QString& password)
{
    QWidget* parent = dialogParent(window);
    QDialog dialog(parent);
    dialog.setObjectName(QStringLiteral("PasswordDialog"));
    const QString title = QStringLiteral("Password");
    dialog.setWindowTitle(title);

    // The names are plain text (an entry may be called "<b>" and must show as
    // it is), and paths break only after a "/", as in the message boxes.
    const auto nameLabel = [&dialog](const QString& name, const QString& objectName) {
        auto* label = new QLabel(breakPathsAtSeparators(name), &dialog);
        label->setObjectName(objectName);
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        return label;
    };
    auto* field = new QLineEdit(&dialog);
    field->setObjectName(QStringLiteral("PasswordField"));
    field->setEchoMode(QLineEdit::Password);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);

    auto* rows = new QFormLayout;
    rows->addRow(QStringLiteral("Archive:"), nameLabel(archive, QStringLiteral("PasswordArchive")));
    rows->addRow(QStringLiteral("Entry:"), nameLabel(entry, QStringLiteral("PasswordEntry")));
    if (wrong) {
        auto* again = new QLabel(QStringLiteral("The password was wrong. Please try again."), &dialog);
        again->setObjectName(QStringLiteral("PasswordWrong"));
        again->setTextFormat(Qt::PlainText);
        rows->addRow(static_cast<QWidget*>(nullptr), again);
    }
    rows->addRow(QStringLiteral("&Password:"), field);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addLayout(rows);
    layout->addWidget(buttons);
    // Wide enough for a path of some length on one line, as far as the
    // screen allows; longer ones wrap after a "/".
    int width = std::max(titleBarWidth(title), dialog.fontMetrics().averageCharWidth() * 72);
    const QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
    if (screen)
        width = std::min(width, screen->availableGeometry().width());
    dialog.setMinimumWidth(width);
    // The wrapping names first measure their height at a narrow width: size
    // the dialog again at its real one, or it opens with a gap above the
    // buttons.
    if (const int height = dialog.heightForWidth(width); height > 0)
        dialog.resize(width, height);
    field->setFocus();

    if (dialog.exec() != QDialog::Accepted)
        return false;
    password = field->text();
    // The typed text leaves the dialog only in `password`.
    field->clear();
    return true;
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

QString QtPlatform::runFileDialog(FileDialogRequest& request, bool save)
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
    // The titles are long questions: wide enough for them, as far as the
    // screen allows.
    const QSize hint = dialog.sizeHint();
    int width = std::max(hint.width(), titleBarWidth(request.title));
    if (const QScreen* screen = dialog.screen())
        width = std::min(width, screen->availableGeometry().width());
    dialog.resize(std::max(width, hint.width()), hint.height());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        if (request.cancelError)
            throw PlatformError::failure(PlatformError::Cancelled);
        return QString();
    }
    request.chosenFilterIndex = int(filters.indexOf(dialog.selectedNameFilter())) + 1;
    return QDir::toNativeSeparators(dialog.selectedFiles().constFirst());
}

QString QtPlatform::openFileDialog(FileDialogRequest& request)
{
    return runFileDialog(request, false);
}

QString QtPlatform::saveFileDialog(FileDialogRequest& request)
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
